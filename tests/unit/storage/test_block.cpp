// Storage block: loading and validating its info, appending GOPs directly and through the data
// copy, saving and reloading, single and bulk loads, lookups, the limits that make a writer
// switch blocks, damaged records on the medium, and a flush racing readers of the copy.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "mvcrc.h"
#include "storage_fixture.h"
#include "storagemgr_holder.h"

using namespace mvtest;

namespace {

constexpr tagMvCID kCid = MvCIDMake(1234, 2, 0);

// Starts a block as a writer does: reset, then owned by the content.
void StartAsWriter(HSCSingleChunk& block, tagMvCID cid = kCid) {
    ASSERT_TRUE(block.ResetChunkDirect());
    block.SetContentID(cid);
    block.SetFlushed(false);
}

// Writes the GOPs into block 0 of the medium as a writer does and saves its info; returns the
// data-region offset of GOP `recordOf`'s record (0 when something failed, which is reported).
uint64_t WriteSavedBlock(TestMedium& medium, const std::vector<GopPtr>& gops, uint64_t recordOf) {
    auto block = medium.Block(0);
    StartAsWriter(*block);
    for (auto& g : gops)
        if (!block->AppendGOP(g.get())) ADD_FAILURE() << "append " << g->gopId;
    if (!block->SaveInfo()) ADD_FAILURE() << "save";
    const HSCGopIndexV3* e = block->FindGOPIndexWithID(recordOf);
    if (e == nullptr) {
        ADD_FAILURE() << "GOP " << recordOf << " not in the block";
        return 0;
    }
    return (e->nInfoStart & 0x7FFFu) * 1024ull;
}

// GOPs first..last, one second apart, of varied sizes (one of them closed with size 0).
std::vector<GopPtr> MakeRun(uint64_t first, uint64_t last) {
    std::vector<GopPtr> gops;
    for (uint64_t n = first; n <= last; ++n) {
        gops.push_back(MakeGop(n, TestTime((n - first) * 100), static_cast<uint32_t>(3 + (n % 4) * 5)));
        if (n == first + 1) gops.back()->closedSize = 0;
    }
    return gops;
}

uint32_t LE32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

void Reseal(std::vector<uint8_t>& extra) {
    const uint32_t n = static_cast<uint32_t>(extra.size());
    for (int i = 0; i < 4; ++i) extra[8 + i] = static_cast<uint8_t>(n >> (8 * i));
    const uint32_t crc = MvCalcCRC32(extra.data() + 8, static_cast<int>(n - 8));
    for (int i = 0; i < 4; ++i) extra[4 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

}  // namespace

// ---- construction and validation ----

TEST(StorageBlock, FreshFormattedBlocksAreValidAndFree) {
    TestMedium medium(3);
    for (uint64_t pos = 0; pos < 3; ++pos) {
        auto block = medium.Block(pos);
        EXPECT_TRUE(block->IsValid());
        EXPECT_TRUE(block->IsFree());
        EXPECT_TRUE(block->IsFlushed());
        EXPECT_EQ(block->GetGOPCount(), 0u);
        EXPECT_EQ(block->GetInfoOffset(), 1024 + pos * 6216);
        EXPECT_EQ(block->GetDataOffset(), 1024 + 3 * 6216 + pos * 33554432ull);
        EXPECT_EQ(MvCIDContent(block->GetContentID()), 1u);
        EXPECT_NE(block->GetLastAccess(), 0u);
    }
}

TEST(StorageBlock, FreeBlockOfStorage0LoadedAsStorage2IsInvalid) {
    TestMedium medium(2, /*formatStorageId=*/0);
    EXPECT_FALSE(medium.Block(0, 2)->IsValid());
    EXPECT_TRUE(medium.Block(0, 0)->IsValid());
    // The server then resets it for its own storage; a new load accepts it.
    auto block = medium.Block(1, 2);
    EXPECT_TRUE(block->ResetChunkDirect());
    EXPECT_TRUE(block->IsValid());
    auto again = medium.Block(1, 2);
    EXPECT_TRUE(again->IsValid());
    EXPECT_TRUE(again->IsFree());
    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index{};
    medium.ReadInfo(1, info, index);
    EXPECT_EQ(info.nMarker, kHSCResetMarker);
    EXPECT_EQ(info.nContentID, HSCMakeCID(2, 0, 0xFFFFFF));
}

TEST(StorageBlock, BlockIdZeroEndsTheProcess) {
    TestMedium medium(1);
    HSCChunkInitParams p = medium.Params(0);
    p.blockId = 0;
    // The message goes to the screen log (stdout); the death test sees only the status.
    EXPECT_EXIT({ HSCSingleChunk block(p); }, ::testing::ExitedWithCode(1), "");
}

// Damaged records on the medium make the block invalid at construction.
TEST(StorageBlock, DamagedInfoRecordsAreRefused) {
    struct Case {
        const char* name;
        std::function<void(HSCChunkInfoV3&, HSCGopIndexArrayV3&)> damage;
        bool reseal;
    };
    auto used = [](HSCChunkInfoV3& i, HSCGopIndexArrayV3& x) {
        i.nContentID = kCid;
        i.nGOPCount = 3;
        i.nStartGOP = 100;
        i.nEndGOP = 102;
        i.nStartTime = TestTime();
        i.nEndTime = TestTime(200);
        i.nDataSize = 3 * 4096;
        x[0] = {0, 0, 7};
        x[1] = {4, 100, 7};
        x[2] = {8, 200, 7};
    };
    const Case cases[] = {
        {"sound used block", used, true},
        {"wrong info CRC", [&](auto& i, auto& x) { used(i, x); HSCSealChunkInfo(i, x); i.nInfoCRC ^= 1; }, false},
        {"wrong index CRC", [&](auto& i, auto& x) { used(i, x); HSCSealChunkInfo(i, x); x[5].nTimeOffset = 9; }, false},
        {"data size beyond the region", [&](auto& i, auto& x) { used(i, x); i.nDataSize = 0x2000000; }, true},
        {"1025 GOPs", [&](auto& i, auto& x) { used(i, x); i.nGOPCount = 1025; i.nEndGOP = 100 + 1024; }, true},
        {"record start beyond the data", [&](auto& i, auto& x) { used(i, x); x[2].nInfoStart = 12; }, true},
        {"time offsets 10, 9", [&](auto& i, auto& x) { used(i, x); x[1].nTimeOffset = 10; x[2].nTimeOffset = 9; }, true},
        {"used block without times", [&](auto& i, auto& x) { used(i, x); i.nEndTime = 0; }, true},
        {"GOP range disagrees with count", [&](auto& i, auto& x) { used(i, x); i.nEndGOP = 5000; }, true},
        {"free block with a sub-stream", [](auto& i, auto&) { i.nContentID = HSCMakeCID(1, 3, 0xFFFFFF); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestMedium medium(1);
        HSCChunkInfoV3 info;
        HSCGopIndexArrayV3 index{};
        medium.ReadInfo(0, info, index);
        c.damage(info, index);
        if (c.reseal) HSCSealChunkInfo(info, index);
        medium.WriteInfo(0, info, index);
        auto block = medium.Block(0);
        EXPECT_EQ(block->IsValid(), std::string(c.name) == "sound used block");
        // Whatever was loaded, lookups stay inside the index.
        block->FindNearestGOP(TestTime(100));
        block->FindGOPIndexWithID(4000, false);
    }
}

TEST(StorageBlock, ShortMediumGivesReadErrors) {
    TestMedium medium(2);
    ASSERT_EQ(ftruncate(medium.Fd(), 1024 + 6216 + 100), 0);  // block 1's index is cut
    std::string log = CaptureLog([&] { EXPECT_FALSE(medium.Block(1)->IsValid()); });
    EXPECT_NE(log.find("[CHUNK] Index read error: "), std::string::npos) << log;
    ASSERT_EQ(ftruncate(medium.Fd(), 1024 + 6216 + 10), 0);
    log = CaptureLog([&] { EXPECT_FALSE(medium.Block(1)->IsValid()); });
    EXPECT_NE(log.find("[CHUNK] Info read error: "), std::string::npos) << log;
}

// ---- append, save, reload ----

class StorageBlockRoundTrip : public ::testing::TestWithParam<bool> {};

TEST_P(StorageBlockRoundTrip, AppendedGopsSurviveSaveAndReload) {
    const bool bulk = GetParam();
    ScopedStorageConf conf(bulk);
    TestMedium medium(2);
    auto gops = MakeRun(5, 12);
    const uint64_t mappedBefore = HSCMappedBlockCount();
    {
        auto block = medium.Block(1);
        StartAsWriter(*block);
        for (auto& g : gops) ASSERT_TRUE(block->AppendGOP(g.get())) << g->gopId;
        EXPECT_EQ(block->HasDataCopy(), bulk);
        EXPECT_EQ(HSCMappedBlockCount(), mappedBefore + (bulk ? 1 : 0));
        EXPECT_EQ(block->GetGOPCount(), 8u);
        EXPECT_EQ(block->GetStartGOPID(), 5u);
        EXPECT_EQ(block->GetEndGOPID(), 12u);
        EXPECT_EQ(block->GetStartTime(), TestTime());
        EXPECT_EQ(block->GetEndTime(), TestTime(700));

        // Readable before the block is saved: from the copy or from the medium.
        GopPtr early(new HSCGop());
        ASSERT_TRUE(block->LoadGOPDirect(9, early.get()));
        ExpectSameGop(*gops[4], *early);

        // With the copy nothing reached the data region yet.
        const auto head = medium.ReadData(1, 0, 48);
        EXPECT_EQ(LE32(head.data()) == 0x1223FFCA, !bulk);

        ASSERT_TRUE(block->SaveInfo());
        EXPECT_FALSE(block->HasDataCopy());
        EXPECT_EQ(HSCMappedBlockCount(), mappedBefore);
    }

    // Record layout: first record at 0, the next on the following 4096 boundary, bit 15 for the
    // GOP closed with size 0.
    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index{};
    medium.ReadInfo(1, info, index);
    EXPECT_EQ(info.nMarker, kHSCResetMarker);
    EXPECT_EQ(info.nContentID, kCid);
    EXPECT_EQ(index[0].nInfoStart, 0);
    EXPECT_EQ(index[1].nInfoStart & 0x8000, 0x8000);
    EXPECT_EQ(index[1].nInfoStart & 0x7FFF, 4 * ((48 + gops[0]->extraData.GetLength() +
                                                  gops[0]->dataSize + 4095) / 4096));
    EXPECT_EQ(index[3].nTimeOffset, 300);
    EXPECT_EQ(index[2].nPacketCount, gops[2]->dataSize / 1344 * 7);
    EXPECT_EQ(index[8], HSCGopIndexV3{});

    // A fresh block object on the same medium sees the GOPs and loads them byte for byte.
    auto reloaded = medium.Block(1);
    ASSERT_TRUE(reloaded->IsValid());
    EXPECT_FALSE(reloaded->IsFree());
    EXPECT_EQ(reloaded->GetContentID(), kCid);
    EXPECT_EQ(reloaded->GetGOPCount(), 8u);
    for (auto& want : gops) {
        GopPtr got(new HSCGop());
        ASSERT_TRUE(reloaded->LoadGOPDirect(want->gopId, got.get()));
        ExpectSameGop(*want, *got);
        EXPECT_EQ(got->cid, kCid);
        EXPECT_EQ(got->footprint, got->ComputeFootprint());
        uint64_t size = 0;
        ASSERT_TRUE(reloaded->GOPSizeFixed(want->gopId, size));
        EXPECT_EQ(size, want->dataSize / 1344 * 7 * 188 + 376);
    }

    std::vector<HSCGop*> list;
    ASSERT_TRUE(reloaded->LoadBulk(list, 0));
    ASSERT_EQ(list.size(), 8u);
    for (size_t i = 0; i < list.size(); ++i) {
        ExpectSameGop(*gops[i], *list[i]);
        EXPECT_EQ(list[i]->refCount.load(), 1);
        EXPECT_NE(list[i]->footprint, 0u);
    }
    for (HSCGop* g : list) g->Release();
    list.clear();

    ASSERT_TRUE(reloaded->LoadBulk(list, 10));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->gopId, 10u);
    for (HSCGop* g : list) g->Release();
    list.clear();

    // A first GOP beyond the block: the region is read, nothing is loaded.
    ASSERT_TRUE(reloaded->LoadBulk(list, 13));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(HSCMappedBlockCount(), mappedBefore);
}

INSTANTIATE_TEST_SUITE_P(WriteMode, StorageBlockRoundTrip, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BulkWrite" : "Direct"; });

TEST(StorageBlock, GopWithAccessorsRoundTripsThroughTheMedium) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    GopPtr gop = MakeGop(77, TestTime(), 4);
    AddAccessors(gop.get(), 30);
    ASSERT_TRUE(block->AppendGOP(gop.get()));
    ASSERT_TRUE(block->SaveInfo());
    GopPtr got(new HSCGop());
    ASSERT_TRUE(medium.Block(0)->LoadGOPDirect(77, got.get()));
    ExpectSameGop(*gop, *got);
    ASSERT_EQ(got->accessors.size(), 2u);
    EXPECT_EQ(got->accessors[5]->entries.size(), 30u);
    EXPECT_EQ(got->tsInfos.size(), 90u);
    EXPECT_EQ(got->footprint, got->ComputeFootprint());
}

// ---- limits that switch blocks ----

TEST(StorageBlock, The1025thGopIsRefusedWithoutWriting) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    for (uint64_t n = 1; n <= 1024; ++n) {
        GopPtr g = MakeGop(n, TestTime(n), 0);
        ASSERT_TRUE(block->AppendGOP(g.get())) << n;
    }
    const uint32_t size = block->GetSize();
    GopPtr extra = MakeGop(1025, TestTime(1025), 2);
    EXPECT_FALSE(block->AppendGOP(extra.get()));
    EXPECT_EQ(block->GetGOPCount(), 1024u);
    EXPECT_EQ(block->GetEndGOPID(), 1024u);
    EXPECT_EQ(block->GetSize(), size);
    const auto after = medium.ReadData(0, (size + 4095) / 4096 * 4096, 4096);
    EXPECT_EQ(std::count(after.begin(), after.end(), 0), 4096);
    EXPECT_TRUE(block->SaveInfo());
    auto reloaded = medium.Block(0);
    EXPECT_TRUE(reloaded->IsValid());
    // A GOP without packets loads with an empty data block.
    GopPtr empty(new HSCGop());
    EXPECT_TRUE(reloaded->LoadGOPDirect(1024, empty.get()));
    EXPECT_EQ(empty->dataSize, 0u);
    EXPECT_EQ(empty->data, nullptr);
}

TEST(StorageBlock, TimeSpanLimitIs65535Centiseconds) {
    ScopedStorageConf conf(false, /*verbose=*/true);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    GopPtr first = MakeGop(1, TestTime(), 1);
    GopPtr inTime = MakeGop(2, TestTime(65535), 1);
    GopPtr late = MakeGop(3, TestTime(65536), 1);
    GopPtr early = MakeGop(3, MvTimeCreate(2024, 3, 14, 10, 20, 29, 99), 1);  // 1 cs before start
    const std::string saved = CaptureLog([&] { ASSERT_TRUE(block->AppendGOP(first.get())); });
    EXPECT_NE(saved.find("[CHUNK] CID(0)(2)(1234) Saved (write-around) GOP (1) for ChunkID (1), "
                         "TotalSize ("),
              std::string::npos) << saved;
    ASSERT_TRUE(block->AppendGOP(inTime.get()));
    const std::string log = CaptureLog([&] {
        EXPECT_FALSE(block->AppendGOP(late.get()));
        EXPECT_FALSE(block->AppendGOP(early.get()));
    });
    EXPECT_EQ(CountOf(log, "[CHUNK] CID(0)(2)(1234) time overflow / switch..."), 2) << log;
    EXPECT_EQ(block->GetGOPCount(), 2u);
}

TEST(StorageBlock, A32MiBGopDoesNotFitEvenAnEmptyBlock) {
    for (bool bulk : {false, true}) {
        ScopedStorageConf conf(bulk, /*verbose=*/true);
        TestMedium medium(1);
        auto block = medium.Block(0);
        StartAsWriter(*block);
        GopPtr huge(new HSCGop());
        huge->gopId = 1;
        huge->startTime = TestTime();
        huge->dataSize = 0x2000000;
        huge->closedSize = huge->dataSize;
        ASSERT_TRUE(huge->ReAlloc());
        const std::string log = CaptureLog([&] { EXPECT_FALSE(block->AppendGOP(huge.get())); });
        EXPECT_NE(log.find("buffer lacks space, switching to next buffer("), std::string::npos) << log;
        EXPECT_EQ(block->GetGOPCount(), 0u);
        EXPECT_EQ(block->GetSize(), 0u);
        block->FreeSpace();
    }
}

TEST(StorageBlock, RecordsFillTheRegionUntilNoSpace) {
    ScopedStorageConf conf(true);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    uint64_t n = 1;
    for (;; ++n) {
        GopPtr g = MakeGop(n, TestTime(n), 9000);  // 12 MB each
        if (!block->AppendGOP(g.get())) break;
    }
    EXPECT_EQ(n, 3u);  // two fit, the third would end beyond 0x1FFFFFF
    EXPECT_LE(block->GetSize(), 0x1FFFFFFu);
    EXPECT_TRUE(block->SaveInfo());
    GopPtr back(new HSCGop());
    EXPECT_TRUE(medium.Block(0)->LoadGOPDirect(2, back.get()));
    EXPECT_EQ(back->dataSize, 9000u * 1344);
}

TEST(StorageBlock, DuplicateGopIsRefused) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    auto gops = MakeRun(5, 12);
    for (auto& g : gops) ASSERT_TRUE(block->AppendGOP(g.get()));
    GopPtr again = MakeGop(10, TestTime(800), 1);
    const std::string log = CaptureLog([&] { EXPECT_FALSE(block->AppendGOP(again.get())); });
    EXPECT_NE(log.find("[CHUNK] CID(0)(2)(1234) GOP(10) exists..."), std::string::npos) << log;
    EXPECT_EQ(log.find("[CHUNK] MORE"), std::string::npos) << "a miss is not an error here";
    EXPECT_EQ(block->GetGOPCount(), 8u);
    GopPtr next = MakeGop(13, TestTime(800), 1);
    EXPECT_TRUE(block->AppendGOP(next.get()));
}

TEST(StorageBlock, WriteErrorsLeaveTheBlockUnchanged) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto block = medium.Block(0, 1, nullptr, medium.ReadOnlyFd());
    ASSERT_TRUE(block->IsValid());
    block->SetContentID(kCid);
    GopPtr g = MakeGop(1, TestTime(), 2);
    std::string log = CaptureLog([&] { EXPECT_FALSE(block->AppendGOP(g.get())); });
    EXPECT_NE(log.find("[CHUNK] Info write error (-1)(9)"), std::string::npos) << log;
    EXPECT_EQ(block->GetGOPCount(), 0u);
    log = CaptureLog([&] { EXPECT_FALSE(block->ResetChunkDirect()); });
    EXPECT_NE(log.find("[CHUNK] Info write error: (-1)(9)"), std::string::npos) << log;
    EXPECT_FALSE(block->IsValid());
}

// ---- lookups ----

TEST(StorageBlock, LookupsByNumberAndTime) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    std::string log = CaptureLog([&] {
        EXPECT_EQ(block->FindGOPIndexWithID(5), nullptr);
        EXPECT_EQ(block->FindNearestGOP(TestTime()), 0u);
    });
    EXPECT_NE(log.find("[CHUNK] EMPTY"), std::string::npos);

    // GOPs 20, 21, 22 at 0 s, 2 s, 3 s.
    const uint64_t at[] = {0, 200, 300};
    for (int i = 0; i < 3; ++i) {
        GopPtr g = MakeGop(20 + i, TestTime(at[i]), 1);
        ASSERT_TRUE(block->AppendGOP(g.get()));
    }
    log = CaptureLog([&] {
        EXPECT_EQ(block->FindGOPIndexWithID(19), nullptr);
        EXPECT_EQ(block->FindGOPIndexWithID(23), nullptr);
    });
    EXPECT_NE(log.find("[CHUNK] LESS"), std::string::npos);
    EXPECT_NE(log.find("[CHUNK] MORE"), std::string::npos);
    ASSERT_NE(block->FindGOPIndexWithID(21), nullptr);
    EXPECT_EQ(block->FindGOPIndexWithID(21)->nTimeOffset, 200);

    struct { uint64_t centi; uint64_t want; } cases[] = {
        {0, 20}, {99, 20}, {100, 20} /* tie: the earlier */, {101, 21}, {250, 21} /* tie */,
        {251, 22}, {100000, 22},
    };
    for (auto c : cases) EXPECT_EQ(block->FindNearestGOP(TestTime(c.centi)), c.want) << c.centi;
    EXPECT_EQ(block->FindNearestGOP(MvTimeCreate(2024, 3, 14, 10, 0, 0, 0)), 20u);

    uint64_t size = 0;
    log = CaptureLog([&] { EXPECT_FALSE(block->GOPSizeFixed(30, size)); });
    EXPECT_NE(log.find("[CHUNK] ID not found (30)"), std::string::npos) << log;
}

// ---- loading damaged records ----

TEST(StorageBlock, DamagedGopRecordsAreRefusedOnLoad) {
    ScopedStorageConf conf(false);
    struct Case {
        const char* name;
        // `at`: start of the GOP record in the data region.
        std::function<void(TestMedium&, uint64_t at, std::vector<uint8_t>& extra)> damage;
        const char* direct;  // expected message of the direct load
        const char* bulk;    // of the load from a copy
    };
    const Case cases[] = {
        {"huge extra size in the header",
         [](TestMedium& m, uint64_t at, std::vector<uint8_t>&) {
             const uint8_t big[8] = {0, 0, 0, 2, 0, 0, 0, 0};  // 0x02000000
             m.WriteData(0, at + 32, big, 8);
         },
         "direct load data integrity error #5", "bulk load data integrity error #5"},
        {"extra size far beyond 32 bits",
         [](TestMedium& m, uint64_t at, std::vector<uint8_t>&) {
             const uint8_t big[8] = {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
             m.WriteData(0, at + 32, big, 8);
         },
         "direct load data integrity error #5", "bulk load data integrity error #5"},
        {"extra data corrupted",
         [](TestMedium& m, uint64_t at, std::vector<uint8_t>&) {
             const uint8_t x = 0x5A;
             m.WriteData(0, at + 48 + 20, &x, 1);
         },
         "GOP(2) size or CRC error", "GOP(2) size or CRC error"},
        {"packet size in the extra data beyond the region",
         [](TestMedium& m, uint64_t at, std::vector<uint8_t>& extra) {
             extra[12] = 0;
             extra[13] = 0;
             extra[14] = 0;
             extra[15] = 0x02;  // dataSize 32 MiB
             Reseal(extra);
             m.WriteData(0, at + 48, extra.data(), extra.size());
         },
         "direct load extra data integrity error #6", "bulk load data integrity error #6"},
        {"record of another GOP",
         [](TestMedium& m, uint64_t at, std::vector<uint8_t>& extra) {
             extra[24] = 9;  // gopId 9
             Reseal(extra);
             m.WriteData(0, at + 48, extra.data(), extra.size());
         },
         "GOP data error, GOP(2)/(9)", "GOP data error, GOP(2)/(9)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestMedium medium(1);
        auto gops = MakeRun(1, 3);
        const uint64_t at = WriteSavedBlock(medium, gops, 2);
        std::vector<uint8_t> extra(gops[1]->extraData.GetData(),
                                   gops[1]->extraData.GetData() + gops[1]->extraData.GetLength());
        c.damage(medium, at, extra);
        auto block = medium.Block(0);
        ASSERT_TRUE(block->IsValid());
        GopPtr got(new HSCGop());
        std::string log = CaptureLog([&] { EXPECT_FALSE(block->LoadGOPDirect(2, got.get())); });
        EXPECT_NE(log.find(c.direct), std::string::npos) << log;
        std::vector<HSCGop*> list;
        log = CaptureLog([&] { EXPECT_TRUE(block->LoadBulk(list, 0)); });
        EXPECT_NE(log.find(c.bulk), std::string::npos) << log;
        EXPECT_EQ(list.size(), 2u);  // GOPs 1 and 3 still load
        if (list.size() == 2) {
            EXPECT_EQ(list[0]->gopId, 1u);
            EXPECT_EQ(list[1]->gopId, 3u);
        }
        for (HSCGop* g : list) g->Release();
    }
}

TEST(StorageBlock, BulkWriteChangedWhileABlockFillsLosesNothing) {
    struct Case {
        const char* name;
        bool first, then;
    } cases[] = {{"turned on mid-block", false, true}, {"turned off mid-block", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedStorageConf conf(c.first);
        TestMedium medium(2);
        auto gops = MakeRun(1, 6);
        {
            auto block = medium.Block(0);
            StartAsWriter(*block);
            for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(block->AppendGOP(gops[i].get()));
            ITGGetMainConf()->BULKWRITE.store(c.then);  // a configuration reload
            for (size_t i = 3; i < 6; ++i) ASSERT_TRUE(block->AppendGOP(gops[i].get()));
            ASSERT_TRUE(block->SaveInfo());
            EXPECT_FALSE(block->HasDataCopy());
            // The next block takes the new mode.
            auto next = medium.Block(1);
            StartAsWriter(*next);
            GopPtr g = MakeGop(7, TestTime(700), 4);
            ASSERT_TRUE(next->AppendGOP(g.get()));
            EXPECT_EQ(next->HasDataCopy(), c.then);
            ASSERT_TRUE(next->SaveInfo());
        }
        auto reloaded = medium.Block(0);
        ASSERT_EQ(reloaded->GetGOPCount(), 6u);
        for (auto& want : gops) {
            GopPtr got(new HSCGop());
            ASSERT_TRUE(reloaded->LoadGOPDirect(want->gopId, got.get())) << want->gopId;
            ExpectSameGop(*want, *got);
        }
    }
}

TEST(StorageBlock, ReusedBlockCopiesWriteWhatAFreshCopyWould) {
    // Two blocks written one after the other through BULKWRITE copies: the second gets the
    // first's copy back, with its old bytes. The medium must show zeros wherever no record is.
    ScopedStorageConf conf(true);
    TestMedium medium(2);
    for (uint64_t position : {0u, 1u}) {
        auto block = medium.Block(position);
        StartAsWriter(*block);
        // Large records first for block 0, small ones for block 1: block 1's gaps and tail lie
        // where block 0's copy held packet bytes.
        const uint32_t records = position == 0 ? 40 : 1;
        for (uint64_t n = 1; n <= 6; ++n) {
            GopPtr g = MakeGop(n, TestTime((n - 1) * 100), records);
            ASSERT_TRUE(block->AppendGOP(g.get()));
        }
        ASSERT_TRUE(block->SaveInfo());
    }
    auto block = medium.Block(1);
    ASSERT_EQ(block->GetGOPCount(), 6u);
    // Every byte of the flushed range outside the records is zero.
    const uint64_t flushed = (block->GetSize() + kHSCRecordAlign - 1) / kHSCRecordAlign * kHSCRecordAlign;
    const std::vector<uint8_t> region = medium.ReadData(1, 0, flushed);
    std::vector<bool> covered(flushed, false);
    for (uint64_t n = 1; n <= 6; ++n) {
        const uint64_t at = (block->FindGOPIndexWithID(n)->nInfoStart & 0x7FFFu) * 1024ull;
        const uint64_t next = n < 6 ? (block->FindGOPIndexWithID(n + 1)->nInfoStart & 0x7FFFu) * 1024ull
                                    : block->GetSize();
        GopPtr got(new HSCGop());
        ASSERT_TRUE(block->LoadGOPDirect(n, got.get()));
        const uint64_t end = at + 48 + got->extraData.GetLength() + got->dataSize;
        ASSERT_LE(end, next);
        for (uint64_t i = at; i < end; ++i) covered[i] = true;
    }
    for (uint64_t i = 0; i < flushed; ++i) {
        if (!covered[i]) {
            ASSERT_EQ(region[i], 0) << "byte " << i << " outside every record";
        }
    }
}

TEST(StorageBlock, DirectAppendsZeroTheirLastPageAndNeverPassTheBlock) {
    ScopedStorageConf conf(false);
    TestMedium medium(3);  // its data regions start 3288 bytes into a page
    // Old bytes everywhere in block 0, a marker at the start of block 1.
    std::vector<uint8_t> old(kHSCBlockDataSize, 0xEE);
    medium.WriteData(0, 0, old.data(), old.size());
    std::vector<uint8_t> marker(8192, 0x3C);
    medium.WriteData(1, 0, marker.data(), marker.size());

    auto block = medium.Block(0);
    StartAsWriter(*block);
    std::vector<GopPtr> kept;
    uint64_t n = 1;
    // Large GOPs until the block refuses one, then smaller and smaller ones into what is left,
    // so that the last record ends in a page of the file that reaches into the next block.
    for (uint32_t records : {300u, 1u}) {
        for (;; ++n) {
            GopPtr g = MakeGop(n, TestTime((n - 1) * 50), records);
            if (!block->AppendGOP(g.get())) break;
            kept.push_back(std::move(g));
            // Pages of the file, whose data regions need not start on a page boundary.
            const uint64_t base = HSCDataOffset(3, 0);
            const uint64_t end = block->GetSize();
            const uint64_t pageEnd =
                std::min<uint64_t>((base + end + 4095) / 4096 * 4096 - base, kHSCBlockDataSize);
            if (pageEnd > end) {
                const std::vector<uint8_t> tail = medium.ReadData(0, end, pageEnd - end);
                ASSERT_EQ(tail, std::vector<uint8_t>(tail.size(), 0)) << "GOP " << n;
            }
        }
    }
    ASSERT_GT(kept.size(), 80u);
    const uint64_t base = HSCDataOffset(3, 0);
    EXPECT_GT((base + block->GetSize() + 4095) / 4096 * 4096, base + kHSCBlockDataSize)
        << "the last record ends in a page shared with the next block";
    EXPECT_EQ(medium.ReadData(1, 0, marker.size()), marker) << "the next block is untouched";
    ASSERT_TRUE(block->SaveInfo());
    for (uint64_t id : {uint64_t{1}, kept.back()->gopId}) {
        GopPtr got(new HSCGop());
        ASSERT_TRUE(block->LoadGOPDirect(id, got.get()));
        ExpectSameGop(*kept[id - 1], *got);
    }
}

TEST(StorageBlock, BulkLoadFromAFailingMediumHandsOutNothing) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto gops = MakeRun(1, 3);
    const uint64_t third = WriteSavedBlock(medium, gops, 3);
    // The medium ends inside the third GOP's record: its read comes back short.
    ASSERT_EQ(ftruncate(medium.Fd(), static_cast<off_t>(HSCDataOffset(1, 0) + third + 100)), 0);
    auto block = medium.Block(0);
    ASSERT_TRUE(block->IsValid());
    std::vector<HSCGop*> list;
    HSCGop* earlier = new HSCGop();
    earlier->AddRef();
    list.push_back(earlier);  // what the caller held before stays, untouched
    bool ok = true;
    const std::string log = CaptureLog([&] { ok = block->LoadBulk(list, 0); });
    EXPECT_FALSE(ok);
    EXPECT_NE(log.find("[CHUNK] Data read error"), std::string::npos) << log;
    ASSERT_EQ(list.size(), 1u) << "GOPs 1 and 2 loaded before the failure are given back";
    EXPECT_EQ(list[0], earlier);
    EXPECT_EQ(earlier->refCount.load(), 1);
    earlier->Release();
}

// A bulk load reads a small record with one read and takes its GOP from that, a large record
// in parts straight into its GOP, and a record that reaches past the span it should end in
// (here past the used region its block info gives) in parts as well: every GOP equals what
// was appended, whichever way it was read.
TEST(StorageBlock, BulkLoadTakesSmallLargeAndOverlongRecordsAlike) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    // Records of 1344 bytes: 2 and 3 make records of a few KiB, 60 and 120 records over 64 KiB.
    const uint32_t records[] = {2, 60, 1, 120, 3};
    std::vector<GopPtr> gops;
    for (uint32_t i = 0; i < 5; ++i) {
        gops.push_back(MakeGop(i + 1, TestTime(i * 100), records[i]));
        if (i % 2 == 0) AddAccessors(gops.back().get(), 4 + i);
    }
    const uint64_t lastStart = WriteSavedBlock(medium, gops, 5);
    auto loadAll = [&](const char* what) {
        auto block = medium.Block(0);
        ASSERT_TRUE(block->IsValid()) << what;
        std::vector<HSCGop*> list;
        ASSERT_TRUE(block->LoadBulk(list, 0)) << what;
        ASSERT_EQ(list.size(), gops.size()) << what;
        for (size_t i = 0; i < list.size(); ++i) {
            SCOPED_TRACE(std::string(what) + ", GOP " + std::to_string(i + 1));
            ExpectSameGop(*gops[i], *list[i]);
            EXPECT_EQ(list[i]->cid, kCid);
        }
        for (HSCGop* g : list) g->Release();
    };
    loadAll("as written");

    // The used region now ends 100 bytes into the last record.
    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index;
    medium.ReadInfo(0, info, index);
    info.nDataSize = static_cast<uint32_t>(lastStart + 100);
    HSCSealChunkInfo(info, index);
    medium.WriteInfo(0, info, index);
    loadAll("used region ending inside the last record");
}

TEST(StorageBlock, LoadOfMissingGopOrNullGop) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    auto block = medium.Block(0);
    StartAsWriter(*block);
    GopPtr g = MakeGop(4, TestTime(), 1);
    ASSERT_TRUE(block->AppendGOP(g.get()));
    GopPtr got(new HSCGop());
    const std::string log = CaptureLog([&] {
        EXPECT_FALSE(block->LoadGOPDirect(5, got.get()));
        EXPECT_FALSE(block->LoadGOPDirect(4, nullptr));
        EXPECT_FALSE(block->LoadGOPNew(4, got.get()));  // no copy
    });
    EXPECT_NE(log.find("[CHUNK] CID(0)(2)(1234) block (1) GOP(5) index not found"),
              std::string::npos) << log;
    block->FreeSpace();
}

// ---- data copy ----

TEST(StorageBlock, DataCopyIsMappedOnceAndCounted) {
    TestMedium medium(1);
    auto block = medium.Block(0);
    const uint64_t before = HSCMappedBlockCount();
    EXPECT_TRUE(block->CheckSpace());
    EXPECT_FALSE(block->CheckSpace());
    EXPECT_TRUE(block->HasDataCopy());
    EXPECT_EQ(HSCMappedBlockCount(), before + 1);
    block->FreeSpace();
    block->FreeSpace();
    EXPECT_FALSE(block->HasDataCopy());
    EXPECT_EQ(HSCMappedBlockCount(), before);
    EXPECT_TRUE(block->CheckSpace());
    block.reset();  // the destructor releases a copy still held
    EXPECT_EQ(HSCMappedBlockCount(), before);
}

TEST(StorageBlock, PinAndUnpinLogWithVerbose) {
    ScopedStorageConf conf(false, true);
    TestMedium medium(1);
    auto block = medium.Block(0);
    const std::string log = CaptureLog([&] {
        block->Pin();
        block->UnPin();
    });
    EXPECT_NE(log.find("[CHUNK] CID(16777215)(0)(1) pinned block(1)"), std::string::npos) << log;
    EXPECT_NE(log.find("unpinned block(1)"), std::string::npos) << log;
}

TEST(StorageBlock, RequestOnBlockWithoutThreadSetIsCompletedAsFailed) {
    TestMedium medium(1);
    auto block = medium.Block(0);
    HSCPriorityHolder holder(HSC_REQ_READ);
    holder.gopNumber = 3;
    holder.result = 1;
    EXPECT_FALSE(block->AddHolder(&holder));
    EXPECT_EQ(holder.block, block.get());
    EXPECT_TRUE(holder.WaitAsync());
    EXPECT_EQ(holder.result, 0);
}

// A flush of the copy (SaveInfo on the Update thread) racing loads from it: readers never see
// an unmapped copy and every GOP loads, from the copy before the flush and from the medium after.
TEST(StorageBlock, FlushRacingReadersOfTheCopy) {
    ScopedStorageConf conf(true);
    TestMedium medium(1);
    auto block = medium.Block(0);
    for (int round = 0; round < 4; ++round) {
        StartAsWriter(*block);
        auto gops = MakeRun(100, 139);
        for (auto& g : gops) ASSERT_TRUE(block->AppendGOP(g.get()));
        ASSERT_TRUE(block->HasDataCopy());

        std::atomic<bool> stop{false};
        std::atomic<int> failures{0}, loads{0};
        auto direct = [&] {
            for (uint64_t i = 0; !stop.load() || i < 50; ++i) {
                HSCGop got;
                const uint64_t n = 100 + (i * 7) % 40;
                if (!block->LoadGOPDirect(n, &got) || got.dataSize != gops[n - 100]->dataSize ||
                    memcmp(got.data, gops[n - 100]->data, got.dataSize) != 0)
                    failures++;
                loads++;
            }
        };
        auto bulk = [&] {
            for (int i = 0; !stop.load() || i < 3; ++i) {
                std::vector<HSCGop*> list;
                if (!block->LoadBulk(list, 120) || list.size() != 20) failures++;
                for (HSCGop* g : list) g->Release();
                loads++;
            }
        };
        std::string log = CaptureLog([&] {
            std::thread a(direct), b(bulk);
            while (loads.load() < 20) std::this_thread::yield();
            EXPECT_TRUE(block->SaveInfo());
            stop = true;
            a.join();
            b.join();
        });
        EXPECT_EQ(failures.load(), 0) << log;
        EXPECT_FALSE(block->HasDataCopy());
        block->SetFlushed(true);
    }
}
