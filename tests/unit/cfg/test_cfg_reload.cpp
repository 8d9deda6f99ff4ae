// Reloads: which keys a reload applies, and what it logs and calls.
#include <gmock/gmock.h>

#include <vector>

#include "cfg_test_util.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class CfgReload : public CfgFiles {
protected:
    void TearDown() override {
        ITGSetCacheSizeCallback(nullptr);
        CfgFiles::TearDown();
    }
};

std::vector<uint64_t> g_sizes;
void RecordSize(uint64_t size) { g_sizes.push_back(size); }

TEST_F(CfgReload, NonReloadableKeysStayAsLoadedAtStart) {
    ITGMainConf conf;
    Load(conf, "HLS 0.0.0.0:8080\nREADERSLOTS 4\nSTORAGE 1:/a\nV3DEFAULT 2:60\n"
               "HLSSEGMENTGOPS 7\nWSWORKERS 2\nIPFILTERFILE /f\nPATCHPAT 1\nVERBOSE 0\n");
    std::string out = Load(conf,
                           "HLS 0.0.0.0:9090\nREADERSLOTS 8\nSTORAGE 2:/b\nV3DEFAULT 3:90\n"
                           "HLSSEGMENTGOPS 9\nWSWORKERS 5\nIPFILTERFILE /g\nPATCHPAT 0\n"
                           "FOO 1\nVERBOSE 1\n",
                           false);
    EXPECT_EQ(conf.HLS.port, 8080);
    EXPECT_EQ(conf.READERSLOTS, 4);
    ASSERT_EQ(conf.STORAGE.size(), 1u);
    EXPECT_EQ(conf.STORAGE.at(1).path, "/a");
    EXPECT_EQ(conf.GetStorageForContent(5), 2);
    EXPECT_EQ(conf.GetTimeForContent(5), 60u);
    EXPECT_EQ(conf.HLSSEGMENTGOPS, 7);
    EXPECT_EQ(conf.WSWORKERS, 2);
    EXPECT_EQ(conf.IPFILTERFILE, "/f");
    EXPECT_TRUE(conf.PATCHPAT);
    EXPECT_TRUE(conf.VERBOSE);  // reloadable
    // Keys ignored at a reload, and unknown keys, are not reported then.
    EXPECT_THAT(out, Not(HasSubstr("Invalid keyword")));
}

TEST_F(CfgReload, ReloadableKeysTakeEffect) {
    ITGMainConf conf;
    Load(conf, "VERBOSE 0\n");
    Load(conf,
         "VERBOSE 1\nSYNCDATA 0\nBWMINOH 25\nSHIFTHL 3\nCASPASS other\nMINFREEBLOCKMEM 100\n"
         "DATABASE FILE:/x.lst\nALLOWORIGINS a, b\nWSVERBOSE 2\nABRTHRESHOLDMS 10\n"
         "STACKSIZE 4\nLOGFLUSH 1\n",
         false);
    EXPECT_TRUE(conf.VERBOSE);
    EXPECT_FALSE(conf.SYNCDATA);
    EXPECT_EQ(conf.BWMINOH, 25);
    EXPECT_EQ(conf.SHIFTHL, 3);
    EXPECT_EQ(conf.GetString(ITGConfString::CASPASS), "other");
    EXPECT_EQ(conf.MINFREEBLOCKMEM, 100ull << 20);
    EXPECT_EQ(conf.GetString(ITGConfString::DATABASE), "/x.lst");
    EXPECT_EQ(conf.GetString(ITGConfString::ALLOWORIGINS), "a, b");
    EXPECT_EQ(conf.WSVERBOSE, 2);
    EXPECT_EQ(conf.ABRTHRESHOLDMS, 900);
    EXPECT_EQ(conf.STACKSIZE, 4u);
    EXPECT_TRUE(conf.LOGFLUSH);
}

TEST_F(CfgReload, RemovedLineKeepsTheLastValue) {
    ITGMainConf conf;
    Load(conf, "VERBOSE 1\nSENDPARTS 8\n");
    Load(conf, "# nothing\n", false);
    EXPECT_TRUE(conf.VERBOSE);
    EXPECT_EQ(conf.SENDPARTS, 8);
}

TEST_F(CfgReload, SendPartsIsLoggedAtStartAndWhenItChanges) {
    ITGMainConf conf;
    const std::string line = "[CFG] Will send ";
    EXPECT_EQ(CountOf(Load(conf, "SENDPARTS 32\n"), line + "32 V3 parts at once"), 1);
    EXPECT_EQ(CountOf(Load(conf, "SENDPARTS 32\n", false), line), 0);
    EXPECT_EQ(CountOf(Load(conf, "SENDPARTS 40\n", false), line + "40 V3 parts at once"), 1);
    EXPECT_EQ(CountOf(Load(conf, "SENDPARTS 40\n", false), line), 0);
    EXPECT_EQ(conf.SENDPARTS, 40);
}

TEST_F(CfgReload, CpuSetIsLoggedWhenAReloadChangesIt) {
    ITGMainConf conf;
    EXPECT_EQ(CountOf(Load(conf, "GENCPUS 0\n"), "[CFG] GENCPUS 0x"), 1);
    EXPECT_EQ(CountOf(Load(conf, "GENCPUS 0\n", false), "[CFG] GENCPUS 0x"), 0);
    EXPECT_EQ(CountOf(Load(conf, "GENCPUS 0-1\n", false),
                      "[CFG] GENCPUS 0x0000000000000000,0000000000000003"),
              1);
    EXPECT_EQ(conf.GetCPUSet(ITGCpuSet::GENCPUS), (MvMask128{3, 0}));
}

TEST_F(CfgReload, CacheSizeReloadCallsTheCacheAtOnce) {
    ITGMainConf conf;
    g_sizes.clear();
    // Without a registered cache nothing is called.
    Load(conf, "CACHESIZE 1g\n", false);
    EXPECT_EQ(conf.CACHESIZE, 1ull << 30);

    ITGSetCacheSizeCallback(RecordSize);
    Load(conf, "CACHESIZE 2g\n");  // the initial load sizes the cache when it is created
    EXPECT_TRUE(g_sizes.empty());
    Load(conf, "CACHESIZE 512m\n", false);
    ASSERT_EQ(g_sizes.size(), 1u);
    EXPECT_EQ(g_sizes[0], 512ull << 20);
    EXPECT_EQ(conf.CACHESIZE, 512ull << 20);
}

}  // namespace
