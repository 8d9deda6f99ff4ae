// Encoding, decoding, CRCs and validation of the storage media records.
#include "mvstorageformat.h"

#include "mvcrc.h"

namespace {

// Little-endian field access at fixed offsets of a record buffer.
inline void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLE64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}
inline uint32_t GetLE32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t GetLE64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

uint64_t HSCBlockCountForSize(uint64_t size, uint64_t* originalBlocks) {
    const uint64_t b = size > kHSCHeaderArea ? (size - kHSCHeaderArea) / kHSCBlockDataSize : 0;
    if (originalBlocks != nullptr) *originalBlocks = b;
    if (b == 0) return 0;
    // The used span N + N*6216/32MiB grows with N, so the counts that fit form a prefix
    // [0, answer]; a binary search finds its end in a bounded number of steps.
    auto fits = [b](uint64_t n) { return n + (n * kHSCInfoStride) / kHSCBlockDataSize + 1 <= b; };
    uint64_t lo = 0, hi = b - 1;  // fits(0) always holds since b >= 1
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo + 1) / 2;
        if (fits(mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

// ---- storage header ----

void HSCEncodeStorageInfo(const HSCStorageInfoV3& info, std::span<uint8_t, kHSCStorageInfoSize> out) {
    uint8_t* p = out.data();
    PutLE32(p + 0, info.nSignature);
    PutLE32(p + 4, info.nReserved4);
    PutLE64(p + 8, info.nVersion);
    PutLE64(p + 16, info.nCreated);
    PutLE64(p + 24, info.nBlocks);
    PutLE64(p + 32, info.nReserved32);
    PutLE32(p + 40, info.nCRC);
    PutLE32(p + 44, info.nReserved44);
}

HSCStorageInfoV3 HSCDecodeStorageInfo(std::span<const uint8_t, kHSCStorageInfoSize> in) {
    const uint8_t* p = in.data();
    HSCStorageInfoV3 info;
    info.nSignature = GetLE32(p + 0);
    info.nReserved4 = GetLE32(p + 4);
    info.nVersion = GetLE64(p + 8);
    info.nCreated = GetLE64(p + 16);
    info.nBlocks = GetLE64(p + 24);
    info.nReserved32 = GetLE64(p + 32);
    info.nCRC = GetLE32(p + 40);
    info.nReserved44 = GetLE32(p + 44);
    return info;
}

uint32_t HSCStorageInfoCRC(const HSCStorageInfoV3& info) {
    uint8_t bytes[kHSCStorageInfoSize];
    HSCEncodeStorageInfo(info, bytes);
    return MvCalcCRC32(bytes, 40);
}

void HSCSealStorageInfo(HSCStorageInfoV3& info) { info.nCRC = HSCStorageInfoCRC(info); }

HSCStorageInfoV3 HSCMakeStorageInfo(uint64_t blocks, MvTime created) {
    HSCStorageInfoV3 info;
    info.nSignature = kHSCStorageSignature;
    info.nVersion = kHSCStorageVersion;
    info.nCreated = created;
    info.nBlocks = blocks;
    HSCSealStorageInfo(info);
    return info;
}

HSCHeaderCheck HSCCheckStorageInfo(const HSCStorageInfoV3& info) {
    if (info.nSignature != kHSCStorageSignature) return HSCHeaderCheck::Signature;
    if (info.nVersion != kHSCStorageVersion) return HSCHeaderCheck::Version;
    if (!HSCStorageInfoCRCOk(info)) return HSCHeaderCheck::CRC;
    return HSCHeaderCheck::Ok;
}

bool HSCStorageInfoCRCOk(const HSCStorageInfoV3& info) {
    return info.nCRC == HSCStorageInfoCRC(info);
}

// ---- block info record and index ----

void HSCEncodeChunkInfo(const HSCChunkInfoV3& info, std::span<uint8_t, kHSCChunkInfoSize> out) {
    uint8_t* p = out.data();
    PutLE32(p + 0, info.nMarker);
    PutLE64(p + 4, info.nContentID);
    PutLE32(p + 12, info.nReserved12);
    PutLE64(p + 16, info.nGOPCount);
    PutLE64(p + 24, info.nStartGOP);
    PutLE64(p + 32, info.nEndGOP);
    PutLE64(p + 40, info.nStartTime);
    PutLE64(p + 48, info.nEndTime);
    PutLE32(p + 56, info.nDataSize);
    PutLE32(p + 60, info.nIndexCRC);
    PutLE32(p + 64, info.nInfoCRC);
    PutLE32(p + 68, info.nReserved68);
}

HSCChunkInfoV3 HSCDecodeChunkInfo(std::span<const uint8_t, kHSCChunkInfoSize> in) {
    const uint8_t* p = in.data();
    HSCChunkInfoV3 info;
    info.nMarker = GetLE32(p + 0);
    info.nContentID = GetLE64(p + 4);
    info.nReserved12 = GetLE32(p + 12);
    info.nGOPCount = GetLE64(p + 16);
    info.nStartGOP = GetLE64(p + 24);
    info.nEndGOP = GetLE64(p + 32);
    info.nStartTime = GetLE64(p + 40);
    info.nEndTime = GetLE64(p + 48);
    info.nDataSize = GetLE32(p + 56);
    info.nIndexCRC = GetLE32(p + 60);
    info.nInfoCRC = GetLE32(p + 64);
    info.nReserved68 = GetLE32(p + 68);
    return info;
}

void HSCEncodeIndex(const HSCGopIndexArrayV3& index, std::span<uint8_t, kHSCIndexSize> out) {
    uint8_t* p = out.data();
    for (const HSCGopIndexV3& e : index) {
        PutLE16(p + 0, e.nInfoStart);
        PutLE16(p + 2, e.nTimeOffset);
        PutLE16(p + 4, e.nPacketCount);
        p += kHSCIndexEntrySize;
    }
}

void HSCDecodeIndex(std::span<const uint8_t, kHSCIndexSize> in, HSCGopIndexArrayV3& index) {
    const uint8_t* p = in.data();
    for (HSCGopIndexV3& e : index) {
        e.nInfoStart = GetLE16(p + 0);
        e.nTimeOffset = GetLE16(p + 2);
        e.nPacketCount = GetLE16(p + 4);
        p += kHSCIndexEntrySize;
    }
}

uint32_t HSCChunkInfoCRC(const HSCChunkInfoV3& info) {
    uint8_t bytes[kHSCChunkInfoSize];
    HSCEncodeChunkInfo(info, bytes);
    return MvCalcCRC32(bytes, static_cast<int>(kHSCChunkInfoCRCSpan));
}

uint32_t HSCIndexCRC(const HSCGopIndexArrayV3& index) {
    uint8_t bytes[kHSCIndexSize];
    HSCEncodeIndex(index, bytes);
    return MvCalcCRC32(bytes, static_cast<int>(kHSCIndexSize));
}

void HSCSealChunkInfo(HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index) {
    info.nIndexCRC = HSCIndexCRC(index);
    info.nInfoCRC = HSCChunkInfoCRC(info);
}

void HSCResetChunkInfo(HSCChunkInfoV3& info, HSCGopIndexArrayV3& index, uint32_t marker,
                       uint16_t storageId) {
    info = HSCChunkInfoV3{};
    info.nMarker = marker;
    info.nContentID = HSCMakeCID(storageId, 0, kHSCFreeWriterID);
    index.fill(HSCGopIndexV3{});
    HSCSealChunkInfo(info, index);
}

const char* HSCInfoCheckName(HSCInfoCheck result) {
    switch (result) {
        case HSCInfoCheck::Ok: return "ok";
        case HSCInfoCheck::InfoCRC: return "info CRC";
        case HSCInfoCheck::IndexCRC: return "index CRC";
        case HSCInfoCheck::DataSize: return "data size";
        case HSCInfoCheck::GOPCount: return "GOP count";
        case HSCInfoCheck::InfoStart: return "record start";
        case HSCInfoCheck::TimeOrder: return "time order";
        case HSCInfoCheck::FreeOwner: return "free block owner";
        case HSCInfoCheck::UsedEmpty: return "used block empty";
    }
    return "unknown";
}

HSCInfoCheck HSCCheckChunkCRCs(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index) {
    if (info.nInfoCRC != HSCChunkInfoCRC(info)) return HSCInfoCheck::InfoCRC;
    if (info.nIndexCRC != HSCIndexCRC(index)) return HSCInfoCheck::IndexCRC;
    return HSCInfoCheck::Ok;
}

HSCInfoCheck HSCCheckIndexCommon(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index) {
    if (info.nDataSize > kHSCMaxRecordEnd) return HSCInfoCheck::DataSize;
    // The per-entry steps below walk nGOPCount entries of a 1024-entry index.
    if (info.nGOPCount > kHSCIndexEntries) return HSCInfoCheck::GOPCount;
    const size_t count = static_cast<size_t>(info.nGOPCount);
    for (size_t k = 0; k < count; ++k) {
        const uint64_t start = static_cast<uint64_t>(index[k].nInfoStart & 0x7FFF) * 1024;
        if (start >= info.nDataSize) return HSCInfoCheck::InfoStart;
    }
    // Only recorded entries are ordered: the zero entries after them would always "decrease".
    for (size_t k = 1; k < count; ++k)
        if (index[k].nTimeOffset < index[k - 1].nTimeOffset) return HSCInfoCheck::TimeOrder;
    return HSCInfoCheck::Ok;
}

HSCInfoCheck HSCCheckChunkInfo(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index,
                               uint16_t storageId) {
    HSCInfoCheck r = HSCCheckChunkCRCs(info, index);
    if (r != HSCInfoCheck::Ok) return r;
    r = HSCCheckIndexCommon(info, index);
    if (r != HSCInfoCheck::Ok) return r;
    if (HSCIsFreeBlock(info)) {
        if (HSCCIDBitrate(info.nContentID) != 0 || HSCCIDContent(info.nContentID) != storageId)
            return HSCInfoCheck::FreeOwner;
    } else if (info.nGOPCount == 0 || info.nStartGOP == 0 || info.nEndGOP == 0 ||
               info.nStartTime == 0 || info.nEndTime == 0 || info.nDataSize == 0) {
        return HSCInfoCheck::UsedEmpty;
    }
    return HSCInfoCheck::Ok;
}

HSCInfoCheck HSCPrepareChunkInfoSave(HSCChunkInfoV3& info, HSCGopIndexArrayV3& index) {
    if (info.nGOPCount > kHSCIndexEntries) return HSCInfoCheck::GOPCount;
    for (size_t k = static_cast<size_t>(info.nGOPCount); k < kHSCIndexEntries; ++k)
        index[k] = HSCGopIndexV3{};
    const HSCInfoCheck r = HSCCheckIndexCommon(info, index);
    if (r == HSCInfoCheck::Ok) HSCSealChunkInfo(info, index);
    return r;
}

// ---- appending a GOP ----

const char* HSCAppendFitName(HSCAppendFit fit) {
    switch (fit) {
        case HSCAppendFit::Ok: return "ok";
        case HSCAppendFit::IndexFull: return "index full";
        case HSCAppendFit::OffsetOverflow: return "offset overflow";
        case HSCAppendFit::TimeOverflow: return "time overflow";
        case HSCAppendFit::TimeBackwards: return "time backwards";
        case HSCAppendFit::PacketCountOverflow: return "packet count overflow";
        case HSCAppendFit::NoSpace: return "no space";
    }
    return "unknown";
}

HSCAppendFit HSCPlanAppend(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index,
                           int64_t timeOffsetCs, bool closedSizeZero, uint64_t extraSize,
                           uint64_t packetDataSize, HSCAppendPlan& plan) {
    if (info.nGOPCount >= kHSCIndexEntries) return HSCAppendFit::IndexFull;
    const size_t k = static_cast<size_t>(info.nGOPCount);

    const uint32_t s = HSCRecordStartKiB(info.nDataSize);
    if (s > kHSCMaxInfoStartKiB) return HSCAppendFit::OffsetOverflow;

    uint16_t timeOffset = 0;
    if (k > 0) {
        if (timeOffsetCs < 0) return HSCAppendFit::TimeBackwards;
        if (timeOffsetCs > static_cast<int64_t>(kHSCMaxTimeOffset)) return HSCAppendFit::TimeOverflow;
        timeOffset = static_cast<uint16_t>(timeOffsetCs);
        if (timeOffset < index[k - 1].nTimeOffset) return HSCAppendFit::TimeBackwards;
    }

    const uint64_t start = static_cast<uint64_t>(s) * 1024;
    // Sizes come from outside the block; compare before adding so the sum cannot wrap.
    if (extraSize > kHSCMaxRecordEnd || packetDataSize > kHSCMaxRecordEnd)
        return HSCAppendFit::NoSpace;
    const uint64_t end = start + kHSCGopInfoSize + extraSize + packetDataSize;
    if (end > kHSCMaxRecordEnd) return HSCAppendFit::NoSpace;

    const uint64_t slots = HSCPacketSlots(packetDataSize);
    if (slots > 0xFFFF) return HSCAppendFit::PacketCountOverflow;

    plan.entry.nInfoStart = static_cast<uint16_t>(s | (closedSizeZero ? kHSCInfoStartClosedFlag : 0));
    plan.entry.nTimeOffset = timeOffset;
    plan.entry.nPacketCount = static_cast<uint16_t>(slots);
    plan.recordStart = static_cast<uint32_t>(start);
    plan.recordEnd = static_cast<uint32_t>(end);
    return HSCAppendFit::Ok;
}

void HSCApplyAppend(HSCChunkInfoV3& info, HSCGopIndexArrayV3& index, const HSCAppendPlan& plan,
                    uint64_t gopNumber, MvTime gopTime) {
    if (info.nGOPCount >= kHSCIndexEntries) return;
    const size_t k = static_cast<size_t>(info.nGOPCount);
    index[k] = plan.entry;
    info.nDataSize = plan.recordEnd;
    if (k == 0) {
        info.nStartGOP = gopNumber;
        info.nStartTime = gopTime;
    }
    info.nEndGOP = gopNumber;
    info.nEndTime = gopTime;
    info.nGOPCount = k + 1;
}

// ---- GOP record header ----

void HSCEncodeGopInfo(const HSCGopInfoV3& info, std::span<uint8_t, kHSCGopInfoSize> out) {
    uint8_t* p = out.data();
    PutLE64(p + 0, info.nSignature);
    PutLE64(p + 8, info.nGOP);
    PutLE64(p + 16, info.nContentID);
    PutLE64(p + 24, info.nTime);
    PutLE64(p + 32, info.nExtraSize);
    PutLE64(p + 40, info.nDataSize);
}

HSCGopInfoV3 HSCDecodeGopInfo(std::span<const uint8_t, kHSCGopInfoSize> in) {
    const uint8_t* p = in.data();
    HSCGopInfoV3 info;
    info.nSignature = GetLE64(p + 0);
    info.nGOP = GetLE64(p + 8);
    info.nContentID = GetLE64(p + 16);
    info.nTime = GetLE64(p + 24);
    info.nExtraSize = GetLE64(p + 32);
    info.nDataSize = GetLE64(p + 40);
    return info;
}

HSCGopInfoV3 HSCMakeGopInfo(uint64_t gopNumber, uint64_t contentId, MvTime time,
                            int32_t extraLength, uint32_t dataSize) {
    HSCGopInfoV3 info;
    info.nSignature = kHSCGopSignature;
    info.nGOP = gopNumber;
    info.nContentID = contentId;
    info.nTime = time;
    info.nExtraSize = static_cast<uint64_t>(static_cast<int64_t>(extraLength));
    info.nDataSize = dataSize;
    return info;
}
