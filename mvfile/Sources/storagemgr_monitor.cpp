// Retention monitor of a content record: the thread that the record starts for every content
// (pools get none). It waits for the start-up scan to finish before it touches any block.

#include <unistd.h>

#include "storagemgr.h"
#include "storagemgr_cid.h"

void* HSCCIDInfo::ChannelMonitorThread(void* record) {
    HSCCIDInfo* info = static_cast<HSCCIDInfo*>(record);
    // Blocks are registered and sorted by the start-up scan; nothing may be expired before then.
    while (!MvStorageInitialized()) sleep(1);
    if (info->IsPool()) return nullptr;
    // Expiry passes are not run yet: the thread ends once the scan is over, leaving every block
    // in its content's chain.
    return nullptr;
}
