// Fuzz target: whole sessions of ZelMain commands over the scripted serial
// port, with the PLC's replies, the host's records and serial failures all
// taken from the fuzz input.
//
// Input: a sequence of operations. Each picks a command (the lifecycle
// commands, reads and writes of parsed or of arbitrary gates, unknown codes)
// or a disturbance of the port (a failing serial call, a short write, stale
// input). Every request the driver writes is answered from the input: a
// correct reply, a correct reply with one character changed, cut short, in
// lower case or with trailing bytes, NAK, silence, or raw bytes.
//
// Host records lie in heap blocks of their exact size, so AddressSanitizer
// sees any access past them. Checked after every call, from what the fake
// port logged: results are 0, 1 or 2; every frame written is a well-formed
// request or a lone ENQ; an exchange makes at most three attempts with one
// unchanged request; a read reports success only for a well-formed reply
// and stores exactly the values that reply carried; a failed read leaves the
// host's data alone; a write reports success only after ACK and sends
// exactly the host's values; a write leaves the host's records as it found
// them; a call without a port touches no port; after EndZel nothing runs;
// and no port is left open behind the context's back.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "address/memmap.h"
#include "entry/commands.h"
#include "fuzz_support.h"
#include "serial/scripted.h"
#include "zel_call.h"
#include "zelfx/zelfx.h"

namespace zelfuzz {
namespace {

namespace sc = zel::serial::scripted;

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kEnq = 0x05;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr int kMaxOperations = 48;

// ---------------------------------------------------------------------------
// Frames as the PLC side sees them.

int Hex(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

bool UpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int HexPair(std::string_view s, size_t at) {
    const int hi = Hex(s[at]);
    const int lo = Hex(s[at + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

uint32_t Sum(std::string_view s, size_t from, size_t to) {
    uint32_t sum = 0;
    for (size_t i = from; i <= to; ++i) {
        sum += static_cast<uint8_t>(s[i]);
    }
    return sum & 0xFFu;
}

void AppendHex(std::string& out, uint32_t byte, bool lower) {
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* digits = lower ? kLower : kUpper;
    out += digits[(byte >> 4) & 0xF];
    out += digits[byte & 0xF];
}

// A request as the driver must write it: STX, '0' or '1', four address
// digits, two count digits, 2n data digits for a write, ETX and the
// checksum, every digit upper case.
struct Request {
    char command = 0;
    uint32_t address = 0;
    uint32_t count = 0;
    std::vector<uint8_t> data;
};

Request ParseRequest(std::string_view f) {
    FUZZ_CHECK(f.size() >= 11 && f[0] == kStx && (f[1] == '0' || f[1] == '1'));
    for (size_t i = 2; i < 8; ++i) {
        FUZZ_CHECK(UpperHex(f[i]));
    }
    Request r;
    r.command = f[1];
    r.address = static_cast<uint32_t>(HexPair(f, 2) * 256 + HexPair(f, 4));
    r.count = static_cast<uint32_t>(HexPair(f, 6));
    const size_t dataDigits = r.command == '1' ? 2 * r.count : 0;
    FUZZ_CHECK(f.size() == 11 + dataDigits);
    for (size_t i = 8; i < 8 + dataDigits; ++i) {
        FUZZ_CHECK(UpperHex(f[i]));
    }
    for (size_t j = 0; j < r.count && r.command == '1'; ++j) {
        r.data.push_back(static_cast<uint8_t>(HexPair(f, 8 + 2 * j)));
    }
    const size_t etx = 8 + dataDigits;
    FUZZ_CHECK(f[etx] == kEtx && UpperHex(f[etx + 1]) && UpperHex(f[etx + 2]));
    FUZZ_CHECK(static_cast<uint32_t>(HexPair(f, etx + 1)) == Sum(f, 1, etx));
    return r;
}

// The data bytes of a reply that a read may accept for n bytes: STX, 2n
// hexadecimal digits of either case, ETX, a matching checksum.
std::vector<uint8_t> AcceptableReply(std::string_view r, uint32_t n) {
    FUZZ_CHECK(r.size() == 2 * n + 4 && r[0] == kStx && r[2 * n + 1] == kEtx);
    std::vector<uint8_t> bytes;
    for (uint32_t j = 0; j < n; ++j) {
        const int b = HexPair(r, 1 + 2 * j);
        FUZZ_CHECK(b >= 0);
        bytes.push_back(static_cast<uint8_t>(b));
    }
    FUZZ_CHECK(HexPair(r, 2 * n + 2) == static_cast<int>(Sum(r, 1, 2 * n + 1)));
    return bytes;
}

// ---------------------------------------------------------------------------
// The PLC side: answers every request from the fuzz input.

std::string CorrectReply(std::string_view req, Input& in, bool lower) {
    if (req.size() == 1 && req[0] == kEnq) {
        return std::string(1, kAck);
    }
    if (req.size() < 11 || req[0] != kStx) {
        return {};
    }
    if (req[1] == '1') {
        return std::string(1, kAck);
    }
    const int n = HexPair(req, 6);
    std::string reply(1, kStx);
    for (int j = 0; j < n; ++j) {
        AppendHex(reply, in.byte(), lower);
    }
    reply += kEtx;
    AppendHex(reply, Sum(reply, 1, reply.size() - 1), lower);
    return reply;
}

std::string Answer(std::string_view req, Input& in) {
    const uint8_t mode = in.byte();
    switch (mode % 10) {
        case 3:
            return CorrectReply(req, in, true);
        case 4: {
            std::string r = CorrectReply(req, in, false);
            if (!r.empty()) {
                r[in.byte() % r.size()] = static_cast<char>(in.byte());
            }
            return r;
        }
        case 5: {
            std::string r = CorrectReply(req, in, false);
            r.resize(r.size() - std::min<size_t>(r.size(), 1u + in.byte() % 4u));
            return r;
        }
        case 6:
            return CorrectReply(req, in, false) + std::string(in.bytes(in.byte() % 8u));
        case 7:
            return std::string(1, kNak);
        case 8:
            return {};
        case 9:
            return std::string(in.bytes(in.byte() % 160u));
        default:
            return CorrectReply(req, in, false);
    }
}

// ---------------------------------------------------------------------------
// The host side.

struct GateChoice {
    const char* text;
    int32_t gateType;
};

// Every row and access letter, with the devices at the ends of the rows.
constexpr GateChoice kGates[] = {
    {"SP0999", 6}, {"SB0124", 0}, {"XP017", 6},  {"XB017", 0},  {"YP177", 6},  {"YB000", 0},
    {"TP0005", 6}, {"TB0031", 0}, {"MP0010", 6}, {"MB0127", 0}, {"MP8255", 6}, {"MB1000", 0},
    {"CP0255", 6}, {"CB0000", 0}, {"TW0255", 0}, {"CW0199", 1}, {"CL0200", 4}, {"CL0255", 5},
    {"DD0000", 0}, {"DD0511", 1}, {"DD0100", 4}, {"DD0510", 5}, {"DW8000", 0}, {"DW8255", 1},
};
constexpr size_t kGateCount = sizeof kGates / sizeof kGates[0];

// One gate as a host hands it to a read or write: the IoRequest and its
// data, both in blocks of their exact size.
struct HostGate {
    std::unique_ptr<IoRequest> io = std::make_unique<IoRequest>();
    std::unique_ptr<uint8_t[]> data;
    size_t dataSize = 0;
    bool parsed = false;  // the descriptor comes from a parser command
    std::string name;
};

using zeltest::zelCall;

// The row of a descriptor the driver accepted.
const zel::MemArea& RowOf(const AddrDesc& a) {
    const zel::MemArea* row = zel::memArea(a.area);
    if (row == nullptr) {
        Fail(__FILE__, __LINE__, "a descriptor without a row was accepted");
    }
    return *row;
}

// Element size of a descriptor the driver accepted: 1 for bit rows.
uint32_t ElementSize(const AddrDesc& a) {
    return RowOf(a).kind == 'P' ? 1u : static_cast<uint32_t>(a.elementBits) / 8u;
}

// A gate the host parsed, or a descriptor and count of any content.
bool MakeGate(Input& in, bool single, HostGate& g) {
    IoRequest& io = *g.io;
    size_t dataSize = 4;
    if (in.byte() < 0xE0) {
        const GateChoice& choice = kGates[in.byte() % kGateCount];
        GateSpec spec{};
        spec.name = choice.text;
        spec.gateType = choice.gateType;
        spec.blockSize = 64;
        if (!single) {
            spec.blockSize = in.byte() % 65;
        }
        const uint32_t parser =
            single ? ZEL_CMD_SINGLE_ADDRESS_PARSER : ZEL_CMD_BLOCK_ADDRESS_PARSER;
        if (zelCall(nullptr, parser, &spec) != ZEL_DONE) {
            return false;
        }
        g.parsed = true;
        g.name = choice.text;
        io.addr = spec.addr;
        io.count = single ? 1 : static_cast<int32_t>(in.byte() % (spec.blockSize + 1));
        if (!single) {
            dataSize = static_cast<size_t>(io.count) * ElementSize(io.addr);
        }
    } else {
        io.addr.plc = in.i32();
        io.addr.area = in.smallOrRaw(-2);
        const auto address = static_cast<uint32_t>(in.smallOrRaw(-8));
        io.addr.address = static_cast<int32_t>(address * (in.byte() % 2 == 0 ? 1u : 64u));
        io.addr.bit = in.smallOrRaw(-2);
        io.addr.elementBits = in.smallOrRaw(-1);
        io.count = in.smallOrRaw(-4);
        g.name = std::string(in.bytes(in.byte() % 12u));
        if (!single) {
            dataSize = static_cast<size_t>(std::clamp(io.count, 0, 300)) * 4u;
        }
    }
    io.name = in.byte() % 8 == 0 ? nullptr : g.name.c_str();
    io.valueType = in.byte() % 3;
    g.dataSize = dataSize;
    g.data = std::make_unique<uint8_t[]>(dataSize);
    const std::string_view fill = in.bytes(dataSize);
    std::memcpy(g.data.get(), fill.data(), fill.size());
    io.data = g.data.get();
    return true;
}

// ---------------------------------------------------------------------------
// What one call did on the port.

struct Exchange {
    std::string request;  // bytes written
    bool full = false;    // all of them went out
    std::string reply;    // what the read after it delivered
    bool replied = false;
    uint32_t wanted = 0;  // what that read asked for
};

std::vector<Exchange> Exchanges() {
    std::vector<Exchange> out;
    const std::vector<sc::Call>& calls = sc::calls();
    for (size_t i = 0; i < calls.size(); ++i) {
        const sc::Call& c = calls[i];
        if (c.op != sc::Op::Write || !c.ok) {
            continue;
        }
        Exchange e{c.bytes, c.result == c.arg, {}, false};
        // The receive follows the send at once; a read after anything else
        // drains input.
        if (i + 1 < calls.size() && calls[i + 1].op == sc::Op::Read && calls[i + 1].ok) {
            e.reply = calls[i + 1].bytes;
            e.replied = true;
            e.wanted = calls[i + 1].arg;
        }
        out.push_back(std::move(e));
    }
    return out;
}

// Requests and replies fit the context's buffers. (An overrun inside the
// context would escape AddressSanitizer.)
void CheckFramesWritten(const std::vector<Exchange>& exchanges) {
    for (const Exchange& e : exchanges) {
        FUZZ_CHECK(e.request.size() < ZEL_REQUEST_BUF_SIZE);
        FUZZ_CHECK(e.wanted <= ZEL_REPLY_BUF_SIZE);
        if (e.full && !(e.request.size() == 1 && e.request[0] == kEnq)) {
            ParseRequest(e.request);
        }
    }
}

// At most three attempts, all with the same request.
void CheckAttempts(const std::vector<Exchange>& exchanges, char command) {
    const std::string* first = nullptr;
    int attempts = 0;
    for (const Exchange& e : exchanges) {
        if (e.request.size() < 2 || e.request[1] != command) {
            continue;
        }
        ++attempts;
        if (!e.full) {
            continue;
        }
        if (first == nullptr) {
            first = &e.request;
        }
        FUZZ_CHECK(e.request == *first);
    }
    FUZZ_CHECK(attempts <= 3);
}

// The last complete exchange whose request carries `command`.
const Exchange* LastOf(const std::vector<Exchange>& exchanges, char command) {
    const Exchange* last = nullptr;
    for (const Exchange& e : exchanges) {
        if (e.request.size() >= 2 && e.request[1] == command) {
            last = &e;
        }
    }
    return last;
}

uint32_t FrameAddress(const AddrDesc& a, bool write) {
    const zel::MemArea& row = RowOf(a);
    const int64_t address =
        int64_t{a.address} * zel::unitBytes(row.kind) + (write ? row.writeOffset : 0);
    return static_cast<uint32_t>(address);
}

void Put16(uint8_t* cell, uint32_t v) {
    cell[2] = static_cast<uint8_t>(v);
    cell[3] = static_cast<uint8_t>(v >> 8);
}

uint32_t Get16(const uint8_t* cell) {
    return cell[2] | uint32_t{cell[3]} << 8;
}

uint32_t Get32(const uint8_t* cell) {
    return cell[0] | uint32_t{cell[1]} << 8 | uint32_t{cell[2]} << 16 | uint32_t{cell[3]} << 24;
}

// The host's data after a successful read of `bytes`, from its data before.
std::vector<uint8_t> ExpectedRead(const IoRequest& io, bool single, std::vector<uint8_t> data,
                                  const std::vector<uint8_t>& bytes) {
    if (!single) {
        std::copy(bytes.begin(), bytes.end(), data.begin());
        return data;
    }
    uint32_t v = 0;
    for (size_t j = 0; j < bytes.size(); ++j) {
        v |= uint32_t{bytes[j]} << (8 * j);
    }
    const char kind = RowOf(io.addr).kind;
    if (kind == 'P' && io.addr.bit != -1) {
        Put16(data.data(), (v >> io.addr.bit) & 1u);
    } else if (kind == 'P' && io.valueType == 1) {
        Put16(data.data(), v >= 0x80 ? v | 0xFF00u : v);
    } else if (bytes.size() == 4) {
        std::memcpy(data.data(), &v, 4);  // the host's byte order: little-endian
    } else {
        Put16(data.data(), v);
    }
    return data;
}

// The data bytes a write must send for the host's values.
std::vector<uint8_t> ExpectedWrite(const IoRequest& io, bool single, const uint8_t* data,
                                   uint32_t n, const std::vector<Exchange>& exchanges) {
    if (!single) {
        return {data, data + n};
    }
    const char kind = RowOf(io.addr).kind;
    if (kind == 'P' && io.addr.bit >= 0) {
        // The byte as the read before the write got it, with the one bit
        // changed.
        const Exchange* read = LastOf(exchanges, '0');
        FUZZ_CHECK(read != nullptr);
        const uint32_t byte = AcceptableReply(read->reply, 1)[0];
        const uint32_t mask = 1u << io.addr.bit;
        return {static_cast<uint8_t>(Get16(data) != 0 ? byte | mask : byte & ~mask)};
    }
    const uint32_t v = n == 4 ? Get32(data) : Get16(data);
    std::vector<uint8_t> out;
    for (uint32_t j = 0; j < n; ++j) {
        out.push_back(static_cast<uint8_t>(v >> (8 * j)));
    }
    return out;
}

void CheckRead(uint32_t command, const HostGate& g, const std::vector<uint8_t>& before, int32_t rc,
               bool portOpen) {
    const IoRequest& io = *g.io;
    const bool single = command == ZEL_CMD_SINGLE_READ;
    const std::vector<uint8_t> after(g.data.get(), g.data.get() + g.dataSize);
    const std::vector<Exchange> exchanges = Exchanges();
    CheckAttempts(exchanges, '0');
    FUZZ_CHECK(rc != ZEL_REFUSED || !portOpen || !g.parsed);
    if (rc != ZEL_DONE) {
        FUZZ_CHECK(after == before);
        return;
    }
    const Exchange* last = LastOf(exchanges, '0');
    FUZZ_CHECK(last != nullptr && last->full && last->replied);
    const Request req = ParseRequest(last->request);
    const uint32_t size = ElementSize(io.addr);
    FUZZ_CHECK(req.address == FrameAddress(io.addr, false));
    FUZZ_CHECK(req.count == (single ? size : size * static_cast<uint32_t>(io.count)));
    const std::vector<uint8_t> bytes = AcceptableReply(last->reply, req.count);
    FUZZ_CHECK(after == ExpectedRead(io, single, before, bytes));
}

void CheckWrite(uint32_t command, const HostGate& g, const std::vector<uint8_t>& before,
                const IoRequest& ioBefore, int32_t rc, bool portOpen) {
    const IoRequest& io = *g.io;
    const bool single = command == ZEL_CMD_SINGLE_WRITE;
    FUZZ_CHECK(std::memcmp(&io, &ioBefore, sizeof io) == 0);
    FUZZ_CHECK(std::equal(before.begin(), before.end(), g.data.get()));
    const std::vector<Exchange> exchanges = Exchanges();
    CheckAttempts(exchanges, '1');
    CheckAttempts(exchanges, '0');
    const Exchange* last = LastOf(exchanges, '1');
    if (rc == ZEL_REFUSED && portOpen && g.parsed) {
        // Inputs, a byte value above 255, or an unknown answer to the last
        // of three attempts.
        const zel::MemArea& row = RowOf(io.addr);
        const bool byteTooLarge =
            single && row.kind == 'P' && io.addr.bit == -1 && Get16(g.data.get()) > 0xFF;
        if (row.letter == 'X' || byteTooLarge) {
            FUZZ_CHECK(last == nullptr);
        } else {
            FUZZ_CHECK(last != nullptr && last->reply.size() == 1 && last->reply[0] != kAck &&
                       last->reply[0] != kNak);
        }
    }
    if (rc != ZEL_DONE) {
        FUZZ_CHECK(last == nullptr || !last->full || last->reply != std::string(1, kAck));
        return;
    }
    FUZZ_CHECK(last != nullptr && last->full && last->reply == std::string(1, kAck));
    const Request req = ParseRequest(last->request);
    const uint32_t size = ElementSize(io.addr);
    const uint32_t n = single ? size : size * static_cast<uint32_t>(io.count);
    FUZZ_CHECK(req.address == FrameAddress(io.addr, true));
    FUZZ_CHECK(req.count == n);
    FUZZ_CHECK(req.data == ExpectedWrite(io, single, g.data.get(), n, exchanges));
}

// ---------------------------------------------------------------------------
// The session.

class Session {
  public:
    explicit Session(Input& in) : in_(in) {
        sc::reset();
        zel::driverEnded = 0;
        std::memset(context_.get(), in.byte(), sizeof(PortContext));
        sc::setResponder([this](std::string_view req) { return Answer(req, in_); });
    }
    ~Session() {
        sc::reset();
        zel::driverEnded = 0;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Step() {
        const uint8_t op = in_.byte();
        switch (op % 16) {
            case 0:
                ColdStart();
                break;
            case 1:
                Plain(ZEL_CMD_WARM_START);
                break;
            case 2:
            case 3:
                Transfer(ZEL_CMD_SINGLE_READ);
                break;
            case 4:
                Transfer(ZEL_CMD_BLOCK_READ);
                break;
            case 5:
            case 6:
                Transfer(ZEL_CMD_SINGLE_WRITE);
                break;
            case 7:
                Transfer(ZEL_CMD_BLOCK_WRITE);
                break;
            case 8:
                Plain(ZEL_CMD_CLOSE_COM);
                break;
            case 9:
                Plain(ZEL_CMD_REOPEN_COM);
                break;
            case 10:
                ChangeZelParams();
                break;
            case 11:
                Info();
                break;
            case 12:
                // EndZel only now and then: nothing runs after it.
                Plain(op < 0x40 ? ZEL_CMD_END_ZEL : ZEL_CMD_CLOSE_COM);
                break;
            case 13:
                Plain(in_.byte() % 2 == 0 ? in_.u32() : in_.byte() % 20u);
                break;
            case 14:
                DisturbPort();
                break;
            default:
                sc::queueInput(in_.bytes(in_.byte() % 40u));
                break;
        }
        CheckNoStrayPort();
    }

  private:
    // Runs one command and the checks that hold for every command.
    int32_t Call(uint32_t command, void* params) {
        const bool ended = zel::driverEnded == 1;
        std::vector<uint8_t> contextBefore(sizeof(PortContext));
        std::memcpy(contextBefore.data(), context_.get(), sizeof(PortContext));
        sc::clearLog();
        const int32_t rc = zelCall(context_.get(), command, params);
        FUZZ_CHECK(rc == ZEL_DONE || rc == ZEL_REFUSED || rc == ZEL_FAILED);
        CheckFramesWritten(Exchanges());
        if (ended) {
            FUZZ_CHECK(rc == ZEL_DONE && sc::calls().empty());
            FUZZ_CHECK(std::memcmp(contextBefore.data(), context_.get(), sizeof(PortContext)) == 0);
        }
        NotePorts();
        return rc;
    }

    void Name(char (&name)[ZEL_PORT_NAME_SIZE]) {
        static const char* const kNames[] = {"COM1", "COM2", "NUL", "nul"};
        const uint8_t pick = in_.byte();
        if (pick < 0xF0) {
            std::strncpy(name, kNames[pick % 4], sizeof name);
        } else {
            const std::string_view raw = in_.bytes(sizeof name);
            std::memcpy(name, raw.data(), raw.size());
        }
    }

    LineParams Line() {
        return LineParams{static_cast<uint16_t>(in_.u32()), in_.byte(), in_.byte(), in_.byte()};
    }

    void ColdStart() {
        auto start = std::make_unique<StartParams>();
        Name(start->portName);
        start->openPort = in_.byte() % 4 == 0 ? 0 : 1;
        start->timeout = in_.smallOrRaw(-2);
        start->line = Line();
        // A port the context still holds is dropped by ColdStart.
        if (context_->handle != 0 && zel::driverEnded == 0) {
            exempt_.insert(names_[context_->handle]);
        }
        const int32_t rc = Call(ZEL_CMD_COLD_START, start.get());
        if (rc == ZEL_DONE && zel::driverEnded == 0) {
            FUZZ_CHECK((context_->handle != 0) == (start->openPort != 0));
        }
    }

    void ChangeZelParams() {
        auto change = std::make_unique<::ChangeParams>();
        Name(change->portName);
        change->timeout = in_.smallOrRaw(-2);
        change->line = Line();
        const int32_t rc = Call(ZEL_CMD_CHANGE_ZEL_PARAMS, change.get());
        if (rc == ZEL_DONE && zel::driverEnded == 0) {
            FUZZ_CHECK(context_->handle != 0);
        }
    }

    void Plain(uint32_t command) {
        const bool ended = zel::driverEnded == 1;
        const int32_t rc = Call(command, nullptr);
        if (ended) {
            return;
        }
        if (command == ZEL_CMD_CLOSE_COM || command == ZEL_CMD_END_ZEL) {
            FUZZ_CHECK(rc != ZEL_REFUSED);
            FUZZ_CHECK(rc != ZEL_DONE || context_->handle == 0);
        } else if (command == ZEL_CMD_WARM_START) {
            FUZZ_CHECK(rc != ZEL_REFUSED);
            for (const Exchange& e : Exchanges()) {
                FUZZ_CHECK(e.request == std::string(1, kEnq) || !e.full);
            }
            FUZZ_CHECK(Exchanges().size() <= 3);
        } else if (command == ZEL_CMD_REOPEN_COM) {
            FUZZ_CHECK(rc != ZEL_REFUSED && (rc != ZEL_DONE || context_->handle != 0));
        } else if (command > 16 || command == 0 || command == 8 || command == 9 || command == 16) {
            FUZZ_CHECK(rc == ZEL_FAILED && sc::calls().empty());
        }
    }

    void Info() {
        auto info = std::make_unique<DriverInfo>();
        const bool ended = zel::driverEnded == 1;
        FUZZ_CHECK(Call(ZEL_CMD_GET_ZEL_INFO, info.get()) == ZEL_DONE);
        if (!ended) {
            FUZZ_CHECK(info->contextSize == ZEL_CONTEXT_SIZE);
            FUZZ_CHECK(std::strcmp(info->name, "Mitsubishi FX") == 0);
        }
    }

    // A read or write of a gate as a host may hand it over.
    void Transfer(uint32_t command) {
        const bool single = command == ZEL_CMD_SINGLE_READ || command == ZEL_CMD_SINGLE_WRITE;
        HostGate g;
        if (!MakeGate(in_, single, g)) {
            return;
        }
        const bool ended = zel::driverEnded == 1;
        const bool portOpen = context_->handle != 0;
        const std::vector<uint8_t> before(g.data.get(), g.data.get() + g.dataSize);
        const IoRequest ioBefore = *g.io;
        const int32_t rc = Call(command, g.io.get());
        if (ended) {
            return;
        }
        if (!portOpen) {
            FUZZ_CHECK(rc == ZEL_REFUSED && sc::calls().empty());
        }
        if (command == ZEL_CMD_SINGLE_READ || command == ZEL_CMD_BLOCK_READ) {
            CheckRead(command, g, before, rc, portOpen);
        } else {
            CheckWrite(command, g, before, ioBefore, rc, portOpen);
        }
    }

    void DisturbPort() {
        static constexpr sc::Op kOps[] = {
            sc::Op::Open,        sc::Op::GetState,    sc::Op::SetState,
            sc::Op::GetTimeouts, sc::Op::SetTimeouts, sc::Op::QueryInput,
            sc::Op::Read,        sc::Op::Write,       sc::Op::Close};
        const uint8_t pick = in_.byte();
        if (pick % 10 == 9) {
            sc::shortWrite(in_.byte() % 140u, 1 + in_.byte() % 3);
        } else {
            sc::fail(kOps[pick % 9], 1 + in_.byte() % 3);
        }
    }

    // Which port each handle opened by the driver names (the fake hands out
    // handles from 0x100 in steps of 4). A port whose close failed is exempt
    // from the check below: it may stay open.
    void NotePorts() {
        for (const sc::Call& c : sc::calls()) {
            if (c.op == sc::Op::Open && c.ok) {
                names_[nextHandle_] = c.name;
                nextHandle_ += 4;
            } else if (c.op == sc::Op::Close && !c.ok) {
                exempt_.insert(names_[c.handle]);
            }
        }
    }

    // Every port the driver opened is closed again or is the context's,
    // unless ColdStart dropped it or a close failed. "NUL" may be open any
    // number of times.
    void CheckNoStrayPort() {
        const auto context = names_.find(context_->handle);
        for (const auto& [handle, name] : names_) {
            if (name == "NUL" || exempt_.count(name) != 0 || !sc::isOpen(handle)) {
                continue;
            }
            FUZZ_CHECK(context != names_.end() && context->second == name);
        }
    }

    Input& in_;
    LogCheck log_;
    std::unique_ptr<PortContext> context_ = std::make_unique<PortContext>();
    std::map<zel::serial::Handle, std::string> names_;
    zel::serial::Handle nextHandle_ = 0x100;
    std::set<std::string> exempt_;
};

}  // namespace

int LinkOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Session session(in);
    for (int i = 0; i < kMaxOperations && !in.empty(); ++i) {
        session.Step();
    }
    return 0;
}

}  // namespace zelfuzz

#ifdef ZELFX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return zelfuzz::LinkOneInput(data, size);
}
#endif
