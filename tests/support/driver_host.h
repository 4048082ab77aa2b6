// Loads the driver as a host does (dlopen, ZelMain by name) and wraps the
// commands that tests need. Each instance loads a fresh copy, so the ended
// state of one test does not leak into the next.
#pragma once

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "zel_call.h"
#include "zelfx/zelfx.h"

namespace zeltest {

class DriverHost {
  public:
    explicit DriverHost(const char* path) {
        lib_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr) {
            throw std::runtime_error(dlerror());
        }
        zelMain_ = reinterpret_cast<ZelMainFn>(dlsym(lib_, "ZelMain"));
        if (zelMain_ == nullptr) {
            throw std::runtime_error("no ZelMain");
        }
    }
    ~DriverHost() { dlclose(lib_); }
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    int32_t call(uint32_t command, void* params, PortContext* context) {
        return zelCall(context, command, params, zelMain_);
    }

    int32_t coldStart(PortContext* context, const std::string& port, int32_t timeout,
                      int32_t openPort = 1, LineParams line = {9600, 7, 0, 2}) {
        StartParams p{};
        std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
        p.openPort = openPort;
        p.timeout = timeout;
        p.line = line;
        return call(ZEL_CMD_COLD_START, &p, context);
    }

    int32_t changeParams(PortContext* context, const std::string& port, int32_t timeout,
                         LineParams line = {}) {
        ChangeParams p{};
        std::strncpy(p.portName, port.c_str(), sizeof p.portName - 1);
        p.timeout = timeout;
        p.line = line;
        return call(ZEL_CMD_CHANGE_ZEL_PARAMS, &p, context);
    }

    // Parses a gate (single or block); returns the result, fills `addr`.
    int32_t parse(const char* text, int32_t gateType, AddrDesc* addr, int32_t blockSize = 0) {
        GateSpec spec{};
        spec.name = text;
        spec.gateType = gateType;
        spec.blockSize = blockSize;
        const int32_t rc =
            call(blockSize > 0 ? ZEL_CMD_BLOCK_ADDRESS_PARSER : ZEL_CMD_SINGLE_ADDRESS_PARSER,
                 &spec, nullptr);
        *addr = spec.addr;
        return rc;
    }

    int32_t io(uint32_t command, PortContext* context, const char* text, const AddrDesc& addr,
               void* data, int32_t count = 1, int32_t valueType = 0) {
        IoRequest r{};
        r.name = text;
        r.addr = addr;
        r.count = count;
        r.valueType = valueType;
        r.data = data;
        return call(command, &r, context);
    }

  private:
    void* lib_ = nullptr;
    ZelMainFn zelMain_ = nullptr;
};

}  // namespace zeltest
