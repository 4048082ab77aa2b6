// The two parser commands: parse a gate, then judge it as a single gate
// against its type, or as a block gate against its size.
#include <array>
#include <cstddef>

#include "address/address.h"
#include "address/memmap.h"
#include "entry/commands.h"
#include "entry/log.h"

namespace zel {

namespace {

// How a single gate is accessed, by row kind and bit number.
enum class Access { Bit, Byte, Word, Register, Long };

struct SingleRule {
    Access access;
    std::array<int32_t, 4> types;  // accepted gate types; -1 pads
    const char* refusal;
};

constexpr std::array<SingleRule, 5> kSingleRules{{
    {Access::Bit, {ZEL_GATE_DIGITAL, -1, -1, -1}, MSG_SINGLE_SHOULD_BE_DIGITAL},
    {Access::Byte, {ZEL_GATE_ANALOG, -1, -1, -1}, MSG_SINGLE_SHOULD_BE_ANALOG},
    {Access::Word, {ZEL_GATE_ANALOG, ZEL_GATE_ANALOG_ALT, -1, -1}, MSG_SINGLE_SHOULD_BE_ANALOG},
    {Access::Register,
     {ZEL_GATE_ANALOG, ZEL_GATE_ANALOG_ALT, ZEL_GATE_LONG, ZEL_GATE_LONG_ALT},
     MSG_SINGLE_SHOULD_BE_LONG},
    {Access::Long, {ZEL_GATE_LONG, ZEL_GATE_LONG_ALT, -1, -1}, MSG_SINGLE_SHOULD_BE_LONG},
}};

Access accessOf(const MemArea& row, const AddrDesc& addr) {
    switch (row.kind) {
        case 'P':
            return addr.bit == -1 ? Access::Byte : Access::Bit;
        case 'W':
            return Access::Word;
        case 'D':
            return Access::Register;
        default:
            return Access::Long;
    }
}

// Largest block a gate accepts: 64 bytes of PLC memory.
int32_t blockLimit(const MemArea& row, const AddrDesc& addr) {
    return row.kind == 'P' ? 64 : 512 / addr.elementBits;
}

}  // namespace

int32_t SingleAddressParser(DrvRequest* request) {
    auto* spec = static_cast<GateSpec*>(request->params);
    if (Parse(spec) != 0) {
        return ZEL_REFUSED;
    }
    // From here on messages show the host's own text.
    if (spec->gateType == ZEL_GATE_STRING) {
        err(kLogInfo, MSG_SINGLE_NO_STRING, spec->name);
        return ZEL_REFUSED;
    }
    const MemArea& row = kMemAreas[static_cast<std::size_t>(spec->addr.area)];
    const Access access = accessOf(row, spec->addr);
    for (const SingleRule& rule : kSingleRules) {
        if (rule.access != access) {
            continue;
        }
        for (int32_t type : rule.types) {
            if (type != -1 && type == spec->gateType) {
                return ZEL_DONE;
            }
        }
        err(kLogInfo, rule.refusal, spec->name);
        return ZEL_REFUSED;
    }
    return ZEL_REFUSED;
}

int32_t BlockAddressParser(DrvRequest* request) {
    auto* spec = static_cast<GateSpec*>(request->params);
    if (Parse(spec) != 0) {
        return ZEL_REFUSED;
    }
    if (spec->addr.bit != -1) {
        err(kLogInfo, MSG_BLOCK_NO_BIT_GATES, spec->name);
        return ZEL_REFUSED;
    }
    const MemArea& row = kMemAreas[static_cast<std::size_t>(spec->addr.area)];
    if (spec->blockSize > blockLimit(row, spec->addr)) {
        err(kLogInfo, MSG_BLOCK_SIZE_OUT_OF_RANGE, spec->name);
        return ZEL_REFUSED;
    }
    return ZEL_DONE;
}

}  // namespace zel
