#include "mvcrc.h"

#include <array>

namespace {

// Table k gives the CRC contribution of a byte followed by k zero bytes, so that eight bytes
// are folded in per step (slicing by 8) instead of one: the GOP extra data of every recorded
// and loaded GOP is checked with this CRC, tens of kilobytes per GOP.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        t[0][i] = crc;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}
constexpr Tables kTables = MakeTables();

}  // namespace

uint32_t MvCalcCRC32(const uint8_t* bytes, int n) {
    uint32_t crc = 0xFFFFFFFFu;
    if (bytes == nullptr || n <= 0) return crc;
    const auto& t = kTables;
    for (; n >= 8; n -= 8, bytes += 8) {
        crc ^= static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
        crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xFF] ^ t[5][(crc >> 8) & 0xFF] ^
              t[4][crc & 0xFF] ^ t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
    }
    for (; n > 0; --n, ++bytes) crc = (crc << 8) ^ t[0][((crc >> 24) ^ *bytes) & 0xFF];
    return crc;
}

uint32_t MvCalcCRC32(const uint8_t* begin, const uint8_t* end) {
    return MvCalcCRC32(begin, static_cast<int>(end - begin));
}
