// The GOP cache under a stream of real GOPs (footprints of GOPs with their accessors) offered
// from several threads while another thread keeps changing the byte budget and a reader holds
// GOPs that are being evicted: once an add has returned, the cached bytes are within the limit
// that add saw, and the age list, the size and the entry count agree.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "storint_helpers.h"

namespace {

using namespace storint;

// Under the cache mutex: the footprints and the number of GOPs on the age list.
void WalkAgeList(MvGopCache& cache, uint64_t& bytes, uint64_t& count) {
    bytes = 0;
    count = 0;
    HSCGop* last = cache.Newest();
    for (HSCGop* g = cache.Oldest(); g != nullptr; g = g->cacheNext) {
        bytes += g->footprint;
        if (++count > 1000000 || g == last) break;
    }
}

TEST(StorintCache, CachedBytesStayWithinTheLimitAfterEveryAdd) {
    constexpr int kAdders = 3;
    constexpr uint64_t kAdds = 1500;
    RealGops gops;
    uint64_t largest = 0;
    for (size_t k = 0; k < gops.Count(); ++k) {
        std::unique_ptr<HSCGop> g(gops.Make(k + 1, RunTime(k + 1), RunPts(k + 1)));
        largest = std::max<uint64_t>(largest, g->ComputeFootprint());
    }
    // Budgets from none at all (every GOP evicted by its own add) to several dozen GOPs.
    const uint64_t limits[] = {0, largest / 2, largest, 3 * largest, 10 * largest, 40 * largest};

    MvGopCache cache(limits[3]);
    std::atomic<uint64_t> limitVersion{0};
    std::atomic<bool> adding{true};
    std::atomic<int> refused{0}, checked{0}, overLimit{0}, inconsistent{0}, badReads{0};
    std::atomic<uint64_t> edge[kAdders];
    for (auto& e : edge) e = 0;

    std::vector<std::thread> threads;
    // The budget changes under the cache mutex, so that no add sees two budgets; the version
    // tells an adder whether the budget it checks against is the one its add (and every add
    // completed since) used. It changes after every few adds, whatever the machine's speed.
    std::atomic<uint64_t> adds{0};
    threads.emplace_back([&] {
        size_t i = 0;
        uint64_t last = 0;
        while (adding.load()) {
            if (adds.load() < last + 7) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            last = adds.load();
            MvSyncGuard guard(cache);
            cache.SetNewSize(limits[i++ % std::size(limits)]);
            limitVersion.fetch_add(1);
        }
    });
    for (int w = 0; w < kAdders; ++w)
        threads.emplace_back([&, w] {
            const tagMvCID cid = MvCIDMake(7100 + w, 0, 0);
            for (uint64_t n = 1; n <= kAdds; ++n) {
                HSCGop* g = gops.Make(n, RunTime(n), RunPts(n));
                g->footprint = g->ComputeFootprint();
                g->AddRef();
                const uint64_t version = limitVersion.load();
                if (!cache.AddReceivedGop(cid, g, false)) refused.fetch_add(1);
                g->Release();
                edge[w].store(n);
                adds.fetch_add(1);
                MvSyncGuard guard(cache);
                uint64_t bytes = 0, count = 0;
                WalkAgeList(cache, bytes, count);
                if (bytes != cache.GetCacheSize() || count != cache.GetCacheCount())
                    inconsistent.fetch_add(1);
                if (limitVersion.load() == version) {
                    checked.fetch_add(1);
                    if (cache.GetCacheSize() > cache.GetCacheLimit()) overLimit.fetch_add(1);
                }
            }
        });
    // A reader takes GOPs near the live edges and reads them while they are being evicted.
    threads.emplace_back([&] {
        std::mt19937 rng(7);
        while (adding.load()) {
            const int w = static_cast<int>(rng() % kAdders);
            const uint64_t top = edge[w].load();
            if (top < 4) continue;
            const uint64_t n = top - rng() % 4;
            HSCGop* g = nullptr;
            if (!cache.RetrieveGopAdv(MvCIDMake(7100 + w, 0, 0), n, g)) continue;
            std::this_thread::yield();
            const HSCGop& t = gops.Template(n);
            if (g->gopId != n || g->dataSize != t.dataSize ||
                memcmp(g->data, t.data, t.dataSize) != 0)
                badReads.fetch_add(1);
            g->Release();
        }
    });
    for (int w = 1; w <= kAdders; ++w) threads[static_cast<size_t>(w)].join();
    adding = false;
    threads.front().join();
    threads.back().join();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(overLimit.load(), 0);
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(checked.load(), kAdders * static_cast<int>(kAdds) / 4);
    EXPECT_GT(limitVersion.load(), 100u);  // the budget did keep changing

    // A lowered budget takes effect with the next add, which evicts down to it.
    cache.SetNewSize(2 * largest);
    HSCGop* g = gops.Make(kAdds + 1, RunTime(kAdds + 1), RunPts(kAdds + 1));
    g->footprint = g->ComputeFootprint();
    g->AddRef();
    EXPECT_TRUE(cache.AddReceivedGop(MvCIDMake(7100, 0, 0), g, false));
    g->Release();
    EXPECT_LE(cache.GetCacheSize(), 2 * largest);
    EXPECT_GE(cache.GetCacheCount(), 1u);
}

}  // namespace
