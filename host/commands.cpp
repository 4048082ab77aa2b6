#include "commands.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>

#include "format.h"

namespace zelfx {

namespace {

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : std::string(separator)) + item;
    }
    return out;
}

LineParams lineFrom(const GlobalOptions& g, LineParams line) {
    line.baudRate = g.baud.value_or(line.baudRate);
    line.dataBits = g.dataBits.value_or(line.dataBits);
    line.parity = g.parity.value_or(line.parity);
    line.stopBits = g.stopBits.value_or(line.stopBits);
    return line;
}

std::string parserName(const std::optional<int32_t>& block) {
    return block ? "BlockAddressParser" : "SingleAddressParser";
}

Gate gateFor(const std::string& text, const std::optional<int32_t>& type) {
    return Gate{text, type.value_or(defaultGateType(text)), {}};
}

// The last message of the driver's most recent call, or "".
std::string lastMessage(const Driver& driver) {
    auto log = driver.lastCallLog();
    return log.empty() ? std::string() : log.back().text;
}

// Parses the gate; when it is accepted, runs `beforeOpen`, opens the port,
// runs `body` and closes the port again.
Outcome withGate(Driver& driver, const GlobalOptions& g, const std::string& portName, Gate& gate,
                 std::optional<int32_t> block, const std::function<void()>& beforeOpen,
                 const std::function<void(Session&, Outcome&)>& body) {
    Outcome out;
    if (!out.step(driver, parserName(block) + " " + gate.text, parseGate(driver, gate, block))) {
        return out;
    }
    beforeOpen();
    Session session(driver, g);
    if (session.open(portName, out)) {
        body(session, out);
    }
    session.close(out);
    return out;
}

void reportFailure(const GlobalOptions& g, const Outcome& out) {
    if (out.result != ZEL_DONE && !g.json) {
        std::cerr << failureReport(out.what, out.result, out.messages);
    }
}

// "DD0100" for a single value, "DD0100[3]" for element 3 of a block.
std::string elementName(const Gate& gate, size_t index, size_t count) {
    return count == 1 ? gate.text : gate.text + "[" + std::to_string(index) + "]";
}

}  // namespace

// --- Shared pieces --------------------------------------------------------

std::unique_ptr<Driver> loadDriver(const GlobalOptions& g) {
    std::string path = g.driverPath;
    if (path.empty()) {
        auto candidates = nearExecutable(executableDir(), "libzelfx.so", {"../driver/libzelfx.so"});
        auto found = firstExisting(candidates);
        if (!found) {
            throw LoadError("cannot find the driver library (looked for " +
                            joined(candidates, ", ") + "); name it with --driver PATH");
        }
        path = *found;
    }
    auto driver = std::make_unique<Driver>(path);
    if (g.trace) {
        driver->onMessage([](const LogEntry& e) {
            std::fprintf(stderr, "[%d] %s\n", static_cast<int>(e.level), e.text.c_str());
        });
    }
    return driver;
}

bool Outcome::step(const Driver& driver, std::string_view stepName, int32_t stepResult) {
    if (stepResult != ZEL_DONE && result == ZEL_DONE) {
        result = stepResult;
        what = stepName;
        auto log = driver.lastCallLog();
        messages.assign(log.begin(), log.end());
    }
    return stepResult == ZEL_DONE;
}

Session::Session(Driver& driver, const GlobalOptions& g)
    : driver_(driver),
      info_(getInfo(driver)),
      line_(lineFrom(g, info_.defaultLine)),
      timeoutMs_(g.timeoutMs),
      port_(driver, info_.contextSize) {}

bool Session::open(const std::string& portName, Outcome& outcome) {
    int32_t result = port_.coldStart(portName, timeoutUnits(timeoutMs_), line_);
    return outcome.step(driver_, "ColdStart " + portName, result);
}

void Session::close(Outcome& outcome) {
    outcome.step(driver_, "CloseCom", port_.closeCom());
    outcome.step(driver_, "EndZel", port_.endZel());
}

std::string requirePort(const GlobalOptions& g, std::string_view command) {
    if (g.port.empty()) {
        throw UsageError(std::string(command) + " needs --port NAME");
    }
    auto name = portNameForDriver(g.port);
    if (!name) {
        throw UsageError("--port " + g.port +
                         ": the driver takes names of at most 11 characters (a device "
                         "under /dev/ may be named without /dev/, e.g. pts/5)");
    }
    return *name;
}

void printJson(const nlohmann::ordered_json& doc) {
    std::cout << doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << std::endl;
}

SignalGuard::SignalGuard() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
}

SignalGuard::~SignalGuard() {
    // Consume what arrived, so that unblocking does not end the process.
    timespec zero{};
    while (sigtimedwait(&set_, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

bool SignalGuard::pending() const {
    sigset_t now;
    sigpending(&now);
    return sigismember(&now, SIGINT) == 1 || sigismember(&now, SIGTERM) == 1;
}

bool SignalGuard::wait(int64_t ms) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return pending();
        }
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
        if (sigtimedwait(&set_, nullptr, &ts) > 0) {
            return true;
        }
        if (errno == EAGAIN) {
            return false;
        }
    }
}

// --- info and parse -------------------------------------------------------

int runInfo(const GlobalOptions& g) {
    auto driver = loadDriver(g);
    Info info = getInfo(*driver);
    if (g.json) {
        printJson(infoJson(info));
    } else if (info.result != ZEL_DONE) {
        std::cerr << failureReport("GetZelInfo", info.result, driver->lastCallLog());
    } else {
        std::cout << cp437ToUtf8(info.banner) << "\n"
                  << "Name          " << info.name << "\n"
                  << "Driver code   " << info.driverCode << "\n"
                  << "Context size  " << info.contextSize << " bytes\n"
                  << "Default line  " << lineText(info.defaultLine) << "\n"
                  << "Info values   A " << info.infoValueA << ", B " << info.infoValueB << "\n";
    }
    return exitStatusFor(info.result);
}

int runParse(const GlobalOptions& g, const ParseOptions& p) {
    auto driver = loadDriver(g);
    Gate gate = gateFor(p.gate, p.type);
    int32_t result = parseGate(*driver, gate, p.block);
    if (g.json) {
        printJson(
            {{"result", result},
             {"addr", result == ZEL_DONE ? addrJson(gate.addr) : nlohmann::ordered_json(nullptr)},
             {"log", logJson(driver->log())}});
    } else if (result != ZEL_DONE) {
        std::cerr << failureReport(parserName(p.block) + " " + gate.text, result,
                                   driver->lastCallLog());
    } else {
        const AddrDesc& a = gate.addr;
        char address[16];
        std::snprintf(address, sizeof address, "0x%X", static_cast<unsigned>(a.address));
        std::cout << gate.text << " (gate type " << gate.gateType
                  << (p.block ? ", block of " + std::to_string(*p.block) : std::string()) << "): "
                  << "area " << a.area << ", address " << a.address << " (" << address << "), bit "
                  << a.bit << ", " << a.elementBits << " bits\n";
    }
    return exitStatusFor(result);
}

// --- ping, read, write ----------------------------------------------------

int runPing(const GlobalOptions& g) {
    std::string portName = requirePort(g, "ping");
    auto driver = loadDriver(g);
    Outcome out;
    {
        Session session(*driver, g);
        if (session.open(portName, out)) {
            out.step(*driver, "WarmStart", session.port().warmStart());
        }
        session.close(out);
    }
    if (g.json) {
        printJson({{"result", out.result}, {"log", logJson(driver->log())}});
    } else if (out.result == ZEL_DONE) {
        std::cout << portName << ": the PLC answered the link test\n";
    }
    reportFailure(g, out);
    return exitStatusFor(out.result);
}

int runRead(const GlobalOptions& g, const ReadOptions& r) {
    std::string portName = requirePort(g, "read");
    auto driver = loadDriver(g);
    Gate gate = gateFor(r.gate, r.type);
    auto block = r.count > 1 ? std::optional<int32_t>(r.count) : std::nullopt;
    Values read;
    Outcome out = withGate(
        *driver, g, portName, gate, block, [] {},
        [&](Session& session, Outcome& o) {
            read = readGate(session.port(), gate, r.count, r.valueType);
            o.step(*driver, (block ? "BlockRead " : "SingleRead ") + gate.text, read.result);
        });
    if (g.json) {
        printJson(
            {{"result", out.result}, {"values", read.values}, {"log", logJson(driver->log())}});
    } else {
        ValueKind kind = valueKind(gate.addr);
        for (size_t i = 0; i < read.values.size(); ++i) {
            std::cout << elementName(gate, i, read.values.size()) << " = "
                      << valueText(kind, read.values[i]) << "\n";
        }
    }
    reportFailure(g, out);
    return exitStatusFor(out.result);
}

int runWrite(const GlobalOptions& g, const WriteOptions& w) {
    std::string portName = requirePort(g, "write");
    std::vector<int64_t> values;
    for (const auto& text : w.values) {
        auto v = parseInteger(text);
        if (!v) {
            throw UsageError("'" + text + "' is not a number (decimal, 0x hex, or negative)");
        }
        values.push_back(*v);
    }
    auto driver = loadDriver(g);
    Gate gate = gateFor(w.gate, w.type);
    bool isBlock = values.size() > 1;
    auto block =
        isBlock ? std::optional<int32_t>(static_cast<int32_t>(values.size())) : std::nullopt;
    auto checkRange = [&] {
        ValueKind kind = valueKind(gate.addr);
        ValueRange range = valueRange(kind, isBlock);
        for (int64_t v : values) {
            if (v < range.min || v > range.max) {
                throw UsageError("value " + std::to_string(v) + " does not fit " + gate.text +
                                 " (" + std::to_string(range.min) + " to " +
                                 std::to_string(range.max) + ")");
            }
        }
    };
    Outcome out =
        withGate(*driver, g, portName, gate, block, checkRange, [&](Session& session, Outcome& o) {
            o.step(*driver, (isBlock ? "BlockWrite " : "SingleWrite ") + gate.text,
                   writeGate(session.port(), gate, values));
        });
    if (g.json) {
        printJson({{"result", out.result}, {"log", logJson(driver->log())}});
    } else if (out.result == ZEL_DONE) {
        ValueKind kind = valueKind(gate.addr);
        for (size_t i = 0; i < values.size(); ++i) {
            std::cout << "wrote " << elementName(gate, i, values.size()) << " = "
                      << valueText(kind, values[i]) << "\n";
        }
    }
    reportFailure(g, out);
    if (out.result == ZEL_REFUSED && !g.json && (gate.text[0] == 'X' || gate.text[0] == 'x')) {
        std::cerr << "zelfx: note: X gates are inputs; the driver does not write them\n";
    }
    return exitStatusFor(out.result);
}

// --- poll -----------------------------------------------------------------

namespace {

struct PollGate {
    Gate gate;
    int32_t parseResult = ZEL_DONE;
    std::string parseMessage;
};

PollGate pollGateFrom(const std::string& spec) {
    auto colon = spec.rfind(':');
    if (colon == std::string::npos) {
        return PollGate{gateFor(spec, std::nullopt), ZEL_DONE, {}};
    }
    auto type = parseInteger(std::string_view(spec).substr(colon + 1));
    if (!type || *type < INT32_MIN || *type > INT32_MAX) {
        throw UsageError("'" + spec + "': expected GATE or GATE:TYPE");
    }
    return PollGate{gateFor(spec.substr(0, colon), static_cast<int32_t>(*type)), ZEL_DONE, {}};
}

int terminalWidth() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    return 80;
}

// Draws the table in place: the first time below the cursor, later over
// the previous drawing.
class LiveTable {
  public:
    void draw(const std::vector<std::string>& lines) {
        auto width = static_cast<size_t>(terminalWidth() - 1);
        if (drawnLines_ > 0) {
            std::cout << "\x1b[" << drawnLines_ << "A";
        }
        for (const auto& line : lines) {
            std::cout << "\r\x1b[2K" << line.substr(0, width) << "\n";
        }
        std::cout.flush();
        drawnLines_ = lines.size();
    }

  private:
    size_t drawnLines_ = 0;
};

}  // namespace

int runPoll(const GlobalOptions& g, const PollOptions& p) {
    std::string portName = requirePort(g, "poll");
    std::vector<PollGate> gates;
    for (const auto& spec : p.gates) {
        gates.push_back(pollGateFrom(spec));
    }
    auto driver = loadDriver(g);
    bool anyAccepted = false;
    for (auto& pg : gates) {
        pg.parseResult = parseGate(*driver, pg.gate, std::nullopt);
        pg.parseMessage = lastMessage(*driver);
        anyAccepted = anyAccepted || pg.parseResult == ZEL_DONE;
    }
    if (!anyAccepted) {
        Outcome out;
        for (auto& pg : gates) {
            if (!g.json) {
                std::cerr << "zelfx: " << pg.gate.text << " " << resultWord(pg.parseResult) << ": "
                          << pg.parseMessage << "\n";
            }
            out.result = std::max(out.result, pg.parseResult);
        }
        if (g.json) {
            printJson({{"result", out.result}, {"cycles", 0}, {"log", logJson(driver->log())}});
        }
        return exitStatusFor(out.result);
    }

    size_t nameWidth = 0;
    for (const auto& pg : gates) {
        nameWidth = std::max(nameWidth, pg.gate.text.size());
    }
    bool live = !g.json && isatty(STDOUT_FILENO) == 1;
    LiveTable table;
    // What the driver logged since the last call; a long poll keeps no more.
    auto takeLog = [&] { return logJson(driver->takeLog()); };

    // From here on an interrupt ends the poll between two driver calls.
    SignalGuard signals;
    Outcome out;
    Session session(*driver, g);
    int64_t cycle = 0;
    int32_t lastWorst = ZEL_DONE;
    if (session.open(portName, out)) {
        std::vector<std::string> cells(gates.size());
        std::vector<int32_t> results(gates.size());
        std::vector<int64_t> values(gates.size());
        for (bool stop = false; !stop;) {
            bool complete = true;
            for (size_t i = 0; i < gates.size(); ++i) {
                auto& pg = gates[i];
                if (pg.parseResult != ZEL_DONE) {
                    results[i] = pg.parseResult;
                    cells[i] = std::string(resultWord(pg.parseResult)) + ": " + pg.parseMessage;
                } else {
                    Values v = readGate(session.port(), pg.gate, 1, 0);
                    results[i] = v.result;
                    if (v.result == ZEL_DONE) {
                        values[i] = v.values.at(0);
                        cells[i] = valueText(valueKind(pg.gate.addr), values[i]);
                    } else {
                        cells[i] = std::string(resultWord(v.result)) + ": " + lastMessage(*driver);
                    }
                }
                if (signals.pending()) {
                    complete = i + 1 == gates.size();
                    stop = true;
                    break;
                }
            }
            if (!complete) {
                break;
            }
            ++cycle;
            lastWorst = *std::max_element(results.begin(), results.end());
            auto cycleLog = takeLog();
            if (g.json) {
                auto rows = nlohmann::ordered_json::array();
                for (size_t i = 0; i < gates.size(); ++i) {
                    nlohmann::ordered_json row{{"gate", gates[i].gate.text},
                                               {"result", results[i]}};
                    if (results[i] == ZEL_DONE) {
                        row["value"] = values[i];
                    } else {
                        row["error"] = cells[i];
                    }
                    rows.push_back(row);
                }
                printJson({{"cycle", cycle}, {"gates", rows}, {"log", cycleLog}});
            } else if (live) {
                std::vector<std::string> lines{"zelfx poll " + portName + ", every " +
                                               std::to_string(p.intervalMs) + " ms, cycle " +
                                               std::to_string(cycle) + " (Ctrl-C ends)"};
                for (size_t i = 0; i < gates.size(); ++i) {
                    std::string name = gates[i].gate.text;
                    name.resize(nameWidth, ' ');
                    lines.push_back("  " + name + "  " + cells[i]);
                }
                table.draw(lines);
            } else {
                for (size_t i = 0; i < gates.size(); ++i) {
                    std::cout << cycle << " " << gates[i].gate.text << " " << cells[i] << "\n";
                }
                std::cout.flush();
            }
            if (!stop && p.cycles > 0 && cycle >= p.cycles) {
                break;
            }
            if (!stop && signals.wait(p.intervalMs)) {
                break;
            }
        }
    }
    session.close(out);
    if (g.json) {
        int32_t result = out.result != ZEL_DONE ? out.result : lastWorst;
        printJson({{"result", result}, {"cycles", cycle}, {"log", takeLog()}});
    }
    reportFailure(g, out);
    return exitStatusFor(out.result != ZEL_DONE ? out.result : lastWorst);
}

}  // namespace zelfx
