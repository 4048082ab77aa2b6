#include "entry/commands.h"
#include "entry/log.h"
#include "fxlink/transactions.h"

namespace zel {
namespace fx {

namespace {

// Value of one element: `size` bytes from `hex`, least significant first.
uint32_t ElementValue(const uint8_t* hex, uint32_t size) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < size; ++i) {
        value |= uint32_t{HexByte(hex + 2 * i)} << (8 * i);
    }
    return value;
}

}  // namespace

uint32_t BuildReadReq(const GatePlan& plan, uint8_t* frame) {
    PutHeader(frame, kReadCommand, plan);
    return PutTrailer(frame, kDataOffset);
}

int32_t DecodeReply(const IoRequest& io, const GatePlan& plan, const uint8_t* hexData,
                    uint32_t command) {
    if (command != ZEL_CMD_SINGLE_READ) {
        // Block elements are packed least significant byte first, exactly
        // as the bytes travel.
        auto* out = static_cast<uint8_t*>(io.data);
        for (uint32_t j = 0; j < plan.dataBytes; ++j) {
            out[j] = HexByte(hexData + 2 * j);
        }
        return 0;
    }
    const uint32_t v = ElementValue(hexData, plan.elementSize);
    if (plan.row->kind != 'P') {
        // Words (W, 16-bit D) at offset 2, double words (L, 32-bit D) from 0.
        if (plan.elementSize == 2) {
            StoreCell16(io.data, v);
        } else {
            StoreCell32(io.data, v);
        }
    } else if (io.addr.bit != -1) {
        StoreCell16(io.data, (v >> io.addr.bit) & 1u);
    } else if (io.valueType == 1) {
        StoreCell16(io.data, v >= 0x80 ? v | 0xFF00u : v);  // the byte sign-extended
    } else {
        StoreCell16(io.data, v);
    }
    return 0;
}

int32_t DoRead(DrvRequest* request, uint32_t command) {
    PortContext* context = request->context;
    if (context->handle == 0) {
        return 1;
    }
    const IoRequest& io = *static_cast<const IoRequest*>(request->params);
    GatePlan plan{};
    if (PlanGate(io, command == ZEL_CMD_SINGLE_READ, false, &plan) != 0) {
        return 1;
    }
    const uint32_t length = BuildReadReq(plan, context->requestBuf);
    const uint32_t expected = DataReplyLength(plan.dataBytes);
    for (int32_t attempt = 1; attempt <= kAttempts; ++attempt) {
        uint32_t received = 0;
        if (Exchange(context, Transaction::kRead, length, expected, attempt, &received) != 0) {
            continue;
        }
        const ReplyStatus status = CheckDataReply(context->replyBuf, received, plan.dataBytes);
        if (status == ReplyStatus::kAccepted) {
            return DecodeReply(io, plan, context->replyBuf + 1, command);
        }
        err(kLogInfo,
            status == ReplyStatus::kLoneNak    ? MSG_DO_READ_NAK
            : status == ReplyStatus::kSumError ? MSG_DO_READ_SUM_ERROR
                                               : MSG_DO_READ_INVALID,
            attempt);
    }
    return 2;
}

}  // namespace fx

int32_t SingleRead(DrvRequest* request) {
    const int32_t rc = fx::DoRead(request, ZEL_CMD_SINGLE_READ);
    if (rc != 0) {
        err(kLogInfo, MSG_SINGLE_READ_RESULT, rc);
    }
    return rc;
}

int32_t BlockRead(DrvRequest* request) {
    const int32_t rc = fx::DoRead(request, ZEL_CMD_BLOCK_READ);
    if (rc != 0) {
        err(kLogInfo, MSG_BLOCK_READ_RESULT, rc);
    }
    return rc;
}

}  // namespace zel
