// The storage manager's record of one content (or of one storage's free-block pool): its chain of
// blocks, its GOP history with the bitrate and HLS segment duration derived from it, its writer
// claim and I/O counters, and the lookups from GOP number, time or PTS to block and GOP.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <set>

#include "mvcommondata.h"
#include "mvtime.h"

class HSCSingleChunk;

// One GOP of the history.
struct HSCPTSInfo {
    uint64_t gop = 0;   // GOP number
    uint64_t size = 0;  // bytes
    uint64_t pts = 0;
    MvTime time = 0;    // the GOP's start time
};

// Free pool of storage S: writer id 0xFFFFFF, sub-stream 0, content number S.
constexpr tagMvCID HSCFreePoolCID(uint16_t storageId) {
    return 0xFFFFFF0000000000ull | storageId;
}
constexpr bool HSCIsFreePoolCID(tagMvCID cid) { return MvCIDStreamId(cid) == 0xFFFFFF; }

// Resolves a block id to its block (null when none). The storage manager implements it; a test
// may supply its own table so that records are tested without the manager.
class HSCChunkResolver {
public:
    virtual ~HSCChunkResolver() = default;
    virtual HSCSingleChunk* FindChunk(uint64_t blockId) = 0;
};

// History limits and derived-value thresholds.
constexpr size_t HSC_HISTORY_MAX = 14088;        // entries kept at most
constexpr size_t HSC_HISTORY_MIN = 136;          // entries kept at least before age trimming
constexpr int HSC_HISTORY_AGE_SECS = 60;         // age trimming beyond HSC_HISTORY_MIN
constexpr size_t HSC_HISTORY_RATE_MIN = 129;     // entries needed to derive bitrate/segments
constexpr uint64_t HSC_DEFAULT_BITRATE = 128000; // bits per second
constexpr double HSC_DEFAULT_SEGMENT_HOLD = 8.0;
constexpr size_t HSC_MONITOR_STACK = 256 * 1024;

// Lock indexes of AllocRead/ReleaseRead/AllocWrite/ReleaseWrite.
enum : int {
    HSC_LOCK_CHAIN = 0,    // block set, block chain, pending release
    HSC_LOCK_HISTORY = 1,  // GOP history
};

// Locking: lock 0 guards the block set, the chain and the pending-release list; lock 1 guards the
// GOP history. Scalars are atomics read and written without locks. No operation holds both locks
// at once, and no lock is held while a block is touched: lookups copy the chain under lock 0
// shared, release it, then resolve and read the blocks (through their atomic accessors).
class HSCCIDInfo {
public:
    // Construction (in the server always through HSCStorageManager::GetCIDInfoS):
    // - writer id 0xFFFFFF (a pool): sub-stream must be 0 and the content number the storage id,
    //   else "[DBG] CID(%u)(%u)(%u) free block info on storage(%u), invalid nBitrateID" and the
    //   process ends with status 1;
    // - another non-zero writer id: "[DBG] CID(%u)(%u)(%u) WID is not the same as Writer ID of
    //   storage(%u)" and the process ends with status 1;
    // - writer id 0 (a content): logs "[CID] CID(%u)(%u)(%u) created new" and, when
    //   `startMonitor` is set, starts the retention monitor (StartMonitorThread).
    // `resolver` turns block ids into blocks (the manager in the server) and must outlive the
    // record. Tests pass startMonitor = false: the monitor thread never ends and uses the
    // process-wide manager, and a record without it may be destroyed.
    HSCCIDInfo(tagMvCID cid, uint16_t storageId, HSCChunkResolver& resolver,
               bool startMonitor = true);
    HSCCIDInfo(const HSCCIDInfo&) = delete;
    HSCCIDInfo& operator=(const HSCCIDInfo&) = delete;
    // Destroys the locks and frees the writing status (records live for the whole process in the
    // server; only records without a monitor may be destroyed).
    virtual ~HSCCIDInfo();

    // Lock i (HSC_LOCK_CHAIN or HSC_LOCK_HISTORY) shared / exclusive. A failing lock call logs
    // "[DBG] pthread_rwlock_rdlock, %d, %d", "[DBG] pthread_rwlock_unlock/R, %d, %d",
    // "[DBG] pthread_rwlock_wrlock, %d, %d" or "[DBG] pthread_rwlock_unlock/W, %d, %d" and goes on.
    void AllocRead(int i);
    void ReleaseRead(int i);
    void AllocWrite(int i);
    void ReleaseWrite(int i);

    // --- block chain (lock 0) ---------------------------------------------------------------------
    // Appends the block to the chain and the set; false with "[DBG] CID(%u)(%u)(%u) bogus,
    // chunk(%d) exists" when it is already there.
    bool StartChunk(uint64_t blockId);
    // Content: removes and returns the oldest block that resolves, is flushed and carries this
    // identifier (others carrying another identifier are logged and passed over); null when none.
    // Pool: removes and returns the first block of the chain; null when empty.
    HSCSingleChunk* GetFirstAndFree();
    // Drops the whole recording: the pending-release list becomes every block of the set
    // (ascending id) and `count` its length; chain and set are emptied; the derived values, times
    // and last GOP are reset as in ResetInfo; writing status 0; the six counters 0. The retention
    // monitor then returns the blocks to the pool.
    void ForceFreeAll(uint64_t& count);
    // True when the pending-release list is empty (the monitor has returned every block).
    bool WaitFreeAll();
    uint64_t GetChunkCount();
    // Once per record at start-up: sorts the chain by nStartGOP ascending; a content with more
    // than 2 blocks whose first block does not start before its last ends the process with
    // status 1 after logging every block.
    void InitialSort();
    // Retention monitor step: under lock 0 moves the pending-release list to `out` (a released
    // block that a writer still fills stays pending until it is flushed), then removes from the
    // chain (and appends to `out`) every flushed block carrying this identifier, of non-VOD
    // content, whose nEndTime is before a non-zero `limit`; afterwards stores the smallest start
    // and largest end time of the remaining blocks with times as the start/end time on storage
    // (0 when none has times). True when `out` is not empty.
    bool CheckAndGetOldChunks(MvTime limit, bool verbose, std::deque<uint64_t>& out);

    // --- GOP history (lock 1) and derived values -----------------------------------------------------
    // Accept one / several GOPs. Each entry is tested against the record's last GOP and last GOP
    // time (not against the other entries): a number not above a non-zero last GOP, or a time
    // before a non-zero last GOP time, is refused (logged at level 8) and nothing is added. Then
    // appends, trims the history and recomputes bitrate and segment duration (HLSSEGMENTGOPS,
    // HLSSEGMENTDURATION of the configuration). NewInfos with an empty deque only recomputes.
    bool NewInfo(const HSCPTSInfo& entry);
    bool NewInfos(const std::deque<HSCPTSInfo>& entries);
    // Start-up registration of one block: raises last GOP and last GOP time (and sets the end time
    // on storage), lowers the start time on storage, and averages a non-zero bitrate in (zero
    // arguments change nothing).
    void UpdateStats(uint64_t lastGOP, MvTime startTime, MvTime endTime, uint64_t bitrate);
    // Bitrate 128000, history bytes 0, segment duration 0, hold 8.0, users 0, start/end time on
    // storage 0, last GOP time, last received and last GOP 0.
    void ResetInfo();

    // --- lookups (chain copied under lock 0, blocks read without it) ---------------------------------
    // Blocks of the chain carrying another identifier are skipped and logged as
    // "[CHUNK] %s: Chunk contentId(%u) mismatch(%u)" with the operation name.
    //
    // The oldest block with nStartGOP <= gop <= nEndGOP; isFirst = (gop == nStartGOP).
    HSCSingleChunk* GetChunkForGopID(uint64_t gop, bool& isFirst);
    // The oldest block whose span (nStartTime..nEndTime) holds t; when none does, the oldest
    // block whose span comes within 5 seconds of t.
    HSCSingleChunk* GetChunkIDForTime(MvTime t);
    // Nearest recorded data beside a gap, by whole seconds (forward: the nearest block start after
    // t -> its nStartGOP/nStartTime; backward: the nearest block end before t -> nEndGOP/
    // nEndTime). Ties keep the earlier block. The outputs are written only when both found values
    // are non-zero; callers preset them.
    void NearestDataForTime(MvTime t, bool forward, uint64_t& gop, MvTime& time);
    // The same by GOP distance.
    void NearestDataForGop(uint64_t gopNumber, bool forward, uint64_t& gop, MvTime& time);
    // The history entry whose PTS is nearest to `pts` with distance below `tolerance` (ties keep
    // the older entry): its GOP number, `distance` = its distance. 0 when none, distance then
    // UINT64_MAX.
    uint64_t GetChunkIDForPTS(uint64_t pts, uint64_t tolerance, uint64_t& distance);

    // --- retention monitor ----------------------------------------------------------------------------
    // Starts ChannelMonitorThread detached with a 256 KiB stack; false when it cannot be started
    // (logged).
    bool StartMonitorThread();
    // The monitor's body; the argument is the record. Waits for MvStorageInitialized, ends at once
    // for a pool, then every 5 to 10 seconds runs HSCRetentionPass (storagemgr_monitor.h) on the
    // process-wide manager: expired blocks go back to the free pool of the storage holding them.
    static void* ChannelMonitorThread(void* record);

    // --- plain accessors --------------------------------------------------------------------------------
    tagMvCID GetCID() const { return m_cid; }
    bool IsPool() const { return HSCIsFreePoolCID(m_cid); }
    uint16_t GetStorageID() const { return m_storageId.load(std::memory_order_relaxed); }
    int GetWritingStatus() const { return m_writing->load(std::memory_order_acquire); }
    void SetWritingStatus(int status) { m_writing->store(status, std::memory_order_release); }
    // 0 -> 1; false when another writer already holds the content.
    bool ClaimWriting() {
        int expected = 0;
        return m_writing->compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
    }
    // 1 -> 0; false when the content was not claimed.
    bool ReleaseWriting() {
        int expected = 1;
        return m_writing->compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
    }

    // --- fields -------------------------------------------------------------------------------------
    const tagMvCID m_cid;
    std::atomic<uint16_t> m_storageId;
    std::atomic<uint64_t> m_historyBytes{0};            // sum of the sizes in the history
    std::atomic<uint64_t> m_bitrate{HSC_DEFAULT_BITRATE};  // bits per second
    std::atomic<int> m_segmentDuration{0};              // HLS target segment duration, seconds
    // Running value behind the segment duration; written by the content's one writer (NewInfo)
    // and by ResetInfo/ForceFreeAll.
    double m_segmentDurationHold = HSC_DEFAULT_SEGMENT_HOLD;
    std::atomic<uint64_t> m_users{0};                   // active delivery sessions
    std::atomic<MvTime> m_startTimeOnStorage{0};        // earliest nStartTime of the blocks
    std::atomic<MvTime> m_endTimeOnStorage{0};          // latest nEndTime of the blocks
    std::atomic<MvTime> m_lastGOPTime{0};               // time of the newest GOP accepted
    std::atomic<MvTime> m_lastReceived{0};              // wall time the newest GOP was accepted
    std::atomic<uint64_t> m_lastGOP{0};                 // number of the newest GOP accepted

    std::deque<HSCPTSInfo> m_history;          // lock 1; newest last
    std::set<uint64_t> m_blockSet;             // lock 0; same ids as m_chain
    std::deque<uint64_t> m_chain;              // lock 0; oldest first
    std::deque<uint64_t> m_pendingRelease;     // lock 0; for the monitor's next pass

    // I/O counters, printed and cleared by the statistics monitor.
    std::atomic<uint64_t> m_diskSave{0};
    std::atomic<uint64_t> m_diskLoadPartial{0};
    std::atomic<uint64_t> m_diskLoadFull{0};
    std::atomic<uint64_t> m_cacheLoad{0};
    std::atomic<uint64_t> m_infoWorks{0};
    std::atomic<uint64_t> m_miss{0};

    pthread_rwlock_t m_locks[2];
    // 1 while a writer owns the content ("r/w"), 0 otherwise ("r/o"); kept in its own 16-byte
    // aligned allocation, owned by the record.
    std::atomic<int>* m_writing = nullptr;
    HSCChunkResolver& m_resolver;
};
