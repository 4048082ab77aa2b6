// One port as the conformance suite drives it: a host-owned PortContext and
// the commands that use it, plus the check bookkeeping of one case.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host.h"

namespace wintest {

// The line the suite opens its ports with: 8 data bits, no parity. A
// pseudo-terminal keeps 8 data bits and no parity whatever it is told, and
// glibc reports that refusal as EINVAL from tcsetattr unless some other
// control flag changes in the same call. Under Wine, SetCommState with 7E1
// on a pseudo-terminal therefore fails on every open but one that happens to
// change another flag, so the suite asks for what the line can do.
inline constexpr LineParams kLine{9600, 8, 0, 0};

// The failures of one case.
class Checker {
  public:
    void fail(const std::string& what) { failures_.push_back(what); }
    void equal(const std::string& what, uint64_t got, uint64_t want);
    // Result and log of the call just made. "{h}" in an expected line stands
    // for the context's handle after the call.
    void call(const std::string& what, Driver& driver, int32_t got, int32_t want,
              std::vector<LogLine> wantLog, uint32_t handle);
    const std::vector<std::string>& failures() const { return failures_; }

  private:
    std::vector<std::string> failures_;
};

class Port {
  public:
    explicit Port(Driver& driver) : driver_(driver) {}

    PortContext* context() { return memory_.get(); }
    uint32_t handle() { return context()->handle; }
    Driver& driver() { return driver_; }

    int32_t command(uint32_t code, void* params = nullptr) {
        return driver_.call(code, params, context());
    }
    int32_t coldStart(const char* name, int32_t openPort, int32_t timeout, LineParams line = kLine);
    int32_t changeParams(const char* name, int32_t timeout, LineParams line);

    // Parses a gate (blockSize < 0: SingleAddressParser) and keeps the
    // descriptor; a refusal is a failure of the case.
    bool parse(Checker& c, const char* gate, int32_t gateType, int32_t blockSize, AddrDesc* out);
    // One read or write command with an IoRequest for `gate`.
    int32_t io(uint32_t code, const char* gate, const AddrDesc& addr, void* data, int32_t count,
               int32_t valueType = 0);

    // The driver must never write past the context size it reports.
    void checkBounds(Checker& c, int32_t contextSize);

  private:
    Driver& driver_;
    ContextMemory memory_;
};

// Bytes 0..n-1 of a record, for before/after comparisons.
std::vector<unsigned char> snapshot(const void* record, size_t n);

}  // namespace wintest
