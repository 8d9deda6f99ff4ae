// MvMutexSync, the system's only lock type (any failure ends the process), and
// MvBar, a pause flag that a controller sets and a worker acknowledges.
#pragma once

#include <pthread.h>

class MvMutexSync {
public:
    MvMutexSync();
    MvMutexSync(const MvMutexSync&) = delete;
    MvMutexSync& operator=(const MvMutexSync&) = delete;
    virtual ~MvMutexSync();
    virtual void SyncLock();
    virtual void SyncUnlock();

    pthread_mutex_t m_mutex;
};

// Scoped hold of an MvMutexSync.
class MvSyncGuard {
public:
    explicit MvSyncGuard(MvMutexSync& sync) : m_sync(sync) { m_sync.SyncLock(); }
    ~MvSyncGuard() { m_sync.SyncUnlock(); }
    MvSyncGuard(const MvSyncGuard&) = delete;
    MvSyncGuard& operator=(const MvSyncGuard&) = delete;

private:
    MvMutexSync& m_sync;
};

class MvBar : public MvMutexSync {
public:
    MvBar() = default;
    ~MvBar() override = default;
    virtual void Bar();
    virtual void ReleaseBar();
    virtual bool WaitBarAck();
    virtual bool IsBarred();
    virtual bool IsBarredNL();
    virtual void AckBar();

    volatile unsigned char m_barred = 0;
    volatile unsigned char m_acked = 0;
};
