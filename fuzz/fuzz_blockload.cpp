// GOPs loaded from a block whose index and records come from a medium: the bulk load (one read
// for a small record, reads in parts for a large one or one that overruns its span) and the
// single-GOP load must never fault or read past what they were given, whatever the bytes, and
// every GOP the bulk load hands out must load alike on its own.
//
// Input: [GOP count][per GOP: start step (4 KiB units), flags, packet count u16][used size u24]
// [data region bytes]. The harness seals the block info so that the block is valid, and where a
// record's extra data lies within the given bytes it fixes its length and CRC (and, by the
// record's flags, its signature and GOP number), so that loads get past those checks. Records
// copied from a medium the server wrote (a used block's data region, with the packet size in
// the record header and extra data made small or left large) make good seeds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cfg.h"
#include "mvcommondata.h"
#include "mvcrc.h"
#include "mvlogger.h"
#include "mvstorageformat.h"
#include "mvtime.h"
#include "storagemgr_block.h"

namespace {

constexpr size_t kMaxRegion = 256 * 1024;
constexpr uint64_t kFirstGop = 100;
constexpr tagMvCID kCid = MvCIDMake(4321, 1, 0);

int Medium() {
    static const int fd = [] {
        const int f = memfd_create("mvfuzzblock", MFD_CLOEXEC);
        if (f < 0 || ftruncate(f, static_cast<off_t>(HSCMediumSize(1))) != 0) abort();
        return f;
    }();
    return fd;
}

void PutLE(uint8_t* p, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetLE(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

bool SameGop(const HSCGop& a, const HSCGop& b) {
    return a.gopId == b.gopId && a.dataSize == b.dataSize && a.startTime == b.startTime &&
           a.pts == b.pts && a.extraData.GetLength() == b.extraData.GetLength() &&
           memcmp(a.extraData.GetData(), b.extraData.GetData(),
                  static_cast<size_t>(a.extraData.GetLength())) == 0 &&
           (a.dataSize == 0 || memcmp(a.data, b.data, a.dataSize) == 0) &&
           a.tsInfos.size() == b.tsInfos.size() && a.accessors.size() == b.accessors.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        MvLogEnable(false);
        ITGGetMainConf()->VERBOSE.store(false);
        ITGGetMainConf()->BULKWRITE.store(false);
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    const size_t count = 1 + data[0] % 8;
    const size_t head = 1 + count * 4 + 3;
    if (size < head) return 0;

    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index;
    HSCResetChunkInfo(info, index, 1, 1);
    std::vector<uint64_t> starts, flags;
    uint64_t start = 0;
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* g = data + 1 + k * 4;
        start += static_cast<uint64_t>(g[0]) * 4096;
        if (start > 0x7FFC * 1024ull) start = 0x7FFC * 1024ull;
        starts.push_back(start);
        flags.push_back(g[1]);
        index[k].nInfoStart = static_cast<uint16_t>(start / 1024 | ((g[1] & 0x80) != 0 ? 0x8000 : 0));
        index[k].nTimeOffset = static_cast<uint16_t>(k * 100);
        index[k].nPacketCount = static_cast<uint16_t>(GetLE(g + 2, 2));
    }
    uint64_t used = GetLE(data + 1 + count * 4, 3);
    if (used <= starts.back()) used = starts.back() + 1;
    if (used > kHSCMaxRecordEnd) used = kHSCMaxRecordEnd;

    // The data region: the given bytes, zeros after them (over what earlier inputs left).
    std::vector<uint8_t> region(kMaxRegion, 0);
    const size_t given = size - head < kMaxRegion ? size - head : kMaxRegion;
    memcpy(region.data(), data + head, given);
    for (size_t k = 0; k < count; ++k) {
        const uint64_t at = starts[k];
        if (at + kHSCGopInfoSize + kHSCExtraHeaderSize > given) continue;
        uint8_t* rec = region.data() + at;
        const uint64_t extra = GetLE(rec + 32, 8);
        if (extra < kHSCExtraHeaderSize || at + kHSCGopInfoSize + extra > given) continue;
        uint8_t* x = rec + kHSCGopInfoSize;
        if ((flags[k] & 1) != 0)
            PutLE(x, (flags[k] & 2) != 0 ? kHSCExtraSignatureAcc : kHSCExtraSignature, 4);
        if ((flags[k] & 4) != 0 && extra >= 32) PutLE(x + 24, kFirstGop + k, 8);
        PutLE(x + 8, extra, 4);
        PutLE(x + 4, MvCalcCRC32(x + 8, static_cast<int>(extra - 8)), 4);
    }
    // Only what this input or the one before gave needs writing: the rest is still zero.
    static size_t lastGiven = kMaxRegion;
    const size_t write = given > lastGiven ? given : lastGiven;
    lastGiven = given;
    const int fd = Medium();
    if (pwrite(fd, region.data(), write, static_cast<off_t>(HSCDataOffset(1, 0))) !=
        static_cast<ssize_t>(write))
        abort();

    const MvTime t0 = MvTimeCreate(2024, 3, 14, 10, 0, 0, 0);
    info.nContentID = kCid;
    info.nGOPCount = count;
    info.nStartGOP = kFirstGop;
    info.nEndGOP = kFirstGop + count - 1;
    info.nStartTime = t0;
    info.nEndTime = MvTimeAddCentiSecs(t0, (count - 1) * 100);
    info.nDataSize = static_cast<uint32_t>(used);
    HSCSealChunkInfo(info, index);
    uint8_t rec[kHSCChunkInfoSize];
    std::vector<uint8_t> idx(kHSCIndexSize);
    HSCEncodeChunkInfo(info, rec);
    HSCEncodeIndex(index, std::span<uint8_t, kHSCIndexSize>(idx.data(), kHSCIndexSize));
    if (pwrite(fd, rec, sizeof(rec), static_cast<off_t>(HSCInfoOffset(0))) != sizeof(rec) ||
        pwrite(fd, idx.data(), idx.size(), static_cast<off_t>(HSCIndexOffset(0))) !=
            static_cast<ssize_t>(idx.size()))
        abort();

    HSCChunkInitParams p;
    p.storageId = 1;
    p.blockId = 1;
    p.position = 0;
    p.fd = fd;
    p.blockCount = 1;
    HSCSingleChunk block(p);
    if (!block.IsValid()) return 0;

    std::vector<HSCGop*> list;
    if (!block.LoadBulk(list, 0)) abort();  // the medium never fails to read here
    for (HSCGop* g : list) {
        HSCGop* alone = new HSCGop();
        if (!block.LoadGOPDirect(g->gopId, alone) || !SameGop(*g, *alone)) abort();
        delete alone;
        g->Release();
    }
    return 0;
}
