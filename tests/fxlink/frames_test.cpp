// Frame routines: checksum, the check of a data reply, request planning and
// the hand-over of frames to the serial layer.
#include "fxlink/frames.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "fx_fixture.h"

namespace {

using namespace fxtest;
namespace fx = zel::fx;

const uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(FrameSum, WrapsModulo256) {
    // The read request of D100: "010C802" and ETX sum to 0x171.
    const std::string body = "010C802\x03";
    EXPECT_EQ(fx::FrameSum(Bytes(body), Bytes(body) + body.size() - 1), 0x71);
}

struct ReplyCase {
    const char* what;
    std::string reply;
    uint32_t dataBytes;
    fx::ReplyStatus status;
};

class CheckDataReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CheckDataReply, JudgesTheReply) {
    const ReplyCase& c = GetParam();
    EXPECT_EQ(
        fx::CheckDataReply(Bytes(c.reply), static_cast<uint32_t>(c.reply.size()), c.dataBytes),
        c.status);
}

using S = fx::ReplyStatus;
// "\x02" "3412" "\x03" "CD" carries 0x1234; a reply for 1 byte has 6
// characters.
INSTANTIATE_TEST_SUITE_P(
    Replies, CheckDataReply,
    ::testing::Values(ReplyCase{"worked reply",
                                std::string("\x02"
                                            "3412\x03"
                                            "CD"),
                                2, S::kAccepted},
                      ReplyCase{"lower-case checksum",
                                std::string("\x02"
                                            "3412\x03"
                                            "cd"),
                                2, S::kAccepted},
                      ReplyCase{"lower-case data", Frame("abcd"), 2, S::kAccepted},
                      ReplyCase{"empty data field", Frame(""), 0, S::kAccepted},
                      ReplyCase{"lone NAK", kNak, 2, S::kLoneNak},
                      ReplyCase{"wrong checksum",
                                std::string("\x02"
                                            "3412\x03"
                                            "CE"),
                                2, S::kSumError},
                      ReplyCase{"one short, own sum right", Frame("341"), 2, S::kInvalid},
                      ReplyCase{"one too long", Frame("34120"), 2, S::kInvalid},
                      ReplyCase{"no STX",
                                std::string("\x01"
                                            "3412\x03"
                                            "CD"),
                                2, S::kInvalid},
                      ReplyCase{"no ETX",
                                std::string("\x02"
                                            "34120"
                                            "CD"),
                                2, S::kInvalid},
                      ReplyCase{"NAK for a 0-byte read", kNak, 0, S::kLoneNak},
                      ReplyCase{"non-hex data, sum right", Frame("3G12"), 2, S::kInvalid},
                      ReplyCase{"space in data, sum right", Frame(" 1"), 1, S::kInvalid},
                      ReplyCase{"non-hex checksum",
                                std::string("\x02"
                                            "3412\x03"
                                            "C?"),
                                2, S::kInvalid}),
    [](const auto& param) {
        std::string name = param.param.what;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

struct PlanCase {
    const char* what;
    IoRequest io;
    bool single;
    bool write;
};

TEST(PlanGate, RefusesWhatCannotBeFramed) {
    uint8_t cell[4] = {};
    const PlanCase cases[] = {
        {"area below the map", Gate("", -1, 0, -1, 16, 1, cell), true, false},
        {"area past the map", Gate("", 12, 0, -1, 16, 1, cell), true, false},
        {"byte width for D", Gate("", kAreaD, 0, -1, 8, 1, cell), true, false},
        {"32 bits for a W row", Gate("", kAreaDSpecial, 0, -1, 32, 1, cell), true, false},
        {"16 bits for an L row", Gate("", kAreaCLong, 0, -1, 16, 1, cell), true, false},
        {"16 bits for a bits row", Gate("", kAreaM, 0, -1, 16, 1, cell), true, false},
        {"bit 8", Gate("", kAreaM, 0, 8, 1, 1, cell), true, true},
        {"bit -2", Gate("", kAreaM, 0, -2, 1, 1, cell), true, false},
        {"block of -1", Gate("", kAreaD, 0, -1, 16, -1, cell), false, false},
        {"65 bytes", Gate("", kAreaM, 0, -1, 8, 65, cell), false, true},
        {"33 words", Gate("", kAreaD, 0, -1, 16, 33, cell), false, false},
        {"17 double words", Gate("", kAreaCLong, 0, -1, 32, 17, cell), false, true},
        {"huge count", Gate("", kAreaD, 0, -1, 16, 0x7FFFFFFF, cell), false, false},
        {"address past 0xFFFF", Gate("", kAreaD, 0x8000, -1, 16, 1, cell), true, false},
        {"negative address", Gate("", kAreaD, -1, -1, 16, 1, cell), true, true},
        {"no data", Gate("", kAreaD, 0, -1, 16, 1, nullptr), true, false},
        {"no data for a block", Gate("", kAreaD, 0, -1, 16, 2, nullptr), false, true},
    };
    for (const PlanCase& c : cases) {
        fx::GatePlan plan{};
        EXPECT_EQ(fx::PlanGate(c.io, c.single, c.write, &plan), 1) << c.what;
    }
}

TEST(PlanGate, SizesEachKind) {
    uint8_t cell[4] = {};
    struct {
        IoRequest io;
        bool single;
        uint32_t size, bytes, address;
    } cases[] = {
        {Gate("MP0010", kAreaM, 0x101, 2, 1, 1, cell), true, 1, 1, 0x101},
        {Gate("DD0100", kAreaD, 0x864, -1, 16, 1, cell), true, 2, 2, 0x10C8},
        {Gate("DD0100", kAreaD, 0x864, -1, 32, 1, cell), true, 4, 4, 0x10C8},
        {Gate("CL0200", kAreaCLong, 0x300, -1, 32, 16, cell), false, 4, 64, 0xC00},
        {Gate("MB0000", kAreaM, 0x100, 9, 8, 64, cell), false, 1, 64, 0x100},  // bit ignored
        {Gate("DW8000", kAreaDSpecial, 0x700, -1, 16, 0, cell), false, 2, 0, 0xE00},
        // A single command carries one element whatever count holds.
        {Gate("DD0100", kAreaD, 0x864, -1, 16, 0, cell), true, 2, 2, 0x10C8},
        {Gate("DD0100", kAreaD, 0x864, -1, 16, 500, cell), true, 2, 2, 0x10C8},
        // An empty block needs no data.
        {Gate("DD0100", kAreaD, 0x864, -1, 16, 0, nullptr), false, 2, 0, 0x10C8},
    };
    for (const auto& c : cases) {
        fx::GatePlan plan{};
        ASSERT_EQ(fx::PlanGate(c.io, c.single, false, &plan), 0) << c.io.name;
        EXPECT_EQ(plan.elementSize, c.size) << c.io.name;
        EXPECT_EQ(plan.dataBytes, c.bytes) << c.io.name;
        EXPECT_EQ(plan.frameAddress, c.address) << c.io.name;
    }
}

class FrameIo : public FxTest {};

TEST_F(FrameIo, SendFrameNeedsEveryCharacterWritten) {
    OpenPort();
    const std::string frame = Frame("010C802");
    EXPECT_EQ(fx::SendFrame(Bytes(frame), 11, context.handle), 0);
    sc::shortWrite(10);
    EXPECT_EQ(fx::SendFrame(Bytes(frame), 11, context.handle), 2);
    sc::fail(sc::Op::Write);
    EXPECT_EQ(fx::SendFrame(Bytes(frame), 11, context.handle), 2);
}

TEST_F(FrameIo, ReceiveFrameReportsWhatArrived) {
    OpenPort();
    uint8_t buffer[8] = {};
    uint32_t count = 8;
    sc::queueInput(kNak);
    EXPECT_EQ(fx::ReceiveFrame(buffer, &count, context.handle), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x15);

    count = 8;
    EXPECT_EQ(fx::ReceiveFrame(buffer, &count, context.handle), 7);
    EXPECT_EQ(count, 0u);

    // Never more than asked for: the rest stays in the port.
    sc::queueInput("0123456789");
    count = 8;
    EXPECT_EQ(fx::ReceiveFrame(buffer, &count, context.handle), 0);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(sc::pendingInput(), "89");
}

}  // namespace
