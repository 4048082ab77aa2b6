#include "plc.h"

#include <algorithm>

namespace fxsim {

namespace {

using zel::kMemAreas;

const zel::MemArea& rowOf(const Device& d) {
    return kMemAreas.at(static_cast<size_t>(d.row));
}

// Bytes a row occupies from its base.
constexpr uint32_t rowBytes(const zel::MemArea& a) {
    return a.kind == 'P' ? (a.count + 7u) / 8u : a.count * zel::unitBytes(a.kind);
}

struct Space {
    uint32_t begin;
    uint32_t end;  // one past the last byte
};

// The PLC's byte spaces: the bit images as one space from the lowest to the
// highest bit row, and every value row on its own.
constexpr auto kSpaces = [] {
    std::array<Space, kMemAreas.size()> s{};
    size_t n = 0;
    Space bits{0xFFFF, 0};
    for (const auto& a : kMemAreas) {
        const Space r{a.base, a.base + rowBytes(a)};
        if (a.kind == 'P') {
            bits.begin = std::min(bits.begin, r.begin);
            bits.end = std::max(bits.end, r.end);
        } else {
            s[n++] = r;
        }
    }
    s[n++] = bits;
    return std::pair{s, n};
}();

static_assert(std::all_of(kSpaces.first.begin(), kSpaces.first.begin() + kSpaces.second,
                          [](const Space& s) { return s.end <= Memory::kSize; }),
              "memory map reaches past the simulated memory");

bool servedByte(uint32_t addr) {
    for (size_t i = 0; i < kSpaces.second; ++i) {
        if (addr >= kSpaces.first[i].begin && addr < kSpaces.first[i].end) {
            return true;
        }
    }
    return false;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexVal(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Parses `text` as hexadecimal digits, or returns nullopt.
std::optional<uint32_t> hexField(std::string_view text) {
    uint32_t v = 0;
    for (char c : text) {
        const int d = hexVal(c);
        if (d < 0) {
            return std::nullopt;
        }
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
}

void appendHex2(std::string& out, uint32_t byte) {
    out += kHexDigits[(byte >> 4) & 0xF];
    out += kHexDigits[byte & 0xF];
}

struct FaultName {
    FaultKind kind;
    std::string_view name;
};
constexpr std::array<FaultName, kFaultKinds> kFaultNames{{
    {FaultKind::Ok, "ok"},
    {FaultKind::Nak, "nak"},
    {FaultKind::Silent, "silent"},
    {FaultKind::BadSum, "badsum"},
    {FaultKind::Short, "short"},
    {FaultKind::Extra, "extra"},
    {FaultKind::Garbage, "garbage"},
    {FaultKind::Delay, "delay"},
}};

// A write is stored exactly when its ACK goes out intact.
bool storesWrite(FaultKind k) {
    return k == FaultKind::Ok || k == FaultKind::Extra || k == FaultKind::Delay;
}

}  // namespace

// ---------------------------------------------------------------------------
// Memory

bool deviceValid(const Device& d) {
    if (d.row < 0 || static_cast<size_t>(d.row) >= kMemAreas.size()) {
        return false;
    }
    const auto& a = rowOf(d);
    return d.number >= a.first && d.number < static_cast<uint32_t>(a.first) + a.count;
}

uint32_t deviceBits(const Device& d) {
    const auto& a = rowOf(d);
    return a.kind == 'P' ? 1 : 8 * zel::unitBytes(a.kind);
}

uint32_t deviceByte(const Device& d) {
    const auto& a = rowOf(d);
    const uint32_t i = d.number - a.first;
    return a.kind == 'P' ? a.base + i / 8 : a.base + i * zel::unitBytes(a.kind);
}

bool Memory::served(uint32_t addr, uint32_t n) {
    if (n == 0) {
        return servedByte(addr);
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!servedByte(addr + i)) {
            return false;
        }
    }
    return true;
}

void Memory::read(uint32_t addr, uint32_t n, uint8_t* out) const {
    std::copy_n(bytes_.begin() + addr, n, out);
}

void Memory::write(uint32_t addr, const uint8_t* in, uint32_t n) {
    std::copy_n(in, n, bytes_.begin() + addr);
}

uint32_t Memory::get(const Device& d) const {
    const uint32_t at = deviceByte(d);
    const uint32_t bits = deviceBits(d);
    if (bits == 1) {
        return (uint32_t{bytes_.at(at)} >> ((d.number - rowOf(d).first) % 8)) & 1u;
    }
    uint32_t v = 0;
    for (uint32_t i = bits / 8; i-- > 0;) {
        v = (v << 8) | bytes_.at(at + i);
    }
    return v;
}

void Memory::set(const Device& d, uint32_t value) {
    const uint32_t at = deviceByte(d);
    const uint32_t bits = deviceBits(d);
    if (bits == 1) {
        const auto mask = static_cast<uint8_t>(1u << ((d.number - rowOf(d).first) % 8));
        bytes_.at(at) = static_cast<uint8_t>(value ? bytes_.at(at) | mask : bytes_.at(at) & ~mask);
        return;
    }
    for (uint32_t i = 0; i < bits / 8; ++i) {
        bytes_.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

// ---------------------------------------------------------------------------
// Faults

std::string_view faultName(FaultKind k) {
    return kFaultNames.at(static_cast<size_t>(k)).name;
}

std::optional<Fault> parseFault(std::string_view text) {
    for (const auto& f : kFaultNames) {
        if (text == f.name && f.kind != FaultKind::Delay) {
            return Fault{f.kind, 0};
        }
    }
    constexpr std::string_view kDelay = "delay=";
    if (text.substr(0, kDelay.size()) != kDelay || text.size() == kDelay.size() ||
        text.size() > kDelay.size() + 7) {
        return std::nullopt;
    }
    uint32_t ms = 0;
    for (char c : text.substr(kDelay.size())) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        ms = ms * 10 + static_cast<uint32_t>(c - '0');
    }
    return Fault{FaultKind::Delay, ms};
}

std::optional<std::vector<Fault>> parseFaultList(std::string_view text) {
    std::vector<Fault> out;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const auto f = parseFault(text.substr(0, comma));
        if (!f) {
            return std::nullopt;
        }
        out.push_back(*f);
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
        if (text.empty()) {
            return std::nullopt;  // trailing comma
        }
    }
    return out;
}

FaultPlan::FaultPlan(std::vector<Fault> script, double rate, uint64_t seed, std::vector<Fault> pool)
    : script_(std::move(script)),
      rate_(rate),
      state_(seed),
      pool_(pool.empty() ? defaultPool() : std::move(pool)) {}

std::vector<Fault> FaultPlan::defaultPool() {
    return {{FaultKind::Nak, 0},    {FaultKind::Silent, 0}, {FaultKind::BadSum, 0},
            {FaultKind::Short, 0},  {FaultKind::Extra, 0},  {FaultKind::Garbage, 0},
            {FaultKind::Delay, 300}};
}

// splitmix64: small, fast and the same everywhere.
uint64_t FaultPlan::random() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Fault FaultPlan::next() {
    if (used_ < script_.size()) {
        return script_[used_++];
    }
    if (rate_ <= 0 || pool_.empty()) {
        return {};
    }
    const double u = static_cast<double>(random() >> 11) * 0x1.0p-53;
    if (u >= rate_) {
        return {};
    }
    return pool_[random() % pool_.size()];
}

// ---------------------------------------------------------------------------
// Responder

uint8_t frameSum(std::string_view body) {
    uint32_t sum = static_cast<uint8_t>(kEtx);
    for (char c : body) {
        sum += static_cast<uint8_t>(c);
    }
    return static_cast<uint8_t>(sum);
}

Action Plc::evaluate(std::string_view request, WriteData& write) {
    Action a;
    a.request = std::string(request);
    if (request.size() == 1 && request[0] == kEnq) {
        a.kind = RequestKind::Enq;
        a.reply = std::string(1, kAck);
        return a;
    }
    auto refuse = [&a](Refusal why) {
        a.kind = RequestKind::Refused;
        a.refusal = why;
        a.reply = std::string(1, kNak);
        return a;
    };
    const size_t len = request.size();
    if (len < 4 || request[0] != kStx || request[len - 3] != kEtx) {
        return refuse(Refusal::Malformed);
    }
    const std::string_view body = request.substr(1, len - 4);
    const auto sum = hexField(request.substr(len - 2));
    if (!sum || *sum != frameSum(body)) {
        return refuse(Refusal::Checksum);
    }
    if (body.empty()) {
        return refuse(Refusal::Malformed);
    }
    if (body[0] != '0' && body[0] != '1') {
        return refuse(Refusal::Command);
    }
    const bool isWrite = body[0] == '1';
    if (body.size() < 7) {
        return refuse(Refusal::Malformed);
    }
    const auto addr = hexField(body.substr(1, 4));
    const auto n = hexField(body.substr(5, 2));
    if (!addr || !n || body.size() != 7 + (isWrite ? 2 * *n : 0)) {
        return refuse(Refusal::Malformed);
    }
    for (uint32_t i = 0; i < (isWrite ? *n : 0); ++i) {
        const auto b = hexField(body.substr(7 + 2 * i, 2));
        if (!b) {
            return refuse(Refusal::Malformed);
        }
        write.bytes.at(i) = static_cast<uint8_t>(*b);
    }
    if (!Memory::served(*addr, *n)) {
        return refuse(Refusal::Range);
    }
    if (isWrite) {
        a.kind = RequestKind::Write;
        a.reply = std::string(1, kAck);
        write.addr = *addr;
        write.n = *n;
        return a;
    }
    a.kind = RequestKind::Read;
    std::array<uint8_t, 255> bytes{};
    memory_.read(*addr, *n, bytes.data());
    a.reply = std::string(1, kStx);
    for (uint32_t i = 0; i < *n; ++i) {
        appendHex2(a.reply, bytes.at(i));
    }
    a.reply += kEtx;
    appendHex2(a.reply, frameSum(std::string_view(a.reply).substr(1, a.reply.size() - 2)));
    return a;
}

void Plc::applyFault(Action& a) {
    // Junk never holds a byte that a client could take for a control
    // character, even with the eighth bit stripped.
    auto junk = [this](size_t n) {
        std::string s;
        while (s.size() < n) {
            const auto b = static_cast<char>(plan_.random() & 0xFF);
            const char low = static_cast<char>(b & 0x7F);
            if (low != kStx && low != kEtx && low != kEnq && low != kAck && low != kNak) {
                s += b;
            }
        }
        return s;
    };
    switch (a.fault.kind) {
        case FaultKind::Ok:
            break;
        case FaultKind::Nak:
            a.reply = std::string(1, kNak);
            break;
        case FaultKind::Silent:
            a.reply.clear();
            break;
        case FaultKind::BadSum:
            if (a.reply.size() == 1) {
                a.reply[0] = static_cast<char>(a.reply[0] ^ 0x40);
            } else {
                const size_t at = a.reply.size() - 2;
                const uint32_t wrong = frameSum(std::string_view(a.reply).substr(1, at - 2)) + 1u;
                a.reply.resize(at);
                appendHex2(a.reply, wrong & 0xFF);
            }
            break;
        case FaultKind::Short:
            if (!a.reply.empty()) {
                a.reply.pop_back();
            }
            break;
        case FaultKind::Extra:
            a.reply += junk(1 + plan_.random() % 8);
            break;
        case FaultKind::Garbage:
            a.reply = junk(a.reply.size());
            break;
        case FaultKind::Delay:
            a.delayMs = a.fault.delayMs;
            break;
    }
}

Action Plc::respond(std::string_view request) {
    WriteData write;
    Action a = evaluate(request, write);
    a.fault = plan_.next();
    applyFault(a);
    if (a.kind == RequestKind::Write && storesWrite(a.fault.kind)) {
        memory_.write(write.addr, write.bytes.data(), write.n);
        a.stored = true;
    }

    ++stats_.requests;
    switch (a.kind) {
        case RequestKind::Enq:
            ++stats_.enq;
            break;
        case RequestKind::Read:
            ++stats_.reads;
            break;
        case RequestKind::Write:
            ++stats_.writes;
            break;
        case RequestKind::Refused:
            ++stats_.refused.at(static_cast<size_t>(a.refusal));
            break;
    }
    stats_.stored += a.stored ? 1u : 0u;
    stats_.replies += a.reply.empty() ? 0u : 1u;
    if (a.fault.kind != FaultKind::Ok) {
        ++stats_.faults.at(static_cast<size_t>(a.fault.kind));
    }
    return a;
}

// ---------------------------------------------------------------------------
// Framing

void Link::drop() {
    if (state_ != State::Hunt) {
        ++plc_.stats().dropped;
    }
    reset();
}

void Link::reset() {
    state_ = State::Hunt;
    frame_.clear();
}

void Link::expire(uint64_t nowMs) {
    if (const auto d = deadline(); d && nowMs >= *d) {
        drop();
    }
}

std::optional<uint64_t> Link::deadline() const {
    if (state_ == State::Hunt) {
        return std::nullopt;
    }
    return lastMs_ + timeoutMs_;
}

std::vector<Action> Link::feed(std::string_view bytes, uint64_t nowMs) {
    std::vector<Action> out;
    if (bytes.empty()) {
        return out;
    }
    expire(nowMs);
    lastMs_ = nowMs;
    for (const char c : bytes) {
        if (c == kStx || c == kEnq) {
            drop();  // a new request abandons a partial one
            if (c == kEnq) {
                out.push_back(plc_.respond(std::string_view(&kEnq, 1)));
            } else {
                frame_ = c;
                state_ = State::Body;
            }
            continue;
        }
        switch (state_) {
            case State::Hunt:
                ++plc_.stats().skipped;
                break;
            case State::Body:
                frame_ += c;
                if (c == kEtx) {
                    state_ = State::Sum;
                } else if (frame_.size() > 1 + kMaxBody) {
                    out.push_back(plc_.respond(frame_));  // overlong: NAK
                    reset();
                }
                break;
            case State::Sum:
                frame_ += c;
                if (frame_[frame_.size() - 3] == kEtx) {
                    out.push_back(plc_.respond(frame_));
                    reset();
                }
                break;
        }
    }
    return out;
}

std::string formatStats(const Stats& s) {
    auto kv = [](std::string_view key, uint64_t v) {
        return " " + std::string(key) + "=" + std::to_string(v);
    };
    constexpr std::array<std::string_view, kRefusals> kRefusalNames{"", "checksum", "malformed",
                                                                    "command", "range"};
    uint64_t refused = 0;
    std::string reasons;
    for (size_t r = 1; r < kRefusals; ++r) {
        refused += s.refused.at(r);
        reasons += kv(kRefusalNames.at(r), s.refused.at(r));
    }
    std::string out = "fxsim stats:" + kv("requests", s.requests) + kv("enq", s.enq) +
                      kv("read", s.reads) + kv("write", s.writes) + kv("stored", s.stored) +
                      kv("refused", refused) + reasons + "\n";
    out += "fxsim stats:" + kv("replies", s.replies) + kv("cancelled", s.cancelled) +
           kv("skipped", s.skipped) + kv("dropped", s.dropped) + "\n";
    out += "fxsim stats: faults";
    for (size_t k = 1; k < kFaultKinds; ++k) {
        out += kv(faultName(static_cast<FaultKind>(k)), s.faults.at(k));
    }
    return out + "\n";
}

uint64_t lineTimeUs(size_t chars, uint32_t baud) {
    return baud == 0 ? 0 : static_cast<uint64_t>(chars) * 10u * 1'000'000u / baud;
}

}  // namespace fxsim
