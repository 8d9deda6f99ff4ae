// The two implementations behind MvCalcCRC32, for tests and benchmarks that compare them.
// MvCalcCRC32 folds with carry-less multiplication when the CPU has PCLMULQDQ and SSE4.1 and
// the buffer is long enough; the table code is the portable path and handles the short tails.
#pragma once

#include <cstdint>

// The portable slicing-by-8 table path; same result as MvCalcCRC32 for every input.
uint32_t MvCalcCRC32Table(const uint8_t* bytes, int n);
// Whether MvCalcCRC32 takes the carry-less multiplication path on this CPU.
bool MvCRC32UsesClmul();
