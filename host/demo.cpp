// zelfx demo: a guided walk through the driver against fxsim.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>

#include "commands.h"
#include "format.h"
#include "process.h"

namespace zelfx {

namespace {

constexpr int kExitInterrupted = 130;
constexpr int kDeviceWaitMs = 5000;

std::string findFxsim() {
    if (const char* env = std::getenv("FXSIM"); env != nullptr && *env != '\0') {
        if (access(env, X_OK) != 0) {
            throw std::runtime_error(std::string("FXSIM=") + env + " is not an executable");
        }
        return env;
    }
    auto candidates = nearExecutable(executableDir(), "fxsim", {"../sim/fxsim"});
    if (auto found = firstExisting(candidates)) {
        return *found;
    }
    throw std::runtime_error("cannot find fxsim (looked beside zelfx and in ../sim/); set FXSIM");
}

struct StepResult {
    bool ok;
    std::string detail;
};

// One value read through the open session, gate parsed on the way.
struct OneRead {
    int32_t result;
    int64_t value;
    std::string detail;  // the value, or the failure and the driver's message
};

class Walkthrough {
  public:
    Walkthrough(Driver& driver, Session& session, const GlobalOptions& g)
        : driver_(driver), session_(session), g_(g) {}

    void step(const std::string& name, const std::function<StepResult()>& body) {
        StepResult r = body();
        ++count_;
        ok_ += r.ok ? 1 : 0;
        steps_.push_back({{"step", name}, {"ok", r.ok}, {"detail", r.detail}});
        if (!g_.json) {
            char number[8];
            std::snprintf(number, sizeof number, "%2d", count_);
            std::string padded = name;
            padded.resize(std::max<size_t>(padded.size(), 14), ' ');
            std::cout << "[" << number << "] " << (r.ok ? "ok    " : "FAILED") << " " << padded
                      << " " << r.detail << std::endl;
        }
    }

    OneRead read(const std::string& text, int32_t type, int32_t valueType = 0) {
        Gate gate{text, type, {}};
        int32_t result = parseGate(driver_, gate, std::nullopt);
        if (result != ZEL_DONE) {
            return {result, 0, failure(result)};
        }
        Values v = readGate(session_.port(), gate, 1, valueType);
        if (v.result != ZEL_DONE) {
            return {v.result, 0, failure(v.result)};
        }
        return {ZEL_DONE, v.values.at(0),
                text + " = " + valueText(valueKind(gate.addr), v.values.at(0))};
    }

    // Parses and writes; returns the result and a detail on failure.
    std::pair<int32_t, std::string> write(const std::string& text, int32_t type,
                                          std::vector<int64_t> values) {
        Gate gate{text, type, {}};
        std::optional<int32_t> block;
        if (values.size() > 1) {
            block = static_cast<int32_t>(values.size());
        }
        int32_t result = parseGate(driver_, gate, block);
        if (result == ZEL_DONE) {
            result = writeGate(session_.port(), gate, values);
        }
        return {result, result == ZEL_DONE ? std::string() : failure(result)};
    }

    std::string failure(int32_t result) const {
        auto log = driver_.lastCallLog();
        return std::string(resultWord(result)) + (log.empty() ? "" : ": " + log.back().text);
    }

    int count() const { return count_; }
    int ok() const { return ok_; }
    const nlohmann::ordered_json& steps() const { return steps_; }

  private:
    Driver& driver_;
    Session& session_;
    const GlobalOptions& g_;
    int count_ = 0;
    int ok_ = 0;
    nlohmann::ordered_json steps_ = nlohmann::ordered_json::array();
};

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The walk-through proper, on an open session. Returns false when it was
// interrupted.
bool walk(Walkthrough& w, Session& session, Driver& driver, const GlobalOptions& g,
          SignalGuard& signals) {
    using Step = std::pair<std::string, std::function<StepResult()>>;
    const std::vector<Step> steps{
        {"ping",
         [&] {
             int32_t r = session.port().warmStart();
             return StepResult{r == ZEL_DONE,
                               r == ZEL_DONE ? "the PLC answered ENQ with ACK" : w.failure(r)};
         }},
        {"parse",
         [&] {
             Gate gate{"dd0100", ZEL_GATE_ANALOG, {}};
             int32_t r = parseGate(driver, gate, std::nullopt);
             const AddrDesc& a = gate.addr;
             bool ok = r == ZEL_DONE && a.area == 10 && a.address == 2148 && a.bit == -1 &&
                       a.elementBits == 16;
             return StepResult{ok, r != ZEL_DONE
                                       ? w.failure(r)
                                       : "dd0100: area " + std::to_string(a.area) + ", address " +
                                             std::to_string(a.address) + ", " +
                                             std::to_string(a.elementBits) + " bits"};
         }},
        {"parse refusal",
         [&] {
             Gate gate{"QD0100", ZEL_GATE_ANALOG, {}};
             int32_t r = parseGate(driver, gate, std::nullopt);
             return StepResult{r == ZEL_REFUSED, w.failure(r)};
         }},
        {"read word",
         [&] {
             OneRead first = w.read("DD0000", ZEL_GATE_ANALOG);
             pause(300);
             OneRead second = w.read("DD0000", ZEL_GATE_ANALOG);
             if (first.result != ZEL_DONE || second.result != ZEL_DONE) {
                 return StepResult{false, first.result != ZEL_DONE ? first.detail : second.detail};
             }
             return StepResult{second.value != first.value,
                               "D0 counts: " + std::to_string(first.value) + ", then " +
                                   std::to_string(second.value)};
         }},
        {"read bit",
         [&] {
             OneRead r = w.read("YP000", ZEL_GATE_DIGITAL);
             return StepResult{r.result == ZEL_DONE && (r.value == 0 || r.value == 1), r.detail};
         }},
        {"read byte",
         [&] {
             OneRead r = w.read("YB000", ZEL_GATE_ANALOG);
             return StepResult{r.result == ZEL_DONE, r.detail};
         }},
        {"read 32-bit",
         [&] {
             OneRead r = w.read("CL0200", ZEL_GATE_LONG);
             return StepResult{r.result == ZEL_DONE, r.detail};
         }},
        {"write",
         [&] {
             auto [r, why] = w.write("DD0100", ZEL_GATE_ANALOG, {0x1234});
             if (r != ZEL_DONE) {
                 return StepResult{false, why};
             }
             OneRead back = w.read("DD0100", ZEL_GATE_ANALOG);
             return StepResult{back.result == ZEL_DONE && back.value == 0x1234,
                               "wrote 4660, read back " + back.detail};
         }},
        {"bit write",
         [&] {
             auto [r, why] = w.write("MP0010", ZEL_GATE_DIGITAL, {1});
             if (r != ZEL_DONE) {
                 return StepResult{false, why};
             }
             OneRead bit = w.read("MP0010", ZEL_GATE_DIGITAL);
             OneRead byte = w.read("MB0001", ZEL_GATE_ANALOG);
             bool ok = bit.result == ZEL_DONE && bit.value == 1 && byte.result == ZEL_DONE &&
                       (byte.value & 0x04) != 0;
             return StepResult{ok, "set M10, read back " + bit.detail + ", " + byte.detail};
         }},
        {"block write",
         [&] {
             auto [r, why] = w.write("DD0200", ZEL_GATE_ANALOG, {1, 2, 3, 0xBEEF});
             return StepResult{r == ZEL_DONE,
                               r == ZEL_DONE ? "DD0200..DD0203 = 1, 2, 3, 0xBEEF" : why};
         }},
        {"block read",
         [&] {
             Gate gate{"DD0200", ZEL_GATE_ANALOG, {}};
             int32_t r = parseGate(driver, gate, 4);
             Values v;
             if (r == ZEL_DONE) {
                 v = readGate(session.port(), gate, 4, 0);
                 r = v.result;
             }
             if (r != ZEL_DONE) {
                 return StepResult{false, w.failure(r)};
             }
             std::string detail = "DD0200[0..3] =";
             for (int64_t value : v.values) {
                 detail += " " + std::to_string(value);
             }
             return StepResult{v.values == std::vector<int64_t>{1, 2, 3, 0xBEEF}, detail};
         }},
        {"refused write",
         [&] {
             auto [r, why] = w.write("XP000", ZEL_GATE_DIGITAL, {1});
             return StepResult{r == ZEL_REFUSED, "inputs cannot be written: " + why};
         }},
        {"poll",
         [&] {
             std::vector<int64_t> counts;
             bool ok = true;
             for (int cycle = 1; cycle <= 3; ++cycle) {
                 OneRead d0 = w.read("DD0000", ZEL_GATE_ANALOG);
                 OneRead y0 = w.read("YP000", ZEL_GATE_DIGITAL);
                 ok = ok && d0.result == ZEL_DONE && y0.result == ZEL_DONE;
                 counts.push_back(d0.value);
                 if (!g.json) {
                     std::cout << "       cycle " << cycle << ": " << d0.detail << ", " << y0.detail
                               << std::endl;
                 }
                 pause(200);
             }
             ok = ok && counts.front() != counts.back();
             return StepResult{ok, "3 cycles, D0 went from " + std::to_string(counts.front()) +
                                       " to " + std::to_string(counts.back())};
         }},
    };
    for (const auto& [name, body] : steps) {
        if (signals.pending()) {
            return false;
        }
        w.step(name, body);
    }
    return true;
}

}  // namespace

int runDemo(const GlobalOptions& options) {
    const GlobalOptions& g = options;
    std::string fxsim = findFxsim();
    auto driver = loadDriver(g);
    SignalGuard signals;
    // fxsim's first line of output names its pseudo-terminal.
    ChildProcess sim({fxsim, "--scan"}, false);
    std::string device = sim.readLine(kDeviceWaitMs).value_or("");
    auto portName = portNameForDriver(device);
    if (!portName) {
        throw std::runtime_error("fxsim (" + fxsim + ") did not report a usable device: '" +
                                 device + "'");
    }
    if (!g.json) {
        std::cout << "zelfx demo: fxsim (pid " << sim.pid() << ") serves " << device << "\n";
    }

    Outcome out;
    Session session(*driver, g);
    Walkthrough w(*driver, session, g);
    if (!g.json) {
        std::cout << cp437ToUtf8(session.info().banner) << "\n";
    }
    w.step("info", [&] {
        const Info& info = session.info();
        bool ok = info.result == ZEL_DONE && !info.name.empty() && !info.banner.empty();
        return StepResult{ok, info.name + ", driver code " + std::to_string(info.driverCode) +
                                  ", context " + std::to_string(info.contextSize) +
                                  " bytes, default line " + lineText(info.defaultLine)};
    });
    bool opened = false;
    w.step("open", [&] {
        opened = session.open(*portName, out);
        return StepResult{
            opened, opened ? "ColdStart on " + *portName + ", line " + lineText(session.line())
                           : w.failure(out.result)};
    });
    bool finished = opened && walk(w, session, *driver, g, signals);
    w.step("close", [&] {
        Outcome closing;
        session.close(closing);
        return StepResult{closing.result == ZEL_DONE, closing.result == ZEL_DONE
                                                          ? "CloseCom and EndZel"
                                                          : w.failure(closing.result)};
    });
    bool interrupted = opened && !finished;
    bool allOk = !interrupted && w.ok() == w.count();
    if (g.json) {
        printJson({{"result", allOk ? 0 : 2},
                   {"device", device},
                   {"steps", w.steps()},
                   {"log", logJson(driver->log())}});
    } else {
        std::cout << w.count() << " steps, " << w.ok() << " ok"
                  << (interrupted ? " (interrupted)" : "") << "\n";
    }
    if (interrupted) {
        return kExitInterrupted;
    }
    return allOk ? 0 : 2;
}

}  // namespace zelfx
