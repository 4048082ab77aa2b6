// The scripted serial backend: link zelfx_scripted_backend instead of a real
// backend and the serial layer talks to a programmable fake port. For tests
// and fuzzers only (single-threaded; it allocates).
//
//   namespace sc = zel::serial::scripted;
//   sc::reset();                       // open succeeds, every call succeeds
//   sc::queueInput("junk");            // stale bytes, waiting before the exchange
//   sc::respond("\x06");               // the next write makes ACK arrive
//   sc::respondSilence();              // ... and the write after it gets nothing
//   sc::setResponder([](std::string_view written) { return plc.answer(written); });
//   sc::fail(sc::Op::Read);            // the next read fails; sc::fail(op, sc::kAlways)
//   sc::shortWrite(4);                 // the next write takes only 4 bytes
//   sc::setNextHandle(0x1234);         // handle given by the next open
//   sc::setDeviceState("COM1", dcb);   // what the port holds before it is opened
//   ... run the code under test ...
//   sc::frames();                      // every write's bytes, in order
//   sc::calls(); sc::count(sc::Op::Read);  // the call log
//   sc::dcb(h); sc::timeouts(h);       // the port's current settings
//
// The model:
// - Ports are keyed by name. A port keeps its settings across close and
//   reopen. A fresh port holds the default Dcb (9600 bit/s, 8 data bits, no
//   parity, one stop bit, all flags clear) and all-zero time-outs, as a fresh
//   Windows port does. Opening a port that is already open fails, except "NUL".
// - Handles count up from 0x100 in steps of 4. Every call on a handle that is
//   not open fails (recorded with ok false).
// - There is one input stream for all ports. A successful write passes the
//   bytes written to the PLC side: the next queued response (bytes or silence)
//   is appended to the input; when no response is queued the responder, if
//   any, answers.
// - Reads never sleep: a read takes what is in the input, at most the count
//   wanted, and returns at once. With nothing there it "times out": success
//   with 0 bytes, which the layer reports as 7.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/backend.h"

namespace zel::serial::scripted {

enum class Op : uint8_t {
    Open,
    GetState,
    SetState,
    GetTimeouts,
    SetTimeouts,
    SetupQueues,
    QueryInput,
    Read,
    Write,
    Close,
    SetBreak,
    Sleep,
};
const char* opName(Op op);

// One backend call as seen by the fake port.
struct Call {
    Op op = Op::Open;
    Handle handle = 0;           // 0 for Open and Sleep
    bool ok = true;              // what the backend answered
    std::string name;            // Open: the port name
    uint32_t arg = 0;            // Read: wanted; Write: length; SetupQueues: input
                                 // size; SetBreak: 1 on, 0 off; Sleep: ms
    uint32_t arg2 = 0;           // SetupQueues: output size
    uint32_t result = 0;         // Read: received; Write: written; QueryInput: waiting
    uint32_t readTimeoutMs = 0;  // Read: ReadTotalTimeoutConstant in effect
    std::string bytes;           // Read: delivered; Write: written
};

inline constexpr int kAlways = -1;

// Back to a fresh fake: no ports, no input, no responses, no failures, empty logs.
void reset();

// The next `times` calls of `op` fail (kAlways: every call from now on).
void fail(Op op, int times = 1);
// The next `times` successful writes take only the first k bytes.
void shortWrite(uint32_t k, int times = 1);
void setNextHandle(Handle h);

// Settings a port holds before the next open (also when it was opened before).
void setDeviceState(std::string_view name, const Dcb& dcb);
void setDeviceTimeouts(std::string_view name, const Timeouts& t);

// Input waiting now, before any write.
void queueInput(std::string_view bytes);
// Responses made available by the following writes, one per write.
void respond(std::string_view bytes);
void respondSilence();
// Answers writes when no response is queued.
void setResponder(std::function<std::string(std::string_view written)> responder);

// What happened.
const std::vector<std::string>& frames();
const std::vector<Call>& calls();
std::vector<Call> callsOf(Op op);
size_t count(Op op);
void clearLog();  // empties frames() and calls()
std::string pendingInput();
Handle lastHandle();  // handle of the last successful open, 0 if none
bool isOpen(Handle h);
Dcb dcb(Handle h);  // current settings of the handle's port
Timeouts timeouts(Handle h);

}  // namespace zel::serial::scripted
