// ZelMain's dispatch, the ended state and GetZelInfo.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "entry/commands.h"
#include "log_capture.h"
#include "zel_call.h"
#include "zelfx/zelfx.h"

namespace {

using zeltest::LogCapture;

class Dispatch : public ::testing::Test {
  protected:
    void TearDown() override { zel::driverEnded = 0; }

    int32_t call(uint32_t command, void* params = nullptr, PortContext* context = nullptr) {
        return zeltest::zelCall(context, command, params);
    }
};

TEST_F(Dispatch, CodesWithoutACommandFailQuietly) {
    LogCapture log;
    DriverInfo info{};
    for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(call(code, &info), ZEL_FAILED) << "code " << code;
    }
    EXPECT_TRUE(log.entries.empty());
}

TEST_F(Dispatch, MissingRecordsAreRefusedNotDereferenced) {
    EXPECT_EQ(ZelMain(nullptr), ZEL_FAILED);
    EXPECT_EQ(call(ZEL_CMD_GET_ZEL_INFO, nullptr), ZEL_REFUSED);
    EXPECT_EQ(call(ZEL_CMD_SINGLE_ADDRESS_PARSER, nullptr), ZEL_REFUSED);
}

TEST_F(Dispatch, EndedLibraryAnswersEverythingWithZeroAndTouchesNothing) {
    zel::driverEnded = 1;
    LogCapture log;
    DriverInfo info;
    std::memset(&info, 0xA5, sizeof info);
    GateSpec spec{};
    spec.name = "QQ";
    for (uint32_t code = 0; code <= 20; ++code) {
        EXPECT_EQ(call(code, code == ZEL_CMD_GET_ZEL_INFO ? static_cast<void*>(&info) : &spec),
                  ZEL_DONE);
    }
    EXPECT_EQ(call(0xFFFFFFFFu), ZEL_DONE);
    EXPECT_EQ(ZelMain(nullptr), ZEL_DONE);  // the record is not even read
    EXPECT_TRUE(log.entries.empty());
    DriverInfo untouched;
    std::memset(&untouched, 0xA5, sizeof untouched);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
}

TEST_F(Dispatch, EndZelWithoutAContextStillEndsTheLibrary) {
    LogCapture log;
    EXPECT_EQ(call(ZEL_CMD_END_ZEL), ZEL_DONE);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"ZELFX> EndZel() exited, 0"});
    DriverInfo info{};
    EXPECT_EQ(call(ZEL_CMD_GET_ZEL_INFO, &info), ZEL_DONE);
    EXPECT_EQ(info.name, nullptr);  // ended: nothing runs
}

TEST_F(Dispatch, GetZelInfoDescribesTheDriver) {
    LogCapture log;
    DriverInfo info;
    std::memset(&info, 0xA5, sizeof info);
    PortContext garbage;
    std::memset(&garbage, 0x5A, sizeof garbage);  // any context will do

    ASSERT_EQ(call(ZEL_CMD_GET_ZEL_INFO, &info, &garbage), ZEL_DONE);

    EXPECT_EQ(info.driverCode, 70);
    EXPECT_STREQ(info.name, "Mitsubishi FX");
    EXPECT_EQ(info.contextSize, 310);
    EXPECT_EQ(info.contextSize, static_cast<int32_t>(sizeof(PortContext)));
    EXPECT_EQ(info.infoValueA, 4);
    EXPECT_EQ(info.infoValueB, 3);
    EXPECT_EQ(info.defaultLine.baudRate, 9600);
    EXPECT_EQ(info.defaultLine.dataBits, 7);
    EXPECT_EQ(info.defaultLine.stopBits, 0);
    EXPECT_EQ(info.defaultLine.parity, 2);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0], (zeltest::LogEntry{8, "ZELFX> GetZelInfo() exited"}));
}

TEST_F(Dispatch, BannerIsThreeBoxLinesInCodePage437) {
    DriverInfo info{};
    ASSERT_EQ(call(ZEL_CMD_GET_ZEL_INFO, &info), ZEL_DONE);
    const std::string bars(65, '\xCD');
    const std::string expected = "\x08\xC9" + bars + "\xBB\n" +                   //
                                 "\xBA  ZELFX : Mitsubishi FX driver (32 bit)" +  //
                                 std::string(26, ' ') + "\xBA\n" +                //
                                 "\xC8" + bars + "\xBC";
    ASSERT_EQ(expected.size(), 204u);
    EXPECT_EQ(std::string(info.banner), expected);
}

}  // namespace
