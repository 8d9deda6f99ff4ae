// The GOP cache: recently received and recently loaded GOPs kept in memory under a byte budget,
// keyed by (content identifier, GOP number) and evicted oldest-first. GOPs are shared with
// their readers by reference count, so an evicted GOP lives on while a reader still holds it.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "mvcommondata.h"
#include "mvsync.h"

// Index key: content identifier first, GOP number second (the 128-bit key of the cache).
struct MvGopCacheKey {
    tagMvCID cid = 0;
    uint64_t gopId = 0;
    friend auto operator<=>(const MvGopCacheKey&, const MvGopCacheKey&) = default;
};

// One mutex (the base) guards the index and the age list; size, limit and entry count are
// atomics that may be read without it.
//
// Age list: a doubly linked list through each cached GOP's cacheNext/cachePrev links between a
// head and a tail sentinel; the head side is the oldest entry. The links cost the cache no
// allocation; the index nodes are recycled, so at steady state an add that evicts allocates
// nothing either.
class MvGopCache : public MvMutexSync {
public:
    explicit MvGopCache(uint64_t limit);
    // Gives back the cache's reference of every cached GOP (the process-wide instance is never
    // destroyed; fresh instances in tests are).
    ~MvGopCache() override;

    // Offers a GOP. The content id is stored in the GOP. When the key is already cached the
    // offered GOP is not taken and false is returned; with `touch` the cached GOP becomes the
    // newest. Otherwise the caller must hold exactly one reference (anything else ends the
    // process): the cache takes its own, adds the footprint and evicts oldest-first while the
    // size is above the limit, possibly the GOP just added; true.
    bool AddReceivedGop(tagMvCID cid, HSCGop* gop, bool touch);
    // On a hit takes a reference for the caller, stores the GOP in `out` and returns true. The
    // age order is not changed.
    bool RetrieveGopAdv(tagMvCID cid, uint64_t gopId, HSCGop*& out);
    // Drops every cached GOP of exactly this content identifier and returns how many: a VOD
    // title that is replaced or deleted must not be served from the cache afterwards. Readers
    // that hold one of these GOPs keep it until they release it.
    size_t RemoveContent(tagMvCID cid);
    // New byte budget; applied at the next add.
    void SetNewSize(uint64_t limit) { m_limit.store(limit, std::memory_order_relaxed); }
    uint64_t GetCacheSize() const { return m_size.load(std::memory_order_relaxed); }
    uint64_t GetCacheCount() const { return m_entries.load(std::memory_order_relaxed); }
    uint64_t GetCacheLimit() const { return m_limit.load(std::memory_order_relaxed); }

    // Age list primitives; the caller holds the cache mutex.
    void AddBefore(HSCGop* gop, HSCGop* before);  // insert gop just before `before`
    void AddToTail(HSCGop* gop);                  // newest position
    void Detach(HSCGop* gop);                     // unlink and clear both links; no-op if unlinked
    void MoveToTail(HSCGop* gop);                 // Detach, then AddToTail
    // Oldest and newest cached GOP, null when empty; the caller holds the cache mutex.
    HSCGop* Oldest() { return m_head.cacheNext == &m_tail ? nullptr : m_head.cacheNext; }
    HSCGop* Newest() { return m_tail.cachePrev == &m_head ? nullptr : m_tail.cachePrev; }

    // The process-wide instance. ITGCacheInit creates it once with the given limit (the caller
    // passes CACHESIZE) and logs it; a second call keeps the existing instance and only applies
    // the new limit. Before ITGCacheInit the other entry points find no cache: adds and lookups
    // fail, sizes are 0.
    static MvGopCache* ITGCacheInit(uint64_t limit);
    static MvGopCache* ITGGetCache();
    static void ITGSetCacheSize(uint64_t bytes);
    // Computes and stores the GOP's footprint when it has none, then AddReceivedGop. `stats` is
    // accepted for the callers' convenience and not used.
    static bool ITGAddGopAdv(tagMvCID cid, HSCGop* gop, bool touch, void* stats = nullptr);
    static bool ITGGetGopAdv(tagMvCID cid, uint64_t gopId, HSCGop*& out, void* stats = nullptr);
    // RemoveContent on the process-wide instance; 0 before ITGCacheInit.
    static size_t ITGRemoveContentGops(tagMvCID cid);
    static uint64_t ITGGetCacheSize();
    static uint64_t ITGGetCacheCount();

private:
    using Index = std::map<MvGopCacheKey, HSCGop*>;

    void EvictOldest();

    Index m_index;
    std::vector<Index::node_type> m_spareNodes;  // recycled index nodes, reserved up front
    // Sentinels: plain GOP objects, which map nothing until told to, so they cost only their
    // own few hundred bytes. They never carry a reference.
    HSCGop m_head;
    HSCGop m_tail;
    std::atomic<uint64_t> m_size{0};
    std::atomic<uint64_t> m_limit{0};
    std::atomic<uint64_t> m_entries{0};
};

// The process-wide entry points under their plain names.
inline MvGopCache* ITGCacheInit(uint64_t limit) { return MvGopCache::ITGCacheInit(limit); }
inline void ITGSetCacheSize(uint64_t bytes) { MvGopCache::ITGSetCacheSize(bytes); }
inline bool ITGAddGopAdv(tagMvCID cid, HSCGop* gop, bool touch, void* stats = nullptr) {
    return MvGopCache::ITGAddGopAdv(cid, gop, touch, stats);
}
inline size_t ITGRemoveContentGops(tagMvCID cid) { return MvGopCache::ITGRemoveContentGops(cid); }
inline bool ITGGetGopAdv(tagMvCID cid, uint64_t gopId, HSCGop*& out, void* stats = nullptr) {
    return MvGopCache::ITGGetGopAdv(cid, gopId, out, stats);
}
inline uint64_t ITGGetCacheSize() { return MvGopCache::ITGGetCacheSize(); }
inline uint64_t ITGGetCacheCount() { return MvGopCache::ITGGetCacheCount(); }
