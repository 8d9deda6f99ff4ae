// The storage manager: process-wide owner of the storage blocks, content records and I/O thread
// sets. It opens media, registers blocks at start-up, gives writers blocks and takes them back,
// turns GOP and time requests into block I/O, and answers range, size and sub-stream questions.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "mvcommondata.h"
#include "mvstorageformat.h"
#include "mvsync.h"
#include "mvtime.h"
#include "storagemgr_block.h"
#include "storagemgr_cid.h"
#include "storagemgr_holder.h"

// One sub-stream of a content as the HLS master playlist and the set-top-box header see it.
struct MvContentSub {
    uint64_t bitrate = 0;       // bits per second
    int segmentDuration = 0;    // HLS segment duration, seconds
};

// Status values of LoadGOP.
enum : int {
    HSC_LOAD_OK = 1,
    HSC_LOAD_FAILED = 2,
};

// Locks: the base mutex guards the content table; m_threadSetGuard the thread-set table;
// m_blockGuard insertions into the block table (lookups take no lock: every insertion happens
// during the start-up scan, before lookups start). Each is held only for a table operation,
// never while a record's lock is taken or I/O is requested. Requests on blocks are synchronous
// for the caller, who waits on the request's eventfd holding no lock.
//
// Once PrepareTerminate has run, every operation that can refuse returns false (or 0 / null).
//
// Configuration read from the process-wide record: READERSLOTS (a value below 1 is used as 1),
// BULKWRITE, VERBOSE, HLSSEGMENTGOPS, HLSSEGMENTCOUNT, HLSSEGMENTDURATION.
class HSCStorageManager : public MvMutexSync, public HSCChunkResolver {
public:
    // Constructible on its own for tests; the server's instance comes from HSCInitChunkManager.
    // `startMonitors` is passed to every content record the manager creates (tests pass false so
    // that no retention monitor thread runs and the records can be destroyed).
    explicit HSCStorageManager(bool startMonitors = true);
    // Tests only (the server's instance is never destroyed): stops and deletes the thread sets,
    // and deletes the content records when they were created without monitors. Blocks are not
    // owned by the manager.
    ~HSCStorageManager() override;

    // --- start-up ---------------------------------------------------------------------------------
    // Opens the medium read-write with O_NOATIME, takes an exclusive non-blocking flock, reads the
    // 48-byte header and checks its CRC (signature and version are not tested). Each failure is
    // logged, closes the descriptor and leaves fd = -1; false.
    bool OpenStorage(int& fd, const char* path, HSCStorageInfoV3& info);
    // The thread set of a block: on the first call for a storage creates READERSLOTS sets with
    // started threads; returns set[blockId mod READERSLOTS].
    HSCHolderThread* GetThreadForBlockID(uint16_t storageId, uint64_t blockId);
    // Inserts the block by its id (replacing an entry with the same id). The block is not owned:
    // in the server it lives for the whole process. False when terminating or null.
    bool AddChunk(HSCSingleChunk* block);
    // Registers one valid (or freshly reset) block with its content during the start-up scan:
    // identifier = the block's nContentID, or the storage's pool identifier when its content
    // number is 0; the record is found or created; a content already registered on another
    // storage logs "[STARTUP] CID(%u)(%u)(%u) already registered on STORAGE(%u), could not add
    // same CID from STORAGE(%u)" and ends the process with status 0. Then StartChunk and
    // UpdateStats on the record. False when terminating or the block is null.
    bool CIDStartupRegisterChunk(HSCSingleChunk* block, uint16_t storageId, uint64_t lastGOP,
                                 MvTime startTime, MvTime endTime, uint64_t bitrate);
    // Every record of the content table, pools included, in identifier order.
    void GetAllCID(std::vector<HSCCIDInfo*>& out);

    // --- records and blocks -------------------------------------------------------------------------
    HSCSingleChunk* FindChunk(uint64_t blockId) override;
    // The record with exactly this identifier; created for `storageId` when absent and `create` is
    // set, else null. With `claim` the writing status goes 0 -> 1 atomically; null when another
    // writer holds it.
    HSCCIDInfo* GetCIDInfoS(tagMvCID cid, uint16_t storageId, bool claim, bool create);
    // The first record (identifier order) whose content number and sub-stream equal those of
    // `cid`; the writer id is ignored.
    HSCCIDInfo* GetCIDInfoNOS(tagMvCID cid);
    // Chain length of the storage's free pool (created when missing); 0 for storage 0.
    uint64_t CIDGetFreeCountForStorage(uint16_t storageId);
    // Next block of the storage's free pool; null for storage 0 or an empty pool.
    HSCSingleChunk* CIDGetFreeForStorage(uint16_t storageId);
    // A block for a writer: from the pool, else the content's own oldest flushed block; else null
    // after logging "[FM] CID(%u)(%u)(%u) something is wrong: there is no free chunk ...".
    HSCSingleChunk* GetFreeChunk(HSCCIDInfo* record, uint16_t storageId);
    // Gives the block to the record's writer: reset request (code 3) and wait, content id set in
    // memory, not flushed, appended to the record's chain. `unused` has no effect. False when the
    // block is null or terminating.
    bool StartChunk(HSCCIDInfo* record, HSCSingleChunk* block, uint32_t unused = 0);
    // The writer leaves the block: a used block holding GOPs gets a save-info request (code 4)
    // and is waited for; then it is marked flushed. True for null; false when terminating.
    bool StopChunk(HSCSingleChunk* block);
    // ResetChunkDirect on the caller's thread (retention monitor). True also for an unknown id;
    // false when terminating.
    bool ResetChunk(uint64_t blockId);
    // Feeds the GOP into the record's history: from the first entry of accessor 3 when the GOP
    // has accessors (NewInfos, possibly empty), else {gopId, dataSize, pts, startTime} (NewInfo).
    bool PreAppendGOP(HSCCIDInfo* record, HSCGop* gop);
    // Sets the GOP's cid to the record's identifier, queues a write request (code 1) on the block
    // and waits; the block's AppendGOP result. False when terminating or the request cannot be
    // created.
    bool AppendGOP(HSCCIDInfo* record, HSCSingleChunk* block, HSCGop* gop);
    // Loads GOP `gopNumber` into the empty `gop` with a read request (code 2) carrying the two
    // flags: on the hinted block when it carries the record's identifier and holds the number
    // (the hint is then left as it was), else on the block found by GetChunkForGopID (the hint is
    // set to it on success). status = HSC_LOAD_OK on success, HSC_LOAD_FAILED otherwise (left
    // untouched when terminating).
    bool LoadGOP(HSCCIDInfo* record, uint64_t gopNumber, bool flagA, bool flagB, HSCGop* gop,
                 HSCSingleChunk*& hint, int& status);
    // Loads the block with a bulk request (code 5) from `first`, counts DiskLoadFull per GOP and
    // offers each to the GOP cache; GOPs numbered below `first` are released, the others appended
    // to `out` with one reference owned by the caller. True with nothing loaded for an unknown
    // block or one carrying another identifier; false for a block still being written (not
    // flushed), a failed request, or when terminating.
    bool LoadBulk(HSCCIDInfo* record, uint64_t blockId, std::vector<HSCGop*>& out,
                  uint64_t first);

    // --- queries ------------------------------------------------------------------------------------
    // Presets both outputs to 0, then NearestDataForTime. True when something was found.
    bool NearestByTime(HSCCIDInfo* record, MvTime t, bool forward, uint64_t& gop, MvTime& time);
    // With count > 1 moves n by count / 2 in the search direction, then NearestDataForGop. The
    // outputs are not preset. True when the outputs hold a result (non-zero GOP).
    bool NearestByGOP(HSCCIDInfo* record, uint64_t n, bool forward, uint64_t count,
                      uint64_t& gop, MvTime& time);
    // The GOP nearest to t in the block that covers t; 0 when none or terminating.
    uint64_t TranslateGOP(HSCCIDInfo* record, MvTime t);
    uint64_t TranslateGOPX(HSCCIDInfo* record, MvTime t, bool unused);  // same as TranslateGOP
    // GetChunkIDForPTS of the record; 0 when none or terminating.
    uint64_t TranslatePTS(HSCCIDInfo* record, uint64_t pts, uint64_t tolerance);
    uint64_t TranslateGOPY(HSCCIDInfo* record, uint64_t pts, uint64_t tolerance);  // same
    // Every recorded GOP is a valid start point: true with `gop` unchanged; false when
    // terminating.
    bool RelocateGOPID(HSCCIDInfo* record, uint64_t& gop, bool forward);
    // Bytes of the GOPs first..last delivered as 188-byte packets with two table packets each;
    // false when a GOP is missing, last < first, the content is unknown or the total is 0.
    bool CalcSize(tagMvCID cid, uint64_t first, uint64_t last, uint64_t& size);
    // HLS range: VOD 1..last GOP; live g x (last / g - 1) back by g x HLSSEGMENTCOUNT GOPs
    // (g = HLSSEGMENTGOPS). False when the content is unknown, its last GOP is 0, or the live
    // formula would wrap (last GOP below g x (HLSSEGMENTCOUNT + 2)).
    bool HLSRange(tagMvCID cid, uint64_t& first, uint64_t& last);
    // Consecutive sub-streams from 0 that have a record; for non-VOD content only while the
    // record's last received time is non-zero and at most 60 seconds old.
    uint32_t ContentSubCountMvCID(tagMvCID cid);
    // Lowers the sub-stream to the highest available one, then replaces the identifier by the
    // matching record's; logs "---->>>>FIXING MAX SUB FOR CONTENT(%u)(%u)(%u)->NO CID AVAILABLE"
    // when none matches.
    void FixContentSubMvCID(tagMvCID& cid);
    // One entry per sub-stream (0 up to ContentSubCountMvCID, stopping at the first missing
    // record): bitrate and segment duration. Always true.
    bool LoadContentBitratres(tagMvCID cid, std::vector<MvContentSub>& out);

    // Sets the terminating flag (once) and stops the I/O thread sets (StopHolderThreads on each;
    // not to be called from an I/O thread).
    void PrepareTerminate();
    bool IsTerminating() const { return m_terminating.load(std::memory_order_acquire); }

    // --- fields ---------------------------------------------------------------------------------------
    const bool m_startMonitors;
    std::atomic<bool> m_terminating{false};
    MvMutexSync m_threadSetGuard;
    std::map<uint16_t, std::vector<HSCHolderThread*>> m_threadSets;  // owned
    MvMutexSync m_blockGuard;
    std::unordered_map<uint64_t, HSCSingleChunk*> m_blocks;          // not owned
    std::map<tagMvCID, HSCCIDInfo*> m_contents;                       // owned; base mutex
};

// The process-wide manager: created once by HSCInitChunkManager (later calls return the same
// instance), never destroyed. HSCGetChunkManager returns null before it.
HSCStorageManager* HSCInitChunkManager();
HSCStorageManager* HSCGetChunkManager();

// Start-up phase flag: set after the start-up scan and sort; the retention monitors and the
// statistics monitor wait for it.
void MvMarkStorageInitialized();
bool MvStorageInitialized();

// Bulk-read reservation registry: (content identifier, block id) pairs under their own mutex.
// Reserve: false when the pair is already reserved. Release: false with "[BLOCK ALLOCATOR]
// Releasing unallocated block!" when it was not reserved.
bool MvGRReserve(tagMvCID cid, uint64_t blockId);
bool MvGRRelease(tagMvCID cid, uint64_t blockId);

// HLS helpers on the process-wide manager. LoadContentBitratres (an empty list when there is no
// manager); the segment duration: HLSSEGMENTDURATION for VOD, else the record's segment duration,
// 0 for an unknown content.
bool MvHLSLoadContentBitratres(tagMvCID cid, std::vector<MvContentSub>& out);
double MvHLSContentSegmentDuration(tagMvCID cid);
