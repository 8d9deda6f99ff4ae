// Content records: the block chain of one content (or one storage's free pool), its GOP history
// with the derived bitrate and HLS segment duration, and the lookups from GOP number, time or PTS
// to block and GOP.

#include "storagemgr_cid.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "cfg.h"
#include "mvlogger.h"
#include "storagemgr_block.h"

namespace {

constexpr uint32_t kPoolWriterId = 0xFFFFFF;
constexpr int kTimeWindowSecs = 5;  // GetChunkIDForTime accepts blocks this close to t
constexpr std::align_val_t kWritingAlign{16};

// Raises `a` to `v` when v is larger; true when it did.
template <typename T>
bool AtomicRaise(std::atomic<T>& a, T v) {
    T cur = a.load(std::memory_order_relaxed);
    while (cur < v) {
        if (a.compare_exchange_weak(cur, v, std::memory_order_relaxed)) return true;
    }
    return false;
}

// Lowers `a` to `v` when v is smaller or `a` holds no value yet (0).
template <typename T>
void AtomicLowerNonZero(std::atomic<T>& a, T v) {
    T cur = a.load(std::memory_order_relaxed);
    while (cur == 0 || v < cur) {
        if (a.compare_exchange_weak(cur, v, std::memory_order_relaxed)) return;
    }
}

// A block's fields as the lookups use them, read once through the block's atomic accessors. The
// GOP count is read first: the writer publishes a GOP by incrementing it after the other fields
// are in place, so a non-zero count guarantees start and end values that belong together with at
// least one GOP.
struct BlockView {
    HSCSingleChunk* block = nullptr;
    uint64_t startGOP = 0;
    uint64_t endGOP = 0;
    MvTime startTime = 0;
    MvTime endTime = 0;
};

bool ReadView(HSCSingleChunk* block, BlockView& v) {
    if (block->GetGOPCount() == 0) return false;  // an empty block holds no GOP and no time
    v.block = block;
    v.startGOP = block->GetStartGOPID();
    v.endGOP = block->GetEndGOPID();
    v.startTime = block->GetStartTime();
    v.endTime = block->GetEndTime();
    return true;
}

void LogMismatch(const HSCCIDInfo& r, const char* operation, tagMvCID blockCid) {
    MVLOGE("[CHUNK] %s: Chunk contentId(%u) mismatch(%u)", operation,
           static_cast<unsigned>(blockCid), static_cast<unsigned>(r.m_cid));
}

// Copy of the chain taken under lock 0 shared: lookups scan the copy without the lock.
std::deque<uint64_t> CopyChain(HSCCIDInfo& r) {
    r.AllocRead(HSC_LOCK_CHAIN);
    std::deque<uint64_t> copy(r.m_chain);
    r.ReleaseRead(HSC_LOCK_CHAIN);
    return copy;
}

// Resolves one id of a chain copy for a lookup: false for an id without a block, a block of
// another content (logged) or an empty block; else the block's fields in `v`.
bool ResolveForLookup(HSCCIDInfo& r, uint64_t id, const char* operation, BlockView& v) {
    HSCSingleChunk* block = r.m_resolver.FindChunk(id);
    if (block == nullptr) return false;
    const tagMvCID blockCid = block->GetContentID();
    if (blockCid != r.m_cid) {
        LogMismatch(r, operation, blockCid);
        return false;
    }
    return ReadView(block, v);
}

// An entry is tested against the record's newest GOP only (not against the other entries of the
// same call).
bool AcceptsEntry(const HSCCIDInfo& r, const HSCPTSInfo& entry) {
    const uint64_t lastGOP = r.m_lastGOP.load(std::memory_order_relaxed);
    if (lastGOP != 0 && lastGOP >= entry.gop) {
        MVLOGW("[CID] " MV_CID_FMT " new GOP(%u) is less than last GOP(%u)", MV_CID_ARGS(r.m_cid),
               static_cast<unsigned>(entry.gop), static_cast<unsigned>(lastGOP));
        return false;
    }
    const MvTime lastTime = r.m_lastGOPTime.load(std::memory_order_relaxed);
    if (lastTime != 0 && lastTime > entry.time) {
        MVLOGW("[CID] " MV_CID_FMT " new GOP(%u) time is less than last GOP(%u) time",
               MV_CID_ARGS(r.m_cid), static_cast<unsigned>(entry.gop),
               static_cast<unsigned>(lastGOP));
        return false;
    }
    return true;
}

// Trims the history and recomputes the bitrate and segment duration; lock 1 is held exclusive.
// The computation needs only the oldest and newest entries, and doing it under the lock keeps the
// segment-duration hold consistent with ResetInfo, which another thread may call.
void TrimAndDeriveLocked(HSCCIDInfo& r) {
    std::deque<HSCPTSInfo>& h = r.m_history;
    auto dropOldest = [&] {
        r.m_historyBytes.fetch_sub(h.front().size, std::memory_order_relaxed);
        h.pop_front();
    };
    while (h.size() > HSC_HISTORY_MAX) dropOldest();
    while (h.size() > HSC_HISTORY_MIN &&
           MvTimeDiffSecs(h.front().time, h.back().time) >= HSC_HISTORY_AGE_SECS)
        dropOldest();

    const ITGMainConf* conf = ITGGetMainConf();
    const size_t n = h.size();
    const uint64_t spanCs =
        n >= HSC_HISTORY_RATE_MIN ? MvTimeDiffCentiSecs(h.back().time, h.front().time) : 0;
    if (spanCs <= 100) {
        r.m_segmentDuration.store(static_cast<int>(conf->HLSSEGMENTDURATION),
                                  std::memory_order_relaxed);
        return;
    }
    const uint64_t bytes = r.m_historyBytes.load(std::memory_order_relaxed);
    r.m_bitrate.store(((bytes * 100 / spanCs) / 1024 + 1) * 8192, std::memory_order_relaxed);

    const double d = std::ceil(static_cast<double>(spanCs) /
                               (static_cast<double>(n - 1) * 100.0) * conf->HLSSEGMENTGOPS);
    double hold = std::max(r.m_segmentDurationHold, d);
    if (hold > 1.5 * d) hold = d;
    r.m_segmentDurationHold = hold;
    r.m_segmentDuration.store(static_cast<int>(hold), std::memory_order_relaxed);
}

// NewInfo / NewInfos: every entry must pass before any is added.
template <typename It>
bool AddEntries(HSCCIDInfo& r, It first, It last) {
    for (It it = first; it != last; ++it)
        if (!AcceptsEntry(r, *it)) return false;
    r.AllocWrite(HSC_LOCK_HISTORY);
    for (It it = first; it != last; ++it) {
        r.m_lastGOP.store(it->gop, std::memory_order_relaxed);
        r.m_lastReceived.store(MvTimeNow(), std::memory_order_relaxed);
        r.m_history.push_back(*it);
        r.m_historyBytes.fetch_add(it->size, std::memory_order_relaxed);
        r.m_lastGOPTime.store(it->time, std::memory_order_relaxed);
    }
    TrimAndDeriveLocked(r);
    r.ReleaseWrite(HSC_LOCK_HISTORY);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

HSCCIDInfo::HSCCIDInfo(tagMvCID cid, uint16_t storageId, HSCChunkResolver& resolver,
                       bool startMonitor)
    : m_cid(cid), m_storageId(storageId), m_resolver(resolver) {
    // Writers are preferred on both locks: the content's one writer (real-time priority) must not
    // be held back indefinitely by a steady stream of delivery lookups. No thread ever takes one
    // of these locks twice, so writer preference cannot deadlock a recursive reader.
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    for (pthread_rwlock_t& lock : m_locks) {
        const int rc = pthread_rwlock_init(&lock, &attr);
        if (rc != 0) {
            MVLOGE("[DBG] pthread_rwlock_init, %d, %d", rc, errno);
            exit(1);
        }
    }
    pthread_rwlockattr_destroy(&attr);
    m_writing = new (::operator new(sizeof(std::atomic<int>), kWritingAlign)) std::atomic<int>(0);

    const uint32_t writerId = MvCIDStreamId(cid);
    if (writerId == kPoolWriterId) {
        if (MvCIDSubStream(cid) != 0 || MvCIDContent(cid) != storageId) {
            MVLOGE("[DBG] " MV_CID_FMT " free block info on storage(%u), invalid nBitrateID",
                   MV_CID_ARGS(cid), static_cast<unsigned>(storageId));
            exit(1);
        }
        return;  // pools are not monitored
    }
    if (writerId != 0) {
        MVLOGE("[DBG] " MV_CID_FMT " WID is not the same as Writer ID of storage(%u)",
               MV_CID_ARGS(cid), static_cast<unsigned>(storageId));
        exit(1);
    }
    if (startMonitor) StartMonitorThread();
    MVLOGI("[CID] " MV_CID_FMT " created new", MV_CID_ARGS(cid));
}

HSCCIDInfo::~HSCCIDInfo() {
    for (pthread_rwlock_t& lock : m_locks) pthread_rwlock_destroy(&lock);
    m_writing->~atomic();
    ::operator delete(m_writing, kWritingAlign);
    m_writing = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Locks. pthread calls return their error number; both it and errno are reported, and the caller
// goes on as if the call had succeeded.

void HSCCIDInfo::AllocRead(int i) {
    const int rc = pthread_rwlock_rdlock(&m_locks[i]);
    if (rc != 0) MVLOGE("[DBG] pthread_rwlock_rdlock, %d, %d", rc, errno);
}

void HSCCIDInfo::ReleaseRead(int i) {
    const int rc = pthread_rwlock_unlock(&m_locks[i]);
    if (rc != 0) MVLOGE("[DBG] pthread_rwlock_unlock/R, %d, %d", rc, errno);
}

void HSCCIDInfo::AllocWrite(int i) {
    const int rc = pthread_rwlock_wrlock(&m_locks[i]);
    if (rc != 0) MVLOGE("[DBG] pthread_rwlock_wrlock, %d, %d", rc, errno);
}

void HSCCIDInfo::ReleaseWrite(int i) {
    const int rc = pthread_rwlock_unlock(&m_locks[i]);
    if (rc != 0) MVLOGE("[DBG] pthread_rwlock_unlock/W, %d, %d", rc, errno);
}

// ---------------------------------------------------------------------------------------------
// Block chain

bool HSCCIDInfo::StartChunk(uint64_t blockId) {
    AllocWrite(HSC_LOCK_CHAIN);
    const bool added = m_blockSet.insert(blockId).second;
    if (added) m_chain.push_back(blockId);
    ReleaseWrite(HSC_LOCK_CHAIN);
    if (!added)
        MVLOGE("[DBG] " MV_CID_FMT " bogus, chunk(%d) exists", MV_CID_ARGS(m_cid),
               static_cast<int>(blockId));
    return added;
}

HSCSingleChunk* HSCCIDInfo::GetFirstAndFree() {
    HSCSingleChunk* found = nullptr;
    // Mismatching blocks are logged after the lock is released.
    std::vector<tagMvCID> mismatches;
    AllocWrite(HSC_LOCK_CHAIN);
    if (IsPool()) {
        // The pool hands out its blocks in order. An id that names no block cannot be handed out
        // at all; it is dropped so that the next one is tried.
        while (found == nullptr && !m_chain.empty()) {
            const uint64_t id = m_chain.front();
            m_chain.pop_front();
            m_blockSet.erase(id);
            found = m_resolver.FindChunk(id);
        }
    } else {
        for (auto it = m_chain.begin(); it != m_chain.end(); ++it) {
            HSCSingleChunk* block = m_resolver.FindChunk(*it);
            if (block == nullptr || !block->IsFlushed()) continue;
            const tagMvCID blockCid = block->GetContentID();
            if (blockCid != m_cid) {
                mismatches.push_back(blockCid);
                continue;
            }
            m_blockSet.erase(*it);
            m_chain.erase(it);
            found = block;
            break;
        }
    }
    ReleaseWrite(HSC_LOCK_CHAIN);
    for (tagMvCID blockCid : mismatches) LogMismatch(*this, "GetFirstAndFree", blockCid);
    return found;
}

void HSCCIDInfo::ForceFreeAll(uint64_t& count) {
    AllocWrite(HSC_LOCK_CHAIN);
    m_pendingRelease.assign(m_blockSet.begin(), m_blockSet.end());  // ascending block id
    count = m_pendingRelease.size();
    m_chain.clear();
    m_blockSet.clear();
    ReleaseWrite(HSC_LOCK_CHAIN);

    ResetInfo();
    SetWritingStatus(0);
    m_diskSave = 0;
    m_diskLoadPartial = 0;
    m_diskLoadFull = 0;
    m_cacheLoad = 0;
    m_infoWorks = 0;
    m_miss = 0;
}

bool HSCCIDInfo::WaitFreeAll() {
    AllocRead(HSC_LOCK_CHAIN);
    const bool empty = m_pendingRelease.empty();
    ReleaseRead(HSC_LOCK_CHAIN);
    return empty;
}

uint64_t HSCCIDInfo::GetChunkCount() {
    AllocRead(HSC_LOCK_CHAIN);
    const uint64_t n = m_chain.size();
    ReleaseRead(HSC_LOCK_CHAIN);
    return n;
}

void HSCCIDInfo::InitialSort() {
    // Runs at start-up before any writer or reader, so the blocks are read under the lock: no I/O
    // is involved, only the blocks' in-memory records.
    struct Entry {
        uint64_t id;
        HSCSingleChunk* block;  // null: the id names no block
        uint64_t startGOP;
    };
    std::vector<Entry> entries;
    AllocWrite(HSC_LOCK_CHAIN);
    entries.reserve(m_chain.size());
    for (uint64_t id : m_chain) {
        HSCSingleChunk* block = m_resolver.FindChunk(id);
        // Ids without a block keep their relative order at the end of the chain.
        entries.push_back({id, block, block != nullptr ? block->GetStartGOPID() : UINT64_MAX});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.startGOP < b.startGOP; });
    for (size_t i = 0; i < entries.size(); ++i) m_chain[i] = entries[i].id;
    ReleaseWrite(HSC_LOCK_CHAIN);

    if (IsPool() || entries.size() <= 2) return;
    // The first and last blocks that exist (ids without a block sit at the end and have no time).
    size_t blocksFound = 0;
    while (blocksFound < entries.size() && entries[blocksFound].block != nullptr) ++blocksFound;
    if (blocksFound <= 2) return;
    const MvTime firstStart = entries.front().block->GetStartTime();
    const MvTime lastStart = entries[blocksFound - 1].block->GetStartTime();
    if (firstStart < lastStart) return;

    // The recording's GOP numbers and times disagree: the storage is inconsistent and the process
    // cannot serve this content.
    MVLOGE("[DBG] Chunks are not sorted for CID (%u)(%u)(%u) / (%llu)(%llu)", MV_CID_ARGS(m_cid),
           static_cast<unsigned long long>(firstStart), static_cast<unsigned long long>(lastStart));
    for (const Entry& e : entries) {
        char startText[32] = "";
        char endText[32] = "";
        uint64_t startGOP = 0, endGOP = 0;
        if (e.block != nullptr) {
            startGOP = e.block->GetStartGOPID();
            endGOP = e.block->GetEndGOPID();
            MvTimeToStrR(startText, e.block->GetStartTime());
            MvTimeToStrR(endText, e.block->GetEndTime());
        }
        MVLOGI("[DBG] " MV_CID_FMT ", ID(%llu), START(%llu)(%s), END(%llu))%s)",
               MV_CID_ARGS(m_cid), static_cast<unsigned long long>(e.id),
               static_cast<unsigned long long>(startGOP), startText,
               static_cast<unsigned long long>(endGOP), endText);
    }
    exit(1);
}

// ---------------------------------------------------------------------------------------------
// GOP history and derived values

bool HSCCIDInfo::NewInfo(const HSCPTSInfo& entry) { return AddEntries(*this, &entry, &entry + 1); }

bool HSCCIDInfo::NewInfos(const std::deque<HSCPTSInfo>& entries) {
    return AddEntries(*this, entries.begin(), entries.end());
}

void HSCCIDInfo::UpdateStats(uint64_t lastGOP, MvTime startTime, MvTime endTime,
                             uint64_t bitrate) {
    if (lastGOP != 0) AtomicRaise(m_lastGOP, lastGOP);
    if (endTime != 0) {
        AtomicRaise(m_lastGOPTime, endTime);
        AtomicRaise(m_endTimeOnStorage, endTime);
    }
    if (startTime != 0) AtomicLowerNonZero(m_startTimeOnStorage, startTime);
    if (bitrate != 0) {
        uint64_t cur = m_bitrate.load(std::memory_order_relaxed);
        // The mean is taken in two halves so that two large rates cannot overflow.
        while (!m_bitrate.compare_exchange_weak(
            cur, cur == 0 ? bitrate : cur / 2 + bitrate / 2 + (cur & bitrate & 1),
            std::memory_order_relaxed)) {
        }
    }
}

void HSCCIDInfo::ResetInfo() {
    // The history goes too: its byte sum is reset here, and keeping entries whose sizes are no
    // longer counted would drive the sum below zero when they are trimmed. It also lets a content
    // that is recorded again from GOP 1 derive its values from the new recording only.
    AllocWrite(HSC_LOCK_HISTORY);
    m_history.clear();
    m_historyBytes.store(0, std::memory_order_relaxed);
    m_segmentDurationHold = HSC_DEFAULT_SEGMENT_HOLD;
    ReleaseWrite(HSC_LOCK_HISTORY);
    m_bitrate.store(HSC_DEFAULT_BITRATE, std::memory_order_relaxed);
    m_segmentDuration.store(0, std::memory_order_relaxed);
    m_users.store(0, std::memory_order_relaxed);
    m_startTimeOnStorage.store(0, std::memory_order_relaxed);
    m_endTimeOnStorage.store(0, std::memory_order_relaxed);
    m_lastGOPTime.store(0, std::memory_order_relaxed);
    m_lastReceived.store(0, std::memory_order_relaxed);
    m_lastGOP.store(0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Lookups

HSCSingleChunk* HSCCIDInfo::GetChunkForGopID(uint64_t gop, bool& isFirst) {
    for (uint64_t id : CopyChain(*this)) {
        BlockView v;
        if (!ResolveForLookup(*this, id, "GetChunkForGopID", v)) continue;
        if (v.startGOP <= gop && gop <= v.endGOP) {
            isFirst = (gop == v.startGOP);
            return v.block;
        }
    }
    return nullptr;
}

HSCSingleChunk* HSCCIDInfo::GetChunkIDForTime(MvTime t) {
    if (t == 0) return nullptr;  // 0 is "no time"
    const MvTime later = MvTimeAddSecs(t, kTimeWindowSecs);
    const MvTime earlier = MvTimeAddSecs(t, -kTimeWindowSecs);
    HSCSingleChunk* near = nullptr;
    for (uint64_t id : CopyChain(*this)) {
        BlockView v;
        if (!ResolveForLookup(*this, id, "GetChunkIDForTime", v)) continue;
        // A block whose GOPs span t is the answer. The 5-second window serves times beside the
        // recorded spans (its ends, gaps, the step between two blocks): taken first, it would
        // give the first seconds of every block to the block before it, which ends within 5 s.
        if (v.startTime <= t && t <= v.endTime) return v.block;
        if (near == nullptr && v.startTime <= later && v.endTime >= earlier) near = v.block;
    }
    return near;
}

void HSCCIDInfo::NearestDataForTime(MvTime t, bool forward, uint64_t& gop, MvTime& time) {
    uint64_t bestGOP = 0;
    MvTime bestTime = 0;
    int64_t bestDiff = INT64_MAX;
    for (uint64_t id : CopyChain(*this)) {
        BlockView v;
        if (!ResolveForLookup(*this, id, "NearestDataForTime", v)) continue;
        if (forward) {
            if (v.startTime <= t) continue;
            const int64_t diff = MvTimeDiffSecs(t, v.startTime);
            if (diff < bestDiff) {
                bestDiff = diff;
                bestGOP = v.startGOP;
                bestTime = v.startTime;
            }
        } else {
            if (v.endTime >= t) continue;
            const int64_t diff = MvTimeDiffSecs(v.endTime, t);
            if (diff < bestDiff) {
                bestDiff = diff;
                bestGOP = v.endGOP;
                bestTime = v.endTime;
            }
        }
    }
    if (bestGOP != 0 && bestTime != 0) {
        gop = bestGOP;
        time = bestTime;
    }
}

void HSCCIDInfo::NearestDataForGop(uint64_t gopNumber, bool forward, uint64_t& gop, MvTime& time) {
    const std::deque<uint64_t> chain = CopyChain(*this);
    if (chain.empty()) return;
    uint64_t bestGOP = 0;
    MvTime bestTime = 0;
    uint64_t bestDiff = UINT64_MAX;
    for (uint64_t id : chain) {
        BlockView v;
        if (!ResolveForLookup(*this, id, "NearestDataForGop", v)) continue;
        if (forward) {
            if (v.startGOP <= gopNumber) continue;
            const uint64_t diff = v.startGOP - gopNumber;
            if (diff < bestDiff) {
                bestDiff = diff;
                bestGOP = v.startGOP;
                bestTime = v.startTime;
            }
        } else {
            if (v.endGOP >= gopNumber) continue;
            const uint64_t diff = gopNumber - v.endGOP;
            if (diff < bestDiff) {
                bestDiff = diff;
                bestGOP = v.endGOP;
                bestTime = v.endTime;
            }
        }
    }
    if (bestGOP != 0 && bestTime != 0) {
        gop = bestGOP;
        time = bestTime;
    }
}

uint64_t HSCCIDInfo::GetChunkIDForPTS(uint64_t pts, uint64_t tolerance, uint64_t& distance) {
    distance = UINT64_MAX;
    uint64_t found = 0;
    AllocRead(HSC_LOCK_HISTORY);
    for (const HSCPTSInfo& e : m_history) {
        const uint64_t d = e.pts > pts ? e.pts - pts : pts - e.pts;
        if (d < tolerance && d < distance) {  // strict: ties keep the older entry
            distance = d;
            found = e.gop;
        }
    }
    ReleaseRead(HSC_LOCK_HISTORY);
    return found;
}

// ---------------------------------------------------------------------------------------------

bool HSCCIDInfo::StartMonitorThread() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, HSC_MONITOR_STACK);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &HSCCIDInfo::ChannelMonitorThread, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        MVLOGE("[CID] " MV_CID_FMT " could not start the retention monitor, error (%d)",
               MV_CID_ARGS(m_cid), rc);
        return false;
    }
    return true;
}
