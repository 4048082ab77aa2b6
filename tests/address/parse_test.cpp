// The gate-address parser and the two parser commands, through ZelMain.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log_capture.h"
#include "zel_call.h"
#include "zelfx/zelfx.h"

namespace {

using zeltest::LogCapture;
using zeltest::LogEntry;

constexpr AddrDesc kPoison{7, 7, 7, 7, 7};

struct Parsed {
    int32_t result;
    AddrDesc addr;
    std::vector<LogEntry> log;
};

Parsed run(uint32_t command, const char* text, int32_t gateType, int32_t blockSize = 0) {
    LogCapture log;
    GateSpec spec{};
    spec.name = text;
    spec.gateType = gateType;
    spec.blockSize = blockSize;
    spec.addr = kPoison;
    const int32_t result = zeltest::zelCall(nullptr, command, &spec);
    return {result, spec.addr, log.entries};
}

Parsed single(const char* text, int32_t gateType) {
    return run(ZEL_CMD_SINGLE_ADDRESS_PARSER, text, gateType);
}

Parsed block(const char* text, int32_t gateType, int32_t size) {
    return run(ZEL_CMD_BLOCK_ADDRESS_PARSER, text, gateType, size);
}

void expectAddr(const AddrDesc& a, int32_t area, int32_t address, int32_t bit, int32_t bits) {
    EXPECT_EQ(a.plc, 0);
    EXPECT_EQ(a.area, area);
    EXPECT_EQ(a.address, address);
    EXPECT_EQ(a.bit, bit);
    EXPECT_EQ(a.elementBits, bits);
}

struct Accepted {
    const char* text;
    int32_t gateType;  // a type the single parser accepts for the gate
    int32_t area, address, bit, elementBits;
};

class ParseAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepts, FillsTheDescriptorWithoutLogging) {
    const Accepted& c = GetParam();
    const Parsed p = single(c.text, c.gateType);
    EXPECT_EQ(p.result, ZEL_DONE);
    expectAddr(p.addr, c.area, c.address, c.bit, c.elementBits);
    EXPECT_TRUE(p.log.empty());
}

INSTANTIATE_TEST_SUITE_P(
    MemoryMap, ParseAccepts,
    ::testing::Values(
        Accepted{"DD0100", 0, 10, 0x864, -1, 16}, Accepted{"DD0100", 1, 10, 0x864, -1, 16},
        Accepted{"DD0100", 4, 10, 0x864, -1, 32}, Accepted{"DD0100", 5, 10, 0x864, -1, 32},
        Accepted{"DD0511", 0, 10, 0x9FF, -1, 16}, Accepted{"DW8000", 0, 11, 0x700, -1, 16},
        Accepted{"DW8255", 1, 11, 0x7FF, -1, 16}, Accepted{"XP017", 6, 1, 0x81, 7, 1},
        Accepted{"XB001", 0, 1, 0x81, -1, 8}, Accepted{"YP000", 6, 2, 0xA0, 0, 1},
        Accepted{"YP177", 6, 2, 0xAF, 7, 1}, Accepted{"MP8000", 6, 6, 0x1E0, 0, 1},
        Accepted{"MB1000", 0, 6, 0x1E0, -1, 8}, Accepted{"MB0127", 0, 4, 0x17F, -1, 8},
        Accepted{"TP0005", 6, 3, 0xC0, 5, 1}, Accepted{"TW0005", 0, 7, 0x405, -1, 16},
        Accepted{"CW0010", 0, 8, 0x50A, -1, 16}, Accepted{"CL0200", 4, 9, 0x300, -1, 32},
        Accepted{"CB0031", 0, 5, 0x1DF, -1, 8}, Accepted{"SP0999", 6, 0, 0x7C, 7, 1},
        Accepted{"SB0124", 0, 0, 0x7C, -1, 8},
        // Lower case, short numbers, ignored tails, octal stopping at 8.
        Accepted{"dd0100", 0, 10, 0x864, -1, 16}, Accepted{"DD1", 0, 10, 0x801, -1, 16},
        Accepted{"DD0101", 1, 10, 0x865, -1, 16}, Accepted{"XP0017", 6, 1, 0x80, 1, 1},
        Accepted{"XP018", 6, 1, 0x80, 1, 1}, Accepted{"DD01000", 0, 10, 0x864, -1, 16},
        Accepted{"DD0100!?#", 0, 10, 0x864, -1, 16}, Accepted{"Mp8255", 6, 6, 0x1FF, 7, 1}));

struct Refused {
    const char* text;
    int32_t gateType;
    const char* message;
};

class ParseRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(ParseRefuses, LogsOneMessageWithTheUpperCasedCopy) {
    const Refused& c = GetParam();
    const Parsed p = single(c.text, c.gateType);
    EXPECT_EQ(p.result, ZEL_REFUSED);
    ASSERT_EQ(p.log.size(), 1u);
    EXPECT_EQ(p.log[0], (LogEntry{8, c.message}));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseRefuses,
    ::testing::Values(Refused{"DD0101", 4, "ZELFX> Parse() Address must be even in 'DD0101'"},
                      Refused{"dd0101", 7, "ZELFX> Parse() Address must be even in 'DD0101'"},
                      Refused{"DD8000", 0, "ZELFX> Parse() Illegal memory type in 'DD8000'"},
                      Refused{"DW0100", 0, "ZELFX> Parse() Illegal memory type in 'DW0100'"},
                      Refused{"CW0200", 0, "ZELFX> Parse() Illegal memory type in 'CW0200'"},
                      Refused{"CL0199", 4, "ZELFX> Parse() Illegal memory type in 'CL0199'"},
                      Refused{"MP1024", 6, "ZELFX> Parse() Illegal memory type in 'MP1024'"},
                      Refused{"MB0128", 0, "ZELFX> Parse() Illegal memory type in 'MB0128'"},
                      Refused{"SB0125", 0, "ZELFX> Parse() Illegal memory type in 'SB0125'"},
                      Refused{"TD0001", 0, "ZELFX> Parse() Illegal memory type in 'TD0001'"},
                      Refused{"yp200", 6, "ZELFX> Parse() Illegal memory type in 'YP200'"},
                      Refused{"XP8", 6, "ZELFX> Parse() Illegal gate addr in 'XP8'"},
                      Refused{"DD", 0, "ZELFX> Parse() Illegal gate addr in 'DD'"},
                      Refused{"D", 0, "ZELFX> Parse() Illegal gate addr in 'D'"},
                      Refused{"", 0, "ZELFX> Parse() Illegal gate addr in ''"},
                      Refused{"QP0001", 6, "ZELFX> Parse() Illegal character 1 in 'QP0001'"},
                      Refused{"DX0001", 0, "ZELFX> Parse() Illegal character 2 in 'DX0001'"},
                      Refused{"dd01a0", 0, "ZELFX> Parse() Illegal character 5 in 'DD01A0'"},
                      Refused{"D%s%n", 0, "ZELFX> Parse() Illegal character 2 in 'D%S%N'"},
                      Refused{"\xE4P0", 0, "ZELFX> Parse() Illegal character 1 in '\xE4P0'"}));

TEST(Parse, RefusalsLeaveTheDescriptorAsDocumented) {
    // Character check: nothing written.
    Parsed p = single("QP0001", 6);
    EXPECT_EQ(std::memcmp(&p.addr, &kPoison, sizeof kPoison), 0);
    // No number: only plc.
    p = single("XP8", 6);
    expectAddr(p.addr, 7, 7, 7, 7);  // plc checked as 0 by expectAddr
    // No row: plc and area.
    p = single("DD8000", 0);
    expectAddr(p.addr, -1, 7, 7, 7);
    // Odd register for a 32-bit pair: the row and bit are already set.
    p = single("DD0101", 4);
    expectAddr(p.addr, 10, 7, -1, 7);
}

TEST(Parse, OverlongTextIsCutToThirtyOneCharacters) {
    const std::string longText = "dd0100" + std::string(200, 'x');
    Parsed p = single(longText.c_str(), 0);
    EXPECT_EQ(p.result, ZEL_DONE);
    expectAddr(p.addr, 10, 0x864, -1, 16);

    const std::string badText = "dq" + std::string(200, 'y');
    p = single(badText.c_str(), 0);
    ASSERT_EQ(p.log.size(), 1u);
    EXPECT_EQ(p.log[0].text,
              "ZELFX> Parse() Illegal character 2 in 'DQ" + std::string(29, 'Y') + "'");
}

// The single parser's decision for every gate type, by kind of address.
// A = accepted; D, a, L, S = the DIGITAL, analog, LONG, STRING refusals;
// E = refused by the parser as an odd register.
struct Decision {
    const char* text;
    const char* byType;  // gate types 0..8, one letter each
};

class SingleDecisions : public ::testing::TestWithParam<Decision> {};

TEST_P(SingleDecisions, MatchTheTable) {
    const Decision& d = GetParam();
    for (int32_t type = 0; type <= 8; ++type) {
        SCOPED_TRACE("gate type " + std::to_string(type));
        const Parsed p = single(d.text, type);
        const char want = d.byType[type];
        if (want == 'A') {
            EXPECT_EQ(p.result, ZEL_DONE);
            EXPECT_TRUE(p.log.empty());
            continue;
        }
        EXPECT_EQ(p.result, ZEL_REFUSED);
        ASSERT_EQ(p.log.size(), 1u);
        const std::string name = d.text;
        const std::string expected =
            want == 'D'   ? "ZELFX> SingleParse() gate '" + name + "' should be DIGITAL"
            : want == 'a' ? "ZELFX> SingleParse() gate '" + name + "' should be analog"
            : want == 'L' ? "ZELFX> SingleParse() gate '" + name + "' should be LONG"
            : want == 'S' ? "ZELFX> SingleParse() no STRING gates allowed gate '" + name + "'"
                          : "ZELFX> Parse() Address must be even in 'DD0101'";
        EXPECT_EQ(p.log[0], (LogEntry{8, expected}));
    }
}

INSTANTIATE_TEST_SUITE_P(ByAddressKind, SingleDecisions,
                         ::testing::Values(
                             //             types 012345678
                             Decision{"mp0010", "DDDDDDASD"},  // host's own text in messages
                             Decision{"MB0010", "AaaaaaaSa"}, Decision{"DW8000", "AAaaaaaSa"},
                             Decision{"DD0100", "AALLAALSL"}, Decision{"DD0101", "AAEEEEEEE"},
                             Decision{"CL0200", "LLLLAALSL"}));

TEST(BlockParser, LimitsAreSixtyFourBytes) {
    struct Case {
        const char* text;
        int32_t gateType;
        int32_t limit;
    };
    for (const Case& c : {Case{"MB0000", 0, 64}, Case{"DW8000", 0, 32}, Case{"DD0100", 0, 32},
                          Case{"DD0100", 4, 16}, Case{"DD0100", 7, 16}, Case{"CL0200", 0, 16},
                          Case{"TW0000", 6, 32}}) {
        SCOPED_TRACE(std::string(c.text) + " type " + std::to_string(c.gateType));
        for (int32_t size : {c.limit, 0, -5}) {
            Parsed p = block(c.text, c.gateType, size);
            EXPECT_EQ(p.result, ZEL_DONE);
            EXPECT_TRUE(p.log.empty());
        }
        Parsed p = block(c.text, c.gateType, c.limit + 1);
        EXPECT_EQ(p.result, ZEL_REFUSED);
        ASSERT_EQ(p.log.size(), 1u);
        EXPECT_EQ(p.log[0].text,
                  "ZELFX> Parse() block size out of range block '" + std::string(c.text) + "'");
        EXPECT_EQ(p.addr.plc, 0);  // refused after a complete parse
        EXPECT_NE(p.addr.elementBits, 7);
    }
}

TEST(BlockParser, RefusesBitGatesAndPassesParserRefusalsThrough) {
    Parsed p = block("xp000", 6, 1);
    EXPECT_EQ(p.result, ZEL_REFUSED);
    ASSERT_EQ(p.log.size(), 1u);
    EXPECT_EQ(p.log[0].text, "ZELFX> Parse() no spec. dig. gates allowed for blocks 'xp000'");
    expectAddr(p.addr, 1, 0x80, 0, 1);

    p = block("DD0101", 4, 1);
    EXPECT_EQ(p.result, ZEL_REFUSED);
    ASSERT_EQ(p.log.size(), 1u);
    EXPECT_EQ(p.log[0].text, "ZELFX> Parse() Address must be even in 'DD0101'");
}

TEST(BlockParser, DoesNotCompareTheBlockEndWithTheRow) {
    Parsed p = block("DD0500", 0, 32);
    EXPECT_EQ(p.result, ZEL_DONE);
    expectAddr(p.addr, 10, 0x800 + 500, -1, 16);
}

}  // namespace
