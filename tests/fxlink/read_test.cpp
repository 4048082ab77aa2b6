// The read transaction: SingleRead and BlockRead through ZelMain.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fx_fixture.h"

namespace {

using namespace fxtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Read : public FxTest {
  protected:
    // The GateValue as the host keeps it: sentinel bytes everywhere.
    GateValue cell{.bytes = {0xA1, 0xA2, 0xA3, 0xA4}};
    IoRequest d100 = Gate("DD0100", kAreaD, 0x864, -1, 16, 1, &cell);
    const std::string d100Request =
        "\x02"
        "010C802\x03"
        "71";
};

TEST_F(Read, WorkedSingleRead) {
    OpenPort();
    sc::respond(
        "\x02"
        "3412\x03"
        "CD");
    EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), ZEL_DONE);
    EXPECT_THAT(sc::frames(), ElementsAre(d100Request));
    EXPECT_EQ(sc::callsOf(sc::Op::Read).at(0).arg, 8u);  // 2n + 4 asked for at once
    EXPECT_EQ(cell.w.value16, 0x1234);
    EXPECT_EQ(cell.bytes[0], 0xA1);  // a 16-bit read leaves offsets 0 and 1
    EXPECT_EQ(cell.bytes[1], 0xA2);
    EXPECT_THAT(log.entries, IsEmpty());
}

TEST_F(Read, WithoutAPortIsRefused) {
    StartParams start = Start("COM1", 0, 10);
    ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    log.clear();
    EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), ZEL_REFUSED);
    EXPECT_EQ(call(ZEL_CMD_BLOCK_READ, &d100), ZEL_REFUSED);
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> SingleRead(), ret val is 1"),
                                         Info("ZELFX> BlockRead(), ret val is 1")));
    EXPECT_THAT(sc::calls(), IsEmpty());
}

struct RetryCase {
    const char* what;
    std::vector<std::string> replies;  // one per attempt; "" is silence
    int32_t result;
    std::vector<std::string> messages;
};

TEST_F(Read, RetriesWithEveryFailureLogged) {
    const std::string good =
        "\x02"
        "3412\x03"
        "CD";
    const RetryCase cases[] = {
        {"three NAKs",
         {kNak, kNak, kNak},
         ZEL_FAILED,
         {"ZELFX> DoRead() Read, NAK replied retry 1", "ZELFX> DoRead() Read, NAK replied retry 2",
          "ZELFX> DoRead() Read, NAK replied retry 3", "ZELFX> SingleRead(), ret val is 2"}},
        {"silence",
         {"", "", ""},
         ZEL_FAILED,
         {"ZELFX> DoRead() Read reply error 7 retry 1",
          "ZELFX> DoRead() Read reply error 7 retry 2",
          "ZELFX> DoRead() Read reply error 7 retry 3", "ZELFX> SingleRead(), ret val is 2"}},
        {"bad sum, then good",
         {"\x02"
          "3412\x03"
          "CE",
          good},
         ZEL_DONE,
         {"ZELFX> DoRead() Read reply sum check error retry 1"}},
        {"no STX is invalid, not a sum error",
         {"\x01"
          "3412\x03"
          "CD",
          good},
         ZEL_DONE,
         {"ZELFX> DoRead() Read reply invalid retry 1"}},
        {"one short, then silence, then good",
         {Frame("341"), "", good},
         ZEL_DONE,
         {"ZELFX> DoRead() Read reply invalid retry 1",
          "ZELFX> DoRead() Read reply error 7 retry 2"}},
        {"non-hex digits with a matching sum, three times",
         {Frame("3Z12"), Frame("34 2"), Frame("-412")},
         ZEL_FAILED,
         {"ZELFX> DoRead() Read reply invalid retry 1",
          "ZELFX> DoRead() Read reply invalid retry 2",
          "ZELFX> DoRead() Read reply invalid retry 3", "ZELFX> SingleRead(), ret val is 2"}},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        cell.value32 = 0xA4A3A2A1;
        for (const std::string& r : c.replies) {
            r.empty() ? sc::respondSilence() : sc::respond(r);
        }
        EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), c.result);
        EXPECT_EQ(cell.value32, c.result == ZEL_DONE ? 0x1234A2A1u : 0xA4A3A2A1u);
        EXPECT_EQ(log.entries, Infos(c.messages));
        // The same request in every attempt, each after a purge.
        EXPECT_EQ(sc::frames(), std::vector<std::string>(c.replies.size(), d100Request));
        EXPECT_EQ(sc::count(sc::Op::QueryInput), c.replies.size());
    }
}

TEST_F(Read, StaleInputIsPurgedAndAFailedPurgeIsOnlyLogged) {
    OpenPort();
    sc::queueInput("stale");
    sc::respond(
        "\x02"
        "3412\x03"
        "CD");
    EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), ZEL_DONE);
    EXPECT_EQ(cell.w.value16, 0x1234);
    EXPECT_THAT(log.entries, IsEmpty());

    // A drain whose read fails is logged and the attempt goes on; the stale
    // bytes spoil it, and the next attempt's purge clears them.
    sc::queueInput("stale");
    sc::fail(sc::Op::Read);
    sc::respond(Frame("7856"));
    sc::respond(Frame("7856"));
    EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), ZEL_DONE);
    EXPECT_EQ(cell.w.value16, 0x5678);
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> DoRead() flushing error 1"),
                                         Info("ZELFX> DoRead() Read reply invalid retry 1")));
}

TEST_F(Read, SendErrorsAreRetried) {
    OpenPort();
    sc::shortWrite(10);
    sc::respondSilence();  // the PLC ignores the cut request
    sc::respond(
        "\x02"
        "3412\x03"
        "CD");
    EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), ZEL_DONE);
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> DoRead() Send request error 2 retry 1")));
}

TEST_F(Read, NothingIsReadPastTheExpectedReply) {
    OpenPort();
    sc::respond(
        "\x02"
        "3412\x03"
        "CD"
        "\x06junk");
    EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &d100), ZEL_DONE);
    EXPECT_EQ(sc::pendingInput(), "\x06junk");
}

struct DecodeCase {
    const char* what;
    IoRequest io;
    std::string request;  // body between STX and ETX
    std::string data;     // data digits of the reply
    uint32_t cell;        // what the GateValue holds afterwards
};

TEST_F(Read, DecodesEveryKindOfSingleValue) {
    GateValue value{};
    const DecodeCase cases[] = {
        {"bit 7 of 0x80", Gate("MP0007", kAreaM, 0x100, 7, 1, 1, &value), "0010001", "80",
         0x0001A2A1},
        {"bit 0 of 0x80", Gate("MP0000", kAreaM, 0x100, 0, 1, 1, &value), "0010001", "80",
         0x0000A2A1},
        {"byte, signed", Gate("MB0000", kAreaM, 0x100, -1, 8, 1, &value, 1), "0010001", "FF",
         0xFFFFA2A1},
        {"byte, signed positive", Gate("MB0000", kAreaM, 0x100, -1, 8, 1, &value, 1), "0010001",
         "7F", 0x007FA2A1},
        {"byte, unsigned", Gate("MB0000", kAreaM, 0x100, -1, 8, 1, &value), "0010001", "FF",
         0x00FFA2A1},
        {"word of a W row", Gate("DW8000", kAreaDSpecial, 0x700, -1, 16, 1, &value), "00E0002",
         "CDAB", 0xABCDA2A1},
        {"32-bit D pair", Gate("DD0100", kAreaD, 0x864, -1, 32, 1, &value), "010C804", "78563412",
         0x12345678},
        {"32-bit counter", Gate("CL0200", kAreaCLong, 0x300, -1, 32, 1, &value), "00C0004",
         "78563412", 0x12345678},
        {"single read with count 0 reads one element",
         Gate("DD0100", kAreaD, 0x864, -1, 16, 0, &value), "010C802", "3412", 0x1234A2A1},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        value.value32 = 0xA4A3A2A1;
        sc::respond(Frame(c.data));
        IoRequest io = c.io;
        EXPECT_EQ(call(ZEL_CMD_SINGLE_READ, &io), ZEL_DONE);
        EXPECT_THAT(sc::frames(), ElementsAre(Frame(c.request)));
        EXPECT_EQ(value.value32, c.cell);
    }
}

TEST_F(Read, DecodesBlocks) {
    struct BlockCase {
        const char* what;
        int32_t area, address, elementBits, count, valueType;
        std::string request, data;
        std::vector<uint8_t> stored;
    };
    const BlockCase cases[] = {
        {"three words",
         kAreaDSpecial,
         0x700,
         16,
         3,
         0,
         "00E0006",
         "01000200FFFF",
         {0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF}},
        {"bytes are never sign-extended", kAreaM, 0x100, 8, 2, 1, "0010002", "FF80", {0xFF, 0x80}},
        {"double words",
         kAreaD,
         0x864,
         32,
         2,
         0,
         "010C808",
         "7856341201000000",
         {0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0x00}},
        {"count 0 stores nothing", kAreaD, 0x864, 16, 0, 0, "010C800", "", {}},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        std::vector<uint8_t> block(c.stored.size() + 2, 0xEE);
        IoRequest io =
            Gate("blk", c.area, c.address, -1, c.elementBits, c.count, block.data(), c.valueType);
        sc::respond(Frame(c.data));
        EXPECT_EQ(call(ZEL_CMD_BLOCK_READ, &io), ZEL_DONE);
        EXPECT_THAT(sc::frames(), ElementsAre(Frame(c.request)));
        std::vector<uint8_t> expected = c.stored;
        expected.insert(expected.end(), {0xEE, 0xEE});  // nothing past the block
        EXPECT_EQ(block, expected);
    }
}

TEST_F(Read, LargestBlockFillsTheReplyAndNoMore) {
    OpenPort();
    std::vector<uint8_t> block(64);
    IoRequest io = Gate("MB0000", kAreaM, 0x100, -1, 8, 64, block.data());
    std::string digits;
    for (int i = 0; i < 64; ++i) {
        digits += "A5";
    }
    sc::respond(Frame(digits));
    EXPECT_EQ(call(ZEL_CMD_BLOCK_READ, &io), ZEL_DONE);
    EXPECT_EQ(sc::callsOf(sc::Op::Read).at(0).arg, 132u);
    EXPECT_EQ(block, std::vector<uint8_t>(64, 0xA5));
}

TEST_F(Read, RequestsThatCannotBeFramedAreRefusedBeforeSending) {
    OpenPort();
    std::vector<uint8_t> block(256);
    const IoRequest cases[] = {
        Gate("MB0000", kAreaM, 0x100, -1, 8, 65, block.data()),
        Gate("DD0000", kAreaD, 0, -1, 16, 33, block.data()),
        Gate("DD0000", kAreaD, 0, -1, 16, -1, block.data()),
        Gate("Q9", 12, 0, -1, 16, 1, block.data()),
        Gate("Q9", -3, 0, -1, 16, 1, block.data()),
        Gate("Q9", kAreaD, 0, -1, 8, 1, block.data()),
    };
    for (IoRequest io : cases) {
        EXPECT_EQ(call(ZEL_CMD_BLOCK_READ, &io), ZEL_REFUSED);
    }
    EXPECT_EQ(sc::count(sc::Op::Write), 0u);
    EXPECT_EQ(block, std::vector<uint8_t>(256, 0));
}

}  // namespace
