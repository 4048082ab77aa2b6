// Request frames for the fxsim tests, with the checksum computed here rather
// than by the code under test.
#pragma once

#include <cstdio>
#include <string>

namespace fxsim_test {

// STX body ETX and two checksum digits.
inline std::string frame(const std::string& body) {
    unsigned sum = 0x03;
    for (char c : body) {
        sum += static_cast<unsigned char>(c);
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFFu);
    return "\x02" + body + "\x03" + digits;
}

// STX body ETX and the checksum digits as given, right or wrong.
inline std::string wire(const std::string& body, const std::string& sum) {
    return "\x02" + body + "\x03" + sum;
}

}  // namespace fxsim_test
