// Retention monitor: whole-block expiry by the content's window (10 s for 0 minutes), the block a
// writer fills never expiring, VOD titles kept until ForceFreeAll, blocks going back to the pool
// of the storage that holds them, window changes, the verbose report and the monitor thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../storage/storage_fixture.h"
#include "cfg.h"
#include "storageinit.h"
#include "storagemgr.h"
#include "storagemgr_monitor.h"

namespace {

using mvtest::CaptureLog;
using mvtest::TestMedium;

const MvTime kT0 = MvTimeCreate(2024, 3, 1, 10, 0, 0, 0);

MvTime At(int seconds) { return MvTimeAddSecs(kT0, seconds); }

bool Has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

// Writes a used, saved block of `cid` at `position` holding GOPs first.. at the given times (seconds
// after kT0), as an earlier run of the server left it.
void WriteUsed(TestMedium& m, uint64_t position, uint16_t storage, tagMvCID cid, uint64_t first,
               const std::vector<int>& seconds) {
    auto block = m.Block(position, storage);
    ASSERT_TRUE(block->ResetChunk());
    block->SetContentID(cid);
    uint64_t number = first;
    for (int s : seconds) {
        mvtest::GopPtr g = mvtest::MakeGop(number++, At(s), 1);
        g->cid = cid;
        ASSERT_TRUE(block->AppendGOP(g.get()));
    }
    ASSERT_TRUE(block->SaveInfo());
}

// The free record a reset leaves on the medium: free-shaped, naming `storage`.
void ExpectFreeOnMedium(const TestMedium& m, uint64_t position, uint16_t storage) {
    HSCChunkInfoV3 info;
    HSCGopIndexArrayV3 index{};
    m.ReadInfo(position, info, index);
    EXPECT_EQ(MvCIDStreamId(info.nContentID), 0xFFFFFFu) << "position " << position;
    EXPECT_EQ(MvCIDContent(info.nContentID), storage) << "position " << position;
    EXPECT_EQ(info.nGOPCount, 0u);
}

// Retention entry of exactly this identifier (overrides what the scan gave the content).
void Retain(tagMvCID cid, uint16_t storage, uint64_t minutes) {
    ITGSetTimeAndStorageForContent(cid, storage, minutes, true);
}

class RetentionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ITGMainConf* conf = ITGGetMainConf();
        savedSlots_ = conf->READERSLOTS;
        conf->READERSLOTS = 2;
        mgr_ = std::make_unique<HSCStorageManager>(false);
    }
    void TearDown() override {
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr_->m_blocks) blocks.push_back(b);
        mgr_.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media_)
            if (m.descriptor >= 0) close(m.descriptor);
        ITGGetMainConf()->READERSLOTS = savedSlots_;
    }
    TestMedium& AddMedium(uint16_t id, uint64_t blocks) {
        owned_.push_back(std::make_unique<TestMedium>(blocks, id));
        media_[id].path = owned_.back()->Path();
        return *owned_.back();
    }
    void Scan(int media) { ASSERT_EQ(MvLoadStorages(*mgr_, media_), media); }
    HSCCIDInfo* Record(tagMvCID cid, uint16_t storage = 1) {
        return mgr_->GetCIDInfoS(cid, storage, false, true);
    }
    std::deque<uint64_t> Chain(HSCCIDInfo* r) {
        r->AllocRead(HSC_LOCK_CHAIN);
        std::deque<uint64_t> copy(r->m_chain);
        r->ReleaseRead(HSC_LOCK_CHAIN);
        return copy;
    }
    std::deque<uint64_t> Pool(uint16_t storage) {
        return Chain(mgr_->GetCIDInfoS(HSCFreePoolCID(storage), storage, false, true));
    }
    std::unique_ptr<HSCStorageManager> mgr_;
    std::map<uint16_t, tagITGStorageInfo> media_;
    std::vector<std::unique_ptr<TestMedium>> owned_;
    int32_t savedSlots_ = 0;
};

TEST(RetentionWindow, MinutesBecomeSecondsWithATenSecondFloor) {
    const struct {
        uint64_t minutes;
        uint32_t seconds;
    } cases[] = {
        {0, 10},
        {1, 60},
        {30, 1800},
        {60, 3600},
        {7158278, 429496680},      // what the scan gives contents the configuration does not name
        {35791394, 2147483640},    // largest whole-minute window the time arithmetic can move
        {35791395, 0x7FFFFFFF},    // beyond it: held at the limit instead of wrapping
        {~0ull, 0x7FFFFFFF},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HSCRetentionWindowSecs(c.minutes), c.seconds) << c.minutes << " minutes";
}

// With 0 minutes the window is 10 seconds: a flushed block whose newest GOP is older goes back to
// the pool and is reset on the medium; a block within the window stays; the block a writer is
// filling stays however old its GOPs are, until the writer leaves it.
TEST_F(RetentionTest, ZeroMinutesExpiresFlushedBlocksOlderThanTenSeconds) {
    mvtest::ScopedStorageConf conf(false);
    const tagMvCID chan = MvCIDMake(8101, 0, 0);
    TestMedium& m = AddMedium(1, 4);
    WriteUsed(m, 0, 1, chan, 1, {0, 2, 4});     // block 1: newest GOP at 4 s
    WriteUsed(m, 1, 1, chan, 4, {90, 95, 98});  // block 2: newest GOP at 98 s
    Scan(1);
    Retain(chan, 1, 0);
    HSCCIDInfo* rec = Record(chan);
    ASSERT_EQ(Chain(rec), (std::deque<uint64_t>{1, 2}));
    ASSERT_EQ(Pool(1), (std::deque<uint64_t>{3, 4}));

    // A writer takes block 3 and fills it with GOPs as old as block 1's.
    HSCSingleChunk* writing = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(writing, nullptr);
    ASSERT_EQ(writing->GetBlockID(), 3u);
    ASSERT_TRUE(mgr_->StartChunk(rec, writing));
    for (uint64_t n : {7, 8}) {
        mvtest::GopPtr g = mvtest::MakeGop(n, At(static_cast<int>(n)), 1);
        ASSERT_TRUE(mgr_->AppendGOP(rec, writing, g.get()));
    }
    ASSERT_FALSE(writing->IsFlushed());

    HSCRetentionState state;
    HSCRetentionStart(*rec, state);
    EXPECT_EQ(state.windowSecs, 10u);

    // 100 s after kT0: block 1 (4 s) is out of the window, block 2 (98 s) is not.
    size_t returned = 0;
    std::string log = CaptureLog([&] { returned = HSCRetentionPass(*mgr_, *rec, state, At(100)); });
    EXPECT_EQ(returned, 1u);
    EXPECT_TRUE(Has(log, "- [I] [CHMON] CID(0)(0)(8101) deleting out-dated block(1) on storage (1).."))
        << log;
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{2, 3}));
    EXPECT_EQ(Pool(1), (std::deque<uint64_t>{4, 1}));
    ExpectFreeOnMedium(m, 0, 1);
    // The times on storage now describe blocks 2 and 3.
    EXPECT_EQ(rec->m_startTimeOnStorage.load(), At(7));
    EXPECT_EQ(rec->m_endTimeOnStorage.load(), At(98));

    // Much later: block 2 goes too, the block being written still stays.
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, At(1000)), 1u);
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{3}));
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, At(100000)), 0u);
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{3}));
    EXPECT_EQ(writing->GetGOPCount(), 2u);

    // Once the writer has left it, it expires like any other.
    ASSERT_TRUE(mgr_->StopChunk(writing));
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, At(100000)), 1u);
    EXPECT_TRUE(Chain(rec).empty());
    EXPECT_EQ(Pool(1), (std::deque<uint64_t>{4, 1, 2, 3}));
    ExpectFreeOnMedium(m, 2, 1);
    EXPECT_EQ(rec->m_startTimeOnStorage.load(), 0u);
    EXPECT_EQ(rec->m_endTimeOnStorage.load(), 0u);

    // A returned block serves the next writer like any free block.
    HSCSingleChunk* next = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->GetBlockID(), 4u);
}

// A block taken by a writer but still empty has no times and never expires.
TEST_F(RetentionTest, EmptyBlockOfAWriterNeverExpires) {
    const tagMvCID chan = MvCIDMake(8102, 0, 0);
    AddMedium(1, 2);
    Scan(1);
    Retain(chan, 1, 0);
    HSCCIDInfo* rec = Record(chan);
    HSCSingleChunk* block = mgr_->GetFreeChunk(rec, 1);
    ASSERT_TRUE(mgr_->StartChunk(rec, block));
    ASSERT_TRUE(mgr_->StopChunk(block));  // flushed, but holds no GOP
    HSCRetentionState state;
    HSCRetentionStart(*rec, state);
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, MvTimeNow()), 0u);
    EXPECT_EQ(Chain(rec).size(), 1u);
}

// Changing the retention from 60 to 30 minutes is logged on the next pass, which frees the blocks
// between 30 and 60 minutes old.
TEST_F(RetentionTest, RetentionChangeTakesEffectOnTheNextPass) {
    const tagMvCID chan = MvCIDMake(8103, 0, 0);
    TestMedium& m = AddMedium(1, 3);
    WriteUsed(m, 0, 1, chan, 1, {0, 60});          // newest GOP 1 min after kT0
    WriteUsed(m, 1, 1, chan, 3, {1500, 1800});     // newest GOP at 30:00
    WriteUsed(m, 2, 1, chan, 5, {3000, 3500});     // newest GOP at 58:20
    Scan(1);
    Retain(chan, 1, 60);
    HSCCIDInfo* rec = Record(chan);
    const MvTime now = At(3600 + 60 + 1);  // block 1 is just over an hour old

    HSCRetentionState state;
    std::string log = CaptureLog([&] { HSCRetentionStart(*rec, state); });
    EXPECT_TRUE(Has(log, "[CHMON] CID(0)(0)(8103) monitoring for out-dated records (shift is 3600 "
                         "seconds).."))
        << log;
    log = CaptureLog([&] { EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, now), 1u); });
    EXPECT_FALSE(Has(log, "monitoring time changed")) << log;
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{2, 3}));

    Retain(chan, 1, 30);
    log = CaptureLog([&] { EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, now), 1u); });
    EXPECT_TRUE(Has(log, "[CHMON] CID(0)(0)(8103) out-dated record monitoring time changed to "
                         "(1800) seconds.."))
        << log;
    // At 1:01:01 the 30-minute limit is 31:01: block 2 (30:00) goes, block 3 (58:20) stays.
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{3}));
    EXPECT_EQ(state.windowSecs, 1800u);
    // Unchanged retention: no second message.
    log = CaptureLog([&] { HSCRetentionPass(*mgr_, *rec, state, now); });
    EXPECT_FALSE(Has(log, "monitoring time changed")) << log;
}

// A VOD title never expires by time; ForceFreeAll hands its blocks to the next pass, after which
// WaitFreeAll reports true. A released block that a writer still fills waits for the writer.
TEST_F(RetentionTest, VodBlocksStayUntilForceFreeAll) {
    mvtest::ScopedStorageConf conf(false);
    const tagMvCID vod = MvCIDMake(100008104, 0, 0);
    TestMedium& m = AddMedium(1, 4);
    WriteUsed(m, 0, 1, vod, 1, {0, 10});
    WriteUsed(m, 1, 1, vod, 3, {20, 30});
    Scan(1);
    Retain(vod, 1, 0);
    HSCCIDInfo* rec = Record(vod);
    HSCRetentionState state;
    std::string log = CaptureLog([&] { HSCRetentionStart(*rec, state); });
    EXPECT_FALSE(Has(log, "monitoring for out-dated records")) << log;  // said for channels only

    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, MvTimeNow()), 0u);
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{1, 2}));

    // A writer is filling a third block when the title is dropped.
    HSCSingleChunk* writing = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(writing, nullptr);
    ASSERT_TRUE(mgr_->StartChunk(rec, writing));
    mvtest::GopPtr g = mvtest::MakeGop(5, At(40), 1);
    ASSERT_TRUE(mgr_->AppendGOP(rec, writing, g.get()));

    uint64_t count = 0;
    rec->ForceFreeAll(count);
    EXPECT_EQ(count, 3u);
    EXPECT_FALSE(rec->WaitFreeAll());
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, MvTimeNow()), 2u);
    EXPECT_EQ(Pool(1), (std::deque<uint64_t>{4, 1, 2}));
    ExpectFreeOnMedium(m, 0, 1);
    ExpectFreeOnMedium(m, 1, 1);
    EXPECT_FALSE(rec->WaitFreeAll());  // block 3 is still being written
    EXPECT_EQ(writing->GetGOPCount(), 1u);

    ASSERT_TRUE(mgr_->StopChunk(writing));
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, MvTimeNow()), 1u);
    EXPECT_TRUE(rec->WaitFreeAll());
    EXPECT_EQ(Pool(1), (std::deque<uint64_t>{4, 1, 2, 3}));
    ExpectFreeOnMedium(m, 2, 1);
    EXPECT_TRUE(Chain(rec).empty());
}

// Expired blocks return to the pool of the storage that holds them, also when the configuration
// has meanwhile moved the content to another storage; the free record names the block's storage.
TEST_F(RetentionTest, BlocksReturnToThePoolOfTheirOwnStorage) {
    const tagMvCID chan = MvCIDMake(8105, 0, 0);
    TestMedium& m1 = AddMedium(1, 2);
    AddMedium(2, 2);
    WriteUsed(m1, 0, 1, chan, 1, {0, 5});
    WriteUsed(m1, 1, 1, chan, 3, {10, 15});
    Scan(2);
    Retain(chan, 2, 0);  // now configured onto storage 2
    HSCCIDInfo* rec = Record(chan);
    ASSERT_EQ(Pool(2), (std::deque<uint64_t>{3, 4}));

    HSCRetentionState state;
    HSCRetentionStart(*rec, state);
    std::string log;
    log = CaptureLog([&] { EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, At(1000)), 2u); });
    EXPECT_TRUE(Has(log, "deleting out-dated block(1) on storage (1)..")) << log;
    EXPECT_TRUE(Has(log, "deleting out-dated block(2) on storage (1)..")) << log;
    EXPECT_EQ(Pool(1), (std::deque<uint64_t>{1, 2}));
    EXPECT_EQ(Pool(2), (std::deque<uint64_t>{3, 4}));
    ExpectFreeOnMedium(m1, 0, 1);
    ExpectFreeOnMedium(m1, 1, 1);
}

// With VERBOSE on a pass reports what it checked; without anything to delete it says so.
TEST_F(RetentionTest, VerbosePassReportsBlocksAndLimits) {
    mvtest::ScopedStorageConf conf(true, true);
    const tagMvCID chan = MvCIDMake(8106, 0, 0);
    TestMedium& m = AddMedium(1, 3);
    WriteUsed(m, 0, 1, chan, 11, {0, 5});
    WriteUsed(m, 1, 1, chan, 13, {50, 60});
    Scan(1);
    Retain(chan, 1, 0);
    HSCCIDInfo* rec = Record(chan);
    HSCRetentionState state;
    HSCRetentionStart(*rec, state);

    std::string log = CaptureLog([&] { HSCRetentionPass(*mgr_, *rec, state, At(30)); });
    EXPECT_TRUE(Has(log, "- [I] [CHMON] CID(0)(0)(8106) checking (2) blocks for expiry")) << log;
    EXPECT_TRUE(Has(log, "[CHMON] CID(0)(0)(8106) block(1), nMinGOP(11), nMaxGOP(12), nMinTime(" +
                             std::to_string(static_cast<unsigned>(At(0))) + "), nMaxTime(" +
                             std::to_string(static_cast<unsigned>(At(5))) + "), isFlushed(1)"))
        << log;
    EXPECT_TRUE(Has(log, "[DBG] CID(0)(0)(8106) MIN(2024-03-01 10:00:50.00)MAX(2024-03-01 "
                         "10:01:00.00)LIM(2024-03-01 10:00:20.00)F(1)"))
        << log;
    EXPECT_TRUE(Has(log, "deleting out-dated block(1) on storage (1)..")) << log;

    log = CaptureLog([&] { HSCRetentionPass(*mgr_, *rec, state, At(30)); });
    EXPECT_TRUE(Has(log, "- [I] [CHMON] CID(0)(0)(8106) no blocks to delete, storage (1)...")) << log;
    EXPECT_TRUE(Has(log, "checking (1) blocks for expiry")) << log;
}

// A block in the chain that carries another content's identifier is neither expired nor reset.
TEST_F(RetentionTest, BlockOfAnotherContentIsNotReset) {
    const tagMvCID chan = MvCIDMake(8107, 0, 0);
    const tagMvCID other = MvCIDMake(8108, 0, 0);
    TestMedium& m = AddMedium(1, 2);
    WriteUsed(m, 0, 1, other, 1, {0, 5});
    Scan(1);
    Retain(chan, 1, 0);
    HSCCIDInfo* rec = Record(chan);
    ASSERT_TRUE(rec->StartChunk(1));  // a broken chain: block 1 belongs to `other`
    HSCRetentionState state;
    HSCRetentionStart(*rec, state);
    std::string log = CaptureLog([&] { EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, At(1000)), 0u); });
    EXPECT_TRUE(Has(log, "[CHUNK] CheckAndGetOldChunks: Chunk contentId(8108) mismatch(8107)")) << log;
    EXPECT_EQ(mgr_->FindChunk(1)->GetContentID(), other);
    EXPECT_EQ(mgr_->FindChunk(1)->GetGOPCount(), 2u);
}

// Nothing is released once the manager is shutting down.
TEST_F(RetentionTest, NoPassWhileTerminating) {
    const tagMvCID chan = MvCIDMake(8109, 0, 0);
    TestMedium& m = AddMedium(1, 2);
    WriteUsed(m, 0, 1, chan, 1, {0, 5});
    Scan(1);
    Retain(chan, 1, 0);
    HSCCIDInfo* rec = Record(chan);
    HSCRetentionState state;
    HSCRetentionStart(*rec, state);
    mgr_->PrepareTerminate();
    EXPECT_EQ(HSCRetentionPass(*mgr_, *rec, state, At(1000)), 0u);
    EXPECT_EQ(Chain(rec), (std::deque<uint64_t>{1}));
}

// The thread itself: started with the record by the process-wide manager, it waits for the
// start-up scan, then returns the content's expired blocks (pause shortened for the test).
TEST(RetentionThread, MonitorOfANewRecordExpiresItsBlocks) {
    HSCSetRetentionPause(20000, 20000);
    ITGGetMainConf()->READERSLOTS = 1;
    const tagMvCID chan = MvCIDMake(8110, 0, 0);
    // The process-wide manager and its blocks live until the process ends.
    static TestMedium* medium = new TestMedium(2, 1);
    WriteUsed(*medium, 0, 1, chan, 1, {0, 5});
    static std::map<uint16_t, tagITGStorageInfo> media;
    media[1].path = medium->Path();
    HSCStorageManager* mgr = HSCInitChunkManager();
    Retain(chan, 1, 0);
    std::string log = CaptureLog([&] {
        ASSERT_EQ(MvLoadStorages(*mgr, media), 1);
        unlink(medium->Path().c_str());  // gone when the process ends
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        HSCCIDInfo* rec = mgr->GetCIDInfoS(chan, 1, false, false);
        ASSERT_NE(rec, nullptr);
        // Nothing moves before the scan is declared over.
        EXPECT_EQ(rec->GetChunkCount(), 1u);
        MvMarkStorageInitialized();
        bool freed = false;
        for (int i = 0; i < 1000 && !freed; ++i) {  // bounded: 10 s
            freed = rec->GetChunkCount() == 0;
            if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(freed);
        HSCCIDInfo* pool = mgr->GetCIDInfoS(HSCFreePoolCID(1), 1, false, false);
        ASSERT_NE(pool, nullptr);
        EXPECT_EQ(pool->GetChunkCount(), 2u);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    EXPECT_TRUE(Has(log, "[CHMON] CID(0)(0)(8110) monitoring for out-dated records (shift is 10 "
                         "seconds).."))
        << log;
    EXPECT_TRUE(Has(log, "[CHMON] CID(0)(0)(8110) deleting out-dated block(1) on storage (1)..")) << log;
}

}  // namespace
