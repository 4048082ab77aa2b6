// Fuzz target: gate text, gate type and block size through the two parser
// commands of ZelMain.
//
// Input: one byte picks the command (bit 0: block), then the gate type and
// the block size (small values, or raw 32-bit ones), then the gate text.
// The text lies in a heap block of exactly its length plus the NUL, so a
// read past the NUL is caught by AddressSanitizer.
//
// Checked on every input: the result is 0 or 1; a refusal logs exactly one
// message, an acceptance none; an accepted descriptor names a row of the
// memory map whose letter and kind match the text, addresses an element
// inside that row, and passes the type or size rule of the command; the
// host's text is left as it was; and the answer depends only on the first
// six characters, in either letter case.
#include <cstring>
#include <memory>
#include <string>

#include "address/memmap.h"
#include "fuzz_support.h"
#include "zel_call.h"
#include "zelfx/zelfx.h"

namespace zelfuzz {
namespace {

constexpr AddrDesc kUntouched{0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A};

bool SameAddr(const AddrDesc& a, const AddrDesc& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Outcome {
    int32_t rc;
    AddrDesc addr;
    int messages;
};

Outcome RunParser(uint32_t command, const char* text, int32_t gateType, int32_t blockSize) {
    LogCheck log;
    GateSpec spec{};
    spec.name = text;
    spec.gateType = gateType;
    spec.blockSize = blockSize;
    spec.addr = kUntouched;
    const int32_t rc = zeltest::zelCall(nullptr, command, &spec);
    return {rc, spec.addr, log.messages};
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
}

// Bytes of PLC memory that a row covers.
uint32_t RowBytes(const zel::MemArea& row) {
    return row.kind == 'P' ? (row.count + 7u) / 8u : row.count * zel::unitBytes(row.kind);
}

void CheckAccepted(uint32_t command, const char* text, int32_t gateType, int32_t blockSize,
                   const AddrDesc& a) {
    const zel::MemArea* row = zel::memArea(a.area);
    FUZZ_CHECK(a.plc == 0);
    FUZZ_CHECK(row != nullptr);
    FUZZ_CHECK(row->letter == Upper(text[0]));
    const char access = Upper(text[1]);
    FUZZ_CHECK(row->kind == (access == 'B' ? 'P' : access));

    // Width and bit number by the access letter.
    const bool longType = gateType != 0 && gateType != 1;
    switch (access) {
        case 'P':
            FUZZ_CHECK(a.elementBits == 1 && a.bit >= 0 && a.bit <= 7);
            break;
        case 'B':
            FUZZ_CHECK(a.elementBits == 8 && a.bit == -1);
            break;
        case 'W':
            FUZZ_CHECK(a.elementBits == 16 && a.bit == -1);
            break;
        case 'L':
            FUZZ_CHECK(a.elementBits == 32 && a.bit == -1);
            break;
        default:
            FUZZ_CHECK(a.elementBits == (longType ? 32 : 16) && a.bit == -1);
            break;
    }

    // The element lies inside its row; a 32-bit register pair starts at an
    // even register.
    FUZZ_CHECK(a.address >= 0);
    const uint32_t byte = static_cast<uint32_t>(a.address) * zel::unitBytes(row->kind);
    const uint32_t width = row->kind == 'P' ? 1u : static_cast<uint32_t>(a.elementBits) / 8u;
    FUZZ_CHECK(byte >= row->base);
    FUZZ_CHECK(byte + width <= row->base + RowBytes(*row));
    if (a.bit >= 0) {
        FUZZ_CHECK((byte - row->base) * 8u + static_cast<uint32_t>(a.bit) < row->count);
    }
    if (row->kind == 'D' && a.elementBits == 32) {
        FUZZ_CHECK((byte - row->base) % 4u == 0);
    }

    if (command == ZEL_CMD_SINGLE_ADDRESS_PARSER) {
        switch (access) {
            case 'P':
                FUZZ_CHECK(gateType == 6);
                break;
            case 'B':
                FUZZ_CHECK(gateType == 0);
                break;
            case 'W':
                FUZZ_CHECK(gateType == 0 || gateType == 1);
                break;
            case 'D':
                FUZZ_CHECK(gateType == 0 || gateType == 1 || gateType == 4 || gateType == 5);
                break;
            default:
                FUZZ_CHECK(gateType == 4 || gateType == 5);
                break;
        }
    } else {
        FUZZ_CHECK(a.bit == -1);
        FUZZ_CHECK(blockSize <= (row->kind == 'P' ? 64 : 512 / a.elementBits));
    }
}

}  // namespace

int GateOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint32_t command =
        (in.byte() & 1) != 0 ? ZEL_CMD_BLOCK_ADDRESS_PARSER : ZEL_CMD_SINGLE_ADDRESS_PARSER;
    const int32_t gateType = in.smallOrRaw(-2);
    const int32_t blockSize = in.smallOrRaw(-8);
    const std::string_view rest = in.rest();

    const size_t length = rest.size();
    const auto text = std::make_unique<char[]>(length + 1);
    std::memcpy(text.get(), rest.data(), length);
    text[length] = '\0';

    const Outcome got = RunParser(command, text.get(), gateType, blockSize);
    FUZZ_CHECK(std::memcmp(text.get(), rest.data(), length) == 0 && text[length] == '\0');
    FUZZ_CHECK(got.rc == ZEL_DONE || got.rc == ZEL_REFUSED);
    FUZZ_CHECK(got.messages == (got.rc == ZEL_DONE ? 0 : 1));
    if (got.rc == ZEL_DONE) {
        CheckAccepted(command, text.get(), gateType, blockSize, got.addr);
    }

    // Only the first six characters count, and letter case does not.
    std::string head(text.get(), std::min<size_t>(std::strlen(text.get()), 6));
    for (char& c : head) {
        c = Upper(c);
    }
    const Outcome same = RunParser(command, head.c_str(), gateType, blockSize);
    FUZZ_CHECK(same.rc == got.rc);
    FUZZ_CHECK(SameAddr(same.addr, got.addr));
    return 0;
}

}  // namespace zelfuzz

#ifdef ZELFX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return zelfuzz::GateOneInput(data, size);
}
#endif
