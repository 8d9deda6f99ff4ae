// A recording end to end: a medium formatted by the storage tool, a run of real GOPs (with their
// accessors) appended through the storage manager and its I/O threads as a channel's back writer
// does, with BULKWRITE on and off; then a fresh manager loads the medium as the server's
// start-up does, and every GOP comes back, one by one and a block at a time, equal to what was
// appended, and is found by number, time and (while the history holds it) PTS.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "storint_helpers.h"

namespace {

using namespace storint;

constexpr uint64_t kGops = 1400;  // one-second GOPs: 656 a block, so three blocks
constexpr uint64_t kPerBlock = 656;
constexpr uint64_t kPtsTolerance = 45000;  // half a GOP

// Loads GOP n through the manager (the ReadDirect thread) and compares it with what was
// appended, extra data bytes included.
void ExpectLoads(HSCStorageManager& mgr, HSCCIDInfo* rec, const RealGops& gops, uint64_t n,
                 tagMvCID cid) {
    HSCGop loaded;
    HSCSingleChunk* hint = nullptr;
    int status = 0;
    ASSERT_TRUE(mgr.LoadGOP(rec, n, false, true, &loaded, hint, status)) << n;
    EXPECT_EQ(status, HSC_LOAD_OK);
    ASSERT_NE(hint, nullptr);
    std::unique_ptr<HSCGop> want(gops.Make(n, RunTime(n), RunPts(n)));
    ExpectIdentical(*want, loaded, cid);
    ASSERT_TRUE(HSCBuildGopExtra(want.get()));
    EXPECT_EQ(Bytes(loaded.extraData), Bytes(want->extraData)) << n;
    EXPECT_EQ(loaded.footprint, loaded.ComputeFootprint());
}

// Lookups by number and by time over the three blocks of the run (ids in writing order).
void ExpectLookups(HSCStorageManager& mgr, HSCCIDInfo* rec, const std::vector<uint64_t>& blocks) {
    ASSERT_EQ(blocks.size(), 3u);
    auto blockOf = [&](uint64_t n) { return blocks[(n - 1) / kPerBlock]; };
    for (uint64_t n : {1ull, 2ull, 655ull, 656ull, 657ull, 658ull, 1000ull, 1312ull, 1313ull,
                       1399ull, 1400ull}) {
        SCOPED_TRACE(n);
        const bool firstOfBlock = (n - 1) % kPerBlock == 0;
        bool first = false;
        HSCSingleChunk* b = rec->GetChunkForGopID(n, first);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->GetBlockID(), blockOf(n));
        EXPECT_EQ(first, firstOfBlock);
        // A GOP's own time gives that GOP, and so does a time closer to it than to its
        // neighbours; also in a block's first seconds, although the block before ends within
        // 5 s. Between two blocks, a time belongs to the earlier block: its last GOP.
        EXPECT_EQ(mgr.TranslateGOP(rec, RunTime(n)), n);
        EXPECT_EQ(mgr.TranslateGOP(rec, MvTimeAddCentiSecs(RunTime(n), 40)), n);
        if (n > 1) {
            EXPECT_EQ(mgr.TranslateGOP(rec, MvTimeAddCentiSecs(RunTime(n - 1), 60)),
                      firstOfBlock ? n - 1 : n);
        }
        EXPECT_EQ(mgr.TranslateGOPX(rec, RunTime(n), true), n);
    }
    bool first = false;
    EXPECT_EQ(rec->GetChunkForGopID(0, first), nullptr);
    EXPECT_EQ(rec->GetChunkForGopID(kGops + 1, first), nullptr);
    // Within 5 s of the recording's ends: its first or last GOP; beyond, nothing.
    EXPECT_EQ(mgr.TranslateGOP(rec, MvTimeAddSecs(RunTime(1), -4)), 1u);
    EXPECT_EQ(mgr.TranslateGOP(rec, MvTimeAddSecs(RunTime(1), -6)), 0u);
    EXPECT_EQ(mgr.TranslateGOP(rec, MvTimeAddSecs(RunTime(kGops), 4)), kGops);
    EXPECT_EQ(mgr.TranslateGOP(rec, MvTimeAddSecs(RunTime(kGops), 6)), 0u);
    uint64_t size = 0;
    EXPECT_TRUE(mgr.CalcSize(rec->GetCID(), 650, 660, size));  // across a block boundary
    EXPECT_GT(size, 0u);
}

class StorintRoundTrip : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { MvGopCache::ITGCacheInit(64ull << 20); }
};

TEST_P(StorintRoundTrip, RunOfRealGopsLoadsBackAfterARestart) {
    mvtest::ScopedStorageConf conf(GetParam());
    ScopedReaderSlots slots(2);
    Scratch scratch;
    const std::string medium = FormatMedium(scratch, "medium1", "200M", 1);
    ASSERT_EQ(ReadHeader(medium).nBlocks, 5u);
    RealGops gops;
    const tagMvCID cid = MvCIDMake(FreshContent(), 2, 0);

    // ---- first run of the server: record ----
    std::vector<uint64_t> blocks;
    {
        TestManager mgr;
        ASSERT_EQ(mgr.Load({{1, medium}}), 1);
        EXPECT_EQ(mgr->CIDGetFreeCountForStorage(1), 5u);
        HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, 1, true, true);
        ASSERT_NE(rec, nullptr);
        BackWriter writer(*mgr, rec, 1);
        for (uint64_t n = 1; n <= kGops; ++n) {
            HSCGop* g = gops.Make(n, RunTime(n), RunPts(n));
            g->AddRef();  // the writer's reference
            const bool ok = writer.Append(g);
            g->Release();
            ASSERT_TRUE(ok) << n;
        }
        // A block takes 656 one-second GOPs (655.35 s from its first); the 657th opens the next.
        EXPECT_EQ(writer.FirstGops(), (std::vector<uint64_t>{1, 657, 1313}));
        blocks = writer.Blocks();
        EXPECT_EQ(mgr->CIDGetFreeCountForStorage(1), 2u);

        // While the last block is being written: its GOPs load (from the data copy with
        // BULKWRITE, from the medium without), a bulk load of it is refused.
        ExpectLoads(*mgr, rec, gops, kGops - 1, cid);
        std::vector<HSCGop*> none;
        EXPECT_FALSE(mgr->LoadBulk(rec, blocks[2], none, 0));
        EXPECT_TRUE(none.empty());

        // PTS: the history keeps the newest 136 GOPs (older ones are trimmed after 60 s).
        for (uint64_t n : {kGops, kGops - 1, kGops - 135}) {
            SCOPED_TRACE(n);
            EXPECT_EQ(mgr->TranslatePTS(rec, RunPts(n), kPtsTolerance), n);
            EXPECT_EQ(mgr->TranslatePTS(rec, RunPts(n) + 30000, kPtsTolerance), n);
            EXPECT_EQ(mgr->TranslateGOPY(rec, RunPts(n) - 30000, kPtsTolerance), n);
        }
        EXPECT_EQ(mgr->TranslatePTS(rec, RunPts(kGops - 136), kPtsTolerance), 0u);
        EXPECT_EQ(mgr->TranslatePTS(rec, RunPts(kGops) + 60000, kPtsTolerance), 0u);

        ExpectLookups(*mgr, rec, blocks);
        writer.Stop();
        rec->ReleaseWriting();
    }

    // ---- second run: the start-up scan finds the recording ----
    TestManager mgr;
    ASSERT_EQ(mgr.Load({{1, medium}}), 1);
    HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, 1, false, false);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetStorageID(), 1u);
    EXPECT_EQ(rec->GetChunkCount(), 3u);
    EXPECT_EQ(mgr->CIDGetFreeCountForStorage(1), 2u);
    EXPECT_EQ(rec->m_lastGOP.load(), kGops);
    EXPECT_EQ(rec->m_lastGOPTime.load(), RunTime(kGops));
    EXPECT_EQ(rec->m_startTimeOnStorage.load(), RunTime(1));
    for (size_t i = 0; i < blocks.size(); ++i) {
        HSCSingleChunk* b = mgr->FindChunk(blocks[i]);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->GetContentID(), cid);
        EXPECT_EQ(b->GetStartGOPID(), 1 + i * kPerBlock);
        EXPECT_EQ(b->GetEndGOPID(), std::min<uint64_t>((i + 1) * kPerBlock, kGops));
    }

    for (uint64_t n = 1; n <= kGops && !HasFailure(); ++n) ExpectLoads(*mgr, rec, gops, n, cid);

    // Whole blocks through the ReadBulk thread, from their first GOP and from a later one.
    struct Bulk {
        size_t block;
        uint64_t first;  // 0: the block's first GOP
        uint64_t from, to;
    };
    for (const Bulk& c : {Bulk{0, 0, 1, 656}, Bulk{1, 0, 657, 1312}, Bulk{2, 0, 1313, 1400},
                          Bulk{1, 1000, 1000, 1312}}) {
        SCOPED_TRACE(c.block);
        std::vector<HSCGop*> out;
        ASSERT_TRUE(mgr->LoadBulk(rec, blocks[c.block], out, c.first));
        ASSERT_EQ(out.size(), c.to - c.from + 1);
        for (size_t k = 0; k < out.size() && !HasFailure(); ++k) {
            const uint64_t n = c.from + k;
            std::unique_ptr<HSCGop> want(gops.Make(n, RunTime(n), RunPts(n)));
            ExpectIdentical(*want, *out[k], cid);
        }
        for (HSCGop* g : out) g->Release();
    }
    ExpectLookups(*mgr, rec, blocks);
    // The PTS history lives in memory only: a restarted server finds nothing by PTS.
    EXPECT_EQ(mgr->TranslatePTS(rec, RunPts(kGops), kPtsTolerance), 0u);

    // ---- the recording goes on after the restart, in a block of the pool ----
    ASSERT_EQ(mgr->GetCIDInfoS(cid, 1, true, false), rec);
    {
        BackWriter writer(*mgr, rec, 1);
        for (uint64_t n = kGops + 1; n <= kGops + 10; ++n) {
            std::unique_ptr<HSCGop> g(gops.Make(n, RunTime(n), RunPts(n)));
            g->AddRef();
            ASSERT_TRUE(writer.Append(g.get())) << n;
        }
        ASSERT_EQ(writer.Blocks().size(), 1u);
        EXPECT_EQ(std::find(blocks.begin(), blocks.end(), writer.Blocks()[0]), blocks.end());
        ExpectLoads(*mgr, rec, gops, kGops + 5, cid);
        EXPECT_EQ(mgr->TranslatePTS(rec, RunPts(kGops + 10), kPtsTolerance), kGops + 10);
        writer.Stop();
        std::vector<HSCGop*> out;
        ASSERT_TRUE(mgr->LoadBulk(rec, writer.Blocks()[0], out, 0));
        EXPECT_EQ(out.size(), 10u);
        for (HSCGop* g : out) g->Release();
        bool first = false;
        EXPECT_EQ(rec->GetChunkForGopID(kGops + 1, first), mgr->FindChunk(writer.Blocks()[0]));
        EXPECT_TRUE(first);
        EXPECT_EQ(mgr->TranslateGOP(rec, RunTime(kGops + 3)), kGops + 3);
    }
    rec->ReleaseWriting();
}

INSTANTIATE_TEST_SUITE_P(BulkWrite, StorintRoundTrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? std::string("On") : std::string("Off");
                         });

}  // namespace
