// The host side of the driver interface: loading the library, calling its
// commands, collecting what it logs, and moving values in and out of the
// records it reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelfx/zelfx.h"

namespace zelfx {

struct LogEntry {
    int32_t level;
    std::string text;

    bool operator==(const LogEntry&) const = default;
};

class LoadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The directory that holds the running executable.
std::string executableDir();

// Where to look for a file that the build tree or an installation puts near
// the executable: `exeDir`/`name`, then each `exeDir`/`relative` in turn.
std::vector<std::string> nearExecutable(const std::string& exeDir, std::string_view name,
                                        std::initializer_list<std::string_view> relatives);

// The first of `candidates` that exists, or nullopt.
std::optional<std::string> firstExisting(const std::vector<std::string>& candidates);

// One loaded driver library. Every message the driver logs while this object
// lives is kept, in order; a trace callback can also see each as it arrives.
class Driver {
  public:
    explicit Driver(const std::string& path);  // throws LoadError
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Calls ZelMain with one request and returns the driver's result.
    int32_t call(uint32_t command, void* params, PortContext* context = nullptr);

    const std::vector<LogEntry>& log() const { return log_; }
    // What the most recent call() logged.
    std::span<const LogEntry> lastCallLog() const;

    // Hands over everything logged so far and starts afresh.
    std::vector<LogEntry> takeLog();

    void onMessage(std::function<void(const LogEntry&)> trace) { trace_ = std::move(trace); }

  private:
    static void sink(int32_t level, const char* text, void* user);

    void* library_ = nullptr;
    ZelMainFn main_ = nullptr;
    std::vector<LogEntry> log_;
    size_t callStart_ = 0;
    std::function<void(const LogEntry&)> trace_;
};

// The driver's self-description, copied out of DriverInfo.
struct Info {
    int32_t result = 0;
    int32_t driverCode = 0;
    std::string name;
    std::string banner;  // raw code page 437 bytes, without the NUL
    int32_t contextSize = 0;
    int32_t infoValueA = 0;
    int32_t infoValueB = 0;
    LineParams defaultLine{};
};
Info getInfo(Driver& driver);

// A PortContext of the size the driver asks for (never smaller than the
// record itself), 4-byte aligned and zeroed.
class Port {
  public:
    Port(Driver& driver, int32_t contextSize);

    int32_t coldStart(const std::string& portName, int32_t timeout10ms, const LineParams& line);
    int32_t warmStart();
    int32_t closeCom();
    int32_t endZel();

    Driver& driver() { return driver_; }
    PortContext* context() { return reinterpret_cast<PortContext*>(storage_.data()); }
    size_t contextBytes() const { return storage_.size() * sizeof(uint32_t); }

  private:
    Driver& driver_;
    std::vector<uint32_t> storage_;
};

// How the host lays out a gate's values, as the parsed descriptor tells it.
enum class ValueKind { Bit, Byte, Word, Dword };

ValueKind valueKind(const AddrDesc& addr);
unsigned elementBits(ValueKind kind);
// Bytes per element in a block array.
size_t blockElementBytes(ValueKind kind);

// The gate type used when none is given: DIGITAL for single bits, LONG for
// 32-bit values, analog for everything else (access letters B, W and D).
int32_t defaultGateType(std::string_view gateText);

// A gate as the host keeps it: its text, its type and the parsed descriptor.
struct Gate {
    std::string text;
    int32_t gateType = 0;
    AddrDesc addr{};
};

// Runs SingleAddressParser, or BlockAddressParser when `blockSize` is given,
// and keeps the descriptor on success.
int32_t parseGate(Driver& driver, Gate& gate, std::optional<int32_t> blockSize);

// Values travel as 64-bit integers on the host side, wide enough for both
// signed and unsigned 32-bit elements.
struct Values {
    int32_t result = 0;
    std::vector<int64_t> values;
};

// `count` 1 uses SingleRead, more uses BlockRead. valueType 1 marks a signed
// gate: the driver sign-extends a single byte, and the host reads every
// element as signed.
Values readGate(Port& port, const Gate& gate, int32_t count, int32_t valueType);

// One value uses SingleWrite, more use BlockWrite. The values must have
// passed checkValue().
int32_t writeGate(Port& port, const Gate& gate, std::span<const int64_t> values);

// Packing, exposed for the commands above and for tests.
void packSingle(ValueKind kind, int64_t value, GateValue& cell);
int64_t unpackSingle(ValueKind kind, const GateValue& cell, bool isSigned);
std::vector<uint8_t> packBlock(ValueKind kind, std::span<const int64_t> values);
std::vector<int64_t> unpackBlock(ValueKind kind, std::span<const uint8_t> data, bool isSigned);

// The values the host can carry to the driver for a gate. A single value
// travels in the 16-bit half of the cell (32 bits for 32-bit gates); a block
// element in its own width. A bit takes 0 or 1.
struct ValueRange {
    int64_t min;
    int64_t max;
};
ValueRange valueRange(ValueKind kind, bool block);

// Parses a decimal, 0x-hexadecimal or negative integer; nullopt when the
// text is not one.
std::optional<int64_t> parseInteger(std::string_view text);

// Port names: the driver takes names without a leading '/' as relative
// to /dev, and holds at most 11 characters. Returns the name to pass, or
// nullopt when it cannot fit.
std::optional<std::string> portNameForDriver(std::string_view name);

// A read time-out in ms as the driver holds it: units of 10 ms, rounded up,
// at least 1.
int32_t timeoutUnits(int64_t ms);

}  // namespace zelfx
