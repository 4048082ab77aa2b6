// How the host moves values in and out of the driver's records, and the
// checks it makes on what users type.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver_client.h"

namespace zelfx {
namespace {

std::vector<uint8_t> cellBytes(const GateValue& cell) {
    return {cell.bytes[0], cell.bytes[1], cell.bytes[2], cell.bytes[3]};
}

TEST(SingleValues, NarrowValuesTravelAtOffsetTwoAndWideOnesFillTheCell) {
    struct Case {
        ValueKind kind;
        int64_t value;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {ValueKind::Word, 0x1234, {0, 0, 0x34, 0x12}},
        {ValueKind::Word, -2, {0, 0, 0xFE, 0xFF}},
        {ValueKind::Byte, 255, {0, 0, 0xFF, 0}},
        {ValueKind::Byte, 256, {0, 0, 0x00, 0x01}},  // the driver refuses it, not the host
        {ValueKind::Bit, 1, {0, 0, 1, 0}},
        {ValueKind::Dword, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {ValueKind::Dword, -1, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        GateValue cell{};
        packSingle(c.kind, c.value, cell);
        EXPECT_EQ(cellBytes(cell), c.bytes) << c.value;
    }
}

TEST(SingleValues, SignedReadingFollowsTheStoredWidth) {
    GateValue narrow{};
    narrow.value32 = 0xAAAAFFFF;  // a 16-bit read leaves the low half alone
    EXPECT_EQ(unpackSingle(ValueKind::Word, narrow, false), 0xAAAA);
    EXPECT_EQ(unpackSingle(ValueKind::Word, narrow, true), -21846);
    // A sign-extended byte (value type 1) reads back as a negative number.
    GateValue byte{};
    byte.w.value16 = 0xFFFF;
    EXPECT_EQ(unpackSingle(ValueKind::Byte, byte, true), -1);
    EXPECT_EQ(unpackSingle(ValueKind::Byte, byte, false), 0xFFFF);

    GateValue wide{};
    wide.value32 = 0xFFFFFFFE;
    EXPECT_EQ(unpackSingle(ValueKind::Dword, wide, false), 4294967294);
    EXPECT_EQ(unpackSingle(ValueKind::Dword, wide, true), -2);

    GateValue bit{};
    bit.w.value16 = 1;
    EXPECT_EQ(unpackSingle(ValueKind::Bit, bit, true), 1);
}

TEST(BlockValues, ElementsArePackedAtTheirOwnWidthLeastSignificantFirst) {
    const std::vector<int64_t> words{1, 2, 0xFFFF};
    const std::vector<uint8_t> wordBytes{0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(packBlock(ValueKind::Word, words), wordBytes);
    EXPECT_EQ(unpackBlock(ValueKind::Word, wordBytes, false), words);
    EXPECT_EQ(unpackBlock(ValueKind::Word, wordBytes, true), (std::vector<int64_t>{1, 2, -1}));

    const std::vector<int64_t> bytes{-1, 0x7F, 0x80};
    const std::vector<uint8_t> byteBytes{0xFF, 0x7F, 0x80};
    EXPECT_EQ(packBlock(ValueKind::Byte, bytes), byteBytes);
    EXPECT_EQ(unpackBlock(ValueKind::Byte, byteBytes, false),
              (std::vector<int64_t>{255, 127, 128}));
    EXPECT_EQ(unpackBlock(ValueKind::Byte, byteBytes, true), (std::vector<int64_t>{-1, 127, -128}));

    const std::vector<int64_t> dwords{0x12345678, -1};
    const std::vector<uint8_t> dwordBytes{0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(packBlock(ValueKind::Dword, dwords), dwordBytes);
    EXPECT_EQ(unpackBlock(ValueKind::Dword, dwordBytes, true), dwords);
}

TEST(Descriptors, KindComesFromBitAndElementWidth) {
    EXPECT_EQ(valueKind(AddrDesc{0, 1, 129, 7, 1}), ValueKind::Bit);
    EXPECT_EQ(valueKind(AddrDesc{0, 1, 129, -1, 8}), ValueKind::Byte);
    EXPECT_EQ(valueKind(AddrDesc{0, 10, 2148, -1, 16}), ValueKind::Word);
    EXPECT_EQ(valueKind(AddrDesc{0, 10, 2148, -1, 32}), ValueKind::Dword);
}

TEST(Descriptors, DefaultGateTypeFollowsTheAccessLetter) {
    EXPECT_EQ(defaultGateType("XP017"), ZEL_GATE_DIGITAL);
    EXPECT_EQ(defaultGateType("mp10"), ZEL_GATE_DIGITAL);
    EXPECT_EQ(defaultGateType("CL0200"), ZEL_GATE_LONG);
    EXPECT_EQ(defaultGateType("DD0100"), ZEL_GATE_ANALOG);
    EXPECT_EQ(defaultGateType("MB0001"), ZEL_GATE_ANALOG);
    EXPECT_EQ(defaultGateType("D"), ZEL_GATE_ANALOG);
}

TEST(UserInput, IntegersInDecimalHexAndNegative) {
    struct Case {
        const char* text;
        std::optional<int64_t> value;
    };
    const Case cases[] = {
        {"4660", 4660}, {"0x1234", 4660}, {"0XbeEF", 0xBEEF}, {"-1", -1},
        {"-0x10", -16}, {"+7", 7},        {"0", 0},           {"4294967295", 4294967295},
        {"", {}},       {"0x", {}},       {"12a", {}},        {"--5", {}},
        {"- 5", {}},    {"1e3", {}},      {"0x-5", {}},       {"99999999999999999999", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseInteger(c.text), c.value) << "'" << c.text << "'";
    }
}

TEST(UserInput, RangesAreWhatTheCellOrTheBlockElementCarries) {
    struct Case {
        ValueKind kind;
        bool block;
        int64_t min;
        int64_t max;
    };
    const Case cases[] = {
        {ValueKind::Bit, false, 0, 1},
        // A single byte travels in the 16-bit half of the cell: the driver
        // itself refuses what does not fit a byte.
        {ValueKind::Byte, false, -32768, 65535},
        {ValueKind::Byte, true, -128, 255},
        {ValueKind::Word, true, -32768, 65535},
        {ValueKind::Dword, false, -2147483648, 4294967295},
    };
    for (const auto& c : cases) {
        ValueRange r = valueRange(c.kind, c.block);
        EXPECT_EQ(r.min, c.min) << elementBits(c.kind) << (c.block ? " block" : "");
        EXPECT_EQ(r.max, c.max) << elementBits(c.kind) << (c.block ? " block" : "");
    }
}

TEST(UserInput, PortNamesAreShortenedToWhatTheDriverHolds) {
    EXPECT_EQ(portNameForDriver("COM1"), "COM1");
    EXPECT_EQ(portNameForDriver("/dev/pts/12"), "/dev/pts/12");  // 11 characters fit
    EXPECT_EQ(portNameForDriver("/dev/pts/123"), "pts/123");
    EXPECT_EQ(portNameForDriver("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(portNameForDriver("/tmp/some/long/path"), std::nullopt);
    EXPECT_EQ(portNameForDriver("/dev/serial/by-id/usb-FTDI"), std::nullopt);
    EXPECT_EQ(portNameForDriver(""), std::nullopt);
}

TEST(UserInput, TimeoutsRoundUpToTenMillisecondSteps) {
    EXPECT_EQ(timeoutUnits(1), 1);
    EXPECT_EQ(timeoutUnits(10), 1);
    EXPECT_EQ(timeoutUnits(11), 2);
    EXPECT_EQ(timeoutUnits(1000), 100);
    EXPECT_EQ(timeoutUnits(0), 1);
}

}  // namespace
}  // namespace zelfx
