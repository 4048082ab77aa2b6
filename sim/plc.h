// fxsim core: the memory of a simulated FX PLC and the programming-port
// responder, as plain functions of the bytes received and the clock value
// passed in. Nothing here touches a file descriptor, so the program, the
// tests and in-process harnesses all drive the same code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address/memmap.h"

namespace fxsim {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;
inline constexpr char kEnq = 0x05;
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

// Longest request: a write of 255 bytes, STX + 7 + 510 digits + ETX + 2.
inline constexpr size_t kMaxBody = 7 + 2 * 255;

// ---------------------------------------------------------------------------
// Memory

// One device of the memory map: a row of zel::kMemAreas and a device number
// within it (X and Y numbers are the plain values, not their octal text).
struct Device {
    int row = 0;
    uint32_t number = 0;
    friend bool operator==(const Device&, const Device&) = default;
};

// Width of a device's value in bits: 1, 16 or 32.
uint32_t deviceBits(const Device& d);
// First PLC byte address of a device (for bits, the byte holding it).
uint32_t deviceByte(const Device& d);
// True when the row exists and holds the device number.
bool deviceValid(const Device& d);

class Memory {
  public:
    // Byte addresses 0 .. kSize-1; only the served spaces are reachable.
    static constexpr uint32_t kSize = 0x1400;

    // True when every byte of [addr, addr + n) lies in one of the PLC's byte
    // spaces (the bit images, T, C16, C32, D8000s, D). n = 0 asks for addr.
    static bool served(uint32_t addr, uint32_t n);

    void read(uint32_t addr, uint32_t n, uint8_t* out) const;
    void write(uint32_t addr, const uint8_t* in, uint32_t n);

    uint32_t get(const Device& d) const;
    void set(const Device& d, uint32_t value);

    uint8_t byte(uint32_t addr) const { return bytes_.at(addr); }

  private:
    std::array<uint8_t, kSize> bytes_{};
};

// ---------------------------------------------------------------------------
// Faults

enum class FaultKind : uint8_t { Ok, Nak, Silent, BadSum, Short, Extra, Garbage, Delay };
inline constexpr size_t kFaultKinds = 8;

struct Fault {
    FaultKind kind = FaultKind::Ok;
    uint32_t delayMs = 0;  // for Delay
    friend bool operator==(const Fault&, const Fault&) = default;
};

std::string_view faultName(FaultKind k);
// "ok", "nak", "silent", "badsum", "short", "extra", "garbage", "delay=MS".
std::optional<Fault> parseFault(std::string_view text);
// A comma-separated list of the above; nullopt when any item is bad.
std::optional<std::vector<Fault>> parseFaultList(std::string_view text);

// The faults for successive requests: first the scripted list, one item per
// request; after it, each request draws a fault with probability `rate`
// from `pool` using a PRNG seeded by `seed` (the same seed gives the same
// sequence on every platform).
class FaultPlan {
  public:
    FaultPlan() = default;
    FaultPlan(std::vector<Fault> script, double rate, uint64_t seed, std::vector<Fault> pool = {});

    Fault next();
    uint64_t random();  // the plan's PRNG; also feeds garbage bytes

    // The pool used when none is given: every fault kind but ok, with a
    // delay of 300 ms.
    static std::vector<Fault> defaultPool();

  private:
    std::vector<Fault> script_;
    size_t used_ = 0;
    double rate_ = 0;
    uint64_t state_ = 0;
    std::vector<Fault> pool_;
};

// ---------------------------------------------------------------------------
// Requests and replies

enum class RequestKind : uint8_t { Enq, Read, Write, Refused };

// Why a frame was answered NAK.
enum class Refusal : uint8_t { None, Checksum, Malformed, Command, Range };
inline constexpr size_t kRefusals = 5;

struct Stats {
    uint64_t requests = 0;
    uint64_t enq = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;                         // valid write requests (stored or not)
    uint64_t stored = 0;                         // writes carried out (ACK sent intact)
    std::array<uint64_t, kRefusals> refused{};   // by Refusal; [0] unused
    uint64_t replies = 0;                        // non-empty replies produced
    std::array<uint64_t, kFaultKinds> faults{};  // by FaultKind; [0] unused
    uint64_t skipped = 0;                        // bytes skipped while hunting for a frame
    uint64_t dropped = 0;                        // partial frames dropped (timeout or restart)
    uint64_t cancelled = 0;                      // replies not sent (set by the caller)
};

// What one request got.
struct Action {
    RequestKind kind = RequestKind::Enq;
    Refusal refusal = Refusal::None;
    Fault fault;
    bool stored = false;   // a write that was carried out
    std::string request;   // the request's bytes as received
    std::string reply;     // the bytes to send (may be empty)
    uint32_t delayMs = 0;  // send the reply this much later (delay fault)
};

// Memory, fault plan and counters shared by every connection.
class Plc {
  public:
    Plc() = default;
    explicit Plc(FaultPlan plan) : plan_(std::move(plan)) {}

    Memory& memory() { return memory_; }
    const Memory& memory() const { return memory_; }
    Stats& stats() { return stats_; }
    const Stats& stats() const { return stats_; }
    FaultPlan& plan() { return plan_; }

    // Answers one complete request: ENQ alone, or STX body ETX s1 s2.
    Action respond(std::string_view request);

  private:
    struct WriteData {
        uint32_t addr = 0;
        uint32_t n = 0;
        std::array<uint8_t, 255> bytes{};
    };
    Action evaluate(std::string_view request, WriteData& write);
    void applyFault(Action& a);

    Memory memory_;
    FaultPlan plan_;
    Stats stats_;
};

// Framing state of one connection: hunts for ENQ or STX, skipping anything
// else, and collects a frame up to ETX and its two checksum characters.
// A frame left incomplete for longer than the inter-character time-out, or
// interrupted by a new STX or ENQ, is dropped without an answer.
class Link {
  public:
    explicit Link(Plc& plc, uint32_t charTimeoutMs = 500) : plc_(plc), timeoutMs_(charTimeoutMs) {}

    // Feeds bytes received at `nowMs`; returns one Action per request
    // completed by them, in order.
    std::vector<Action> feed(std::string_view bytes, uint64_t nowMs);
    // Drops a partial frame whose time-out has run out by `nowMs`.
    void expire(uint64_t nowMs);
    // When a partial frame will time out, if one is being collected.
    std::optional<uint64_t> deadline() const;
    // Forgets any partial frame (the client went away).
    void reset();

  private:
    enum class State : uint8_t { Hunt, Body, Sum };
    void drop();

    Plc& plc_;
    uint32_t timeoutMs_;
    State state_ = State::Hunt;
    std::string frame_;
    uint64_t lastMs_ = 0;
};

// The counters as three "fxsim stats: key=value ..." lines.
std::string formatStats(const Stats& s);

// Time on the line of `chars` characters at `baud`, 10 bits a character
// (7E1: start, 7 data, parity, stop), in microseconds.
uint64_t lineTimeUs(size_t chars, uint32_t baud);

// The checksum of a frame body: the sum of its bytes and ETX, modulo 256.
uint8_t frameSum(std::string_view body);

}  // namespace fxsim
