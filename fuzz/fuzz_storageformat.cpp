// Storage media records read from a medium: decoding, validation and append planning must never
// fault on any bytes, and decoding then encoding must give the same bytes back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mvstorageformat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= kHSCStorageInfoSize) {
        const HSCStorageInfoV3 h = HSCDecodeStorageInfo(std::span<const uint8_t, kHSCStorageInfoSize>(data, kHSCStorageInfoSize));
        uint8_t again[kHSCStorageInfoSize];
        HSCEncodeStorageInfo(h, again);
        if (memcmp(again, data, sizeof again) != 0) abort();
        (void)HSCCheckStorageInfo(h);
    }
    if (size < kHSCInfoStride + 16) return 0;
    HSCChunkInfoV3 info = HSCDecodeChunkInfo(std::span<const uint8_t, kHSCChunkInfoSize>(data, kHSCChunkInfoSize));
    HSCGopIndexArrayV3 index{};
    HSCDecodeIndex(std::span<const uint8_t, kHSCIndexSize>(data + kHSCChunkInfoSize, kHSCIndexSize), index);
    uint8_t rec[kHSCChunkInfoSize];
    HSCEncodeChunkInfo(info, rec);
    if (memcmp(rec, data, sizeof rec) != 0) abort();

    const uint8_t* tail = data + kHSCInfoStride;
    const uint16_t storageId = static_cast<uint16_t>(tail[0] | tail[1] << 8);
    (void)HSCCheckChunkInfo(info, index, storageId);

    int64_t timeCs;
    uint32_t extra, packets;
    memcpy(&timeCs, tail + 2, 8);
    memcpy(&extra, tail + 10, 4);
    packets = static_cast<uint32_t>(tail[14] | tail[15] << 8) * 997u;
    HSCAppendPlan plan;
    if (HSCPlanAppend(info, index, timeCs, tail[0] & 1, extra, packets, plan) == HSCAppendFit::Ok) {
        if (plan.recordEnd > kHSCMaxRecordEnd || plan.recordStart % kHSCRecordAlign != 0) abort();
        HSCApplyAppend(info, index, plan, 1, 1);
    }
    (void)HSCPrepareChunkInfoSave(info, index);
    return 0;
}
