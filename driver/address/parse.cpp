// The gate-address parser.
//
// A gate text is a memory letter, an access letter and a device number:
// DD0100 is data register D100, XP017 input X17, MB0127 the byte M1016-M1023.
// The device number is decimal (at most four digits), octal for X and Y (at
// most three). Lower case counts as upper case; from the seventh character on
// nothing is tested or read. A text longer than 31 characters is cut to 31,
// which changes nothing about how it parses, and messages show the cut,
// upper-cased copy.
#include <array>
#include <cstring>

#include "address/address.h"
#include "address/memmap.h"
#include "entry/log.h"

namespace zel {

namespace {

// Characters allowed at positions 1 to 6; checking ends at position 7.
constexpr std::array<const char*, 6> kPositionSets{
    "XYMSTCD", "PBWLD", "0123456789", "0123456789", "0123456789", "0123456789",
};

bool inSet(const char* set, char c) {
    return c != '\0' && std::strchr(set, c) != nullptr;
}

// Reads at most `width` digits of `base` from `text`. Returns false when not
// even one digit is there.
bool readNumber(const char* text, unsigned base, int width, uint16_t* out) {
    unsigned value = 0;
    int digits = 0;
    for (; digits < width; ++digits) {
        const char c = text[digits];
        if (c < '0' || c > '9' || static_cast<unsigned>(c - '0') >= base) {
            break;
        }
        value = value * base + static_cast<unsigned>(c - '0');
    }
    if (digits == 0) {
        return false;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

int32_t refuse(const char* format, const char* copy) {
    err(kLogInfo, format, copy);
    return 1;
}

}  // namespace

int32_t Parse(GateSpec* spec) {
    AddrDesc& addr = spec->addr;

    char copy[kGateTextMax + 1] = {};
    if (spec->name != nullptr) {
        for (int i = 0; i < kGateTextMax && spec->name[i] != '\0'; ++i) {
            const char c = spec->name[i];
            copy[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
        }
    }

    for (std::size_t pos = 0; pos < kPositionSets.size() && copy[pos] != '\0'; ++pos) {
        if (!inSet(kPositionSets[pos], copy[pos])) {
            err(kLogInfo, MSG_PARSE_ILLEGAL_CHARACTER, static_cast<int>(pos + 1), copy);
            return 1;
        }
    }

    addr.plc = 0;

    const char memory = copy[0];
    const char access = copy[1];
    const bool octal = memory == 'X' || memory == 'Y';
    uint16_t number = 0;
    if (memory == '\0' || access == '\0' ||
        !readNumber(copy + 2, octal ? 8 : 10, octal ? 3 : 4, &number)) {
        return refuse(MSG_PARSE_ILLEGAL_GATE_ADDR, copy);
    }

    addr.area = -1;
    const MemArea* row = nullptr;
    for (int32_t i = 0; i < kMemAreaCount; ++i) {
        const MemArea& r = kMemAreas[static_cast<std::size_t>(i)];
        if (r.letter != memory) {
            continue;
        }
        if (r.kind == access && static_cast<uint32_t>(number - r.first) < r.count) {
            number = static_cast<uint16_t>(number - r.first);
        } else if (access == 'B' && r.kind == 'P' &&
                   static_cast<uint32_t>(number * 8u - r.first) < r.count) {
            number = static_cast<uint16_t>(number - r.first / 8);
        } else {
            continue;
        }
        addr.area = i;
        row = &r;
        break;
    }
    if (row == nullptr) {
        return refuse(MSG_PARSE_ILLEGAL_MEMORY_TYPE, copy);
    }

    addr.bit = -1;
    const bool wide = !(spec->gateType == 0 || spec->gateType == 1);
    switch (access) {
        case 'B':
            addr.elementBits = 8;
            break;
        case 'D':
            if (wide && (number % 2) != 0) {
                return refuse(MSG_PARSE_ADDRESS_ODD, copy);
            }
            addr.elementBits = wide ? 32 : 16;
            number = static_cast<uint16_t>(number * 2);
            break;
        case 'L':
            addr.elementBits = 32;
            number = static_cast<uint16_t>(number * 4);
            break;
        case 'P':
            addr.elementBits = 1;
            addr.bit = number % 8;
            number = static_cast<uint16_t>(number / 8);
            break;
        default:  // 'W'
            addr.elementBits = 16;
            number = static_cast<uint16_t>(number * 2);
            break;
    }

    const uint32_t byteAddress = static_cast<uint32_t>(row->base) + number;
    addr.address = static_cast<int32_t>(byteAddress);
    if (byteAddress >= 0x10000) {
        return refuse(MSG_PARSE_ADDRESS_TOO_LARGE, copy);
    }
    addr.address = static_cast<int32_t>(byteAddress / unitBytes(row->kind));
    return 0;
}

}  // namespace zel
