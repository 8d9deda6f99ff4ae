// The storage manager: opening media, the block, content and thread-set tables, the start-up
// registration of blocks, handing blocks to writers and back, and the block requests (append,
// load one GOP, load a whole block). The delivery queries live in storagemgr_query.cpp.
#include "storagemgr.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "cfg.h"
#include "gopcache.h"
#include "mvlogger.h"

namespace {

// Runs one request on a block and waits for it. `fill` sets the request's fields before it is
// queued. Returns false when the request could not be created (no event descriptor); `result`
// then stays false. A block that refuses the request (no thread set, stopped set) gives result
// false without waiting.
template <class Fill>
bool RunRequest(HSCSingleChunk* block, uint32_t code, Fill&& fill, bool& result) {
    result = false;
    try {
        HSCPriorityHolder holder(code);
        fill(holder);
        if (!block->AddHolder(&holder)) return true;
        if (!holder.Wait()) return true;
        result = holder.result != 0;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Size of the medium behind fd in bytes; 0 when it cannot be told (neither a regular file nor a
// block device).
uint64_t MediumSize(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode)) {
        uint64_t size = 0;
        if (ioctl(fd, BLKGETSIZE64, &size) == 0) return size;
    }
    return 0;
}

uint32_t ReaderSlots() {
    int32_t slots = ITGGetMainConf()->READERSLOTS;
    return slots < 1 ? 1u : static_cast<uint32_t>(slots);
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Construction
// ------------------------------------------------------------------------------------------------

HSCStorageManager::HSCStorageManager(bool startMonitors) : m_startMonitors(startMonitors) {}

HSCStorageManager::~HSCStorageManager() {
    std::map<uint16_t, std::vector<HSCHolderThread*>> sets;
    {
        MvSyncGuard guard(m_threadSetGuard);
        sets.swap(m_threadSets);
    }
    for (auto& [id, list] : sets) {
        for (HSCHolderThread* set : list) set->StopHolderThreads();
        for (HSCHolderThread* set : list) delete set;
    }
    // Records with a retention monitor are used by that thread for ever; only monitor-less ones
    // can go.
    if (!m_startMonitors) {
        MvSyncGuard guard(*this);
        for (auto& [cid, record] : m_contents) delete record;
        m_contents.clear();
    }
}

// ------------------------------------------------------------------------------------------------
// Start-up
// ------------------------------------------------------------------------------------------------

bool HSCStorageManager::OpenStorage(int& fd, const char* path, HSCStorageInfoV3& info) {
    fd = -1;
    if (path == nullptr) return false;
    MVLOGI("[CHUNK] Storage (%s) : accessing", path);
    // No access-time updates on a medium that is read all day; O_NOATIME is refused (EPERM) when
    // the process does not own the file, so such a medium is opened without it.
    int f = open(path, O_RDWR | O_NOATIME | O_CLOEXEC);
    if (f < 0 && errno == EPERM) f = open(path, O_RDWR | O_CLOEXEC);
    if (f < 0) {
        MVLOGE("[CHUNK] Storage (%s) : could not access media, error (%d)", path, errno);
        return false;
    }
    // One server per medium: a second one is refused here. The storage tool takes no lock.
    if (flock(f, LOCK_EX | LOCK_NB) != 0) {
        MVLOGE("[CHUNK] Storage (%s) : failed to obtain exclusive lock", path);
        close(f);
        return false;
    }
    MVLOGI("[CHUNK] Storage (%s) : loading info", path);
    uint8_t raw[kHSCStorageInfoSize];
    ssize_t n = pread(f, raw, sizeof(raw), 0);
    if (n != static_cast<ssize_t>(sizeof(raw))) {
        MVLOGE("[CHUNK] Storage (%s) : could not read from media, error (%d)", path,
               n < 0 ? errno : 0);
        close(f);
        return false;
    }
    MVLOGI("[CHUNK] Storage (%s) : checking info", path);
    HSCStorageInfoV3 head = HSCDecodeStorageInfo(std::span<const uint8_t, kHSCStorageInfoSize>(raw));
    if (!HSCStorageInfoCRCOk(head)) {
        MVLOGE("[CHUNK] Storage (%s) : integrity failure", path);
        close(f);
        return false;
    }
    // The block count comes from the medium: a header that claims more blocks than the medium
    // holds would have the scan construct (and reset) blocks that are not there.
    uint64_t size = MediumSize(f);
    if (size != 0 && (head.nBlocks > (size / kHSCBlockDataSize) ||
                      HSCMediumSize(head.nBlocks) > size)) {
        MVLOGE("[CHUNK] Storage (%s) : block count (%llu) does not fit the medium size (%llu)", path,
               static_cast<unsigned long long>(head.nBlocks),
               static_cast<unsigned long long>(size));
        close(f);
        return false;
    }
    char created[64];
    MVLOGI("[CHUNK] Storage (%s) : info is ok, created (%s)", path,
           MvTimeToStrR(created, head.nCreated));
    info = head;
    fd = f;
    return true;
}

HSCHolderThread* HSCStorageManager::GetThreadForBlockID(uint16_t storageId, uint64_t blockId) {
    MvSyncGuard guard(m_threadSetGuard);
    auto it = m_threadSets.find(storageId);
    if (it == m_threadSets.end()) {
        // READERSLOTS below 1 would leave the storage without thread sets (and a division by
        // zero below): one set is the least.
        uint32_t slots = ReaderSlots();
        tagITGStorageInfo* counters = nullptr;
        ITGMainConf* conf = ITGGetMainConf();
        auto found = conf->STORAGE.find(storageId);
        if (found != conf->STORAGE.end()) counters = &found->second;
        std::vector<HSCHolderThread*> list;
        list.reserve(slots);
        for (uint32_t i = 0; i < slots; ++i) {
            auto* set = new HSCHolderThread(storageId, counters, this);
            // A set whose threads did not all start is stopped at once: it then completes every
            // request with a failure instead of leaving its callers waiting for ever.
            if (!set->StartHolderThreads()) set->StopHolderThreads();
            list.push_back(set);
        }
        it = m_threadSets.emplace(storageId, std::move(list)).first;
    }
    return it->second[blockId % it->second.size()];
}

bool HSCStorageManager::AddChunk(HSCSingleChunk* block) {
    if (block == nullptr || IsTerminating()) return false;
    MvSyncGuard guard(m_blockGuard);
    m_blocks[block->GetBlockID()] = block;
    return true;
}

bool HSCStorageManager::CIDStartupRegisterChunk(HSCSingleChunk* block, uint16_t storageId,
                                                uint64_t lastGOP, MvTime startTime,
                                                MvTime endTime, uint64_t bitrate) {
    if (block == nullptr || IsTerminating()) return false;
    tagMvCID cid = block->GetContentID();
    if (MvCIDContent(cid) == 0)
        cid = HSCFreePoolCID(storageId) | (static_cast<uint64_t>(MvCIDSubStream(cid)) << 32);
    HSCCIDInfo* record = GetCIDInfoS(cid, storageId, false, true);
    if (record == nullptr) return false;
    if (record->GetStorageID() != storageId) {
        // One content lives on one storage only; two media that both hold it cannot be merged.
        // This is a damaged installation, not a normal stop: status 1 tells the supervisor so.
        MVLOGE("[STARTUP] CID(%u)(%u)(%u) already registered on STORAGE(%u), could not add same "
               "CID from STORAGE(%u)",
               MV_CID_ARGS(cid), static_cast<unsigned>(record->GetStorageID()),
               static_cast<unsigned>(storageId));
        MvLogSetFlush(true);
        exit(1);
    }
    record->StartChunk(block->GetBlockID());
    record->UpdateStats(lastGOP, startTime, endTime, bitrate);
    return true;
}

void HSCStorageManager::GetAllCID(std::vector<HSCCIDInfo*>& out) {
    MvSyncGuard guard(*this);
    out.reserve(out.size() + m_contents.size());
    for (auto& [cid, record] : m_contents) out.push_back(record);
}

// ------------------------------------------------------------------------------------------------
// Records and blocks
// ------------------------------------------------------------------------------------------------

HSCSingleChunk* HSCStorageManager::FindChunk(uint64_t blockId) {
    // No lock: every insertion happens during the start-up scan, before any lookup.
    auto it = m_blocks.find(blockId);
    return it == m_blocks.end() ? nullptr : it->second;
}

HSCCIDInfo* HSCStorageManager::GetCIDInfoS(tagMvCID cid, uint16_t storageId, bool claim,
                                           bool create) {
    HSCCIDInfo* record = nullptr;
    {
        MvSyncGuard guard(*this);
        auto it = m_contents.find(cid);
        if (it != m_contents.end()) {
            record = it->second;
        } else if (create) {
            record = new HSCCIDInfo(cid, storageId, *this, m_startMonitors);
            m_contents.emplace(cid, record);
        }
    }
    if (record != nullptr && claim && !record->ClaimWriting()) return nullptr;
    return record;
}

HSCCIDInfo* HSCStorageManager::GetCIDInfoNOS(tagMvCID cid) {
    constexpr uint64_t kLow40 = (1ull << 40) - 1;
    const uint64_t want = cid & kLow40;
    MvSyncGuard guard(*this);
    // Records of recorded content have writer id 0, so at most one key below 2^40 matches and it
    // is the first in identifier order; the others (pools) sit above 2^40.
    auto it = m_contents.find(want);
    if (it != m_contents.end()) return it->second;
    for (it = m_contents.lower_bound(1ull << 40); it != m_contents.end(); ++it)
        if ((it->first & kLow40) == want) return it->second;
    return nullptr;
}

uint64_t HSCStorageManager::CIDGetFreeCountForStorage(uint16_t storageId) {
    if (storageId == 0) return 0;
    HSCCIDInfo* pool = GetCIDInfoS(HSCFreePoolCID(storageId), storageId, false, true);
    return pool == nullptr ? 0 : pool->GetChunkCount();
}

HSCSingleChunk* HSCStorageManager::CIDGetFreeForStorage(uint16_t storageId) {
    if (storageId == 0) return nullptr;
    HSCCIDInfo* pool = GetCIDInfoS(HSCFreePoolCID(storageId), storageId, false, true);
    return pool == nullptr ? nullptr : pool->GetFirstAndFree();
}

HSCSingleChunk* HSCStorageManager::GetFreeChunk(HSCCIDInfo* record, uint16_t storageId) {
    if (IsTerminating()) return nullptr;
    if (HSCSingleChunk* block = CIDGetFreeForStorage(storageId)) return block;
    // A full storage recycles the content's own oldest recording; the block being written is
    // not flushed and therefore never taken.
    if (record != nullptr) {
        if (HSCSingleChunk* block = record->GetFirstAndFree()) return block;
    }
    tagMvCID cid = record != nullptr ? record->GetCID() : 0;
    MVLOGW("[FM] CID(%u)(%u)(%u) something is wrong: there is no free chunk neither in storage, "
           "nor in CIDINFO chain: globally free(%u), cid free(%u)",
           MV_CID_ARGS(cid), static_cast<unsigned>(CIDGetFreeCountForStorage(storageId)),
           static_cast<unsigned>(record != nullptr ? record->GetChunkCount() : 0));
    return nullptr;
}

bool HSCStorageManager::StartChunk(HSCCIDInfo* record, HSCSingleChunk* block, uint32_t) {
    if (record == nullptr || block == nullptr || IsTerminating()) return false;
    bool reset = false;
    if (!RunRequest(block, HSC_REQ_RESET, [](HSCPriorityHolder&) {}, reset)) return false;
    // The new owner reaches the medium with the info save of StopChunk.
    block->SetContentID(record->GetCID());
    block->SetFlushed(false);
    record->StartChunk(block->GetBlockID());
    return true;
}

bool HSCStorageManager::StopChunk(HSCSingleChunk* block) {
    if (IsTerminating()) return false;
    if (block == nullptr) return true;
    if (!block->IsFree() && block->GetGOPCount() > 0) {
        bool saved = false;
        // Without a request the info (and a data copy) would never reach the medium: the block
        // stays with its writer, which may try again.
        if (!RunRequest(block, HSC_REQ_SAVEINFO, [](HSCPriorityHolder&) {}, saved)) return false;
    }
    block->SetFlushed(true);
    return true;
}

bool HSCStorageManager::ResetChunk(uint64_t blockId) {
    if (IsTerminating()) return false;
    HSCSingleChunk* block = FindChunk(blockId);
    if (block == nullptr) return true;
    return block->ResetChunkDirect();
}

bool HSCStorageManager::PreAppendGOP(HSCCIDInfo* record, HSCGop* gop) {
    if (record == nullptr || gop == nullptr || IsTerminating()) return false;
    if (gop->accessorVersion != 0) {
        auto it = gop->accessors.find(3);
        if (it != gop->accessors.end() && it->second != nullptr) {
            std::deque<HSCPTSInfo> entries;
            const MvAccessor* acc = it->second;
            if (!acc->entries.empty()) {
                // The first entry of accessor 3 carries the first frame's PTS halved (value c).
                HSCPTSInfo entry;
                entry.gop = gop->gopId;
                entry.size = gop->dataSize;
                entry.pts = 2 * static_cast<uint64_t>(acc->entries.front().c);
                entry.time = gop->startTime;
                entries.push_back(entry);
            }
            return record->NewInfos(entries);
        }
    }
    HSCPTSInfo entry;
    entry.gop = gop->gopId;
    entry.size = gop->dataSize;
    entry.pts = gop->pts;
    entry.time = gop->startTime;
    return record->NewInfo(entry);
}

bool HSCStorageManager::AppendGOP(HSCCIDInfo* record, HSCSingleChunk* block, HSCGop* gop) {
    if (record == nullptr || block == nullptr || gop == nullptr || IsTerminating()) return false;
    gop->cid = record->GetCID();
    bool appended = false;
    if (!RunRequest(block, HSC_REQ_APPEND, [gop](HSCPriorityHolder& h) { h.payload = gop; },
                    appended))
        return false;
    return appended;
}

namespace {

bool BlockHolds(HSCSingleChunk* block, tagMvCID cid, uint64_t gopNumber) {
    return block->GetContentID() == cid && block->GetGOPCount() > 0 &&
           block->GetStartGOPID() <= gopNumber && gopNumber <= block->GetEndGOPID();
}

}  // namespace

bool HSCStorageManager::LoadGOP(HSCCIDInfo* record, uint64_t gopNumber, bool flagA, bool flagB,
                                HSCGop* gop, HSCSingleChunk*& hint, int& status) {
    if (IsTerminating()) return false;
    status = HSC_LOAD_FAILED;
    if (record == nullptr || gop == nullptr) return false;
    auto fill = [&](HSCPriorityHolder& h) {
        h.payload = gop;
        h.gopNumber = gopNumber;
        h.flagA = flagA ? 1 : 0;
        h.flagB = flagB ? 1 : 0;
    };
    bool loaded = false;
    if (hint != nullptr && BlockHolds(hint, record->GetCID(), gopNumber)) {
        if (!RunRequest(hint, HSC_REQ_READ, fill, loaded)) return false;
        status = loaded ? HSC_LOAD_OK : HSC_LOAD_FAILED;
        return loaded;
    }
    bool isFirst = false;
    HSCSingleChunk* block = record->GetChunkForGopID(gopNumber, isFirst);
    if (block == nullptr) return false;
    if (!RunRequest(block, HSC_REQ_READ, fill, loaded) || !loaded) return false;
    hint = block;
    status = HSC_LOAD_OK;
    return true;
}

bool HSCStorageManager::LoadBulk(HSCCIDInfo* record, uint64_t blockId, std::vector<HSCGop*>& out,
                                 uint64_t first) {
    if (record == nullptr || IsTerminating()) return false;
    HSCSingleChunk* block = FindChunk(blockId);
    if (block == nullptr) return true;
    if (!block->IsFlushed()) return false;  // still being written
    const tagMvCID cid = record->GetCID();
    if (block->GetContentID() != cid) return true;

    std::vector<HSCGop*> loaded;
    bool ok = false;
    bool created = RunRequest(
        block, HSC_REQ_READBULK,
        [&](HSCPriorityHolder& h) {
            h.payload = &loaded;
            h.gopNumber = first;
        },
        ok);
    if (!created || !ok) {
        for (HSCGop* gop : loaded) gop->Release();
        return false;
    }
    size_t duplicates = 0;
    size_t actual = 0;
    for (HSCGop* gop : loaded) {
        record->m_diskLoadFull.fetch_add(1, std::memory_order_relaxed);
        // The list's reference is ours now; the cache takes its own when it accepts the GOP.
        if (!ITGAddGopAdv(cid, gop, true, nullptr)) ++duplicates;
        if (gop->gopId < first) {
            gop->Release();
        } else {
            out.push_back(gop);  // the caller owns this reference
            ++actual;
        }
    }
    MVLOGI("[FM] Loaded data from block (%llu), CID(%u)(%u)(%u), Total(%zu), Duplicates(%zu), "
           "Actual(%zu)...",
           static_cast<unsigned long long>(blockId), MV_CID_ARGS(cid), loaded.size(), duplicates,
           actual);
    return true;
}

// ------------------------------------------------------------------------------------------------
// Termination
// ------------------------------------------------------------------------------------------------

void HSCStorageManager::PrepareTerminate() {
    if (m_terminating.exchange(true, std::memory_order_acq_rel)) return;
    std::vector<HSCHolderThread*> sets;
    {
        MvSyncGuard guard(m_threadSetGuard);
        for (auto& [id, list] : m_threadSets) sets.insert(sets.end(), list.begin(), list.end());
    }
    for (HSCHolderThread* set : sets) set->StopHolderThreads();
}

// ------------------------------------------------------------------------------------------------
// Process-wide state
// ------------------------------------------------------------------------------------------------

namespace {

std::atomic<HSCStorageManager*> g_manager{nullptr};
std::atomic<bool> g_storageInitialized{false};

// Reservations as (identifier, block id): the same order as one 128-bit key with the identifier
// in the high half.
MvMutexSync& ReservationGuard() {
    static MvMutexSync* guard = new MvMutexSync;  // never destroyed: used until the process ends
    return *guard;
}
std::set<std::pair<uint64_t, uint64_t>>& Reservations() {
    static auto* set = new std::set<std::pair<uint64_t, uint64_t>>;
    return *set;
}

}  // namespace

HSCStorageManager* HSCInitChunkManager() {
    static std::once_flag once;
    std::call_once(once, [] { g_manager.store(new HSCStorageManager(true), std::memory_order_release); });
    return g_manager.load(std::memory_order_acquire);
}

HSCStorageManager* HSCGetChunkManager() { return g_manager.load(std::memory_order_acquire); }

void MvMarkStorageInitialized() { g_storageInitialized.store(true, std::memory_order_release); }
bool MvStorageInitialized() { return g_storageInitialized.load(std::memory_order_acquire); }

bool MvGRReserve(tagMvCID cid, uint64_t blockId) {
    MvSyncGuard guard(ReservationGuard());
    return Reservations().emplace(cid, blockId).second;
}

bool MvGRRelease(tagMvCID cid, uint64_t blockId) {
    bool removed;
    {
        MvSyncGuard guard(ReservationGuard());
        removed = Reservations().erase({cid, blockId}) != 0;
    }
    if (!removed) MVLOGI("[BLOCK ALLOCATOR] Releasing unallocated block!");
    return removed;
}
