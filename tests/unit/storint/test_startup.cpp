// Start-up over media that the storage tool formatted and a previous run of the server recorded
// on, then damaged by plain file writes: a block whose info record is damaged is reset to free
// (and the tool's check agrees with the medium afterwards) while the rest of the recording still
// loads; a medium with a bad header is skipped and the next one opens with block ids counted
// without it; one content recorded on two media ends the start-up with status 1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storint_helpers.h"

namespace {

using namespace storint;

// Records GOPs first..last (times `spacing` centiseconds apart) of `cid` on storage `storage`
// of a manager loaded with `media`; returns the blocks the writer took, in order.
std::vector<uint64_t> Record(const std::map<uint16_t, std::string>& media, uint16_t storage,
                             tagMvCID cid, const RealGops& gops, uint64_t first, uint64_t last,
                             uint64_t spacing) {
    TestManager mgr;
    EXPECT_EQ(mgr.Load(media), static_cast<int>(media.size()));
    HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, storage, true, true);
    EXPECT_NE(rec, nullptr);
    if (rec == nullptr) return {};
    BackWriter writer(*mgr, rec, storage);
    for (uint64_t n = first; n <= last; ++n) {
        HSCGop* g = gops.Make(n, RunTime(n, spacing), RunPts(n, spacing));
        g->AddRef();
        const bool ok = writer.Append(g);
        g->Release();
        EXPECT_TRUE(ok) << n;
        if (!ok) break;
    }
    writer.Stop();
    rec->ReleaseWriting();
    return writer.Blocks();
}

void ExpectGopLoads(HSCStorageManager& mgr, HSCCIDInfo* rec, const RealGops& gops, uint64_t n,
                    uint64_t spacing, tagMvCID cid) {
    HSCGop loaded;
    HSCSingleChunk* hint = nullptr;
    int status = 0;
    ASSERT_TRUE(mgr.LoadGOP(rec, n, false, true, &loaded, hint, status)) << n;
    std::unique_ptr<HSCGop> want(gops.Make(n, RunTime(n, spacing), RunPts(n, spacing)));
    ExpectIdentical(*want, loaded, cid);
}

class StorintStartup : public ::testing::Test {
protected:
    void SetUp() override { MvGopCache::ITGCacheInit(64ull << 20); }
    ScopedReaderSlots slots_{2};
    RealGops gops_;
};

TEST_F(StorintStartup, DamagedBlockRecordIsResetToFreeAndTheRestStillLoads) {
    Scratch scratch;
    const std::string medium = FormatMedium(scratch, "medium", "200M", 1);
    const tagMvCID cid = MvCIDMake(FreshContent(), 0, 0);
    // Two-second GOPs: 328 fit a block (655.36 s), so 400 take two.
    const std::vector<uint64_t> blocks = Record({{1, medium}}, 1, cid, gops_, 1, 400, 200);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(RunTool(scratch, "'" + medium + "' check").status, 0);

    // Position of the second block on the medium: block ids are 1-based positions here.
    const uint64_t position = blocks[1] - 1;
    std::vector<uint8_t> count = ReadFileAt(medium, HSCInfoOffset(position) + 16, 1);
    count[0] ^= 0x01;  // nGOPCount no longer matches the record's CRC
    PatchFile(medium, HSCInfoOffset(position) + 16, count);
    EXPECT_EQ(RunTool(scratch, "'" + medium + "' check").status, 254);

    TestManager mgr;
    int opened = 0;
    const std::string log = mvtest::CaptureLog([&] { opened = mgr.Load({{1, medium}}); });
    ASSERT_EQ(opened, 1);
    const std::string warning = "[W] [MAIN] Storage(1), block (" + std::to_string(position) +
                                ") of (5) integrity error, resetting...";
    EXPECT_NE(log.find(warning), std::string::npos) << log;
    EXPECT_EQ(mvtest::CountOf(log, "integrity error"), 1);

    // The damaged block is free again, on the medium too: the tool's check passes.
    HSCSingleChunk* reset = mgr->FindChunk(blocks[1]);
    ASSERT_NE(reset, nullptr);
    EXPECT_TRUE(reset->IsFree());
    EXPECT_EQ(mgr->CIDGetFreeCountForStorage(1), 4u);
    EXPECT_EQ(RunTool(scratch, "'" + medium + "' check").status, 0);

    // The content keeps its first block: its GOPs load, those of the lost block do not.
    HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, 1, false, false);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetChunkCount(), 1u);
    EXPECT_EQ(rec->m_lastGOP.load(), 328u);
    for (uint64_t n : {1ull, 200ull, 328ull}) ExpectGopLoads(*mgr, rec, gops_, n, 200, cid);
    std::vector<HSCGop*> out;
    ASSERT_TRUE(mgr->LoadBulk(rec, blocks[0], out, 0));
    EXPECT_EQ(out.size(), 328u);
    for (HSCGop* g : out) g->Release();
    for (uint64_t n : {329ull, 400ull}) {
        HSCGop loaded;
        HSCSingleChunk* hint = nullptr;
        int status = 0;
        EXPECT_FALSE(mgr->LoadGOP(rec, n, false, true, &loaded, hint, status)) << n;
        EXPECT_EQ(status, HSC_LOAD_FAILED);
    }
    EXPECT_EQ(mgr->TranslateGOP(rec, RunTime(360, 200)), 0u);

    // The pool hands the reset block out like any other free block.
    ASSERT_EQ(mgr->GetCIDInfoS(cid, 1, true, false), rec);
    bool seen = false;
    for (int i = 0; i < 4; ++i) {
        HSCSingleChunk* b = mgr->GetFreeChunk(rec, 1);
        ASSERT_NE(b, nullptr);
        seen = seen || b == reset;
    }
    EXPECT_TRUE(seen);
    rec->ReleaseWriting();
}

TEST_F(StorintStartup, MediumWithBadHeaderIsSkippedAndBlockIdsDoNotCountIt) {
    Scratch scratch;
    const std::string first = FormatMedium(scratch, "first", "160M", 1);
    const std::string second = FormatMedium(scratch, "second", "160M", 2);
    const tagMvCID cid = MvCIDMake(FreshContent(), 1, 0);
    const std::vector<uint64_t> blocks =
        Record({{1, first}, {2, second}}, 2, cid, gops_, 1, 30, 100);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_GE(blocks[0], 4u);  // behind the first medium's three blocks

    std::vector<uint8_t> created = ReadFileAt(first, 16, 1);  // a byte of nCreated
    created[0] ^= 0x40;
    PatchFile(first, 16, created);
    EXPECT_NE(RunTool(scratch, "'" + first + "' check").status, 0);

    TestManager mgr;
    int opened = 0;
    const std::string log =
        mvtest::CaptureLog([&] { opened = mgr.Load({{1, first}, {2, second}}); });
    EXPECT_EQ(opened, 1);
    EXPECT_NE(log.find("[E] [CHUNK] Storage (" + first + ") : integrity failure"),
              std::string::npos)
        << log;
    EXPECT_EQ(mgr.Descriptor(1), -1);
    for (uint64_t id = 1; id <= 3; ++id) {
        HSCSingleChunk* b = mgr->FindChunk(id);
        ASSERT_NE(b, nullptr) << id;
        EXPECT_EQ(b->GetStorageID(), 2u);
        EXPECT_EQ(b->GetPosition(), id - 1);
    }
    EXPECT_EQ(mgr->FindChunk(4), nullptr);

    // The recording on the second medium is whole under its new block id.
    HSCCIDInfo* rec = mgr->GetCIDInfoS(cid, 2, false, false);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetStorageID(), 2u);
    ASSERT_EQ(rec->GetChunkCount(), 1u);
    bool isFirst = false;
    HSCSingleChunk* b = rec->GetChunkForGopID(1, isFirst);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetBlockID(), blocks[0] - 3);
    std::vector<HSCGop*> out;
    ASSERT_TRUE(mgr->LoadBulk(rec, b->GetBlockID(), out, 0));
    ASSERT_EQ(out.size(), 30u);
    for (size_t k = 0; k < out.size(); ++k) {
        std::unique_ptr<HSCGop> want(gops_.Make(k + 1, RunTime(k + 1), RunPts(k + 1)));
        ExpectIdentical(*want, *out[k], cid);
    }
    for (HSCGop* g : out) g->Release();
    ExpectGopLoads(*mgr, rec, gops_, 17, 100, cid);
    EXPECT_EQ(mgr->TranslateGOP(rec, RunTime(17)), 17u);
}

TEST_F(StorintStartup, ContentOnTwoMediaEndsTheStartUpWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Scratch scratch;
    const std::string first = FormatMedium(scratch, "first", "160M", 1);
    const std::string second = FormatMedium(scratch, "second", "160M", 2);
    // A fixed number: the death test's child runs this body again and must log the same one.
    const tagMvCID cid = MvCIDMake(2777, 0, 0);
    // Two runs of the server, each with one of the media, recorded the same content.
    ASSERT_EQ(Record({{1, first}}, 1, cid, gops_, 1, 5, 100).size(), 1u);
    ASSERT_EQ(Record({{2, second}}, 2, cid, gops_, 6, 10, 100).size(), 1u);
    const std::string pattern = "\\[E\\] \\[STARTUP\\] CID\\(0\\)\\(0\\)\\(" +
                                std::to_string(MvCIDContent(cid)) +
                                "\\) already registered on STORAGE\\([12]\\), could not add same "
                                "CID from STORAGE\\([12]\\)";
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the log writes to stdout; the death test reads stderr
            scratch.RemoveAtExit();
            TestManager mgr;
            mgr.Load({{1, first}, {2, second}});
        },
        testing::ExitedWithCode(1), pattern);
}

}  // namespace
