// Start-up of the recording store: the GOP cache, the storage manager, and the scan that opens
// every configured medium and loads its blocks on one thread per medium, then sorts each
// content's blocks and marks storage as initialised.
#pragma once

#include <cstdint>
#include <map>

#include "cfg.h"
#include "mvstorageformat.h"
#include "storagemgr.h"

// What one scan thread gets: the block parameters of its medium (first block id, position 0,
// descriptor, block count) and the manager to fill (null: the process-wide one). Allocated by
// the scan, freed by the thread.
struct MvStorageInitParams : HSCChunkInitParams {
    HSCStorageManager* manager = nullptr;
};

// Retention given to contents found on the media that the configuration does not name.
constexpr uint64_t kMvFoundContentMinutes = 7158278;

// Bit rate of a block from its record: ((nDataSize x 100 / span) >> 10) + 1) << 13 bits per
// second, span = nEndTime - nStartTime in centiseconds; 0 unless both times are set, the start
// is before the end and the span exceeds 100 centiseconds.
uint64_t MvBlockBitrate(const HSCChunkInfoV3& info);

// Thread body: loads every block of one medium (MvStorageInitParams*), registering valid blocks
// with their content and resetting damaged ones to free (a block whose reset fails is dropped).
// Block ids run from the parameters' first id, one per position.
void* MvEachStorageInit(void* params);

// Opens every medium of `media` in id order (OpenStorage; the descriptor is stored in the
// medium's entry), scans each on its own joinable thread with block ids counted across the
// media that opened, joins them, then sorts every content's blocks and gives the contents
// found there a retention entry. Returns the number of media opened.
int MvLoadStorages(HSCStorageManager& manager, std::map<uint16_t, tagITGStorageInfo>& media);

// Main's steps from "[MAIN] Starting Cache Manager..." to MvMarkStorageInitialized: the GOP
// cache (CACHESIZE, applied live on reload), the storage manager and, when STORAGE keys exist,
// the scan of the media.
void MvStartCacheAndStorage();
