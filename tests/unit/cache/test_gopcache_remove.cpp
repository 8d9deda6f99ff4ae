// Dropping one content's GOPs from the cache (a replaced or deleted VOD title): only that exact
// identifier goes, the budget and the age list stay consistent, and a reader keeps its GOP.
#include <gtest/gtest.h>

#include <atomic>

#include "gopcache.h"

namespace {

struct Counted : HSCGop {
    explicit Counted(std::atomic<int>* d) : deaths(d) {}
    ~Counted() override { deaths->fetch_add(1); }
    std::atomic<int>* deaths;
};

TEST(GopCacheRemove, OnlyTheContentGoesAndAReaderKeepsItsGop) {
    std::atomic<int> deaths{0};
    {
        MvGopCache cache(1u << 20);
        const tagMvCID title = MvCIDMake(100000001, 0, 0);
        const tagMvCID variant = MvCIDMake(100000001, 1, 0);
        const tagMvCID below = 100000000;
        const tagMvCID above = 100000002;
        auto offer = [&](tagMvCID cid, uint64_t id) {
            Counted* g = new Counted(&deaths);
            g->gopId = id;
            g->footprint = 100;
            g->AddRef();
            EXPECT_TRUE(cache.AddReceivedGop(cid, g, false));
            g->Release();
        };
        offer(below, 7);
        for (uint64_t n = 1; n <= 5; ++n) offer(title, n);
        offer(variant, 1);
        offer(above, 1);
        offer(title, 6);

        HSCGop* reader = nullptr;
        ASSERT_TRUE(cache.RetrieveGopAdv(title, 3, reader));

        EXPECT_EQ(cache.RemoveContent(title), 6u);
        EXPECT_EQ(cache.GetCacheCount(), 3u);
        EXPECT_EQ(cache.GetCacheSize(), 300u);
        HSCGop* out = nullptr;
        for (uint64_t n = 1; n <= 6; ++n) EXPECT_FALSE(cache.RetrieveGopAdv(title, n, out)) << n;
        for (tagMvCID other : {below, variant, above}) {
            out = nullptr;
            EXPECT_TRUE(cache.RetrieveGopAdv(other, other == below ? 7 : 1, out));
            if (out != nullptr) out->Release();
        }
        EXPECT_EQ(deaths.load(), 5) << "the GOP a reader holds lives on";
        EXPECT_EQ(reader->cacheNext, nullptr);
        EXPECT_EQ(reader->cachePrev, nullptr);
        reader->Release();
        EXPECT_EQ(deaths.load(), 6);

        // The age list still holds exactly the three others, oldest first.
        {
            MvSyncGuard guard(cache);
            HSCGop* g = cache.Oldest();
            ASSERT_NE(g, nullptr);
            EXPECT_EQ(g->cid, below);
            EXPECT_EQ(g->cacheNext->cid, variant);
            EXPECT_EQ(cache.Newest()->cid, above);
            EXPECT_EQ(cache.Newest()->cachePrev, g->cacheNext);
        }
        EXPECT_EQ(cache.RemoveContent(title), 0u);
        // The freed places are taken again.
        offer(title, 1);
        EXPECT_EQ(cache.GetCacheCount(), 4u);
    }
    EXPECT_EQ(deaths.load(), 10);
}

}  // namespace
