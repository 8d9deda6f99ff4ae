// One storage block in memory: its info record and GOP index, the place of its regions on the
// medium and an optional copy of its 32 MiB data region; it appends, finds, loads, validates,
// saves and resets GOP records. Also the codec of a GOP's extra data.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "mvcommondata.h"
#include "mvstorageformat.h"
#include "mvtime.h"

class HSCHolderThread;
class HSCPriorityHolder;

// Filled per block by the start-up scan and copied into the block.
struct HSCChunkInitParams {
    uint16_t storageId = 0;      // id of the storage in the configuration
    uint64_t blockId = 0;        // system-wide, never 0; counted from 1 across storages
    uint64_t position = 0;       // 0-based position of the block on its medium
    HSCHolderThread* holderThread = nullptr;  // the I/O thread set serving the block; not owned
    int fd = -1;                 // open descriptor of the medium; not owned
    uint64_t blockCount = 0;     // nBlocks of the medium
};

// ---------------------------------------------------------------------------------------------
// All medium I/O on a block runs on the I/O threads of its set (requests of storagemgr_holder.h):
// one writer (the Write thread) appends, the Update thread resets and saves, the read threads
// load. The exceptions run on the caller's thread: the load at construction, the reset of an
// invalid block during the start-up scan and the reset of an expired block by the retention
// monitor.
//
// Threading of the record: nGOPCount, nStartGOP, nEndGOP, nStartTime, nEndTime, nInfoCRC and
// nContentID are read by other threads while the writer appends. Those readers use the accessors
// below (atomic loads through std::atomic_ref); the writer stores those fields with atomic
// stores and publishes a new GOP by an atomic increment of nGOPCount after its index entry and
// the other fields are in place. Index entries below the published count never change until the
// block is reset.
//
// Data copy: a private anonymous 32 MiB mapping (no swap reservation) that exists while a
// BULKWRITE writer fills the block. CheckSpace and FreeSpace take the pin lock exclusive
// themselves (the caller holds no pin); every copy into or out of the mapping runs under the pin
// lock held shared (AppendGOP while it fills it, SaveInfo while it flushes it, LoadGOPNew and
// LoadGOPDirect while they load from it, LoadBulk around its whole GOP loop), so a concurrent
// flush never unmaps memory that is being read or written. A bulk load of a block without a copy
// reads each GOP from the medium straight into the GOP's own memory. A copy given back is kept
// for reuse (up to two), so appends and flushes zero every byte they write that no record covers.
// A block keeps the write mode it started with until its flush: a copy is made only for an empty
// block, and a block that has one goes on with it whatever BULKWRITE says now.
class HSCSingleChunk {
public:
    // Copies the parameters, shapes the record as a free block of the storage (bytes 8 to 11 =
    // 0xFFFFFF00, content number = storage id), zeroes the index, initialises the pin lock, sets
    // flushed and last access = now, computes the offsets, then runs LoadInfo and keeps its
    // result as the valid flag. Block id 0 logs "[CHUNK] Chunk ID should not be 0" and ends the
    // process with status 1.
    explicit HSCSingleChunk(const HSCChunkInitParams& params);
    HSCSingleChunk(const HSCSingleChunk&) = delete;
    HSCSingleChunk& operator=(const HSCSingleChunk&) = delete;
    // Unmaps a data copy still held and destroys the pin lock (blocks live for the whole process
    // in the server; tests destroy theirs).
    virtual ~HSCSingleChunk();

    // --- info and index -----------------------------------------------------------------------
    // Reads the 72-byte record at the info offset and the 6144-byte index after it, then
    // LoadCheckInfo. A failed or short read logs "[CHUNK] Info read error: %d" or "[CHUNK] Index
    // read error: %d" and returns false.
    bool LoadInfo();
    // The seven validation steps of the format (plus the GOP count limit), storage id taken from
    // the block.
    bool LoadCheckInfo();
    // Validation steps 3 to 5 (data size, record starts, time order).
    bool CheckIndexCommon();
    // Zeroes the entries from nGOPCount to 1023, runs CheckIndexCommon and only when it passes
    // stores nIndexCRC, then nInfoCRC.
    bool SavePrepareInfo();
    // SavePrepareInfo; writes the record, then the index; with a data copy, then writes nDataSize
    // rounded up to 4096 bytes of it to the data region and frees it whatever the result. The
    // info and index therefore reach the medium before the data they describe.
    bool SaveInfo();
    // Resets the in-memory record and index to free (marker 0x43211234, storage id, CRCs sealed).
    bool ResetChunk();
    // ResetChunk, then SaveInfo; the result also becomes the valid flag.
    bool ResetChunkDirect();

    // --- GOPs -----------------------------------------------------------------------------------
    // Appends one GOP (header, extra data, packets) behind the last record. False when the block
    // cannot take it (the caller switches blocks: index full, time or offset overflow, no space,
    // GOP already present, no data copy in BULKWRITE mode) or on a write error, with the block
    // unchanged. The info and index on the medium are not written here (SaveInfo does that).
    bool AppendGOP(HSCGop* gop);
    // Builds the GOP's extra data into its extraData when that is empty (a GOP written twice
    // carries the same bytes). False when it cannot be built.
    bool SaveExtra(HSCGop* gop);
    // Checks the GOP's extraData against the GOP number looked up and restores the GOP's fields
    // (HSCParseGopExtra); `cid` is used in the messages.
    bool LoadExtra(HSCGop* gop, tagMvCID cid, uint64_t gopNumber);
    // Loads one GOP from the data copy, holding the pin lock shared while it copies (a caller
    // may hold a pin too: the lock is a reader lock). False, logged, when there is no copy. Maps
    // the GOP's data block (ReAlloc) and sets its cid to the block's nContentID.
    bool LoadGOPNew(uint64_t gopNumber, HSCGop* gop);
    // Loads one GOP: from the data copy when there is one (under a pin), else from the medium.
    // On success from the copy the GOP's footprint is stored when it has none.
    bool LoadGOPDirect(uint64_t gopNumber, HSCGop* gop);
    // Loads every GOP from `first` (0 = nStartGOP) to nEndGOP into `list`, each new GOP carrying
    // one reference owned by the list; GOPs that fail their checks are left out. Uses the block's
    // copy when a BULKWRITE writer is filling it (pinned), else asks the kernel for the used part
    // of the data region at once and reads each GOP's header, extra data and packets from the
    // medium into the GOP. True also when no GOP was loaded; false when a read of the medium
    // fails, and then the GOPs this call had added are released and removed from `list`.
    bool LoadBulk(std::vector<HSCGop*>& list, uint64_t first);

    // The index entry of a GOP number (number - nStartGOP) when nStartGOP <= number <= nEndGOP
    // and the block is not empty; otherwise null, logging "[CHUNK] EMPTY", "[CHUNK] LESS" or
    // "[CHUNK] MORE" when `logMiss` is set (AppendGOP's existence test passes false: a miss is
    // its normal case).
    const HSCGopIndexV3* FindGOPIndexWithID(uint64_t gopNumber, bool logMiss = true);
    // The GOP whose time (nStartTime + nTimeOffset) is nearest to t; ties go to the lower number;
    // 0 for an empty block.
    uint64_t FindNearestGOP(MvTime t);
    // Size of the GOP delivered as 188-byte packets with two table packets in front:
    // nPacketCount x 188 + 376. False and "[CHUNK] ID not found (%u)" when the GOP is not here.
    bool GOPSizeFixed(uint64_t gopNumber, uint64_t& size);

    // --- data copy --------------------------------------------------------------------------------
    // Maps the data copy when there is none: true when it mapped one now; false when one already
    // existed or the mapping failed ("[CHUNK] Block data allocation / mmap returned NULL for
    // size(%d), errno(%d)"). Counts a new copy in HSCMappedBlockCount.
    bool CheckSpace();
    // Unmaps the data copy under the exclusive pin lock, clears the pointer and uncounts it.
    void FreeSpace();
    // Take / release the pin lock shared (VERBOSE logs "pinned" / "unpinned" lines).
    void Pin();
    void UnPin();

    // Stores the block in the request and queues it on the block's thread set. A block without a
    // thread set refuses the request: completed at once with result 0, false.
    bool AddHolder(HSCPriorityHolder* holder);

    // --- accessors --------------------------------------------------------------------------------
    uint64_t GetBlockID() const { return m_params.blockId; }
    uint16_t GetStorageID() const { return m_params.storageId; }
    uint64_t GetPosition() const { return m_params.position; }
    HSCHolderThread* GetHolderThread() const { return m_params.holderThread; }
    uint64_t GetInfoOffset() const { return m_infoOffset; }
    uint64_t GetDataOffset() const { return m_dataOffset; }
    // Atomic reads of the record (see the class comment).
    uint64_t GetGOPCount() const;
    uint64_t GetStartGOPID() const;
    uint64_t GetEndGOPID() const;
    MvTime GetStartTime() const;
    MvTime GetEndTime() const;
    uint32_t GetInfoCRC() const;
    tagMvCID GetContentID() const;
    uint32_t GetSize() const;  // nDataSize
    // True when the record is free-shaped (writer id 0xFFFFFF).
    bool IsFree() const;
    // Writes nContentID of the in-memory record only; it reaches the medium with the next SaveInfo.
    void SetContentID(tagMvCID cid);
    // Copy of the record (the CRC read atomically).
    void GetInfo(HSCChunkInfoV3* out) const;
    bool IsValid() const { return m_valid.load(std::memory_order_acquire); }
    bool IsFlushed() const { return m_flushed.load(std::memory_order_acquire); }
    void SetFlushed(bool flushed) { m_flushed.store(flushed, std::memory_order_release); }
    bool HasDataCopy() const { return m_data.load(std::memory_order_acquire) != nullptr; }
    void UpdateLastAccess() { m_lastAccess.store(MvTimeNow(), std::memory_order_relaxed); }
    MvTime GetLastAccess() const { return m_lastAccess.load(std::memory_order_relaxed); }

    HSCChunkInitParams m_params;
    uint64_t m_infoOffset = 0;  // 1024 + position x 6216
    uint64_t m_dataOffset = 0;  // 1024 + block count x 6216 + position x 32 MiB
    HSCChunkInfoV3 m_info;
    HSCGopIndexArrayV3 m_index{};
    std::atomic<bool> m_valid{false};    // result of the load at construction or the last direct reset
    std::atomic<bool> m_flushed{true};   // false while a writer owns the block
    pthread_rwlock_t m_pinLock;          // shared: readers of the data copy; exclusive: FreeSpace
    std::atomic<uint8_t*> m_data{nullptr};  // data copy (33554432 bytes) or null
    std::atomic<MvTime> m_lastAccess{0};    // time of the last completed I/O request
};

// Number of blocks whose data copy is currently mapped (process-wide; shown by the statistics).
uint64_t HSCMappedBlockCount();

// ---------------------------------------------------------------------------------------------
// The GOP extra data codec (HSCBuildGopExtra, HSCParseGopExtra) belongs to the media format unit
// shared with the storage tool: see mvstorageformat.h.

// Stores the cache footprint of a loaded GOP when it has none (128 + extra data + mapped block +
// PAT/PMT/ECM packets + 10 per index entry + per accessor 13 per entry plus its buffer).
inline void HSCSetLoadedFootprint(HSCGop* gop) {
    if (gop != nullptr && gop->footprint == 0) gop->footprint = gop->ComputeFootprint();
}
