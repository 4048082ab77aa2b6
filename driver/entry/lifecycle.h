// The routines shared by the port lifecycle commands.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "serial/serial.h"
#include "zelfx/zelfx.h"

namespace zel {

// Opens the port that `settings` names with its line and control flags.
// Returns the handle, or 0 when the port cannot be opened (logged).
serial::Handle OpenCom(const PortSettings* settings);

// The link test: ENQ, expecting ACK, up to three attempts. Returns 0 for
// ACK, 1 for NAK on the last attempt, 2 for any other outcome.
int32_t TestCom(serial::Handle handle);

// "Mmm d yyyy" and "hh:mm:ss" of the build, as the build stamp shows them.
const char* BuildDate();
const char* BuildTime();

// A date in the form of __DATE__ ("Jul  1 1997", the day padded with a
// space) as the stamp shows it: "Jul 1 1997".
constexpr std::array<char, 12> StampDate(const char (&date)[12]) {
    std::array<char, 12> out{};
    std::size_t o = 0;
    for (std::size_t i = 0; i < 11; ++i) {
        if (!(i == 4 && date[i] == ' ')) {
            out[o++] = date[i];
        }
    }
    return out;
}

}  // namespace zel
