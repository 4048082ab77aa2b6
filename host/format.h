// Output of the zelfx host: text for people, JSON for programs.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

#include "driver_client.h"

namespace zelfx {

// Code page 437 to UTF-8. Line feeds stay; other control characters (the
// banner starts with a backspace) are dropped, since a terminal would act on
// them.
std::string cp437ToUtf8(std::string_view text);

// Upper-case hexadecimal digits, two per byte.
std::string hexBytes(std::string_view bytes);

// "9600 7E1": rate, data bits, parity letter, stop bits.
std::string lineText(const LineParams& line);

// A value for people: bits as 0 or 1, anything wider in decimal with its hex
// digits at the element's width, e.g. "4660 (0x1234)".
std::string valueText(ValueKind kind, int64_t value);

// "done", "refused" or "failed".
std::string_view resultWord(int32_t result);

// The process exit status for a driver result: the result itself for 0, 1
// and 2, 2 for anything else.
int exitStatusFor(int32_t result);

// "zelfx: SingleRead DD0100 failed: <last message>", followed by the
// earlier messages of the same call, indented.
std::string failureReport(std::string_view what, int32_t result,
                          std::span<const LogEntry> messages);

nlohmann::ordered_json logJson(std::span<const LogEntry> log);
nlohmann::ordered_json lineJson(const LineParams& line);
nlohmann::ordered_json addrJson(const AddrDesc& addr);
nlohmann::ordered_json infoJson(const Info& info);

}  // namespace zelfx
