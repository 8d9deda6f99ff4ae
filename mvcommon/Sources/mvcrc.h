// CRC-32/MPEG-2 (polynomial 0x04C11DB7, MSB first, init 0xFFFFFFFF, no final xor):
// PAT/PMT sections and the storage records. Buffers of 64 bytes and more are folded with
// carry-less multiplication where the CPU has PCLMULQDQ (chosen once at run time); the
// slicing-by-8 table code is the portable path and takes the rest (mvcrc_internal.h).
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t MvCalcCRC32(const uint8_t* bytes, int n);
uint32_t MvCalcCRC32(const uint8_t* begin, const uint8_t* end);
// The storage tool's names for the same function.
inline uint32_t MvDVBCalcCRC(const uint8_t* bytes, int n) { return MvCalcCRC32(bytes, n); }
inline uint32_t MvDVBCalcCRCPtr(const uint8_t* begin, const uint8_t* end) {
    return MvCalcCRC32(begin, end);
}
