#include "storageinit.h"

#include <pthread.h>

#include <vector>

#include "gopcache.h"
#include "mvlogger.h"

uint64_t MvBlockBitrate(const HSCChunkInfoV3& info) {
    const MvTime start = info.nStartTime;
    const MvTime end = info.nEndTime;
    if (start == 0 || end == 0 || start >= end) return 0;
    const uint64_t span = MvTimeDiffCentiSecs(end, start);
    if (span <= 100) return 0;
    // Bits per second, rounded up to the next whole 1024 bytes per second.
    return ((static_cast<uint64_t>(info.nDataSize) * 100 / span >> 10) + 1) << 13;
}

namespace {

void ScanMedium(HSCStorageManager& manager, HSCChunkInitParams& params) {
    const unsigned storage = params.storageId;
    const int count = static_cast<int>(params.blockCount);
    MVLOGI("[MAIN] Storage(%u), will be allocated (%d) blocks...", storage, count);
    uint64_t blockId = params.blockId;
    for (uint64_t index = 0; index < params.blockCount; ++index, ++blockId) {
        HSCChunkInitParams one = params;
        one.blockId = blockId;
        one.position = index;
        one.holderThread = manager.GetThreadForBlockID(params.storageId, blockId);
        auto* block = new HSCSingleChunk(one);
        if (block->IsValid()) {
            HSCChunkInfoV3 info;
            block->GetInfo(&info);
            manager.AddChunk(block);
            manager.CIDStartupRegisterChunk(block, params.storageId, info.nEndGOP, info.nStartTime,
                                            info.nEndTime, MvBlockBitrate(info));
            continue;
        }
        MVLOGW("[MAIN] Storage(%u), block (%u) of (%u) integrity error, resetting...", storage,
               static_cast<unsigned>(index), static_cast<unsigned>(params.blockCount));
        if (block->ResetChunkDirect()) {
            manager.AddChunk(block);
            manager.CIDStartupRegisterChunk(block, params.storageId, 0, 0, 0, 0);
        } else {
            MVLOGE("[MAIN] Storage(%u), block (%u) of (%u) reset failure, removing from block "
                   "list...",
                   storage, static_cast<unsigned>(index), static_cast<unsigned>(params.blockCount));
            delete block;
        }
    }
    MVLOGI("[MAIN] Storage(%u), block allocation done (%d), storage handle (%d)...", storage, count,
           params.fd);
}

}  // namespace

void* MvEachStorageInit(void* arg) {
    auto* params = static_cast<MvStorageInitParams*>(arg);
    HSCStorageManager* manager =
        params->manager != nullptr ? params->manager : HSCGetChunkManager();
    if (manager != nullptr) ScanMedium(*manager, *params);
    delete params;
    return nullptr;
}

int MvLoadStorages(HSCStorageManager& manager, std::map<uint16_t, tagITGStorageInfo>& media) {
    MVLOGI("[MAIN] Initializing storage...");
    std::vector<pthread_t> threads;
    int opened = 0;
    uint64_t nextBlockId = 1;  // counted across the media that open
    for (auto& [id, medium] : media) {
        int fd = -1;
        HSCStorageInfoV3 info;
        if (!manager.OpenStorage(fd, medium.path.c_str(), info)) continue;
        medium.descriptor = fd;  // reached by the housekeeping fsync
        ++opened;
        auto* params = new MvStorageInitParams;
        params->storageId = id;
        params->blockId = nextBlockId;
        params->position = 0;
        params->fd = fd;
        params->blockCount = info.nBlocks;
        params->manager = &manager;
        pthread_t thread;
        int rc = pthread_create(&thread, nullptr, MvEachStorageInit, params);
        if (rc != 0) {
            MVLOGI("[MAIN] Thread creation for storage initialization failed, error : %d", rc);
            delete params;
        } else {
            threads.push_back(thread);
        }
        // The medium keeps its block ids even when its blocks could not be loaded.
        nextBlockId += info.nBlocks;
    }
    MVLOGI("[MAIN] Waiting for storage initialization...");
    for (pthread_t thread : threads) pthread_join(thread, nullptr);

    std::vector<HSCCIDInfo*> records;
    manager.GetAllCID(records);
    for (HSCCIDInfo* record : records) {
        record->InitialSort();
        // Contents found on the media keep their blocks unless the configuration says
        // otherwise. A free pool is no content: its identifier's content number is the storage
        // id, and an entry under it would give that channel number a retention of its own.
        if (!record->IsPool())
            ITGSetTimeAndStorageForContent(MvCIDContent(record->GetCID()), record->GetStorageID(),
                                           kMvFoundContentMinutes, false);
    }
    return opened;
}

namespace {

void ApplyCacheSize(uint64_t bytes) { MvGopCache::ITGSetCacheSize(bytes); }

}  // namespace

void MvStartCacheAndStorage() {
    ITGMainConf* conf = ITGGetMainConf();
    MVLOGI("[MAIN] Starting Cache Manager...");
    MvGopCache::ITGCacheInit(conf->CACHESIZE.load());
    ITGSetCacheSizeCallback(ApplyCacheSize);
    HSCStorageManager* manager = HSCInitChunkManager();
    if (!conf->STORAGE.empty()) MvLoadStorages(*manager, conf->STORAGE);
    MvMarkStorageInitialized();
}
