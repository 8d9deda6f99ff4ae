// Content records: GOP history with its derived bitrate and segment duration, start-up
// statistics, the block chain and its release, construction rules, and the lookups over real
// blocks on a small temporary medium.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <utility>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cfg.h"
#include "mvlogger.h"
#include "storage_fixture.h"
#include "storagemgr_block.h"
#include "storagemgr_cid.h"

namespace {

constexpr tagMvCID kChan = MvCIDMake(1201, 0, 0);
constexpr uint16_t kStorage = 2;

// Block ids to blocks, as the storage manager resolves them.
class TestResolver : public HSCChunkResolver {
public:
    HSCSingleChunk* FindChunk(uint64_t blockId) override {
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_blocks.find(blockId);
        return it == m_blocks.end() ? nullptr : it->second;
    }
    void Add(HSCSingleChunk* block) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_blocks[block->GetBlockID()] = block;
    }

private:
    std::mutex m_mutex;
    std::map<uint64_t, HSCSingleChunk*> m_blocks;
};

void StdoutToStderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
}

// A fixed local time in UTC and offsets from it.
MvTime Base() { return MvTimeCreate(2024, 5, 1, 12, 0, 0, 0); }
MvTime AtCs(uint64_t centi) { return MvTimeAddCentiSecs(Base(), centi); }
MvTime AtSecs(int secs) { return MvTimeAddSecs(Base(), secs); }

class CidTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ITGMainConf* conf = ITGGetMainConf();
        m_savedGops = conf->HLSSEGMENTGOPS;
        m_savedDuration = conf->HLSSEGMENTDURATION;
        conf->HLSSEGMENTGOPS = 3;
        conf->HLSSEGMENTDURATION = 7.0;
    }
    void TearDown() override {
        ITGMainConf* conf = ITGGetMainConf();
        conf->HLSSEGMENTGOPS = m_savedGops;
        conf->HLSSEGMENTDURATION = m_savedDuration;
    }

    // n history entries numbered from `firstGop`, `intervalCs` centiseconds apart from Base(),
    // each of `size` bytes (0: the entry's own number), PTS 3600 per GOP.
    static std::deque<HSCPTSInfo> Entries(size_t n, uint64_t intervalCs, uint64_t size = 1000,
                                          uint64_t firstGop = 1) {
        std::deque<HSCPTSInfo> out;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t gop = firstGop + i;
            out.push_back({gop, size == 0 ? gop : size, gop * 3600, AtCs(i * intervalCs)});
        }
        return out;
    }
    static uint64_t HistoryBytes(HSCCIDInfo& r) {
        uint64_t sum = 0;
        r.AllocRead(HSC_LOCK_HISTORY);
        for (const HSCPTSInfo& e : r.m_history) sum += e.size;
        r.ReleaseRead(HSC_LOCK_HISTORY);
        return sum;
    }

    TestResolver resolver;

private:
    int32_t m_savedGops = 0;
    double m_savedDuration = 0;
};

// ---------------------------------------------------------------------------------------------
// Acceptance of new GOPs

TEST_F(CidTest, NewInfoRefusesANumberNotAboveTheLastOrATimeBeforeTheLast) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    ASSERT_TRUE(r.NewInfo({100, 500, 9000, AtSecs(10)}));

    struct Case {
        HSCPTSInfo entry;
        const char* message;  // null: accepted
    };
    const Case cases[] = {
        {{100, 500, 9000, AtSecs(11)}, "new GOP(100) is less than last GOP(100)"},
        {{99, 500, 9000, AtSecs(11)}, "new GOP(99) is less than last GOP(100)"},
        {{101, 500, 9000, AtSecs(9)}, "new GOP(101) time is less than last GOP(100) time"},
        {{101, 500, 9000, AtSecs(10)}, nullptr},  // the same time is not earlier
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry.gop);
        const size_t before = r.m_history.size();
        const uint64_t lastGop = r.m_lastGOP;
        testing::internal::CaptureStdout();
        const bool ok = r.NewInfo(c.entry);
        const std::string log = testing::internal::GetCapturedStdout();
        if (c.message == nullptr) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(r.m_history.size(), before + 1);
            EXPECT_EQ(r.m_lastGOP.load(), c.entry.gop);
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_NE(log.find(std::string("- [W] [CID] CID(0)(0)(1201) ") + c.message),
                  std::string::npos)
            << log;
        EXPECT_EQ(r.m_history.size(), before);
        EXPECT_EQ(r.m_lastGOP.load(), lastGop);
        EXPECT_EQ(r.m_historyBytes.load(), 500u);
        EXPECT_EQ(r.m_lastGOPTime.load(), AtSecs(10));
    }
}

TEST_F(CidTest, NewInfosIsAllOrNothingAndTestsEntriesOnlyAgainstTheRecord) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    ASSERT_TRUE(r.NewInfo({10, 100, 0, AtSecs(0)}));

    // One refused entry keeps the others out too.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(r.NewInfos({{11, 100, 0, AtSecs(1)}, {10, 100, 0, AtSecs(2)}}));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.m_history.size(), 1u);
    EXPECT_EQ(r.m_lastGOP.load(), 10u);

    // Entries of one call are not compared with each other: the last one appended sets the
    // record's last GOP.
    EXPECT_TRUE(r.NewInfos({{14, 100, 0, AtSecs(3)}, {12, 100, 0, AtSecs(3)}}));
    EXPECT_EQ(r.m_history.size(), 3u);
    EXPECT_EQ(r.m_lastGOP.load(), 12u);
    EXPECT_EQ(r.m_historyBytes.load(), 300u);
    EXPECT_NE(r.m_lastReceived.load(), 0u);

    // No entries: accepted, and the derived values are recomputed (segment duration from 0 to
    // the configured value).
    r.m_segmentDuration = 0;
    EXPECT_TRUE(r.NewInfos({}));
    EXPECT_EQ(r.m_history.size(), 3u);
    EXPECT_EQ(r.m_segmentDuration.load(), 7);
}

// ---------------------------------------------------------------------------------------------
// Derived bitrate and segment duration

TEST_F(CidTest, DerivedValuesNeed129EntriesSpanningMoreThanOneSecond) {
    struct Case {
        const char* name;
        size_t entries;
        uint64_t intervalCs;
        int segment;
        uint64_t bitrate;
    };
    // 129 entries of 1000 bytes over 10.24 s (8 cs apart): 12597 bytes/s -> 13 KiB/s; the
    // segment is ceil(1024 / 12800 x 3) = 1.
    // Spans of 100 cs or less, or 128 entries, leave the bitrate and use HLSSEGMENTDURATION.
    const Case cases[] = {
        {"128 entries", 128, 8, 7, HSC_DEFAULT_BITRATE},
        {"129 entries over 10 s", 129, 8, 1, 13 * 8192},
        {"129 entries over exactly 1 s", 129, 0, 7, HSC_DEFAULT_BITRATE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HSCCIDInfo r(kChan, kStorage, resolver, false);
        std::deque<HSCPTSInfo> entries = Entries(c.entries, c.intervalCs);
        if (c.intervalCs == 0)  // 129 entries, the last exactly 100 cs after the others
            entries.back().time = AtCs(100);
        ASSERT_TRUE(r.NewInfos(entries));
        EXPECT_EQ(r.m_segmentDuration.load(), c.segment);
        EXPECT_EQ(r.m_bitrate.load(), c.bitrate);
    }
}

TEST_F(CidTest, TenSecondSpanOver129EntriesGivesOneSecondSegments) {
    // The documented example: 129 entries spanning 1000 cs, HLSSEGMENTGOPS 3.
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    std::deque<HSCPTSInfo> entries = Entries(129, 0);
    for (size_t i = 0; i < entries.size(); ++i) entries[i].time = AtCs(i * 1000 / 128);
    entries.back().time = AtCs(1000);
    ASSERT_TRUE(r.NewInfos(entries));
    EXPECT_EQ(r.m_segmentDuration.load(), 1);
    // 129000 bytes over 10 s: 12900 bytes/s -> 12 whole KiB, rounded up to 13.
    EXPECT_EQ(r.m_bitrate.load(), 13u * 8192);
}

TEST_F(CidTest, SegmentHoldKeepsTheHigherValueUnlessItExceedsOneAndAHalfTimes) {
    // d = ceil(interval / 100 x 3); the hold starts at 8.
    struct Case {
        uint64_t intervalCs;
        int segment;
    };
    const Case cases[] = {
        {200, 8},   // d 6: the hold 8 is within 1.5 x 6 and stays
        {100, 3},   // d 3: 8 > 4.5, the hold drops to 3
        {400, 12},  // d 12: above the hold
        {180, 8},   // d 6 (5.4 rounded up)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.intervalCs);
        HSCCIDInfo r(kChan, kStorage, resolver, false);
        ASSERT_TRUE(r.NewInfos(Entries(129, c.intervalCs)));
        EXPECT_EQ(r.m_segmentDuration.load(), c.segment);
    }

    // The hold is the record's own running value: one raised earlier is compared in the same way.
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    r.m_segmentDurationHold = 12.0;
    ASSERT_TRUE(r.NewInfos(Entries(129, 300)));  // d 9
    EXPECT_EQ(r.m_segmentDuration.load(), 12);
    r.ResetInfo();
    EXPECT_EQ(r.m_segmentDurationHold, HSC_DEFAULT_SEGMENT_HOLD);
}

TEST_F(CidTest, HistoryIsCappedAndTrimmedByAgeBeyond136Entries) {
    struct Case {
        const char* name;
        size_t entries;
        uint64_t intervalCs;
        size_t kept;
        uint64_t oldestGop;
    };
    const Case cases[] = {
        // 14100 entries within 47 s: only the cap applies.
        {"cap", 14100, 0, HSC_HISTORY_MAX, 13},
        // 200 entries 1 s apart: age trimming stops at 136 entries.
        {"age stops at 136", 200, 100, HSC_HISTORY_MIN, 65},
        // 1000 entries 0.1 s apart: entries a whole minute older than the newest (99.9 s) go;
        // whole seconds are compared, so the entry at 40.0 s (59 s older) is the oldest kept.
        {"age", 1000, 10, 600, 401},
        // 200 entries 0.25 s apart: span below a minute, nothing trimmed.
        {"young", 200, 25, 200, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HSCCIDInfo r(kChan, kStorage, resolver, false);
        std::deque<HSCPTSInfo> entries = Entries(c.entries, c.intervalCs, 0);
        if (c.intervalCs == 0)  // three entries per centisecond: 4700 cs in all
            for (size_t i = 0; i < entries.size(); ++i) entries[i].time = AtCs(i / 3);
        // Fed one by one, as the writer does.
        for (const HSCPTSInfo& e : entries) ASSERT_TRUE(r.NewInfo(e));
        ASSERT_EQ(r.m_history.size(), c.kept);
        EXPECT_EQ(r.m_history.front().gop, c.oldestGop);
        EXPECT_EQ(r.m_history.back().gop, c.entries);
        EXPECT_EQ(r.m_historyBytes.load(), HistoryBytes(r));
    }
}

// ---------------------------------------------------------------------------------------------
// PTS lookup

TEST_F(CidTest, PtsLookupFindsTheNearestEntryBelowTheTolerance) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    // GOPs 1..4 at PTS 1000, 2000, 3000, 4000.
    ASSERT_TRUE(r.NewInfos({{1, 1, 1000, AtSecs(0)},
                            {2, 1, 2000, AtSecs(1)},
                            {3, 1, 3000, AtSecs(2)},
                            {4, 1, 4000, AtSecs(3)}}));
    struct Case {
        uint64_t pts, tolerance, gop, distance;
    };
    const Case cases[] = {
        {2100, 500, 2, 100},   // nearest
        {2900, 500, 3, 100},   // nearest from below
        {2500, 600, 2, 500},   // tie between 2 and 3: the older
        {2500, 500, 0, UINT64_MAX},  // distance equal to the tolerance is not below it
        {9000, 100000, 4, 5000},
        {0, 999, 0, UINT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pts);
        uint64_t distance = 7;
        EXPECT_EQ(r.GetChunkIDForPTS(c.pts, c.tolerance, distance), c.gop);
        EXPECT_EQ(distance, c.distance);
    }
}

// ---------------------------------------------------------------------------------------------
// Start-up statistics and reset

TEST_F(CidTest, UpdateStatsRaisesLowersAndAveragesOnlyNonZeroValues) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    r.UpdateStats(50, AtSecs(100), AtSecs(200), 256000);
    EXPECT_EQ(r.m_bitrate.load(), 192000u);  // (128000 + 256000) / 2
    EXPECT_EQ(r.m_lastGOP.load(), 50u);
    EXPECT_EQ(r.m_lastGOPTime.load(), AtSecs(200));
    EXPECT_EQ(r.m_startTimeOnStorage.load(), AtSecs(100));
    EXPECT_EQ(r.m_endTimeOnStorage.load(), AtSecs(200));

    // An older block registered later: nothing goes backwards, the start goes earlier.
    r.UpdateStats(20, AtSecs(10), AtSecs(90), 64000);
    EXPECT_EQ(r.m_lastGOP.load(), 50u);
    EXPECT_EQ(r.m_lastGOPTime.load(), AtSecs(200));
    EXPECT_EQ(r.m_endTimeOnStorage.load(), AtSecs(200));
    EXPECT_EQ(r.m_startTimeOnStorage.load(), AtSecs(10));
    EXPECT_EQ(r.m_bitrate.load(), 128000u);  // (192000 + 64000) / 2

    // Zeroes change nothing.
    r.UpdateStats(0, 0, 0, 0);
    EXPECT_EQ(r.m_lastGOP.load(), 50u);
    EXPECT_EQ(r.m_startTimeOnStorage.load(), AtSecs(10));
    EXPECT_EQ(r.m_bitrate.load(), 128000u);

    // A record whose bitrate is 0 takes the value as it is.
    r.m_bitrate = 0;
    r.UpdateStats(0, 0, 0, 300000);
    EXPECT_EQ(r.m_bitrate.load(), 300000u);
}

TEST_F(CidTest, ResetInfoRestoresTheInitialValuesAndEmptiesTheHistory) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    ASSERT_TRUE(r.NewInfos(Entries(200, 400, 5000, 1000)));
    r.UpdateStats(0, AtSecs(-100), AtSecs(900), 1);
    r.m_users = 4;
    ASSERT_NE(r.m_bitrate.load(), HSC_DEFAULT_BITRATE);

    r.ResetInfo();
    EXPECT_EQ(r.m_bitrate.load(), HSC_DEFAULT_BITRATE);
    EXPECT_EQ(r.m_historyBytes.load(), 0u);
    EXPECT_TRUE(r.m_history.empty());
    EXPECT_EQ(r.m_segmentDuration.load(), 0);
    EXPECT_EQ(r.m_segmentDurationHold, HSC_DEFAULT_SEGMENT_HOLD);
    EXPECT_EQ(r.m_users.load(), 0u);
    EXPECT_EQ(r.m_startTimeOnStorage.load(), 0u);
    EXPECT_EQ(r.m_endTimeOnStorage.load(), 0u);
    EXPECT_EQ(r.m_lastGOPTime.load(), 0u);
    EXPECT_EQ(r.m_lastReceived.load(), 0u);
    EXPECT_EQ(r.m_lastGOP.load(), 0u);

    // A recording that starts again from GOP 1 is accepted, and its byte count is its own: with
    // the old entries gone, trimming never subtracts sizes that are no longer counted.
    ASSERT_TRUE(r.NewInfos(Entries(129, 50, 10, 1)));
    EXPECT_EQ(r.m_historyBytes.load(), HistoryBytes(r));
    EXPECT_EQ(r.m_history.front().gop, 1u);
    EXPECT_EQ(r.m_bitrate.load(), 8192u);  // 20 bytes per second: below 1 KiB/s
}

// ---------------------------------------------------------------------------------------------
// Chain, release and locks

TEST_F(CidTest, StartChunkRefusesABlockAlreadyInTheChain) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    EXPECT_TRUE(r.StartChunk(5));
    EXPECT_TRUE(r.StartChunk(2));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(r.StartChunk(5));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("- [E] [DBG] CID(0)(0)(1201) bogus, chunk(5) exists"), std::string::npos)
        << log;
    EXPECT_EQ(r.GetChunkCount(), 2u);
    EXPECT_EQ(r.m_chain, (std::deque<uint64_t>{5, 2}));
}

TEST_F(CidTest, ForceFreeAllHandsEveryBlockToTheMonitorAndResetsTheRecord) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    for (uint64_t id : {9, 3, 7}) ASSERT_TRUE(r.StartChunk(id));
    ASSERT_TRUE(r.NewInfos(Entries(129, 100)));
    ASSERT_TRUE(r.ClaimWriting());
    r.m_diskSave = 1;
    r.m_diskLoadPartial = 2;
    r.m_diskLoadFull = 3;
    r.m_cacheLoad = 4;
    r.m_infoWorks = 5;
    r.m_miss = 6;
    EXPECT_TRUE(r.WaitFreeAll());

    uint64_t count = 0;
    r.ForceFreeAll(count);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(r.m_pendingRelease, (std::deque<uint64_t>{3, 7, 9}));  // ascending block id
    EXPECT_EQ(r.GetChunkCount(), 0u);
    EXPECT_TRUE(r.m_blockSet.empty());
    EXPECT_EQ(r.GetWritingStatus(), 0);
    EXPECT_EQ(r.m_lastGOP.load(), 0u);
    EXPECT_EQ(r.m_bitrate.load(), HSC_DEFAULT_BITRATE);
    EXPECT_EQ(r.m_diskSave + r.m_diskLoadPartial + r.m_diskLoadFull + r.m_cacheLoad +
                  r.m_infoWorks + r.m_miss,
              0u);
    EXPECT_FALSE(r.WaitFreeAll());

    // A second call restarts the list from the (now empty) set.
    uint64_t again = 99;
    r.ForceFreeAll(again);
    EXPECT_EQ(again, 0u);
    EXPECT_TRUE(r.WaitFreeAll());

    // The retention monitor takes the pending list under lock 0; the wait then reports true.
    r.StartChunk(4);
    r.ForceFreeAll(count);
    ASSERT_FALSE(r.WaitFreeAll());
    std::thread monitor([&r] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        r.AllocWrite(HSC_LOCK_CHAIN);
        r.m_pendingRelease.clear();
        r.ReleaseWrite(HSC_LOCK_CHAIN);
    });
    bool freed = false;
    for (int i = 0; i < 500 && !freed; ++i) {  // bounded: 5 s
        freed = r.WaitFreeAll();
        if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    monitor.join();
    EXPECT_TRUE(freed);
}

TEST_F(CidTest, FailingLockCallsAreLoggedAndTheCallerGoesOn) {
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    r.AllocWrite(HSC_LOCK_HISTORY);
    testing::internal::CaptureStdout();
    // The holder of the write lock asks again: the call fails (deadlock detected) instead of
    // blocking, and both lock kinds report it.
    r.AllocWrite(HSC_LOCK_HISTORY);
    r.AllocRead(HSC_LOCK_HISTORY);
    const std::string log = testing::internal::GetCapturedStdout();
    r.ReleaseWrite(HSC_LOCK_HISTORY);
    EXPECT_NE(log.find("- [E] [DBG] pthread_rwlock_wrlock, 35, "), std::string::npos) << log;
    EXPECT_NE(log.find("- [E] [DBG] pthread_rwlock_rdlock, 35, "), std::string::npos) << log;
    // The lock is usable afterwards.
    r.AllocRead(HSC_LOCK_HISTORY);
    r.ReleaseRead(HSC_LOCK_HISTORY);
}

// ---------------------------------------------------------------------------------------------
// Construction

TEST_F(CidTest, ContentRecordsAnnounceThemselvesAndPoolsDoNot) {
    testing::internal::CaptureStdout();
    {
        HSCCIDInfo content(MvCIDMake(7, 2, 0), 1, resolver, false);
        HSCCIDInfo pool(HSCFreePoolCID(kStorage), kStorage, resolver, false);
        EXPECT_FALSE(content.IsPool());
        EXPECT_TRUE(pool.IsPool());
        EXPECT_EQ(content.GetStorageID(), 1);
        EXPECT_EQ(content.GetWritingStatus(), 0);
        EXPECT_TRUE(content.ClaimWriting());
        EXPECT_FALSE(content.ClaimWriting());
        EXPECT_TRUE(content.ReleaseWriting());
        EXPECT_FALSE(content.ReleaseWriting());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(content.m_writing) % 16, 0u);
    }
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("- [I] [CID] CID(0)(2)(7) created new"), std::string::npos) << log;
    EXPECT_EQ(log.find("CID(16777215)(0)(2) created new"), std::string::npos) << log;
}

TEST(CidDeathTest, InvalidWriterOrPoolIdentifiersEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        tagMvCID cid;
        uint16_t storage;
        const char* message;
    };
    const Case cases[] = {
        {MvCIDMake(2, 1, 0xFFFFFF), 2,
         "CID\\(16777215\\)\\(1\\)\\(2\\) free block info on storage\\(2\\), invalid nBitrateID"},
        {MvCIDMake(3, 0, 0xFFFFFF), 2,
         "CID\\(16777215\\)\\(0\\)\\(3\\) free block info on storage\\(2\\), invalid nBitrateID"},
        {MvCIDMake(1201, 0, 5), 2,
         "CID\\(5\\)\\(0\\)\\(1201\\) WID is not the same as Writer ID of storage\\(2\\)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EXIT(
            {
                StdoutToStderr();
                TestResolver resolver;
                HSCCIDInfo r(c.cid, c.storage, resolver, false);
                _exit(99);  // not reached
            },
            ::testing::ExitedWithCode(1), c.message);
    }
}

}  // namespace

namespace {

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// Runs in a child process: the monitor threads it starts are never ended, and nothing of the
// parent process is shared with them.
void CountMonitorThreads() {
    StdoutToStderr();
    TestResolver resolver;
    // A first thread lets runtimes that start helper threads lazily (sanitizers) do so now.
    std::thread([] {}).join();
    const int before = ThreadCount();
    new HSCCIDInfo(HSCFreePoolCID(kStorage), kStorage, resolver, true);  // pools: no monitor
    const int afterPool = ThreadCount();
    new HSCCIDInfo(kChan, kStorage, resolver, true);
    const int afterContent = ThreadCount();
    fprintf(stderr, "threads pool(%d) content(%d)\n", afterPool - before, afterContent - before);
    _exit(0);
}

TEST(CidDeathTest, ContentRecordsStartOneMonitorThreadAndPoolsNone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(CountMonitorThreads(), ::testing::ExitedWithCode(0),
                "threads pool\\(0\\) content\\(1\\)");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lookups over real blocks: a small medium of storage 2, blocks written directly (no data copy).

namespace {

constexpr tagMvCID kOther = MvCIDMake(77, 0, 0);

struct GopAt {
    uint64_t number;
    int secs;       // after Base()
    int centi = 0;  // and centiseconds
};

class CidBlockTest : public CidTest {
protected:
    // Block at `position` (id position + 1), reset and owned by `cid`, holding the GOPs given,
    // known to the resolver. `flushed` false: a writer is still filling it.
    HSCSingleChunk* AddBlock(uint64_t position, tagMvCID cid, std::vector<GopAt> gops,
                             bool flushed = true) {
        std::unique_ptr<HSCSingleChunk> block = medium.Block(position, kStorage);
        EXPECT_TRUE(block->ResetChunkDirect());
        block->SetContentID(cid);
        block->SetFlushed(false);
        for (const GopAt& g : gops) {
            mvtest::GopPtr gop = mvtest::MakeGop(g.number, At(g), 1);
            EXPECT_TRUE(block->AppendGOP(gop.get())) << "GOP " << g.number;
        }
        block->SetFlushed(flushed);
        resolver.Add(block.get());
        blocks.push_back(std::move(block));
        return blocks.back().get();
    }
    static MvTime At(const GopAt& g) {
        return MvTimeAddCentiSecs(AtSecs(g.secs), static_cast<uint64_t>(g.centi));
    }
    // A record whose chain lists the block ids in the order given.
    std::unique_ptr<HSCCIDInfo> Record(const std::vector<uint64_t>& chain,
                                       tagMvCID cid = kChan) {
        auto r = std::make_unique<HSCCIDInfo>(cid, kStorage, resolver, false);
        for (uint64_t id : chain) EXPECT_TRUE(r->StartChunk(id));
        return r;
    }

    mvtest::ScopedStorageConf conf{false};  // direct writes: no 32 MiB copies
    mvtest::TestMedium medium{8, kStorage};
    std::vector<std::unique_ptr<HSCSingleChunk>> blocks;
};

TEST_F(CidBlockTest, GopLookupReturnsTheOldestBlockInTheChainHoldingTheNumber) {
    // Block 1 holds 10..12; block 2 holds 11..13 (re-used, not yet re-written); block 3 is empty.
    HSCSingleChunk* b1 = AddBlock(0, kChan, {{10, 0}, {11, 1}, {12, 2}});
    HSCSingleChunk* b2 = AddBlock(1, kChan, {{11, 10}, {12, 11}, {13, 12}});
    HSCSingleChunk* b3 = AddBlock(2, kChan, {});
    ASSERT_EQ(b3->GetGOPCount(), 0u);

    struct Case {
        std::vector<uint64_t> chain;
        uint64_t gop;
        HSCSingleChunk* block;
        bool isFirst = false;
    };
    const Case cases[] = {
        {{1, 2, 3}, 10, b1, true},  {{1, 2, 3}, 11, b1, false}, {{1, 2, 3}, 12, b1, false},
        {{1, 2, 3}, 13, b2, false}, {{2, 1, 3}, 11, b2, true},  {{3, 2, 1}, 10, b1, true},
        {{1, 2, 3}, 9, nullptr},    {{1, 2, 3}, 14, nullptr},   {{3}, 0, nullptr},
        {{99, 2}, 12, b2, false},  // an id without a block is passed over
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gop);
        auto r = Record(c.chain);
        bool isFirst = !c.isFirst;
        EXPECT_EQ(r->GetChunkForGopID(c.gop, isFirst), c.block);
        if (c.block != nullptr) {
            EXPECT_EQ(isFirst, c.isFirst);
        }
    }
}

TEST_F(CidBlockTest, TimeLookupAcceptsBlocksWithinFiveSeconds) {
    // Block 1 spans 100..110 s, block 2 120..130 s.
    HSCSingleChunk* b1 = AddBlock(0, kChan, {{1, 100}, {2, 105}, {3, 110}});
    HSCSingleChunk* b2 = AddBlock(1, kChan, {{4, 120}, {5, 125}, {6, 130}});
    auto r = Record({1, 2});
    struct Case {
        int secs;
        HSCSingleChunk* block;
    };
    const Case cases[] = {
        {105, b1},      // inside
        {113, b1},      // 3 s after the end
        {115, b1},      // exactly 5 s after
        {116, b2},      // 6 s after block 1: only block 2 (starting 4 s later) covers it
        {97, b1},       // 3 s before the start
        {94, nullptr},  // 6 s before
        {136, nullptr}, // 6 s after block 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secs);
        EXPECT_EQ(r->GetChunkIDForTime(AtSecs(c.secs)), c.block);
    }
    EXPECT_EQ(r->GetChunkIDForTime(0), nullptr);

    // Without block 2, 6 s after block 1's end finds nothing.
    auto only1 = Record({1});
    EXPECT_EQ(only1->GetChunkIDForTime(AtSecs(116)), nullptr);
    EXPECT_EQ(only1->GetChunkIDForTime(AtSecs(113)), b1);
}

TEST_F(CidBlockTest, NearestDataBesideAGapByTimeAndByGop) {
    // GOPs 10..12 at 100..110 s, 20..22 at 200..210 s, 30..32 at 300..310 s.
    AddBlock(0, kChan, {{10, 100}, {11, 105}, {12, 110}});
    AddBlock(1, kChan, {{20, 200}, {21, 205}, {22, 210}});
    AddBlock(2, kChan, {{30, 300}, {31, 305}, {32, 310}});
    auto r = Record({3, 1, 2});  // chain order does not matter without ties

    constexpr uint64_t kPresetGop = 777;
    const MvTime kPresetTime = AtSecs(-1);
    struct Case {
        bool byTime;
        uint64_t from;  // seconds or GOP number
        bool forward;
        uint64_t gop;   // kPresetGop: outputs untouched
        int secs;
    };
    const Case cases[] = {
        {true, 150, true, 20, 200},
        {true, 250, true, 30, 300},
        {true, 100, true, 20, 200},  // a block starting exactly at t is not after it
        {true, 400, true, kPresetGop, 0},  // past every block
        {true, 150, false, 12, 110},
        {true, 250, false, 22, 210},
        {true, 210, false, 12, 110},  // a block ending exactly at t is not before it
        {true, 50, false, kPresetGop, 0},
        {false, 15, true, 20, 200},
        {false, 25, true, 30, 300},
        {false, 32, true, kPresetGop, 0},
        {false, 25, false, 22, 210},
        {false, 35, false, 32, 310},
        {false, 10, false, kPresetGop, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.byTime ? "time " : "gop ") << c.from
                                        << (c.forward ? " forward" : " backward"));
        uint64_t gop = kPresetGop;
        MvTime time = kPresetTime;
        if (c.byTime)
            r->NearestDataForTime(AtSecs(static_cast<int>(c.from)), c.forward, gop, time);
        else
            r->NearestDataForGop(c.from, c.forward, gop, time);
        EXPECT_EQ(gop, c.gop);
        EXPECT_EQ(time, c.gop == kPresetGop ? kPresetTime : AtSecs(c.secs));
    }

    // An empty chain leaves the outputs too.
    auto empty = Record({});
    uint64_t gop = kPresetGop;
    MvTime time = kPresetTime;
    empty->NearestDataForGop(5, true, gop, time);
    empty->NearestDataForTime(AtSecs(5), true, gop, time);
    EXPECT_EQ(gop, kPresetGop);
    EXPECT_EQ(time, kPresetTime);
}

TEST_F(CidBlockTest, NearestDataTiesInWholeSecondsKeepTheEarlierBlockInTheChain) {
    // Starts 50.30 s and 50.70 s after t: the same whole-second distance.
    AddBlock(0, kChan, {{40, 200, 70}});
    AddBlock(1, kChan, {{50, 200, 30}});
    const std::pair<std::vector<uint64_t>, uint64_t> cases[] = {{{1, 2}, 40}, {{2, 1}, 50}};
    for (const auto& [chain, want] : cases) {
        auto r = Record(chain);
        uint64_t gop = 0;
        MvTime time = 0;
        r->NearestDataForTime(AtSecs(150), true, gop, time);
        EXPECT_EQ(gop, want);
    }
    // By GOP: 45 lies 5 from both ends.
    auto r = Record({1, 2});
    uint64_t gop = 0;
    MvTime time = 0;
    r->NearestDataForGop(45, true, gop, time);
    EXPECT_EQ(gop, 50u);
    r->NearestDataForGop(45, false, gop, time);
    EXPECT_EQ(gop, 40u);
}

TEST_F(CidBlockTest, LookupsSkipAndReportBlocksOfAnotherContent) {
    // Block 1 was re-assigned to content 77 but is still in this record's chain.
    AddBlock(0, kOther, {{10, 100}, {11, 101}});
    HSCSingleChunk* mine = AddBlock(1, kChan, {{20, 200}, {21, 201}});
    auto r = Record({1, 2});
    struct Case {
        const char* name;
        std::function<bool()> run;  // true when the lookup found this content's block
    };
    const std::vector<Case> cases = {
        {"GetChunkForGopID",
         [&] {
             bool first = false;
             return r->GetChunkForGopID(10, first) == nullptr &&
                    r->GetChunkForGopID(20, first) == mine;
         }},
        {"GetChunkIDForTime",
         [&] {
             return r->GetChunkIDForTime(AtSecs(100)) == nullptr &&
                    r->GetChunkIDForTime(AtSecs(200)) == mine;
         }},
        {"NearestDataForTime",
         [&] {
             uint64_t gop = 0;
             MvTime time = 0;
             r->NearestDataForTime(AtSecs(50), true, gop, time);
             return gop == 20;
         }},
        {"NearestDataForGop",
         [&] {
             uint64_t gop = 0;
             MvTime time = 0;
             r->NearestDataForGop(5, true, gop, time);
             return gop == 20;
         }},
        {"GetFirstAndFree", [&] { return r->GetFirstAndFree() == mine; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool found = false;
        const std::string log = mvtest::CaptureLog([&] { found = c.run(); });
        EXPECT_TRUE(found);
        EXPECT_GE(mvtest::CountOf(log, std::string("- [E] [CHUNK] ") + c.name +
                                           ": Chunk contentId(77) mismatch(1201)"),
                  1)
            << log;
    }
    // GetFirstAndFree passed over the foreign block and left it in the chain.
    EXPECT_EQ(r->m_chain, (std::deque<uint64_t>{1}));
}

TEST_F(CidBlockTest, GetFirstAndFreeTakesTheOldestFlushedBlockOfTheContent) {
    AddBlock(0, kChan, {{10, 100}}, /*flushed=*/false);
    HSCSingleChunk* b2 = AddBlock(1, kChan, {{20, 200}});
    HSCSingleChunk* b3 = AddBlock(2, kChan, {{30, 300}});

    // The only block is being written: nothing to recycle, and it stays.
    auto writing = Record({1});
    EXPECT_EQ(writing->GetFirstAndFree(), nullptr);
    EXPECT_EQ(writing->GetChunkCount(), 1u);

    // Ids without a block and the block being written are passed over and kept.
    auto r = Record({99, 1, 3, 2});
    EXPECT_EQ(r->GetFirstAndFree(), b3);
    EXPECT_EQ(r->m_chain, (std::deque<uint64_t>{99, 1, 2}));
    EXPECT_EQ(r->m_blockSet, (std::set<uint64_t>{1, 2, 99}));
    EXPECT_EQ(r->GetFirstAndFree(), b2);
    EXPECT_EQ(r->GetFirstAndFree(), nullptr);
    EXPECT_EQ(r->m_chain, (std::deque<uint64_t>{99, 1}));
    // Once its writer leaves it, the last block can be recycled too.
    blocks[0]->SetFlushed(true);
    EXPECT_EQ(r->GetFirstAndFree(), blocks[0].get());
}

TEST_F(CidBlockTest, PoolHandsOutItsBlocksInOrderWhateverTheyHold) {
    HSCSingleChunk* b3 = AddBlock(2, kOther, {{10, 100}}, /*flushed=*/false);
    HSCSingleChunk* b4 = AddBlock(3, kChan, {});
    auto pool = Record({99, 3, 4}, HSCFreePoolCID(kStorage));
    // An id without a block cannot be handed out: it is dropped and the next one is taken.
    EXPECT_EQ(pool->GetFirstAndFree(), b3);
    EXPECT_EQ(pool->GetChunkCount(), 1u);
    EXPECT_EQ(pool->m_blockSet, (std::set<uint64_t>{4}));
    EXPECT_EQ(pool->GetFirstAndFree(), b4);
    EXPECT_EQ(pool->GetFirstAndFree(), nullptr);
    EXPECT_TRUE(pool->m_blockSet.empty());
}

// ---------------------------------------------------------------------------------------------
// Start-up sort

TEST_F(CidBlockTest, InitialSortOrdersTheChainByFirstGop) {
    AddBlock(0, kChan, {{30, 300}, {31, 301}});
    AddBlock(1, kChan, {{10, 100}, {11, 101}});
    AddBlock(2, kChan, {{20, 200}, {21, 201}});
    auto r = Record({1, 99, 2, 3});
    r->InitialSort();
    // Ascending first GOP; an id without a block goes to the end.
    EXPECT_EQ(r->m_chain, (std::deque<uint64_t>{2, 3, 1, 99}));
    EXPECT_EQ(r->m_blockSet, (std::set<uint64_t>{1, 2, 3, 99}));

    // Two blocks whose times disagree with their numbers, and a pool with any number of blocks,
    // are sorted without the consistency check.
    AddBlock(3, kChan, {{40, 50}});
    auto two = Record({4, 1});
    two->InitialSort();
    EXPECT_EQ(two->m_chain, (std::deque<uint64_t>{1, 4}));
    auto pool = Record({4, 3, 2, 1}, HSCFreePoolCID(kStorage));
    pool->InitialSort();
    EXPECT_EQ(pool->m_chain, (std::deque<uint64_t>{2, 3, 1, 4}));
}

TEST_F(CidBlockTest, InitialSortEndsTheProcessWhenNumbersAndTimesDisagree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Sorted by number: GOPs 10.., 20.., 30.., but the first block starts after the last.
    AddBlock(0, kChan, {{10, 300}, {11, 301}});
    AddBlock(1, kChan, {{20, 200}, {21, 201}});
    AddBlock(2, kChan, {{30, 100}, {31, 101}});
    auto r = Record({3, 2, 1});
    const std::string first = std::to_string(AtSecs(300));
    const std::string last = std::to_string(AtSecs(100));
    EXPECT_EXIT(
        {
            StdoutToStderr();
            r->InitialSort();
            _exit(99);
        },
        ::testing::ExitedWithCode(1),
        "\\[E\\] \\[DBG\\] Chunks are not sorted for CID \\(0\\)\\(0\\)\\(1201\\) / \\(" + first +
            "\\)\\(" + last +
            "\\).*"
            "\\[I\\] \\[DBG\\] CID\\(0\\)\\(0\\)\\(1201\\), ID\\(1\\), START\\(10\\)\\(2024-05-01 "
            "12:05:00.00\\), END\\(11\\)\\)2024-05-01 12:05:01.00\\).*"
            "ID\\(2\\), START\\(20\\).*ID\\(3\\), START\\(30\\)\\(2024-05-01 12:01:40.00\\)");
    // Blocks in agreeing order pass.
    auto ok = Record({3, 2});
    ok->InitialSort();
}

// ---------------------------------------------------------------------------------------------
// One writer and several readers at once (run under AddressSanitizer in the test build).

TEST_F(CidBlockTest, ReadersSeeEveryAcceptedGopWhileTheWriterRecords) {
    constexpr uint64_t kBlocks = 4;
    constexpr uint64_t kGopsPerBlock = 150;
    HSCCIDInfo r(kChan, kStorage, resolver, false);
    std::vector<std::unique_ptr<HSCSingleChunk>> own;
    for (uint64_t pos = 0; pos < kBlocks; ++pos) {
        own.push_back(medium.Block(pos, kStorage));
        ASSERT_TRUE(own.back()->ResetChunkDirect());
        resolver.Add(own.back().get());
    }

    std::atomic<bool> done{false};
    std::atomic<uint64_t> checks{0};
    std::atomic<int> failures{0};
    auto reader = [&](int kind) {
        while (!done.load()) {
            const uint64_t last = r.m_lastGOP.load();
            if (last == 0) {
                std::this_thread::yield();
                continue;
            }
            // The writer appends a GOP to its block before it accepts it into the history, so
            // every accepted GOP is found.
            bool ok = true;
            if (kind == 0) {
                bool first = false;
                HSCSingleChunk* b = r.GetChunkForGopID(last, first);
                ok = b != nullptr && b->GetStartGOPID() <= last && last <= b->GetEndGOPID() &&
                     first == (last == b->GetStartGOPID());
            } else if (kind == 1) {
                uint64_t distance = 0;
                ok = r.GetChunkIDForPTS(last * 3600, 1, distance) == last && distance == 0;
            } else {
                ok = r.GetChunkIDForTime(AtSecs(static_cast<int>(last))) != nullptr;
                uint64_t gop = 0;
                MvTime time = 0;
                r.NearestDataForGop(0, true, gop, time);
                // The first GOP of the oldest block still in the chain.
                ok = ok && gop % kGopsPerBlock == 1 && r.GetChunkCount() >= 1;
            }
            if (!ok) {
                failures.fetch_add(1);
                ADD_FAILURE() << "reader " << kind << " at GOP " << last;
            }
            checks.fetch_add(1);
        }
    };
    std::vector<std::thread> readers;
    for (int kind = 0; kind < 3; ++kind) readers.emplace_back(reader, kind);

    uint64_t number = 1;
    for (uint64_t pos = 0; pos < kBlocks; ++pos) {
        HSCSingleChunk* block = own[pos].get();
        block->SetContentID(kChan);
        block->SetFlushed(false);
        ASSERT_TRUE(r.StartChunk(block->GetBlockID()));
        for (uint64_t i = 0; i < kGopsPerBlock; ++i, ++number) {
            mvtest::GopPtr gop = mvtest::MakeGop(number, AtSecs(static_cast<int>(number)), 1);
            ASSERT_TRUE(block->AppendGOP(gop.get()));
            ASSERT_TRUE(r.NewInfo({number, gop->dataSize, number * 3600, gop->startTime}));
        }
        block->SetFlushed(true);
    }
    // The writer recycles its oldest block while the readers go on.
    EXPECT_EQ(r.GetFirstAndFree(), own[0].get());
    done = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(checks.load(), 0u);
    EXPECT_EQ(r.GetChunkCount(), kBlocks - 1);
}

}  // namespace
