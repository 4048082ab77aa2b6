// The zelfx subcommands. Each returns the process exit status: the driver's
// result (0 done, 1 refused, 2 failed), or throws UsageError (status 64).
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_client.h"

namespace zelfx {

inline constexpr int kExitUsage = 64;

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string port;
    std::optional<uint16_t> baud;
    std::optional<uint16_t> dataBits;
    std::optional<uint16_t> parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<uint16_t> stopBits;  // 0 one, 1 one and a half, 2 two
    int64_t timeoutMs = 1000;
    std::string driverPath;  // empty: look beside the executable
    bool json = false;
    bool trace = false;
};

struct ParseOptions {
    std::string gate;
    std::optional<int32_t> type;
    std::optional<int32_t> block;
};

struct ReadOptions {
    std::string gate;
    std::optional<int32_t> type;
    int32_t count = 1;
    int32_t valueType = 0;
};

struct WriteOptions {
    std::string gate;
    std::vector<std::string> values;
    std::optional<int32_t> type;
};

struct PollOptions {
    std::vector<std::string> gates;  // GATE or GATE:TYPE
    int64_t intervalMs = 1000;
    int64_t cycles = 0;  // 0: until interrupted
};

int runInfo(const GlobalOptions& g);
int runParse(const GlobalOptions& g, const ParseOptions& p);
int runPing(const GlobalOptions& g);
int runRead(const GlobalOptions& g, const ReadOptions& r);
int runWrite(const GlobalOptions& g, const WriteOptions& w);
int runPoll(const GlobalOptions& g, const PollOptions& p);
int runDemo(const GlobalOptions& g);

// Shared by the subcommands and the demo.

// Loads the driver named by --driver, or the one beside the executable, and
// installs the --trace printer. Throws LoadError.
std::unique_ptr<Driver> loadDriver(const GlobalOptions& g);

// The first failing step of a command: what it was, its result and what the
// driver logged during it.
struct Outcome {
    int32_t result = ZEL_DONE;
    std::string what;
    std::vector<LogEntry> messages;

    // Records the step when it is the first to fail; true when it succeeded.
    bool step(const Driver& driver, std::string_view stepName, int32_t stepResult);
};

// One open port: the driver's info, the context, ColdStart with the line
// and time-out options, and CloseCom plus EndZel at the end.
class Session {
  public:
    Session(Driver& driver, const GlobalOptions& g);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // ColdStart on `portName` (as the driver takes it); false on failure.
    bool open(const std::string& portName, Outcome& outcome);
    // CloseCom and EndZel; failures are recorded only when nothing failed
    // before.
    void close(Outcome& outcome);

    const Info& info() const { return info_; }
    const LineParams& line() const { return line_; }
    Port& port() { return port_; }

  private:
    Driver& driver_;
    Info info_;
    LineParams line_{};
    int64_t timeoutMs_;
    Port port_;
};

// The port name from --port, checked and shortened for the driver.
std::string requirePort(const GlobalOptions& g, std::string_view command);

// Holds SIGINT and SIGTERM back while alive, so that an interrupt ends a
// command between driver calls rather than inside one.
class SignalGuard {
  public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    // True when an interrupt is waiting.
    bool pending() const;
    // Waits up to `ms`; true when an interrupt arrived.
    bool wait(int64_t ms);

  private:
    sigset_t set_{};
    sigset_t old_{};
};

// Prints a JSON document on one line; texts that are not UTF-8 are
// replaced rather than refused.
void printJson(const nlohmann::ordered_json& doc);

}  // namespace zelfx
