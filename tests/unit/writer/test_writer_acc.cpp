// GOPs cut from a real transport stream go through the writer pair: the front thread builds
// their accessors once, and the same accessors are what the cache hands out, what the content's
// history records as each GOP's PTS, and what the block gives back when the GOP is loaded.
#include <gtest/gtest.h>

#include <vector>

#include "../accessor/accessor_helpers.h"
#include "writer_fixture.h"

namespace {

using namespace wrtest;

bool SameEntries(const MvAccessor& a, const MvAccessor& b) {
    if (a.entries.size() != b.entries.size() || a.headerCount != b.headerCount) return false;
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const MvSeqEntry &x = a.entries[i], &y = b.entries[i];
        if (x.type != y.type || x.a != y.a || x.b != y.b || x.c != y.c) return false;
    }
    return a.buffer.GetLength() == b.buffer.GetLength() &&
           (a.buffer.GetLength() == 0 ||
            memcmp(a.buffer.GetData(), b.buffer.GetData(), a.buffer.GetLength()) == 0);
}

TEST_F(WriterTest, FrontThreadBuildsAccessorsOnceForCacheHistoryAndBlock) {
    const dvbtest::Bytes ts = dvbtest::LoadFixture("h264_aac.ts");
    ASSERT_FALSE(ts.empty());
    acctest::Program program;
    ASSERT_TRUE(acctest::FindProgram(ts, 0, &program));
    std::vector<acctest::CutGop> cuts = acctest::CutIntoGops(ts, program);
    ASSERT_GE(cuts.size(), 3u);

    FreshMedium(2);
    ITGSetCacheSize(1ull << 30);
    Producer& p = NewProducer();
    std::vector<uint64_t> ids;
    std::vector<uint32_t> sizes;
    Start(p, kCid);
    ASSERT_NE(p.record, nullptr);
    for (acctest::CutGop& cut : cuts) {
        ASSERT_EQ(cut.gop->accessorVersion, 1u);
        ASSERT_TRUE(cut.gop->accessors.empty());
        ids.push_back(cut.gop->gopId);
        sizes.push_back(cut.gop->dataSize);
        ASSERT_TRUE(p.ctc.m_request->Push(1, cut.gop));
        cut.gop = nullptr;  // handed over
    }
    Stop(p);
    EXPECT_EQ(p.record->m_diskSave.load(), ids.size());
    EXPECT_EQ(p.record->m_lastGOP.load(), ids.back());

    HSCSingleChunk* hint = nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE("GOP " + std::to_string(ids[i]));
        HSCGop* cached = nullptr;
        ASSERT_TRUE(ITGGetGopAdv(kCid, ids[i], cached));
        EXPECT_EQ(cached->accessors.size(), static_cast<size_t>(MV_ACC_COUNT));
        EXPECT_EQ(cached->cid, kCid);
        const MvAccessor* vpts = acctest::Acc(cached, MV_ACC_VPTS);
        ASSERT_NE(vpts, nullptr);
        ASSERT_FALSE(vpts->entries.empty());
        // The history holds the first frame's PTS from accessor 3.
        uint64_t distance = 0;
        EXPECT_EQ(p.record->GetChunkIDForPTS(2ull * vpts->entries.front().c, 1, distance), ids[i]);
        EXPECT_EQ(distance, 0u);

        HSCGop loaded;
        int status = 0;
        ASSERT_TRUE(mgr_->LoadGOP(p.record, ids[i], false, false, &loaded, hint, status));
        EXPECT_EQ(loaded.dataSize, sizes[i]);
        ASSERT_EQ(loaded.dataSize, cached->dataSize);
        EXPECT_EQ(memcmp(loaded.data, cached->data, loaded.dataSize), 0);
        ASSERT_EQ(loaded.accessors.size(), cached->accessors.size());
        for (const auto& [id, acc] : cached->accessors) {
            auto it = loaded.accessors.find(id);
            ASSERT_NE(it, loaded.accessors.end()) << "accessor " << id;
            EXPECT_TRUE(SameEntries(*acc, *it->second)) << "accessor " << id;
        }
        cached->Release();
    }
    acctest::FreeGops(cuts);
}

}  // namespace
