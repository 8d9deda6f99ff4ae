// The GOP cache: keys, budget and eviction order, reference sharing with readers, the fatal
// ownership check, the process-wide entry points and concurrent use.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gopcache.h"

namespace {

const tagMvCID kChan = MvCIDMake(1201, 0, 7);

// Counts destructions, to tell a released GOP from a leaked or a still-held one.
struct CountedGop : HSCGop {
    explicit CountedGop(std::atomic<int>* d) : deaths(d) {}
    ~CountedGop() override { deaths->fetch_add(1); }
    std::atomic<int>* deaths;
};

struct GopCacheTest : ::testing::Test {
    std::atomic<int> deaths{0};
    std::atomic<int> made{0};
    MvGopCache cache{1000};  // destroyed before the counters

    // A GOP held once by the test, as the writer holds it when it offers it.
    HSCGop* Held(uint64_t id, uint64_t footprint = 100) {
        auto* g = new CountedGop(&deaths);
        g->gopId = id;
        g->footprint = footprint;
        g->AddRef();
        made.fetch_add(1);
        return g;
    }
    // Offers a GOP the way the channel writer does: with its one reference, dropped after.
    bool Offer(tagMvCID cid, uint64_t id, uint64_t footprint = 100, bool touch = false) {
        HSCGop* g = Held(id, footprint);
        const bool added = cache.AddReceivedGop(cid, g, touch);
        g->Release();
        return added;
    }
    // GOP numbers in age order, oldest first, after checking that the links agree both ways.
    std::vector<uint64_t> Ages() {
        std::vector<uint64_t> ids;
        MvSyncGuard guard(cache);
        HSCGop* newest = cache.Newest();
        HSCGop* prev = nullptr;
        for (HSCGop* g = cache.Oldest(); g != nullptr; g = (g == newest ? nullptr : g->cacheNext)) {
            if (prev != nullptr) {
                EXPECT_EQ(g->cachePrev, prev);
            }
            ids.push_back(g->gopId);
            prev = g;
        }
        return ids;
    }
    bool Has(tagMvCID cid, uint64_t id) {
        HSCGop* g = nullptr;
        if (!cache.RetrieveGopAdv(cid, id, g)) return false;
        g->Release();
        return true;
    }
    using Ids = std::vector<uint64_t>;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Adding and finding.

TEST_F(GopCacheTest, AddTakesOneReferenceAndRetrieveHandsOutAnother) {
    HSCGop* g = Held(5, 300);
    ASSERT_TRUE(cache.AddReceivedGop(kChan, g, false));
    EXPECT_EQ(g->refCount.load(), 2);
    EXPECT_EQ(g->cid, kChan);
    EXPECT_EQ(cache.GetCacheSize(), 300u);
    EXPECT_EQ(cache.GetCacheCount(), 1u);

    HSCGop* out = nullptr;
    ASSERT_TRUE(cache.RetrieveGopAdv(kChan, 5, out));
    EXPECT_EQ(out, g);
    EXPECT_EQ(g->refCount.load(), 3);

    HSCGop* untouched = reinterpret_cast<HSCGop*>(0x1);
    EXPECT_FALSE(cache.RetrieveGopAdv(kChan, 6, untouched));
    EXPECT_FALSE(cache.RetrieveGopAdv(MvCIDMake(1202, 0, 7), 5, untouched));
    EXPECT_EQ(untouched, reinterpret_cast<HSCGop*>(0x1));

    out->Release();
    g->Release();
    EXPECT_EQ(g->refCount.load(), 1);  // the cache's own
    EXPECT_EQ(deaths.load(), 0);
}

TEST_F(GopCacheTest, SameGopNumberUnderTwoSubStreamsIsTwoEntries) {
    const tagMvCID low = MvCIDMake(1201, 0, 7), high = MvCIDMake(1201, 1, 7);
    HSCGop* a = Held(40);
    HSCGop* b = Held(40);
    // The GOP's own cid is overwritten by the key it is offered under.
    b->cid = low;
    EXPECT_TRUE(cache.AddReceivedGop(low, a, false));
    EXPECT_TRUE(cache.AddReceivedGop(high, b, false));
    EXPECT_EQ(b->cid, high);
    EXPECT_EQ(cache.GetCacheCount(), 2u);
    EXPECT_EQ(cache.GetCacheSize(), 200u);
    HSCGop* out = nullptr;
    ASSERT_TRUE(cache.RetrieveGopAdv(high, 40, out));
    EXPECT_EQ(out, b);
    out->Release();
    ASSERT_TRUE(cache.RetrieveGopAdv(low, 40, out));
    EXPECT_EQ(out, a);
    out->Release();
    a->Release();
    b->Release();
}

// The same key offered again is refused and the offered GOP is not taken; with touch the cached
// GOP becomes the newest, which decides what the next eviction removes.
TEST_F(GopCacheTest, SameKeyTwiceIsRefusedAndTouchRefreshesTheCachedGop) {
    struct Case {
        bool touch;
        Ids agesAfterOffer;
        Ids agesAfterEviction;
    };
    const Case cases[] = {
        {false, {1, 2, 3}, {2, 3, 4}},
        {true, {2, 3, 1}, {3, 1, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.touch ? "touch" : "no touch");
        MvGopCache fresh(300);
        for (uint64_t id = 1; id <= 3; ++id) {
            HSCGop* g = Held(id);
            ASSERT_TRUE(fresh.AddReceivedGop(kChan, g, false));
            g->Release();
        }
        const int deathsBefore = deaths.load();
        HSCGop* again = Held(1, 50);
        EXPECT_FALSE(fresh.AddReceivedGop(kChan, again, c.touch));
        EXPECT_EQ(again->refCount.load(), 1);
        EXPECT_EQ(again->cacheNext, nullptr);
        EXPECT_EQ(again->cachePrev, nullptr);
        EXPECT_EQ(fresh.GetCacheSize(), 300u);
        EXPECT_EQ(fresh.GetCacheCount(), 3u);
        HSCGop* out = nullptr;
        ASSERT_TRUE(fresh.RetrieveGopAdv(kChan, 1, out));
        EXPECT_NE(out, again);
        out->Release();
        again->Release();
        EXPECT_EQ(deaths.load(), deathsBefore + 1);

        auto ages = [&] {
            Ids ids;
            MvSyncGuard guard(fresh);
            for (HSCGop* g = fresh.Oldest(); g != nullptr;
                 g = (g == fresh.Newest() ? nullptr : g->cacheNext))
                ids.push_back(g->gopId);
            return ids;
        };
        EXPECT_EQ(ages(), c.agesAfterOffer);
        HSCGop* next = Held(4);
        ASSERT_TRUE(fresh.AddReceivedGop(kChan, next, false));
        next->Release();
        EXPECT_EQ(ages(), c.agesAfterEviction);
    }
}

TEST_F(GopCacheTest, NullGopIsRefused) {
    EXPECT_FALSE(cache.AddReceivedGop(kChan, nullptr, true));
    EXPECT_EQ(cache.GetCacheCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Budget and eviction.

// Eviction follows insertion order; retrieving a GOP does not make it younger.
TEST_F(GopCacheTest, EvictsOldestFirstAndRetrievalDoesNotRefresh) {
    cache.SetNewSize(300);
    for (uint64_t id = 1; id <= 3; ++id) ASSERT_TRUE(Offer(kChan, id));
    EXPECT_TRUE(Has(kChan, 1));
    ASSERT_TRUE(Offer(kChan, 4));
    EXPECT_EQ(Ages(), (Ids{2, 3, 4}));
    EXPECT_FALSE(Has(kChan, 1));
    EXPECT_EQ(deaths.load(), 1);  // the evicted GOP had no other holder

    // A GOP twice the usual size pushes out two.
    ASSERT_TRUE(Offer(kChan, 5, 200));
    EXPECT_EQ(Ages(), (Ids{4, 5}));
    EXPECT_EQ(cache.GetCacheSize(), 300u);
    EXPECT_EQ(cache.GetCacheCount(), 2u);
    EXPECT_EQ(deaths.load(), 3);
}

// A limit of 0, or a GOP larger than the whole budget: the add succeeds and the GOP is gone at
// once. A reader that took it earlier keeps it.
TEST_F(GopCacheTest, GopAboveTheBudgetIsAddedThenEvictedAtOnce) {
    struct Case {
        uint64_t limit;
        uint64_t footprint;
    };
    for (const Case& c : {Case{0, 100}, Case{0, 0}, Case{99, 100}}) {
        SCOPED_TRACE(c.limit);
        MvGopCache fresh(1000);
        HSCGop* early = Held(1);
        ASSERT_TRUE(fresh.AddReceivedGop(kChan, early, false));
        HSCGop* reader = nullptr;
        ASSERT_TRUE(fresh.RetrieveGopAdv(kChan, 1, reader));
        early->Release();  // the writer is done with it; cache and reader remain

        fresh.SetNewSize(c.limit);
        HSCGop* big = Held(2, c.footprint);
        const int deathsBefore = deaths.load();
        EXPECT_TRUE(fresh.AddReceivedGop(kChan, big, false));
        // A footprint of 0 never passes a limit of 0, so only the over-budget cases evict it.
        const bool bigEvicted = c.footprint > c.limit;
        EXPECT_EQ(fresh.GetCacheCount(), bigEvicted ? 0u : 1u);
        EXPECT_EQ(fresh.GetCacheSize(), 0u);
        EXPECT_EQ(big->refCount.load(), bigEvicted ? 1 : 2);
        if (bigEvicted) {
            EXPECT_EQ(big->cacheNext, nullptr);
        }
        HSCGop* out = nullptr;
        EXPECT_EQ(fresh.RetrieveGopAdv(kChan, 2, out), !bigEvicted);
        if (out != nullptr) out->Release();
        big->Release();

        // The early GOP left the cache but lives on for its reader, unlinked.
        EXPECT_FALSE(fresh.RetrieveGopAdv(kChan, 1, out));
        EXPECT_EQ(reader->refCount.load(), 1);
        EXPECT_EQ(reader->cacheNext, nullptr);
        EXPECT_EQ(reader->cachePrev, nullptr);
        EXPECT_EQ(reader->gopId, 1u);
        EXPECT_EQ(deaths.load(), deathsBefore + (bigEvicted ? 1 : 0));
        reader->Release();
        EXPECT_EQ(deaths.load(), deathsBefore + (bigEvicted ? 2 : 1));
    }
}

TEST_F(GopCacheTest, LoweredLimitEvictsOnlyAtTheNextAddThenAsManyAsNeeded) {
    for (uint64_t id = 1; id <= 10; ++id) ASSERT_TRUE(Offer(kChan, id));
    EXPECT_EQ(cache.GetCacheSize(), 1000u);
    cache.SetNewSize(250);
    EXPECT_EQ(cache.GetCacheLimit(), 250u);
    EXPECT_EQ(cache.GetCacheSize(), 1000u);
    EXPECT_EQ(cache.GetCacheCount(), 10u);
    EXPECT_TRUE(Has(kChan, 1));
    EXPECT_EQ(deaths.load(), 0);

    // A refused duplicate is not an add: still nothing evicted.
    EXPECT_FALSE(Offer(kChan, 10));
    EXPECT_EQ(cache.GetCacheCount(), 10u);

    ASSERT_TRUE(Offer(kChan, 11));
    EXPECT_EQ(Ages(), (Ids{10, 11}));
    EXPECT_EQ(cache.GetCacheSize(), 200u);
    EXPECT_EQ(cache.GetCacheCount(), 2u);
    EXPECT_EQ(deaths.load(), 1 + 9);  // the refused duplicate and nine evicted

    // Raising it again keeps everything that fits.
    cache.SetNewSize(10000);
    for (uint64_t id = 12; id <= 20; ++id) ASSERT_TRUE(Offer(kChan, id));
    EXPECT_EQ(cache.GetCacheCount(), 11u);
}

// A cached GOP whose number a holder changed can no longer be found under its own fields; the
// eviction reports it and still removes its entry, so the index never points at a freed GOP.
TEST_F(GopCacheTest, EvictionOfAnEntryNotFoundUnderItsFieldsLogsAndCleansUp) {
    cache.SetNewSize(200);
    ASSERT_TRUE(Offer(kChan, 1));
    ASSERT_TRUE(Offer(kChan, 2));
    HSCGop* g = nullptr;
    ASSERT_TRUE(cache.RetrieveGopAdv(kChan, 1, g));
    g->gopId = 77;
    g->startTime = MvTimeCreate(2024, 3, 9, 8, 7, 6, 5);
    g->Release();

    testing::internal::CaptureStdout();
    ASSERT_TRUE(Offer(kChan, 3));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[CACHE] Delete from map failed (entry not found) CID(7)(0)(1201), ID(77), "
                       "L(1), T(2024-03-09 08:07:06.05)"),
              std::string::npos)
        << log;
    EXPECT_FALSE(Has(kChan, 1));
    EXPECT_FALSE(Has(kChan, 77));
    EXPECT_EQ(Ages(), (Ids{2, 3}));
    EXPECT_EQ(cache.GetCacheCount(), 2u);
    EXPECT_EQ(cache.GetCacheSize(), 200u);
    EXPECT_EQ(deaths.load(), 1);
}

TEST_F(GopCacheTest, DestroyingTheCacheReleasesEveryGopItHolds) {
    auto fresh = std::make_unique<MvGopCache>(10000);
    HSCGop* kept = Held(1);
    ASSERT_TRUE(fresh->AddReceivedGop(kChan, kept, false));
    for (uint64_t id = 2; id <= 6; ++id) {
        HSCGop* g = Held(id);
        ASSERT_TRUE(fresh->AddReceivedGop(kChan, g, false));
        g->Release();
    }
    fresh.reset();
    EXPECT_EQ(deaths.load(), 5);
    EXPECT_EQ(kept->refCount.load(), 1);
    EXPECT_EQ(kept->cacheNext, nullptr);
    kept->Release();
    EXPECT_EQ(deaths.load(), 6);
}

// ---------------------------------------------------------------------------------------------
// Age list primitives.

TEST_F(GopCacheTest, ListPrimitivesKeepBothDirectionsConsistent) {
    for (uint64_t id = 1; id <= 4; ++id) ASSERT_TRUE(Offer(kChan, id));
    HSCGop *g2 = nullptr, *g4 = nullptr, *g1 = nullptr;
    ASSERT_TRUE(cache.RetrieveGopAdv(kChan, 2, g2));
    ASSERT_TRUE(cache.RetrieveGopAdv(kChan, 4, g4));
    ASSERT_TRUE(cache.RetrieveGopAdv(kChan, 1, g1));
    {
        MvSyncGuard guard(cache);
        cache.MoveToTail(g2);   // middle to newest
        cache.MoveToTail(g2);   // already newest
        cache.Detach(g4);
        cache.Detach(g4);       // unlinked: nothing happens
        EXPECT_EQ(g4->cacheNext, nullptr);
        EXPECT_EQ(g4->cachePrev, nullptr);
        cache.AddBefore(g4, g1);  // new oldest
    }
    EXPECT_EQ(Ages(), (Ids{4, 1, 3, 2}));
    for (HSCGop* g : {g1, g2, g4}) g->Release();
}

// ---------------------------------------------------------------------------------------------
// The ownership check: only a GOP held once, by the caller alone, may enter the cache.

namespace {
void StdoutToStderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
}
}  // namespace

struct GopCacheDeathTest : ::testing::TestWithParam<int> {
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(GopCacheDeathTest, AddWithoutExactlyOneReferenceEndsTheProcess) {
    const int refs = GetParam();
    EXPECT_DEATH(
        {
            StdoutToStderr();
            MvGopCache cache(1000);
            auto* g = new HSCGop;
            for (int i = 0; i < refs; ++i) g->AddRef();
            cache.AddReceivedGop(kChan, g, false);
        },
        "\\[CACHE\\] Add failed \\(GOP LOCK\\)\\(" + std::to_string(refs) + "\\)");
}
INSTANTIATE_TEST_SUITE_P(Refs, GopCacheDeathTest, ::testing::Values(0, 2, 3));

// A GOP already cached under another key is shared, so offering it under a new key is fatal
// too instead of relinking it.
TEST(GopCacheDeath, CachedGopOfferedUnderAnotherKeyEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            StdoutToStderr();
            MvGopCache cache(1000);
            auto* g = new HSCGop;
            g->AddRef();
            cache.AddReceivedGop(kChan, g, false);
            cache.AddReceivedGop(MvCIDMake(1201, 1, 7), g, false);
        },
        "\\[CACHE\\] Add failed \\(GOP LOCK\\)\\(2\\)");
}

// ---------------------------------------------------------------------------------------------
// The process-wide instance.

// Before ITGCacheInit nothing is cached and nothing crashes; run in a child so that the
// instance is surely absent.
TEST(GopCacheGlobal, EntryPointsBeforeInitFailCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto* g = new HSCGop;
            g->AddRef();
            HSCGop* out = nullptr;
            ITGSetCacheSize(5);
            const bool ok = MvGopCache::ITGGetCache() == nullptr &&
                            !ITGAddGopAdv(kChan, g, false, nullptr) && g->refCount.load() == 1 &&
                            !ITGGetGopAdv(kChan, 0, out, nullptr) && out == nullptr &&
                            ITGGetCacheSize() == 0 && ITGGetCacheCount() == 0;
            g->Release();
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(GopCacheGlobal, InitOnceComputeFootprintOnAddAndResize) {
    testing::internal::CaptureStdout();
    MvGopCache* cache = ITGCacheInit(68719476736ull);  // 64 GiB, the default budget
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_NE(cache, nullptr);
    EXPECT_NE(log.find("[CACHE] Initialized cache to 68719476736 bytes"), std::string::npos) << log;
    EXPECT_EQ(MvGopCache::ITGGetCache(), cache);
    EXPECT_EQ(ITGCacheInit(1u << 20), cache);  // a second call keeps the instance
    EXPECT_EQ(cache->GetCacheLimit(), 1u << 20);

    const tagMvCID cid = MvCIDMake(99, 2, 3);
    auto* g = new HSCGop;
    g->gopId = 1;
    g->dataSize = 5000;
    ASSERT_TRUE(g->ReAlloc());  // 8192 mapped
    uint8_t pat[188] = {0x47};
    g->patPackets.Add(pat, 188);
    g->tsInfos.resize(3);
    const uint64_t expected = 128 + 8192 + 188 + 30;
    ASSERT_EQ(g->ComputeFootprint(), expected);
    g->AddRef();
    ASSERT_TRUE(ITGAddGopAdv(cid, g, false, nullptr));
    EXPECT_EQ(g->footprint, expected);
    EXPECT_EQ(ITGGetCacheSize(), expected);
    EXPECT_EQ(ITGGetCacheCount(), 1u);

    // A footprint already present is kept as it is.
    auto* h = new HSCGop;
    h->gopId = 2;
    h->footprint = 1000;
    h->AddRef();
    ASSERT_TRUE(ITGAddGopAdv(cid, h, false));
    EXPECT_EQ(ITGGetCacheSize(), expected + 1000);

    HSCGop* out = nullptr;
    ASSERT_TRUE(ITGGetGopAdv(cid, 2, out, nullptr));
    EXPECT_EQ(out, h);
    out->Release();

    // The new budget applies at the next add.
    ITGSetCacheSize(1500);
    EXPECT_EQ(ITGGetCacheCount(), 2u);
    auto* k = new HSCGop;
    k->gopId = 3;
    k->footprint = 400;
    k->AddRef();
    ASSERT_TRUE(ITGAddGopAdv(cid, k, true, nullptr));
    EXPECT_EQ(ITGGetCacheCount(), 2u);
    EXPECT_EQ(ITGGetCacheSize(), 1400u);
    EXPECT_FALSE(ITGGetGopAdv(cid, 1, out));
    EXPECT_EQ(g->refCount.load(), 1);
    for (HSCGop* x : {g, h, k}) x->Release();

    ITGSetCacheSize(0);  // empty it for whatever runs next in this process
    auto* last = new HSCGop;
    last->footprint = 1;
    last->AddRef();
    ASSERT_TRUE(ITGAddGopAdv(cid, last, false));
    last->Release();
    EXPECT_EQ(ITGGetCacheCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Concurrent use: writers add (and drop their reference at once, so eviction is what frees a
// GOP), readers take GOPs near the live edge and read their data while the cache evicts them.

TEST(GopCacheConcurrency, WritersAndReadersShareGopsSafely) {
    constexpr int kWriters = 3, kReaders = 3, kGops = 1500;
    constexpr uint64_t kFootprint = 4096 + 128;
    std::atomic<int> deaths{0}, created{0}, hits{0}, bad{0};
    std::atomic<uint64_t> edge[kWriters];
    for (auto& e : edge) e = 0;
    {
        MvGopCache cache(40 * kFootprint);
        std::atomic<bool> writing{true};
        std::vector<std::thread> threads;
        for (int w = 0; w < kWriters; ++w)
            threads.emplace_back([&, w] {
                const tagMvCID cid = MvCIDMake(500 + w, 0, 1);
                for (uint64_t id = 1; id <= kGops; ++id) {
                    auto* g = new CountedGop(&deaths);
                    created.fetch_add(1);
                    g->gopId = id;
                    g->dataSize = 4096;
                    g->ReAlloc();
                    memset(g->data, static_cast<int>(id & 0xFF), 4096);
                    g->footprint = g->ComputeFootprint();
                    g->AddRef();
                    if (!cache.AddReceivedGop(cid, g, false)) bad.fetch_add(1);
                    g->Release();
                    edge[w].store(id);
                    // Shrinking and growing the budget under the writers' feet.
                    if (id % 200 == 0) cache.SetNewSize((id % 400 == 0 ? 40 : 5) * kFootprint);
                }
            });
        for (int r = 0; r < kReaders; ++r)
            threads.emplace_back([&, r] {
                std::mt19937 rng(r);
                while (writing.load()) {
                    const int w = static_cast<int>(rng() % kWriters);
                    const uint64_t top = edge[w].load();
                    if (top == 0) continue;
                    const uint64_t id = top - std::min<uint64_t>(top - 1, rng() % 8);
                    HSCGop* g = nullptr;
                    if (!cache.RetrieveGopAdv(MvCIDMake(500 + w, 0, 1), id, g)) continue;
                    hits.fetch_add(1);
                    std::this_thread::yield();  // let the writers evict it meanwhile
                    if (g->gopId != id || g->cid != MvCIDMake(500 + w, 0, 1) ||
                        g->data[0] != static_cast<uint8_t>(id) ||
                        g->data[4095] != static_cast<uint8_t>(id))
                        bad.fetch_add(1);
                    g->Release();
                }
            });
        for (int w = 0; w < kWriters; ++w) threads[w].join();
        writing = false;
        for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();

        EXPECT_EQ(bad.load(), 0);
        EXPECT_GT(hits.load(), 0);
        EXPECT_LE(cache.GetCacheSize(), cache.GetCacheLimit());
        EXPECT_EQ(cache.GetCacheSize(), cache.GetCacheCount() * kFootprint);
        EXPECT_EQ(deaths.load(), created.load() - static_cast<int>(cache.GetCacheCount()));
    }
    EXPECT_EQ(deaths.load(), created.load());
}

// Two writers racing to offer the same keys: each key is taken exactly once, the loser's GOP is
// left to its owner.
TEST(GopCacheConcurrency, RacingOffersOfOneKeyTakeExactlyOne) {
    constexpr int kKeys = 2000;
    std::atomic<int> deaths{0}, accepted{0};
    {
        MvGopCache cache(UINT64_MAX);
        auto offer = [&] {
            for (uint64_t id = 0; id < kKeys; ++id) {
                auto* g = new CountedGop(&deaths);
                g->gopId = id;
                g->footprint = 10;
                g->AddRef();
                if (cache.AddReceivedGop(kChan, g, (id & 1) != 0)) accepted.fetch_add(1);
                g->Release();
            }
        };
        std::thread a(offer), b(offer);
        a.join();
        b.join();
        EXPECT_EQ(accepted.load(), kKeys);
        EXPECT_EQ(cache.GetCacheCount(), static_cast<uint64_t>(kKeys));
        EXPECT_EQ(cache.GetCacheSize(), 10u * kKeys);
        EXPECT_EQ(deaths.load(), kKeys);
    }
    EXPECT_EQ(deaths.load(), 2 * kKeys);
}
