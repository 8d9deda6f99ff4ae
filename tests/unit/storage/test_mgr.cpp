// The storage manager and the server's start-up scan: opening and locking media, block ids across
// media, registration of used, free and damaged blocks, the one-storage-per-content rule, handing
// blocks to writers, claims, block requests (append, load one GOP, load a block), the delivery
// queries, the reservation registry and the refusals after PrepareTerminate.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cfg.h"
#include "gopcache.h"
#include "mvstorageformat.h"
#include "storageinit.h"
#include "storage_fixture.h"
#include "storagemgr.h"

namespace {

using mvtest::CaptureLog;
using mvtest::TestMedium;

const MvTime kT0 = MvTimeCreate(2024, 3, 1, 10, 0, 0, 0);

MvTime At(int seconds) { return MvTimeAddSecs(kT0, seconds); }

struct GopSpec {
    uint64_t id;
    int seconds;       // time after kT0
    uint32_t records;  // 1344-byte records of packets
};

// Writes a used block of `cid` at `position` holding the given GOPs (consecutive numbers), as an
// earlier run of the server left it.
void WriteUsed(TestMedium& m, uint64_t position, uint16_t storage, tagMvCID cid,
               const std::vector<GopSpec>& gops) {
    auto block = m.Block(position, storage);
    ASSERT_TRUE(block->ResetChunk());
    block->SetContentID(cid);
    for (const GopSpec& s : gops) {
        mvtest::GopPtr g = mvtest::MakeGop(s.id, At(s.seconds), s.records);
        g->cid = cid;
        ASSERT_TRUE(block->AppendGOP(g.get())) << s.id;
    }
    ASSERT_TRUE(block->SaveInfo());
    ASSERT_TRUE(m.Block(position, storage)->IsValid());
}

// Overwrites a block record with bytes that fail every check.
void Damage(TestMedium& m, uint64_t position) {
    uint8_t junk[kHSCChunkInfoSize];
    memset(junk, 0x5A, sizeof(junk));
    m.WriteAt(HSCInfoOffset(position), junk, sizeof(junk));
}

bool Has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

class MgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        ITGMainConf* conf = ITGGetMainConf();
        savedSlots_ = conf->READERSLOTS;
        savedGops_ = conf->HLSSEGMENTGOPS;
        savedCount_ = conf->HLSSEGMENTCOUNT;
        conf->READERSLOTS = 2;
        mgr_ = std::make_unique<HSCStorageManager>(false);
    }
    void TearDown() override {
        Shutdown();
        ITGMainConf* conf = ITGGetMainConf();
        conf->READERSLOTS = savedSlots_;
        conf->HLSSEGMENTGOPS = savedGops_;
        conf->HLSSEGMENTCOUNT = savedCount_;
    }
    // The manager goes first (it stops the I/O threads), then the blocks it knew and the media.
    void Shutdown() {
        if (!mgr_) return;
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr_->m_blocks) blocks.push_back(b);
        mgr_.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media_)
            if (m.descriptor >= 0) close(m.descriptor);
        media_.clear();
        owned_.clear();
    }
    // A medium of `blocks` free blocks formatted for `format`, configured as storage `id`.
    TestMedium& AddMedium(uint16_t id, uint64_t blocks, uint16_t format) {
        owned_.push_back(std::make_unique<TestMedium>(blocks, format));
        media_[id].path = owned_.back()->Path();
        return *owned_.back();
    }
    int Scan() { return MvLoadStorages(*mgr_, media_); }
    HSCCIDInfo* Record(tagMvCID cid, uint16_t storage = 1) {
        return mgr_->GetCIDInfoS(cid, storage, false, true);
    }

    std::unique_ptr<HSCStorageManager> mgr_;
    std::map<uint16_t, tagITGStorageInfo> media_;
    std::vector<std::unique_ptr<TestMedium>> owned_;

private:
    int32_t savedSlots_ = 0, savedGops_ = 0, savedCount_ = 0;
};

// ------------------------------------------------------------------------------------------------
// OpenStorage
// ------------------------------------------------------------------------------------------------

TEST_F(MgrTest, OpenStorageAcceptsGoodHeaderAndRefusesBrokenMedia) {
    TestMedium good(3, 1);
    HSCStorageInfoV3 goodHead;
    {
        uint8_t raw[kHSCStorageInfoSize];
        good.ReadAt(0, raw, sizeof(raw));
        goodHead = HSCDecodeStorageInfo(raw);
    }
    char created[64];
    MvTimeToStrR(created, goodHead.nCreated);

    TestMedium badCRC(2, 1);
    uint8_t b = 0;
    badCRC.ReadAt(24, &b, 1);  // first byte of nBlocks
    b ^= 1;
    badCRC.WriteAt(24, &b, 1);

    TestMedium shortFile(1, 1);
    ASSERT_EQ(ftruncate(shortFile.Fd(), 10), 0);

    // A sealed header that claims more blocks than the file holds.
    TestMedium tooMany(1, 1);
    {
        uint8_t raw[kHSCStorageInfoSize];
        HSCEncodeStorageInfo(HSCMakeStorageInfo(1000, kT0), raw);
        tooMany.WriteAt(0, raw, sizeof(raw));
    }
    const std::string missing = good.Path() + ".missing";

    struct Case {
        std::string path;
        bool ok;
        std::string message;
    };
    const Case cases[] = {
        {good.Path(), true, "[I] [CHUNK] Storage (" + good.Path() + ") : info is ok, created (" +
                                created + ")"},
        {missing, false, "[E] [CHUNK] Storage (" + missing + ") : could not access media, error (2)"},
        {badCRC.Path(), false, "[E] [CHUNK] Storage (" + badCRC.Path() + ") : integrity failure"},
        {shortFile.Path(), false,
         "[E] [CHUNK] Storage (" + shortFile.Path() + ") : could not read from media, error"},
        {tooMany.Path(), false, "does not fit the medium size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        int fd = 12345;
        HSCStorageInfoV3 info;
        bool ok = false;
        std::string log = CaptureLog([&] { ok = mgr_->OpenStorage(fd, c.path.c_str(), info); });
        EXPECT_EQ(ok, c.ok);
        EXPECT_TRUE(Has(log, c.message)) << log;
        EXPECT_TRUE(Has(log, "[CHUNK] Storage (" + c.path + ") : accessing"));
        if (ok) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(info, goodHead);
            EXPECT_NE(fcntl(fd, F_GETFL) & O_NOATIME, 0);  // the test owns the file
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
        }
    }
}

TEST_F(MgrTest, SecondOpenOfALockedMediumIsRefused) {
    TestMedium m(2, 1);
    int first = -1, second = 777;
    HSCStorageInfoV3 info;
    ASSERT_TRUE(mgr_->OpenStorage(first, m.Path().c_str(), info));
    bool ok = true;
    std::string log = CaptureLog([&] { ok = mgr_->OpenStorage(second, m.Path().c_str(), info); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Has(log, "[E] [CHUNK] Storage (" + m.Path() + ") : failed to obtain exclusive lock"))
        << log;
    EXPECT_FALSE(Has(log, "loading info"));
    EXPECT_EQ(second, -1);
    // The refused open kept no descriptor holding the lock: once the first closes, it opens.
    close(first);
    ASSERT_TRUE(mgr_->OpenStorage(second, m.Path().c_str(), info));
    close(second);
}

// ------------------------------------------------------------------------------------------------
// Start-up scan
// ------------------------------------------------------------------------------------------------

TEST(StorageBitrate, FormulaAndItsZeroCases) {
    HSCChunkInfoV3 info;
    info.nDataSize = 8000000;
    info.nStartTime = kT0;
    info.nEndTime = MvTimeAddCentiSecs(kT0, 1000);
    EXPECT_EQ(MvBlockBitrate(info), 782u * 8192u);
    info.nEndTime = MvTimeAddCentiSecs(kT0, 101);
    EXPECT_EQ(MvBlockBitrate(info), ((8000000ull * 100 / 101 >> 10) + 1) << 13);
    info.nEndTime = MvTimeAddCentiSecs(kT0, 100);  // 1 s is not above 100 cs
    EXPECT_EQ(MvBlockBitrate(info), 0u);
    info.nEndTime = kT0;
    EXPECT_EQ(MvBlockBitrate(info), 0u);
    info.nStartTime = At(20);
    info.nEndTime = At(10);
    EXPECT_EQ(MvBlockBitrate(info), 0u);
    info.nStartTime = 0;
    EXPECT_EQ(MvBlockBitrate(info), 0u);
}

TEST_F(MgrTest, BlockIdsRunAcrossTheMediaThatOpen) {
    struct Case {
        const char* name;
        bool firstOpens;
        std::vector<std::pair<uint64_t, std::pair<uint16_t, uint64_t>>> want;  // id -> storage, pos
        uint64_t absent;
    };
    const Case cases[] = {
        {"both open", true, {{1, {1, 0}}, {3, {1, 2}}, {4, {2, 0}}, {5, {2, 1}}}, 6},
        {"first fails", false, {{1, {2, 0}}, {2, {2, 1}}}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mgr_ = std::make_unique<HSCStorageManager>(false);
        AddMedium(1, 3, 1);
        AddMedium(2, 2, 2);
        if (!c.firstOpens) media_[1].path += ".missing";
        EXPECT_EQ(Scan(), c.firstOpens ? 2 : 1);
        for (auto& [id, where] : c.want) {
            HSCSingleChunk* blk = mgr_->FindChunk(id);
            ASSERT_NE(blk, nullptr) << id;
            EXPECT_EQ(blk->GetStorageID(), where.first) << id;
            EXPECT_EQ(blk->GetPosition(), where.second) << id;
            // Each block is served by set (id mod READERSLOTS) of its storage.
            EXPECT_EQ(blk->GetHolderThread(), mgr_->GetThreadForBlockID(where.first, id));
            EXPECT_NE(mgr_->GetThreadForBlockID(where.first, id),
                      mgr_->GetThreadForBlockID(where.first, id + 1));
        }
        EXPECT_EQ(mgr_->FindChunk(c.absent), nullptr);
        EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(2), 2u);
        EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(1), c.firstOpens ? 3u : 0u);
        // The opened media keep their descriptors for the housekeeping fsync.
        EXPECT_EQ(media_[1].descriptor >= 0, c.firstOpens);
        EXPECT_GE(media_[2].descriptor, 0);
        Shutdown();
    }
}

TEST_F(MgrTest, ScanRegistersUsedFreeAndDamagedBlocks) {
    const tagMvCID chan = MvCIDMake(501, 0, 0);
    TestMedium& m = AddMedium(1, 5, 1);
    // Written out of order: position 0 holds the later GOPs.
    WriteUsed(m, 0, 1, chan, {{20, 100, 4}, {21, 102, 4}, {22, 104, 4}});
    WriteUsed(m, 1, 1, chan, {{10, 0, 8}, {11, 2, 8}, {12, 4, 8}});
    Damage(m, 3);
    int opened = 0;
    std::string log = CaptureLog([&] { opened = Scan(); });
    ASSERT_EQ(opened, 1);
    EXPECT_TRUE(Has(log, "[W] [MAIN] Storage(1), block (3) of (5) integrity error, resetting..."))
        << log;
    EXPECT_EQ(mvtest::CountOf(log, "integrity error"), 1);
    EXPECT_TRUE(Has(log, "[I] [MAIN] Storage(1), will be allocated (5) blocks..."));
    EXPECT_TRUE(Has(log, "[I] [MAIN] Storage(1), block allocation done (5), storage handle (" +
                             std::to_string(media_[1].descriptor) + ")..."));

    // The damaged block was reset to free, on the medium too, and joined the pool.
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(1), 3u);
    ASSERT_NE(mgr_->FindChunk(4), nullptr);
    EXPECT_TRUE(mgr_->FindChunk(4)->IsFree());
    EXPECT_TRUE(m.Block(3, 1)->IsValid());

    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetChunkCount(), 2u);
    // Sorted by first GOP: position 1 (block id 2) first, so it is recycled first.
    HSCSingleChunk* oldest = rec->GetFirstAndFree();
    EXPECT_EQ(oldest, mgr_->FindChunk(2));
    EXPECT_EQ(rec->m_lastGOP.load(), 22u);
    EXPECT_EQ(rec->m_lastGOPTime.load(), At(104));
    EXPECT_EQ(rec->m_startTimeOnStorage.load(), At(0));
    // Each block's formula rate is folded into the record's (initially 128000) in scan order.
    HSCChunkInfoV3 i1, i2;
    mgr_->FindChunk(1)->GetInfo(&i1);
    mgr_->FindChunk(2)->GetInfo(&i2);
    const uint64_t r1 = MvBlockBitrate(i1), r2 = MvBlockBitrate(i2);
    ASSERT_GT(r1, 0u);
    ASSERT_GT(r2, 0u);
    EXPECT_EQ(rec->m_bitrate.load(), ((128000 + r1) / 2 + r2) / 2);
    // Found contents keep their blocks: retention entry with the content's storage. The pool's
    // content number (the storage id) gets no entry.
    EXPECT_EQ(ITGGetTimeForContent(501), kMvFoundContentMinutes);
    EXPECT_EQ(ITGGetStorageForContent(501), 1u);
    EXPECT_NE(ITGGetTimeForContent(1), kMvFoundContentMinutes);
}

TEST_F(MgrTest, ContentOnTwoStoragesEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const tagMvCID chan = MvCIDMake(77, 0, 0);
    for (uint16_t s : {1, 2}) {
        TestMedium& m = AddMedium(s, 1, s);
        WriteUsed(m, 0, s, chan, {{static_cast<uint64_t>(s * 10), s * 10, 1}});
    }
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the log writes to stdout; the death test reads stderr
            Scan();
        },
        testing::ExitedWithCode(1),
        "\\[E\\] \\[STARTUP\\] CID\\(0\\)\\(0\\)\\(77\\) already registered on STORAGE\\([12]\\), "
        "could not add same CID from STORAGE\\([12]\\)");
}

// ------------------------------------------------------------------------------------------------
// Records, blocks for writers, block requests
// ------------------------------------------------------------------------------------------------

TEST_F(MgrTest, RecordsClaimAndLookupIgnoringTheWriterId) {
    const tagMvCID chan = MvCIDMake(900, 1, 0);
    EXPECT_EQ(mgr_->GetCIDInfoS(chan, 1, false, false), nullptr);  // no create
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, true, true);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetWritingStatus(), 1);
    EXPECT_EQ(mgr_->GetCIDInfoS(chan, 1, true, true), nullptr);  // a second writer is refused
    EXPECT_EQ(mgr_->GetCIDInfoS(chan, 1, false, false), rec);   // readers still find it
    rec->ReleaseWriting();
    EXPECT_EQ(mgr_->GetCIDInfoS(chan, 1, true, false), rec);

    // The pool of storage 3 answers for content number 3 sub-stream 0 while no content has it.
    HSCCIDInfo* pool = Record(HSCFreePoolCID(3), 3);
    EXPECT_EQ(mgr_->GetCIDInfoNOS(MvCIDMake(3, 0, 0)), pool);
    HSCCIDInfo* three = Record(MvCIDMake(3, 0, 0), 1);
    EXPECT_EQ(mgr_->GetCIDInfoNOS(MvCIDMake(3, 0, 0x1234)), three);
    EXPECT_EQ(mgr_->GetCIDInfoNOS(MvCIDMake(900, 1, 0x55)), rec);
    EXPECT_EQ(mgr_->GetCIDInfoNOS(MvCIDMake(900, 2, 0)), nullptr);

    std::vector<HSCCIDInfo*> all;
    mgr_->GetAllCID(all);
    ASSERT_EQ(all.size(), 3u);  // identifier order: contents (writer id 0), then the pool
    EXPECT_EQ(all[0], three);
    EXPECT_EQ(all[1], rec);
    EXPECT_EQ(all[2], pool);
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(0), 0u);
    EXPECT_EQ(mgr_->CIDGetFreeForStorage(0), nullptr);
}

TEST_F(MgrTest, FreeBlocksComeFromThePoolThenFromTheContentsOldestFlushedBlock) {
    AddMedium(1, 3, 1);
    ASSERT_EQ(Scan(), 1);
    const tagMvCID chan = MvCIDMake(42, 0, 0);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, true, true);
    ASSERT_NE(rec, nullptr);

    HSCSingleChunk* first = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(mgr_->StartChunk(rec, first));
    EXPECT_EQ(first->GetContentID(), chan);
    EXPECT_FALSE(first->IsFlushed());
    mvtest::GopPtr g = mvtest::MakeGop(1, At(0), 2);
    EXPECT_TRUE(mgr_->AppendGOP(rec, first, g.get()));
    EXPECT_EQ(g->cid, chan);
    ASSERT_TRUE(mgr_->StopChunk(first));
    EXPECT_TRUE(first->IsFlushed());

    HSCSingleChunk* second = mgr_->GetFreeChunk(rec, 1);
    HSCSingleChunk* third = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_NE(second, first);
    EXPECT_NE(third, second);
    ASSERT_TRUE(mgr_->StartChunk(rec, second));
    ASSERT_TRUE(mgr_->StartChunk(rec, third));
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(1), 0u);

    // Pool empty: the content's oldest flushed block is recycled; the blocks being written never.
    EXPECT_EQ(mgr_->GetFreeChunk(rec, 1), first);
    HSCSingleChunk* none = first;
    std::string log = CaptureLog([&] { none = mgr_->GetFreeChunk(rec, 1); });
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(Has(log, "[W] [FM] CID(0)(0)(42) something is wrong: there is no free chunk "
                         "neither in storage, nor in CIDINFO chain: globally free(0), cid free(2)"))
        << log;
}

TEST_F(MgrTest, StartChunkResetsAndStopChunkSavesTheBlockInfo) {
    const tagMvCID old = MvCIDMake(7, 0, 0);
    TestMedium& m = AddMedium(1, 2, 1);
    WriteUsed(m, 0, 1, old, {{5, 0, 1}, {6, 2, 1}});
    ASSERT_EQ(Scan(), 1);
    const tagMvCID chan = MvCIDMake(8, 0, 0);
    HSCCIDInfo* rec = Record(chan);
    HSCSingleChunk* block = mgr_->FindChunk(1);
    ASSERT_EQ(block->GetGOPCount(), 2u);
    ASSERT_TRUE(mgr_->StartChunk(rec, block));
    EXPECT_EQ(block->GetGOPCount(), 0u);  // reset by the Update thread before it changes hands
    for (uint64_t id = 100; id < 103; ++id) {
        mvtest::GopPtr g = mvtest::MakeGop(id, At(static_cast<int>(id)), 3);
        EXPECT_TRUE(mgr_->AppendGOP(rec, block, g.get()));
    }
    // The reset reached the medium; the new owner reaches it only when the writer stops.
    EXPECT_TRUE(m.Block(0, 1)->IsFree());
    ASSERT_TRUE(mgr_->StopChunk(block));
    auto reread = m.Block(0, 1);
    ASSERT_TRUE(reread->IsValid());
    EXPECT_EQ(reread->GetContentID(), chan);
    EXPECT_EQ(reread->GetStartGOPID(), 100u);
    EXPECT_EQ(reread->GetEndGOPID(), 102u);

    // A block that took no GOP is not saved: the medium keeps it free.
    HSCSingleChunk* empty = mgr_->FindChunk(2);
    ASSERT_TRUE(mgr_->StartChunk(rec, empty));
    ASSERT_TRUE(mgr_->StopChunk(empty));
    EXPECT_TRUE(empty->IsFlushed());
    EXPECT_TRUE(m.Block(1, 1)->IsFree());
    EXPECT_TRUE(mgr_->StopChunk(nullptr));
    EXPECT_FALSE(mgr_->StartChunk(rec, nullptr));
}

TEST_F(MgrTest, LoadGOPFollowsAndSetsTheHint) {
    const tagMvCID chan = MvCIDMake(60, 0, 0);
    TestMedium& m = AddMedium(1, 2, 1);
    WriteUsed(m, 0, 1, chan, {{1, 0, 2}, {2, 2, 2}});
    WriteUsed(m, 1, 1, chan, {{3, 4, 3}, {4, 6, 3}});
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    ASSERT_NE(rec, nullptr);

    struct Case {
        uint64_t gop;
        HSCSingleChunk* hintIn;
        bool ok;
        HSCSingleChunk* hintOut;
        int status;
    };
    HSCSingleChunk* b1 = mgr_->FindChunk(1);
    HSCSingleChunk* b2 = mgr_->FindChunk(2);
    const Case cases[] = {
        {2, nullptr, true, b1, HSC_LOAD_OK},  // found through the chain, hint set
        {4, b1, true, b2, HSC_LOAD_OK},       // the hint does not hold it: moved to its block
        {3, b2, true, b2, HSC_LOAD_OK},       // the hint holds it: used as is
        {9, b2, false, b2, HSC_LOAD_FAILED},  // nowhere
    };
    const int seconds[] = {0, 0, 2, 4, 6};
    const uint32_t records[] = {0, 2, 2, 3, 3};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gop);
        HSCGop loaded;
        HSCSingleChunk* hint = c.hintIn;
        int status = 0;
        EXPECT_EQ(mgr_->LoadGOP(rec, c.gop, false, true, &loaded, hint, status), c.ok);
        EXPECT_EQ(hint, c.hintOut);
        EXPECT_EQ(status, c.status);
        if (c.ok) {
            mvtest::GopPtr want = mvtest::MakeGop(c.gop, At(seconds[c.gop]), records[c.gop]);
            mvtest::ExpectSameGop(*want, loaded);
        }
    }
}

TEST_F(MgrTest, LoadBulkOffersToTheCacheAndRefusesTheBlockBeingWritten) {
    MvGopCache::ITGCacheInit(1ull << 30);
    // The process-wide cache outlives the test: a content number of its own for every run.
    static uint32_t run = 0;
    const uint32_t content = 6100 + 2 * run++;
    const tagMvCID chan = MvCIDMake(content, 0, 0);
    const tagMvCID other = MvCIDMake(content + 1, 0, 0);
    TestMedium& m = AddMedium(1, 3, 1);
    WriteUsed(m, 0, 1, chan, {{1, 0, 1}, {2, 2, 1}, {3, 4, 1}});
    WriteUsed(m, 1, 1, other, {{1, 0, 1}});
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    ASSERT_NE(rec, nullptr);

    std::vector<HSCGop*> out;
    bool ok = false;
    std::string log = CaptureLog([&] { ok = mgr_->LoadBulk(rec, 1, out, 2); });
    ASSERT_TRUE(ok);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->gopId, 2u);
    EXPECT_EQ(out[1]->gopId, 3u);
    EXPECT_EQ(rec->m_diskLoadFull.load(), 2u);
    EXPECT_TRUE(Has(log, "[I] [FM] Loaded data from block (1), CID(0)(0)(" +
                             std::to_string(content) + "), Total(2), Duplicates(0), Actual(2)..."))
        << log;
    for (HSCGop* g : out) {
        EXPECT_EQ(g->refCount.load(), 2);  // the caller's and the cache's
        HSCGop* cached = nullptr;
        EXPECT_TRUE(MvGopCache::ITGGetGopAdv(chan, g->gopId, cached));
        EXPECT_EQ(cached, g);
        cached->Release();
        g->Release();
    }
    out.clear();
    // Loaded again from its first GOP: the cache has two of them already.
    log = CaptureLog([&] { ok = mgr_->LoadBulk(rec, 1, out, 0); });
    ASSERT_TRUE(ok);
    EXPECT_TRUE(Has(log, "Total(3), Duplicates(2), Actual(3)")) << log;
    EXPECT_EQ(out.size(), 3u);
    for (HSCGop* g : out) g->Release();
    out.clear();

    // Unknown block, another content's block: nothing loaded, true.
    EXPECT_TRUE(mgr_->LoadBulk(rec, 99, out, 0));
    EXPECT_TRUE(mgr_->LoadBulk(rec, 2, out, 0));
    EXPECT_TRUE(out.empty());
    // The block a writer holds: refused without I/O.
    HSCSingleChunk* writing = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(writing, nullptr);
    ASSERT_TRUE(mgr_->StartChunk(rec, writing));
    mvtest::GopPtr g = mvtest::MakeGop(4, At(6), 1);
    ASSERT_TRUE(mgr_->AppendGOP(rec, writing, g.get()));
    EXPECT_FALSE(mgr_->LoadBulk(rec, writing->GetBlockID(), out, 0));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(rec->m_diskLoadFull.load(), 5u);
}

TEST_F(MgrTest, PreAppendGOPTakesThePtsFromAccessorThree) {
    HSCCIDInfo* rec = Record(MvCIDMake(70, 0, 0));
    mvtest::GopPtr plain = mvtest::MakeGop(1, At(0), 1);
    plain->pts = 9000;
    EXPECT_TRUE(mgr_->PreAppendGOP(rec, plain.get()));
    EXPECT_EQ(rec->m_lastGOP.load(), 1u);
    uint64_t distance = 0;
    EXPECT_EQ(rec->GetChunkIDForPTS(9000, 10, distance), 1u);

    mvtest::GopPtr acc = mvtest::MakeGop(2, At(1), 1);
    acc->pts = 1;  // not used: the first entry of accessor 3 says 2 x 45000
    acc->accessorVersion = 1;
    MvSeqEntry e;
    e.type = MV_SEQ_TIMING;
    e.c = 45000;
    acc->MvAccessorAllocate(3, false)->entries.push_back(e);
    EXPECT_TRUE(mgr_->PreAppendGOP(rec, acc.get()));
    EXPECT_EQ(rec->GetChunkIDForPTS(90000, 10, distance), 2u);
    EXPECT_EQ(rec->GetChunkIDForPTS(1, 10, distance), 0u);

    // Accessor 3 without entries: accepted without a history entry.
    mvtest::GopPtr none = mvtest::MakeGop(3, At(2), 1);
    none->accessorVersion = 1;
    none->MvAccessorAllocate(3, false);
    EXPECT_TRUE(mgr_->PreAppendGOP(rec, none.get()));
    EXPECT_EQ(rec->m_lastGOP.load(), 2u);
    // An older GOP is refused by the history.
    EXPECT_FALSE(mgr_->PreAppendGOP(rec, plain.get()));
}

// ------------------------------------------------------------------------------------------------
// Delivery queries
// ------------------------------------------------------------------------------------------------

TEST_F(MgrTest, HLSRangeForVODLiveAndTooYoungContent) {
    ITGMainConf* conf = ITGGetMainConf();
    conf->HLSSEGMENTGOPS = 3;
    conf->HLSSEGMENTCOUNT = 5;
    struct Case {
        uint32_t content;
        uint64_t lastGOP;
        bool ok;
        uint64_t first, last;
    };
    const Case cases[] = {
        {100000001, 50, true, 1, 50},  // VOD: everything
        {101, 100, true, 81, 96},      // live: 3 x (33 - 1) = 96, back 15
        {102, 21, true, 3, 18},        // the youngest live content with a window
        {103, 20, false, 0, 0},        // too young: the window would start at GOP 0
        {104, 4, false, 0, 0},         // too young: the formula would wrap
        {105, 0, false, 0, 0},         // nothing received
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        Record(MvCIDMake(c.content, 0, 0))->m_lastGOP = c.lastGOP;
        uint64_t first = 7, last = 7;
        EXPECT_EQ(mgr_->HLSRange(MvCIDMake(c.content, 0, 0), first, last), c.ok);
        if (c.ok) {
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(last, c.last);
        }
    }
    uint64_t first = 0, last = 0;
    EXPECT_FALSE(mgr_->HLSRange(MvCIDMake(555, 0, 0), first, last));  // unknown content
}

TEST_F(MgrTest, CalcSizeAddsPacketSizesAcrossBlocks) {
    const tagMvCID chan = MvCIDMake(80, 0, 0);
    TestMedium& m = AddMedium(1, 2, 1);
    WriteUsed(m, 0, 1, chan, {{1, 0, 1}, {2, 2, 2}});
    WriteUsed(m, 1, 1, chan, {{4, 4, 3}, {5, 8, 1}});  // GOP 3 was never recorded
    ASSERT_EQ(Scan(), 1);
    auto bytes = [](uint32_t records) { return uint64_t{records} * 7 * 188 + 376; };
    struct Case {
        uint64_t first, last;
        bool ok;
        uint64_t size;
    };
    const Case cases[] = {
        {1, 1, true, bytes(1)},
        {1, 2, true, bytes(1) + bytes(2)},
        {4, 5, true, bytes(3) + bytes(1)},
        {2, 4, false, 0},  // across the gap
        {3, 2, false, 0},  // last before first
        {6, 6, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first * 100 + c.last);
        uint64_t size = 99;
        // The writer id of the request does not matter.
        EXPECT_EQ(mgr_->CalcSize(MvCIDMake(80, 0, 9), c.first, c.last, size), c.ok);
        if (c.ok) {
            EXPECT_EQ(size, c.size);
        }
    }
    uint64_t size = 0;
    EXPECT_FALSE(mgr_->CalcSize(MvCIDMake(81, 0, 0), 1, 1, size));
}

TEST_F(MgrTest, NearestByGOPMovesByHalfTheCount) {
    const tagMvCID chan = MvCIDMake(90, 0, 0);
    TestMedium& m = AddMedium(1, 2, 1);
    WriteUsed(m, 0, 1, chan, {{47, 0, 1}, {48, 2, 1}});
    WriteUsed(m, 1, 1, chan, {{52, 10, 1}, {53, 12, 1}});
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    ASSERT_NE(rec, nullptr);
    struct Case {
        bool forward;
        uint64_t count;
        bool ok;
        uint64_t gop;
    };
    const Case cases[] = {
        {true, 1, true, 52},     // from 50: the next block starts at 52
        {true, 5, false, 777},   // from 52: no block starts after it
        {false, 1, true, 48},    // from 50: the previous block ends at 48
        {false, 5, false, 777},  // from 48: no block ends before it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count * 10 + c.forward);
        uint64_t gop = 777;
        MvTime t = 777;
        EXPECT_EQ(mgr_->NearestByGOP(rec, 50, c.forward, c.count, gop, t), c.ok);
        EXPECT_EQ(gop, c.gop);
    }
    uint64_t gop = 5;
    MvTime t = 5;
    EXPECT_TRUE(mgr_->NearestByTime(rec, At(5), true, gop, t));
    EXPECT_EQ(gop, 52u);
    EXPECT_EQ(t, At(10));
    EXPECT_FALSE(mgr_->NearestByTime(rec, At(50), true, gop, t));
    EXPECT_EQ(gop, 0u);  // preset
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(mgr_->TranslateGOP(rec, At(11)), 52u);
    EXPECT_EQ(mgr_->TranslateGOP(rec, At(1)), 47u);
    EXPECT_EQ(mgr_->TranslateGOP(rec, At(3000)), 0u);
}

TEST_F(MgrTest, SubStreamCountSkipsStaleLiveSubStreams) {
    const MvTime now = MvTimeNow();
    struct Case {
        const char* name;
        uint32_t content;
        std::vector<MvTime> received;  // per sub-stream
        uint32_t count;
    };
    const Case cases[] = {
        {"all fresh", 300, {now, now, MvTimeAddSecs(now, -30)}, 3},
        {"third stale", 301, {now, now, MvTimeAddSecs(now, -120)}, 2},
        {"second never received", 302, {now, 0, now}, 1},
        {"VOD ignores time", 100000300, {0, MvTimeAddSecs(now, -3600)}, 2},
        {"none", 303, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t i = 0; i < c.received.size(); ++i) {
            HSCCIDInfo* r = Record(MvCIDMake(c.content, static_cast<uint32_t>(i), 0));
            r->m_lastReceived = c.received[i];
            r->m_bitrate = 1000 * (i + 1);
            r->m_segmentDuration = static_cast<int>(i + 4);
        }
        EXPECT_EQ(mgr_->ContentSubCountMvCID(MvCIDMake(c.content, 2, 0)), c.count);
        std::vector<MvContentSub> subs;
        EXPECT_TRUE(mgr_->LoadContentBitratres(MvCIDMake(c.content, 0, 0), subs));
        ASSERT_EQ(subs.size(), c.count);
        for (size_t i = 0; i < subs.size(); ++i) {
            EXPECT_EQ(subs[i].bitrate, 1000 * (i + 1));
            EXPECT_EQ(subs[i].segmentDuration, static_cast<int>(i + 4));
        }
    }

    // A request for sub-stream 5 of content 301 is lowered to its highest live one (1).
    tagMvCID cid = MvCIDMake(301, 5, 0);
    mgr_->FixContentSubMvCID(cid);
    EXPECT_EQ(cid, MvCIDMake(301, 1, 0));
    cid = MvCIDMake(301, 0, 0);
    mgr_->FixContentSubMvCID(cid);
    EXPECT_EQ(cid, MvCIDMake(301, 0, 0));
    cid = MvCIDMake(303, 2, 0);
    std::string log = CaptureLog([&] { mgr_->FixContentSubMvCID(cid); });
    EXPECT_EQ(cid, MvCIDMake(303, 0, 0));
    EXPECT_TRUE(Has(log, "---->>>>FIXING MAX SUB FOR CONTENT(0)(0)(303)->NO CID AVAILABLE")) << log;
}

// ------------------------------------------------------------------------------------------------
// Reservations, termination, process-wide state
// ------------------------------------------------------------------------------------------------

TEST(StorageReservations, ReserveOnceReleaseOnce) {
    const tagMvCID a = MvCIDMake(11, 0, 0), b = MvCIDMake(12, 0, 0);
    EXPECT_TRUE(MvGRReserve(a, 5));
    EXPECT_FALSE(MvGRReserve(a, 5));
    EXPECT_TRUE(MvGRReserve(a, 6));  // another block
    EXPECT_TRUE(MvGRReserve(b, 5));  // another content
    EXPECT_TRUE(MvGRRelease(a, 5));
    bool released = true;
    std::string log = CaptureLog([&] { released = MvGRRelease(a, 5); });
    EXPECT_FALSE(released);
    EXPECT_TRUE(Has(log, "[I] [BLOCK ALLOCATOR] Releasing unallocated block!")) << log;
    EXPECT_TRUE(MvGRReserve(a, 5));
    for (auto [cid, id] : {std::pair{a, 5}, {a, 6}, {b, 5}}) EXPECT_TRUE(MvGRRelease(cid, id));
}

TEST_F(MgrTest, EveryOperationRefusesAfterPrepareTerminate) {
    const tagMvCID chan = MvCIDMake(95, 0, 0);
    TestMedium& m = AddMedium(1, 2, 1);
    WriteUsed(m, 0, 1, chan, {{1, 0, 1}, {2, 2, 1}});
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = Record(chan);
    rec->m_lastGOP = 1000;
    HSCSingleChunk* used = mgr_->FindChunk(1);
    HSCSingleChunk* free = mgr_->FindChunk(2);
    mvtest::GopPtr g = mvtest::MakeGop(3, At(4), 1);
    // The same calls work before.
    uint64_t a = 0, b = 0;
    ASSERT_TRUE(mgr_->HLSRange(chan, a, b));
    ASSERT_TRUE(mgr_->CalcSize(chan, 1, 2, a));

    mgr_->PrepareTerminate();
    EXPECT_TRUE(mgr_->IsTerminating());
    const std::pair<const char*, std::function<bool()>> calls[] = {
        {"AddChunk", [&] { return mgr_->AddChunk(free); }},
        {"CIDStartupRegisterChunk",
         [&] { return mgr_->CIDStartupRegisterChunk(free, 1, 0, 0, 0, 0); }},
        {"StartChunk", [&] { return mgr_->StartChunk(rec, free); }},
        {"StopChunk", [&] { return mgr_->StopChunk(used); }},
        {"ResetChunk", [&] { return mgr_->ResetChunk(1); }},
        {"PreAppendGOP", [&] { return mgr_->PreAppendGOP(rec, g.get()); }},
        {"AppendGOP", [&] { return mgr_->AppendGOP(rec, used, g.get()); }},
        {"LoadBulk", [&] { std::vector<HSCGop*> l; return mgr_->LoadBulk(rec, 1, l, 0); }},
        {"CalcSize", [&] { uint64_t s = 0; return mgr_->CalcSize(chan, 1, 2, s); }},
        {"HLSRange", [&] { uint64_t f = 0, l = 0; return mgr_->HLSRange(chan, f, l); }},
        {"RelocateGOPID", [&] { uint64_t n = 1; return mgr_->RelocateGOPID(rec, n, true); }},
        {"TranslateGOP", [&] { return mgr_->TranslateGOP(rec, At(0)) != 0; }},
        {"TranslatePTS", [&] { return mgr_->TranslatePTS(rec, 3600, 100) != 0; }},
        {"NearestByTime",
         [&] { uint64_t n; MvTime t; return mgr_->NearestByTime(rec, At(-60), true, n, t); }},
        {"NearestByGOP",
         [&] { uint64_t n = 0; MvTime t = 0; return mgr_->NearestByGOP(rec, 0, true, 1, n, t); }},
    };
    for (auto& [name, call] : calls) EXPECT_FALSE(call()) << name;
    int status = 42;
    HSCSingleChunk* hint = nullptr;
    HSCGop loaded;
    EXPECT_FALSE(mgr_->LoadGOP(rec, 1, false, true, &loaded, hint, status));
    EXPECT_EQ(status, 42);  // untouched
    EXPECT_EQ(used->GetGOPCount(), 2u);
    EXPECT_EQ(rec->m_lastGOP.load(), 1000u);
    EXPECT_EQ(rec->GetChunkCount(), 1u);
}

TEST(StorageProcessWide, InitReturnsOneManagerAndSetsTheInitialisedFlag) {
    HSCStorageManager* m = HSCInitChunkManager();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(HSCInitChunkManager(), m);
    EXPECT_EQ(HSCGetChunkManager(), m);
    MvMarkStorageInitialized();
    EXPECT_TRUE(MvStorageInitialized());
}

TEST_F(MgrTest, ReaderSlotsBelowOneGiveOneThreadSet) {
    ITGGetMainConf()->READERSLOTS = 0;
    HSCHolderThread* set = mgr_->GetThreadForBlockID(4, 1);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(mgr_->GetThreadForBlockID(4, 2), set);
    EXPECT_EQ(mgr_->GetThreadForBlockID(4, 12345), set);
    EXPECT_EQ(mgr_->m_threadSets[4].size(), 1u);
    ITGGetMainConf()->READERSLOTS = 3;
    EXPECT_EQ(mgr_->GetThreadForBlockID(5, 4), mgr_->GetThreadForBlockID(5, 7));
    EXPECT_NE(mgr_->GetThreadForBlockID(5, 4), mgr_->GetThreadForBlockID(5, 5));
    EXPECT_EQ(mgr_->m_threadSets[5].size(), 3u);
}

}  // namespace
