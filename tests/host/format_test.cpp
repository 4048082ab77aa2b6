// What the host prints: the banner in box drawing, values, line settings and
// failure reports.
#include "format.h"

#include <gtest/gtest.h>

#include <string>

namespace zelfx {
namespace {

// The driver's banner: backspace, three lines of double-line box drawing.
std::string cp437Banner() {
    std::string border(65, '\xCD');
    std::string title = "  ZELFX : Mitsubishi FX driver (32 bit)" + std::string(26, ' ');
    return "\x08\xC9" + border + "\xBB\n\xBA" + title + "\xBA\n\xC8" + border + "\xBC";
}

TEST(Cp437, BannerBecomesUnicodeBoxDrawingWithoutTheBackspace) {
    std::string border;
    for (int i = 0; i < 65; ++i) {
        border += "═";
    }
    std::string expected = "╔" + border + "╗\n║  ZELFX : Mitsubishi FX driver (32 bit)" +
                           std::string(26, ' ') + "║\n╚" + border + "╝";
    EXPECT_EQ(cp437ToUtf8(cp437Banner()), expected);
}

TEST(Cp437, EveryRegionOfTheUpperHalfMaps) {
    EXPECT_EQ(cp437ToUtf8("\x80\x9F\xA0\xB0\xDB\xE1\xE6\xF8\xFD\xFF"), "Çƒá░█ßµ°²\u00A0");
    EXPECT_EQ(cp437ToUtf8("plain text\tand\x07 bell"), "plain textand bell");
}

TEST(Formatting, BannerHexIsUpperCaseTwoDigitsPerByte) {
    EXPECT_EQ(hexBytes(std::string("\x08\xC9\x00\x0A", 4)), "08C9000A");
}

TEST(Formatting, LineSettingsReadLikeAModemString) {
    EXPECT_EQ(lineText(LineParams{9600, 7, 0, 2}), "9600 7E1");
    EXPECT_EQ(lineText(LineParams{19200, 8, 2, 0}), "19200 8N2");
    EXPECT_EQ(lineText(LineParams{1200, 5, 1, 3}), "1200 5M1.5");
    EXPECT_EQ(lineText(LineParams{300, 7, 9, 9}), "300 7??");
}

TEST(Formatting, ValuesShowDecimalAndHexAtTheElementWidth) {
    EXPECT_EQ(valueText(ValueKind::Bit, 1), "1");
    EXPECT_EQ(valueText(ValueKind::Bit, 0), "0");
    EXPECT_EQ(valueText(ValueKind::Byte, 255), "255 (0xFF)");
    EXPECT_EQ(valueText(ValueKind::Byte, -1), "-1 (0xFF)");
    EXPECT_EQ(valueText(ValueKind::Word, 4660), "4660 (0x1234)");
    EXPECT_EQ(valueText(ValueKind::Word, -2), "-2 (0xFFFE)");
    EXPECT_EQ(valueText(ValueKind::Dword, 70000), "70000 (0x00011170)");
    EXPECT_EQ(valueText(ValueKind::Dword, -1), "-1 (0xFFFFFFFF)");
}

TEST(Formatting, FailureReportLeadsWithTheLastMessage) {
    const LogEntry log[] = {{8, "ZELFX> DoRead() Read reply error 7 retry 1"},
                            {8, "ZELFX> SingleRead(), ret val is 2"}};
    EXPECT_EQ(failureReport("SingleRead DD0100", 2, log),
              "zelfx: SingleRead DD0100 failed: ZELFX> SingleRead(), ret val is 2\n"
              "  ZELFX> DoRead() Read reply error 7 retry 1\n");
    EXPECT_EQ(failureReport("SingleAddressParser QD0100", 1, std::span(log, 1)),
              "zelfx: SingleAddressParser QD0100 refused: ZELFX> DoRead() Read reply error 7 "
              "retry 1\n");
    EXPECT_EQ(failureReport("EndZel", 2, {}),
              "zelfx: EndZel failed (result 2, no message from the driver)\n");
}

TEST(Formatting, ExitStatusIsTheResultOrFailed) {
    EXPECT_EQ(exitStatusFor(0), 0);
    EXPECT_EQ(exitStatusFor(1), 1);
    EXPECT_EQ(exitStatusFor(2), 2);
    EXPECT_EQ(exitStatusFor(-1), 2);
    EXPECT_EQ(exitStatusFor(7), 2);
}

}  // namespace
}  // namespace zelfx
