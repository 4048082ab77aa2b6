// The PLC memory map: every range of devices a gate may address, and where
// it lies in the PLC's byte address space as the programming port sees it.
// Header-only and constant, so that the simulator shares the same table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zel {

struct MemArea {
    char letter;          // device letter: S X Y T M C D
    char kind;            // P bits, W 16-bit values, D data registers, L 32-bit values
    uint16_t first;       // lowest device number in the row
    uint16_t count;       // number of devices in the row
    uint16_t base;        // PLC byte address of device `first`
    int16_t writeOffset;  // added to the byte address of every write
};

inline constexpr std::array<MemArea, 12> kMemAreas{{
    {'S', 'P', 0, 1000, 0x000, 0},    // S0-S999, bits
    {'X', 'P', 0, 128, 0x080, 0},     // X0-X177 (octal), bits
    {'Y', 'P', 0, 128, 0x0A0, 0},     // Y0-Y177 (octal), bits
    {'T', 'P', 0, 256, 0x0C0, 0},     // T0-T255, bits
    {'M', 'P', 0, 1024, 0x100, 0},    // M0-M1023, bits
    {'C', 'P', 0, 256, 0x1C0, 0},     // C0-C255, bits
    {'M', 'P', 8000, 256, 0x1E0, 0},  // M8000-M8255, bits
    {'T', 'W', 0, 256, 0x800, 0},     // T0-T255, 16-bit values
    {'C', 'W', 0, 200, 0xA00, 0},     // C0-C199, 16-bit values
    {'C', 'L', 200, 56, 0xC00, 0},    // C200-C255, 32-bit values
    {'D', 'D', 0, 512, 0x1000, 0},    // D0-D511, 16-bit values or 32-bit pairs
    {'D', 'W', 8000, 256, 0xE00, 0},  // D8000-D8255, 16-bit values
}};

inline constexpr int32_t kMemAreaCount = static_cast<int32_t>(kMemAreas.size());

// Bytes per address unit of a row kind: AddrDesc.address times this is the
// PLC byte address.
constexpr uint32_t unitBytes(char kind) {
    switch (kind) {
        case 'W':
        case 'D':
            return 2;
        case 'L':
            return 4;
        default:
            return 1;
    }
}

// The row an AddrDesc.area names, or nullptr when it names none.
constexpr const MemArea* memArea(int32_t area) {
    return area >= 0 && area < kMemAreaCount ? &kMemAreas[static_cast<std::size_t>(area)] : nullptr;
}

}  // namespace zel
