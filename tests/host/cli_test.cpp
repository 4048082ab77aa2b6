// The zelfx program run as a user runs it, on the real driver library, for
// everything that needs no PLC.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run_zelfx.h"

namespace zelfx::test {
namespace {

using testing::HasSubstr;
using testing::Not;

TEST(Info, DrawsTheBannerInBoxDrawingCharacters) {
    Ran r = zelfx({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string border;
    for (int i = 0; i < 65; ++i) {
        border += "═";
    }
    EXPECT_THAT(r.out, HasSubstr("╔" + border + "╗\n║  ZELFX : Mitsubishi FX driver (32 bit)" +
                                 std::string(26, ' ') + "║\n╚" + border + "╝\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("\x08")));
    EXPECT_THAT(r.out, HasSubstr("Mitsubishi FX"));
    EXPECT_THAT(r.out, HasSubstr("Default line  9600 7E1"));
}

TEST(Info, JsonCarriesEveryMemberAndTheRawBanner) {
    Ran r = zelfx({"--json", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = r.json();
    EXPECT_EQ(doc["result"], 0);
    EXPECT_EQ(doc["driverCode"], 70);
    EXPECT_EQ(doc["name"], "Mitsubishi FX");
    EXPECT_GE(doc["contextSize"].get<int>(), 304);
    EXPECT_EQ(doc["infoValueA"], 4);
    EXPECT_EQ(doc["infoValueB"], 3);
    EXPECT_EQ(
        doc["defaultLine"],
        (nlohmann::json{{"baudRate", 9600}, {"dataBits", 7}, {"stopBits", 0}, {"parity", 2}}));
    std::string hex = doc["bannerHex"];
    EXPECT_EQ(hex.size(), 2u * 204);
    EXPECT_EQ(hex.substr(0, 6), "08C9CD");
    EXPECT_EQ(hex.substr(hex.size() - 4), "CDBC");
}

TEST(Parse, JsonReportsTheDescriptor) {
    struct Case {
        std::vector<std::string> args;
        nlohmann::json addr;
    };
    auto addr = [](int area, int address, int bit, int bits) {
        return nlohmann::json{
            {"plc", 0}, {"area", area}, {"address", address}, {"bit", bit}, {"elementBits", bits}};
    };
    const Case cases[] = {
        {{"dd0100", "--type", "0"}, addr(10, 2148, -1, 16)},
        {{"DD0100", "--type", "4"}, addr(10, 2148, -1, 32)},
        {{"XP017"}, addr(1, 129, 7, 1)},     // DIGITAL by default
        {{"CL0200"}, addr(9, 768, -1, 32)},  // LONG by default
        {{"MB0127", "--block", "64"}, addr(4, 383, -1, 8)},
        {{"DD0500", "--block", "32"}, addr(10, 2548, -1, 16)},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--json", "parse"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Ran r = zelfx(args);
        ASSERT_EQ(r.status, 0) << c.args[0] << r.err;
        EXPECT_EQ(r.json()["result"], 0);
        EXPECT_EQ(r.json()["addr"], c.addr) << c.args[0];
        EXPECT_EQ(r.json()["log"], nlohmann::json::array());
    }
}

TEST(Parse, RefusalsExitOneWithTheDriversMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"QD0100"}, "ZELFX> Parse() Illegal character 1 in 'QD0100'"},
        {{"dd0101", "--type", "4"}, "ZELFX> Parse() Address must be even in 'DD0101'"},
        {{"MB0010", "--type", "6"}, "ZELFX> SingleParse() gate 'MB0010' should be analog"},
        {{"MB0127", "--block", "65"}, "ZELFX> Parse() block size out of range block 'MB0127'"},
        {{"XP000", "--block", "1"},
         "ZELFX> Parse() no spec. dig. gates allowed for blocks 'XP000'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--json", "parse"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Ran json = zelfx(args);
        EXPECT_EQ(json.status, 1) << c.args[0];
        EXPECT_EQ(json.json()["result"], 1);
        EXPECT_TRUE(json.json()["addr"].is_null());
        EXPECT_EQ(json.json()["log"], (nlohmann::json{{{"level", 8}, {"text", c.message}}}));

        args.erase(args.begin());
        Ran human = zelfx(args);
        EXPECT_EQ(human.status, 1);
        EXPECT_EQ(human.out, "");
        EXPECT_THAT(human.err, HasSubstr("refused: " + c.message + "\n"));
    }
}

TEST(Parse, HumanOutputNamesEveryField) {
    Ran r = zelfx({"parse", "DD0100", "--type", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "DD0100 (gate type 0): area 10, address 2148 (0x864), bit -1, 16 bits\n");
}

TEST(Trace, PrintsEachDriverMessageToStandardError) {
    Ran r = zelfx({"--trace", "--json", "parse", "QD0100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[8] ZELFX> Parse() Illegal character 1 in 'QD0100'\n");
}

TEST(Usage, MistakesExitWith64BeforeAnythingIsSent) {
    const std::vector<std::vector<std::string>> cases{
        {},
        {"bogus"},
        {"info", "--baud", "70000"},
        {"--parity", "sometimes", "info"},
        {"--stop-bits", "3", "info"},
        {"read", "DD0100"},  // no --port
        {"--port", "/dev/serial/by-id/usb-FTDI", "ping"},
        {"--port", "COM1", "read", "DD0100", "--count", "0"},
        {"--port", "COM1", "write", "DD0100", "12x"},
        {"--port", "COM1", "write", "DD0100"},
        // Values that cannot travel; the port is never opened for them.
        {"--port", "COM1", "write", "DD0100", "70000"},
        {"--port", "COM1", "write", "MP0010", "2"},
        {"--port", "COM1", "write", "MB0000", "1", "256"},
        {"--port", "COM1", "write", "CL0200", "0x100000000"},
        {"--port", "COM1", "poll", "DD0100:x"},
    };
    for (const auto& args : cases) {
        Ran r = zelfx(args);
        std::string shown;
        for (const auto& a : args) {
            shown += a + " ";
        }
        EXPECT_EQ(r.status, 64) << shown << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err, "") << shown;
    }
}

TEST(Driver, LoadFailuresExitTwoAndSayWhy) {
    Ran missing = zelfx({"--driver", "/nonexistent/libzelfx.so", "info"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot load the driver /nonexistent/libzelfx.so"));

    Ran notADriver = zelfx({"--driver", TORVEK_LIB, "info"});
    EXPECT_EQ(notADriver.status, 2);
    EXPECT_THAT(notADriver.err, HasSubstr("does not export ZelMain"));
}

TEST(Port, ThatCannotBeOpenedFailsAndStillEndsTheDriver) {
    Ran json = zelfx({"--json", "--port", "/x/none", "read", "DD0100"});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(json.json()["result"], 2);
    EXPECT_EQ(json.json()["values"], nlohmann::json::array());
    auto log = json.json()["log"];
    bool alert = false;
    for (const auto& entry : log) {
        alert = alert || (entry["level"] == 32 &&
                          entry["text"] == "ZELFX> ColdStart() error opening COM port");
    }
    EXPECT_TRUE(alert) << log.dump();
    EXPECT_EQ(json.logTexts().back(), "ZELFX> EndZel() exited, 0");

    Ran human = zelfx({"--port", "/x/none", "ping"});
    EXPECT_EQ(human.status, 2);
    EXPECT_THAT(human.err, HasSubstr("zelfx: ColdStart /x/none failed: ZELFX> ColdStart() error "
                                     "opening COM port\n  ZELFX> version compiled on"));
}

}  // namespace
}  // namespace zelfx::test
