// Device names and the JSON memory image of fxsim.
//
// Names: S5, X17 and Y17 (octal numbers), M10, M8000 for bits; TS5 and CS5
// for the contact bits of timers and counters; T5, C5, C200 for timer and
// counter values (C200-C255 are 32-bit); D100 and D8000 for data registers.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "plc.h"

namespace fxsim {

// Upper or lower case letters; nullopt when no device has that name.
std::optional<Device> parseDevice(std::string_view name);
std::string deviceName(const Device& d);

// Every non-zero device, in memory-map order.
nlohmann::ordered_json imageToJson(const Memory& m);
// Sets the devices an object names; bits take 0, 1, false or true, 16-bit
// values -32768..65535, 32-bit values -2147483648..4294967295. Throws
// std::runtime_error naming the first bad key or value; devices before it
// are already set.
void imageFromJson(Memory& m, const nlohmann::json& image);

// File forms of the above. saveImage writes a temporary file beside `path`
// and renames it over `path`. Both throw std::runtime_error.
void loadImage(Memory& m, const std::string& path);
void saveImage(const Memory& m, const std::string& path);

}  // namespace fxsim
