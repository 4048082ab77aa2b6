// The system side of the serial layer: a small table of functions that
// mirrors the calls the layer makes on an open port. Exactly one backend is
// linked into a program: backend_posix.cpp (termios), backend_win32.cpp (the
// Win32 communications API) or backend_scripted.cpp (tests and fuzzers).
#pragma once

#include <cstdint>

#include "serial/serial.h"

namespace zel::serial {

// The members of the Win32 DCB that the layer reads or changes, with the
// DCB's encodings. A backend keeps every other setting of the port as it is.
struct Dcb {
    uint32_t BaudRate = 0;         // bit/s
    uint8_t ByteSize = 8;          // data bits
    uint8_t Parity = 0;            // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;          // 0 one, 1 one and a half, 2 two
    bool fParity = false;          // parity checking enabled
    uint8_t fDtrControl = 0;       // 0 disable, 1 enable, 2 handshake
    uint8_t fRtsControl = 0;       // 0 disable, 1 enable, 2 handshake, 3 toggle
    bool fOutxCtsFlow = false;     // output waits for CTS
    bool fOutxDsrFlow = false;     // output waits for DSR
    bool fDsrSensitivity = false;  // input ignored while DSR is low
    uint8_t ErrorChar = 0;         // replaces bytes received with parity errors
    bool fErrorChar = false;       // ... when set
};

inline constexpr uint8_t kDtrControlEnable = 1;
inline constexpr uint8_t kDtrControlHandshake = 2;
inline constexpr uint8_t kRtsControlEnable = 1;
inline constexpr uint8_t kRtsControlHandshake = 2;
inline constexpr uint8_t kRtsControlToggle = 3;

// The five COMMTIMEOUTS values, in ms (multipliers in ms per byte).
struct Timeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// ReadIntervalTimeout with both read totals 0: return at once with what is
// there.
inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// The read total time-out of a freshly configured port; also what a backend
// applies where a port's time-outs would let a call wait without limit.
inline constexpr uint32_t kOpenReadTimeoutMs = 1000;
// A write may take the line time of its bytes plus this much.
inline constexpr uint32_t kWriteSlackMs = 1000;

// Every function returns true on success. The layer never passes handle 0.
struct Backend {
    // Opens the named device for exclusive reading and writing.
    bool (*open)(const char* name, Handle* out);
    bool (*getState)(Handle h, Dcb* dcb);
    bool (*setState)(Handle h, const Dcb* dcb);
    bool (*getTimeouts)(Handle h, Timeouts* t);
    bool (*setTimeouts)(Handle h, const Timeouts* t);
    bool (*setupQueues)(Handle h, uint32_t inBytes, uint32_t outBytes);
    // Clears the port's error state and reports the bytes received and not
    // yet read.
    bool (*queryInput)(Handle h, uint32_t* waiting);
    // One read bounded by the port's time-outs: returns when `wanted` bytes
    // have arrived or the time-out has run out. A time-out is a success with
    // the count received so far, 0 included.
    bool (*read)(Handle h, void* buffer, uint32_t wanted, uint32_t* received);
    // One write bounded by the port's write time-outs; `written` is always
    // stored when the call succeeds.
    bool (*write)(Handle h, const void* bytes, uint32_t length, uint32_t* written);
    bool (*close)(Handle h);
    void (*setBreak)(Handle h, bool on);
    void (*sleepMs)(uint32_t ms);
};

// Defined by the one backend linked into the program.
const Backend& platformBackend();

}  // namespace zel::serial
