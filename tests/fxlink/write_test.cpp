// The write transaction: SingleWrite and BlockWrite through ZelMain.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fx_fixture.h"

namespace {

using namespace fxtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Write : public FxTest {};

TEST_F(Write, WorkedFrames) {
    struct WorkedCase {
        const char* what;
        IoRequest io;
        uint32_t cell;
        std::string readReply;  // data digits of the bit write's read, or ""
        std::string frame;
    };
    GateValue value{};
    const WorkedCase cases[] = {
        {"16-bit D", Gate("DD0100", kAreaD, 0x864, -1, 16, 1, &value), 0x12340000, "",
         "\x02"
         "110C8023412\x03"
         "3C"},
        {"32-bit D pair", Gate("DD0100", kAreaD, 0x864, -1, 32, 1, &value), 0x12345678, "",
         "\x02"
         "110C80478563412\x03"
         "18"},
        {"byte 255", Gate("MB0127", kAreaM, 0x17F, -1, 8, 1, &value), 0x00FF0000, "",
         "\x02"
         "1017F01FF\x03"
         "FF"},
        {"bit set in 0x81", Gate("MP0010", kAreaM, 0x101, 2, 1, 1, &value), 0x00010000, "81",
         "\x02"
         "101010185\x03"
         "C4"},
        {"bit cleared in 0x85", Gate("MP0010", kAreaM, 0x101, 2, 1, 1, &value), 0x00000000, "85",
         "\x02"
         "101010181\x03"
         "C0"},
        {"bit set by 0xFFFF", Gate("MP0010", kAreaM, 0x101, 2, 1, 1, &value), 0xFFFF0000, "81",
         "\x02"
         "101010185\x03"
         "C4"},
        {"32-bit counter", Gate("CL0200", kAreaCLong, 0x300, -1, 32, 1, &value), 0x12345678, "",
         Frame("10C000478563412")},
        {"Y outputs are written", Gate("YP0000", kAreaY, 0xA0, 0, 1, 1, &value), 0x00050000, "00",
         Frame("100A00101")},
        {"single write with count 3 writes one element",
         Gate("DD0100", kAreaD, 0x864, -1, 16, 3, &value), 0x12340000, "",
         "\x02"
         "110C8023412\x03"
         "3C"},
    };
    for (const WorkedCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        value.value32 = c.cell;
        if (!c.readReply.empty()) {
            sc::respond(Frame(c.readReply));
        }
        sc::respond(kAck);
        IoRequest io = c.io;
        EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), ZEL_DONE);
        ASSERT_FALSE(sc::frames().empty());
        EXPECT_EQ(sc::frames().back(), c.frame);
        EXPECT_EQ(sc::frames().size(), c.readReply.empty() ? 1u : 2u);
        EXPECT_THAT(log.entries, IsEmpty());  // a single write acknowledged logs nothing
    }
}

TEST_F(Write, BitWriteGivesTheRequestBackAsItCame) {
    GateValue value{.bytes = {0x11, 0x22, 0x01, 0x00}};
    IoRequest io = Gate("MP0010", kAreaM, 0x101, 2, 1, 1, &value, 6);
    const IoRequest original = io;

    // Success: the request and the cell are as before, not the byte read.
    OpenPort();
    sc::respond(Frame("F0"));
    sc::respond(kAck);
    EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), ZEL_DONE);
    EXPECT_EQ(sc::frames().at(0), Frame("0010101"));  // the byte's read request
    EXPECT_EQ(sc::frames().at(1), Frame("1010101F4"));
    EXPECT_EQ(std::memcmp(&io, &original, sizeof io), 0);
    EXPECT_EQ(value.value32, 0x00012211u);

    // The read fails on all three attempts: its messages, then the bit
    // write's, nothing written, everything as before.
    sc::clearLog();
    log.clear();
    sc::respond(kNak);
    sc::respond(kNak);
    sc::respond(kNak);
    EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), ZEL_FAILED);
    EXPECT_EQ(std::memcmp(&io, &original, sizeof io), 0);
    EXPECT_EQ(value.value32, 0x00012211u);
    EXPECT_EQ(sc::frames(), std::vector<std::string>(3, Frame("0010101")));
    EXPECT_THAT(log.entries,
                ElementsAre(Info("ZELFX> DoRead() Read, NAK replied retry 1"),
                            Info("ZELFX> DoRead() Read, NAK replied retry 2"),
                            Info("ZELFX> DoRead() Read, NAK replied retry 3"),
                            Info("ZELFX> SingleRead(), ret val is 2"),
                            Info("ZELFX> BuildWriteReq() WORD read for bit write, rc 2"),
                            Info("ZELFX> SingleWrite() , ret val is 2 block 'MP0010'")));
}

TEST_F(Write, BitWriteRetriesSendTheByteOfTheOneRead) {
    OpenPort();
    GateValue value{.bytes = {0, 0, 1, 0}};
    IoRequest io = Gate("MP0010", kAreaM, 0x101, 2, 1, 1, &value);
    sc::respond(Frame("81"));
    sc::respond(kNak);
    sc::respond(kAck);
    EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), ZEL_DONE);
    const std::string write =
        "\x02"
        "101010185\x03"
        "C4";
    EXPECT_THAT(sc::frames(), ElementsAre(Frame("0010101"), write, write));
}

struct AnswerCase {
    const char* what;
    std::vector<std::string> answers;  // "" is silence
    int32_t result;
    std::vector<std::string> messages;
};

TEST_F(Write, AnswersAndRetries) {
    const std::string a1 = "ZELFX> DoWrite() Unknown response 'A'(41h) retry 1";
    const std::string a2 = "ZELFX> DoWrite() Unknown response 'A'(41h) retry 2";
    const std::string a3 = "ZELFX> DoWrite() Unknown response 'A'(41h) retry 3";
    const std::string n1 = "ZELFX> DoWrite() Read NAK received reply retry 1";
    const std::string n2 = "ZELFX> DoWrite() Read NAK received reply retry 2";
    const std::string n3 = "ZELFX> DoWrite() Read NAK received reply retry 3";
    const std::string ret1 = "ZELFX> SingleWrite() , ret val is 1 block 'DD0100'";
    const std::string ret2 = "ZELFX> SingleWrite() , ret val is 2 block 'DD0100'";
    const AnswerCase cases[] = {
        {"A then ACK", {"A", kAck}, ZEL_DONE, {a1}},
        {"three A", {"A", "A", "A"}, ZEL_REFUSED, {a1, a2, a3, ret1}},
        {"NAK NAK A", {kNak, kNak, "A"}, ZEL_REFUSED, {n1, n2, a3, ret1}},
        {"A A NAK", {"A", "A", kNak}, ZEL_FAILED, {a1, a2, n3, ret2}},
        {"silence",
         {"", "", ""},
         ZEL_FAILED,
         {"ZELFX> DoWrite() Read reply error 7 retry 1",
          "ZELFX> DoWrite() Read reply error 7 retry 2",
          "ZELFX> DoWrite() Read reply error 7 retry 3", ret2}},
        {"a byte above 0x7F is shown unsigned",
         {"\xFF", kAck},
         ZEL_DONE,
         {"ZELFX> DoWrite() Unknown response '\xFF'(FFh) retry 1"}},
    };
    GateValue value{};
    value.w.value16 = 0x1234;
    IoRequest io = Gate("DD0100", kAreaD, 0x864, -1, 16, 1, &value);
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        for (const std::string& a : c.answers) {
            a.empty() ? sc::respondSilence() : sc::respond(a);
        }
        EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), c.result);
        EXPECT_EQ(log.entries, Infos(c.messages));
        EXPECT_EQ(sc::frames(), std::vector<std::string>(c.answers.size(),
                                                         "\x02"
                                                         "110C8023412\x03"
                                                         "3C"));
        for (const auto& read : sc::callsOf(sc::Op::Read)) {
            EXPECT_EQ(read.arg, 1u);  // one character asked for
        }
    }
}

TEST_F(Write, SendAndPurgeFailures) {
    OpenPort();
    GateValue value{};
    IoRequest io = Gate("DD0100", kAreaD, 0x864, -1, 16, 1, &value);
    sc::queueInput("old");
    sc::fail(sc::Op::Read);  // the drain's read
    sc::fail(sc::Op::Write);
    sc::respond(kAck);
    sc::respond(kAck);
    EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), ZEL_DONE);
    EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> DoWrite() flushing error 1"),
                                         Info("ZELFX> DoWrite() Send request error 2 retry 1")));
}

TEST_F(Write, RefusalsSendNothing) {
    struct RefusalCase {
        const char* what;
        IoRequest io;
        uint32_t command;
        std::vector<std::string> messages;
    };
    GateValue big{};
    big.w.value16 = 256;
    GateValue minus{};
    minus.w.value16 = 0xFFFF;
    std::vector<uint8_t> block(256);
    const RefusalCase cases[] = {
        {"X bit",
         Gate("XP017", kAreaX, 0x81, 7, 1, 1, &big),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> SingleWrite() , ret val is 1 block 'XP017'"}},
        {"X byte",
         Gate("XB001", kAreaX, 0x81, -1, 8, 1, &big),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> SingleWrite() , ret val is 1 block 'XB001'"}},
        {"X block",
         Gate("XB000", kAreaX, 0x80, -1, 8, 2, block.data()),
         ZEL_CMD_BLOCK_WRITE,
         {"ZELFX> BlockWrite(), ret val is 1 block 'XB000'"}},
        {"byte 256",
         Gate("MB0127", kAreaM, 0x17F, -1, 8, 1, &big),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> BuildWriteReq() Value too large for one byte",
          "ZELFX> SingleWrite() , ret val is 1 block 'MB0127'"}},
        {"byte -1",
         Gate("MB0127", kAreaM, 0x17F, -1, 8, 1, &minus),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> BuildWriteReq() Value too large for one byte",
          "ZELFX> SingleWrite() , ret val is 1 block 'MB0127'"}},
        {"65 bytes",
         Gate("MB0000", kAreaM, 0x100, -1, 8, 65, block.data()),
         ZEL_CMD_BLOCK_WRITE,
         {"ZELFX> BlockWrite(), ret val is 1 block 'MB0000'"}},
        {"17 double words",
         Gate("CL0200", kAreaCLong, 0x300, -1, 32, 17, block.data()),
         ZEL_CMD_BLOCK_WRITE,
         {"ZELFX> BlockWrite(), ret val is 1 block 'CL0200'"}},
        {"negative count",
         Gate("DD0000", kAreaD, 0, -1, 16, -2, block.data()),
         ZEL_CMD_BLOCK_WRITE,
         {"ZELFX> BlockWrite(), ret val is 1 block 'DD0000'"}},
        {"bit 8",
         Gate("MP0000", kAreaM, 0x100, 8, 1, 1, &big),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> SingleWrite() , ret val is 1 block 'MP0000'"}},
        {"no such area",
         Gate("Q9", 40, 0, -1, 16, 1, &big),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> SingleWrite() , ret val is 1 block 'Q9'"}},
        {"no name",
         Gate(nullptr, kAreaX, 0x81, 7, 1, 1, &big),
         ZEL_CMD_SINGLE_WRITE,
         {"ZELFX> SingleWrite() , ret val is 1 block ''"}},
    };
    OpenPort();
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        IoRequest io = c.io;
        EXPECT_EQ(call(c.command, &io), ZEL_REFUSED);
        EXPECT_EQ(log.entries, Infos(c.messages));
    }
    EXPECT_THAT(sc::calls(), IsEmpty());
}

TEST_F(Write, WithoutAPortIsRefused) {
    StartParams start = Start("COM1", 0, 10);
    ASSERT_EQ(call(ZEL_CMD_COLD_START, &start), ZEL_DONE);
    log.clear();
    GateValue value{};
    IoRequest io = Gate("DD0100", kAreaD, 0x864, -1, 16, 1, &value);
    EXPECT_EQ(call(ZEL_CMD_SINGLE_WRITE, &io), ZEL_REFUSED);
    EXPECT_THAT(log.entries,
                ElementsAre(Info("ZELFX> SingleWrite() , ret val is 1 block 'DD0100'")));
    EXPECT_THAT(sc::calls(), IsEmpty());
}

TEST_F(Write, Blocks) {
    struct BlockCase {
        const char* what;
        int32_t area, address, elementBits, count;
        std::vector<uint8_t> data;
        std::string frame;
    };
    std::vector<uint8_t> ramp(64);
    std::string rampDigits;
    for (uint32_t i = 0; i < 64; ++i) {
        ramp[i] = static_cast<uint8_t>(i * 4);
        static const char digits[] = "0123456789ABCDEF";
        rampDigits += digits[(i * 4) >> 4];
        rampDigits += digits[(i * 4) & 0xF];
    }
    const BlockCase cases[] = {
        {"worked words",
         kAreaDSpecial,
         0x700,
         16,
         3,
         {0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF},
         "\x02"
         "10E000601000200FFFF\x03"
         "0A"},
        {"count 0", kAreaD, 0x864, 16, 0, {}, Frame("110C800")},
        {"64 bytes", kAreaM, 0x100, 8, 64, ramp, Frame("1010040" + rampDigits)},
        {"32 words", kAreaD, 0x800, 16, 32, ramp, Frame("1100040" + rampDigits)},
        {"16 double words", kAreaCLong, 0x300, 32, 16, ramp, Frame("10C0040" + rampDigits)},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.what);
        sc::reset();
        OpenPort();
        std::vector<uint8_t> data = c.data;
        IoRequest io = Gate("blk", c.area, c.address, -1, c.elementBits, c.count, data.data());
        sc::respond(kAck);
        EXPECT_EQ(call(ZEL_CMD_BLOCK_WRITE, &io), ZEL_DONE);
        EXPECT_THAT(sc::frames(), ElementsAre(c.frame));
        EXPECT_THAT(log.entries, ElementsAre(Info("ZELFX> DoWrite(block) acknowledged by PLC 0")));
    }
    EXPECT_EQ(sc::frames().at(0).size(), 139u);
}

}  // namespace
