// Gate addressing: gate-address text to AddrDesc, and the judgement of a
// parsed gate against its type (single gates) or its size (block gates).
#pragma once

#include <cstdint>

#include "zelfx/zelfx.h"

namespace zel {

// Longest gate text the parser looks at; longer texts are cut to it.
inline constexpr int kGateTextMax = ZEL_MAX_GATE_TEXT;

// Fills spec->addr from spec->name and spec->gateType. Returns 0 when the
// text is accepted, 1 after logging exactly one refusal message.
int32_t Parse(GateSpec* spec);

}  // namespace zel
