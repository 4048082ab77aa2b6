#include "fxlink/frames.h"

namespace zel::fx {

uint8_t FrameSum(const uint8_t* firstChar, const uint8_t* lastChar) {
    uint32_t sum = 0;
    for (const uint8_t* p = firstChar; p <= lastChar; ++p) {
        sum += *p;
    }
    return static_cast<uint8_t>(sum);
}

int32_t SendFrame(const uint8_t* frame, uint32_t length, serial::Handle handle) {
    uint32_t written = 0;
    const int32_t rc = serial::SerWrite(handle, frame, length, &written);
    return rc == serial::kOk && written == length ? 0 : 2;
}

int32_t ReceiveFrame(uint8_t* buffer, uint32_t* count, serial::Handle handle) {
    const uint16_t wanted = *count > 0xFFFF ? uint16_t{0xFFFF} : static_cast<uint16_t>(*count);
    uint32_t received = 0;
    const int32_t rc = serial::SerRead(handle, buffer, wanted, &received);
    *count = rc != serial::kOk ? 0 : received < wanted ? received : wanted;
    return rc;
}

ReplyStatus CheckDataReply(const uint8_t* reply, uint32_t received, uint32_t dataBytes) {
    if (received == 1 && reply[0] == kNak) {
        return ReplyStatus::kLoneNak;
    }
    const uint32_t length = DataReplyLength(dataBytes);
    const uint32_t etx = length - 3;
    if (received != length || reply[0] != kStx || reply[etx] != kEtx) {
        return ReplyStatus::kInvalid;
    }
    // Data digits and checksum digits must all be hexadecimal digits; a
    // reply with anything else in them is never decoded.
    for (uint32_t i = 1; i < length; ++i) {
        if (i != etx && HexValue(reply[i]) < 0) {
            return ReplyStatus::kInvalid;
        }
    }
    return HexByte(reply + etx + 1) == FrameSum(reply + 1, reply + etx) ? ReplyStatus::kAccepted
                                                                        : ReplyStatus::kSumError;
}

namespace {

// Whether `elementBits` is a width that rows of `kind` hold.
bool WidthFitsKind(char kind, int32_t elementBits) {
    switch (kind) {
        case 'P':
            return elementBits == 1 || elementBits == 8;
        case 'W':
            return elementBits == 16;
        case 'D':
            return elementBits == 16 || elementBits == 32;
        case 'L':
            return elementBits == 32;
        default:
            return false;
    }
}

}  // namespace

int32_t PlanGate(const IoRequest& io, bool single, bool write, GatePlan* plan) {
    const AddrDesc& addr = io.addr;
    const MemArea* row = memArea(addr.area);
    if (row == nullptr || !WidthFitsKind(row->kind, addr.elementBits)) {
        return 1;
    }
    // A bit number matters only to a single request of a bits area.
    if (single && row->kind == 'P' && (addr.bit < -1 || addr.bit > 7)) {
        return 1;
    }
    const uint32_t size = row->kind == 'P' ? 1 : static_cast<uint32_t>(addr.elementBits) / 8;
    const int32_t count = single ? 1 : io.count;
    if (count < 0 || static_cast<uint32_t>(count) > kMaxDataBytes / size) {
        return 1;
    }
    // Values come from and go to the host's data; without it there is
    // nothing to carry.
    if (io.data == nullptr && count != 0) {
        return 1;
    }
    int64_t address = int64_t{addr.address} * unitBytes(row->kind);
    if (write) {
        address += row->writeOffset;
    }
    if (address < 0 || address > kMaxFrameAddress) {
        return 1;
    }
    plan->row = row;
    plan->elementSize = size;
    plan->elements = static_cast<uint32_t>(count);
    plan->dataBytes = size * static_cast<uint32_t>(count);
    plan->frameAddress = static_cast<uint32_t>(address);
    return 0;
}

void PutHeader(uint8_t* frame, uint8_t command, const GatePlan& plan) {
    frame[0] = kStx;
    frame[1] = command;
    PutHex4(frame + kAddressOffset, plan.frameAddress);
    PutHex2(frame + kCountOffset, plan.dataBytes);
}

uint32_t PutTrailer(uint8_t* frame, uint32_t etxOffset) {
    frame[etxOffset] = kEtx;
    PutHex2(frame + etxOffset + 1, FrameSum(frame + 1, frame + etxOffset));
    return etxOffset + 3;
}

}  // namespace zel::fx
