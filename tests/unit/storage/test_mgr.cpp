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
#include "storagemgr.h"

namespace {

const MvTime kT0 = MvTimeCreate(2024, 3, 1, 10, 0, 0, 0);

MvTime At(int seconds) { return MvTimeAddSecs(kT0, seconds); }

struct GopSpec {
    uint64_t id;
    int seconds;       // time after kT0
    uint32_t records;  // 1344-byte records of packets
};

// A closed GOP of `records` records holding the test's only reference; the packet bytes carry the
// GOP number so that a load can be told from another GOP's.
HSCGop* MakeGop(uint64_t id, MvTime time, uint32_t records) {
    auto* g = new HSCGop;
    g->AddRef();
    g->gopId = id;
    g->startTime = time;
    g->pts = id * 3600;
    g->dataSize = records * 1344;
    g->closedSize = g->dataSize;
    if (g->dataSize != 0) {
        EXPECT_TRUE(g->ReAlloc());
        memset(g->data, static_cast<int>(id & 0xFF), g->dataSize);
    }
    return g;
}

class TempDir {
public:
    TempDir() {
        char templ[] = "/tmp/mvmgr-XXXXXX";
        const char* made = mkdtemp(templ);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) perror("rm");
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Blocks written outside any manager (as the storage tool or an earlier run left them).
class MediumWriter {
public:
    MediumWriter(const std::string& path, uint64_t blocks) : blocks_(blocks) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(ftruncate(fd_, static_cast<off_t>(HSCMediumSize(blocks))), 0);
        HSCStorageInfoV3 head = HSCMakeStorageInfo(blocks, kT0);
        uint8_t raw[kHSCStorageInfoSize];
        HSCEncodeStorageInfo(head, std::span<uint8_t, kHSCStorageInfoSize>(raw));
        EXPECT_EQ(pwrite(fd_, raw, sizeof(raw), 0), static_cast<ssize_t>(sizeof(raw)));
    }
    ~MediumWriter() { close(fd_); }

    // A free block of `storage` at `position`.
    void Free(uint64_t position, uint16_t storage) {
        auto block = Block(position, storage);
        EXPECT_TRUE(block->ResetChunkDirect());
    }
    // A used block of `cid` holding the given GOPs.
    void Used(uint64_t position, uint16_t storage, tagMvCID cid, const std::vector<GopSpec>& gops) {
        auto block = Block(position, storage);
        ASSERT_TRUE(block->ResetChunk());
        block->SetContentID(cid);
        for (const GopSpec& s : gops) {
            HSCGop* g = MakeGop(s.id, At(s.seconds), s.records);
            g->cid = cid;
            EXPECT_TRUE(block->AppendGOP(g)) << s.id;
            g->Release();
        }
        EXPECT_TRUE(block->SaveInfo());
    }
    // A block record that fails its checks (bytes of nonsense over the record).
    void Damaged(uint64_t position) {
        uint8_t junk[kHSCChunkInfoSize];
        memset(junk, 0x5A, sizeof(junk));
        EXPECT_EQ(pwrite(fd_, junk, sizeof(junk), static_cast<off_t>(HSCInfoOffset(position))),
                  static_cast<ssize_t>(sizeof(junk)));
    }

private:
    std::unique_ptr<HSCSingleChunk> Block(uint64_t position, uint16_t storage) {
        HSCChunkInitParams p;
        p.storageId = storage;
        p.blockId = 1000 + position;
        p.position = position;
        p.fd = fd_;
        p.blockCount = blocks_;
        return std::make_unique<HSCSingleChunk>(p);
    }
    int fd_ = -1;
    uint64_t blocks_;
};

// Writes a medium whose every block is free for `storage`.
void FreeMedium(const std::string& path, uint64_t blocks, uint16_t storage) {
    MediumWriter w(path, blocks);
    for (uint64_t i = 0; i < blocks; ++i) w.Free(i, storage);
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
    }
    void AddMedium(uint16_t id, const std::string& path) { media_[id].path = path; }
    int Scan() { return MvLoadStorages(*mgr_, media_); }
    HSCCIDInfo* Record(tagMvCID cid, uint16_t storage = 1) {
        return mgr_->GetCIDInfoS(cid, storage, false, true);
    }

    TempDir dir_;
    std::unique_ptr<HSCStorageManager> mgr_;
    std::map<uint16_t, tagITGStorageInfo> media_;

private:
    int32_t savedSlots_ = 0, savedGops_ = 0, savedCount_ = 0;
};

// ------------------------------------------------------------------------------------------------
// OpenStorage
// ------------------------------------------------------------------------------------------------

TEST_F(MgrTest, OpenStorageAcceptsGoodHeaderAndRefusesBrokenMedia) {
    const std::string good = dir_.File("good");
    FreeMedium(good, 3, 1);

    const std::string badCRC = dir_.File("badcrc");
    FreeMedium(badCRC, 2, 1);
    {
        int fd = open(badCRC.c_str(), O_RDWR);
        uint8_t b = 0;
        ASSERT_EQ(pread(fd, &b, 1, 24), 1);  // first byte of nBlocks
        b ^= 1;
        ASSERT_EQ(pwrite(fd, &b, 1, 24), 1);
        close(fd);
    }
    const std::string shortFile = dir_.File("short");
    {
        FILE* f = fopen(shortFile.c_str(), "wb");
        fwrite("0123456789", 1, 10, f);
        fclose(f);
    }
    // A sealed header that claims more blocks than the file holds.
    const std::string tooMany = dir_.File("toomany");
    {
        MediumWriter w(tooMany, 1);
        int fd = open(tooMany.c_str(), O_RDWR);
        HSCStorageInfoV3 head = HSCMakeStorageInfo(1000, kT0);
        uint8_t raw[kHSCStorageInfoSize];
        HSCEncodeStorageInfo(head, std::span<uint8_t, kHSCStorageInfoSize>(raw));
        ASSERT_EQ(pwrite(fd, raw, sizeof(raw), 0), 48);
        close(fd);
    }

    struct Case {
        std::string path;
        bool ok;
        std::string message;
    };
    const Case cases[] = {
        {good, true, "[CHUNK] Storage (" + good + ") : info is ok, created (2024-03-01 10:00:00.00)"},
        {dir_.File("missing"), false,
         "[CHUNK] Storage (" + dir_.File("missing") + ") : could not access media, error (2)"},
        {badCRC, false, "[CHUNK] Storage (" + badCRC + ") : integrity failure"},
        {shortFile, false, "[CHUNK] Storage (" + shortFile + ") : could not read from media, error"},
        {tooMany, false, "does not fit the medium size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        int fd = 12345;
        HSCStorageInfoV3 info;
        testing::internal::CaptureStdout();
        bool ok = mgr_->OpenStorage(fd, c.path.c_str(), info);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok);
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_NE(out.find("[CHUNK] Storage (" + c.path + ") : accessing"), std::string::npos);
        if (ok) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(info.nBlocks, 3u);
            EXPECT_NE(fcntl(fd, F_GETFL) & O_NOATIME, 0);  // the test owns the file
            close(fd);
        } else {
            EXPECT_EQ(fd, -1);
        }
    }
}

TEST_F(MgrTest, SecondOpenOfALockedMediumIsRefused) {
    const std::string path = dir_.File("m");
    FreeMedium(path, 2, 1);
    int first = -1, second = 777;
    HSCStorageInfoV3 info;
    ASSERT_TRUE(mgr_->OpenStorage(first, path.c_str(), info));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(mgr_->OpenStorage(second, path.c_str(), info));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[E] [CHUNK] Storage (" + path + ") : failed to obtain exclusive lock"),
              std::string::npos)
        << out;
    EXPECT_EQ(second, -1);
    // The refused open left no descriptor holding the file: once the first closes, it opens.
    close(first);
    ASSERT_TRUE(mgr_->OpenStorage(second, path.c_str(), info));
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
        const std::string a = dir_.File(std::string("a-") + c.name);
        const std::string b = dir_.File(std::string("b-") + c.name);
        if (c.firstOpens) FreeMedium(a, 3, 1);
        FreeMedium(b, 2, 2);
        AddMedium(1, a);
        AddMedium(2, b);
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
    const std::string path = dir_.File("m");
    {
        MediumWriter w(path, 5);
        // Written out of order: position 0 holds the later GOPs.
        w.Used(0, 1, chan, {{20, 100, 4}, {21, 102, 4}, {22, 104, 4}});
        w.Used(1, 1, chan, {{10, 0, 8}, {11, 2, 8}, {12, 4, 8}});
        w.Free(2, 1);
        w.Damaged(3);
        w.Free(4, 1);
    }
    AddMedium(1, path);
    testing::internal::CaptureStdout();
    ASSERT_EQ(Scan(), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[W] [MAIN] Storage(1), block (3) of (5) integrity error, resetting..."),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("block (2) of (5) integrity error"), std::string::npos);
    EXPECT_NE(out.find("[MAIN] Storage(1), will be allocated (5) blocks..."), std::string::npos);
    EXPECT_NE(out.find("[MAIN] Storage(1), block allocation done (5), storage handle ("),
              std::string::npos);

    // The damaged block was reset to free and joined the pool with the other free ones.
    EXPECT_EQ(mgr_->CIDGetFreeCountForStorage(1), 3u);
    ASSERT_NE(mgr_->FindChunk(4), nullptr);
    EXPECT_TRUE(mgr_->FindChunk(4)->IsValid());
    EXPECT_TRUE(mgr_->FindChunk(4)->IsFree());

    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetChunkCount(), 2u);
    // Sorted by first GOP: position 1 (block id 2) before position 0 (block id 1).
    bool isFirst = false;
    EXPECT_EQ(rec->GetChunkForGopID(11, isFirst), mgr_->FindChunk(2));
    EXPECT_EQ(rec->GetChunkForGopID(22, isFirst), mgr_->FindChunk(1));
    EXPECT_EQ(rec->m_lastGOP.load(), 22u);
    EXPECT_EQ(rec->m_lastGOPTime.load(), At(104));
    EXPECT_EQ(rec->m_startTimeOnStorage.load(), At(0));
    // Both blocks span 4 s, so both give their formula rate and the record keeps their mean.
    HSCChunkInfoV3 i1, i2;
    mgr_->FindChunk(1)->GetInfo(&i1);
    mgr_->FindChunk(2)->GetInfo(&i2);
    uint64_t r1 = MvBlockBitrate(i1), r2 = MvBlockBitrate(i2);
    ASSERT_GT(r1, 0u);
    ASSERT_GT(r2, r1);
    uint64_t bitrate = rec->m_bitrate.load();
    EXPECT_TRUE(bitrate == (r1 + r2) / 2) << bitrate << " " << r1 << " " << r2;
    // Found contents keep their blocks: retention entry with the content's storage.
    EXPECT_EQ(ITGGetTimeForContent(501), kMvFoundContentMinutes);
    EXPECT_EQ(ITGGetStorageForContent(501), 1u);
}

TEST_F(MgrTest, ContentOnTwoStoragesEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const tagMvCID chan = MvCIDMake(77, 0, 0);
    for (uint16_t s : {1, 2}) {
        const std::string path = dir_.File("m" + std::to_string(s));
        MediumWriter w(path, 1);
        w.Used(0, s, chan, {{static_cast<uint64_t>(s * 10), s * 10, 1}});
        AddMedium(s, path);
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
    const std::string path = dir_.File("m");
    FreeMedium(path, 3, 1);
    AddMedium(1, path);
    ASSERT_EQ(Scan(), 1);
    const tagMvCID chan = MvCIDMake(42, 0, 0);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, true, true);
    ASSERT_NE(rec, nullptr);

    HSCSingleChunk* first = mgr_->GetFreeChunk(rec, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(mgr_->StartChunk(rec, first));
    EXPECT_EQ(first->GetContentID(), chan);
    EXPECT_FALSE(first->IsFlushed());
    HSCGop* g = MakeGop(1, At(0), 2);
    EXPECT_TRUE(mgr_->AppendGOP(rec, first, g));
    EXPECT_EQ(g->cid, chan);
    g->Release();
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
    testing::internal::CaptureStdout();
    EXPECT_EQ(mgr_->GetFreeChunk(rec, 1), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[W] [FM] CID(0)(0)(42) something is wrong: there is no free chunk neither "
                       "in storage, nor in CIDINFO chain: globally free(0), cid free(2)"),
              std::string::npos)
        << out;
}

TEST_F(MgrTest, StartChunkResetsAndStopChunkSavesTheBlockInfo) {
    const std::string path = dir_.File("m");
    const tagMvCID old = MvCIDMake(7, 0, 0);
    {
        MediumWriter w(path, 2);
        w.Used(0, 1, old, {{5, 0, 1}, {6, 2, 1}});
        w.Free(1, 1);
    }
    AddMedium(1, path);
    ASSERT_EQ(Scan(), 1);
    const tagMvCID chan = MvCIDMake(8, 0, 0);
    HSCCIDInfo* rec = Record(chan);
    HSCSingleChunk* block = mgr_->FindChunk(1);
    ASSERT_EQ(block->GetGOPCount(), 2u);
    ASSERT_TRUE(mgr_->StartChunk(rec, block));
    EXPECT_EQ(block->GetGOPCount(), 0u);  // reset by the Update thread before it changes hands
    for (uint64_t id = 100; id < 103; ++id) {
        HSCGop* g = MakeGop(id, At(static_cast<int>(id)), 3);
        EXPECT_TRUE(mgr_->AppendGOP(rec, block, g));
        g->Release();
    }
    ASSERT_TRUE(mgr_->StopChunk(block));

    // What the medium now says about position 0: the new content with its three GOPs.
    HSCChunkInitParams p;
    p.storageId = 1;
    p.blockId = 99;
    p.position = 0;
    p.fd = media_[1].descriptor;
    p.blockCount = 2;
    HSCSingleChunk reread(p);
    ASSERT_TRUE(reread.IsValid());
    EXPECT_EQ(reread.GetContentID(), chan);
    EXPECT_EQ(reread.GetStartGOPID(), 100u);
    EXPECT_EQ(reread.GetEndGOPID(), 102u);

    // A free block that took no GOP is not saved: it stays free on the medium.
    HSCSingleChunk* empty = mgr_->FindChunk(2);
    ASSERT_TRUE(mgr_->StartChunk(rec, empty));
    ASSERT_TRUE(mgr_->StopChunk(empty));
    p.position = 1;
    HSCSingleChunk reread2(p);
    EXPECT_TRUE(reread2.IsFree());
    EXPECT_TRUE(mgr_->StopChunk(nullptr));
}

TEST_F(MgrTest, LoadGOPFollowsAndSetsTheHint) {
    const tagMvCID chan = MvCIDMake(60, 0, 0);
    const std::string path = dir_.File("m");
    {
        MediumWriter w(path, 2);
        w.Used(0, 1, chan, {{1, 0, 2}, {2, 2, 2}});
        w.Used(1, 1, chan, {{3, 4, 3}, {4, 6, 3}});
    }
    AddMedium(1, path);
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
        {2, nullptr, true, b1, HSC_LOAD_OK},   // found by the chain, hint set
        {4, b1, true, b2, HSC_LOAD_OK},        // hint does not hold it: moved to the right block
        {3, b2, true, b2, HSC_LOAD_OK},        // hint holds it: used as is
        {9, b2, false, b2, HSC_LOAD_FAILED},   // nowhere
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gop);
        HSCGop* g = new HSCGop;
        g->AddRef();
        HSCSingleChunk* hint = c.hintIn;
        int status = 0;
        EXPECT_EQ(mgr_->LoadGOP(rec, c.gop, false, true, g, hint, status), c.ok);
        EXPECT_EQ(hint, c.hintOut);
        EXPECT_EQ(status, c.status);
        if (c.ok) {
            EXPECT_EQ(g->gopId, c.gop);
            ASSERT_NE(g->data, nullptr);
            EXPECT_EQ(g->data[0], static_cast<uint8_t>(c.gop));
        }
        g->Release();
    }
}

TEST_F(MgrTest, LoadBulkOffersToTheCacheAndRefusesTheBlockBeingWritten) {
    MvGopCache::ITGCacheInit(1ull << 30);
    const tagMvCID chan = MvCIDMake(61, 0, 0);
    const tagMvCID other = MvCIDMake(62, 0, 0);
    const std::string path = dir_.File("m");
    {
        MediumWriter w(path, 3);
        w.Used(0, 1, chan, {{1, 0, 1}, {2, 2, 1}, {3, 4, 1}});
        w.Used(1, 1, other, {{1, 0, 1}});
        w.Free(2, 1);
    }
    AddMedium(1, path);
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    ASSERT_NE(rec, nullptr);

    std::vector<HSCGop*> out;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(mgr_->LoadBulk(rec, 1, out, 2));
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->gopId, 2u);
    EXPECT_EQ(out[1]->gopId, 3u);
    EXPECT_EQ(rec->m_diskLoadFull.load(), 2u);
    EXPECT_NE(log.find("[FM] Loaded data from block (1), CID(0)(0)(61), Total(2), Duplicates(0), "
                       "Actual(2)..."),
              std::string::npos)
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
    // Loaded again: the cache has them already.
    testing::internal::CaptureStdout();
    ASSERT_TRUE(mgr_->LoadBulk(rec, 1, out, 0));
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Total(3), Duplicates(2), Actual(3)"), std::string::npos) << log;
    for (HSCGop* g : out) g->Release();
    out.clear();

    // Unknown block, another content's block: nothing loaded, true.
    EXPECT_TRUE(mgr_->LoadBulk(rec, 99, out, 0));
    EXPECT_TRUE(mgr_->LoadBulk(rec, 2, out, 0));
    EXPECT_TRUE(out.empty());
    // The block a writer holds: refused without I/O.
    HSCSingleChunk* writing = mgr_->GetFreeChunk(rec, 1);
    ASSERT_TRUE(mgr_->StartChunk(rec, writing));
    EXPECT_FALSE(mgr_->LoadBulk(rec, writing->GetBlockID(), out, 0));
    EXPECT_TRUE(out.empty());
}

TEST_F(MgrTest, PreAppendGOPTakesThePtsFromAccessorThree) {
    HSCCIDInfo* rec = Record(MvCIDMake(70, 0, 0));
    HSCGop* plain = MakeGop(1, At(0), 1);
    plain->pts = 9000;
    EXPECT_TRUE(mgr_->PreAppendGOP(rec, plain));
    EXPECT_EQ(rec->m_lastGOP.load(), 1u);
    uint64_t distance = 0;
    EXPECT_EQ(rec->GetChunkIDForPTS(9000, 10, distance), 1u);

    HSCGop* acc = MakeGop(2, At(1), 1);
    acc->pts = 1;  // not used: accessor 3 says 2 x 45000
    acc->accessorVersion = 1;
    MvAccessor* a3 = acc->MvAccessorAllocate(3, false);
    MvSeqEntry e;
    e.type = 6;
    e.c = 45000;
    a3->entries.push_back(e);
    EXPECT_TRUE(mgr_->PreAppendGOP(rec, acc));
    EXPECT_EQ(rec->GetChunkIDForPTS(90000, 10, distance), 2u);

    // Accessor 3 without entries: accepted, no history entry.
    HSCGop* none = MakeGop(3, At(2), 1);
    none->accessorVersion = 1;
    none->MvAccessorAllocate(3, false);
    EXPECT_TRUE(mgr_->PreAppendGOP(rec, none));
    EXPECT_EQ(rec->m_lastGOP.load(), 2u);
    // An older GOP is refused by the history.
    EXPECT_FALSE(mgr_->PreAppendGOP(rec, plain));
    for (HSCGop* g : {plain, acc, none}) g->Release();
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
        {103, 20, false, 0, 0},        // too young: would start at GOP 0
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
            EXPECT_LE(first, last);
        }
    }
    uint64_t first = 0, last = 0;
    EXPECT_FALSE(mgr_->HLSRange(MvCIDMake(555, 0, 0), first, last));  // unknown content
}

TEST_F(MgrTest, CalcSizeAddsPacketSizesAcrossBlocks) {
    const tagMvCID chan = MvCIDMake(80, 0, 0);
    const std::string path = dir_.File("m");
    {
        MediumWriter w(path, 2);
        w.Used(0, 1, chan, {{1, 0, 1}, {2, 2, 2}});
        w.Used(1, 1, chan, {{3, 4, 3}, {5, 8, 1}});  // GOP 4 missing
    }
    AddMedium(1, path);
    ASSERT_EQ(Scan(), 1);
    auto bytes = [](uint32_t records) { return uint64_t{records} * 7 * 188 + 376; };
    struct Case {
        uint64_t first, last;
        bool ok;
        uint64_t size;
    };
    const Case cases[] = {
        {1, 1, true, bytes(1)},
        {1, 3, true, bytes(1) + bytes(2) + bytes(3)},  // across the two blocks
        {3, 5, false, 0},                               // GOP 4 is not recorded
        {3, 2, false, 0},                               // last before first
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
    const std::string path = dir_.File("m");
    {
        MediumWriter w(path, 2);
        w.Used(0, 1, chan, {{40, 0, 1}, {48, 2, 1}});
        w.Used(1, 1, chan, {{52, 10, 1}, {60, 12, 1}});
    }
    AddMedium(1, path);
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = mgr_->GetCIDInfoS(chan, 1, false, false);
    struct Case {
        bool forward;
        uint64_t count;
        bool ok;
        uint64_t gop;
    };
    const Case cases[] = {
        {true, 1, true, 52},    // from 50: the next block starts at 52
        {true, 5, false, 777},  // from 52: no block starts after it
        {false, 1, true, 48},   // from 50: the previous block ends at 48
        {false, 5, false, 777}, // from 48: no block ends before it
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
    EXPECT_EQ(mgr_->TranslateGOP(rec, At(11)), 52u);
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
        }
        EXPECT_EQ(mgr_->ContentSubCountMvCID(MvCIDMake(c.content, 0, 0)), c.count);
        std::vector<MvContentSub> subs;
        EXPECT_TRUE(mgr_->LoadContentBitratres(MvCIDMake(c.content, 0, 0), subs));
        ASSERT_EQ(subs.size(), c.count);
        for (size_t i = 0; i < subs.size(); ++i) EXPECT_EQ(subs[i].bitrate, 1000 * (i + 1));
    }

    // A request for sub-stream 5 of content 301 is lowered to its highest live one (1).
    tagMvCID cid = MvCIDMake(301, 5, 0);
    mgr_->FixContentSubMvCID(cid);
    EXPECT_EQ(cid, MvCIDMake(301, 1, 0));
    cid = MvCIDMake(303, 2, 0);
    testing::internal::CaptureStdout();
    mgr_->FixContentSubMvCID(cid);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(cid, MvCIDMake(303, 0, 0));
    EXPECT_NE(out.find("---->>>>FIXING MAX SUB FOR CONTENT(0)(0)(303)->NO CID AVAILABLE"),
              std::string::npos)
        << out;
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
    testing::internal::CaptureStdout();
    EXPECT_FALSE(MvGRRelease(a, 5));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[I] [BLOCK ALLOCATOR] Releasing unallocated block!"), std::string::npos)
        << out;
    EXPECT_TRUE(MvGRReserve(a, 5));
    for (auto [cid, id] : {std::pair{a, 5}, {a, 6}, {b, 5}}) EXPECT_TRUE(MvGRRelease(cid, id));
}

TEST_F(MgrTest, EveryOperationRefusesAfterPrepareTerminate) {
    const tagMvCID chan = MvCIDMake(95, 0, 0);
    const std::string path = dir_.File("m");
    {
        MediumWriter w(path, 2);
        w.Used(0, 1, chan, {{1, 0, 1}, {2, 2, 1}});
        w.Free(1, 1);
    }
    AddMedium(1, path);
    ASSERT_EQ(Scan(), 1);
    HSCCIDInfo* rec = Record(chan);
    rec->m_lastGOP = 1000;
    HSCSingleChunk* used = mgr_->FindChunk(1);
    HSCSingleChunk* free = mgr_->FindChunk(2);
    HSCGop* g = MakeGop(3, At(4), 1);
    // Sanity: the same calls work before.
    uint64_t a = 0, b = 0;
    ASSERT_TRUE(mgr_->HLSRange(chan, a, b));
    ASSERT_TRUE(mgr_->CalcSize(chan, 1, 2, a));

    mgr_->PrepareTerminate();
    EXPECT_TRUE(mgr_->IsTerminating());
    const std::pair<const char*, std::function<bool()>> calls[] = {
        {"AddChunk", [&] { return mgr_->AddChunk(free); }},
        {"CIDStartupRegisterChunk", [&] { return mgr_->CIDStartupRegisterChunk(free, 1, 0, 0, 0, 0); }},
        {"StartChunk", [&] { return mgr_->StartChunk(rec, free); }},
        {"StopChunk", [&] { return mgr_->StopChunk(used); }},
        {"ResetChunk", [&] { return mgr_->ResetChunk(1); }},
        {"PreAppendGOP", [&] { return mgr_->PreAppendGOP(rec, g); }},
        {"AppendGOP", [&] { return mgr_->AppendGOP(rec, used, g); }},
        {"LoadBulk", [&] { std::vector<HSCGop*> l; return mgr_->LoadBulk(rec, 1, l, 0); }},
        {"CalcSize", [&] { uint64_t s = 0; return mgr_->CalcSize(chan, 1, 2, s); }},
        {"HLSRange", [&] { uint64_t f = 0, l = 0; return mgr_->HLSRange(chan, f, l); }},
        {"RelocateGOPID", [&] { uint64_t n = 1; return mgr_->RelocateGOPID(rec, n, true); }},
        {"TranslateGOP", [&] { return mgr_->TranslateGOP(rec, At(0)) != 0; }},
        {"TranslatePTS", [&] { return mgr_->TranslatePTS(rec, 3600, 100) != 0; }},
        {"NearestByTime", [&] { uint64_t n; MvTime t; return mgr_->NearestByTime(rec, 0, true, n, t); }},
    };
    for (auto& [name, call] : calls) EXPECT_FALSE(call()) << name;
    int status = 42;
    HSCSingleChunk* hint = nullptr;
    EXPECT_FALSE(mgr_->LoadGOP(rec, 1, false, true, g, hint, status));
    EXPECT_EQ(status, 42);  // untouched
    EXPECT_EQ(used->GetGOPCount(), 2u);
    EXPECT_EQ(rec->m_lastGOP.load(), 1000u);
    g->Release();
}

TEST(StorageProcessWide, InitReturnsOneManagerAndInitialisedFlag) {
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
