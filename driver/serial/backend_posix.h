// Parts of the POSIX serial backend that tests look at directly.
#pragma once

#include <cstddef>

namespace zel::serial::posix {

// Longest device path devicePath() builds, with its NUL.
inline constexpr size_t kDevicePathSize = 32;

// The device behind a port name of at most 11 characters: "NUL" is
// /dev/null, a name starting with '/' is a path, "COMn" (n >= 1, any letter
// case, no leading zero) is /dev/ttyS(n-1), any other name is taken under
// /dev/. Reads at most 12 bytes of `name`. False for an empty name or one of
// more than 11 characters.
bool devicePath(const char* name, char (&path)[kDevicePathSize]);

}  // namespace zel::serial::posix
