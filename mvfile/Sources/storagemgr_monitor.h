// Retention monitor of the content records: one pass expires the whole blocks of a content that
// lie before its retention window, takes back the blocks that ForceFreeAll released, resets them
// and returns each to the free pool of the storage that holds it. The monitor thread of every
// content record (HSCCIDInfo::ChannelMonitorThread) runs such a pass every 5 to 10 seconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mvtime.h"
#include "storagemgr.h"

// Shortest retention window: a content configured with 0 minutes keeps 10 seconds.
constexpr uint32_t HSC_RETENTION_MIN_SECS = 10;

// Window of a retention given in minutes: minutes x 60 seconds, HSC_RETENTION_MIN_SECS when that
// is 0. Values beyond what the time arithmetic can move (INT32_MAX seconds) are held there.
uint32_t HSCRetentionWindowSecs(uint64_t minutes);

// What a monitor keeps from one pass to the next.
struct HSCRetentionState {
    uint32_t windowSecs = 0;  // window of the previous pass
};

// First step of a monitor: takes the content's current window into `state` and, for a live
// channel, logs "[CHMON] CID(%u)(%u)(%u) monitoring for out-dated records (shift is %u
// seconds)..".
void HSCRetentionStart(HSCCIDInfo& record, HSCRetentionState& state);

// One pass at time `now`: re-reads the retention (logging a change of window), collects the
// expired and released blocks with CheckAndGetOldChunks(now - window, VERBOSE), resets each one
// on this thread and appends it to the free pool of its own storage (created when missing).
// Returns the number of blocks returned to pools. Does nothing once the manager is terminating.
size_t HSCRetentionPass(HSCStorageManager& mgr, HSCCIDInfo& record, HSCRetentionState& state,
                        MvTime now);

// Pause between two passes: `minUs` plus a random value below `rangeUs` microseconds (5000000
// and 5000000 in the server; tests shorten it). Read by every monitor before each pause.
void HSCSetRetentionPause(uint32_t minUs, uint32_t rangeUs);
