// One storage block: its info record and GOP index, GOP records appended behind each other in
// its 32 MiB data region (directly on the medium or into a data copy flushed at the end), and
// the loads of one GOP or of the whole block back into GOP objects.
#include "storagemgr_block.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "cfg.h"
#include "mvcrc.h"
#include "mvlogger.h"
#include "storagemgr_holder.h"

namespace {

std::atomic<uint64_t> g_mappedBlocks{0};

constexpr int kUnmapSiteFreeSpace = 1;
constexpr int kUnmapSiteDestructor = 3;

bool Verbose() { return ITGGetMainConf()->VERBOSE.load(std::memory_order_relaxed); }
bool BulkWrite() { return ITGGetMainConf()->BULKWRITE.load(std::memory_order_relaxed); }

template <typename T>
T LoadAcquire(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <typename T>
void StoreRelease(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Whole positional transfers: partial results and interruptions are continued; the result is
// the number of bytes moved, or -1 with errno when nothing more could be moved.
ssize_t PWriteAll(int fd, const uint8_t* p, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pwrite(fd, p + done, n - done, static_cast<off_t>(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return done == 0 ? -1 : static_cast<ssize_t>(done);
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// pwritev until everything is written; the bytes written (short on an error), -1 when nothing
// was. The vector is consumed.
ssize_t PWriteVAll(int fd, iovec* iov, int count, uint64_t off) {
    size_t done = 0;
    while (count > 0) {
        const ssize_t r = pwritev(fd, iov, count, static_cast<off_t>(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return done == 0 ? -1 : static_cast<ssize_t>(done);
        if (r == 0) break;
        done += static_cast<size_t>(r);
        size_t left = static_cast<size_t>(r);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return static_cast<ssize_t>(done);
}

ssize_t PReadAll(int fd, uint8_t* p, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(fd, p + done, n - done, static_cast<off_t>(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return done == 0 ? -1 : static_cast<ssize_t>(done);
        if (r == 0) break;  // end of file
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// Copies given back are kept for the next block (up to this many): a fresh 32 MiB copy costs
// its first-touch page faults, a kept one nothing. A kept copy still holds its old bytes; the
// appends and the flush zero every byte of the written range that no record covers, so what
// reaches the medium is the same as from a fresh copy.
constexpr size_t kSpareBlockCopies = 2;
std::mutex g_spareLock;
uint8_t* g_spare[kSpareBlockCopies] = {};
size_t g_spareCount = 0;

uint8_t* MapBlockCopy() {
    {
        std::lock_guard<std::mutex> g(g_spareLock);
        if (g_spareCount > 0) {
            g_mappedBlocks.fetch_add(1, std::memory_order_relaxed);
            return g_spare[--g_spareCount];
        }
    }
    void* p = mmap(nullptr, kHSCBlockDataSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        MVLOGE("[CHUNK] Block data allocation / mmap returned NULL for size(%d), errno(%d)",
               static_cast<int>(kHSCBlockDataSize), errno);
        return nullptr;
    }
    // A copy is filled (or read into) from end to end: on 2 MiB pages its first touch costs 16
    // page faults instead of 8192, which is most of the cost of a fresh copy (far more under a
    // hypervisor that traps every first access to a small page). Without transparent huge
    // pages the advice is refused and small pages are used.
    (void)madvise(p, kHSCBlockDataSize, MADV_HUGEPAGE);
    g_mappedBlocks.fetch_add(1, std::memory_order_relaxed);
    return static_cast<uint8_t*>(p);
}

void UnmapBlockCopy(uint8_t* p, int site) {
    g_mappedBlocks.fetch_sub(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> g(g_spareLock);
        if (g_spareCount < kSpareBlockCopies) {
            g_spare[g_spareCount++] = p;
            return;
        }
    }
    if (munmap(p, kHSCBlockDataSize) != 0)
        MVLOGE("[CHUNK] (%d) Block data allocation / munmap failed: %d, (%p)(%d)", site, errno,
               static_cast<void*>(p), static_cast<int>(kHSCBlockDataSize));
}

// Signed difference a - b of two times in centiseconds (negative when a is earlier).
int64_t CentiDiff(MvTime a, MvTime b) {
    const int64_t ns = MvDiffTimespec(MvTimeToTimespec(a), MvTimeToTimespec(b));
    return ns / 10000000;
}

// Maps the GOP's data block for its dataSize, which the load fills at once: reused pages are
// not zeroed first and fresh ones are faulted in with one call.
bool MapGopData(HSCGop* gop) { return gop->ReAlloc(true); }

// Sets the extra data length after it was read into place.
bool SizeExtra(MvBuffer& buf, uint64_t n) {
    buf.Clean();
    if (n == 0) return true;
    if (!buf.Allocate(static_cast<int>(n)) || buf.GetCapacity() < static_cast<int>(n)) return false;
    buf.m_length = static_cast<int32_t>(n);
    return true;
}

// Holds the pin lock shared for one scope.
class SharedPin {
public:
    explicit SharedPin(pthread_rwlock_t& lock) : m_lock(lock) { pthread_rwlock_rdlock(&m_lock); }
    ~SharedPin() { pthread_rwlock_unlock(&m_lock); }
    SharedPin(const SharedPin&) = delete;
    SharedPin& operator=(const SharedPin&) = delete;

private:
    pthread_rwlock_t& m_lock;
};

}  // namespace

uint64_t HSCMappedBlockCount() { return g_mappedBlocks.load(std::memory_order_relaxed); }

// ---- construction ----

HSCSingleChunk::HSCSingleChunk(const HSCChunkInitParams& params) : m_params(params) {
    if (m_params.blockId == 0) {
        MVLOGE("[CHUNK] Chunk ID should not be 0");
        exit(1);
    }
    m_info.nContentID = HSCMakeCID(m_params.storageId, 0, kHSCFreeWriterID);
    m_index.fill(HSCGopIndexV3{});
    pthread_rwlock_init(&m_pinLock, nullptr);
    m_flushed.store(true);
    m_lastAccess.store(MvTimeNow());
    m_infoOffset = HSCInfoOffset(m_params.position);
    m_dataOffset = HSCDataOffset(m_params.blockCount, m_params.position);
    m_valid.store(LoadInfo(), std::memory_order_release);
}

HSCSingleChunk::~HSCSingleChunk() {
    uint8_t* p = m_data.exchange(nullptr);
    if (p != nullptr) UnmapBlockCopy(p, kUnmapSiteDestructor);
    pthread_rwlock_destroy(&m_pinLock);
}

// ---- atomic views of the record ----

uint64_t HSCSingleChunk::GetGOPCount() const { return LoadAcquire(m_info.nGOPCount); }
uint64_t HSCSingleChunk::GetStartGOPID() const { return LoadAcquire(m_info.nStartGOP); }
uint64_t HSCSingleChunk::GetEndGOPID() const { return LoadAcquire(m_info.nEndGOP); }
MvTime HSCSingleChunk::GetStartTime() const { return LoadAcquire(m_info.nStartTime); }
MvTime HSCSingleChunk::GetEndTime() const { return LoadAcquire(m_info.nEndTime); }
uint32_t HSCSingleChunk::GetInfoCRC() const { return LoadAcquire(m_info.nInfoCRC); }
tagMvCID HSCSingleChunk::GetContentID() const { return LoadAcquire(m_info.nContentID); }
uint32_t HSCSingleChunk::GetSize() const { return LoadAcquire(m_info.nDataSize); }

bool HSCSingleChunk::IsFree() const {
    HSCChunkInfoV3 probe;
    probe.nContentID = GetContentID();
    return HSCIsFreeBlock(probe);
}

void HSCSingleChunk::SetContentID(tagMvCID cid) { StoreRelease(m_info.nContentID, cid); }

void HSCSingleChunk::GetInfo(HSCChunkInfoV3* out) const {
    if (out == nullptr) return;
    out->nMarker = LoadAcquire(m_info.nMarker);
    out->nContentID = GetContentID();
    out->nReserved12 = LoadAcquire(m_info.nReserved12);
    out->nGOPCount = GetGOPCount();
    out->nStartGOP = GetStartGOPID();
    out->nEndGOP = GetEndGOPID();
    out->nStartTime = GetStartTime();
    out->nEndTime = GetEndTime();
    out->nDataSize = GetSize();
    out->nIndexCRC = LoadAcquire(m_info.nIndexCRC);
    out->nInfoCRC = GetInfoCRC();
    out->nReserved68 = LoadAcquire(m_info.nReserved68);
}

// Publishes a whole record: the count goes to 0 first so that readers see an empty block while
// the other fields change, and to its new value last.
static void StoreRecord(HSCChunkInfoV3& dst, const HSCChunkInfoV3& src) {
    StoreRelease(dst.nGOPCount, uint64_t{0});
    StoreRelease(dst.nMarker, src.nMarker);
    StoreRelease(dst.nContentID, src.nContentID);
    StoreRelease(dst.nReserved12, src.nReserved12);
    StoreRelease(dst.nStartGOP, src.nStartGOP);
    StoreRelease(dst.nEndGOP, src.nEndGOP);
    StoreRelease(dst.nStartTime, src.nStartTime);
    StoreRelease(dst.nEndTime, src.nEndTime);
    StoreRelease(dst.nDataSize, src.nDataSize);
    StoreRelease(dst.nIndexCRC, src.nIndexCRC);
    StoreRelease(dst.nInfoCRC, src.nInfoCRC);
    StoreRelease(dst.nReserved68, src.nReserved68);
    StoreRelease(dst.nGOPCount, src.nGOPCount);
}

// ---- info and index ----

bool HSCSingleChunk::LoadInfo() {
    uint8_t rec[kHSCChunkInfoSize];
    ssize_t r = PReadAll(m_params.fd, rec, sizeof(rec), m_infoOffset);
    if (r != static_cast<ssize_t>(sizeof(rec))) {
        MVLOGE("[CHUNK] Info read error: %d", errno);
        return false;
    }
    auto idx = std::make_unique<uint8_t[]>(kHSCIndexSize);
    r = PReadAll(m_params.fd, idx.get(), kHSCIndexSize, m_infoOffset + kHSCChunkInfoSize);
    if (r != static_cast<ssize_t>(kHSCIndexSize)) {
        MVLOGE("[CHUNK] Index read error: %d", errno);
        return false;
    }
    StoreRecord(m_info, HSCChunkInfoV3{});
    HSCDecodeIndex(std::span<const uint8_t, kHSCIndexSize>(idx.get(), kHSCIndexSize), m_index);
    StoreRecord(m_info, HSCDecodeChunkInfo(rec));
    return LoadCheckInfo();
}

bool HSCSingleChunk::LoadCheckInfo() {
    HSCChunkInfoV3 info;
    GetInfo(&info);
    if (HSCCheckChunkInfo(info, m_index, m_params.storageId) != HSCInfoCheck::Ok) return false;
    // GOP numbers of a block are consecutive from entry 0: a used record whose number range
    // disagrees with its count cannot come from a writer, and lookups trust that range.
    if (!HSCIsFreeBlock(info) &&
        (info.nEndGOP < info.nStartGOP || info.nEndGOP - info.nStartGOP + 1 != info.nGOPCount))
        return false;
    return true;
}

bool HSCSingleChunk::CheckIndexCommon() {
    HSCChunkInfoV3 info;
    GetInfo(&info);
    return HSCCheckIndexCommon(info, m_index) == HSCInfoCheck::Ok;
}

bool HSCSingleChunk::SavePrepareInfo() {
    HSCChunkInfoV3 info;
    GetInfo(&info);
    if (info.nGOPCount > kHSCIndexEntries) return false;
    // Entries at and beyond the count are never read by other threads.
    for (size_t k = static_cast<size_t>(info.nGOPCount); k < kHSCIndexEntries; ++k)
        m_index[k] = HSCGopIndexV3{};
    if (HSCCheckIndexCommon(info, m_index) != HSCInfoCheck::Ok) return false;
    HSCSealChunkInfo(info, m_index);
    StoreRelease(m_info.nIndexCRC, info.nIndexCRC);
    StoreRelease(m_info.nInfoCRC, info.nInfoCRC);
    return true;
}

bool HSCSingleChunk::SaveInfo() {
    if (!SavePrepareInfo()) return false;
    HSCChunkInfoV3 info;
    GetInfo(&info);

    uint8_t rec[kHSCChunkInfoSize];
    HSCEncodeChunkInfo(info, rec);
    ssize_t r = PWriteAll(m_params.fd, rec, sizeof(rec), m_infoOffset);
    if (r != static_cast<ssize_t>(sizeof(rec))) {
        MVLOGE("[CHUNK] Info write error: (%d)(%d)", static_cast<int>(r), errno);
        return false;
    }
    auto idx = std::make_unique<uint8_t[]>(kHSCIndexSize);
    HSCEncodeIndex(m_index, std::span<uint8_t, kHSCIndexSize>(idx.get(), kHSCIndexSize));
    r = PWriteAll(m_params.fd, idx.get(), kHSCIndexSize, m_infoOffset + kHSCChunkInfoSize);
    if (r != static_cast<ssize_t>(kHSCIndexSize)) {
        MVLOGE("[CHUNK] Index write error: (%d)(%d)", static_cast<int>(r), errno);
        return false;
    }

    if (!HasDataCopy()) return true;
    const tagMvCID cid = info.nContentID;
    MVLOGI("[CHUNK] " MV_CID_FMT " flushing block(%u) to storage(%u)...", MV_CID_ARGS(cid),
           static_cast<unsigned>(m_params.blockId), static_cast<unsigned>(m_params.storageId));
    const size_t n = (static_cast<size_t>(info.nDataSize) + kHSCRecordAlign - 1) /
                     kHSCRecordAlign * kHSCRecordAlign;
    int err = 0;
    {
        // Shared pin: the copy cannot vanish while it is written out. A copy already released
        // by someone else was flushed by them.
        SharedPin pin(m_pinLock);
        uint8_t* copy = m_data.load(std::memory_order_acquire);
        // The rest of the last record's page goes out as zeros, as from a fresh copy.
        if (copy != nullptr && n > info.nDataSize) memset(copy + info.nDataSize, 0, n - info.nDataSize);
        r = copy == nullptr || n == 0 ? static_cast<ssize_t>(n)
                                      : PWriteAll(m_params.fd, copy, n, m_dataOffset);
        err = errno;
    }
    FreeSpace();
    if (r != static_cast<ssize_t>(n)) {
        MVLOGE("[CHUNK] " MV_CID_FMT
               " data write error while flushing block(%lu): result(%d), errno(%d)",
               MV_CID_ARGS(cid), static_cast<unsigned long>(m_params.blockId),
               static_cast<int>(r), err);
        return false;
    }
    return true;
}

bool HSCSingleChunk::ResetChunk() {
    // Readers see an empty block before any index entry changes.
    StoreRelease(m_info.nGOPCount, uint64_t{0});
    HSCChunkInfoV3 info;
    HSCResetChunkInfo(info, m_index, kHSCResetMarker, m_params.storageId);
    StoreRecord(m_info, info);
    return true;
}

bool HSCSingleChunk::ResetChunkDirect() {
    ResetChunk();
    const bool ok = SaveInfo();
    m_valid.store(ok, std::memory_order_release);
    return ok;
}

// ---- lookups ----

const HSCGopIndexV3* HSCSingleChunk::FindGOPIndexWithID(uint64_t gopNumber, bool logMiss) {
    const uint64_t count = GetGOPCount();
    if (count == 0) {
        if (logMiss) MVLOGE("[CHUNK] EMPTY");
        return nullptr;
    }
    const uint64_t start = GetStartGOPID();
    if (gopNumber < start) {
        if (logMiss) MVLOGE("[CHUNK] LESS");
        return nullptr;
    }
    // The entry must also be published (and inside the index): a writer moves nEndGOP before it
    // counts the new entry.
    const uint64_t k = gopNumber - start;
    if (gopNumber > GetEndGOPID() || k >= count || k >= kHSCIndexEntries) {
        if (logMiss) MVLOGE("[CHUNK] MORE");
        return nullptr;
    }
    return &m_index[static_cast<size_t>(k)];
}

uint64_t HSCSingleChunk::FindNearestGOP(MvTime t) {
    uint64_t count = GetGOPCount();
    if (count == 0) return 0;
    if (count > kHSCIndexEntries) count = kHSCIndexEntries;
    // One conversion of t to centiseconds from the block's start, then integer distances.
    const int64_t target = CentiDiff(t, GetStartTime());
    uint64_t best = 0;
    uint64_t bestDist = UINT64_MAX;
    for (uint64_t k = 0; k < count; ++k) {
        const int64_t d = static_cast<int64_t>(m_index[static_cast<size_t>(k)].nTimeOffset) - target;
        const uint64_t dist = d < 0 ? static_cast<uint64_t>(-d) : static_cast<uint64_t>(d);
        if (dist < bestDist) {
            bestDist = dist;
            best = k;
        }
    }
    return GetStartGOPID() + best;
}

bool HSCSingleChunk::GOPSizeFixed(uint64_t gopNumber, uint64_t& size) {
    const HSCGopIndexV3* e = FindGOPIndexWithID(gopNumber);
    if (e == nullptr) {
        MVLOGE("[CHUNK] ID not found (%u)", static_cast<unsigned>(gopNumber));
        return false;
    }
    size = static_cast<uint64_t>(e->nPacketCount) * MV_TS_PACKET_SIZE + 2 * MV_TS_PACKET_SIZE;
    return true;
}

// ---- data copy ----

bool HSCSingleChunk::CheckSpace() {
    pthread_rwlock_wrlock(&m_pinLock);
    bool mapped = false;
    if (m_data.load(std::memory_order_acquire) == nullptr) {
        uint8_t* p = MapBlockCopy();
        if (p != nullptr) {
            m_data.store(p, std::memory_order_release);
            mapped = true;
        }
    }
    pthread_rwlock_unlock(&m_pinLock);
    return mapped;
}

void HSCSingleChunk::FreeSpace() {
    pthread_rwlock_wrlock(&m_pinLock);
    uint8_t* p = m_data.exchange(nullptr, std::memory_order_acq_rel);
    if (p != nullptr) UnmapBlockCopy(p, kUnmapSiteFreeSpace);
    pthread_rwlock_unlock(&m_pinLock);
}

void HSCSingleChunk::Pin() {
    pthread_rwlock_rdlock(&m_pinLock);
    if (Verbose()) {
        const tagMvCID cid = GetContentID();
        MVLOGW("[CHUNK] " MV_CID_FMT " pinned block(%u)", MV_CID_ARGS(cid),
               static_cast<unsigned>(m_params.blockId));
    }
}

void HSCSingleChunk::UnPin() {
    if (Verbose()) {
        const tagMvCID cid = GetContentID();
        MVLOGW("[CHUNK] " MV_CID_FMT " unpinned block(%u)", MV_CID_ARGS(cid),
               static_cast<unsigned>(m_params.blockId));
    }
    pthread_rwlock_unlock(&m_pinLock);
}

bool HSCSingleChunk::AddHolder(HSCPriorityHolder* holder) {
    if (holder == nullptr) return false;
    holder->block = this;
    if (m_params.holderThread == nullptr) {
        holder->result = 0;
        holder->SetDone();
        return false;
    }
    return m_params.holderThread->AddHolder(holder);
}

// ---- appending ----

bool HSCSingleChunk::SaveExtra(HSCGop* gop) {
    if (gop == nullptr) return false;
    if (gop->extraData.GetLength() == 0 && !HSCBuildGopExtra(gop)) return false;
    return gop->extraData.GetLength() >= static_cast<int>(kHSCExtraHeaderSize);
}

bool HSCSingleChunk::LoadExtra(HSCGop* gop, tagMvCID cid, uint64_t gopNumber) {
    return HSCParseGopExtra(gop, cid, gopNumber);
}

bool HSCSingleChunk::AppendGOP(HSCGop* gop) {
    if (gop == nullptr) return false;
    const bool verbose = Verbose();
    const tagMvCID cid = GetContentID();
    // The mode is kept for the whole block: a copy once made holds every record until its flush
    // writes them all, and a copy made for a block that already has records on the medium would
    // overwrite them with its own empty bytes. So a block that has a copy goes on with it, and
    // a new copy is made only for an empty block (BULKWRITE changed by a reload applies from the
    // next block on).
    const bool bulk = HasDataCopy() || (BulkWrite() && GetGOPCount() == 0 && GetSize() == 0);

    if (bulk) {
        if (!HasDataCopy()) CheckSpace();
        if (!HasDataCopy()) {
            if (verbose) MVLOGW("[CHUNK] Time overflow / switch...");
            return false;
        }
    }
    if (FindGOPIndexWithID(gop->gopId, false) != nullptr) {
        MVLOGE("[CHUNK] " MV_CID_FMT " GOP(%lu) exists...", MV_CID_ARGS(cid),
               static_cast<unsigned long>(gop->gopId));
        return false;
    }
    HSCChunkInfoV3 info;
    GetInfo(&info);
    if (info.nGOPCount > kHSCIndexEntries - 1) {
        if (verbose) MVLOGV("[CHUNK] " MV_CID_FMT " index overflow / switch...", MV_CID_ARGS(cid));
        return false;
    }
    int64_t timeOffset = 0;
    if (info.nGOPCount > 0) {
        timeOffset = CentiDiff(gop->startTime, info.nStartTime);
        // A GOP earlier than the block's start (or than its previous GOP) has no index entry
        // either: time offsets are unsigned and must not decrease.
        if (timeOffset > static_cast<int64_t>(kHSCMaxTimeOffset) || timeOffset < 0) {
            if (verbose)
                MVLOGW("[CHUNK] " MV_CID_FMT " time overflow / switch...", MV_CID_ARGS(cid));
            return false;
        }
    }
    // The GOP's packets must lie inside its own mapping.
    if (gop->dataSize > gop->mappedSize || (gop->dataSize != 0 && gop->data == nullptr)) {
        MVLOGE("[CHUNK] " MV_CID_FMT " GOP(%lu) data size(%u) beyond its block(%u)",
               MV_CID_ARGS(cid), static_cast<unsigned long>(gop->gopId), gop->dataSize,
               gop->mappedSize);
        return false;
    }
    if (!SaveExtra(gop)) {
        MVLOGE("[CHUNK] " MV_CID_FMT " GOP(%lu) extra data could not be built", MV_CID_ARGS(cid),
               static_cast<unsigned long>(gop->gopId));
        return false;
    }
    const uint64_t extraSize = static_cast<uint64_t>(gop->extraData.GetLength());
    HSCAppendPlan plan;
    const HSCAppendFit fit = HSCPlanAppend(info, m_index, timeOffset, gop->closedSize == 0,
                                           extraSize, gop->dataSize, plan);
    switch (fit) {
        case HSCAppendFit::Ok:
            break;
        case HSCAppendFit::OffsetOverflow:
            if (verbose) MVLOGW("[CHUNK] Offset overflow / switch...");
            return false;
        case HSCAppendFit::IndexFull:
            if (verbose)
                MVLOGV("[CHUNK] " MV_CID_FMT " index overflow / switch...", MV_CID_ARGS(cid));
            return false;
        case HSCAppendFit::TimeOverflow:
        case HSCAppendFit::TimeBackwards:
            if (verbose)
                MVLOGW("[CHUNK] " MV_CID_FMT " time overflow / switch...", MV_CID_ARGS(cid));
            return false;
        case HSCAppendFit::NoSpace:
        case HSCAppendFit::PacketCountOverflow:
            if (verbose) {
                const uint64_t end = static_cast<uint64_t>(HSCRecordStartKiB(info.nDataSize)) * 1024 +
                                     kHSCGopInfoSize + extraSize + gop->dataSize;
                MVLOGI("[CHUNK] " MV_CID_FMT
                       " buffer lacks space, switching to next buffer(%u)(%u)",
                       MV_CID_ARGS(cid), static_cast<unsigned>(end),
                       static_cast<unsigned>(kHSCBlockDataSize));
            }
            return false;
    }

    uint8_t header[kHSCGopInfoSize];
    HSCEncodeGopInfo(HSCMakeGopInfo(gop->gopId, cid, gop->startTime,
                                    gop->extraData.GetLength(), gop->dataSize),
                     header);
    const uint64_t at = plan.recordStart;
    if (bulk) {
        // The copy is held pinned while it is filled, so that nothing can unmap it meanwhile.
        uint8_t* copy = nullptr;
        {
            SharedPin pin(m_pinLock);
            copy = m_data.load(std::memory_order_acquire);
            if (copy != nullptr) {
                // The alignment gap before the record (the copy may hold older bytes there).
                if (at > info.nDataSize) memset(copy + info.nDataSize, 0, at - info.nDataSize);
                memcpy(copy + at, header, kHSCGopInfoSize);
                if (extraSize != 0)
                    memcpy(copy + at + kHSCGopInfoSize, gop->extraData.GetData(), extraSize);
                if (gop->dataSize != 0)
                    memcpy(copy + at + kHSCGopInfoSize + extraSize, gop->data, gop->dataSize);
            }
        }
        if (copy == nullptr) {
            if (verbose) MVLOGW("[CHUNK] Time overflow / switch...");
            return false;
        }
    } else {
        // Header, extra data and packets go out in one call, followed by zeros up to the next
        // 4 KiB boundary: the kernel then never has to read a partly written page from the disk
        // first (the next record starts inside that page and overwrites the zeros).
        static const uint8_t kZeros[4096] = {};
        const uint64_t end = at + kHSCGopInfoSize + extraSize + gop->dataSize;
        uint64_t pad = (4096 - (m_dataOffset + end) % 4096) % 4096;
        if (end + pad > kHSCBlockDataSize) pad = kHSCBlockDataSize - end;  // never past the block
        iovec iov[4];
        int n = 0;
        iov[n++] = {header, kHSCGopInfoSize};
        if (extraSize != 0) iov[n++] = {gop->extraData.GetData(), static_cast<size_t>(extraSize)};
        if (gop->dataSize != 0) iov[n++] = {gop->data, gop->dataSize};
        if (pad != 0) iov[n++] = {const_cast<uint8_t*>(kZeros), static_cast<size_t>(pad)};
        const uint64_t total = end - at + pad;
        const ssize_t r = PWriteVAll(m_params.fd, iov, n, m_dataOffset + at);
        if (r != static_cast<ssize_t>(total)) {
            const uint64_t wrote = r < 0 ? 0 : static_cast<uint64_t>(r);
            if (wrote < kHSCGopInfoSize)
                MVLOGI("[CHUNK] Info write error (%d)(%d)", static_cast<int>(r), errno);
            else if (wrote < kHSCGopInfoSize + extraSize)
                MVLOGI("[CHUNK] Extra write error (%d)(%d)", static_cast<int>(r), errno);
            else
                MVLOGI("[CHUNK] Data write error (%d)(%d)", static_cast<int>(r), errno);
            return false;
        }
    }

    // Publish: the entry and the fields first, the count last.
    const size_t k = static_cast<size_t>(info.nGOPCount);
    m_index[k] = plan.entry;
    StoreRelease(m_info.nDataSize, plan.recordEnd);
    if (k == 0) {
        StoreRelease(m_info.nStartGOP, gop->gopId);
        StoreRelease(m_info.nStartTime, static_cast<uint64_t>(gop->startTime));
    }
    StoreRelease(m_info.nEndGOP, gop->gopId);
    StoreRelease(m_info.nEndTime, static_cast<uint64_t>(gop->startTime));
    std::atomic_ref<uint64_t>(m_info.nGOPCount).fetch_add(1, std::memory_order_acq_rel);

    if (verbose)
        MVLOGI("[CHUNK] CID(%lu)(%u)(%lu) Saved (write-%s) GOP (%llu) for ChunkID (%llu), "
               "TotalSize (%llu), v3index.nInfoStart (%u) nInsideOffset (%llu) v3info.nExtraSize "
               "(%llu) v3info.nDataSize (%llu)",
               static_cast<unsigned long>(MvCIDStreamId(cid)), MvCIDSubStream(cid),
               static_cast<unsigned long>(MvCIDContent(cid)), bulk ? "back" : "around",
               static_cast<unsigned long long>(gop->gopId),
               static_cast<unsigned long long>(m_params.blockId),
               static_cast<unsigned long long>(plan.recordEnd),
               static_cast<unsigned>(plan.entry.nInfoStart), static_cast<unsigned long long>(at),
               static_cast<unsigned long long>(extraSize),
               static_cast<unsigned long long>(gop->dataSize));
    return true;
}

// ---- loading ----

// Records up to this size are read by a bulk load with one call (see LoadBulk).
constexpr uint64_t kOneReadRecord = 64 * 1024;

// Outcome of loading one GOP from bytes already in memory.
enum class HSCBytesLoad { kLoaded, kRefused, kShort };

// Loads one GOP from its record's bytes in memory: `rec` holds the `avail` bytes of the data
// region from the record's start `at` on. kShort (GOP state undefined) when the record reaches
// past them. Messages are those of a bulk load.
static HSCBytesLoad HSCSingleChunk_LoadFromBytes(HSCSingleChunk& block, uint64_t gopNumber,
                                                 const HSCGopIndexV3& entry, const uint8_t* rec,
                                                 uint64_t avail, HSCGop* gop) {
    const tagMvCID cid = block.GetContentID();
    const uint64_t at = static_cast<uint64_t>(entry.nInfoStart & 0x7FFF) * 1024;
    if (at + kHSCGopInfoSize > kHSCMaxRecordEnd) {
        MVLOGI("[CHUNK] " MV_CID_FMT " bulk load data integrity error #5", MV_CID_ARGS(cid));
        return HSCBytesLoad::kRefused;
    }
    if (avail < kHSCGopInfoSize) return HSCBytesLoad::kShort;
    const HSCGopInfoV3 head =
        HSCDecodeGopInfo(std::span<const uint8_t, kHSCGopInfoSize>(rec, kHSCGopInfoSize));
    if (Verbose())
        MVLOGI("[CHUNK] Load Y GOP(%llu) for CID(%llu)(%u)(%llu), ChunkID(%llu), TotalSize(%llu), "
               "v3index.nInfoStart(%u) nInsideOffset(%llu) v3info.nExtraSize(%llu) "
               "v3info.nDataSize(%llu)",
               static_cast<unsigned long long>(gopNumber),
               static_cast<unsigned long long>(MvCIDStreamId(cid)), MvCIDSubStream(cid),
               static_cast<unsigned long long>(MvCIDContent(cid)),
               static_cast<unsigned long long>(block.GetBlockID()),
               static_cast<unsigned long long>(block.GetSize()),
               static_cast<unsigned>(entry.nInfoStart), static_cast<unsigned long long>(at),
               static_cast<unsigned long long>(head.nExtraSize),
               static_cast<unsigned long long>(head.nDataSize));
    // Sizes from the medium: compared before they are added, so no sum can wrap.
    if (head.nExtraSize > kHSCMaxRecordEnd ||
        at + kHSCGopInfoSize + head.nExtraSize > kHSCMaxRecordEnd) {
        MVLOGI("[CHUNK] " MV_CID_FMT " bulk load data integrity error #5", MV_CID_ARGS(cid));
        return HSCBytesLoad::kRefused;
    }
    if (kHSCGopInfoSize + head.nExtraSize > avail) return HSCBytesLoad::kShort;
    if (!SizeExtra(gop->extraData, head.nExtraSize)) return HSCBytesLoad::kRefused;
    if (head.nExtraSize != 0)
        memcpy(gop->extraData.GetData(), rec + kHSCGopInfoSize, head.nExtraSize);
    if (!block.LoadExtra(gop, cid, gopNumber)) return HSCBytesLoad::kRefused;
    const uint64_t packetsAt = at + kHSCGopInfoSize + head.nExtraSize;
    if (packetsAt + gop->dataSize > kHSCMaxRecordEnd) {
        MVLOGI("[CHUNK] " MV_CID_FMT " bulk load data integrity error #6", MV_CID_ARGS(cid));
        return HSCBytesLoad::kRefused;
    }
    if (packetsAt - at + gop->dataSize > avail) return HSCBytesLoad::kShort;
    if (!MapGopData(gop)) return HSCBytesLoad::kRefused;
    if (gop->dataSize != 0) memcpy(gop->data, rec + (packetsAt - at), gop->dataSize);
    gop->cid = cid;
    return HSCBytesLoad::kLoaded;
}

// Loads one GOP from a copy of the data region (the block's own, pinned by the caller).
static bool HSCSingleChunk_LoadFromCopy(HSCSingleChunk& block, const uint8_t* copy, uint64_t gopNumber,
                                 HSCGop* gop) {
    const tagMvCID cid = block.GetContentID();
    const HSCGopIndexV3* e = block.FindGOPIndexWithID(gopNumber);
    if (e == nullptr) {
        MVLOGE("[CHUNK] " MV_CID_FMT " block (%lu) GOP(%lu) index not found", MV_CID_ARGS(cid),
               static_cast<unsigned long>(block.GetBlockID()), static_cast<unsigned long>(gopNumber));
        return false;
    }
    const HSCGopIndexV3 entry = *e;
    const uint64_t at = static_cast<uint64_t>(entry.nInfoStart & 0x7FFF) * 1024;
    // The integrity checks stop every record at 0x1FFFFFF, inside the copy: it is never short.
    const uint64_t avail = at < kHSCBlockDataSize ? kHSCBlockDataSize - at : 0;
    return HSCSingleChunk_LoadFromBytes(block, gopNumber, entry, avail != 0 ? copy + at : copy,
                                        avail, gop) == HSCBytesLoad::kLoaded;
}

// Outcome of reading one GOP from the medium.
enum class HSCMediumLoad { kLoaded, kRefused, kReadError };

// Reads one GOP's record straight from the medium: its header, its extra data into the GOP's
// buffer and its packets into the GOP's own block (one copy, no staging buffer). `bulk` selects
// the wording of the messages of a bulk load.
static HSCMediumLoad HSCSingleChunk_LoadFromMedium(HSCSingleChunk& block, int fd,
                                                   uint64_t dataOffset, const HSCGopIndexV3& entry,
                                                   uint64_t gopNumber, HSCGop* gop, bool bulk) {
    const tagMvCID cid = block.GetContentID();
    const uint64_t at = static_cast<uint64_t>(entry.nInfoStart & 0x7FFF) * 1024;
    uint8_t raw[kHSCGopInfoSize];
    ssize_t r = PReadAll(fd, raw, sizeof(raw), dataOffset + at);
    if (r != static_cast<ssize_t>(sizeof(raw))) {
        if (bulk)
            MVLOGE("[CHUNK] Data read error: (%d)(%d)", static_cast<int>(r), errno);
        else
            MVLOGE("[CHUNK] Info read error (%d)(%d)", static_cast<int>(r), errno);
        return HSCMediumLoad::kReadError;
    }
    const HSCGopInfoV3 head = HSCDecodeGopInfo(raw);
    if (Verbose())
        MVLOGI("[CHUNK] Load %c GOP(%llu) for CID(%llu)(%u)(%llu), ChunkID(%llu), TotalSize(%llu), "
               "v3index.nInfoStart(%u) nInsideOffset(%llu) v3info.nExtraSize(%llu) "
               "v3info.nDataSize(%llu)",
               bulk ? 'Y' : 'X', static_cast<unsigned long long>(gopNumber),
               static_cast<unsigned long long>(MvCIDStreamId(cid)), MvCIDSubStream(cid),
               static_cast<unsigned long long>(MvCIDContent(cid)),
               static_cast<unsigned long long>(block.GetBlockID()),
               static_cast<unsigned long long>(block.GetSize()), static_cast<unsigned>(entry.nInfoStart),
               static_cast<unsigned long long>(at), static_cast<unsigned long long>(head.nExtraSize),
               static_cast<unsigned long long>(head.nDataSize));
    // Sizes from the medium: compared before they are added, so no sum can wrap.
    if (head.nExtraSize > kHSCMaxRecordEnd ||
        at + head.nExtraSize + kHSCGopInfoSize > kHSCMaxRecordEnd) {
        if (bulk)
            MVLOGI("[CHUNK] " MV_CID_FMT " bulk load data integrity error #5", MV_CID_ARGS(cid));
        else
            MVLOGE("[CHUNK] " MV_CID_FMT " direct load data integrity error #5", MV_CID_ARGS(cid));
        return HSCMediumLoad::kRefused;
    }
    if (!SizeExtra(gop->extraData, head.nExtraSize)) return HSCMediumLoad::kRefused;
    r = head.nExtraSize == 0 ? 0
                             : PReadAll(fd, gop->extraData.GetData(), head.nExtraSize,
                                        dataOffset + at + kHSCGopInfoSize);
    if (r != static_cast<ssize_t>(head.nExtraSize)) {
        if (bulk)
            MVLOGE("[CHUNK] Data read error: (%d)(%d)", static_cast<int>(r), errno);
        else
            MVLOGE("[CHUNK] " MV_CID_FMT " direct load extra data read error: result(%d), errno(%d)",
                   MV_CID_ARGS(cid), static_cast<int>(r), errno);
        return HSCMediumLoad::kReadError;
    }
    if (!block.LoadExtra(gop, cid, gopNumber)) return HSCMediumLoad::kRefused;
    // The packet size comes from the extra data: checked against the region before a block of
    // that size is mapped for it.
    const uint64_t packetsAt = at + kHSCGopInfoSize + head.nExtraSize;
    if (packetsAt + gop->dataSize > kHSCMaxRecordEnd) {
        if (bulk)
            MVLOGI("[CHUNK] " MV_CID_FMT " bulk load data integrity error #6", MV_CID_ARGS(cid));
        else
            MVLOGE("[CHUNK] " MV_CID_FMT " direct load extra data integrity error #6",
                   MV_CID_ARGS(cid));
        return HSCMediumLoad::kRefused;
    }
    if (!MapGopData(gop)) return HSCMediumLoad::kRefused;
    if (gop->dataSize != 0) {
        r = PReadAll(fd, gop->data, gop->dataSize, dataOffset + packetsAt);
        if (r != static_cast<ssize_t>(gop->dataSize)) {
            if (bulk)
                MVLOGE("[CHUNK] Data read error: (%d)(%d)", static_cast<int>(r), errno);
            else
                MVLOGE("[CHUNK] " MV_CID_FMT
                       " direct load GOP data read error: read(%u), expected(%u), errno(%d)",
                       MV_CID_ARGS(cid), static_cast<unsigned>(r), gop->dataSize, errno);
            return HSCMediumLoad::kReadError;
        }
    }
    gop->cid = cid;
    return HSCMediumLoad::kLoaded;
}

bool HSCSingleChunk::LoadGOPNew(uint64_t gopNumber, HSCGop* gop) {
    if (gop == nullptr) {
        if (Verbose()) {
            const tagMvCID cid = GetContentID();
            MVLOGI("[CHUNK] " MV_CID_FMT " bulk load NULL as GOP argument...", MV_CID_ARGS(cid));
        }
        return false;
    }
    SharedPin pin(m_pinLock);
    const uint8_t* copy = m_data.load(std::memory_order_acquire);
    if (copy != nullptr) return HSCSingleChunk_LoadFromCopy(*this, copy, gopNumber, gop);
    const tagMvCID cid = GetContentID();
    MVLOGE("[CHUNK] Bulk load request for block (%llu), " MV_CID_FMT " failed",
           static_cast<unsigned long long>(m_params.blockId), MV_CID_ARGS(cid));
    return false;
}

bool HSCSingleChunk::LoadGOPDirect(uint64_t gopNumber, HSCGop* gop) {
    const tagMvCID cid = GetContentID();
    if (gop == nullptr) {
        if (Verbose())
            MVLOGI("[CHUNK] " MV_CID_FMT " direct load NULL as GOP argument...", MV_CID_ARGS(cid));
        return false;
    }
    const HSCGopIndexV3* e = FindGOPIndexWithID(gopNumber);
    if (e == nullptr) {
        MVLOGE("[CHUNK] " MV_CID_FMT " block (%lu) GOP(%lu) index not found", MV_CID_ARGS(cid),
               static_cast<unsigned long>(m_params.blockId), static_cast<unsigned long>(gopNumber));
        return false;
    }
    const HSCGopIndexV3 entry = *e;

    Pin();
    const uint8_t* copy = m_data.load(std::memory_order_acquire);
    if (copy != nullptr) {
        bool ok = false;
        try {
            ok = HSCSingleChunk_LoadFromCopy(*this, copy, gopNumber, gop);
        } catch (...) {
            UnPin();
            throw;
        }
        if (!ok)
            MVLOGE("[CHUNK] " MV_CID_FMT " direct load, LoadGOPBulk failed", MV_CID_ARGS(cid));
        else
            HSCSetLoadedFootprint(gop);
        UnPin();
        return ok;
    }
    UnPin();

    if (HSCSingleChunk_LoadFromMedium(*this, m_params.fd, m_dataOffset, entry, gopNumber, gop,
                                      false) != HSCMediumLoad::kLoaded)
        return false;
    HSCSetLoadedFootprint(gop);
    return true;
}

// Loads GOPs first..end of the block into the list with `load(n, gop)`; GOPs it refuses are
// dropped. `count` is the number of published entries the source is known to hold. A read
// error of the medium gives back what this call added and fails.
template <typename LoadOne>
static bool LoadRange(HSCSingleChunk& block, uint64_t count, uint64_t first,
                      std::vector<HSCGop*>& list, LoadOne&& load) {
    if (count > block.GetGOPCount()) count = block.GetGOPCount();
    if (count == 0) return true;
    const uint64_t start = block.GetStartGOPID();
    uint64_t end = block.GetEndGOPID();
    // Only published entries: the writer moves nEndGOP before it counts the entry.
    if (end - start + 1 > count) end = start + count - 1;
    if (first == 0) first = start;
    const size_t before = list.size();
    for (uint64_t n = first < start ? start : first; n <= end; ++n) {
        HSCGop* gop = new (std::nothrow) HSCGop();
        if (gop == nullptr) break;
        const HSCMediumLoad got = load(n, gop);
        if (got != HSCMediumLoad::kLoaded) {
            delete gop;
            if (got == HSCMediumLoad::kRefused) continue;
            for (size_t i = before; i < list.size(); ++i) list[i]->Release();
            list.resize(before);
            return false;
        }
        HSCSetLoadedFootprint(gop);
        try {
            list.push_back(gop);
        } catch (...) {
            delete gop;
            throw;
        }
        gop->AddRef();
    }
    return true;
}

bool HSCSingleChunk::LoadBulk(std::vector<HSCGop*>& list, uint64_t first) {
    const tagMvCID cid = GetContentID();

    // A BULKWRITE writer's copy holds GOPs not yet on the medium: read them from it, pinned so
    // that its flush waits for this load.
    {
        SharedPin pin(m_pinLock);
        const uint8_t* copy = m_data.load(std::memory_order_acquire);
        if (copy != nullptr) {
            LoadRange(*this, GetGOPCount(), first, list, [&](uint64_t n, HSCGop* gop) {
                return HSCSingleChunk_LoadFromCopy(*this, copy, n, gop) ? HSCMediumLoad::kLoaded
                                                                        : HSCMediumLoad::kRefused;
            });
            MVLOGW("[CHUNK] Bulk load request for loaded block (%llu), " MV_CID_FMT "...",
                   static_cast<unsigned long long>(m_params.blockId), MV_CID_ARGS(cid));
            return true;
        }
    }

    // Otherwise each GOP is read from the medium straight into its own memory. Only entries
    // counted now are read: their records end at or before nDataSize, which a writer stores
    // before it counts an entry.
    MVLOGI("[CHUNK] " MV_CID_FMT " loading data from block(%u) on storage(%u)...",
           MV_CID_ARGS(cid), static_cast<unsigned>(m_params.blockId),
           static_cast<unsigned>(m_params.storageId));
    const uint64_t count = GetGOPCount();
    if (count == 0) return true;
    // No read-ahead hint for the region: the GOPs are read in order, and the kernel's own
    // sequential read-ahead keeps the disk busy while earlier GOPs are copied and parsed. Asking
    // for the whole region up front made a block not in the page cache load 2 to 3 times slower.
    // A small record (its span, from its start to the next record's or to the end of the used
    // region, at most kOneReadRecord bytes) is read with one call into a scratch buffer and
    // taken from there: a small GOP then costs one read instead of three, for a copy of a few
    // KiB. Larger records are read straight into their GOP's memory.
    const uint64_t used = GetSize();
    std::unique_ptr<uint8_t[]> scratch;
    return LoadRange(*this, count, first, list, [&](uint64_t n, HSCGop* gop) {
        const HSCGopIndexV3* e = FindGOPIndexWithID(n);
        if (e == nullptr) {
            MVLOGE("[CHUNK] " MV_CID_FMT " block (%lu) GOP(%lu) index not found", MV_CID_ARGS(cid),
                   static_cast<unsigned long>(m_params.blockId), static_cast<unsigned long>(n));
            return HSCMediumLoad::kRefused;
        }
        const HSCGopIndexV3 entry = *e;
        const uint64_t at = static_cast<uint64_t>(entry.nInfoStart & 0x7FFF) * 1024;
        const HSCGopIndexV3* next = FindGOPIndexWithID(n + 1, false);
        const uint64_t until =
            next != nullptr ? static_cast<uint64_t>(next->nInfoStart & 0x7FFF) * 1024 : used;
        if (until > at && until - at <= kOneReadRecord) {
            if (!scratch) scratch.reset(new (std::nothrow) uint8_t[kOneReadRecord]);
            const uint64_t span = until - at;
            if (scratch && PReadAll(m_params.fd, scratch.get(), span, m_dataOffset + at) ==
                               static_cast<ssize_t>(span)) {
                switch (HSCSingleChunk_LoadFromBytes(*this, n, entry, scratch.get(), span, gop)) {
                    case HSCBytesLoad::kLoaded: return HSCMediumLoad::kLoaded;
                    case HSCBytesLoad::kRefused: return HSCMediumLoad::kRefused;
                    case HSCBytesLoad::kShort: break;  // reaches past its span: read it in parts
                }
            }
            // A short read or an odd record: the reads below report or load it as usual.
        }
        return HSCSingleChunk_LoadFromMedium(*this, m_params.fd, m_dataOffset, entry, n, gop, true);
    });
}
