#include "entry/commands.h"
#include "entry/log.h"
#include "fxlink/transactions.h"

namespace zel {
namespace fx {

namespace {

// Writes the `size` bytes of `value`, least significant first.
uint8_t* PutElement(uint8_t* out, uint32_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        out = PutHex2(out, value >> (8 * i));
    }
    return out;
}

// The byte holding a bit gate, read from the PLC, with the bit set or
// cleared as the host's value asks. The IoRequest lends itself to the read
// of the byte and comes back exactly as it was. Returns 0 or the read's
// result.
int32_t ReadModifyBit(DrvRequest* request, IoRequest& io, uint32_t* byte) {
    const uint32_t wanted = LoadCell16(io.data);
    const int32_t bit = io.addr.bit;
    const int32_t valueType = io.valueType;
    io.addr.bit = -1;
    io.valueType = 0;
    const int32_t rc = SingleRead(request);
    const uint32_t read = LoadCell16(io.data) & 0xFFu;
    io.addr.bit = bit;
    io.valueType = valueType;
    StoreCell16(io.data, wanted);
    if (rc != 0) {
        err(kLogInfo, MSG_WRITE_BIT_READ_FAILED, rc);
        return rc;
    }
    const uint32_t mask = 1u << bit;
    *byte = wanted != 0 ? read | mask : read & ~mask;
    return 0;
}

// The data field of a single write; returns its end, or nullptr when the
// value cannot be written (logged here) with the reason in *rc.
uint8_t* PutSingleValue(DrvRequest* request, IoRequest& io, const GatePlan& plan, uint8_t* out,
                        int32_t* rc) {
    if (plan.row->kind != 'P') {
        const uint32_t value = plan.elementSize == 2 ? LoadCell16(io.data) : LoadCell32(io.data);
        return PutElement(out, value, plan.elementSize);
    }
    if (io.addr.bit == -1) {
        const uint32_t value = LoadCell16(io.data);
        if (value > 0xFF) {
            err(kLogInfo, MSG_WRITE_BYTE_TOO_LARGE);
            *rc = 1;
            return nullptr;
        }
        return PutHex2(out, value);
    }
    uint32_t byte = 0;
    *rc = ReadModifyBit(request, io, &byte);
    return *rc != 0 ? nullptr : PutHex2(out, byte);
}

}  // namespace

int32_t BuildWriteReq(DrvRequest* request, uint32_t command, uint32_t* length) {
    IoRequest& io = *static_cast<IoRequest*>(request->params);
    const bool single = command == ZEL_CMD_SINGLE_WRITE;
    const MemArea* row = memArea(io.addr.area);
    if (row != nullptr && row->letter == 'X') {
        return 1;  // inputs cannot be written
    }
    GatePlan plan{};
    if (PlanGate(io, single, true, &plan) != 0) {
        return 1;
    }
    uint8_t* frame = request->context->requestBuf;
    uint8_t* out = frame + kDataOffset;
    if (single) {
        // The read of a bit write uses requestBuf too, so the header is
        // written only once the data field is known.
        int32_t rc = 0;
        out = PutSingleValue(request, io, plan, out, &rc);
        if (out == nullptr) {
            return rc;
        }
    } else {
        const auto* in = static_cast<const uint8_t*>(io.data);
        for (uint32_t j = 0; j < plan.dataBytes; ++j) {
            out = PutHex2(out, in[j]);
        }
    }
    PutHeader(frame, kWriteCommand, plan);
    *length = PutTrailer(frame, static_cast<uint32_t>(out - frame));
    return 0;
}

int32_t DoWrite(DrvRequest* request, uint32_t command) {
    PortContext* context = request->context;
    if (context->handle == 0) {
        return 1;
    }
    uint32_t length = 0;
    const int32_t built = BuildWriteReq(request, command, &length);
    if (built != 0) {
        return built;
    }
    const auto& io = *static_cast<const IoRequest*>(request->params);
    int32_t result = 2;
    for (int32_t attempt = 1; attempt <= kAttempts && result != 0; ++attempt) {
        uint32_t received = 0;
        result = Exchange(context, Transaction::kWrite, length, 1, attempt, &received);
        if (result != 0) {
            continue;
        }
        const uint8_t answer = context->replyBuf[0];
        if (received != 1) {
            err(kLogInfo, MSG_DO_WRITE_LENGTH, attempt);
            result = 2;
        } else if (answer == kNak) {
            err(kLogInfo, MSG_DO_WRITE_NAK, attempt);
            result = 2;
        } else if (answer == kAck) {
            if (command != ZEL_CMD_SINGLE_WRITE) {
                err(kLogInfo, MSG_DO_WRITE_BLOCK_ACK, io.addr.plc);
            }
        } else {
            err(kLogInfo, MSG_DO_WRITE_UNKNOWN, answer, unsigned{answer}, attempt);
            result = 1;
        }
    }
    return result;
}

}  // namespace fx

namespace {

// The gate's text for the messages of the two handlers.
const char* GateName(const DrvRequest* request) {
    const char* name = static_cast<const IoRequest*>(request->params)->name;
    return name != nullptr ? name : "";
}

}  // namespace

int32_t SingleWrite(DrvRequest* request) {
    const int32_t rc = fx::DoWrite(request, ZEL_CMD_SINGLE_WRITE);
    if (rc != 0) {
        err(kLogInfo, MSG_SINGLE_WRITE_RESULT, rc, GateName(request));
    }
    return rc;
}

int32_t BlockWrite(DrvRequest* request) {
    const int32_t rc = fx::DoWrite(request, ZEL_CMD_BLOCK_WRITE);
    if (rc != 0) {
        err(kLogInfo, MSG_BLOCK_WRITE_RESULT, rc, GateName(request));
    }
    return rc;
}

}  // namespace zel
