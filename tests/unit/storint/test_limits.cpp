// A block's three limits reached through the storage manager and its Write thread, with
// BULKWRITE on and off: the 1025th GOP, a GOP 655.36 s after the block's first, and the end of
// the 32 MiB data region. The refused GOP leaves the block as it was; the writer carries it to
// the next block; after a restart the medium holds exactly what was accepted, and a block
// filled to its last byte is flushed without touching the region behind it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storint_helpers.h"

namespace {

using namespace storint;

struct GopPlan {
    uint64_t number;
    uint64_t centis;   // time after kT0
    uint32_t records;  // 1344-byte records of packets
    int64_t ecmBytes;  // ECM packet bytes (sizes the extra data); -1: none
};

mvtest::GopPtr MakePlannedGop(const GopPlan& s) {
    mvtest::GopPtr g = mvtest::MakeGop(s.number, MvTimeAddCentiSecs(kT0, s.centis), s.records);
    if (s.ecmBytes > 0) {
        std::vector<uint8_t> ecm(static_cast<size_t>(s.ecmBytes), static_cast<uint8_t>(s.number));
        g->ecmPackets.Add(ecm.data(), static_cast<int>(ecm.size()));
    }
    return g;
}

// The space case: one-record GOP 1, two GOPs of 9000 records (a GOP's packet count is a 16-bit
// field, so one GOP holds at most 9362 records), and GOP 4 sized to end exactly at the last byte
// a record may use (0x1FFFFFF), or `extra` bytes beyond it.
std::vector<GopPlan> FillingPlans(int64_t extra) {
    std::vector<GopPlan> plans{{1, 0, 1, -1}, {2, 100, 9000, -1}, {3, 200, 9000, -1}};
    uint64_t end = 0;
    for (const GopPlan& s : plans) {
        mvtest::GopPtr g = MakePlannedGop(s);
        EXPECT_TRUE(HSCBuildGopExtra(g.get()));
        const uint64_t start = (end + 4095) / 4096 * 4096;
        end = start + kHSCGopInfoSize + static_cast<uint64_t>(g->extraData.GetLength()) +
              g->dataSize;
    }
    GopPlan last{4, 300, 0, -1};
    mvtest::GopPtr probe = MakePlannedGop(last);
    EXPECT_TRUE(HSCBuildGopExtra(probe.get()));
    // The ECM buffer adds its bytes to the extra data one for one (its length word is there
    // already, for an empty buffer).
    const int64_t start = static_cast<int64_t>((end + 4095) / 4096 * 4096);
    const int64_t avail = int64_t{kHSCMaxRecordEnd} - start - int64_t{kHSCGopInfoSize} -
                          probe->extraData.GetLength();
    last.records = static_cast<uint32_t>(avail / MV_GOP_RECORD_SIZE);
    last.ecmBytes = avail - int64_t{last.records} * MV_GOP_RECORD_SIZE + extra;
    EXPECT_LT(last.records, 9362u);
    plans.push_back(last);
    return plans;
}

struct LimitCase {
    std::string name;
    std::vector<GopPlan> accepted;  // fit the first block
    GopPlan refused;                // does not
    size_t refusedAt;            // offered to the block after this many accepted GOPs
    bool refusedMovesOn;         // the writer then puts it into the next block
};

std::vector<LimitCase> Cases() {
    std::vector<LimitCase> cases;
    LimitCase index{"1025th GOP", {}, {1025, 10240, 1, -1}, 1024, true};
    for (uint64_t n = 1; n <= 1024; ++n) index.accepted.push_back({n, (n - 1) * 10, 1, -1});
    cases.push_back(index);
    cases.push_back({"655.36 s", {{1, 0, 2, -1}, {2, 65535, 2, -1}}, {3, 65536, 2, -1}, 2, true});
    // One byte more than the region holds is refused; the same GOP a byte smaller then fits.
    cases.push_back({"32 MiB", FillingPlans(0), FillingPlans(1).back(), 3, false});
    return cases;
}

class StorintLimits : public ::testing::TestWithParam<bool> {};

TEST_P(StorintLimits, BlockLimitsThroughTheManager) {
    mvtest::ScopedStorageConf conf(GetParam());
    ScopedReaderSlots slots(1);
    MvGopCache::ITGCacheInit(64ull << 20);
    for (const LimitCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        const std::string medium = FormatMedium(scratch, "medium", "160M", 1);
        ASSERT_EQ(ReadHeader(medium).nBlocks, 3u);
        const tagMvCID cid = MvCIDMake(FreshContent(), 0, 0);
        std::vector<uint64_t> blocks;
        uint64_t firstPosition = 0;
        const std::vector<uint8_t> sentinel(4096, 0xC3);
        {
            TestManager mgr;
            ASSERT_EQ(mgr.Load({{1, medium}}), 1);
            HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, 1, true, true);
            ASSERT_NE(rec, nullptr);
            BackWriter writer(*mgr, rec, 1);
            HSCSingleChunk* block = nullptr;
            for (size_t i = 0; i <= c.accepted.size(); ++i) {
                if (i == c.refusedAt) {
                    // Refused where the block's limit lies: nothing of the block changes.
                    const uint64_t count = block->GetGOPCount();
                    const uint32_t size = block->GetSize();
                    mvtest::GopPtr refused = MakePlannedGop(c.refused);
                    EXPECT_FALSE(mgr->AppendGOP(rec, block, refused.get()));
                    EXPECT_EQ(block->GetGOPCount(), count);
                    EXPECT_EQ(block->GetSize(), size);
                    EXPECT_EQ(block->GetEndGOPID(), c.accepted[i - 1].number);
                }
                if (i == c.accepted.size()) break;
                mvtest::GopPtr g = MakePlannedGop(c.accepted[i]);
                ASSERT_TRUE(writer.Append(g.get())) << c.accepted[i].number;
                if (block == nullptr) {
                    block = writer.Current();
                    firstPosition = block->GetPosition();
                    // Whatever lies behind the block's region must survive its writes and flush.
                    ASSERT_LT(firstPosition + 1, 3u);
                    PatchFile(medium, HSCDataOffset(3, firstPosition + 1), sentinel);
                }
                if (HasFailure()) return;
            }
            ASSERT_EQ(writer.Blocks().size(), 1u);
            if (c.refusedMovesOn) {
                mvtest::GopPtr refused = MakePlannedGop(c.refused);
                ASSERT_TRUE(writer.Append(refused.get()));
                EXPECT_EQ(writer.FirstGops(),
                          (std::vector<uint64_t>{c.accepted.front().number, c.refused.number}));
            }
            blocks = writer.Blocks();
            writer.Stop();
            rec->ReleaseWriting();
        }

        // After a restart: the first block holds exactly the accepted GOPs.
        TestManager mgr;
        ASSERT_EQ(mgr.Load({{1, medium}}), 1);
        HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, 1, false, false);
        ASSERT_NE(rec, nullptr);
        ASSERT_EQ(rec->GetChunkCount(), blocks.size());
        HSCSingleChunk* first = mgr->FindChunk(blocks[0]);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->GetGOPCount(), c.accepted.size());
        EXPECT_EQ(first->GetStartGOPID(), c.accepted.front().number);
        EXPECT_EQ(first->GetEndGOPID(), c.accepted.back().number);
        EXPECT_EQ(first->GetEndTime(), MvTimeAddCentiSecs(kT0, c.accepted.back().centis));
        if (c.name == "32 MiB") {
            EXPECT_EQ(first->GetSize(), kHSCMaxRecordEnd);
        }
        if (c.refusedMovesOn) {
            HSCSingleChunk* second = mgr->FindChunk(blocks[1]);
            ASSERT_NE(second, nullptr);
            EXPECT_EQ(second->GetGOPCount(), 1u);
            EXPECT_EQ(second->GetStartGOPID(), c.refused.number);
        } else {
            EXPECT_EQ(ReadFileAt(medium, HSCDataOffset(3, firstPosition + 1), sentinel.size()),
                      sentinel);
        }

        // The GOPs at the limit come back whole: the last accepted (and the carried one).
        std::vector<GopPlan> check{c.accepted.front(), c.accepted.back()};
        if (c.refusedMovesOn) check.push_back(c.refused);
        for (const GopPlan& s : check) {
            SCOPED_TRACE(s.number);
            HSCGop loaded;
            HSCSingleChunk* hint = nullptr;
            int status = 0;
            ASSERT_TRUE(mgr->LoadGOP(rec, s.number, false, true, &loaded, hint, status));
            mvtest::GopPtr want = MakePlannedGop(s);
            ExpectIdentical(*want, loaded, cid);
        }
        std::vector<HSCGop*> out;
        ASSERT_TRUE(mgr->LoadBulk(rec, blocks[0], out, 0));
        EXPECT_EQ(out.size(), c.accepted.size());
        if (!out.empty()) {
            mvtest::GopPtr want = MakePlannedGop(c.accepted.back());
            ExpectIdentical(*want, *out.back(), cid);
        }
        for (HSCGop* g : out) g->Release();
    }
}

INSTANTIATE_TEST_SUITE_P(BulkWrite, StorintLimits, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? std::string("On") : std::string("Off");
                         });

}  // namespace
