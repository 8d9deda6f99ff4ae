// Stand-in channel writer until the real one is merged: claims the content and releases every
// GOP it is given.
#include <pthread.h>

#include "listeners.h"
#include "mvcommondata.h"
#include "storagemgr.h"
#include "storagemgr_cid.h"

void* HSCWriterThreadFM(void* arg) {
    ITCTC* control = static_cast<ITCTC*>(arg);
    uint64_t cid = 0, storage = 0;
    void* unused = nullptr;
    control->m_request->Pop(cid, unused);
    control->m_request->Pop(storage, unused);
    HSCStorageManager* mgr = HSCGetChunkManager();
    HSCCIDInfo* record = mgr != nullptr ? mgr->GetCIDInfoS(cid, static_cast<uint16_t>(storage), true, true) : nullptr;
    control->m_reply->Push(0, record);
    if (record == nullptr) return nullptr;
    for (;;) {
        uint64_t command = 0;
        void* item = nullptr;
        if (!control->m_request->Pop(command, item) || item == nullptr) break;
        HSCGop* gop = static_cast<HSCGop*>(item);
        gop->AddRef();
        gop->Release();
    }
    record->ReleaseWriting();
    control->m_reply->Push(0, nullptr);
    return nullptr;
}

bool HSCStartWriterThread(ITCTC* control) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 262144);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, HSCWriterThreadFM, control);
    pthread_attr_destroy(&attr);
    return rc == 0;
}
