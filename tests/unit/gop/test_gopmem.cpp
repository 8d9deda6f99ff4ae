// Page memory reuse for GOP data blocks: kept pages come back zeroed, ranges split and grow
// without losing their pages, untouched pages are not kept, and the byte limit holds.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "mvgopmem.h"

namespace {

constexpr uint64_t kPage = 4096;

bool AllZero(const uint8_t* p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Number of resident pages in [p, p + n).
uint64_t ResidentPages(void* p, uint64_t n) {
    std::vector<unsigned char> vec(n / kPage);
    if (mincore(p, n, vec.data()) != 0) return 0;
    uint64_t c = 0;
    for (unsigned char v : vec) c += v & 1;
    return c;
}

bool Unmapped(void* p, uint64_t n) { return msync(p, n, MS_ASYNC) == -1 && errno == ENOMEM; }

TEST(GopMemory, RefusesSizesThatAreNotWholePages) {
    MvGopMemory pool(1 << 20);
    for (uint64_t bytes : {uint64_t{0}, uint64_t{1}, kPage - 1, kPage + 1}) {
        errno = 0;
        EXPECT_EQ(pool.Take(bytes), nullptr) << bytes;
        EXPECT_EQ(errno, EINVAL) << bytes;
    }
    EXPECT_TRUE(pool.Give(nullptr, kPage));
    // A range the pool never handed out is refused and left as it is.
    auto* p = static_cast<uint8_t*>(pool.Take(2 * kPage));
    ASSERT_NE(p, nullptr);
    p[1] = 7;
    p[kPage + 1] = 7;
    errno = 0;
    EXPECT_FALSE(pool.Give(p + 1, kPage));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(pool.Give(p, kPage + 1));
    EXPECT_EQ(p[1], 7);
    EXPECT_EQ(pool.KeptBytes(), 0u);
    ASSERT_TRUE(pool.Give(p, 2 * kPage));
    EXPECT_EQ(pool.KeptBytes(), 2 * kPage);
}

TEST(GopMemory, GivenPagesComeBackZeroedWithoutNewFaults) {
    MvGopMemory pool(16 << 20);
    auto* a = static_cast<uint8_t*>(pool.Take(64 * kPage));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(pool.Fresh(), 1u);
    EXPECT_TRUE(AllZero(a, 64 * kPage));
    memset(a, 0xA5, 64 * kPage);
    ASSERT_TRUE(pool.Give(a, 64 * kPage));
    EXPECT_EQ(pool.KeptBytes(), 64 * kPage);

    auto* b = static_cast<uint8_t*>(pool.Take(64 * kPage));
    EXPECT_EQ(b, a);
    EXPECT_EQ(pool.Reused(), 1u);
    EXPECT_EQ(pool.KeptBytes(), 0u);
    EXPECT_EQ(ResidentPages(b, 64 * kPage), 64u) << "the pages stay in place";
    EXPECT_TRUE(AllZero(b, 64 * kPage)) << "no data of the previous owner";
    ASSERT_TRUE(pool.Give(b, 64 * kPage));
}

TEST(GopMemory, ALoadTakingPagesGetsOnlyTheBytesAfterItsFillZeroed) {
    MvGopMemory pool(16 << 20);
    auto* a = static_cast<uint8_t*>(pool.Take(8 * kPage));
    memset(a, 0xEE, 8 * kPage);
    ASSERT_TRUE(pool.Give(a, 8 * kPage));
    const uint64_t filled = 5 * kPage + 123;
    auto* b = static_cast<uint8_t*>(pool.Take(8 * kPage, filled));
    ASSERT_EQ(b, a);
    EXPECT_TRUE(AllZero(b + filled, 8 * kPage - filled)) << "everything after the fill is zero";
    EXPECT_EQ(b[filled - 1], 0xEE) << "the part the caller fills is not zeroed first";
    // A fill hint beyond the range is clamped.
    ASSERT_TRUE(pool.Give(b, 8 * kPage));
    auto* c = static_cast<uint8_t*>(pool.Take(4 * kPage, 100 * kPage));
    EXPECT_EQ(c, a);
    ASSERT_TRUE(pool.Give(c, 4 * kPage));
}

TEST(GopMemory, SmallestLargeEnoughRangeIsSplitAndItsRestKept) {
    MvGopMemory pool(64 << 20);
    auto* big = static_cast<uint8_t*>(pool.Take(256 * kPage));
    auto* small = static_cast<uint8_t*>(pool.Take(32 * kPage));
    memset(big, 1, 256 * kPage);
    memset(small, 2, 32 * kPage);
    ASSERT_TRUE(pool.Give(big, 256 * kPage));
    ASSERT_TRUE(pool.Give(small, 32 * kPage));

    // 16 pages: the 32-page range is the best fit; its other 16 pages stay kept.
    auto* a = static_cast<uint8_t*>(pool.Take(16 * kPage));
    EXPECT_EQ(a, small);
    EXPECT_EQ(pool.KeptBytes(), (256 + 16) * kPage);
    auto* b = static_cast<uint8_t*>(pool.Take(16 * kPage));
    EXPECT_EQ(b, small + 16 * kPage);
    // 100 pages: from the start of the large range.
    auto* c = static_cast<uint8_t*>(pool.Take(100 * kPage));
    EXPECT_EQ(c, big);
    EXPECT_EQ(pool.KeptBytes(), 156 * kPage);
    for (auto* p : {a, b}) EXPECT_TRUE(AllZero(p, 16 * kPage));
    EXPECT_TRUE(AllZero(c, 100 * kPage));
    // Parts of one original range are given back independently.
    ASSERT_TRUE(pool.Give(a, 16 * kPage));
    ASSERT_TRUE(pool.Give(c, 100 * kPage));
    ASSERT_TRUE(pool.Give(b, 16 * kPage));
    EXPECT_EQ(pool.KeptBytes(), 288 * kPage);
}

TEST(GopMemory, LargerRequestGrowsTheLargestKeptRangeAndKeepsItsPages) {
    MvGopMemory pool(64 << 20);
    auto* a = static_cast<uint8_t*>(pool.Take(40 * kPage));
    memset(a, 0x77, 40 * kPage);
    ASSERT_TRUE(pool.Give(a, 40 * kPage));
    const uint64_t want = 2048 * kPage;  // 8 MiB, like a live GOP's reservation
    auto* g = static_cast<uint8_t*>(pool.Take(want));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(pool.Reused(), 1u);
    EXPECT_EQ(pool.KeptBytes(), 0u);
    EXPECT_EQ(ResidentPages(g, want), 40u) << "the kept pages moved with the range";
    EXPECT_TRUE(AllZero(g, want));
    ASSERT_TRUE(pool.Give(g, want));
}

TEST(GopMemory, OnlyTheTouchedStartOfARangeIsKept) {
    MvGopMemory pool(64 << 20);
    const uint64_t reserve = 2048 * kPage;
    auto* g = static_cast<uint8_t*>(pool.Take(reserve));
    memset(g, 3, 25 * kPage + 100);  // 26 pages touched
    ASSERT_TRUE(pool.Give(g, reserve));
    EXPECT_EQ(pool.KeptBytes(), 26 * kPage);
    EXPECT_TRUE(Unmapped(g + 26 * kPage, reserve - 26 * kPage)) << "untouched tail unmapped";

    // A range never touched at all is not kept.
    auto* n = static_cast<uint8_t*>(pool.Take(4096 * kPage));
    ASSERT_NE(n, nullptr);
    ASSERT_TRUE(pool.Give(n, 4096 * kPage));
    EXPECT_EQ(pool.KeptBytes(), 26 * kPage);
    EXPECT_TRUE(Unmapped(n, 4096 * kPage));
}

TEST(GopMemory, KeepsNoMoreThanItsLimitDroppingTheSmallestRanges) {
    MvGopMemory pool(100 * kPage);
    std::vector<std::pair<uint8_t*, uint64_t>> ranges;
    for (uint64_t pages : {10, 60, 30, 50}) {
        auto* p = static_cast<uint8_t*>(pool.Take(pages * kPage));
        memset(p, 9, pages * kPage);
        ranges.emplace_back(p, pages * kPage);
    }
    for (auto& r : ranges) {
        ASSERT_TRUE(pool.Give(r.first, r.second));
        EXPECT_LE(pool.KeptBytes(), 100 * kPage);
    }
    // 10 + 60 + 30 fit; adding 50 drops the smallest ranges until the limit holds: 10, 30 and
    // then the 50 itself.
    EXPECT_TRUE(Unmapped(ranges[0].first, ranges[0].second));
    EXPECT_TRUE(Unmapped(ranges[2].first, ranges[2].second));
    EXPECT_TRUE(Unmapped(ranges[3].first, ranges[3].second));
    EXPECT_EQ(pool.KeptBytes(), 60 * kPage);
    EXPECT_EQ(pool.Take(60 * kPage), ranges[1].first);
    MvGopMemory zero(0);  // a zero limit keeps nothing
    auto* p = static_cast<uint8_t*>(zero.Take(kPage));
    p[0] = 1;
    ASSERT_TRUE(zero.Give(p, kPage));
    EXPECT_EQ(zero.KeptBytes(), 0u);
    EXPECT_TRUE(Unmapped(p, kPage));
    ASSERT_TRUE(pool.Give(ranges[1].first, ranges[1].second));
}

TEST(GopMemory, ConcurrentTakersNeverSeeEachOthersBytes) {
    MvGopMemory pool(8 << 20);
    std::vector<std::thread> threads;
    std::atomic<int> dirty{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const uint64_t bytes = (1 + (i * 7 + t) % 24) * kPage;
                auto* p = static_cast<uint8_t*>(pool.Take(bytes));
                if (p == nullptr || !AllZero(p, bytes)) ++dirty;
                if (p == nullptr) continue;
                memset(p, 0x40 + t, bytes);
                pool.Give(p, bytes);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(dirty.load(), 0);
    EXPECT_GT(pool.Reused(), 0u);
    EXPECT_LE(pool.KeptBytes(), uint64_t{8} << 20);
}

}  // namespace
