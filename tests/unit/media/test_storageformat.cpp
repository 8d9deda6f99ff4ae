// Byte layout, CRCs, validation, layout arithmetic and GOP append planning of the storage media
// records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mvcrc.h"
#include "mvstorageformat.h"

namespace {

uint32_t LE32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint64_t LE64(const uint8_t* p) { return LE32(p) | (uint64_t)LE32(p + 4) << 32; }
uint16_t LE16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

constexpr uint64_t kMiB = 1ull << 20, kGiB = 1ull << 30;

// A used block holding three GOPs, sealed and valid.
struct UsedBlock {
    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index{};
    UsedBlock() {
        info.nMarker = kHSCResetMarker;
        info.nContentID = HSCMakeCID(1234, 2, 0);
        info.nGOPCount = 3;
        info.nStartGOP = 100;
        info.nEndGOP = 102;
        info.nStartTime = 0x07E704050C22384Eull;
        info.nEndTime = 0x07E704050C223A00ull;
        info.nDataSize = 3 * 8192 + 100;
        index[0] = {0, 0, 700};
        index[1] = {8, 200, 700};
        index[2] = {0x8000 | 16, 400, 700};
        HSCSealChunkInfo(info, index);
    }
};

}  // namespace

TEST(StorageLayout, OffsetsOfHeaderInfoIndexAndData) {
    EXPECT_EQ(HSCInfoOffset(0), 1024u);
    EXPECT_EQ(HSCIndexOffset(0), 1096u);
    EXPECT_EQ(HSCInfoOffset(1), 7240u);
    EXPECT_EQ(HSCIndexOffset(1), 7312u);
    EXPECT_EQ(HSCDataAreaOffset(0), 1024u);  // a medium of 0 blocks is its header only
    EXPECT_EQ(HSCMediumSize(0), 1024u);
    EXPECT_EQ(HSCDataAreaOffset(3), 1024u + 3 * 6216);
    EXPECT_EQ(HSCDataOffset(3, 0), 1024u + 3 * 6216);
    EXPECT_EQ(HSCDataOffset(3, 2), 1024u + 3 * 6216 + 2 * 33554432ull);
    EXPECT_EQ(HSCMediumSize(3), HSCDataOffset(3, 2) + 33554432ull);
    EXPECT_EQ(kHSCInfoStride, 6216u);
    EXPECT_EQ(kHSCIndexSize, 6144u);
}

// The tool's rule, written as the plain count-down it describes.
static uint64_t CountDownReference(uint64_t b) {
    if (b == 0) return 0;
    for (uint64_t n = b - 1;; --n) {
        if (n + (n * 6216) / 33554432 + 1 <= b) return n;
        if (n == 0) return 0;
    }
}

TEST(StorageLayout, BlockCountForSizeTable) {
    struct Case { uint64_t size; uint64_t b; uint64_t n; };
    const Case cases[] = {
        {0, 0, 0},
        {1023, 0, 0},
        {1024, 0, 0},
        {1024 + 33554431, 0, 0},
        {1024 + 33554432, 1, 0},
        {64 * kMiB, 1, 0},  // only the header fits
        {1024 + 2 * 33554432ull, 2, 1},
        {100 * kMiB, 3, 2},
        {200 * kMiB, 6, 5},
        {4 * kGiB, 127, 126},
        {100 * kGiB, 3199, 3198},
        {1024 + 5399 * 33554432ull, 5399, 5398},
        {1024 + 5400 * 33554432ull, 5400, 5398},  // the info area spills into one more block
        {1024 + 5401 * 33554432ull, 5401, 5399},
    };
    for (const Case& c : cases) {
        uint64_t b = 99;
        EXPECT_EQ(HSCBlockCountForSize(c.size, &b), c.n) << c.size;
        EXPECT_EQ(b, c.b) << c.size;
        EXPECT_LE(HSCMediumSize(c.n), std::max<uint64_t>(c.size, 1024)) << c.size;
    }
}

TEST(StorageLayout, BlockCountMatchesCountDownAndFitsTheSize) {
    for (uint64_t b = 0; b < 40000; b += (b < 12000 ? 1 : 7)) {
        const uint64_t size = 1024 + b * 33554432ull + (b % 5) * 1000;
        const uint64_t n = HSCBlockCountForSize(size);
        ASSERT_EQ(n, CountDownReference(b)) << b;
        ASSERT_LE(HSCMediumSize(n), size) << b;
    }
    // The largest sizes finish at once and give a count that still fits.
    uint64_t b = 0;
    const uint64_t n = HSCBlockCountForSize(UINT64_MAX, &b);
    EXPECT_EQ(b, (UINT64_MAX - 1024) / 33554432);
    auto fits = [b](uint64_t k) { return k + (k * 6216) / 33554432 + 1 <= b; };
    EXPECT_TRUE(fits(n));
    EXPECT_FALSE(fits(n + 1));
}

TEST(StorageHeader, FieldsAtTheirOffsetsWithCRC) {
    const MvTime created = 0x07E704050C22384Eull;
    const HSCStorageInfoV3 h = HSCMakeStorageInfo(3198, created);
    uint8_t b[48];
    memset(b, 0xEE, sizeof b);
    HSCEncodeStorageInfo(h, b);
    EXPECT_EQ(LE32(b + 0), 0xADBC01FFu);
    EXPECT_EQ(LE32(b + 4), 0u);
    EXPECT_EQ(LE64(b + 8), 3u);
    EXPECT_EQ(LE64(b + 16), created);
    EXPECT_EQ(LE64(b + 24), 3198u);
    EXPECT_EQ(LE64(b + 32), 0u);
    EXPECT_EQ(LE32(b + 40), MvCalcCRC32(b, 40));
    EXPECT_EQ(LE32(b + 44), 0u);
    EXPECT_EQ(b[0], 0xFF);  // little-endian on the medium
    EXPECT_EQ(b[3], 0xAD);
    EXPECT_EQ(HSCDecodeStorageInfo(b), h);
    EXPECT_EQ(HSCCheckStorageInfo(h), HSCHeaderCheck::Ok);
}

TEST(StorageHeader, ChecksRunSignatureVersionCRCInOrder) {
    const HSCStorageInfoV3 good = HSCMakeStorageInfo(5, 1);
    struct Case { const char* what; uint32_t sig; uint64_t ver; bool reseal; HSCHeaderCheck want; };
    const Case cases[] = {
        {"bad signature beats bad version", 0xADBC01FE, 2, true, HSCHeaderCheck::Signature},
        {"version 2 with a good CRC", 0xADBC01FF, 2, true, HSCHeaderCheck::Version},
        {"stale CRC", 0xADBC01FF, 3, false, HSCHeaderCheck::CRC},
    };
    for (const Case& c : cases) {
        HSCStorageInfoV3 h = good;
        h.nSignature = c.sig;
        h.nVersion = c.ver;
        if (!c.reseal) h.nBlocks = 6;
        if (c.reseal) HSCSealStorageInfo(h);
        EXPECT_EQ(HSCCheckStorageInfo(h), c.want) << c.what;
    }
    // The server's test looks at the CRC only: a resealed version 2 header passes it.
    HSCStorageInfoV3 v2 = good;
    v2.nVersion = 2;
    HSCSealStorageInfo(v2);
    EXPECT_TRUE(HSCStorageInfoCRCOk(v2));
    // Reserved bytes are covered by the CRC as they lie on the medium.
    uint8_t b[48];
    HSCEncodeStorageInfo(good, b);
    b[5] = 1;
    EXPECT_FALSE(HSCStorageInfoCRCOk(HSCDecodeStorageInfo(b)));
}

TEST(ChunkInfo, FieldsAtTheirOffsets) {
    HSCChunkInfoV3 i;
    i.nMarker = 0x11223344;
    i.nContentID = HSCMakeCID(0xA1A2A3A4, 0xB5, 0xC6C7C8);
    i.nGOPCount = 0x0102030405060708ull;
    i.nStartGOP = 0x1112131415161718ull;
    i.nEndGOP = 0x2122232425262728ull;
    i.nStartTime = 0x3132333435363738ull;
    i.nEndTime = 0x4142434445464748ull;
    i.nDataSize = 0x51525354;
    i.nIndexCRC = 0x61626364;
    i.nInfoCRC = 0x71727374;
    uint8_t b[72];
    memset(b, 0xEE, sizeof b);
    HSCEncodeChunkInfo(i, b);
    EXPECT_EQ(LE32(b + 0), 0x11223344u);
    EXPECT_EQ(LE32(b + 4), 0xA1A2A3A4u);  // content number
    EXPECT_EQ(b[8], 0xB5);                // sub-stream
    EXPECT_EQ(b[9], 0xC8);                // 24-bit writer id, little-endian
    EXPECT_EQ(b[10], 0xC7);
    EXPECT_EQ(b[11], 0xC6);
    EXPECT_EQ(LE32(b + 12), 0u);
    EXPECT_EQ(LE64(b + 16), i.nGOPCount);
    EXPECT_EQ(LE64(b + 24), i.nStartGOP);
    EXPECT_EQ(LE64(b + 32), i.nEndGOP);
    EXPECT_EQ(LE64(b + 40), i.nStartTime);
    EXPECT_EQ(LE64(b + 48), i.nEndTime);
    EXPECT_EQ(LE32(b + 56), 0x51525354u);
    EXPECT_EQ(LE32(b + 60), 0x61626364u);
    EXPECT_EQ(LE32(b + 64), 0x71727374u);
    EXPECT_EQ(LE32(b + 68), 0u);
    EXPECT_EQ(HSCCIDContent(i.nContentID), 0xA1A2A3A4u);
    EXPECT_EQ(HSCCIDBitrate(i.nContentID), 0xB5);
    EXPECT_EQ(HSCCIDWriter(i.nContentID), 0xC6C7C8u);
}

TEST(ChunkInfo, RoundTripKeepsEveryByte) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        uint8_t raw[72], again[72];
        for (uint8_t& x : raw) x = static_cast<uint8_t>(rng());
        const HSCChunkInfoV3 info = HSCDecodeChunkInfo(raw);
        HSCEncodeChunkInfo(info, again);
        ASSERT_EQ(memcmp(raw, again, 72), 0);
        EXPECT_EQ(HSCDecodeChunkInfo(again), info);

        std::vector<uint8_t> rawIndex(6144), indexAgain(6144);
        for (uint8_t& x : rawIndex) x = static_cast<uint8_t>(rng());
        HSCGopIndexArrayV3 index{};
        HSCDecodeIndex(std::span<const uint8_t, 6144>(rawIndex.data(), 6144), index);
        HSCEncodeIndex(index, std::span<uint8_t, 6144>(indexAgain.data(), 6144));
        ASSERT_EQ(rawIndex, indexAgain);
        EXPECT_EQ(index[1023].nPacketCount, LE16(&rawIndex[6142]));
        EXPECT_EQ(index[5].nTimeOffset, LE16(&rawIndex[5 * 6 + 2]));
    }
}

TEST(ChunkInfo, SealPutsIndexCRCThenInfoCRCOverIt) {
    UsedBlock blk;
    uint8_t rec[72], idx[6144];
    HSCEncodeChunkInfo(blk.info, rec);
    HSCEncodeIndex(blk.index, idx);
    EXPECT_EQ(LE32(rec + 60), MvCalcCRC32(idx, 6144));
    EXPECT_EQ(LE32(rec + 64), MvCalcCRC32(rec, 64));  // bytes 0..63 include the index CRC
    EXPECT_EQ(LE16(idx + 12), 0x8010);                // entry 2, nInfoStart
    EXPECT_EQ(LE16(idx + 14), 400);
    EXPECT_EQ(HSCCheckChunkInfo(blk.info, blk.index, 0), HSCInfoCheck::Ok);
}

TEST(ChunkInfo, ResetMakesAFreeBlockOfTheStorage) {
    UsedBlock blk;
    HSCResetChunkInfo(blk.info, blk.index, 7, 513);
    uint8_t rec[72];
    HSCEncodeChunkInfo(blk.info, rec);
    EXPECT_EQ(LE32(rec + 0), 7u);
    EXPECT_EQ(LE32(rec + 4), 513u);
    EXPECT_EQ(LE32(rec + 8), 0xFFFFFF00u);
    for (int off = 12; off < 60; ++off) EXPECT_EQ(rec[off], 0) << off;
    EXPECT_EQ(LE32(rec + 68), 0u);
    for (const HSCGopIndexV3& e : blk.index) EXPECT_EQ(e, HSCGopIndexV3{});
    EXPECT_TRUE(HSCIsFreeBlock(blk.info));
    EXPECT_EQ(HSCCheckChunkInfo(blk.info, blk.index, 513), HSCInfoCheck::Ok);
    // A medium formatted for storage 0 fails as a free block of another storage.
    HSCResetChunkInfo(blk.info, blk.index, 1, 0);
    EXPECT_EQ(HSCCheckChunkInfo(blk.info, blk.index, 2), HSCInfoCheck::FreeOwner);
    // The free test masks the sub-stream byte, the owner test does not accept it.
    blk.info.nContentID = HSCMakeCID(0, 3, kHSCFreeWriterID);
    HSCSealChunkInfo(blk.info, blk.index);
    EXPECT_TRUE(HSCIsFreeBlock(blk.info));
    EXPECT_EQ(HSCCheckChunkInfo(blk.info, blk.index, 0), HSCInfoCheck::FreeOwner);
    EXPECT_FALSE(HSCIsFreeBlock(UsedBlock().info));
}

TEST(ChunkInfo, ValidationFailuresInOrder) {
    struct Case {
        const char* what;
        void (*damage)(UsedBlock&);
        HSCInfoCheck want;
    };
    const Case cases[] = {
        {"wrong info CRC is caught before a wrong index CRC",
         [](UsedBlock& b) { b.info.nInfoCRC ^= 1; b.index[1].nPacketCount = 1; },
         HSCInfoCheck::InfoCRC},
        {"index changed after sealing", [](UsedBlock& b) { b.index[900].nTimeOffset = 1; },
         HSCInfoCheck::IndexCRC},
        {"index CRC field changed and info resealed",
         [](UsedBlock& b) { b.info.nIndexCRC ^= 0x100; b.info.nInfoCRC = HSCChunkInfoCRC(b.info); },
         HSCInfoCheck::IndexCRC},
        {"data size beyond the region",
         [](UsedBlock& b) { b.info.nDataSize = 0x2000000; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::DataSize},
        {"more GOPs than index entries",
         [](UsedBlock& b) { b.info.nGOPCount = 1025; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::GOPCount},
        {"huge GOP count", [](UsedBlock& b) { b.info.nGOPCount = UINT64_MAX; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::GOPCount},
        {"record starting at the data end",
         [](UsedBlock& b) { b.index[2].nInfoStart = 0x8000 | 28; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::InfoStart},
        {"time offsets 10 then 9",
         [](UsedBlock& b) { b.index[1].nTimeOffset = 10; b.index[2].nTimeOffset = 9; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::TimeOrder},
        {"free block of storage 5 loaded as storage 0",
         [](UsedBlock& b) { HSCResetChunkInfo(b.info, b.index, 1, 5); }, HSCInfoCheck::FreeOwner},
        {"used block without a start time",
         [](UsedBlock& b) { b.info.nStartTime = 0; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::UsedEmpty},
        {"used block with no GOPs",
         [](UsedBlock& b) { b.info.nGOPCount = 0; HSCSealChunkInfo(b.info, b.index); },
         HSCInfoCheck::UsedEmpty},
    };
    for (const Case& c : cases) {
        UsedBlock b;
        c.damage(b);
        EXPECT_EQ(HSCCheckChunkInfo(b.info, b.index, 0), c.want) << c.what;
    }
    // The tool only looks at the two CRCs.
    UsedBlock b;
    b.info.nStartTime = 0;
    HSCSealChunkInfo(b.info, b.index);
    EXPECT_EQ(HSCCheckChunkCRCs(b.info, b.index), HSCInfoCheck::Ok);
}

TEST(ChunkInfo, FullBlockValidatesAndZeroEntriesAfterTheCountAreNotOrdered) {
    UsedBlock b;
    for (size_t k = 0; k < 1024; ++k) b.index[k] = {static_cast<uint16_t>(4 * k), static_cast<uint16_t>(k), 7};
    b.info.nGOPCount = 1024;
    b.info.nEndGOP = b.info.nStartGOP + 1023;
    b.info.nDataSize = 4096 * 1024 - 10;
    ASSERT_EQ(HSCPrepareChunkInfoSave(b.info, b.index), HSCInfoCheck::Ok);
    EXPECT_EQ(HSCCheckChunkInfo(b.info, b.index, 0), HSCInfoCheck::Ok);
}

TEST(ChunkInfo, PrepareSaveZeroesUnusedEntriesAndSealsOnlyValidIndexes) {
    UsedBlock b;
    b.index[3] = {32, 500, 7};     // stale entry beyond nGOPCount
    b.index[1023] = {1, 2, 3};
    ASSERT_EQ(HSCPrepareChunkInfoSave(b.info, b.index), HSCInfoCheck::Ok);
    EXPECT_EQ(b.index[3], HSCGopIndexV3{});
    EXPECT_EQ(b.index[1023], HSCGopIndexV3{});
    EXPECT_EQ(HSCCheckChunkInfo(b.info, b.index, 0), HSCInfoCheck::Ok);

    const uint32_t infoCRC = b.info.nInfoCRC, indexCRC = b.info.nIndexCRC;
    b.index[2].nTimeOffset = 1;  // now decreasing
    EXPECT_EQ(HSCPrepareChunkInfoSave(b.info, b.index), HSCInfoCheck::TimeOrder);
    EXPECT_EQ(b.info.nInfoCRC, infoCRC);
    EXPECT_EQ(b.info.nIndexCRC, indexCRC);
    b.info.nGOPCount = 2000;
    EXPECT_EQ(HSCPrepareChunkInfoSave(b.info, b.index), HSCInfoCheck::GOPCount);
}

TEST(AppendPlan, IndexEntryAndRecordSpanTable) {
    struct Case {
        const char* what;
        uint32_t dataSize;
        uint64_t count;
        int64_t timeCs;
        bool closedZero;
        uint64_t extra, packets;
        HSCAppendFit want;
        uint16_t infoStart, timeOffset, packetCount;
        uint32_t end;
    };
    const Case cases[] = {
        {"first GOP of an empty block", 0, 0, 999999, false, 100, 1344, HSCAppendFit::Ok, 0, 0, 7, 48 + 100 + 1344},
        {"after a record ending at 5000", 5000, 1, 150, false, 0, 2700, HSCAppendFit::Ok, 8, 150, 14, 8192 + 48 + 2700},
        {"closedSize 0 at 12 KiB", 12288, 1, 0, true, 10, 1343, HSCAppendFit::Ok, 0x800C, 0, 0, 12288 + 48 + 10 + 1343},
        {"record start on an exact boundary", 8192, 1, 0, false, 0, 0, HSCAppendFit::Ok, 8, 0, 0, 8192 + 48},
        {"one byte past a boundary", 8193, 1, 0, false, 0, 0, HSCAppendFit::Ok, 12, 0, 0, 12288 + 48},
        {"largest time offset", 4096, 1, 0xFFFF, false, 0, 0, HSCAppendFit::Ok, 4, 0xFFFF, 0, 4096 + 48},
        {"655.36 s after the first GOP", 4096, 1, 0x10000, false, 0, 0, HSCAppendFit::TimeOverflow, 0, 0, 0, 0},
        {"earlier than the block start", 4096, 1, -1, false, 0, 0, HSCAppendFit::TimeBackwards, 0, 0, 0, 0},
        {"record exactly reaching the limit", 0, 0, 0, false, 0x1FFFFFF - 48, 0, HSCAppendFit::Ok, 0, 0, 0, 0x1FFFFFF},
        {"32 MiB GOP into an empty block", 0, 0, 0, false, 0, 33554432, HSCAppendFit::NoSpace, 0, 0, 0, 0},
        {"one byte over the limit", 0, 0, 0, false, 0x1FFFFFF - 48, 1, HSCAppendFit::NoSpace, 0, 0, 0, 0},
        {"huge extra size does not wrap", 0, 0, 0, false, UINT64_MAX - 10, 100, HSCAppendFit::NoSpace, 0, 0, 0, 0},
        {"largest start", 0x7FFC * 1024, 1, 0, false, 0, 0, HSCAppendFit::Ok, 0x7FFC, 0, 0, 0x7FFC * 1024 + 48},
        {"start beyond 0x7FFE KiB", 0x7FFC * 1024 + 1, 1, 0, false, 0, 0, HSCAppendFit::OffsetOverflow, 0, 0, 0, 0},
        {"1025th GOP", 4096, 1024, 0, false, 0, 0, HSCAppendFit::IndexFull, 0, 0, 0, 0},
        {"packet slots that fit 16 bits", 0, 0, 0, false, 0, 9362ull * 1344, HSCAppendFit::Ok, 0, 0, 65534, 48 + 9362 * 1344},
        {"packet slots beyond 16 bits", 0, 0, 0, false, 0, 9363ull * 1344, HSCAppendFit::PacketCountOverflow, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        HSCChunkInfoV3 info;
        HSCGopIndexArrayV3 index{};
        info.nDataSize = c.dataSize;
        info.nGOPCount = c.count;
        HSCAppendPlan plan;
        ASSERT_EQ(HSCPlanAppend(info, index, c.timeCs, c.closedZero, c.extra, c.packets, plan), c.want)
            << c.what;
        if (c.want != HSCAppendFit::Ok) continue;
        EXPECT_EQ(plan.entry.nInfoStart, c.infoStart) << c.what;
        EXPECT_EQ(plan.entry.nTimeOffset, c.timeOffset) << c.what;
        EXPECT_EQ(plan.entry.nPacketCount, c.packetCount) << c.what;
        EXPECT_EQ(plan.recordStart, (uint32_t)(c.infoStart & 0x7FFF) * 1024) << c.what;
        EXPECT_EQ(plan.recordEnd, c.end) << c.what;
    }
}

TEST(AppendPlan, AppendedGOPsMakeAValidBlock) {
    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index{};
    HSCResetChunkInfo(info, index, kHSCResetMarker, 0);
    info.nContentID = HSCMakeCID(42, 0, 0);  // taken by content 42
    const MvTime t0 = 0x07E704050C223800ull;
    const struct { int64_t cs; uint64_t packets; } gops[] = {{0, 5000 * 7}, {200, 1344 * 3}, {200, 1}, {450, 20000}};
    for (size_t k = 0; k < 4; ++k) {
        HSCAppendPlan plan;
        ASSERT_EQ(HSCPlanAppend(info, index, gops[k].cs, false, 300, gops[k].packets, plan), HSCAppendFit::Ok);
        HSCApplyAppend(info, index, plan, 1000 + k, t0 + gops[k].cs);
    }
    // A GOP whose time went back behind the last entry would make the index unsaveable.
    HSCAppendPlan plan;
    EXPECT_EQ(HSCPlanAppend(info, index, 449, false, 0, 0, plan), HSCAppendFit::TimeBackwards);

    EXPECT_EQ(info.nGOPCount, 4u);
    EXPECT_EQ(info.nStartGOP, 1000u);
    EXPECT_EQ(info.nEndGOP, 1003u);
    EXPECT_EQ(info.nStartTime, t0);
    EXPECT_EQ(info.nEndTime, t0 + 450);
    EXPECT_EQ(index[1].nInfoStart, 36);  // 48 + 300 + 35000 = 35348 -> 36 KiB
    EXPECT_EQ(index[1].nPacketCount, 21);
    EXPECT_EQ(index[2].nPacketCount, 0);
    EXPECT_EQ(info.nDataSize, (uint32_t)index[3].nInfoStart * 1024 + 48 + 300 + 20000);
    ASSERT_EQ(HSCPrepareChunkInfoSave(info, index), HSCInfoCheck::Ok);
    EXPECT_EQ(HSCCheckChunkInfo(info, index, 0), HSCInfoCheck::Ok);
}

TEST(GopRecordHeader, FieldsAndSignExtension) {
    const HSCGopInfoV3 g = HSCMakeGopInfo(77, HSCMakeCID(5, 1, 0), 0x07E7000000000000ull, -2, 0x80000000u);
    uint8_t b[48];
    HSCEncodeGopInfo(g, b);
    const uint8_t sig[8] = {0xCA, 0xFF, 0x23, 0x12, 0x99, 0x70, 0x33, 0x82};
    EXPECT_EQ(memcmp(b, sig, 8), 0);
    EXPECT_EQ(LE64(b + 8), 77u);
    EXPECT_EQ(LE64(b + 16), HSCMakeCID(5, 1, 0));
    EXPECT_EQ(LE64(b + 24), 0x07E7000000000000ull);
    EXPECT_EQ(LE64(b + 32), 0xFFFFFFFFFFFFFFFEull);  // sign-extended
    EXPECT_EQ(LE64(b + 40), 0x80000000ull);          // zero-extended
    EXPECT_EQ(HSCDecodeGopInfo(b), g);
}
