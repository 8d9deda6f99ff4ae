// Retention monitor of a content record: the thread that the record starts for every content
// (pools get none). It waits for the start-up scan to finish before it touches any block, then
// every 5 to 10 seconds expires the content's old blocks and returns them to the free pools.

#include "storagemgr_monitor.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cfg.h"
#include "mvaffinity.h"
#include "mvlogger.h"
#include "storagemgr_block.h"
#include "storagemgr_cid.h"

namespace {

constexpr uint32_t kMaxWindowSecs = 0x7FFFFFFF;  // MvTimeAddSecs moves by an int

std::atomic<uint32_t> g_pauseMinUs{5000000};
std::atomic<uint32_t> g_pauseRangeUs{5000000};

// What the verbose walk reports about one block; logged after lock 0 is released.
struct BlockNote {
    uint64_t id = 0;
    uint64_t startGOP = 0;
    uint64_t endGOP = 0;
    MvTime startTime = 0;
    MvTime endTime = 0;
    bool flushed = false;
};

}  // namespace

uint32_t HSCRetentionWindowSecs(uint64_t minutes) {
    if (minutes == 0) return HSC_RETENTION_MIN_SECS;
    if (minutes > kMaxWindowSecs / 60) return kMaxWindowSecs;
    return static_cast<uint32_t>(minutes * 60);
}

void HSCSetRetentionPause(uint32_t minUs, uint32_t rangeUs) {
    g_pauseMinUs.store(minUs, std::memory_order_relaxed);
    g_pauseRangeUs.store(rangeUs, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------

bool HSCCIDInfo::CheckAndGetOldChunks(MvTime limit, bool verbose, std::deque<uint64_t>& out) {
    const bool vod = MvIsVOD(m_cid);
    std::vector<uint64_t> bogus;
    std::vector<BlockNote> notes;
    std::vector<tagMvCID> mismatches;
    MvTime minStart = 0;
    MvTime maxEnd = 0;
    size_t chainLength = 0;

    AllocWrite(HSC_LOCK_CHAIN);
    // Blocks released by ForceFreeAll. One that a writer still fills stays pending until the
    // writer has left it: resetting it under the writer would interleave the reset with its
    // appends.
    std::deque<uint64_t> stillPending;
    for (uint64_t id : m_pendingRelease) {
        HSCSingleChunk* block = m_resolver.FindChunk(id);
        if (block == nullptr) {
            bogus.push_back(id);
        } else if (!block->IsFlushed()) {
            stillPending.push_back(id);
        } else {
            out.push_back(id);
        }
    }
    m_pendingRelease.swap(stillPending);

    chainLength = m_chain.size();
    std::deque<uint64_t> kept;
    for (uint64_t id : m_chain) {
        HSCSingleChunk* block = m_resolver.FindChunk(id);
        if (block == nullptr) {
            bogus.push_back(id);
            kept.push_back(id);
            continue;
        }
        const MvTime startTime = block->GetStartTime();
        const MvTime endTime = block->GetEndTime();
        if (startTime == 0 || endTime == 0) {  // taken but still empty: never expires
            kept.push_back(id);
            continue;
        }
        const bool flushed = block->IsFlushed();
        if (verbose)
            notes.push_back({id, block->GetStartGOPID(), block->GetEndGOPID(), startTime, endTime,
                             flushed});
        // A block that carries another content's identifier is not this content's to reset.
        const tagMvCID blockCid = block->GetContentID();
        if (blockCid != m_cid) {
            mismatches.push_back(blockCid);
            kept.push_back(id);
            continue;
        }
        if (flushed && limit != 0 && endTime < limit && !vod) {
            out.push_back(id);
            m_blockSet.erase(id);
            continue;
        }
        kept.push_back(id);
        if (minStart == 0 || startTime < minStart) minStart = startTime;
        if (endTime > maxEnd) maxEnd = endTime;
    }
    m_chain.swap(kept);
    ReleaseWrite(HSC_LOCK_CHAIN);

    if (verbose)
        MVLOGI("[CHMON] " MV_CID_FMT " checking (%u) blocks for expiry", MV_CID_ARGS(m_cid),
               static_cast<unsigned>(chainLength));
    for (uint64_t id : bogus)
        MVLOGE("[CHMON] " MV_CID_FMT " bogus, there is no block(%u)", MV_CID_ARGS(m_cid),
               static_cast<unsigned>(id));
    for (tagMvCID blockCid : mismatches)
        MVLOGE("[CHUNK] %s: Chunk contentId(%u) mismatch(%u)", "CheckAndGetOldChunks",
               static_cast<unsigned>(blockCid), static_cast<unsigned>(m_cid));
    for (const BlockNote& n : notes)
        MVLOGI("[CHMON] " MV_CID_FMT
               " block(%u), nMinGOP(%u), nMaxGOP(%u), nMinTime(%u), nMaxTime(%u), isFlushed(%u)",
               MV_CID_ARGS(m_cid), static_cast<unsigned>(n.id), static_cast<unsigned>(n.startGOP),
               static_cast<unsigned>(n.endGOP), static_cast<unsigned>(n.startTime),
               static_cast<unsigned>(n.endTime), n.flushed ? 1u : 0u);

    // The times on storage describe the blocks that remain; 0 (no time) when none has times.
    m_startTimeOnStorage.store(minStart, std::memory_order_relaxed);
    m_endTimeOnStorage.store(maxEnd, std::memory_order_relaxed);

    if (verbose) {
        char minText[32], maxText[32], limText[32];
        MVLOGI("[DBG] " MV_CID_FMT " MIN(%s)MAX(%s)LIM(%s)F(%u)", MV_CID_ARGS(m_cid),
               MvTimeToStrR(minText, minStart), MvTimeToStrR(maxText, maxEnd),
               MvTimeToStrR(limText, limit), static_cast<unsigned>(out.size()));
    }
    return !out.empty();
}

// ---------------------------------------------------------------------------------------------

void HSCRetentionStart(HSCCIDInfo& record, HSCRetentionState& state) {
    const tagMvCID cid = record.GetCID();
    state.windowSecs = HSCRetentionWindowSecs(ITGGetTimeForContent(cid));
    if (MvIsChannel(cid))
        MVLOGI("[CHMON] " MV_CID_FMT
               " monitoring for out-dated records (shift is %u seconds)..",
               MV_CID_ARGS(cid), state.windowSecs);
}

size_t HSCRetentionPass(HSCStorageManager& mgr, HSCCIDInfo& record, HSCRetentionState& state,
                        MvTime now) {
    if (mgr.IsTerminating()) return 0;
    const tagMvCID cid = record.GetCID();
    const uint32_t window = HSCRetentionWindowSecs(ITGGetTimeForContent(cid));
    if (window != state.windowSecs) {
        MVLOGI("[CHMON] " MV_CID_FMT " out-dated record monitoring time changed to (%u) seconds..",
               MV_CID_ARGS(cid), window);
        state.windowSecs = window;
    }
    const MvTime limit = MvTimeAddSecs(now, -static_cast<int>(window));
    const bool verbose = ITGGetMainConf()->VERBOSE.load(std::memory_order_relaxed);

    std::deque<uint64_t> expired;
    record.CheckAndGetOldChunks(limit, verbose, expired);
    const uint16_t configured = ITGGetStorageForContent(cid);
    if (expired.empty()) {
        if (verbose)
            MVLOGI("[CHMON] " MV_CID_FMT " no blocks to delete, storage (%u)...", MV_CID_ARGS(cid),
                   static_cast<unsigned>(configured));
        return 0;
    }

    size_t returned = 0;
    for (uint64_t id : expired) {
        HSCSingleChunk* block = mgr.FindChunk(id);
        if (block == nullptr) continue;  // collected ids always resolve; the table never shrinks
        // Each block goes back to the pool of the storage that holds it, also when the content
        // has since been configured onto another storage: a pool hands its blocks to writers of
        // its own storage only.
        const uint16_t storage = block->GetStorageID();
        MVLOGI("[CHMON] " MV_CID_FMT " deleting out-dated block(%u) on storage (%u)..",
               MV_CID_ARGS(cid), static_cast<unsigned>(id), static_cast<unsigned>(storage));
        // A failed write of the free record leaves the block free in memory (its in-memory record
        // is reset first); the next writer that takes it resets it again before use.
        mgr.ResetChunk(id);
        HSCCIDInfo* pool = mgr.GetCIDInfoS(HSCFreePoolCID(storage), storage, false, true);
        if (pool != nullptr && pool->StartChunk(id)) ++returned;
    }
    return returned;
}

// ---------------------------------------------------------------------------------------------

void* HSCCIDInfo::ChannelMonitorThread(void* record) {
    HSCCIDInfo* info = static_cast<HSCCIDInfo*>(record);
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    // Blocks are registered and sorted by the start-up scan; nothing may be expired before then.
    while (!MvStorageInitialized()) sleep(1);
    if (info->IsPool()) return nullptr;

    HSCRetentionState state;
    HSCRetentionStart(*info, state);
    std::minstd_rand random(static_cast<uint32_t>(info->GetCID() ^ (info->GetCID() >> 32)) ^
                            static_cast<uint32_t>(MvTimeNow()));
    for (;;) {
        HSCStorageManager* mgr = HSCGetChunkManager();
        if (mgr != nullptr) HSCRetentionPass(*mgr, *info, state, MvTimeNow());
        const uint32_t minUs = g_pauseMinUs.load(std::memory_order_relaxed);
        const uint32_t rangeUs = g_pauseRangeUs.load(std::memory_order_relaxed);
        const uint32_t extra = rangeUs != 0 ? static_cast<uint32_t>(random() % rangeUs) : 0;
        std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{minUs} + extra));
    }
    return nullptr;
}
