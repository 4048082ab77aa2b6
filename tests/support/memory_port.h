// An in-memory serial port for harnesses that must neither wait for a line
// nor allocate: link memory_port.cpp in place of a serial backend. Every
// write is answered at once by the port's responder; reads take what is
// waiting and never block. Nothing here touches the heap.
//
//   zeltest::memport::reset();
//   zeltest::memport::FxPlc plc;                        // a PLC's memory
//   zeltest::memport::attach("MEM1", zeltest::memport::FxPlc::respond, &plc);
//   ... ColdStart on "MEM1", reads and writes ...
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zeltest::memport {

inline constexpr size_t kMaxReply = 512;

// Answers the `length` bytes of one write with up to kMaxReply bytes in
// `reply`; returns how many.
using Responder = size_t (*)(const uint8_t* written, size_t length, uint8_t* reply, void* user);

// Forgets every port. Ports are opened by name; a name without a responder
// opens like a port that nobody answers.
void reset();
// At most four names; a port can be open once at a time.
void attach(const char* name, Responder responder, void* user);

// A PLC on the programming-port protocol over a 64 KiB byte image: ENQ is
// answered ACK; a read request with a correct checksum gets its data reply;
// a write request with a correct checksum is stored and answered ACK;
// anything else NAK. `silent` makes it answer nothing at all.
struct FxPlc {
    std::array<uint8_t, 0x10000> memory{};
    bool silent = false;

    static size_t respond(const uint8_t* written, size_t length, uint8_t* reply, void* user);
};

// Always answers with the same bytes.
struct Canned {
    const uint8_t* bytes = nullptr;
    size_t length = 0;

    static size_t respond(const uint8_t* written, size_t length, uint8_t* reply, void* user);
};

}  // namespace zeltest::memport
