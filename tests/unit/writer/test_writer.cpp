// The channel writer pair driven through its ITCTC queues against a real storage manager with
// scanned media: block runs and switches (gap, duplicate, index and time limits), recycling of
// the content's own blocks on a full storage, the claim, the stop sequence as the next start-up
// sees it, stopping while starved or terminating, GOPs no block can take, and the refusal when
// the back thread cannot start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "writer_fixture.h"

namespace {

using namespace wrtest;

const std::string kCidText = "CID(0)(0)(4321)";

// ------------------------------------------------------------------------------------------------
// Block runs
// ------------------------------------------------------------------------------------------------

TEST_F(WriterTest, GapClosesTheBlockAndTheNextGopStartsAnother) {
    for (const bool bulk : {true, false}) {
        SCOPED_TRACE(bulk ? "BULKWRITE on" : "BULKWRITE off");
        mvtest::ScopedStorageConf conf(bulk, true);
        FreshMedium(3);

        Producer& p = NewProducer();
        std::string log = CaptureLog([&] {
            Start(p, kCid);
            ASSERT_NE(p.record, nullptr);
            EXPECT_EQ(p.record->GetWritingStatus(), 1);
            SendAll(p, {10, 11, 13});
            Stop(p);
        });
        EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{10, 11}, {13, 13}}));
        EXPECT_EQ(CountOf(log, "[W] [FM] " + kCidText +
                                   " sequence mismatch OLD(11)/NEW(13) on storage (1)"),
                  1)
            << log;
        EXPECT_EQ(CountOf(log, "sequence mismatch"), 1);
        EXPECT_EQ(p.record->m_diskSave.load(), 3u);
        EXPECT_EQ(p.record->m_lastGOP.load(), 13u);
        EXPECT_EQ(p.record->GetWritingStatus(), 0);
        EXPECT_EQ(p.record->GetChunkCount(), 2u);
        // The cache kept nothing (limit 0): the back thread held the only reference.
        EXPECT_TRUE(Has(log, "[I] [FM] " + kCidText + " saved GOP(10), lock count(1)")) << log;
        EXPECT_TRUE(Has(log, "[I] [FM] " + kCidText + " saving GOP(13) / sizes (2688)/(")) << log;
        EXPECT_TRUE(Has(log, "), PTS(46800)")) << log;
        EXPECT_TRUE(Has(log, "[I] [FM] " + kCidText + " starting writing to storage(1)")) << log;
        EXPECT_EQ(g_liveGops.load(), 0);
    }
}

// A GOP number that does not move forward. GOPs with a per-packet index are refused by the
// content's history at the front (the duplicate then lives only in the cache); GOPs whose
// accessors hold no frame pass the history unchecked and reach the back thread, which closes the
// block, drops the duplicate and starts the next block with the following GOP.
TEST_F(WriterTest, DuplicateGopNeverEntersABlockTwice) {
    struct Case {
        const char* name;
        uint32_t accessorVersion;
        std::vector<GopRun> runs;
        int mismatches;
    };
    const Case cases[] = {
        {"refused by the history", 0, {{10, 12}}, 0},
        {"dropped by the back thread", 1, {{10, 11}, {12, 12}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMedium(3);
        Producer& p = NewProducer();
        std::string log = CaptureLog([&] {
            Start(p, kCid);
            ASSERT_NE(p.record, nullptr);
            SendAll(p, {10, 11, 11, 12}, c.accessorVersion);
            Stop(p);
        });
        EXPECT_EQ(Runs(kCid), c.runs);
        EXPECT_EQ(CountOf(log, "[W] [FM] " + kCidText +
                                   " sequence mismatch OLD(11)/NEW(11) on storage (1)"),
                  c.mismatches)
            << log;
        EXPECT_EQ(p.record->m_diskSave.load(), 3u);
        EXPECT_EQ(g_liveGops.load(), 0);
    }
}

// A full index (1024 GOPs) and a time offset beyond 655.35 s both end a block: the GOP that did
// not fit opens the next block, continuing the run without a sequence message.
TEST_F(WriterTest, FullIndexOrTimeSpanStartsTheNextBlockWithoutSequenceMessage) {
    struct Case {
        const char* name;
        std::vector<MvTime> times;  // of GOPs 1, 2, ...
        std::vector<GopRun> runs;
        uint64_t refused;           // the GOP the first block refused
    };
    std::vector<MvTime> dense;
    for (uint64_t i = 0; i < 1025; ++i) dense.push_back(TestTime(i * 10 + 1));
    const Case cases[] = {
        {"1025th GOP", dense, {{1, 1024}, {1025, 1025}}, 1025},
        {"655.36 s after the first",
         {TestTime(1), TestTime(101), TestTime(65400), TestTime(65537)},
         {{1, 3}, {4, 4}},
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mvtest::ScopedStorageConf conf(true, true);
        FreshMedium(3);
        Producer& p = NewProducer();
        std::string log = CaptureLog([&] {
            Start(p, kCid);
            ASSERT_NE(p.record, nullptr);
            for (size_t i = 0; i < c.times.size(); ++i) Send(p, i + 1, GopSpec{c.times[i], 1, 0});
            Stop(p);
        });
        EXPECT_EQ(Runs(kCid), c.runs);
        EXPECT_EQ(CountOf(log, "sequence mismatch"), 0);
        EXPECT_EQ(CountOf(log, "[I] [FM] " + kCidText + " could not append GOP(" +
                                   std::to_string(c.refused) + ") on storage(1), attempt(1)"),
                  1);
        EXPECT_EQ(CountOf(log, "could not append GOP("), 1);
        EXPECT_EQ(g_liveGops.load(), 0);
    }
}

// With no free block left the content recycles its own oldest flushed block: blocks alternate
// and the newest recording survives.
TEST_F(WriterTest, FullStorageRecyclesTheContentsOwnOldestBlock) {
    TestMedium& m = FreshMedium(2);
    Producer& p = NewProducer();
    uint64_t firstPos = 2, secondPos = 2;
    std::string log = CaptureLog([&] {
        Start(p, kCid);
        ASSERT_NE(p.record, nullptr);
        SendAll(p, {1, 2, 4, 5});
        ASSERT_TRUE(WaitFor([&] { return p.record->m_diskSave.load() == 4; }));
        // 1-2 were saved when 4 broke the run; 4-5 are still being written.
        for (uint64_t pos = 0; pos < m.Blocks(); ++pos)
            if (RunAt(pos, kCid) == GopRun{1, 2}) firstPos = pos;
        ASSERT_LT(firstPos, 2u);
        secondPos = 1 - firstPos;
        SendAll(p, {7, 8, 10});
        Stop(p);
    });
    EXPECT_EQ(RunAt(firstPos, kCid), (GopRun{7, 8}));
    EXPECT_EQ(RunAt(secondPos, kCid), (GopRun{10, 10}));
    EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{7, 8}, {10, 10}}));
    EXPECT_EQ(CountOf(log, "sequence mismatch"), 3);
    EXPECT_FALSE(Has(log, "something is wrong")) << log;
    EXPECT_EQ(p.record->GetChunkCount(), 2u);
    bool isFirst = false;
    EXPECT_EQ(p.record->GetChunkForGopID(4, isFirst), nullptr);
    EXPECT_NE(p.record->GetChunkForGopID(8, isFirst), nullptr);
}

// ------------------------------------------------------------------------------------------------
// Claim
// ------------------------------------------------------------------------------------------------

TEST_F(WriterTest, SecondProducerForTheSameContentGetsNoRecord) {
    FreshMedium(4);
    Producer& first = NewProducer();
    Producer& second = NewProducer();
    Producer& otherSub = NewProducer();
    Producer& later = NewProducer();
    const tagMvCID otherCid = MvCIDWithSubStream(kCid, 1);
    std::string log = CaptureLog([&] {
        Start(first, kCid);
        ASSERT_NE(first.record, nullptr);
        SendAll(first, {1, 2});
        Start(second, kCid);
        EXPECT_EQ(second.record, nullptr);
        // Another sub-stream of the channel is another content.
        Start(otherSub, otherCid);
        ASSERT_NE(otherSub.record, nullptr);
        EXPECT_NE(otherSub.record, first.record);
        SendAll(otherSub, {1});
        SendAll(first, {3});
        Stop(first);
        Stop(otherSub);
        // Once released, the content can be claimed again; the new writer continues the history.
        Start(later, kCid);
        ASSERT_EQ(later.record, first.record);
        SendAll(later, {4});
        Stop(later);
    });
    EXPECT_EQ(CountOf(log, "[I] [FM] " + kCidText +
                               " error starting channel on storage(1), probably channel is still "
                               "in use"),
              1)
        << log;
    EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{1, 3}, {4, 4}}));
    EXPECT_EQ(Runs(otherCid), (std::vector<GopRun>{{1, 1}}));
    EXPECT_EQ(first.record->GetWritingStatus(), 0);
}

// ------------------------------------------------------------------------------------------------
// Stop sequence
// ------------------------------------------------------------------------------------------------

TEST_F(WriterTest, StopSequenceLeavesEveryBlockSavedForTheNextStartUp) {
    FreshMedium(3);
    Producer& p = NewProducer();
    std::string log = CaptureLog([&] {
        Start(p, kCid);
        ASSERT_NE(p.record, nullptr);
        SendAll(p, {1, 2, 3, 4, 6, 7, 8});
        Stop(p);
        // The last line follows the final reply.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    const std::string lines[] = {
        "[I] [FM] " + kCidText + " thread termination request received, storage(1)",
        "[I] [FM] " + kCidText + " starting termination sequence, storage (1), status(r/w)",
        "[I] [FM] " + kCidText + " released writing status, storage(1)",
        "[I] [FM] " + kCidText + " stopping writing, storage (1), status(r/o)",
    };
    size_t at = 0;
    for (const std::string& line : lines) {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << log;
        at = found;
    }

    // The next start-up finds both blocks valid, with their runs, and the third one free.
    Restart();
    HSCCIDInfo* record = mgr_->GetCIDInfoS(kCid, kStorage, false, false);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetChunkCount(), 2u);
    EXPECT_EQ(record->m_lastGOP.load(), 8u);
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(kStorage), 1u);
    bool isFirst = false;
    for (const auto& [gop, run] :
         std::vector<std::pair<uint64_t, GopRun>>{{1, {1, 4}}, {4, {1, 4}}, {6, {6, 8}}, {8, {6, 8}}}) {
        HSCSingleChunk* block = record->GetChunkForGopID(gop, isFirst);
        ASSERT_NE(block, nullptr) << gop;
        EXPECT_EQ((GopRun{block->GetStartGOPID(), block->GetEndGOPID()}), run) << gop;
    }
    EXPECT_EQ(record->GetChunkForGopID(5, isFirst), nullptr);
    EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{1, 4}, {6, 8}}));
}

// The only block belongs to content X, which keeps writing it; content Y finds no block, retries
// every 100 ms while its front thread keeps queueing, and starts as soon as a block is returned
// to the storage, warning for every GOP it takes while more than 10 are queued.
TEST_F(WriterTest, StarvedWriterRetriesWithoutTakingTheBlockBeingWritten) {
    TestMedium& m = FreshMedium(1);
    const tagMvCID xCid = MvCIDMake(111, 0, 0);
    const tagMvCID yCid = MvCIDMake(222, 0, 0);
    Producer& x = NewProducer();
    Producer& y = NewProducer();
    mvtest::ScopedStorageConf conf(true, true);
    std::string log = CaptureLog([&] {
        Start(x, xCid);
        ASSERT_NE(x.record, nullptr);
        SendAll(x, {1, 2, 3});
        ASSERT_TRUE(WaitFor([&] { return x.record->m_diskSave.load() == 3; }));
        Start(y, yCid);
        ASSERT_NE(y.record, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        SendAll(x, {4, 5, 6});
        for (uint64_t n = 1; n <= 15; ++n) Send(y, n, GopSpec{TestTime(n * 100), 1, 0});
        ASSERT_TRUE(WaitFor([&] { return x.record->m_diskSave.load() == 6; }));
        ASSERT_TRUE(WaitFor([&] { return y.record->m_lastGOP.load() == 15; }));
        EXPECT_EQ(y.record->m_diskSave.load(), 0u);
        Stop(x);
        EXPECT_EQ(RunAt(0, xCid), (GopRun{1, 6}));

        // The retention monitor's way of returning a block to the storage.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the front's last queueing
        HSCSingleChunk* block = x.record->GetFirstAndFree();
        ASSERT_NE(block, nullptr);
        ASSERT_TRUE(mgr_->ResetChunk(block->GetBlockID()));
        mgr_->GetCIDInfoS(HSCFreePoolCID(kStorage), kStorage, false, true)
            ->StartChunk(block->GetBlockID());
        ASSERT_TRUE(WaitFor([&] { return y.record->m_diskSave.load() == 15; }));
        Stop(y);
    });
    (void)m;
    EXPECT_EQ(Runs(yCid), (std::vector<GopRun>{{1, 15}}));
    EXPECT_TRUE(Has(log, "[W] [FM] CID(0)(0)(222) no free blocks on storage(1), attempt(2)")) << log;
    EXPECT_TRUE(Has(log, "[W] [FM] CID(0)(0)(222) no free blocks on storage(1), attempt(3)"));
    EXPECT_TRUE(Has(log, "[W] [FM] CID(0)(0)(222) something is wrong: there is no free chunk"));
    for (int n = 11; n <= 15; ++n)
        EXPECT_EQ(CountOf(log, "[W] [FM] CID(0)(0)(222) writer queue is overloaded by (" +
                                   std::to_string(n) + ") GOPS"),
                  1)
            << n;
    EXPECT_EQ(CountOf(log, "writer queue is overloaded"), 5);
}

// A writer that cannot get a block must still stop, on request or when the manager terminates,
// giving back every GOP it queued.
TEST_F(WriterTest, StarvedWriterStopsAndReleasesItsQueue) {
    for (const bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "manager terminating" : "stop request");
        FreshMedium(1);
        Producer& x = NewProducer();
        Producer& y = NewProducer();
        const tagMvCID yCid = MvCIDMake(222, 0, 0);
        std::string log = CaptureLog([&] {
            Start(x, kCid);
            ASSERT_NE(x.record, nullptr);
            SendAll(x, {1});
            ASSERT_TRUE(WaitFor([&] { return x.record->m_diskSave.load() == 1; }));
            Start(y, yCid);
            ASSERT_NE(y.record, nullptr);
            SendAll(y, {1, 2, 3, 4, 5});
            ASSERT_TRUE(WaitFor([&] { return y.record->m_lastGOP.load() == 5; }));
            if (!terminate) {
                Stop(y);
                Stop(x);
                return;
            }
            // Both writers notice the manager by themselves and send their final replies.
            mgr_->PrepareTerminate();
            for (Producer* p : {&x, &y}) {
                uint64_t command = 1;
                void* reply = reinterpret_cast<void*>(1);
                ASSERT_TRUE(WaitReply(p->ctc, command, reply));
                EXPECT_EQ(reply, nullptr);
                p->running = false;
            }
        });
        EXPECT_EQ(y.record->m_diskSave.load(), 0u);
        EXPECT_EQ(y.record->GetWritingStatus(), 0);
        EXPECT_EQ(x.record->GetWritingStatus(), 0);
        EXPECT_EQ(g_liveGops.load(), 0) << log;
        if (!terminate) {
            EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{1, 1}}));
        }
    }
}

// ------------------------------------------------------------------------------------------------
// GOPs no block can take
// ------------------------------------------------------------------------------------------------

TEST_F(WriterTest, GopLargerThanABlockIsDroppedAfterFailingOnAnEmptyBlock) {
    mvtest::ScopedStorageConf conf(true, true);
    FreshMedium(3);
    Producer& p = NewProducer();
    const uint32_t huge = (32u << 20) / MV_GOP_RECORD_SIZE + 1;  // one record beyond 32 MiB
    std::string log = CaptureLog([&] {
        Start(p, kCid);
        ASSERT_NE(p.record, nullptr);
        SendAll(p, {10});
        Send(p, 11, GopSpec{TestTime(1100), huge, 0});
        SendAll(p, {12, 13});
        Stop(p);
    });
    EXPECT_EQ(CountOf(log, "[E] [FM] " + kCidText + " GOP(11) could not be stored on empty chunk("),
              1)
        << log;
    EXPECT_EQ(CountOf(log, "could not be stored on empty chunk"), 1);
    // 11 left the first block; the empty block that refused it took the run on from 12.
    EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{10, 10}, {12, 13}}));
    EXPECT_EQ(CountOf(log, "sequence mismatch"), 0);
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(kStorage), 1u);
}

// A medium that refuses every write: each GOP fails on the block it was given and is dropped;
// the writer keeps that one block instead of taking (and resetting) one block after another.
TEST_F(WriterTest, MediumRefusingWritesDropsGopsWithoutConsumingBlocks) {
    mvtest::ScopedStorageConf conf(false, false);
    medium_ = std::make_unique<TestMedium>(3, kStorage);
    const int readOnly = medium_->ReadOnlyFd();
    ASSERT_GE(readOnly, 0);
    for (uint64_t pos = 0; pos < 3; ++pos) {
        HSCChunkInitParams params = medium_->Params(pos, kStorage, nullptr, readOnly);
        params.holderThread = mgr_->GetThreadForBlockID(kStorage, params.blockId);
        auto* block = new HSCSingleChunk(params);
        ASSERT_TRUE(mgr_->AddChunk(block));
        ASSERT_TRUE(mgr_->CIDStartupRegisterChunk(block, kStorage, 0, 0, 0, 0));
    }
    ASSERT_EQ(mgr_->CIDGetFreeCountForStorage(kStorage), 3u);
    Producer& p = NewProducer();
    std::string log = CaptureLog([&] {
        Start(p, kCid);
        ASSERT_NE(p.record, nullptr);
        SendAll(p, {1, 2, 3});
        Stop(p);
    });
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(CountOf(log, " GOP(" + std::to_string(n) + ") could not be stored on empty chunk("),
                  1)
            << log;
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(kStorage), 2u);
    EXPECT_EQ(p.record->GetChunkCount(), 1u);
    EXPECT_EQ(p.record->m_diskSave.load(), 0u);
}

// ------------------------------------------------------------------------------------------------
// Back thread that cannot start
// ------------------------------------------------------------------------------------------------

TEST_F(WriterTest, ContentIsRefusedWhenTheBackThreadCannotStart) {
    FreshMedium(2);
    Producer& broken = NewProducer();
    Producer& next = NewProducer();
    HSCWriterSetup setup;
    setup.backStackSize = 1;  // below the smallest stack a thread can have
    std::string log = CaptureLog([&] {
        Start(broken, kCid, setup);
        EXPECT_EQ(broken.record, nullptr);
        // The content was claimed, then released: a working writer gets it.
        Start(next, kCid);
        ASSERT_NE(next.record, nullptr);
        SendAll(next, {1});
        Stop(next);
    });
    EXPECT_TRUE(Has(log, "[E] [WRT] New WRTX creation error 22")) << log;
    EXPECT_EQ(Runs(kCid), (std::vector<GopRun>{{1, 1}}));
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(kStorage), 1u);
}

}  // namespace
