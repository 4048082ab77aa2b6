// The read and write transactions of the FX link: one request built in the
// context's requestBuf, up to three attempts, the reply in replyBuf.
#pragma once

#include <cstdint>
#include <cstring>

#include "fxlink/frames.h"
#include "zelfx/zelfx.h"

namespace zel::fx {

inline constexpr int32_t kAttempts = 3;

// The host's value cell: a 32-bit element fills it from offset 0, anything
// narrower is a 16-bit value at offset 2.
inline uint32_t LoadCell16(const void* cell) {
    uint16_t v = 0;
    std::memcpy(&v, static_cast<const uint8_t*>(cell) + 2, sizeof v);
    return v;
}
inline void StoreCell16(void* cell, uint32_t value) {
    const auto v = static_cast<uint16_t>(value);
    std::memcpy(static_cast<uint8_t*>(cell) + 2, &v, sizeof v);
}
inline uint32_t LoadCell32(const void* cell) {
    uint32_t v = 0;
    std::memcpy(&v, cell, sizeof v);
    return v;
}
inline void StoreCell32(void* cell, uint32_t value) {
    std::memcpy(cell, &value, sizeof value);
}

// Read: 0 values stored, 1 refused (no port, or a request that cannot be
// framed), 2 all attempts failed. `command` 5 decodes one value, any other
// a block.
int32_t DoRead(DrvRequest* request, uint32_t command);

// Writes the read request of `plan` into `frame`; returns its length, 11.
uint32_t BuildReadReq(const GatePlan& plan, uint8_t* frame);

// Stores the values of an accepted reply, whose data digits start at
// `hexData`, into the host's data of `io`. Returns 0.
int32_t DecodeReply(const IoRequest& io, const GatePlan& plan, const uint8_t* hexData,
                    uint32_t command);

// Write: 0 acknowledged, 1 refused (no port, input area, value too large,
// a request that cannot be framed, or another answer than ACK or NAK on the
// last attempt), 2 failed. `command` 7 writes one value, any other a block.
int32_t DoWrite(DrvRequest* request, uint32_t command);

// Builds the write request of `request`'s IoRequest into the context's
// requestBuf and stores its length. A bit write first reads the byte that
// holds the bit. Returns 0, 1 when refused, or the failing result of that
// read.
int32_t BuildWriteReq(DrvRequest* request, uint32_t command, uint32_t* length);

// One attempt's input purge, send of the `length` characters of requestBuf
// and bounded receive of up to `wanted` characters into replyBuf, logging
// each failure under the name of the transaction. Returns 0 with the number
// received in *received, or 2.
enum class Transaction { kRead, kWrite };
int32_t Exchange(PortContext* context, Transaction transaction, uint32_t length, uint32_t wanted,
                 int32_t attempt, uint32_t* received);

}  // namespace zel::fx
