// The driver's logging sink: err() of the host's support library.
#pragma once

#include <cstdint>

#include "entry/messages.h"

#if defined(_WIN32)
#define ZEL_TORVEK_IMPORT __declspec(dllimport)
#else
#define ZEL_TORVEK_IMPORT
#endif

// Provided by the host's support library (TORVEK.DLL / libtorvek.so). On
// Linux the reference is bound to the TORVEK_1.0 symbol version, so glibc's
// own err(3) can never be picked instead.
extern "C" ZEL_TORVEK_IMPORT int err(int32_t level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

namespace zel {

inline constexpr int32_t kLogInfo = 8;
inline constexpr int32_t kLogAlert = 32;

}  // namespace zel
