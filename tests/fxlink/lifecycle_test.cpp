// Port lifecycle commands and the link test, through ZelMain.
#include "entry/lifecycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string_view>

#include "fx_fixture.h"

namespace {

using namespace fxtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Lifecycle : public FxTest {
  protected:
    using serial_handle = zel::serial::Handle;
    std::string stamp() const {
        return std::string("ZELFX> version compiled on ") + zel::BuildDate() + " at time " +
               zel::BuildTime();
    }
    std::string opened(serial_handle h) const {
        return "ZELFX> OpenCom() exited OK, file handle " + std::to_string(h);
    }
};

TEST(BuildStamp, ShowsTheDayWithoutPadding) {
    EXPECT_STREQ(zel::StampDate("Jul 30 1997").data(), "Jul 30 1997");
    EXPECT_STREQ(zel::StampDate("Jul  1 1997").data(), "Jul 1 1997");
}

// Whether `text` has the shape of `pattern`: A an upper-case letter, a a
// lower-case one, 9 a digit, anything else itself.
bool HasShape(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool ok = pattern[i] == 'A'   ? std::isupper(c) != 0
                        : pattern[i] == 'a' ? std::islower(c) != 0
                        : pattern[i] == '9' ? std::isdigit(c) != 0
                                            : text[i] == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

TEST_F(Lifecycle, BuildStampHasTheDateAndTimeOfTheBuild) {
    const std::string_view date = zel::BuildDate();
    EXPECT_TRUE(HasShape(date, "Aaa 9 9999") || (HasShape(date, "Aaa 99 9999") && date[4] != '0'))
        << date;
    EXPECT_TRUE(HasShape(zel::BuildTime(), "99:99:99")) << zel::BuildTime();
}

TEST_F(Lifecycle, ColdStartWithoutOpeningLeavesTheSettings) {
    std::memset(&context, 0xA5, sizeof context);
    const PortSettings before = context.settings;
    StartParams start = Start("COM1", 0, 25);
    EXPECT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    EXPECT_EQ(context.timeout, 25);
    EXPECT_EQ(context.handle, 0u);
    EXPECT_EQ(std::memcmp(&context.settings, &before, sizeof before), 0);
    // The stale handle 0xA5A5A5A5 is dropped, never handed to the port.
    EXPECT_THAT(sc::calls(), IsEmpty());
    EXPECT_THAT(log.entries,
                ElementsAre(Info(stamp()), Info("ZELFX> ColdStart() installation OK!")));
}

TEST_F(Lifecycle, ColdStartOpensAndAppliesTheTimeout) {
    StartParams start = Start("COM3", 1, 30, LineParams{19200, 8, 2, 1});
    EXPECT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    const auto h = context.handle;
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(sc::isOpen(h));
    EXPECT_STREQ(context.settings.portName, "COM3");
    EXPECT_EQ(context.settings.controlFlags, 0x0303);
    EXPECT_EQ(sc::dcb(h).BaudRate, 19200u);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 300u);
    EXPECT_THAT(log.entries, ElementsAre(Info(stamp()), Info(opened(h)),
                                         Info("ZELFX> ColdStart() installation OK!")));
}

TEST_F(Lifecycle, ColdStartOnAPortThatCannotOpen) {
    sc::fail(sc::Op::Open);
    StartParams start = Start("COM9", 1, 10, LineParams{4800, 7, 0, 2});
    EXPECT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_FAILED);
    EXPECT_EQ(context.handle, 0u);
    EXPECT_STREQ(context.settings.portName, "COM9");
    EXPECT_EQ(context.settings.line.baudRate, 4800);
    EXPECT_EQ(context.settings.controlFlags, 0x0303);
    EXPECT_THAT(log.entries,
                ElementsAre(Info(stamp()), Info("ZELFX> OpenCom() open COM port failed"),
                            Alert("ZELFX> ColdStart() error opening COM port")));
}

TEST_F(Lifecycle, UnterminatedPortNamesAreRefused) {
    StartParams start = Start("COM1", 1, 10);
    std::memset(start.portName, 'A', sizeof start.portName);
    EXPECT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_REFUSED);
    EXPECT_EQ(context.handle, 0u);
    EXPECT_EQ(sc::count(sc::Op::Open), 0u);

    OpenPort();
    const PortContext before = context;
    ChangeParams change{};
    std::memset(change.portName, 'B', sizeof change.portName);
    change.timeout = 99;
    change.line = LineParams{1200, 7, 0, 2};
    EXPECT_EQ(call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change), ZEL_REFUSED);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof before), 0);
    EXPECT_THAT(sc::calls(), IsEmpty());
}

struct LinkCase {
    const char* what;
    std::vector<std::string> answers;  // "" is silence
    int32_t result;
    std::vector<std::string> messages;  // of TestCom
};

TEST_F(Lifecycle, WarmStartRunsTheLinkTest) {
    const LinkCase cases[] = {
        {"ACK at once", {kAck}, ZEL_DONE, {"ZELFX> TestCom(), ACK replied retry 1"}},
        {"NAK NAK ACK",
         {kNak, kNak, kAck},
         ZEL_DONE,
         {"ZELFX> TestCom(), NAK replied retry 1", "ZELFX> TestCom(), NAK replied retry 2",
          "ZELFX> TestCom(), ACK replied retry 3"}},
        {"three NAKs",
         {kNak, kNak, kNak},
         ZEL_FAILED,
         {"ZELFX> TestCom(), NAK replied retry 1", "ZELFX> TestCom(), NAK replied retry 2",
          "ZELFX> TestCom(), NAK replied retry 3"}},
        {"silence",
         {"", "", ""},
         ZEL_FAILED,
         {"ZELFX> TestCom() Receive reply error retry 1",
          "ZELFX> TestCom() Receive reply error retry 2",
          "ZELFX> TestCom() Receive reply error retry 3"}},
        {"bad char then ACK",
         {"A", kAck},
         ZEL_DONE,
         {"ZELFX> TestCom(), bad char. replied retry 1", "ZELFX> TestCom(), ACK replied retry 2"}},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        for (const std::string& a : c.answers) {
            a.empty() ? sc::respondSilence() : sc::respond(a);
        }
        EXPECT_EQ(call(ZEL_CMD_WARM_START), c.result);
        std::vector<LogEntry> expected = Infos(c.messages);
        expected.push_back(Info(c.result == ZEL_DONE
                                    ? "ZELFX> WarmStart()"
                                    : "ZELFX> WarmStart() Initial check error COM port " +
                                          std::to_string(context.handle)));
        EXPECT_EQ(log.entries, expected);
        EXPECT_EQ(sc::frames(), std::vector<std::string>(c.answers.size(), "\x05"));
        // Every attempt discards stale input first.
        EXPECT_EQ(sc::count(sc::Op::QueryInput), c.answers.size());
    }
}

TEST_F(Lifecycle, TestComResultIsThatOfTheLastAttempt) {
    OpenPort();
    const struct {
        std::vector<std::string> answers;
        int32_t result;
    } cases[] = {
        {{kNak, kNak, kNak}, 1},
        {{"A", "", kNak}, 1},
        {{kNak, kNak, "A"}, 2},
        {{kNak, kNak, ""}, 2},
    };
    for (const auto& c : cases) {
        for (const std::string& a : c.answers) {
            a.empty() ? sc::respondSilence() : sc::respond(a);
        }
        EXPECT_EQ(zel::TestCom(context.handle), c.result);
    }
}

TEST_F(Lifecycle, WarmStartWithoutAPortFailsEveryAttempt) {
    StartParams start = Start("COM1", 0, 10);
    ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    log.clear();
    EXPECT_EQ(call(ZEL_CMD_WARM_START), ZEL_FAILED);
    EXPECT_THAT(log.entries,
                ElementsAre(Info("ZELFX> TestCom() Send error retry 1"),
                            Info("ZELFX> TestCom() Send error retry 2"),
                            Info("ZELFX> TestCom() Send error retry 3"),
                            Info("ZELFX> WarmStart() Initial check error COM port 0")));
    EXPECT_THAT(sc::calls(), IsEmpty());
}

TEST_F(Lifecycle, CloseCom) {
    StartParams start = Start("COM1", 0, 10);
    ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    log.clear();
    EXPECT_EQ(call(ZEL_CMD_CLOSE_COM), ZEL_DONE);  // no port: nothing to do
    EXPECT_EQ(sc::count(sc::Op::Close), 0u);

    OpenPort();
    const auto h = context.handle;
    sc::fail(sc::Op::Close);
    EXPECT_EQ(call(ZEL_CMD_CLOSE_COM), ZEL_FAILED);
    EXPECT_EQ(context.handle, h);
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> CloseCom() exited 2")));

    log.clear();
    EXPECT_EQ(call(ZEL_CMD_CLOSE_COM), ZEL_DONE);
    EXPECT_EQ(context.handle, 0u);
    EXPECT_FALSE(sc::isOpen(h));
    EXPECT_THAT(log.entries, IsEmpty());
}

TEST_F(Lifecycle, EndZelClosesAndEndsTheLibrary) {
    OpenPort();
    const auto h = context.handle;
    EXPECT_EQ(call(ZEL_CMD_END_ZEL), ZEL_DONE);
    EXPECT_FALSE(sc::isOpen(h));
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> EndZel() exited, 0")));

    // Ended: every command answers 0 and does nothing.
    log.clear();
    sc::clearLog();
    const PortContext before = context;
    StartParams start = Start("COM1", 1, 10);
    EXPECT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    EXPECT_EQ(call(ZEL_CMD_REOPEN_COM), ZEL_DONE);
    EXPECT_EQ(std::memcmp(&context, &before, sizeof before), 0);
    EXPECT_THAT(log.entries, IsEmpty());
    EXPECT_THAT(sc::calls(), IsEmpty());
}

TEST_F(Lifecycle, EndZelEndsTheLibraryEvenWhenTheCloseFails) {
    OpenPort();
    sc::fail(sc::Op::Close);
    EXPECT_EQ(call(ZEL_CMD_END_ZEL), ZEL_FAILED);
    EXPECT_THAT(log.entries,
                ElementsAre(Info("ZELFX> CloseCom() exited 2"), Info("ZELFX> EndZel() exited, 2")));
    EXPECT_EQ(zel::driverEnded, 1);
}

TEST_F(Lifecycle, ReOpenCom) {
    OpenPort("COM2", 40);
    // The device is held exclusively: a second open fails, the old port stays.
    const auto held = context.handle;
    EXPECT_EQ(call(ZEL_CMD_REOPEN_COM), ZEL_FAILED);
    EXPECT_EQ(context.handle, held);
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> OpenCom() open COM port failed"),
                                         Alert("ZELFX> ReOpenCom() exited 2")));

    ASSERT_EQ(call(ZEL_CMD_CLOSE_COM), ZEL_DONE);
    log.clear();
    EXPECT_EQ(call(ZEL_CMD_REOPEN_COM), ZEL_DONE);
    const auto h = context.handle;
    ASSERT_NE(h, 0u);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 400u);
    EXPECT_THAT(log.entries, ElementsAre(Info(opened(h)), Info("ReOpenCom() exited 0")));
}

TEST_F(Lifecycle, ReopeningADeviceThatAllowsItClosesTheOldHandle) {
    // The null device may be opened twice; the handle it replaces is closed.
    OpenPort("NUL");
    const auto first = context.handle;
    EXPECT_EQ(call(ZEL_CMD_REOPEN_COM), ZEL_DONE);
    const auto second = context.handle;
    EXPECT_NE(second, first);

    ChangeParams change{};
    std::strcpy(change.portName, "NUL");
    EXPECT_EQ(call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change), ZEL_DONE);
    EXPECT_NE(context.handle, second);
    std::vector<serial_handle> closed;
    for (const auto& c : sc::callsOf(sc::Op::Close)) {
        closed.push_back(c.handle);
    }
    EXPECT_THAT(closed, ElementsAre(first, second));
}

TEST_F(Lifecycle, ChangeZelParamsToANewPortKeepsLineAndTimeout) {
    OpenPort("COM1", 20);
    const auto old = context.handle;
    const LineParams line = context.settings.line;
    ChangeParams change{};
    std::strcpy(change.portName, "COM2");
    change.timeout = -1;
    change.line = LineParams{0, 8, 2, 1};  // baudRate 0: the line is not taken
    EXPECT_EQ(call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change), ZEL_DONE);
    const auto h = context.handle;
    EXPECT_FALSE(sc::isOpen(old));
    EXPECT_TRUE(sc::isOpen(h));
    EXPECT_STREQ(context.settings.portName, "COM2");
    EXPECT_EQ(std::memcmp(&context.settings.line, &line, sizeof line), 0);
    EXPECT_EQ(context.timeout, 20);
    EXPECT_EQ(sc::timeouts(h).ReadTotalTimeoutConstant, 200u);
    EXPECT_EQ(sc::dcb(h).BaudRate, 9600u);
    EXPECT_THAT(log.entries, ElementsAre(Info(opened(h))));  // no message of its own
}

TEST_F(Lifecycle, ChangeZelParamsOnTheOpenPortIsRefusedButRemembered) {
    OpenPort("COM1", 20);
    const auto held = context.handle;
    ChangeParams change{};
    std::strcpy(change.portName, "COM1");
    change.timeout = 7;
    change.line = LineParams{19200, 8, 0, 0};
    EXPECT_EQ(call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change), ZEL_FAILED);
    EXPECT_EQ(context.handle, held);
    EXPECT_EQ(context.timeout, 7);
    EXPECT_EQ(context.settings.line.baudRate, 19200);
    EXPECT_EQ(sc::dcb(held).BaudRate, 9600u);  // the port keeps what it had
    EXPECT_THAT(log.entries,
                ElementsAre(Info("ZELFX> OpenCom() open COM port failed"),
                            Info("ZELFX> ChangeZelParams() open new COM port failed")));

    // The next successful open uses the remembered values.
    ASSERT_EQ(call(ZEL_CMD_CLOSE_COM), ZEL_DONE);
    ASSERT_EQ(call(ZEL_CMD_REOPEN_COM), ZEL_DONE);
    EXPECT_EQ(sc::dcb(context.handle).BaudRate, 19200u);
    EXPECT_EQ(sc::timeouts(context.handle).ReadTotalTimeoutConstant, 70u);
}

TEST_F(Lifecycle, ChangeZelParamsOpensAPortAfterAColdStartWithoutOne) {
    StartParams start = Start("COM1", 0, 15);
    ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    ChangeParams change{};
    std::strcpy(change.portName, "COM4");
    change.line = LineParams{9600, 7, 0, 2};
    EXPECT_EQ(call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change), ZEL_DONE);
    EXPECT_TRUE(sc::isOpen(context.handle));
    EXPECT_EQ(sc::callsOf(sc::Op::Open).at(0).name, "COM4");
    EXPECT_EQ(sc::timeouts(context.handle).ReadTotalTimeoutConstant, 150u);
}

TEST_F(Lifecycle, ChangeZelParamsTimeoutRule) {
    for (int32_t given : {0, -1, -5, 3}) {
        StartParams start = Start("COM1", 0, 20);
        ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
        ChangeParams change{};
        std::strcpy(change.portName, "NUL");
        change.timeout = given;
        call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change);
        EXPECT_EQ(context.timeout, given == 0 || given == -1 ? 20 : given) << given;
    }
}

TEST_F(Lifecycle, AFailedOpenAfterClosingLeavesNoPort) {
    OpenPort("COM1");
    const auto old = context.handle;
    sc::fail(sc::Op::Open);
    ChangeParams change{};
    std::strcpy(change.portName, "COM2");
    EXPECT_EQ(call(ZEL_CMD_CHANGE_ZEL_PARAMS, &change), ZEL_FAILED);
    EXPECT_FALSE(sc::isOpen(old));
    EXPECT_EQ(context.handle, 0u);
    EXPECT_STREQ(context.settings.portName, "COM2");
}

}  // namespace
