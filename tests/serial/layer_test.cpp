// The serial layer's logic on the scripted backend: configuration, failure
// paths, time-out arithmetic, input drain, reads and writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "serial/scripted.h"
#include "serial/serial.h"

namespace zel::serial {
namespace {

namespace sc = scripted;
using ::testing::ElementsAre;

constexpr LineParams kDefaultLine = {9600, 7, 0, 2};  // 9600 bit/s, 7E1

std::vector<sc::Op> ops() {
    std::vector<sc::Op> out;
    for (const sc::Call& c : sc::calls()) {
        out.push_back(c.op);
    }
    return out;
}

std::vector<uint32_t> readSizes() {
    std::vector<uint32_t> out;
    for (const sc::Call& c : sc::callsOf(sc::Op::Read)) {
        out.push_back(c.result);
    }
    return out;
}

class SerialLayer : public ::testing::Test {
  protected:
    void SetUp() override { sc::reset(); }

    // Opens COM1 with `flags`; the device holds `device` before.
    Handle open(uint16_t flags, const Dcb& device = Dcb{}, LineParams line = kDefaultLine) {
        sc::setDeviceState("COM1", device);
        Handle h = 0;
        EXPECT_EQ(SerOpen("COM1", &line, flags, &h), kOk);
        sc::clearLog();
        return h;
    }

    // Opens COM1 unconfigured (flags 0) with the given time-outs on the device.
    Handle openWithTimeouts(const Timeouts& t) {
        sc::setDeviceTimeouts("COM1", t);
        return open(0);
    }
};

TEST_F(SerialLayer, OpenConfiguresLineTimeoutsAndQueues) {
    Dcb device;
    device.BaudRate = 19200;
    device.ErrorChar = 0x3F;
    device.fErrorChar = true;
    Handle h = 0;
    sc::setDeviceState("COM1", device);
    ASSERT_EQ(SerOpen("COM1", &kDefaultLine, 0x0303, &h), kOk);

    EXPECT_EQ(h, sc::lastHandle());
    EXPECT_NE(h, 0u);
    Dcb d = sc::dcb(h);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, 2);
    EXPECT_TRUE(d.fParity);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.fDtrControl, kDtrControlEnable);
    EXPECT_EQ(d.fRtsControl, kRtsControlEnable);
    EXPECT_FALSE(d.fOutxCtsFlow || d.fOutxDsrFlow || d.fDsrSensitivity);
    EXPECT_EQ(d.ErrorChar, 0xFC);
    EXPECT_FALSE(d.fErrorChar);

    Timeouts t = sc::timeouts(h);
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    // Writes are bounded: 2 ms per byte at 9600 bit/s plus a second.
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    auto queues = sc::callsOf(sc::Op::SetupQueues);
    ASSERT_EQ(queues.size(), 1u);
    EXPECT_EQ(queues[0].arg, 1200u);
    EXPECT_EQ(queues[0].arg2, 1200u);
    // Time-outs go first, so a refused time-out leaves the line untouched.
    EXPECT_THAT(ops(), ElementsAre(sc::Op::Open, sc::Op::GetState, sc::Op::SetTimeouts,
                                   sc::Op::SetState, sc::Op::SetupQueues));
}

TEST_F(SerialLayer, OnlyTheLowByteOfLineValuesIsUsed) {
    LineParams line = {4800, 0x0108, 0x0102, 0x0203};
    Handle h = open(0x0303, Dcb{}, line);
    Dcb d = sc::dcb(h);
    EXPECT_EQ(d.BaudRate, 4800u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.StopBits, 2);
    EXPECT_EQ(d.Parity, 3);
}

// The parity rule: a non-zero parity turns checking on; parity 0 leaves the
// checking flag as the port had it.
TEST_F(SerialLayer, ParityNoneKeepsParityCheckingAsFound) {
    LineParams none = {9600, 8, 0, 0};
    for (bool checking : {true, false}) {
        sc::reset();
        Dcb device;
        device.fParity = checking;
        device.Parity = 2;
        Handle h = open(0x0303, device, none);
        EXPECT_EQ(sc::dcb(h).Parity, 0);
        EXPECT_EQ(sc::dcb(h).fParity, checking);
    }
}

struct FlagCase {
    uint16_t flags;
    uint8_t dtr, rts;
    bool cts, dsr, dsrSensitivity;
};

class ControlFlags : public SerialLayer, public ::testing::WithParamInterface<FlagCase> {};

// The device starts with DTR and RTS "disable" and no handshake, so a group
// that sets nothing shows up as 0.
TEST_P(ControlFlags, EachGroupTakesItsFirstBitSet) {
    const FlagCase& c = GetParam();
    Handle h = open(c.flags);
    Dcb d = sc::dcb(h);
    EXPECT_EQ(d.fDtrControl, c.dtr);
    EXPECT_EQ(d.fRtsControl, c.rts);
    EXPECT_EQ(d.fOutxCtsFlow, c.cts);
    EXPECT_EQ(d.fOutxDsrFlow, c.dsr);
    EXPECT_EQ(d.fDsrSensitivity, c.dsrSensitivity);
}

INSTANTIATE_TEST_SUITE_P(Groups, ControlFlags,
                         ::testing::Values(FlagCase{0x0303, 1, 1, false, false, false},
                                           FlagCase{0x0100, 1, 0, false, false, false},
                                           FlagCase{0x8101, 1, 0, false, false, false},
                                           FlagCase{0x8000, 2, 0, false, false, false},
                                           FlagCase{0x0200, 0, 1, false, false, false},
                                           FlagCase{0x3000, 0, 2, false, false, false},
                                           FlagCase{0x2000, 0, 3, false, false, false},
                                           FlagCase{0x4030, 0, 0, true, false, false},
                                           FlagCase{0x4020, 0, 0, false, true, false},
                                           FlagCase{0x4000, 0, 0, false, false, true},
                                           FlagCase{0x0CCC, 0, 0, false, false, false}),
                         [](const auto& p) { return "flags_" + std::to_string(p.param.flags); });

TEST_F(SerialLayer, FlagsNeverClearHandshakeOrChangeUnselectedGroups) {
    Dcb device;
    device.fDtrControl = kDtrControlHandshake;
    device.fOutxCtsFlow = true;
    device.fOutxDsrFlow = true;
    device.fDsrSensitivity = true;
    Handle h = open(0x0202, device);
    Dcb d = sc::dcb(h);
    EXPECT_EQ(d.fDtrControl, kDtrControlHandshake);
    EXPECT_EQ(d.fRtsControl, kRtsControlEnable);
    EXPECT_TRUE(d.fOutxCtsFlow && d.fOutxDsrFlow && d.fDsrSensitivity);
}

TEST_F(SerialLayer, FlagsZeroLeavesTheLineAsItIs) {
    Dcb device;
    device.BaudRate = 115200;
    Timeouts bounded = {0, 0, 300, 0, 500};
    sc::setDeviceState("COM1", device);
    sc::setDeviceTimeouts("COM1", bounded);
    Handle h = 0;
    ASSERT_EQ(SerOpen("COM1", &kDefaultLine, 0, &h), kOk);
    EXPECT_THAT(ops(), ElementsAre(sc::Op::Open, sc::Op::GetState, sc::Op::GetTimeouts));
    EXPECT_EQ(sc::dcb(h).BaudRate, 115200u);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 300u);
}

// A fresh Windows port has all time-outs 0: reads and writes without limit.
// Kept as found, such a port would hang the caller on a silent line.
TEST_F(SerialLayer, FlagsZeroStillBoundsReadsAndWrites) {
    Timeouts t = sc::timeouts(openWithTimeouts(Timeouts{}));
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(sc::count(sc::Op::SetState), 0u);

    sc::reset();
    sc::fail(sc::Op::SetTimeouts);
    Handle h = 0;
    EXPECT_EQ(SerOpen("COM1", &kDefaultLine, 0, &h), kOpenFailed);
    EXPECT_FALSE(sc::isOpen(h));
}

TEST_F(SerialLayer, NulIsUsedUnconfiguredButOnlyInCapitals) {
    Handle h = 0;
    ASSERT_EQ(SerOpen("NUL", &kDefaultLine, 0x0303, &h), kOk);
    EXPECT_THAT(ops(), ElementsAre(sc::Op::Open));
    EXPECT_EQ(h, sc::lastHandle());

    sc::clearLog();
    sc::fail(sc::Op::GetState);
    EXPECT_EQ(SerOpen("nul", &kDefaultLine, 0x0303, &h), kGetStateFailed);
    EXPECT_THAT(ops(), ElementsAre(sc::Op::Open, sc::Op::GetState, sc::Op::Close));
}

struct OpenFailure {
    sc::Op failing;
    int32_t result;
};

class OpenFailures : public SerialLayer, public ::testing::WithParamInterface<OpenFailure> {};

// Every failing step leaves no port open and the line as it was.
TEST_P(OpenFailures, CloseThePortAndReportTheStep) {
    const OpenFailure& c = GetParam();
    sc::fail(c.failing);
    LineParams line = {4800, 8, 0, 0};
    Handle h = 0;
    EXPECT_EQ(SerOpen("COM1", &line, 0x0303, &h), c.result);
    if (c.failing == sc::Op::Open) {
        EXPECT_EQ(h, 0xFFFFFFFFu);
        EXPECT_EQ(sc::count(sc::Op::Close), 0u);
        return;
    }
    EXPECT_EQ(h, sc::lastHandle());
    EXPECT_EQ(sc::count(sc::Op::Close), 1u);
    EXPECT_FALSE(sc::isOpen(h));
    EXPECT_EQ(sc::count(sc::Op::SetState), c.failing == sc::Op::SetState ? 1u : 0u);
    EXPECT_EQ(sc::dcb(h).BaudRate, 9600u);
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenFailures,
                         ::testing::Values(OpenFailure{sc::Op::Open, kOpenFailed},
                                           OpenFailure{sc::Op::GetState, kGetStateFailed},
                                           OpenFailure{sc::Op::SetTimeouts, kOpenFailed},
                                           OpenFailure{sc::Op::SetState, kSetStateFailed}),
                         [](const auto& p) { return sc::opName(p.param.failing); });

TEST_F(SerialLayer, QueueRequestFailureIsIgnored) {
    sc::fail(sc::Op::SetupQueues);
    Handle h = 0;
    EXPECT_EQ(SerOpen("COM1", &kDefaultLine, 0x0303, &h), kOk);
    EXPECT_TRUE(sc::isOpen(h));
}

TEST_F(SerialLayer, SecondOpenOfAnOpenPortFails) {
    Handle first = 0;
    Handle second = 0;
    ASSERT_EQ(SerOpen("COM1", &kDefaultLine, 0x0303, &first), kOk);
    EXPECT_EQ(SerOpen("COM1", &kDefaultLine, 0x0303, &second), kOpenFailed);
    EXPECT_TRUE(sc::isOpen(first));
    EXPECT_EQ(SerClose(first), kOk);
    EXPECT_EQ(SerClose(first), kIoFailed);
}

struct TimeoutCase {
    uint32_t currentMs;
    int32_t requested;
    int32_t result;
    uint32_t newMs;
};

class ReadTimeout : public SerialLayer, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeout, ReturnsThePreviousUnitsAndWritesOnlyAChange) {
    const TimeoutCase& c = GetParam();
    // Interval MAXDWORD with a zero total is bounded, so the open keeps it.
    Handle h = openWithTimeouts(Timeouts{kMaxDword, 0, c.currentMs, 0, 1000});
    EXPECT_EQ(SerSetReadTimeout(h, c.requested), c.result);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, c.newMs);
    EXPECT_EQ(sc::count(sc::Op::SetTimeouts), c.currentMs == c.newMs ? 0u : 1u);
    EXPECT_EQ(sc::timeouts(h).ReadIntervalTimeout, kMaxDword) << "other values stay as read";
}

// Below one unit the open default of 1000 ms applies; beyond 32 bits of ms the
// largest multiple of 10 does.
INSTANTIATE_TEST_SUITE_P(Arithmetic, ReadTimeout,
                         ::testing::Values(TimeoutCase{500, 50, 50, 500},
                                           TimeoutCase{105, 7, 10, 70},
                                           TimeoutCase{0, 100, 0, 1000}, TimeoutCase{9, 1, 0, 10},
                                           TimeoutCase{500, 0, 50, 1000},
                                           TimeoutCase{500, -1, 50, 1000},
                                           TimeoutCase{500, INT_MIN, 50, 1000},
                                           TimeoutCase{500, 214748365, 50, 2147483650u},
                                           TimeoutCase{500, INT_MAX, 50, 4294967290u},
                                           TimeoutCase{0xFFFFFFFFu, 5, 429496729, 50}));

TEST_F(SerialLayer, ReadTimeoutFailuresAnswerZeroAndChangeNothing) {
    Handle h = open(0x0303);
    sc::fail(sc::Op::GetTimeouts);
    EXPECT_EQ(SerSetReadTimeout(h, 20), 0);
    sc::fail(sc::Op::SetTimeouts);
    EXPECT_EQ(SerSetReadTimeout(h, 20), 0);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(SerSetReadTimeout(h, 20), 100);
}

TEST_F(SerialLayer, PurgeWithNothingWaitingOnlyQueries) {
    Handle h = open(0x0303);
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_THAT(ops(), ElementsAre(sc::Op::QueryInput));
}

TEST_F(SerialLayer, PurgeDrainsIn512BytePiecesAt50MsAndRestoresTheTimeout) {
    Handle h = open(0x0303);
    sc::queueInput(std::string(1100, 'x'));
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_THAT(readSizes(), ElementsAre(512u, 512u, 76u));
    for (const sc::Call& r : sc::callsOf(sc::Op::Read)) {
        EXPECT_EQ(r.readTimeoutMs, 50u);
    }
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(sc::pendingInput(), "");

    sc::clearLog();
    sc::queueInput(std::string(512, 'x'));
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_THAT(readSizes(), ElementsAre(512u, 0u));
}

TEST_F(SerialLayer, PurgeLeaves50MsWhenThePreviousTimeoutWasBelow10Ms) {
    Handle h = openWithTimeouts(Timeouts{0, 0, 5, 0, 1000});
    sc::queueInput("x");
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 50u);
}

TEST_F(SerialLayer, PurgeDrainsWhenTheQueryFailsAndReportsAFailedRead) {
    Handle h = open(0x0303);
    sc::queueInput("stale");
    sc::fail(sc::Op::QueryInput);
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_THAT(readSizes(), ElementsAre(5u));

    sc::queueInput(std::string(600, 'x'));
    sc::fail(sc::Op::Read, 2);
    EXPECT_EQ(SerPurgeInput(h), kDrainFailed);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 1000u);
}

// A line that never falls silent must not keep the caller draining: the drain
// stops after the bytes that were waiting and about one input queue more.
TEST_F(SerialLayer, PurgeOfANeverEndingStreamIsBounded) {
    Handle h = open(0x0303);
    sc::queueInput(std::string(1 << 20, 'y'));
    sc::fail(sc::Op::QueryInput);  // nothing known to be waiting
    EXPECT_EQ(SerPurgeInput(h), kOk);
    EXPECT_LE(sc::count(sc::Op::Read), 8u);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 1000u);
}

TEST_F(SerialLayer, WriteReportsCountShortWriteAndFailure) {
    Handle h = open(0x0303);
    const char frame[] =
        "\x02"
        "010C802\x03"
        "71";
    uint32_t written = 99;
    EXPECT_EQ(SerWrite(h, frame, 11, &written), kOk);
    EXPECT_EQ(written, 11u);
    EXPECT_EQ(sc::frames().back(), std::string(frame, 11));

    sc::shortWrite(4);
    EXPECT_EQ(SerWrite(h, frame, 11, &written), kShortWrite);
    EXPECT_EQ(written, 4u);

    written = 99;
    sc::fail(sc::Op::Write);
    EXPECT_EQ(SerWrite(h, frame, 11, &written), kIoFailed);
    EXPECT_EQ(written, 99u);
    EXPECT_EQ(SerWrite(h, frame, 11, nullptr), kOk);
}

TEST_F(SerialLayer, ReadDeliversWhatArrivedAndFailsOnNothing) {
    Handle h = open(0x0303);
    char buf[8] = {};
    uint32_t got = 99;
    sc::queueInput("abcdefg");
    EXPECT_EQ(SerRead(h, buf, 5, &got), kOk);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buf, 5), "abcde");

    EXPECT_EQ(SerRead(h, buf, 5, &got), kOk);  // 2 of 5: a short reply is a success
    EXPECT_EQ(got, 2u);

    got = 99;
    EXPECT_EQ(SerRead(h, buf, 5, &got), kIoFailed);
    EXPECT_EQ(got, 0u);

    sc::queueInput("x");
    got = 99;
    EXPECT_EQ(SerRead(h, buf, 0, &got), kIoFailed);
    EXPECT_EQ(got, 0u);

    sc::fail(sc::Op::Read);
    EXPECT_EQ(SerRead(h, buf, 5, &got), kIoFailed);
    EXPECT_EQ(SerRead(h, buf, 5, nullptr), kOk);
}

// Handle 0 is what the driver holds with no port open; nothing may reach the
// system with it (on POSIX it would be the host's standard input).
TEST_F(SerialLayer, HandleZeroFailsEverywhereWithoutASystemCall) {
    char buf[4] = {};
    uint32_t count = 99;
    EXPECT_EQ(SerWrite(0, "\x05", 1, &count), kIoFailed);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(SerRead(0, buf, 1, &count), kIoFailed);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SerClose(0), kIoFailed);
    EXPECT_EQ(SerPurgeInput(0), kDrainFailed);
    EXPECT_EQ(SerSetReadTimeout(0, 100), 0);
    EXPECT_EQ(SerSendBreak(10, 0), kOk);
    EXPECT_TRUE(sc::calls().empty());
}

TEST_F(SerialLayer, BreakHoldsTheLineForTheDuration) {
    Handle h = open(0x0303);
    sc::fail(sc::Op::SetBreak, sc::kAlways);
    EXPECT_EQ(SerSendBreak(250, h), kOk);
    EXPECT_THAT(ops(), ElementsAre(sc::Op::SetBreak, sc::Op::Sleep, sc::Op::SetBreak));
    EXPECT_EQ(sc::calls()[0].arg, 1u);
    EXPECT_EQ(sc::calls()[1].arg, 250u);
    EXPECT_EQ(sc::calls()[2].arg, 0u);
    EXPECT_EQ(SerDelay(30), kOk);
    EXPECT_EQ(sc::calls().back().arg, 30u);
}

TEST_F(SerialLayer, CloseFailureIsSeven) {
    Handle h = open(0x0303);
    sc::fail(sc::Op::Close);
    EXPECT_EQ(SerClose(h), kIoFailed);
    EXPECT_TRUE(sc::isOpen(h));
}

}  // namespace
}  // namespace zel::serial
