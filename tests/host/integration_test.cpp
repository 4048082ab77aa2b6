// The zelfx program against fxsim on a pseudo-terminal: the driver's port,
// read and write commands end to end, as a user runs them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "run_zelfx.h"

namespace zelfx::test {
namespace {

using testing::HasSubstr;

// One fxsim per test, so that every test starts from an empty PLC.
class AgainstFxsim : public testing::Test {
  protected:
    void start(std::vector<std::string> simArgs = {}) {
        simArgs.insert(simArgs.begin(), FXSIM);
        sim_ = std::make_unique<ChildProcess>(simArgs, true);
        auto line = sim_->readLine(5000);
        ASSERT_TRUE(line.has_value()) << sim_->errors();
        device_ = *line;
    }
    void SetUp() override { start(); }

    // zelfx with the port option in front of `args`; the line is the
    // driver's default, 9600 7E1.
    std::vector<std::string> on(std::vector<std::string> args) const {
        std::vector<std::string> all{"--port", device_};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    Ran run(std::vector<std::string> args) const { return zelfx(on(std::move(args))); }

    nlohmann::json readValues(std::vector<std::string> readArgs) const {
        readArgs.insert(readArgs.begin(), {"--json", "read"});
        Ran r = run(readArgs);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        return r.json()["values"];
    }

    std::unique_ptr<ChildProcess> sim_;
    std::string device_;
};

TEST_F(AgainstFxsim, PingRunsTheLinkTestAndEndsTheDriver) {
    Ran r = run({"--json", "ping"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["result"], 0);
    EXPECT_THAT(r.logTexts(),
                testing::ElementsAre(
                    "ZELFX> GetZelInfo() exited", testing::StartsWith("ZELFX> version compiled"),
                    testing::StartsWith("ZELFX> OpenCom() exited OK"),
                    "ZELFX> ColdStart() installation OK!", "ZELFX> TestCom(), ACK replied retry 1",
                    "ZELFX> WarmStart()", "ZELFX> EndZel() exited, 0"));
}

TEST_F(AgainstFxsim, WrittenValuesReadBackInEveryWidth) {
    struct Case {
        std::vector<std::string> write;
        std::vector<std::string> read;
        nlohmann::json values;
    };
    const Case cases[] = {
        {{"DD0100", "0x1234"}, {"DD0100"}, {4660}},
        {{"DD0102", "0x12345678", "--type", "4"}, {"DD0102", "--type", "4"}, {305419896}},
        {{"CL0200", "70000"}, {"CL0200"}, {70000}},
        {{"CL0201", "-1"}, {"CL0201", "--value-type", "1"}, {-1}},
        {{"DD0104", "-2"}, {"DD0104"}, {65534}},
        {{"DD0104", "-2"}, {"DD0104", "--value-type", "1"}, {-2}},
        {{"MB0002", "255"}, {"MB0002"}, {255}},
        {{"MB0002", "255"}, {"MB0002", "--value-type", "1"}, {-1}},
        {{"YP007", "1"}, {"YB000"}, {128}},
        {{"YP007", "0"}, {"YP007"}, {0}},
        {{"DD0200", "1", "2", "0xFFFF"}, {"DD0200", "--count", "3"}, {1, 2, 65535}},
        {{"DD0200", "1", "2", "-1"}, {"DD0200", "--count", "3", "--value-type", "1"}, {1, 2, -1}},
        {{"MB0010", "1", "-1", "128"}, {"MB0010", "--count", "3"}, {1, 255, 128}},
        {{"DD0300", "1", "-1", "--type", "4"},
         {"DD0300", "--count", "2", "--type", "4"},
         {1, 4294967295}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> write{"write"};
        write.insert(write.end(), c.write.begin(), c.write.end());
        Ran w = run(write);
        ASSERT_EQ(w.status, 0) << c.write[0] << w.err;
        EXPECT_EQ(readValues(c.read), c.values) << c.write[0];
    }
}

TEST_F(AgainstFxsim, BitWriteLeavesTheOtherBitsOfTheByte) {
    ASSERT_EQ(run({"write", "MB0001", "0x81"}).status, 0);
    ASSERT_EQ(run({"write", "MP0010", "1"}).status, 0);  // M10 is bit 2 of M8..M15
    EXPECT_EQ(readValues({"MB0001"}), nlohmann::json({0x85}));
    ASSERT_EQ(run({"write", "MP0015", "0"}).status, 0);
    EXPECT_EQ(readValues({"MB0001"}), nlohmann::json({0x05}));
}

TEST_F(AgainstFxsim, HumanOutputShowsDecimalAndHex) {
    ASSERT_EQ(run({"write", "DD0100", "4660"}).status, 0);
    EXPECT_EQ(run({"read", "DD0100"}).out, "DD0100 = 4660 (0x1234)\n");
    EXPECT_EQ(run({"read", "DD0100", "--count", "2"}).out,
              "DD0100[0] = 4660 (0x1234)\nDD0100[1] = 0 (0x0000)\n");
    EXPECT_EQ(run({"read", "MP0000"}).out, "MP0000 = 0\n");
    EXPECT_EQ(run({"write", "CL0200", "-2"}).out, "wrote CL0200 = -2 (0xFFFFFFFE)\n");
}

TEST_F(AgainstFxsim, TheDriversOwnRefusalsComeThrough) {
    // A byte above 255 fits the value cell, so the driver sees it and says no.
    Ran byte = run({"write", "MB0001", "256"});
    EXPECT_EQ(byte.status, 1);
    EXPECT_THAT(byte.err, HasSubstr("SingleWrite MB0001 refused: ZELFX> SingleWrite() , ret val "
                                    "is 1 block 'MB0001'\n  ZELFX> BuildWriteReq() Value too "
                                    "large for one byte\n"));
    Ran input = run({"--json", "write", "XP000", "1"});
    EXPECT_EQ(input.status, 1);
    EXPECT_EQ(input.json()["result"], 1);
    Ran block = run({"read", "MB0000", "--count", "65"});
    EXPECT_EQ(block.status, 1);
    EXPECT_THAT(block.err, HasSubstr("block size out of range"));
}

TEST_F(AgainstFxsim, ASilentPlcFailsAfterThreeAttempts) {
    sim_.reset();
    start({"--faults", "silent,silent,silent"});
    Ran r = run({"--timeout-ms", "50", "read", "DD0100"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("SingleRead DD0100 failed: ZELFX> SingleRead(), ret val is 2\n"
                                 "  ZELFX> DoRead() Read reply error 7 retry 1\n"));
    EXPECT_THAT(r.err, HasSubstr("retry 3\n"));
}

TEST_F(AgainstFxsim, PollPrintsPlainLinesAndTheWorstResult) {
    Ran r = run({"poll", "DD0000", "QP1", "--cycles", "2", "--interval-ms", "10"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, testing::MatchesRegex("1 DD0000 0 \\(0x0000\\)\n"
                                             "1 QP1 refused: ZELFX> Parse\\(\\) Illegal character "
                                             "1 in 'QP1'\n"
                                             "2 DD0000 0 \\(0x0000\\)\n"
                                             "2 QP1 refused: .*\n"));
}

TEST_F(AgainstFxsim, PollEndsCleanlyOnInterrupt) {
    ChildProcess poll(
        [&] {
            auto args = on({"--json", "poll", "DD0000", "YP000", "--interval-ms", "20"});
            args.insert(args.begin(), ZELFX_CLI);
            return args;
        }(),
        true);
    auto first = poll.readLine(5000);
    ASSERT_TRUE(first.has_value()) << poll.errors();
    auto cycle = nlohmann::json::parse(*first);
    EXPECT_EQ(cycle["cycle"], 1);
    EXPECT_EQ(cycle["gates"][0]["gate"], "DD0000");
    EXPECT_EQ(cycle["gates"][1]["result"], 0);
    poll.signal(SIGINT);
    EXPECT_EQ(poll.wait(5000), 0) << poll.errors();
    // The last line sums up and shows the driver ended.
    std::string rest = poll.out();
    rest.pop_back();
    auto last = nlohmann::json::parse(rest.substr(rest.rfind('\n') + 1));
    EXPECT_EQ(last["result"], 0);
    EXPECT_GE(last["cycles"].get<int>(), 1);
    EXPECT_EQ(last["log"].back()["text"], "ZELFX> EndZel() exited, 0");
}

TEST(Demo, WalksThroughEverythingAgainstItsOwnFxsim) {
    Ran r = zelfx({"demo"}, 30000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("╔═"));
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(r.out, summary, std::regex("\n([0-9]+) steps, ([0-9]+) ok\n$")));
    EXPECT_EQ(summary[1], summary[2]);
}

}  // namespace
}  // namespace zelfx::test
