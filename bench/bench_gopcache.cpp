// Per-GOP costs of the GOP cache at steady state: an add that evicts the oldest entry (the
// cache's own bookkeeping, and the same with the evicted GOP's destruction), and a lookup hit.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "gopcache.h"

namespace {

constexpr uint64_t kFootprint = 1u << 20;
constexpr uint32_t kChannels = 200;

tagMvCID ChannelOf(uint64_t k) { return MvCIDMake(static_cast<uint32_t>(k % kChannels), 0, 1); }
uint64_t GopIdOf(uint64_t k) { return k / kChannels; }

}  // namespace

// A full cache of `entries` GOPs from 200 channels; every add pushes the oldest out. The
// benchmark keeps its own reference on each GOP, so the evicted one survives and is offered
// again under the next key: the figure is the cache's bookkeeping alone.
static void BM_GopCacheAddEvict(benchmark::State& state) {
    const uint64_t entries = static_cast<uint64_t>(state.range(0));
    std::vector<std::unique_ptr<HSCGop>> pool;  // outlives the cache, which releases first
    MvGopCache cache(entries * kFootprint);
    for (uint64_t i = 0; i <= entries; ++i) {
        pool.emplace_back(new HSCGop);
        pool.back()->footprint = kFootprint;
        pool.back()->AddRef();
    }
    uint64_t k = 0;
    for (; k < entries; ++k) {
        pool[k]->gopId = GopIdOf(k);
        cache.AddReceivedGop(ChannelOf(k), pool[k].get(), false);
    }
    for (auto _ : state) {
        // The GOP evicted by the previous add (or the spare one at the start).
        HSCGop* g = pool[k % (entries + 1)].get();
        g->gopId = GopIdOf(k);
        cache.AddReceivedGop(ChannelOf(k), g, false);
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["entries"] = static_cast<double>(cache.GetCacheCount());
}
BENCHMARK(BM_GopCacheAddEvict)->Arg(64)->Arg(1024)->Arg(16384);

// The channel writer's path: a new GOP with a 1 MiB block is offered and its writer reference
// dropped; the add evicts and destroys the oldest GOP (its block unmapped). Includes the GOP's
// creation and destruction, so it is the whole per-GOP memory cost of caching.
static void BM_GopCacheAddEvictDestroy(benchmark::State& state) {
    const uint64_t entries = static_cast<uint64_t>(state.range(0));
    MvGopCache cache(0);
    auto make = [](uint64_t k) {
        auto* g = new HSCGop;
        g->gopId = GopIdOf(k);
        g->dataSize = 780 * MV_GOP_RECORD_SIZE;
        g->ReAlloc();
        g->data[0] = 1;  // one page touched, as a minimum
        g->footprint = g->ComputeFootprint();
        g->AddRef();
        return g;
    };
    uint64_t k = 0;
    HSCGop* first = make(k);
    cache.SetNewSize(entries * first->footprint);
    cache.AddReceivedGop(ChannelOf(k), first, false);
    first->Release();
    for (++k; k < entries; ++k) {
        HSCGop* g = make(k);
        cache.AddReceivedGop(ChannelOf(k), g, false);
        g->Release();
    }
    for (auto _ : state) {
        HSCGop* g = make(k);
        cache.AddReceivedGop(ChannelOf(k), g, false);
        g->Release();
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["entries"] = static_cast<double>(cache.GetCacheCount());
}
BENCHMARK(BM_GopCacheAddEvictDestroy)->Arg(1024);

// A lookup hit near the live edge with the reference taken and given back, from 1 and 2
// threads on one cache.
static MvGopCache* g_lookupCache = nullptr;
static void BM_GopCacheRetrieveHit(benchmark::State& state) {
    constexpr uint64_t kEntries = 16384;
    if (state.thread_index() == 0) {
        g_lookupCache = new MvGopCache(UINT64_MAX);
        for (uint64_t k = 0; k < kEntries; ++k) {
            auto* g = new HSCGop;
            g->gopId = GopIdOf(k);
            g->footprint = kFootprint;
            g->AddRef();
            g_lookupCache->AddReceivedGop(ChannelOf(k), g, false);
            g->Release();
        }
    }
    uint64_t k = static_cast<uint64_t>(state.thread_index()) * 7919;
    for (auto _ : state) {
        HSCGop* g = nullptr;
        const uint64_t key = kEntries - 1 - (k++ % 2000);
        if (g_lookupCache->RetrieveGopAdv(ChannelOf(key), GopIdOf(key), g)) g->Release();
        benchmark::DoNotOptimize(g);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        delete g_lookupCache;
        g_lookupCache = nullptr;
    }
}
BENCHMARK(BM_GopCacheRetrieveHit)->Threads(1)->Threads(2);

BENCHMARK_MAIN();
