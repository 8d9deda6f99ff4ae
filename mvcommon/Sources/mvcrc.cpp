#include "mvcrc.h"

#include <array>
#include <atomic>

#include "mvcrc_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define MV_CRC_HAVE_CLMUL 1
#endif

namespace {

constexpr uint32_t kPoly = 0x04C11DB7u;  // x^32 is implicit
constexpr uint32_t kInit = 0xFFFFFFFFu;

// Table k gives the CRC contribution of a byte followed by k zero bytes, so that eight bytes
// are folded in per step (slicing by 8) instead of one.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ kPoly : crc << 1;
        t[0][i] = crc;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}
constexpr Tables kTables = MakeTables();

// Continues a CRC register over n more bytes.
uint32_t TableUpdate(uint32_t crc, const uint8_t* bytes, size_t n) {
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

#ifdef MV_CRC_HAVE_CLMUL

// Carry-less multiplication folding. The message is read as one polynomial over GF(2), first
// byte highest, most significant bit first; the CRC register after a prefix M (with the initial
// value xored into its first four bytes) is M(x) * x^32 mod P(x). A 128-bit block B followed by
// d more bits contributes B(x) * x^d, and with B = H * x^64 + L that is congruent to
// H * (x^(d+64) mod P) + L * (x^d mod P): two 64x32-bit carry-less products whose sum is again
// at most 128 bits wide. Folding keeps four such accumulators 512 bits apart, then one, and a
// Barrett reduction turns the last 128 bits into the 32-bit register that the table code
// continues with for the bytes that do not fill a block.

// x^k mod P, shifting one bit at a time (only evaluated at compile time).
constexpr uint64_t XPowModP(unsigned k) {
    uint32_t r = 1;  // x^0
    for (unsigned i = 0; i < k; ++i) r = (r & 0x80000000u) ? (r << 1) ^ kPoly : r << 1;
    return r;
}

// floor(x^64 / P), a polynomial of degree 32, by long division of x^64 by P.
constexpr uint64_t BarrettMu() {
    // Dividend bits 64..0; P with its x^32 term is 33 bits.
    const uint64_t p33 = (uint64_t{1} << 32) | kPoly;
    uint64_t rem = 0;   // running remainder, below x^33 after each step
    uint64_t quot = 0;
    for (int bit = 64; bit >= 0; --bit) {
        rem = (rem << 1) | (bit == 64 ? 1u : 0u);
        quot <<= 1;
        if (rem & (uint64_t{1} << 32)) {
            rem ^= p33;
            quot |= 1;
        }
    }
    return quot;
}

constexpr uint64_t kFold512Hi = XPowModP(512 + 64), kFold512Lo = XPowModP(512);
constexpr uint64_t kFold128Hi = XPowModP(128 + 64), kFold128Lo = XPowModP(128);
constexpr uint64_t kReduce96 = XPowModP(96), kReduce64 = XPowModP(64);
constexpr uint64_t kMu = BarrettMu();
constexpr uint64_t kP33 = (uint64_t{1} << 32) | kPoly;
static_assert(kMu >> 32 == 1, "floor(x^64 / P) has degree 32");
static_assert(XPowModP(32) == kPoly, "x^32 mod P is P without its top term");

// Folding takes four blocks of 16 bytes to start.
constexpr size_t kFoldMinBytes = 64;

// Only these functions use the instructions; the rest of the program keeps the base target.
#define MV_CRC_TARGET __attribute__((target("pclmul,sse4.1")))

MV_CRC_TARGET inline __m128i LoadBE(const uint8_t* p, __m128i swap) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}

// (x * x^d mod P) + next, as 128-bit polynomials, with k = {x^d mod P, x^(d+64) mod P}. The
// next block joins the low product first: the two products leave the multiplier one after the
// other, so this keeps one xor off the dependency chain of each accumulator (about a quarter
// more throughput than xoring the products first).
MV_CRC_TARGET inline __m128i FoldIn(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11),
                         _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), next));
}

// Continues the register crc over n >= kFoldMinBytes bytes at p (any alignment).
MV_CRC_TARGET uint32_t ClmulUpdate(uint32_t crc, const uint8_t* p, size_t n) {
    // Reverses the bytes of a 16-byte lane: the first message byte becomes bits 127..120.
    const __m128i swap = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i k512 = _mm_set_epi64x(static_cast<long long>(kFold512Hi), static_cast<long long>(kFold512Lo));
    const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));

    __m128i x0 = LoadBE(p, swap);
    __m128i x1 = LoadBE(p + 16, swap);
    __m128i x2 = LoadBE(p + 32, swap);
    __m128i x3 = LoadBE(p + 48, swap);
    // The register so far goes onto the first 32 message bits.
    x0 = _mm_xor_si128(x0, _mm_slli_si128(_mm_cvtsi32_si128(static_cast<int>(crc)), 12));
    p += 64;
    n -= 64;

    for (; n >= 64; n -= 64, p += 64) {
        x0 = FoldIn(x0, k512, LoadBE(p, swap));
        x1 = FoldIn(x1, k512, LoadBE(p + 16, swap));
        x2 = FoldIn(x2, k512, LoadBE(p + 32, swap));
        x3 = FoldIn(x3, k512, LoadBE(p + 48, swap));
    }
    __m128i x = FoldIn(FoldIn(FoldIn(x0, k128, x1), k128, x2), k128, x3);
    for (; n >= 16; n -= 16, p += 16) x = FoldIn(x, k128, LoadBE(p, swap));

    // Register = x * x^32 mod P. With x = H * x^64 + L: H * (x^96 mod P) + L * x^32, 96 bits.
    const __m128i kRed = _mm_set_epi64x(static_cast<long long>(kReduce96), static_cast<long long>(kReduce64));
    __m128i y = _mm_xor_si128(_mm_clmulepi64_si128(x, kRed, 0x11),
                              _mm_slli_si128(_mm_move_epi64(x), 4));
    // y = Yh * x^64 + Yl with Yh of 32 bits: Yh * (x^64 mod P) + Yl, 64 bits.
    __m128i z = _mm_xor_si128(_mm_clmulepi64_si128(_mm_srli_si128(y, 8), kRed, 0x00), _mm_move_epi64(y));
    // Barrett: q = floor(floor(z / x^32) * mu / x^32) = floor(z / P); z - q * P fits in 32 bits.
    const __m128i kBar = _mm_set_epi64x(static_cast<long long>(kP33), static_cast<long long>(kMu));
    const __m128i q = _mm_srli_epi64(_mm_clmulepi64_si128(_mm_srli_epi64(z, 32), kBar, 0x00), 32);
    const __m128i r = _mm_xor_si128(z, _mm_clmulepi64_si128(q, kBar, 0x10));
    crc = static_cast<uint32_t>(_mm_cvtsi128_si32(r));

    return n == 0 ? crc : TableUpdate(crc, p, n);
}

bool CpuHasClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

// Resolved once, on first use (thread-safe local static).
bool UseClmul() {
    static const bool use = CpuHasClmul();
    return use;
}

#endif  // MV_CRC_HAVE_CLMUL

}  // namespace

uint32_t MvCalcCRC32Table(const uint8_t* bytes, int n) {
    if (bytes == nullptr || n <= 0) return kInit;
    return TableUpdate(kInit, bytes, static_cast<size_t>(n));
}

bool MvCRC32UsesClmul() {
#ifdef MV_CRC_HAVE_CLMUL
    return UseClmul();
#else
    return false;
#endif
}

uint32_t MvCalcCRC32(const uint8_t* bytes, int n) {
    if (bytes == nullptr || n <= 0) return kInit;
    const size_t len = static_cast<size_t>(n);
#ifdef MV_CRC_HAVE_CLMUL
    if (len >= kFoldMinBytes && UseClmul()) return ClmulUpdate(kInit, bytes, len);
#endif
    return TableUpdate(kInit, bytes, len);
}

uint32_t MvCalcCRC32(const uint8_t* begin, const uint8_t* end) {
    return MvCalcCRC32(begin, static_cast<int>(end - begin));
}
