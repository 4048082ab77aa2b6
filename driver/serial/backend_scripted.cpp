// The scripted serial backend: a fake port for tests and fuzzers. See
// scripted.h for the model.
#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <optional>

#include "serial/scripted.h"

namespace zel::serial {
namespace scripted {
namespace {

constexpr Handle kFirstHandle = 0x100;
constexpr Handle kHandleStep = 4;
constexpr size_t kOpCount = static_cast<size_t>(Op::Sleep) + 1;

struct Port {
    Port() { dcb.BaudRate = 9600; }
    Dcb dcb;
    Timeouts timeouts;
    bool open = false;
};

struct Fake {
    std::map<std::string, Port, std::less<>> ports;
    std::map<Handle, std::string> handleNames;  // every handle ever given
    Handle nextHandle = kFirstHandle;
    Handle lastHandle = 0;
    std::array<int, kOpCount> failures{};
    uint32_t shortWriteBytes = 0;
    int shortWrites = 0;
    std::string input;
    std::deque<std::optional<std::string>> responses;  // nullopt: silence
    std::function<std::string(std::string_view)> responder;
    std::vector<std::string> frames;
    std::vector<Call> calls;
};

Fake& fake() {
    static Fake f;
    return f;
}

// Consumes one programmed failure of `op`, if any.
bool injectedFailure(Op op) {
    int& left = fake().failures[static_cast<size_t>(op)];
    if (left == 0) {
        return false;
    }
    if (left > 0) {
        --left;
    }
    return true;
}

Call& record(Op op, Handle h, bool ok) {
    Call c;
    c.op = op;
    c.handle = h;
    c.ok = ok;
    fake().calls.push_back(std::move(c));
    return fake().calls.back();
}

// The open port behind `h`, or null when `h` is not open.
Port* openPort(Handle h) {
    auto name = fake().handleNames.find(h);
    if (name == fake().handleNames.end()) {
        return nullptr;
    }
    Port& p = fake().ports[name->second];
    return p.open ? &p : nullptr;
}

// Common prologue of every call on a handle: the port, or null when the call
// fails (handle not open, or a programmed failure).
Port* begin(Op op, Handle h) {
    Port* p = openPort(h);
    if (injectedFailure(op)) {
        return nullptr;
    }
    return p;
}

bool doOpen(const char* name, Handle* out) {
    Fake& f = fake();
    Port& p = f.ports[name];
    bool ok = !injectedFailure(Op::Open) && (!p.open || std::string_view(name) == "NUL");
    Call& c = record(Op::Open, 0, ok);
    c.name = name;
    if (!ok) {
        return false;
    }
    p.open = true;
    Handle h = f.nextHandle;
    f.nextHandle += kHandleStep;
    f.handleNames[h] = name;
    f.lastHandle = h;
    *out = h;
    return true;
}

// Reads or writes one settings record of the handle's port.
template <typename T>
bool getSetting(Op op, Handle h, T Port::*member, T* out) {
    Port* p = begin(op, h);
    record(op, h, p != nullptr);
    if (p != nullptr) {
        *out = p->*member;
    }
    return p != nullptr;
}

template <typename T>
bool setSetting(Op op, Handle h, T Port::*member, const T* in) {
    Port* p = begin(op, h);
    record(op, h, p != nullptr);
    if (p != nullptr) {
        p->*member = *in;
    }
    return p != nullptr;
}

bool doGetState(Handle h, Dcb* dcb) {
    return getSetting(Op::GetState, h, &Port::dcb, dcb);
}

bool doSetState(Handle h, const Dcb* dcb) {
    return setSetting(Op::SetState, h, &Port::dcb, dcb);
}

bool doGetTimeouts(Handle h, Timeouts* t) {
    return getSetting(Op::GetTimeouts, h, &Port::timeouts, t);
}

bool doSetTimeouts(Handle h, const Timeouts* t) {
    bool ok = setSetting(Op::SetTimeouts, h, &Port::timeouts, t);
    fake().calls.back().readTimeoutMs = t->ReadTotalTimeoutConstant;
    return ok;
}

bool doSetupQueues(Handle h, uint32_t inBytes, uint32_t outBytes) {
    Port* p = begin(Op::SetupQueues, h);
    Call& c = record(Op::SetupQueues, h, p != nullptr);
    c.arg = inBytes;
    c.arg2 = outBytes;
    return p != nullptr;
}

bool doQueryInput(Handle h, uint32_t* waiting) {
    Port* p = begin(Op::QueryInput, h);
    Call& c = record(Op::QueryInput, h, p != nullptr);
    if (p == nullptr) {
        return false;
    }
    c.result = static_cast<uint32_t>(fake().input.size());
    *waiting = c.result;
    return true;
}

bool doRead(Handle h, void* buffer, uint32_t wanted, uint32_t* received) {
    Port* p = begin(Op::Read, h);
    Call& c = record(Op::Read, h, p != nullptr);
    c.arg = wanted;
    if (p == nullptr) {
        return false;
    }
    c.readTimeoutMs = p->timeouts.ReadTotalTimeoutConstant;
    std::string& in = fake().input;
    size_t n = std::min<size_t>(wanted, in.size());
    c.bytes = in.substr(0, n);
    in.erase(0, n);
    std::copy(c.bytes.begin(), c.bytes.end(), static_cast<char*>(buffer));
    c.result = static_cast<uint32_t>(n);
    *received = c.result;
    return true;
}

// What the PLC side sends back for the bytes just written.
void answer(std::string_view written) {
    Fake& f = fake();
    if (!f.responses.empty()) {
        if (f.responses.front()) {
            f.input += *f.responses.front();
        }
        f.responses.pop_front();
    } else if (f.responder) {
        f.input += f.responder(written);
    }
}

bool doWrite(Handle h, const void* bytes, uint32_t length, uint32_t* written) {
    Port* p = begin(Op::Write, h);
    Call& c = record(Op::Write, h, p != nullptr);
    c.arg = length;
    if (p == nullptr) {
        return false;
    }
    Fake& f = fake();
    uint32_t n = length;
    if (f.shortWrites != 0) {
        n = std::min(n, f.shortWriteBytes);
        if (f.shortWrites > 0) {
            --f.shortWrites;
        }
    }
    c.bytes.assign(static_cast<const char*>(bytes), n);
    c.result = n;
    *written = n;
    f.frames.push_back(c.bytes);
    // `c` may move when the responder's answer is logged; copy first.
    std::string sent = c.bytes;
    answer(sent);
    return true;
}

bool doClose(Handle h) {
    Port* p = begin(Op::Close, h);
    record(Op::Close, h, p != nullptr);
    if (p != nullptr) {
        p->open = false;
    }
    return p != nullptr;
}

void doSetBreak(Handle h, bool on) {
    Port* p = begin(Op::SetBreak, h);
    record(Op::SetBreak, h, p != nullptr).arg = on ? 1 : 0;
}

void doSleep(uint32_t ms) {
    injectedFailure(Op::Sleep);
    record(Op::Sleep, 0, true).arg = ms;
}

const Backend kBackend = {doOpen,        doGetState,    doSetState,   doGetTimeouts,
                          doSetTimeouts, doSetupQueues, doQueryInput, doRead,
                          doWrite,       doClose,       doSetBreak,   doSleep};

}  // namespace

const char* opName(Op op) {
    static constexpr std::array<const char*, kOpCount> kNames = {
        "Open",       "GetState", "SetState", "GetTimeouts", "SetTimeouts", "SetupQueues",
        "QueryInput", "Read",     "Write",    "Close",       "SetBreak",    "Sleep"};
    return kNames[static_cast<size_t>(op)];
}

void reset() {
    fake() = Fake{};
}

void fail(Op op, int times) {
    fake().failures[static_cast<size_t>(op)] = times;
}

void shortWrite(uint32_t k, int times) {
    fake().shortWriteBytes = k;
    fake().shortWrites = times;
}

void setNextHandle(Handle h) {
    fake().nextHandle = h;
}

void setDeviceState(std::string_view name, const Dcb& dcb) {
    fake().ports[std::string(name)].dcb = dcb;
}

void setDeviceTimeouts(std::string_view name, const Timeouts& t) {
    fake().ports[std::string(name)].timeouts = t;
}

void queueInput(std::string_view bytes) {
    fake().input += bytes;
}

void respond(std::string_view bytes) {
    fake().responses.emplace_back(std::string(bytes));
}

void respondSilence() {
    fake().responses.emplace_back(std::nullopt);
}

void setResponder(std::function<std::string(std::string_view)> responder) {
    fake().responder = std::move(responder);
}

const std::vector<std::string>& frames() {
    return fake().frames;
}

const std::vector<Call>& calls() {
    return fake().calls;
}

std::vector<Call> callsOf(Op op) {
    std::vector<Call> out;
    std::copy_if(fake().calls.begin(), fake().calls.end(), std::back_inserter(out),
                 [op](const Call& c) { return c.op == op; });
    return out;
}

size_t count(Op op) {
    return static_cast<size_t>(std::count_if(fake().calls.begin(), fake().calls.end(),
                                             [op](const Call& c) { return c.op == op; }));
}

void clearLog() {
    fake().frames.clear();
    fake().calls.clear();
}

std::string pendingInput() {
    return fake().input;
}

Handle lastHandle() {
    return fake().lastHandle;
}

bool isOpen(Handle h) {
    return openPort(h) != nullptr;
}

// Settings of the handle's port, open or not; defaults for an unknown handle.
static const Port& portOf(Handle h) {
    static const Port kNone;
    auto name = fake().handleNames.find(h);
    return name == fake().handleNames.end() ? kNone : fake().ports[name->second];
}

Dcb dcb(Handle h) {
    return portOf(h).dcb;
}

Timeouts timeouts(Handle h) {
    return portOf(h).timeouts;
}

}  // namespace scripted

const Backend& platformBackend() {
    return scripted::kBackend;
}

}  // namespace zel::serial
