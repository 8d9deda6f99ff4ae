// CRC-32/MPEG-2 reference values and the buffer's growth steps.
#include <gtest/gtest.h>

#include <cstring>

#include "mvbuffer.h"
#include "mvcrc.h"

TEST(Crc32, ReferenceValues) {
    struct Case { const char* text; uint32_t crc; };
    const Case cases[] = {{"123456789", 0x0376E6E7u}, {"abc", 0x9B73448Cu}};
    for (const auto& c : cases)
        EXPECT_EQ(MvCalcCRC32(reinterpret_cast<const uint8_t*>(c.text), (int)strlen(c.text)), c.crc)
            << c.text;
    EXPECT_EQ(MvCalcCRC32(nullptr, 0), 0xFFFFFFFFu);
    const uint8_t* p = reinterpret_cast<const uint8_t*>("abc");
    EXPECT_EQ(MvCalcCRC32(p, p + 3), 0x9B73448Cu);
}

// Against the definition, bit by bit, for every length from 0 to 70 and every start alignment
// (the table-driven form folds eight bytes at a time and the rest one by one).
TEST(Crc32, AgreesWithTheBitwiseDefinitionAtEveryLengthAndAlignment) {
    auto bitwise = [](const uint8_t* p, int n) {
        uint32_t crc = 0xFFFFFFFFu;
        for (int i = 0; i < n; ++i) {
            crc ^= static_cast<uint32_t>(p[i]) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        return crc;
    };
    uint8_t bytes[96];
    uint32_t x = 12345;
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    for (int start = 0; start < 8; ++start)
        for (int n = 0; n <= 70; ++n)
            ASSERT_EQ(MvCalcCRC32(bytes + start, n), bitwise(bytes + start, n)) << start << "/" << n;
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
