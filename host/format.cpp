#include "format.h"

#include <array>

namespace zelfx {

namespace {

// Code points of the upper half of code page 437, bytes 0x80 to 0xFF.
constexpr std::array<char32_t, 128> kCp437High{
    U'Ç', U'ü', U'é', U'â', U'ä', U'à', U'å', U'ç',      U'ê', U'ë', U'è', U'ï', U'î', U'ì', U'Ä',
    U'Å', U'É', U'æ', U'Æ', U'ô', U'ö', U'ò', U'û',      U'ù', U'ÿ', U'Ö', U'Ü', U'¢', U'£', U'¥',
    U'₧', U'ƒ', U'á', U'í', U'ó', U'ú', U'ñ', U'Ñ',      U'ª', U'º', U'¿', U'⌐', U'¬', U'½', U'¼',
    U'¡', U'«', U'»', U'░', U'▒', U'▓', U'│', U'┤',      U'╡', U'╢', U'╖', U'╕', U'╣', U'║', U'╗',
    U'╝', U'╜', U'╛', U'┐', U'└', U'┴', U'┬', U'├',      U'─', U'┼', U'╞', U'╟', U'╚', U'╔', U'╩',
    U'╦', U'╠', U'═', U'╬', U'╧', U'╨', U'╤', U'╥',      U'╙', U'╘', U'╒', U'╓', U'╫', U'╪', U'┘',
    U'┌', U'█', U'▄', U'▌', U'▐', U'▀', U'α', U'ß',      U'Γ', U'π', U'Σ', U'σ', U'µ', U'τ', U'Φ',
    U'Θ', U'Ω', U'δ', U'∞', U'φ', U'ε', U'∩', U'≡',      U'±', U'≥', U'≤', U'⌠', U'⌡', U'÷', U'≈',
    U'°', U'∙', U'·', U'√', U'ⁿ', U'²', U'■', U'\u00A0',
};

void appendUtf8(std::string& out, char32_t cp) {
    auto put = [&out](uint32_t byte) { out.push_back(static_cast<char>(byte)); };
    auto c = static_cast<uint32_t>(cp);
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | (c >> 6));
        put(0x80 | (c & 0x3F));
    } else {
        put(0xE0 | (c >> 12));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    }
}

// The low `digits` hexadecimal digits of `value`, upper case.
std::string hexDigits(uint64_t value, int digits) {
    static constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string out(static_cast<size_t>(digits), '0');
    for (auto it = out.rbegin(); it != out.rend(); ++it, value >>= 4) {
        *it = kDigits[value & 0xF];
    }
    return out;
}

}  // namespace

std::string cp437ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x80) {
            appendUtf8(out, kCp437High[byte - 0x80u]);
        } else if (byte == '\n' || (byte >= 0x20 && byte < 0x7F)) {
            out.push_back(ch);
        }
    }
    return out;
}

std::string hexBytes(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        out += hexDigits(static_cast<unsigned char>(ch), 2);
    }
    return out;
}

std::string lineText(const LineParams& line) {
    static constexpr std::string_view kParity = "NOEMS";
    static constexpr std::array<std::string_view, 3> kStop{"1", "1.5", "2"};
    std::string out = std::to_string(line.baudRate) + " " + std::to_string(line.dataBits);
    out += line.parity < kParity.size() ? kParity[line.parity] : '?';
    out += line.stopBits < kStop.size() ? kStop[line.stopBits] : "?";
    return out;
}

std::string valueText(ValueKind kind, int64_t value) {
    if (kind == ValueKind::Bit) {
        return value != 0 ? "1" : "0";
    }
    unsigned bits = elementBits(kind);
    uint64_t raw = static_cast<uint64_t>(value) & ((uint64_t{1} << bits) - 1);
    return std::to_string(value) + " (0x" + hexDigits(raw, static_cast<int>(bits / 4)) + ")";
}

std::string_view resultWord(int32_t result) {
    switch (result) {
        case ZEL_DONE:
            return "done";
        case ZEL_REFUSED:
            return "refused";
        default:
            return "failed";
    }
}

int exitStatusFor(int32_t result) {
    return result == ZEL_DONE || result == ZEL_REFUSED ? result : ZEL_FAILED;
}

std::string failureReport(std::string_view what, int32_t result,
                          std::span<const LogEntry> messages) {
    std::string out = "zelfx: " + std::string(what) + " " + std::string(resultWord(result));
    if (messages.empty()) {
        return out + " (result " + std::to_string(result) + ", no message from the driver)\n";
    }
    out += ": " + messages.back().text + "\n";
    for (const auto& m : messages.first(messages.size() - 1)) {
        out += "  " + m.text + "\n";
    }
    return out;
}

nlohmann::ordered_json logJson(std::span<const LogEntry> log) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& m : log) {
        out.push_back({{"level", m.level}, {"text", m.text}});
    }
    return out;
}

nlohmann::ordered_json lineJson(const LineParams& line) {
    return {{"baudRate", line.baudRate},
            {"dataBits", line.dataBits},
            {"stopBits", line.stopBits},
            {"parity", line.parity}};
}

nlohmann::ordered_json addrJson(const AddrDesc& addr) {
    return {{"plc", addr.plc},
            {"area", addr.area},
            {"address", addr.address},
            {"bit", addr.bit},
            {"elementBits", addr.elementBits}};
}

nlohmann::ordered_json infoJson(const Info& info) {
    return {{"result", info.result},
            {"driverCode", info.driverCode},
            {"name", info.name},
            {"contextSize", info.contextSize},
            {"infoValueA", info.infoValueA},
            {"infoValueB", info.infoValueB},
            {"defaultLine", lineJson(info.defaultLine)},
            {"bannerHex", hexBytes(info.banner)}};
}

}  // namespace zelfx
