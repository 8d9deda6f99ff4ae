#include "mvcrc.h"

#include <array>

namespace {
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        table[i] = crc;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();
}  // namespace

uint32_t MvCalcCRC32(const uint8_t* bytes, int n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < n; ++i) crc = (crc << 8) ^ kTable[((crc >> 24) ^ bytes[i]) & 0xFF];
    return crc;
}

uint32_t MvCalcCRC32(const uint8_t* begin, const uint8_t* end) {
    return MvCalcCRC32(begin, static_cast<int>(end - begin));
}
