// A driver context on the scripted serial port, driven through ZelMain, with
// every message captured.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "entry/commands.h"
#include "log_capture.h"
#include "serial/scripted.h"
#include "zel_call.h"
#include "zelfx/zelfx.h"

namespace fxtest {

namespace sc = zel::serial::scripted;
using zeltest::LogEntry;

inline const std::string kAck = "\x06";
inline const std::string kNak = "\x15";

inline LogEntry Info(std::string text) {
    return {8, std::move(text)};
}
inline LogEntry Alert(std::string text) {
    return {32, std::move(text)};
}

inline std::vector<LogEntry> Infos(const std::vector<std::string>& texts) {
    std::vector<LogEntry> entries;
    for (const std::string& text : texts) {
        entries.push_back(Info(text));
    }
    return entries;
}

// STX, body, ETX and the checksum over body and ETX: the form of a request
// and of a data reply.
inline std::string Frame(std::string_view body) {
    unsigned sum = 3;
    for (char c : body) {
        sum += static_cast<unsigned char>(c);
    }
    static const char digits[] = "0123456789ABCDEF";
    std::string frame = "\x02";
    frame += body;
    frame += '\x03';
    frame += digits[(sum >> 4) & 0xF];
    frame += digits[sum & 0xF];
    return frame;
}

inline StartParams Start(const char* name, int32_t openPort, int32_t timeout,
                         LineParams line = {9600, 7, 0, 2}) {
    StartParams start{};
    std::memcpy(start.portName, name, std::min(std::strlen(name) + 1, sizeof start.portName));
    start.openPort = openPort;
    start.timeout = timeout;
    start.line = line;
    return start;
}

// An IoRequest as a host builds it from a parsed gate.
inline IoRequest Gate(const char* name, int32_t area, int32_t address, int32_t bit,
                      int32_t elementBits, int32_t count, void* data, int32_t valueType = 0) {
    IoRequest io{};
    io.name = name;
    io.addr = AddrDesc{0, area, address, bit, elementBits};
    io.valueType = valueType;
    io.count = count;
    io.data = data;
    return io;
}

// Memory-map rows the tests use.
inline constexpr int32_t kAreaX = 1;
inline constexpr int32_t kAreaY = 2;
inline constexpr int32_t kAreaM = 4;
inline constexpr int32_t kAreaCLong = 9;
inline constexpr int32_t kAreaD = 10;
inline constexpr int32_t kAreaDSpecial = 11;

class FxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sc::reset();
        zel::driverEnded = 0;
        std::memset(&context, 0, sizeof context);
    }
    void TearDown() override { zel::driverEnded = 0; }

    int32_t call(uint32_t command, void* params = nullptr) {
        return zeltest::zelCall(&context, command, params);
    }

    // ColdStart with the port open, then a clean slate for the test's own
    // calls and messages.
    void OpenPort(const char* name = "COM1", int32_t timeout = 10) {
        StartParams start = Start(name, 1, timeout);
        ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
        ASSERT_NE(context.handle, 0u);
        sc::clearLog();
        log.clear();
    }

    PortContext context{};
    zeltest::LogCapture log;
};

}  // namespace fxtest
