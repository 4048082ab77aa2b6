// Frames of the FX programming-port link: control characters, hexadecimal
// fields, the checksum, the layout of read and write requests, the check of
// a data reply, and the hand-over of whole frames to the serial layer.
#pragma once

#include <cstdint>

#include "address/memmap.h"
#include "serial/serial.h"
#include "zelfx/zelfx.h"

namespace zel::fx {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kEnq = 0x05;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;

inline constexpr uint8_t kReadCommand = '0';
inline constexpr uint8_t kWriteCommand = '1';

// Largest data field the driver puts into one frame: the block limit that
// gate validation grants (64 bits-area bytes, 32 words, 16 double words).
inline constexpr uint32_t kMaxDataBytes = 64;
// Largest frame address: the address field has four digits.
inline constexpr int64_t kMaxFrameAddress = 0xFFFF;

// Offsets inside a request: STX, command, address (4 digits), byte count
// (2 digits), then data digits, ETX and two checksum digits.
inline constexpr uint32_t kAddressOffset = 2;
inline constexpr uint32_t kCountOffset = 6;
inline constexpr uint32_t kDataOffset = 8;

constexpr uint32_t ReadRequestLength() {
    return kDataOffset + 3;
}
constexpr uint32_t WriteRequestLength(uint32_t dataBytes) {
    return kDataOffset + 2 * dataBytes + 3;
}
constexpr uint32_t DataReplyLength(uint32_t dataBytes) {
    return 2 * dataBytes + 4;
}

static_assert(WriteRequestLength(kMaxDataBytes) <= ZEL_REQUEST_BUF_SIZE);
static_assert(DataReplyLength(kMaxDataBytes) <= ZEL_REPLY_BUF_SIZE);
static_assert(2 * kMaxDataBytes <= 0xFF, "the byte count must fit two digits");

// Sum modulo 256 of the characters from firstChar through lastChar.
uint8_t FrameSum(const uint8_t* firstChar, const uint8_t* lastChar);

// Writes `length` characters with one serial write: 0 when all went out,
// otherwise 2.
int32_t SendFrame(const uint8_t* frame, uint32_t length, serial::Handle handle);

// One bounded serial read of at most *count characters. On return *count
// holds the number received (0 on failure); the result is the serial
// layer's: 0 when at least one character arrived, 7 otherwise.
int32_t ReceiveFrame(uint8_t* buffer, uint32_t* count, serial::Handle handle);

// Hexadecimal fields: upper-case digits out, either case in.
inline constexpr char kHexDigits[] = "0123456789ABCDEF";

inline uint8_t* PutHex2(uint8_t* out, uint32_t byte) {
    out[0] = static_cast<uint8_t>(kHexDigits[(byte >> 4) & 0xF]);
    out[1] = static_cast<uint8_t>(kHexDigits[byte & 0xF]);
    return out + 2;
}

inline uint8_t* PutHex4(uint8_t* out, uint32_t word) {
    return PutHex2(PutHex2(out, word >> 8), word);
}

// Value of one hexadecimal digit, or -1 for any other character.
constexpr int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const uint8_t lower = static_cast<uint8_t>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// The byte that a digit pair spells. Only for pairs already known to be
// hexadecimal digits (a reply that passed CheckDataReply).
inline uint8_t HexByte(const uint8_t* digits) {
    return static_cast<uint8_t>((HexValue(digits[0]) << 4) | HexValue(digits[1]));
}

// How one reply to a read request is taken.
enum class ReplyStatus {
    kAccepted,  // a well-formed data reply with a correct checksum
    kLoneNak,   // a lone NAK
    kInvalid,   // wrong length, no STX or ETX, or a non-hexadecimal digit
    kSumError,  // well formed, but the checksum does not match
};

// Judges the `received` characters of `reply` against a request for
// `dataBytes` bytes.
ReplyStatus CheckDataReply(const uint8_t* reply, uint32_t received, uint32_t dataBytes);

// What a request for one gate carries, worked out from its IoRequest.
struct GatePlan {
    const MemArea* row;     // the gate's row of the memory map
    uint32_t elementSize;   // bytes per element
    uint32_t elements;      // elements in the frame
    uint32_t dataBytes;     // the byte count n of the frame
    uint32_t frameAddress;  // PLC byte address of the first byte
};

// Works out the plan of a read (write false) or write request. A single
// request always carries exactly one element, whatever `count` holds.
// Returns 0, or 1 when the request cannot be framed: an area outside the
// memory map, an element width or bit number that makes no sense for the
// row, a block count below 0 or above the block limit, no host data for
// the values, or a frame address outside the four-digit field.
int32_t PlanGate(const IoRequest& io, bool single, bool write, GatePlan* plan);

// Writes STX, the command character, the address and the byte count;
// the data field starts at kDataOffset.
void PutHeader(uint8_t* frame, uint8_t command, const GatePlan& plan);

// Puts ETX at `etxOffset` and the checksum after it; returns the length of
// the frame.
uint32_t PutTrailer(uint8_t* frame, uint32_t etxOffset);

}  // namespace zel::fx
