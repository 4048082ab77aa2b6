// The in-memory serial port: a serial backend whose ports live in a fixed
// table. See memory_port.h.
#include "memory_port.h"

#include <cstring>

#include "serial/backend.h"

namespace zeltest::memport {
namespace {

using zel::serial::Dcb;
using zel::serial::Handle;
using zel::serial::Timeouts;

constexpr size_t kPorts = 4;
constexpr Handle kFirstHandle = 0x100;
constexpr size_t kInputSize = 2 * kMaxReply;

struct Port {
    char name[16] = {};
    Responder responder = nullptr;
    void* user = nullptr;
    bool open = false;
    Dcb dcb;
    Timeouts timeouts;
    uint8_t input[kInputSize] = {};
    size_t waiting = 0;
};

std::array<Port, kPorts> gPorts;

Port* byHandle(Handle h) {
    const size_t i = h - kFirstHandle;
    return h >= kFirstHandle && i < kPorts && gPorts[i].open ? &gPorts[i] : nullptr;
}

bool open(const char* name, Handle* out) {
    for (size_t i = 0; i < kPorts; ++i) {
        Port& p = gPorts[i];
        if (p.name[0] != '\0' && std::strcmp(p.name, name) == 0 && !p.open) {
            p.open = true;
            p.waiting = 0;
            *out = kFirstHandle + static_cast<Handle>(i);
            return true;
        }
    }
    return false;
}

// Reads or writes one settings record of the handle's port.
template <typename T>
bool getSetting(Handle h, T Port::*member, T* out) {
    Port* p = byHandle(h);
    if (p != nullptr) {
        *out = p->*member;
    }
    return p != nullptr;
}

template <typename T>
bool setSetting(Handle h, T Port::*member, const T* in) {
    Port* p = byHandle(h);
    if (p != nullptr) {
        p->*member = *in;
    }
    return p != nullptr;
}

bool getState(Handle h, Dcb* dcb) {
    return getSetting(h, &Port::dcb, dcb);
}
bool setState(Handle h, const Dcb* dcb) {
    return setSetting(h, &Port::dcb, dcb);
}
bool getTimeouts(Handle h, Timeouts* t) {
    return getSetting(h, &Port::timeouts, t);
}
bool setTimeouts(Handle h, const Timeouts* t) {
    return setSetting(h, &Port::timeouts, t);
}

bool setupQueues(Handle h, uint32_t, uint32_t) {
    return byHandle(h) != nullptr;
}

bool queryInput(Handle h, uint32_t* waiting) {
    Port* p = byHandle(h);
    if (p != nullptr) {
        *waiting = static_cast<uint32_t>(p->waiting);
    }
    return p != nullptr;
}

bool read(Handle h, void* buffer, uint32_t wanted, uint32_t* received) {
    Port* p = byHandle(h);
    if (p == nullptr) {
        return false;
    }
    const size_t n = wanted < p->waiting ? wanted : p->waiting;
    std::memcpy(buffer, p->input, n);
    std::memmove(p->input, p->input + n, p->waiting - n);
    p->waiting -= n;
    *received = static_cast<uint32_t>(n);
    return true;
}

bool write(Handle h, const void* bytes, uint32_t length, uint32_t* written) {
    Port* p = byHandle(h);
    if (p == nullptr) {
        return false;
    }
    *written = length;
    if (p->responder != nullptr && p->waiting <= kInputSize - kMaxReply) {
        p->waiting += p->responder(static_cast<const uint8_t*>(bytes), length,
                                   p->input + p->waiting, p->user);
    }
    return true;
}

bool close(Handle h) {
    Port* p = byHandle(h);
    if (p != nullptr) {
        p->open = false;
    }
    return p != nullptr;
}

void setBreak(Handle, bool) {}

void sleepMs(uint32_t) {}

constexpr zel::serial::Backend kBackend = {open,        getState,    setState,   getTimeouts,
                                           setTimeouts, setupQueues, queryInput, read,
                                           write,       close,       setBreak,   sleepMs};

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The value of `digits` hexadecimal digits, or -1.
long hexField(const uint8_t* p, size_t digits) {
    long v = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int d = hexValue(p[i]);
        if (d < 0) {
            return -1;
        }
        v = v * 16 + d;
    }
    return v;
}

uint8_t* putHex(uint8_t* out, uint32_t byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = static_cast<uint8_t>(kDigits[(byte >> 4) & 0xF]);
    out[1] = static_cast<uint8_t>(kDigits[byte & 0xF]);
    return out + 2;
}

uint32_t sum(const uint8_t* from, const uint8_t* to) {
    uint32_t s = 0;
    for (const uint8_t* p = from; p <= to; ++p) {
        s += *p;
    }
    return s & 0xFF;
}

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

size_t one(uint8_t* reply, uint8_t c) {
    reply[0] = c;
    return 1;
}

}  // namespace

void reset() {
    gPorts = {};
    for (Port& p : gPorts) {
        p.dcb.BaudRate = 9600;
    }
}

void attach(const char* name, Responder responder, void* user) {
    for (Port& p : gPorts) {
        if (p.name[0] == '\0') {
            std::strncpy(p.name, name, sizeof p.name - 1);
            p.responder = responder;
            p.user = user;
            return;
        }
    }
}

size_t FxPlc::respond(const uint8_t* w, size_t length, uint8_t* reply, void* user) {
    auto& plc = *static_cast<FxPlc*>(user);
    if (plc.silent) {
        return 0;
    }
    if (length == 1 && w[0] == kEnq) {
        return one(reply, kAck);
    }
    if (length < 11 || w[0] != kStx || (w[1] != '0' && w[1] != '1')) {
        return one(reply, kNak);
    }
    const long address = hexField(w + 2, 4);
    const long n = hexField(w + 6, 2);
    const size_t data = w[1] == '1' ? 2 * static_cast<size_t>(n) : 0;
    if (address < 0 || n < 0 || length != 11 + data || w[8 + data] != kEtx ||
        hexField(w + 9 + data, 2) != sum(w + 1, w + 8 + data) ||
        2 * static_cast<size_t>(n) + 4 > kMaxReply) {
        return one(reply, kNak);
    }
    uint8_t* mem = plc.memory.data();
    const auto at = [&](long j) { return static_cast<size_t>((address + j) & 0xFFFF); };
    if (w[1] == '1') {
        for (long j = 0; j < n; ++j) {
            const long b = hexField(w + 8 + 2 * j, 2);
            if (b < 0) {
                return one(reply, kNak);
            }
            mem[at(j)] = static_cast<uint8_t>(b);
        }
        return one(reply, kAck);
    }
    uint8_t* out = reply;
    *out++ = kStx;
    for (long j = 0; j < n; ++j) {
        out = putHex(out, mem[at(j)]);
    }
    *out = kEtx;
    out = putHex(out + 1, sum(reply + 1, out));
    return static_cast<size_t>(out - reply);
}

size_t Canned::respond(const uint8_t*, size_t, uint8_t* reply, void* user) {
    const auto& c = *static_cast<const Canned*>(user);
    std::memcpy(reply, c.bytes, c.length);
    return c.length;
}

}  // namespace zeltest::memport

const zel::serial::Backend& zel::serial::platformBackend() {
    return zeltest::memport::kBackend;
}
