// The whole chain on real pseudo-terminals: the driver loaded as a host loads
// it, the POSIX serial backend, and fxsim playing the PLC.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver_host.h"
#include "fxsim_process.h"
#include "log_capture.h"

namespace {

using zeltest::DriverHost;
using zeltest::FxsimProcess;
using zeltest::LogCapture;
using zeltest::LogEntry;

constexpr int32_t kTimeout = 10;  // 100 ms: short, but far above a pty's latency

// A driver and one simulated PLC with the port open.
class Chain : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& simArgs = {}) {
        sim = std::make_unique<FxsimProcess>(FXSIM_PATH, simArgs);
        ASSERT_EQ(driver.coldStart(&ctx, sim->portName(), kTimeout), ZEL_DONE);
        ASSERT_NE(ctx.handle, 0u);
        log.clear();
    }

    AddrDesc gate(const char* text, int32_t type, int32_t block = 0) {
        AddrDesc a{};
        EXPECT_EQ(driver.parse(text, type, &a, block), ZEL_DONE) << text;
        return a;
    }

    int32_t read(const char* text, int32_t type, GateValue* v, int32_t valueType = 0) {
        return driver.io(ZEL_CMD_SINGLE_READ, &ctx, text, gate(text, type), v, 1, valueType);
    }

    int32_t write(const char* text, int32_t type, GateValue* v) {
        return driver.io(ZEL_CMD_SINGLE_WRITE, &ctx, text, gate(text, type), v);
    }

    static GateValue narrow(uint16_t value) {
        GateValue v{};
        v.w.value16 = value;
        return v;
    }

    LogCapture log;
    DriverHost driver{ZELFX_DRIVER_PATH};
    PortContext ctx{};
    std::unique_ptr<FxsimProcess> sim;
};

TEST_F(Chain, LinkTestAndLifecycle) {
    start();
    EXPECT_EQ(driver.call(ZEL_CMD_WARM_START, nullptr, &ctx), ZEL_DONE);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"ZELFX> TestCom(), ACK replied retry 1",
                                                     "ZELFX> WarmStart()"}));

    // The device is held exclusively: a second open of it is refused and
    // the port stays usable.
    log.clear();
    const uint32_t held = ctx.handle;
    EXPECT_EQ(driver.call(ZEL_CMD_REOPEN_COM, nullptr, &ctx), ZEL_FAILED);
    EXPECT_EQ(log.entries, (std::vector<LogEntry>{{8, "ZELFX> OpenCom() open COM port failed"},
                                                  {32, "ZELFX> ReOpenCom() exited 2"}}));
    EXPECT_EQ(ctx.handle, held);
    EXPECT_EQ(driver.call(ZEL_CMD_WARM_START, nullptr, &ctx), ZEL_DONE);

    EXPECT_EQ(driver.call(ZEL_CMD_CLOSE_COM, nullptr, &ctx), ZEL_DONE);
    EXPECT_EQ(ctx.handle, 0u);
    GateValue v{};
    EXPECT_EQ(read("DD0100", 0, &v), ZEL_REFUSED);  // no port

    log.clear();
    EXPECT_EQ(driver.call(ZEL_CMD_REOPEN_COM, nullptr, &ctx), ZEL_DONE);
    ASSERT_EQ(log.texts().size(), 2u);
    EXPECT_EQ(log.texts().back(), "ReOpenCom() exited 0");
    EXPECT_EQ(driver.call(ZEL_CMD_WARM_START, nullptr, &ctx), ZEL_DONE);

    log.clear();
    EXPECT_EQ(driver.call(ZEL_CMD_END_ZEL, nullptr, &ctx), ZEL_DONE);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ZELFX> EndZel() exited, 0"});
    EXPECT_EQ(ctx.handle, 0u);
    // Ended: nothing runs any more, ColdStart included.
    log.clear();
    EXPECT_EQ(driver.coldStart(&ctx, sim->portName(), kTimeout), ZEL_DONE);
    EXPECT_EQ(ctx.handle, 0u);
    EXPECT_EQ(read("DD0100", 0, &v), ZEL_DONE);
    EXPECT_TRUE(log.entries.empty());
}

// Single writes and reads of every kind of memory, read back through the
// same gate and through its neighbours.
TEST_F(Chain, SingleValuesOfEveryKind) {
    start();
    struct Case {
        const char* text;
        int32_t type;
        uint32_t value;
        bool wide;
    };
    for (const Case& c : {Case{"DD0100", 0, 0x1234, false}, Case{"DD0200", 4, 0x89ABCDEF, true},
                          Case{"DW8000", 0, 0xFFFF, false}, Case{"TW0005", 1, 300, false},
                          Case{"CW0199", 0, 0x8001, false}, Case{"CL0255", 5, 70000, true},
                          Case{"YB017", 0, 0xA5, false}, Case{"SB0124", 0, 0x81, false},
                          Case{"MB1000", 0, 0x7E, false}, Case{"TB0031", 0, 0x01, false},
                          Case{"CB0000", 0, 0xFF, false}, Case{"MB0127", 0, 0x5A, false}}) {
        SCOPED_TRACE(c.text);
        GateValue out{};
        if (c.wide) {
            out.value32 = c.value;
        } else {
            out.w.value16 = static_cast<uint16_t>(c.value);
        }
        ASSERT_EQ(write(c.text, c.type, &out), ZEL_DONE);
        GateValue in;
        std::memset(&in, 0xEE, sizeof in);
        ASSERT_EQ(read(c.text, c.type, &in), ZEL_DONE);
        if (c.wide) {
            EXPECT_EQ(in.value32, c.value);
        } else {
            EXPECT_EQ(in.w.value16, c.value);
            EXPECT_EQ(in.w.spare, 0xEEEE);  // a 16-bit read leaves offsets 0 and 1
        }
    }
    // A 32-bit pair is two registers, least significant first.
    GateValue low{};
    ASSERT_EQ(read("DD0200", 0, &low), ZEL_DONE);
    EXPECT_EQ(low.w.value16, 0xCDEF);
    ASSERT_EQ(read("DD0201", 0, &low), ZEL_DONE);
    EXPECT_EQ(low.w.value16, 0x89AB);
    // A byte read signed.
    GateValue b{};
    ASSERT_EQ(read("CB0000", 0, &b, 1), ZEL_DONE);
    EXPECT_EQ(b.w.value16, 0xFFFF);
    EXPECT_TRUE(log.entries.empty());
}

TEST_F(Chain, BitWriteKeepsTheOtherSevenBits) {
    start();
    GateValue v = narrow(0xA5);
    ASSERT_EQ(write("MB0001", 0, &v), ZEL_DONE);  // M8..M15

    v = narrow(1);
    ASSERT_EQ(write("MP0011", 6, &v), ZEL_DONE);  // M11: bit 3
    EXPECT_EQ(v.w.value16, 1);                    // the cell is given back
    v = narrow(0);
    ASSERT_EQ(write("mp0015", 6, &v), ZEL_DONE);  // M15: bit 7

    GateValue byte{};
    ASSERT_EQ(read("MB0001", 0, &byte), ZEL_DONE);
    EXPECT_EQ(byte.w.value16, 0x2D);  // 0xA5 | 0x08, without 0x80

    for (auto [text, want] : {std::pair{"MP0008", 1}, std::pair{"MP0009", 0},
                              std::pair{"MP0011", 1}, std::pair{"MP0015", 0}}) {
        GateValue bit{};
        ASSERT_EQ(read(text, 6, &bit), ZEL_DONE);
        EXPECT_EQ(bit.w.value16, want) << text;
    }
    // Outputs are written bit by bit the same way.
    v = narrow(1);
    ASSERT_EQ(write("YP017", 6, &v), ZEL_DONE);
    ASSERT_EQ(read("YB001", 0, &byte), ZEL_DONE);
    EXPECT_EQ(byte.w.value16, 0x80);
}

TEST_F(Chain, BlocksOfEveryKind) {
    start();
    struct Case {
        const char* text;
        int32_t type;
        int32_t count;
        int32_t width;  // bytes per element
    };
    for (const Case& c :
         {Case{"DD0000", 0, 32, 2}, Case{"DD0100", 4, 16, 4}, Case{"DW8200", 0, 32, 2},
          Case{"TW0010", 0, 5, 2}, Case{"CL0200", 4, 16, 4}, Case{"MB0000", 0, 64, 1},
          Case{"YB000", 0, 16, 1}, Case{"SB0100", 0, 3, 1}}) {
        SCOPED_TRACE(c.text);
        const AddrDesc a = gate(c.text, c.type, c.count);
        std::vector<uint8_t> out(static_cast<size_t>(c.count * c.width));
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = static_cast<uint8_t>(i * 37 + 11);
        }
        ASSERT_EQ(driver.io(ZEL_CMD_BLOCK_WRITE, &ctx, c.text, a, out.data(), c.count), ZEL_DONE);
        std::vector<uint8_t> in(out.size() + 4, 0xEE);
        ASSERT_EQ(driver.io(ZEL_CMD_BLOCK_READ, &ctx, c.text, a, in.data(), c.count), ZEL_DONE);
        EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + static_cast<long>(out.size())),
                  out);
        EXPECT_EQ(in[out.size()], 0xEE);  // nothing past the block
        // Every acknowledged block write says so.
        ASSERT_FALSE(log.entries.empty());
        EXPECT_EQ(log.entries.back(), (LogEntry{8, "ZELFX> DoWrite(block) acknowledged by PLC 0"}));
        log.clear();
    }
    // A block and the single gates agree on byte order.
    GateValue v{};
    ASSERT_EQ(read("DD0101", 0, &v), ZEL_DONE);
    EXPECT_EQ(v.w.value16, (11 + 2 * 37) + ((11 + 3 * 37) << 8));
}

TEST_F(Chain, WritesToInputsAreRefusedWithNothingOnTheLine) {
    start({"--stats"});
    GateValue v = narrow(1);
    EXPECT_EQ(write("XP017", 6, &v), ZEL_REFUSED);
    v = narrow(0x10);
    EXPECT_EQ(write("XB001", 0, &v), ZEL_REFUSED);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"ZELFX> SingleWrite() , ret val is 1 block 'XP017'",
                                        "ZELFX> SingleWrite() , ret val is 1 block 'XB001'"}));
    // Inputs read normally.
    GateValue in{};
    EXPECT_EQ(read("XB001", 0, &in), ZEL_DONE);
    driver.call(ZEL_CMD_CLOSE_COM, nullptr, &ctx);
    const std::string stats = sim->stop();
    EXPECT_NE(stats.find("requests=1 "), std::string::npos) << stats;
}

TEST_F(Chain, LineFaultsAreRetriedAndReported) {
    struct Case {
        const char* faults;
        int32_t result;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases{
        {"nak,nak,nak",
         ZEL_FAILED,
         {"ZELFX> DoRead() Read, NAK replied retry 1", "ZELFX> DoRead() Read, NAK replied retry 2",
          "ZELFX> DoRead() Read, NAK replied retry 3", "ZELFX> SingleRead(), ret val is 2"}},
        {"silent,silent,silent",
         ZEL_FAILED,
         {"ZELFX> DoRead() Read reply error 7 retry 1",
          "ZELFX> DoRead() Read reply error 7 retry 2",
          "ZELFX> DoRead() Read reply error 7 retry 3", "ZELFX> SingleRead(), ret val is 2"}},
        {"badsum,ok", ZEL_DONE, {"ZELFX> DoRead() Read reply sum check error retry 1"}},
        {"short,nak,ok",
         ZEL_DONE,
         {"ZELFX> DoRead() Read reply invalid retry 1",
          "ZELFX> DoRead() Read, NAK replied retry 2"}},
        {"extra,ok", ZEL_DONE, {}},  // the junk after a reply is purged before the next
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        // A fresh PLC per case: the fault list applies to its first requests.
        sim.reset();
        ctx = PortContext{};
        start({"--faults", std::string("ok,") + c.faults});  // the write goes first
        GateValue v{};
        v.w.value16 = 0x1234;
        ASSERT_EQ(write("DD0100", 0, &v), ZEL_DONE);
        log.clear();
        GateValue in{};
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(read("DD0100", 0, &in), c.result);
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(log.texts(), c.log);
        if (c.result == ZEL_DONE) {
            EXPECT_EQ(in.w.value16, 0x1234);
        } else {
            EXPECT_EQ(in.w.value16, 0);  // a failed read leaves the cell
        }
        // Three time-outs and the purges at the most; generous bound.
        EXPECT_LT(took, std::chrono::seconds(3));
        driver.call(ZEL_CMD_CLOSE_COM, nullptr, &ctx);
    }
}

TEST_F(Chain, ChangeZelParamsMovesBetweenTwoPlcs) {
    start();
    FxsimProcess other(FXSIM_PATH, {});
    GateValue v = narrow(111);
    ASSERT_EQ(write("DD0010", 0, &v), ZEL_DONE);

    // New name, time-out and line kept: the old port is closed, the new opened.
    ASSERT_EQ(driver.changeParams(&ctx, other.portName(), -1), ZEL_DONE);
    EXPECT_TRUE(log.entries.size() == 1u) << ::testing::PrintToString(log.texts());
    GateValue in{};
    ASSERT_EQ(read("DD0010", 0, &in), ZEL_DONE);
    EXPECT_EQ(in.w.value16, 0);  // the second PLC's memory
    v = narrow(222);
    ASSERT_EQ(write("DD0010", 0, &v), ZEL_DONE);

    // Back to the first one, with a new time-out and line settings.
    ASSERT_EQ(driver.changeParams(&ctx, sim->portName(), 20, {19200, 7, 0, 2}), ZEL_DONE);
    EXPECT_EQ(ctx.timeout, 20);
    EXPECT_EQ(ctx.settings.line.baudRate, 19200);
    ASSERT_EQ(read("DD0010", 0, &in), ZEL_DONE);
    EXPECT_EQ(in.w.value16, 111);

    // The same name while the port is open: the device is exclusive.
    log.clear();
    EXPECT_EQ(driver.changeParams(&ctx, sim->portName(), 0), ZEL_FAILED);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"ZELFX> OpenCom() open COM port failed",
                                        "ZELFX> ChangeZelParams() open new COM port failed"}));
    ASSERT_EQ(read("DD0010", 0, &in), ZEL_DONE);  // still on the old handle
}

TEST_F(Chain, ColdStartOnAMissingDeviceFails) {
    EXPECT_EQ(driver.coldStart(&ctx, "/nonexist", kTimeout), ZEL_FAILED);
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[1], (LogEntry{8, "ZELFX> OpenCom() open COM port failed"}));
    EXPECT_EQ(log.entries[2], (LogEntry{32, "ZELFX> ColdStart() error opening COM port"}));
    EXPECT_EQ(ctx.handle, 0u);
    EXPECT_EQ(driver.call(ZEL_CMD_WARM_START, nullptr, &ctx), ZEL_FAILED);
}

}  // namespace
