// The server's start of its recording store without media: the GOP cache takes CACHESIZE and
// follows it on a configuration reload, the storage manager exists, and storage is marked
// initialised although no STORAGE key was given.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cfg.h"
#include "gopcache.h"
#include "storageinit.h"
#include "storagemgr.h"

TEST(StorageStart, WithoutMediaTheCacheFollowsReloadsAndStorageIsInitialised) {
    ITGMainConf* conf = ITGGetMainConf();
    ASSERT_TRUE(conf->STORAGE.empty());
    conf->CACHESIZE = 3ull << 20;
    ASSERT_FALSE(MvStorageInitialized());

    MvStartCacheAndStorage();
    ASSERT_NE(MvGopCache::ITGGetCache(), nullptr);
    EXPECT_EQ(MvGopCache::ITGGetCache()->GetCacheLimit(), 3ull << 20);
    ASSERT_NE(HSCGetChunkManager(), nullptr);
    EXPECT_TRUE(MvStorageInitialized());
    std::vector<HSCCIDInfo*> records;
    HSCGetChunkManager()->GetAllCID(records);
    EXPECT_TRUE(records.empty());

    char path[] = "/tmp/mvstorageinit-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "CACHESIZE 5M\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_TRUE(ITGLoadConfig(path, false));
    unlink(path);
    EXPECT_EQ(MvGopCache::ITGGetCache()->GetCacheLimit(), 5ull << 20);
}
