// The serial port layer: opening and configuring a port, bounded reads,
// writes, input drain and read time-outs, over the linked backend.
#include "serial/serial.h"

#include <cstddef>

#include "serial/backend.h"

namespace zel::serial {
namespace {

constexpr Handle kInvalidHandle = 0xFFFFFFFFu;  // what a failed open leaves behind
constexpr uint32_t kQueueBytes = 1200;
constexpr uint32_t kDrainPiece = 512;
constexpr int32_t kDrainTimeout = 5;  // units of 10 ms
// How many pieces a drain reads beyond the bytes that were waiting: enough for
// a full input queue that fills up meanwhile, but a line that never falls
// silent cannot keep the caller draining for ever.
constexpr uint32_t kDrainExtraPieces = (kQueueBytes + kDrainPiece - 1) / kDrainPiece + 1;
constexpr uint32_t kMsPerUnit = 10;
// The largest read time-out: the largest multiple of 10 ms in 32 bits.
constexpr uint32_t kMaxReadTimeoutMs = 0xFFFFFFFFu / kMsPerUnit * kMsPerUnit;
// At most 12 bit times per byte: start, 8 data, parity, 2 stop.
constexpr uint32_t kMaxBitsPerByte = 12;
constexpr uint8_t kErrorChar = 0xFC;

const Backend& sys() {
    return platformBackend();
}

bool isNullDevice(const char* name) {
    return name[0] == 'N' && name[1] == 'U' && name[2] == 'L' && name[3] == '\0';
}

// One if / else-if chain of control-flag bits: the first rule whose bits meet
// the flags sets the DCB member.
struct FlagRule {
    uint16_t bits;
    uint8_t value;
};
constexpr FlagRule kDtrRules[] = {{0x0101, kDtrControlEnable}, {0x8000, kDtrControlHandshake}};
constexpr FlagRule kRtsRules[] = {
    {0x0202, kRtsControlEnable}, {0x1000, kRtsControlHandshake}, {0x2000, kRtsControlToggle}};

template <size_t N>
void applyRules(const FlagRule (&rules)[N], uint16_t flags, uint8_t* member) {
    for (const FlagRule& r : rules) {
        if ((flags & r.bits) != 0) {
            *member = r.value;
            return;
        }
    }
}

struct HandshakeRule {
    uint16_t bit;
    bool Dcb::*member;
};
constexpr HandshakeRule kHandshakeRules[] = {
    {0x0010, &Dcb::fOutxCtsFlow}, {0x0020, &Dcb::fOutxDsrFlow}, {0x4000, &Dcb::fDsrSensitivity}};

void applyControlFlags(uint16_t flags, Dcb* dcb) {
    applyRules(kDtrRules, flags, &dcb->fDtrControl);
    applyRules(kRtsRules, flags, &dcb->fRtsControl);
    for (const HandshakeRule& r : kHandshakeRules) {
        if ((flags & r.bit) != 0) {
            dcb->*r.member = true;
            return;
        }
    }
}

// The read total time-out for a time-out in units of 10 ms. A time-out below
// one unit would let a read wait without limit; the open default applies
// instead. Values beyond 32 bits of ms are held at the largest.
uint32_t readTimeoutMs(int32_t units) {
    if (units < 1) {
        return kOpenReadTimeoutMs;
    }
    uint64_t ms = static_cast<uint64_t>(units) * kMsPerUnit;
    return ms > kMaxReadTimeoutMs ? kMaxReadTimeoutMs : static_cast<uint32_t>(ms);
}

// Bounds writes by the line time of their bytes at `baudRate` plus some slack,
// so that an output handshake that never releases the line cannot hold the
// caller for ever.
void boundWrites(uint32_t baudRate, Timeouts* t) {
    uint32_t bitsMs = kMaxBitsPerByte * 1000;
    t->WriteTotalTimeoutMultiplier = baudRate == 0 ? 0 : (bitsMs + baudRate - 1) / baudRate;
    t->WriteTotalTimeoutConstant = kWriteSlackMs;
}

void setOpenReadTimeouts(Timeouts* t) {
    t->ReadIntervalTimeout = 0;
    t->ReadTotalTimeoutMultiplier = 0;
    t->ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
}

// A port left as it was found must still bound its reads and writes. Returns
// false when the time-outs cannot be read or bounded.
bool boundKeptTimeouts(Handle h, uint32_t baudRate) {
    Timeouts t;
    if (!sys().getTimeouts(h, &t)) {
        return false;
    }
    bool readUnbounded = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0 &&
                         t.ReadIntervalTimeout != kMaxDword;
    bool writeUnbounded = t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0;
    if (readUnbounded) {
        setOpenReadTimeouts(&t);
    }
    if (writeUnbounded) {
        boundWrites(baudRate, &t);
    }
    return !(readUnbounded || writeUnbounded) || sys().setTimeouts(h, &t);
}

int32_t closeWith(Handle h, int32_t result) {
    sys().close(h);
    return result;
}

}  // namespace

int32_t SerOpen(const char* portName, const LineParams* line, uint16_t controlFlags,
                Handle* handle) {
    Handle h = kInvalidHandle;
    if (!sys().open(portName, &h) || h == 0) {
        *handle = kInvalidHandle;
        return kOpenFailed;
    }
    *handle = h;
    if (isNullDevice(portName)) {
        return kOk;
    }

    Dcb dcb;
    if (!sys().getState(h, &dcb)) {
        return closeWith(h, kGetStateFailed);
    }
    if (controlFlags == 0) {
        return boundKeptTimeouts(h, dcb.BaudRate) ? kOk : closeWith(h, kOpenFailed);
    }

    dcb.BaudRate = line->baudRate;
    dcb.ByteSize = static_cast<uint8_t>(line->dataBits);
    dcb.Parity = static_cast<uint8_t>(line->parity);
    if (dcb.Parity != 0) {
        dcb.fParity = true;
    }
    dcb.StopBits = static_cast<uint8_t>(line->stopBits);

    Timeouts t;
    setOpenReadTimeouts(&t);
    boundWrites(dcb.BaudRate, &t);
    if (!sys().setTimeouts(h, &t)) {
        return closeWith(h, kOpenFailed);
    }

    // Bytes with parity errors reach the caller as received.
    dcb.ErrorChar = kErrorChar;
    dcb.fErrorChar = false;
    applyControlFlags(controlFlags, &dcb);
    if (!sys().setState(h, &dcb)) {
        return closeWith(h, kSetStateFailed);
    }
    sys().setupQueues(h, kQueueBytes, kQueueBytes);
    return kOk;
}

int32_t SerClose(Handle handle) {
    if (handle == 0 || !sys().close(handle)) {
        return kIoFailed;
    }
    return kOk;
}

int32_t SerSetReadTimeout(Handle handle, int32_t timeout) {
    Timeouts t;
    if (handle == 0 || !sys().getTimeouts(handle, &t)) {
        return 0;
    }
    uint32_t previous = t.ReadTotalTimeoutConstant;
    uint32_t wanted = readTimeoutMs(timeout);
    if (wanted != previous) {
        t.ReadTotalTimeoutConstant = wanted;
        if (!sys().setTimeouts(handle, &t)) {
            return 0;
        }
    }
    return static_cast<int32_t>(previous / kMsPerUnit);
}

int32_t SerPurgeInput(Handle handle) {
    if (handle == 0) {
        return kDrainFailed;
    }
    uint32_t waiting = 0;
    if (sys().queryInput(handle, &waiting) && waiting == 0) {
        return kOk;
    }

    int32_t saved = SerSetReadTimeout(handle, kDrainTimeout);
    uint8_t scratch[kDrainPiece];
    uint32_t piecesLeft = waiting / kDrainPiece + kDrainExtraPieces;
    bool ok = false;
    uint32_t got = 0;
    do {
        got = 0;
        ok = sys().read(handle, scratch, kDrainPiece, &got);
    } while (ok && got == kDrainPiece && --piecesLeft > 0);
    if (saved != 0) {
        SerSetReadTimeout(handle, saved);
    }
    return ok ? kOk : kDrainFailed;
}

int32_t SerSendBreak(uint32_t durationMs, Handle handle) {
    if (handle != 0) {
        sys().setBreak(handle, true);
        sys().sleepMs(durationMs);
        sys().setBreak(handle, false);
    }
    return kOk;
}

int32_t SerWrite(Handle handle, const void* bytes, uint32_t length, uint32_t* written) {
    uint32_t n = 0;
    if (handle == 0 || !sys().write(handle, bytes, length, &n)) {
        return kIoFailed;
    }
    if (written != nullptr) {
        *written = n;
    }
    return n < length ? kShortWrite : kOk;
}

int32_t SerRead(Handle handle, void* buffer, uint16_t wanted, uint32_t* received) {
    if (received != nullptr) {
        *received = 0;
    }
    uint32_t got = 0;
    if (handle == 0 || wanted == 0 || !sys().read(handle, buffer, wanted, &got) || got == 0) {
        return kIoFailed;
    }
    if (received != nullptr) {
        *received = got;
    }
    return kOk;
}

int32_t SerDelay(uint32_t durationMs) {
    sys().sleepMs(durationMs);
    return kOk;
}

}  // namespace zel::serial
