// The device names of the FPGA type codes the driver reports: 348 entries,
// indexed by type code, made at compile time. An entry without a device is
// "unknown" followed by its own index in decimal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kFpgaTypeCodes = 348;

struct FpgaDeviceName {
    char text[16];
};

namespace fpga_names {

struct Named {
    uint32_t typeCode;
    const char* name;
};

// Grouped in blocks by family; an entry's index is the type code, so the
// blocks are not all in size order (4vlx80 is at 103, 2vp70 at 73).
inline constexpr Named kNamed[] = {
    {0, "xc4085xl"},   {1, "xc40150xv"},  {2, "xc40200xv"},  {3, "xc40250xv"},  {4, "v1000"},
    {5, "v400"},       {6, "v600"},       {7, "v800"},       {8, "v2000e"},     {9, "v1000e"},
    {10, "v1600e"},    {11, "v3200e"},    {12, "v812e"},     {13, "v405e"},     {32, "2v1000"},
    {33, "2v1500"},    {34, "2v2000"},    {35, "2v3000"},    {36, "2v4000"},    {37, "2v6000"},
    {38, "2v8000"},    {39, "2v10000"},   {64, "2vp2"},      {65, "2vp4"},      {66, "2vp7"},
    {67, "2vp20"},     {68, "2vp30"},     {69, "2vp40"},     {70, "2vp50"},     {71, "2vp100"},
    {72, "2vp125"},    {73, "2vp70"},     {96, "4vlx15"},    {97, "4vlx25"},    {98, "4vlx40"},
    {99, "4vlx60"},    {100, "4vlx100"},  {101, "4vlx160"},  {102, "4vlx200"},  {103, "4vlx80"},
    {104, "4vsx25"},   {105, "4vsx35"},   {106, "4vsx55"},   {112, "4vfx12"},   {113, "4vfx20"},
    {114, "4vfx40"},   {115, "4vfx60"},   {116, "4vfx100"},  {117, "4vfx140"},  {128, "5vlx30"},
    {129, "5vlx50"},   {130, "5vlx85"},   {131, "5vlx110"},  {132, "5vlx220"},  {133, "5vlx330"},
    {136, "5vlx30t"},  {137, "5vlx50t"},  {138, "5vlx85t"},  {139, "5vlx110t"}, {140, "5vlx330t"},
    {141, "5vlx220t"}, {142, "5vlx155t"}, {144, "5vsx35t"},  {145, "5vsx50t"},  {146, "5vsx95t"},
    {147, "5vsx240t"}, {152, "5vfx100t"}, {153, "5vfx130t"}, {154, "5vfx200t"}, {155, "5vfx30t"},
    {156, "5vfx70t"},  {160, "6vlx760"},  {168, "6vlx75t"},  {169, "6vlx130t"}, {170, "6vlx195t"},
    {171, "6vlx240t"}, {172, "6vlx365t"}, {173, "6vlx550t"}, {176, "6vsx315t"}, {177, "6vsx475t"},
    {184, "6vhx250t"}, {185, "6vhx255t"}, {186, "6vhx380t"}, {187, "6vhx565t"}, {224, "7a100t"},
    {225, "7a200t"},   {226, "7a350t"},   {232, "7k70t"},    {233, "7k160t"},   {234, "7k325t"},
    {235, "7k355t"},   {236, "7k410t"},   {237, "7k420t"},   {238, "7k480t"},   {248, "7v585t"},
    {249, "7v1500t"},  {250, "7v2000t"},  {256, "7vx330t"},  {257, "7vx415t"},  {258, "7vx485t"},
    {259, "7vx550t"},  {260, "7vx690t"},  {261, "7vx980t"},  {262, "7vx1140t"}, {272, "7vh290t"},
    {273, "7vh580t"},  {274, "7vh870t"},  {288, "7z010"},    {289, "7z015"},    {290, "7z020"},
    {291, "7z030"},    {292, "7z045"},    {293, "7z100"},    {321, "ku035"},    {322, "ku040"},
    {323, "ku060"},    {324, "ku075"},    {325, "ku100"},    {326, "ku115"},    {333, "vu065"},
    {334, "vu080"},    {335, "vu095"},    {336, "vu125"},    {337, "vu145"},    {338, "vu160"},
    {339, "vu440"},
};

constexpr FpgaDeviceName unknown(uint32_t index) {
    FpgaDeviceName entry{};
    const char prefix[] = "unknown";
    size_t n = 0;
    for (; prefix[n] != '\0'; ++n)
        entry.text[n] = prefix[n];
    char digits[4] = {};
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + index % 10);
        index /= 10;
    } while (index != 0);
    while (count > 0)
        entry.text[n++] = digits[--count];
    return entry;
}

constexpr std::array<FpgaDeviceName, kFpgaTypeCodes> build() {
    std::array<FpgaDeviceName, kFpgaTypeCodes> table{};
    for (uint32_t i = 0; i < kFpgaTypeCodes; ++i)
        table[i] = unknown(i);
    for (const Named& named : kNamed) {
        FpgaDeviceName entry{};
        for (size_t n = 0; named.name[n] != '\0'; ++n)
            entry.text[n] = named.name[n];
        table[named.typeCode] = entry;
    }
    return table;
}

}  // namespace fpga_names

inline constexpr std::array<FpgaDeviceName, kFpgaTypeCodes> kFpgaDeviceNames = fpga_names::build();

static_assert(kFpgaDeviceNames[14].text[7] == '1' && kFpgaDeviceNames[14].text[8] == '4');
static_assert(kFpgaDeviceNames[260].text[0] == '7' && kFpgaDeviceNames[260].text[6] == 't');
