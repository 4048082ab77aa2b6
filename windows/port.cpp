#include "port.h"

#include <cstdio>
#include <cstring>

namespace wintest {

void Checker::equal(const std::string& what, uint64_t got, uint64_t want) {
    if (got != want) {
        char text[96];
        std::snprintf(text, sizeof text, ": got 0x%llX, want 0x%llX",
                      static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
        fail(what + text);
    }
}

void Checker::call(const std::string& what, Driver& driver, int32_t got, int32_t want,
                   std::vector<LogLine> wantLog, uint32_t handle) {
    if (got != want) {
        fail(what + ": result " + std::to_string(got) + ", want " + std::to_string(want));
    }
    for (LogLine& line : wantLog) {
        const size_t at = line.text.find("{h}");
        if (at != std::string::npos) {
            line.text.replace(at, 3, std::to_string(handle));
        }
    }
    const std::string diff = compareLog(driver.log(), wantLog);
    if (!diff.empty()) {
        fail(what + ": " + diff);
    }
}

int32_t Port::coldStart(const char* name, int32_t openPort, int32_t timeout, LineParams line) {
    StartParams p{};
    std::strncpy(p.portName, name, sizeof p.portName - 1);
    p.openPort = openPort;
    p.timeout = timeout;
    p.line = line;
    return command(ZEL_CMD_COLD_START, &p);
}

int32_t Port::changeParams(const char* name, int32_t timeout, LineParams line) {
    ChangeParams p{};
    std::strncpy(p.portName, name, sizeof p.portName - 1);
    p.timeout = timeout;
    p.line = line;
    return command(ZEL_CMD_CHANGE_ZEL_PARAMS, &p);
}

bool Port::parse(Checker& c, const char* gate, int32_t gateType, int32_t blockSize, AddrDesc* out) {
    GateSpec spec{};
    spec.name = gate;
    spec.gateType = gateType;
    spec.blockSize = blockSize;
    const uint32_t code =
        blockSize < 0 ? ZEL_CMD_SINGLE_ADDRESS_PARSER : ZEL_CMD_BLOCK_ADDRESS_PARSER;
    const int32_t rc = driver_.call(code, &spec, nullptr);
    if (rc != ZEL_DONE) {
        c.fail(std::string("parsing ") + gate + " returned " + std::to_string(rc));
        return false;
    }
    *out = spec.addr;
    return true;
}

int32_t Port::io(uint32_t code, const char* gate, const AddrDesc& addr, void* data, int32_t count,
                 int32_t valueType) {
    IoRequest r{};
    r.name = gate;
    r.addr = addr;
    r.valueType = valueType;
    r.count = count;
    r.data = data;
    return command(code, &r);
}

void Port::checkBounds(Checker& c, int32_t contextSize) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(context());
    for (size_t i = static_cast<size_t>(contextSize); i < sizeof(ContextMemory); ++i) {
        if (bytes[i] != kFill) {
            c.fail("the driver wrote byte " + std::to_string(i) + " of the context, past its " +
                   std::to_string(contextSize) + " bytes");
            return;
        }
    }
}

std::vector<unsigned char> snapshot(const void* record, size_t n) {
    const auto* p = static_cast<const unsigned char*>(record);
    return {p, p + n};
}

}  // namespace wintest
