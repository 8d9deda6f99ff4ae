#include "gopcache.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "mvlogger.h"

namespace {

// Index nodes kept for reuse. An add evicts at most a few GOPs at steady state, so a handful
// covers it; a large drop of the limit frees the surplus nodes instead of hoarding them.
constexpr size_t kSpareNodes = 32;

// Readable form of a packed time for the log ("2023-04-05 12:34:56.78").
const char* TimeText(char (&out)[32], MvTime t) {
    snprintf(out, sizeof(out), "%04u-%02u-%02u %02u:%02u:%02u.%02u",
             static_cast<unsigned>(t >> 48), static_cast<unsigned>((t >> 40) & 0xFF),
             static_cast<unsigned>((t >> 32) & 0xFF), static_cast<unsigned>((t >> 24) & 0xFF),
             static_cast<unsigned>((t >> 16) & 0xFF), static_cast<unsigned>((t >> 8) & 0xFF),
             static_cast<unsigned>(t & 0xFF));
    return out;
}

std::atomic<MvGopCache*> g_cache{nullptr};
MvMutexSync* CacheInitLock() {
    static MvMutexSync lock;
    return &lock;
}

}  // namespace

MvGopCache::MvGopCache(uint64_t limit) {
    m_limit.store(limit, std::memory_order_relaxed);
    m_spareNodes.reserve(kSpareNodes);
    m_head.cacheNext = &m_tail;
    m_tail.cachePrev = &m_head;
}

MvGopCache::~MvGopCache() {
    MvSyncGuard guard(*this);
    while (HSCGop* gop = Oldest()) {
        Detach(gop);
        gop->Release();
    }
    m_index.clear();
    m_size.store(0, std::memory_order_relaxed);
    m_entries.store(0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Age list.

void MvGopCache::AddBefore(HSCGop* gop, HSCGop* before) {
    HSCGop* prev = before->cachePrev;
    gop->cachePrev = prev;
    gop->cacheNext = before;
    prev->cacheNext = gop;
    before->cachePrev = gop;
}

void MvGopCache::AddToTail(HSCGop* gop) { AddBefore(gop, &m_tail); }

void MvGopCache::Detach(HSCGop* gop) {
    if (gop->cachePrev != nullptr) gop->cachePrev->cacheNext = gop->cacheNext;
    if (gop->cacheNext != nullptr) gop->cacheNext->cachePrev = gop->cachePrev;
    gop->cacheNext = nullptr;
    gop->cachePrev = nullptr;
}

void MvGopCache::MoveToTail(HSCGop* gop) {
    Detach(gop);
    AddToTail(gop);
}

// ---------------------------------------------------------------------------------------------

void MvGopCache::EvictOldest() {
    HSCGop* gop = Oldest();
    if (gop == nullptr) return;
    // Clamped: a footprint changed behind the cache's back must not wrap the size into a value
    // that would then evict everything on every add.
    const uint64_t size = m_size.load(std::memory_order_relaxed);
    m_size.store(size > gop->footprint ? size - gop->footprint : 0, std::memory_order_relaxed);

    auto it = m_index.find(MvGopCacheKey{gop->cid, gop->gopId});
    if (it == m_index.end() || it->second != gop) {
        char when[32];
        MVLOGE("[CACHE] Delete from map failed (entry not found) " MV_CID_FMT ", ID(%llu), L(%d), T(%s)",
               MV_CID_ARGS(gop->cid), static_cast<unsigned long long>(gop->gopId),
               static_cast<int>(gop->refCount.load(std::memory_order_relaxed)),
               TimeText(when, gop->startTime));
        // The GOP's own fields no longer name its entry (a holder changed them). Find the entry
        // by value so that the index never keeps a pointer to a GOP the cache no longer holds.
        it = m_index.begin();
        while (it != m_index.end() && it->second != gop) ++it;
    }
    if (it != m_index.end()) {
        if (m_spareNodes.size() < kSpareNodes)
            m_spareNodes.push_back(m_index.extract(it));
        else
            m_index.erase(it);
    }
    Detach(gop);
    gop->Release();
}

bool MvGopCache::AddReceivedGop(tagMvCID cid, HSCGop* gop, bool touch) {
    if (gop == nullptr) {
        MVLOGE("[CACHE] Add refused: no GOP, " MV_CID_FMT, MV_CID_ARGS(cid));
        return false;
    }
    MvSyncGuard guard(*this);
    gop->cid = cid;
    const MvGopCacheKey key{cid, gop->gopId};
    auto hint = m_index.lower_bound(key);
    if (hint != m_index.end() && hint->first == key) {
        if (touch) MoveToTail(hint->second);
        return false;
    }

    // The cache's links live in the GOP, so a GOP may only enter the cache from a single owner;
    // a shared GOP here could already be linked elsewhere.
    const int32_t refs = gop->refCount.load(std::memory_order_acquire);
    if (refs != 1) {
        MvLogSetFlush(true);
        MVLOGE("[CACHE] Add failed (GOP LOCK)(%d)", static_cast<int>(refs));
        abort();
    }
    gop->AddRef();
    AddToTail(gop);
    if (!m_spareNodes.empty()) {
        Index::node_type node = std::move(m_spareNodes.back());
        m_spareNodes.pop_back();
        node.key() = key;
        node.mapped() = gop;
        m_index.insert(hint, std::move(node));
    } else {
        m_index.emplace_hint(hint, key, gop);
    }
    m_size.fetch_add(gop->footprint, std::memory_order_relaxed);

    const uint64_t limit = m_limit.load(std::memory_order_relaxed);
    while (m_size.load(std::memory_order_relaxed) > limit && Oldest() != nullptr) EvictOldest();

    m_entries.store(m_index.size(), std::memory_order_relaxed);
    return true;
}

size_t MvGopCache::RemoveContent(tagMvCID cid) {
    MvSyncGuard guard(*this);
    size_t removed = 0;
    auto it = m_index.lower_bound(MvGopCacheKey{cid, 0});
    while (it != m_index.end() && it->first.cid == cid) {
        HSCGop* gop = it->second;
        const uint64_t size = m_size.load(std::memory_order_relaxed);
        m_size.store(size > gop->footprint ? size - gop->footprint : 0, std::memory_order_relaxed);
        auto next = std::next(it);
        if (m_spareNodes.size() < kSpareNodes)
            m_spareNodes.push_back(m_index.extract(it));
        else
            m_index.erase(it);
        it = next;
        Detach(gop);
        gop->Release();
        ++removed;
    }
    m_entries.store(m_index.size(), std::memory_order_relaxed);
    return removed;
}

bool MvGopCache::RetrieveGopAdv(tagMvCID cid, uint64_t gopId, HSCGop*& out) {
    MvSyncGuard guard(*this);
    auto it = m_index.find(MvGopCacheKey{cid, gopId});
    if (it == m_index.end()) return false;
    it->second->AddRef();
    out = it->second;
    return true;
}

// ---------------------------------------------------------------------------------------------
// The process-wide instance.

MvGopCache* MvGopCache::ITGCacheInit(uint64_t limit) {
    MvSyncGuard guard(*CacheInitLock());
    MvGopCache* cache = g_cache.load(std::memory_order_acquire);
    if (cache == nullptr) {
        cache = new MvGopCache(limit);
        g_cache.store(cache, std::memory_order_release);
    } else {
        cache->SetNewSize(limit);
    }
    // Printed in full: a budget above 4 GiB (the default is 64 GiB) must not read as a small one.
    MVLOGI("[CACHE] Initialized cache to %llu bytes", static_cast<unsigned long long>(limit));
    return cache;
}

MvGopCache* MvGopCache::ITGGetCache() { return g_cache.load(std::memory_order_acquire); }

void MvGopCache::ITGSetCacheSize(uint64_t bytes) {
    if (MvGopCache* cache = ITGGetCache()) cache->SetNewSize(bytes);
}

bool MvGopCache::ITGAddGopAdv(tagMvCID cid, HSCGop* gop, bool touch, void* /*stats*/) {
    MvGopCache* cache = ITGGetCache();
    if (cache == nullptr) {
        MVLOGE("[CACHE] Add refused: cache not initialized, " MV_CID_FMT, MV_CID_ARGS(cid));
        return false;
    }
    if (gop != nullptr && gop->footprint == 0) gop->footprint = gop->ComputeFootprint();
    return cache->AddReceivedGop(cid, gop, touch);
}

bool MvGopCache::ITGGetGopAdv(tagMvCID cid, uint64_t gopId, HSCGop*& out, void* /*stats*/) {
    MvGopCache* cache = ITGGetCache();
    return cache != nullptr && cache->RetrieveGopAdv(cid, gopId, out);
}

size_t MvGopCache::ITGRemoveContentGops(tagMvCID cid) {
    MvGopCache* cache = ITGGetCache();
    return cache != nullptr ? cache->RemoveContent(cid) : 0;
}

uint64_t MvGopCache::ITGGetCacheSize() {
    MvGopCache* cache = ITGGetCache();
    return cache != nullptr ? cache->GetCacheSize() : 0;
}

uint64_t MvGopCache::ITGGetCacheCount() {
    MvGopCache* cache = ITGGetCache();
    return cache != nullptr ? cache->GetCacheCount() : 0;
}
