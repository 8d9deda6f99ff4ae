#include "mvcommondata.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mvgopmem.h"
#include "mvlogger.h"

namespace {

// Call sites of a failed unmap, printed with the message.
constexpr int kUnmapSiteReAlloc = 1;
constexpr int kUnmapSiteDestructor = 2;

uint64_t RoundToPage(uint64_t n) { return (n + MV_GOP_PAGE_SIZE - 1) / MV_GOP_PAGE_SIZE * MV_GOP_PAGE_SIZE; }

void PutLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
void PutLE64(uint8_t* p, uint64_t v) {
    PutLE32(p, static_cast<uint32_t>(v));
    PutLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
void PutBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void CopyBuffer(MvBuffer& to, const MvBuffer& from) {
    to.Clean();
    if (from.GetLength() > 0) to.Add(from.GetData(), from.GetLength());
}

}  // namespace

// ---------------------------------------------------------------------------------------------

char* MvCIDToStr(char* out, tagMvCID cid) {
    snprintf(out, MV_CID_STR_SIZE, MV_CID_FMT, MV_CID_ARGS(cid));
    return out;
}

uint32_t MvRTPTimestamp(const timespec& receiveTime) {
    // Wrap-around arithmetic in 64 bits; only the low 32 bits are kept. The nanosecond part is
    // split so that nanoseconds x 9 cannot overflow for any value.
    const int64_t ns = receiveTime.tv_nsec;
    const int64_t nsTicks = (ns / 100000) * 9 + (ns % 100000) * 9 / 100000;
    const uint64_t ticks =
        static_cast<uint64_t>(receiveTime.tv_sec) * 90000u + static_cast<uint64_t>(nsTicks);
    return static_cast<uint32_t>(ticks);
}

void MvInitRTPData(const timespec& receiveTime, uint8_t* record, uint16_t sequence) {
    PutLE64(record, static_cast<uint64_t>(static_cast<int64_t>(receiveTime.tv_sec)));
    PutLE64(record + 8, static_cast<uint64_t>(static_cast<int64_t>(receiveTime.tv_nsec)));
    uint8_t* rtp = record + MV_GOP_RECORD_RTP_OFFSET;
    rtp[0] = 0x80;  // version 2, no padding, no extension, no CSRC
    rtp[1] = 0x21;  // no marker, payload type 33 (MPEG-2 TS)
    PutBE16(rtp + 2, sequence);
    PutBE32(rtp + 4, MvRTPTimestamp(receiveTime));
    PutBE32(rtp + 8, 0);  // SSRC
    for (int i = 0; i < MV_GOP_RECORD_PACKETS; ++i) {
        uint8_t* slot = record + MV_GOP_RECORD_HEADER_SIZE + i * MV_TS_PACKET_SIZE;
        slot[0] = 0x47;
        slot[1] = 0x1F;
        slot[2] = 0xFF;
        slot[3] = 0x10;
    }
}

void MvTSInfoEncode(const MvTSInfo& info, uint8_t* out10) {
    out10[0] = info.flags;
    PutLE32(out10 + 1, info.recordOffset);
    PutLE32(out10 + 5, info.packetOffset);
    out10[9] = info.payloadOffset;
}

MvTSInfo MvTSInfoDecode(const uint8_t* in10) {
    MvTSInfo info;
    info.flags = in10[0];
    info.recordOffset = GetLE32(in10 + 1);
    info.packetOffset = GetLE32(in10 + 5);
    info.payloadOffset = in10[9];
    return info;
}

void MvSeqEntryEncode(const MvSeqEntry& entry, uint8_t* out13) {
    out13[0] = entry.type;
    PutLE32(out13 + 1, entry.a);
    PutLE32(out13 + 5, entry.b);
    PutLE32(out13 + 9, entry.c);
}

MvSeqEntry MvSeqEntryDecode(const uint8_t* in13) {
    MvSeqEntry entry;
    entry.type = in13[0];
    entry.a = GetLE32(in13 + 1);
    entry.b = GetLE32(in13 + 5);
    entry.c = GetLE32(in13 + 9);
    return entry;
}

MvAccessor* MvAccessor::Duplicate() const {
    auto* copy = new MvAccessor(id);
    copy->headerCount = headerCount;
    copy->entries = entries;
    CopyBuffer(copy->buffer, buffer);
    return copy;
}

void MvBuildPidSet(std::map<uint16_t, bool>& pidSet, uint16_t pmtPid, uint16_t pcrPid,
                   uint16_t videoPid, uint16_t ecmPid, const std::vector<uint16_t>& audioPids,
                   const std::vector<uint16_t>& caPids, const std::vector<uint16_t>& otherPids) {
    pidSet.clear();
    pidSet[0] = true;
    pidSet[pmtPid] = true;
    pidSet[pcrPid] = true;
    pidSet[videoPid] = true;
    pidSet[ecmPid] = true;
    for (uint16_t pid : audioPids) pidSet[pid] = true;
    for (uint16_t pid : caPids) pidSet[pid] = true;
    for (uint16_t pid : otherPids) pidSet[pid] = true;
}

// ---------------------------------------------------------------------------------------------

HSCGop::~HSCGop() {
    ClearAccessors();
    if (mappedSize != 0 && data != nullptr && !MvGopMemoryPool().Give(data, mappedSize))
        MVLOGE("[GQ] (%d) Unmap failed: %d, (%p)(%d)", kUnmapSiteDestructor, errno,
               static_cast<void*>(data), static_cast<int>(mappedSize));
    data = nullptr;
    mappedSize = 0;
}

bool HSCGop::ReAlloc(bool overwritten) {
    if (mappedSize != 0 && data != nullptr && !MvGopMemoryPool().Give(data, mappedSize)) {
        const int err = errno;
        MvLogSetFlush(true);
        MVLOGE("[GQ] (%d) Unmap failed: %d, (%p)(%d)", kUnmapSiteReAlloc, err,
               static_cast<void*>(data), static_cast<int>(mappedSize));
        abort();
    }
    data = nullptr;
    mappedSize = 0;
    const uint64_t size = RoundToPage(dataSize);
    if (size == 0) return true;
    if (size > UINT32_MAX) {
        // dataSize may come from a damaged medium: refuse it rather than wrap the size.
        MVLOGE("[GQ] mmap refused for size(%u): above the largest block", dataSize);
        return false;
    }
    // Pages of released GOPs are reused before fresh ones are mapped.
    void* p = MvGopMemoryPool().Take(size, overwritten ? dataSize : 0);
    if (p == nullptr) {
        const int err = errno;
        MvLogSetFlush(true);
        MVLOGE("[GQ] mmap returned NULL for size(%d), errno(%d)", static_cast<int>(size), err);
        abort();
    }
    data = static_cast<uint8_t*>(p);
    mappedSize = static_cast<uint32_t>(size);
    return true;
}

bool HSCGop::ReMap() {
    const uint64_t size = RoundToPage(dataSize);
    if (size == 0) return true;
    if (size == mappedSize && data != nullptr) return true;
    if (size > UINT32_MAX) {
        MVLOGE("[GQ] mremap failed for size(%d), errno(%d)", static_cast<int>(size), EOVERFLOW);
        return false;
    }
    void* p = mremap(data, mappedSize, size, 0);
    if (p == MAP_FAILED) {
        MVLOGE("[GQ] mremap failed for size(%d), errno(%d)", static_cast<int>(size), errno);
        return false;
    }
    data = static_cast<uint8_t*>(p);
    mappedSize = static_cast<uint32_t>(size);
    return true;
}

void HSCGop::ClearAccessors() {
    for (auto& entry : accessors) delete entry.second;
    accessors.clear();
    tsInfos.clear();
}

HSCGop* HSCGop::Duplicate() const {
    auto* copy = new HSCGop;
    copy->dataSize = dataSize;
    copy->spare32 = spare32;
    copy->closedSize = closedSize;
    copy->gopId = gopId;
    copy->spare64 = spare64;
    copy->startTime = startTime;
    copy->pts = pts;
    copy->cid = cid;
    copy->accessorVersion = accessorVersion;
    if (accessorVersion == 1) {
        if (!tsInfos.empty()) copy->tsInfos = tsInfos;
        for (const auto& entry : accessors)
            if (entry.second != nullptr) copy->accessors[entry.first] = entry.second->Duplicate();
    }
    CopyBuffer(copy->patPackets, patPackets);
    CopyBuffer(copy->pmtPackets, pmtPackets);
    CopyBuffer(copy->ecmPackets, ecmPackets);
    CopyBuffer(copy->extraData, extraData);
    copy->pmtPid = pmtPid;
    copy->pcrPid = pcrPid;
    copy->videoPid = videoPid;
    copy->ecmPid = ecmPid;
    copy->audioPids = audioPids;
    copy->caPids = caPids;
    copy->otherPids = otherPids;
    copy->RebuildPidSet();
    // The copy below fills all dataSize bytes only when the source's block holds them.
    copy->ReAlloc(data != nullptr && dataSize <= mappedSize);
    // Only the bytes this GOP actually has mapped are copied; a dataSize beyond the mapping
    // (an inconsistent GOP) leaves the rest of the copy zeroed instead of reading past the block.
    if (copy->data != nullptr && data != nullptr) {
        const uint32_t n = dataSize < mappedSize ? dataSize : mappedSize;
        memcpy(copy->data, data, n);
    }
    return copy;
}

bool HSCGop::Release() {
    const int32_t left = refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        delete this;
        return true;
    }
    if (left < 0) {
        MvLogSetFlush(true);
        fputs("\nUnlock InQueue error...", stdout);
        fflush(stdout);
        abort();
    }
    return false;
}

bool HSCGop::AppendRecord(const uint8_t* record) {
    if (data == nullptr || static_cast<uint64_t>(dataSize) + MV_GOP_RECORD_SIZE > mappedSize)
        return false;
    memcpy(data + dataSize, record, MV_GOP_RECORD_SIZE);
    dataSize += MV_GOP_RECORD_SIZE;
    return true;
}

uint64_t HSCGop::ComputeFootprint() const {
    uint64_t n = 128;
    n += static_cast<uint64_t>(extraData.GetLength());
    n += mappedSize;
    n += static_cast<uint64_t>(patPackets.GetLength());
    n += static_cast<uint64_t>(pmtPackets.GetLength());
    n += static_cast<uint64_t>(ecmPackets.GetLength());
    n += static_cast<uint64_t>(MV_TSINFO_SIZE) * tsInfos.size();
    for (const auto& entry : accessors) {
        if (entry.second == nullptr) continue;
        n += static_cast<uint64_t>(MV_SEQ_ENTRY_SIZE) * entry.second->entries.size();
        n += static_cast<uint64_t>(entry.second->buffer.GetLength());
    }
    return n;
}

MvAccessor* HSCGop::MvAccessorAllocate(uint32_t id, bool warn) {
    auto it = accessors.find(id);
    if (it != accessors.end() && it->second != nullptr) {
        if (warn) MVLOGE("[MVGA] Accessor with ID=%u already exists!", id);
        return it->second;
    }
    auto* accessor = new MvAccessor(id);
    accessors[id] = accessor;
    return accessor;
}

HSCGop* MvInitGOP(tagMvCID cid, void* /*writer*/, uint64_t& nextGopId, const MvBuffer& pat,
                  const MvBuffer& pmt, const MvBuffer& ecm, const HSCPIDData& pidData,
                  uint32_t capacity) {
    auto* gop = new HSCGop;
    gop->gopId = nextGopId++;
    gop->startTime = MvTimeNow();
    gop->spare64 = 0;
    gop->pts = 0;
    gop->dataSize = capacity;
    gop->ReAlloc();
    gop->dataSize = 0;
    CopyBuffer(gop->patPackets, pat);
    CopyBuffer(gop->pmtPackets, pmt);
    CopyBuffer(gop->ecmPackets, ecm);
    gop->pmtPid = pidData.pmtPid;
    gop->pcrPid = pidData.pcrPid;
    gop->videoPid = pidData.videoPid;
    gop->ecmPid = pidData.ecmPid;
    gop->audioPids = pidData.audioPids;
    gop->caPids = pidData.caPids;
    gop->otherPids = pidData.otherPids;
    gop->RebuildPidSet();
    gop->accessorVersion = 1;
    gop->cid = cid;
    return gop;
}
