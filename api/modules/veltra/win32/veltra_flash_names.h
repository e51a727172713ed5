// Names of the flash chips the driver identifies by their JEDEC vendor and
// device identifiers.
#pragma once

#include <cstdint>

struct FlashChipName {
    uint16_t vendor;
    uint16_t device;
    const char* name;
};

inline constexpr FlashChipName kFlashChipNames[] = {
    {0x0089, 0x0016, "Intel 28F320J3A"},
    {0x0089, 0x0017, "Intel 28F640J3A"},
    {0x0089, 0x0018, "Intel 28F128J3A"},
    {0x0089, 0x0099, "Micron 28F008B"},
    {0x0089, 0x8803, "Intel 28F256K3"},
    {0x0089, 0x88B0, "Micron MT28GU01GAAA1E"},
    {0x0089, 0x8919, "Intel 28F256P30"},
    {0x0089, 0x891C, "Intel 28F256P30"},
    {0x0089, 0x8960, "Numonyx Axcell P30 (Top boot)"},
    {0x0089, 0x8962, "Numonyx Axcell P30 (Top boot)"},
    {0x0089, 0x8961, "Numonyx Axcell P30 (Bot boot)"},
    {0x0089, 0x8963, "Numonyx Axcell P30 (Bot boot)"},
    {0x0089, 0x8999, "Numonyx Axcell P30 (Symm bl)"},
    {0x0089, 0x899A, "Numonyx Axcell P30 (Symm bl)"},
    {0x00BF, 0x00D9, "SST 39VF016Q"},
};

// The table's name of a chip, or null.
constexpr const char* flashChipName(uint16_t vendor, uint16_t device) {
    for (const auto& chip : kFlashChipNames)
        if (chip.vendor == vendor && chip.device == device)
            return chip.name;
    return nullptr;
}
