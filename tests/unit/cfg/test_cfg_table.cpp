// Per-content storage and retention table, free-memory check, start time and the singleton.
#include <gmock/gmock.h>

#include <thread>

#include "cfg_test_util.h"

namespace {

uint64_t Cid(uint32_t stream, uint32_t sub, uint32_t content) {
    return ((uint64_t)stream << 40) | ((uint64_t)(sub & 0xFF) << 32) | content;
}

TEST(CfgContentTable, LookupPrecedence) {
    ITGMainConf conf;
    conf.SetTimeAndStorageForContent(Cid(7, 1, 1234), 3, 100, true);
    conf.SetTimeAndStorageForContent(1234, 4, 200, true);
    conf.SetTimeAndStorageForContent(ITG_V3_DEFAULT_KEY, 2, 30, true);

    struct Case { uint64_t cid; uint16_t storage; uint64_t minutes; };
    const Case cases[] = {
        {Cid(7, 1, 1234), 3, 100},  // full identifier
        {Cid(8, 0, 1234), 4, 200},  // same content number, other stream
        {1234, 4, 200},             // bare content number
        {Cid(7, 1, 99), 2, 30},     // default entry
    };
    for (const Case& c : cases) {
        EXPECT_EQ(conf.GetStorageForContent(c.cid), c.storage) << std::hex << c.cid;
        EXPECT_EQ(conf.GetTimeForContent(c.cid), c.minutes) << std::hex << c.cid;
    }

    // Without a default entry nothing matches: storage 1 and 0 minutes.
    conf.v3Params.erase(ITG_V3_DEFAULT_KEY);
    EXPECT_EQ(conf.GetStorageForContent(Cid(7, 1, 99)), 1);
    EXPECT_EQ(conf.GetTimeForContent(Cid(7, 1, 99)), 0u);
}

TEST(CfgContentTable, OverwriteOnlyWhenAsked) {
    ITGMainConf conf;
    conf.SetTimeAndStorageForContent(55, 2, 60, false);  // absent: added either way
    EXPECT_EQ(conf.GetStorageForContent(55), 2);
    conf.SetTimeAndStorageForContent(55, 3, 7158278, false);
    EXPECT_EQ(conf.GetStorageForContent(55), 2);
    EXPECT_EQ(conf.GetTimeForContent(55), 60u);
    conf.SetTimeAndStorageForContent(55, 3, 90, true);
    EXPECT_EQ(conf.GetStorageForContent(55), 3);
    EXPECT_EQ(conf.GetTimeForContent(55), 90u);
}

TEST(CfgContentTable, ConcurrentWritersAndReaders) {
    ITGMainConf conf;
    std::thread writer([&] {
        for (uint64_t i = 0; i < 20000; ++i) conf.SetTimeAndStorageForContent(i, 2, i, true);
    });
    uint64_t seen = 0;
    for (uint64_t i = 0; i < 20000; ++i) seen += conf.GetStorageForContent(i % 64) != 0;
    writer.join();
    EXPECT_EQ(seen, 20000u);
    EXPECT_EQ(conf.GetTimeForContent(19999), 19999u);
}

TEST(CfgMemory, BlockCheck) {
    struct Case { uint64_t minBytes; uint64_t freeKB; bool ok; };
    const Case cases[] = {
        {0, 1, true},                        // check switched off
        {24ull << 20, 0, true},              // never read
        {24ull << 20, 24 * 1024, false},     // equal is not enough
        {24ull << 20, 24 * 1024 + 1, true},
        {24ull << 20, 1000, false},
        {2047ull << 20, 64ull << 20, true},  // 64 GiB free
    };
    for (const Case& c : cases)
        EXPECT_EQ(MvMemBlockOKFor(c.minBytes, c.freeKB), c.ok) << c.minBytes << " " << c.freeKB;
}

class CfgMemFile : public CfgFiles {};

TEST_F(CfgMemFile, MemFreeFromMeminfo) {
    std::string path = Write("meminfo", "MemTotal:       16000000 kB\n"
                                        "MemFree:          30000 kB\n"
                                        "MemAvailable:   9000000 kB\n");
    ASSERT_TRUE(MvMemUpdateFrom(path.c_str()));
    EXPECT_EQ(MvMemGetFreeKB(), 30000u);

    ITGMainConf* conf = ITGGetMainConf();
    uint64_t saved = conf->MINFREEBLOCKMEM;
    conf->MINFREEBLOCKMEM = 24ull << 20;  // 24576 kB < 30000 kB
    EXPECT_TRUE(MvMemBlockOK());
    conf->MINFREEBLOCKMEM = 30ull << 20;  // 30720 kB > 30000 kB
    EXPECT_FALSE(MvMemBlockOK());
    conf->MINFREEBLOCKMEM = 0;
    EXPECT_TRUE(MvMemBlockOK());
    conf->MINFREEBLOCKMEM = saved;

    // A file without the line, or a missing file, leaves the figure.
    std::string other = Write("other", "MemTotal: 1 kB\n");
    EXPECT_TRUE(MvMemUpdateFrom(other.c_str()));
    EXPECT_FALSE(MvMemUpdateFrom((m_dir + "/none").c_str()));
    EXPECT_EQ(MvMemGetFreeKB(), 30000u);

    MvMemUpdate();
    EXPECT_GT(MvMemGetFreeKB(), 0u);
}

TEST(CfgSingleton, CreatedOnceAndStartTimeIsEarly) {
    ITGInitMainConf();
    ITGMainConf* first = ITGGetMainConf();
    ITGInitMainConf();
    EXPECT_EQ(ITGGetMainConf(), first);
    MvTime start = MvCfgGetStartTime();
    EXPECT_NE(start, 0u);
    EXPECT_LE(start, MvTimeNow());

    ITGSetTimeAndStorageForContent(424242, 9, 11, true);
    EXPECT_EQ(ITGGetStorageForContent(Cid(1, 2, 424242)), 9);
    EXPECT_EQ(ITGGetTimeForContent(424242), 11u);
    EXPECT_EQ(ITGGetConfString(ITGConfString::DATABASE),
              first->GetString(ITGConfString::DATABASE));
    EXPECT_EQ(ITGGetCPUSet(ITGCpuSet::SNDCPUS), first->GetCPUSet(ITGCpuSet::SNDCPUS));
}

TEST(CfgStrings, ReadersNeverSeeATornString) {
    ITGMainConf conf;
    const std::string a(300, 'a'), b(5, 'b');
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            conf.SetString(ITGConfString::ALLOWORIGINS, (i & 1) ? a : b);
        stop = true;
    });
    int bad = 0;
    while (!stop) {
        std::string s = conf.GetString(ITGConfString::ALLOWORIGINS);
        if (!s.empty() && s != a && s != b) ++bad;
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

}  // namespace
