#include "image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace fxsim {

namespace {

std::string_view prefixOf(int row) {
    const auto& a = zel::kMemAreas.at(static_cast<size_t>(row));
    if (a.kind == 'P' && a.letter == 'T') {
        return "TS";
    }
    if (a.kind == 'P' && a.letter == 'C') {
        return "CS";
    }
    return std::string_view(&a.letter, 1);
}

uint32_t radixOf(int row) {
    const char l = zel::kMemAreas.at(static_cast<size_t>(row)).letter;
    return l == 'X' || l == 'Y' ? 8 : 10;
}

constexpr int kRows = static_cast<int>(zel::kMemAreas.size());

}  // namespace

std::optional<Device> parseDevice(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    for (int row = 0; row < kRows; ++row) {
        const std::string_view prefix = prefixOf(row);
        const std::string_view rest =
            std::string_view(upper).substr(std::min(prefix.size(), upper.size()));
        if (upper.substr(0, prefix.size()) != prefix || rest.empty() || rest.size() > 5) {
            continue;
        }
        uint32_t n = 0;
        bool digits = true;
        for (char c : rest) {
            const auto d = static_cast<uint32_t>(c - '0');
            digits = digits && c >= '0' && d < radixOf(row);
            n = n * radixOf(row) + d;
        }
        if (digits && deviceValid({row, n})) {
            return Device{row, n};
        }
    }
    return std::nullopt;
}

std::string deviceName(const Device& d) {
    std::string digits;
    uint32_t n = d.number;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + n % radixOf(d.row)));
        n /= radixOf(d.row);
    } while (n != 0);
    return std::string(prefixOf(d.row)) + digits;
}

nlohmann::ordered_json imageToJson(const Memory& m) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (int row = 0; row < kRows; ++row) {
        const auto& a = zel::kMemAreas.at(static_cast<size_t>(row));
        for (uint32_t n = a.first; n < static_cast<uint32_t>(a.first) + a.count; ++n) {
            if (const uint32_t v = m.get({row, n}); v != 0) {
                out[deviceName({row, n})] = v;
            }
        }
    }
    return out;
}

void imageFromJson(Memory& m, const nlohmann::json& image) {
    if (!image.is_object()) {
        throw std::runtime_error("the image must be a JSON object keyed by device");
    }
    for (const auto& [key, value] : image.items()) {
        const auto d = parseDevice(key);
        if (!d) {
            throw std::runtime_error("unknown device '" + key + "'");
        }
        const uint32_t bits = deviceBits(*d);
        int64_t v = 0;
        if (value.is_boolean() && bits == 1) {
            v = value.get<bool>() ? 1 : 0;
        } else if (value.is_number_unsigned()) {
            v = static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), 1ull << 32));
        } else if (value.is_number_integer()) {
            v = value.get<int64_t>();
        } else {
            throw std::runtime_error("value of '" + key + "' is not an integer");
        }
        const int64_t lo = bits == 1 ? 0 : -(int64_t{1} << (bits - 1));
        const int64_t hi = (int64_t{1} << bits) - 1;
        if (v < lo || v > hi) {
            throw std::runtime_error("value of '" + key + "' is out of range");
        }
        m.set(*d, static_cast<uint32_t>(v));
    }
}

void loadImage(Memory& m, const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    const auto image = nlohmann::json::parse(in, nullptr, false);
    if (image.is_discarded()) {
        throw std::runtime_error(path + " is not valid JSON");
    }
    try {
        imageFromJson(m, image);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

void saveImage(const Memory& m, const std::string& path) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << imageToJson(m).dump(2) << '\n';
        out.close();
        if (!out) {
            std::remove(tmp.c_str());
            throw std::runtime_error("cannot write " + tmp);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw std::runtime_error("cannot rename " + tmp + " to " + path);
    }
}

}  // namespace fxsim
