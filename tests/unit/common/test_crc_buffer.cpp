// CRC-32/MPEG-2 reference values and the buffer's growth steps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "mvbuffer.h"
#include "mvcrc.h"
#include "mvcrc_internal.h"

TEST(Crc32, ReferenceValues) {
    struct Case { const char* text; uint32_t crc; };
    const Case cases[] = {{"123456789", 0x0376E6E7u}, {"abc", 0x9B73448Cu}};
    for (const auto& c : cases)
        EXPECT_EQ(MvCalcCRC32(reinterpret_cast<const uint8_t*>(c.text), (int)strlen(c.text)), c.crc)
            << c.text;
    EXPECT_EQ(MvCalcCRC32(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(MvCalcCRC32Table(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(MvCalcCRC32(reinterpret_cast<const uint8_t*>("abc"), -1), 0xFFFFFFFFu);
    const uint8_t* p = reinterpret_cast<const uint8_t*>("abc");
    EXPECT_EQ(MvCalcCRC32(p, p + 3), 0x9B73448Cu);
}

namespace {

// The CRC register after every prefix of [p, p + n), from the definition, bit by bit:
// prefixes[k] is the CRC of the first k bytes.
std::vector<uint32_t> BitwisePrefixes(const uint8_t* p, size_t n) {
    std::vector<uint32_t> prefixes(n + 1);
    uint32_t crc = 0xFFFFFFFFu;
    prefixes[0] = crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(p[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        prefixes[i + 1] = crc;
    }
    return prefixes;
}

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) {
        seed ^= seed << 13; seed ^= seed >> 7; seed ^= seed << 17;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

}  // namespace

// Both paths against the definition for every length from 0 to 1024 and every start offset in
// a 16-byte lane: covers the table-only lengths, the switch to folding at 64 bytes, every
// count of leftover blocks after the four-way loop and every tail handed back to the table code.
TEST(Crc32, BothPathsAgreeWithTheBitwiseDefinitionAtEveryLengthAndAlignment) {
    constexpr size_t kMaxLen = 1024;
    const std::vector<uint8_t> bytes = RandomBytes(kMaxLen + 16, 0x243F6A8885A308D3ull);
    if (!MvCRC32UsesClmul()) std::printf("note: this CPU has no PCLMULQDQ; both paths are the table code\n");
    for (size_t start = 0; start < 16; ++start) {
        const uint8_t* p = bytes.data() + start;
        const std::vector<uint32_t> want = BitwisePrefixes(p, kMaxLen);
        for (size_t n = 0; n <= kMaxLen; ++n) {
            ASSERT_EQ(MvCalcCRC32Table(p, static_cast<int>(n)), want[n]) << start << "/" << n;
            ASSERT_EQ(MvCalcCRC32(p, static_cast<int>(n)), want[n]) << start << "/" << n;
        }
    }
}

// Large buffers of odd sizes: the paths agree, and the buffer followed by its own CRC
// (big-endian) gives 0 on each path, which checks either one without the other.
TEST(Crc32, LargeBuffersAgreeAndCloseToZero) {
    const size_t sizes[] = {1021, 50001, 65536, 65537 + 14, 1048575, 4u * 1024 * 1024 - 3};
    const std::vector<uint8_t> pool = RandomBytes(4u * 1024 * 1024 + 16, 0x13198A2E03707344ull);
    for (size_t n : sizes) {
        const size_t start = n % 13;
        std::vector<uint8_t> bytes(pool.begin() + start, pool.begin() + start + n);
        const uint32_t crc = MvCalcCRC32(bytes.data(), static_cast<int>(n));
        ASSERT_EQ(crc, MvCalcCRC32Table(bytes.data(), static_cast<int>(n))) << n;
        bytes.insert(bytes.end(), {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                                   static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
        EXPECT_EQ(MvCalcCRC32(bytes.data(), static_cast<int>(bytes.size())), 0u) << n;
        EXPECT_EQ(MvCalcCRC32Table(bytes.data(), static_cast<int>(bytes.size())), 0u) << n;
    }
    // One large buffer against the definition itself.
    const size_t n = 200003;
    EXPECT_EQ(MvCalcCRC32(pool.data() + 5, static_cast<int>(n)), BitwisePrefixes(pool.data() + 5, n)[n]);
}

TEST(Crc32, SectionIncludingItsCrcGivesZero) {
    // A PAT section for program 1 on PMT PID 0x1000, with its CRC appended.
    uint8_t sec[16] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00};
    uint32_t crc = MvCalcCRC32(sec, 12);
    sec[12] = crc >> 24; sec[13] = crc >> 16; sec[14] = crc >> 8; sec[15] = crc;
    EXPECT_EQ(MvCalcCRC32(sec, 16), 0u);
}

TEST(MvBuffer, GrowsInFixedSteps) {
    struct Case { int total; int capacity; };
    const Case cases[] = {{1, 1024}, {1024, 1024}, {40000, 65536}, {300000, 524288}};
    for (const auto& c : cases) {
        MvBuffer b;
        std::vector<uint8_t> bytes(c.total, 0x5A);
        b.Add(&bytes);
        EXPECT_EQ(b.GetLength(), c.total);
        EXPECT_EQ(b.GetCapacity(), c.capacity) << c.total;
    }
    // Filling the buffer to its capacity exactly grows it by one step on the next byte.
    MvBuffer b;
    std::vector<uint8_t> kb(1024, 1);
    b.Add(&kb);
    b.Add(uint8_t{2});
    EXPECT_EQ(b.GetCapacity(), 2048);
    EXPECT_EQ(b.GetData()[1024], 2);
}

TEST(MvBuffer, RemoveCopiesAndCloses) {
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    MvBuffer b(bytes, 5);
    std::vector<uint8_t> out;
    EXPECT_TRUE(b.Remove(0, 3, &out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(b.GetLength(), 2);
    EXPECT_EQ(b.GetData()[0], 4);
    EXPECT_EQ(b.GetData()[1], 5);
    std::vector<uint8_t> untouched{9};
    EXPECT_TRUE(b.Remove(1, 0, &untouched));
    EXPECT_EQ(untouched, std::vector<uint8_t>{9});
    EXPECT_EQ(b.GetLength(), 2);
    EXPECT_FALSE(b.Remove(1, 5, nullptr));  // beyond the end: refused, nothing moves
    b.Clean();
    EXPECT_EQ(b.GetData(), nullptr);
    EXPECT_EQ(b.GetCapacity(), 0);
}

TEST(MvBuffer, AppendingItselfAcrossAGrowthStep) {
    // 700 + 700 bytes crosses the first 1 KiB step: the source moves with the data.
    std::vector<uint8_t> bytes(700);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    MvBuffer b;
    b.Add(&bytes);
    b.Add(&b);
    ASSERT_EQ(b.GetLength(), 1400);
    EXPECT_EQ(b.GetCapacity(), 2048);
    for (int i = 0; i < 1400; ++i) ASSERT_EQ(b.GetData()[i], bytes[i % 700]) << i;
}
