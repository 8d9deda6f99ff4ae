// The DEBUGSTB address set, rebuilt by every configuration load and swapped in whole.
#include "cfg.h"

MvIPMap* g_pIPMap = new MvIPMap();
MvMutexSync g_gipmap;

void MvIPMapSwap(MvIPMap* newSet) {
    if (newSet == nullptr) newSet = new MvIPMap();
    MvIPMap* old;
    {
        MvSyncGuard g(g_gipmap);
        old = g_pIPMap;
        g_pIPMap = newSet;
    }
    delete old;
}

bool MvIPMapExists(uint32_t ip) {
    MvSyncGuard g(g_gipmap);
    return g_pIPMap != nullptr && g_pIPMap->count(ip) != 0;
}
