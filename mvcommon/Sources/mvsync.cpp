#include "mvsync.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "mvlogger.h"

// pthread calls return their error number instead of setting errno; that number is
// what the messages report.

// The storage tool's lock is recursive; the server's is a normal mutex. The flavour is
// chosen at start-up, before the tool creates any lock of its own.
MvMutexSync::MvMutexSync() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, MvGetFlavour() == MvFlavour::Tool ? PTHREAD_MUTEX_RECURSIVE
                                                                       : PTHREAD_MUTEX_NORMAL);
    int rc = pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        MVLOGE("Error initializing mutex: %d", rc);
        exit(1);
    }
}

MvMutexSync::~MvMutexSync() {
    int rc = pthread_mutex_destroy(&m_mutex);
    if (rc != 0) {
        MVLOGE("Error destroying mutex: %d", rc);
        exit(1);
    }
}

void MvMutexSync::SyncLock() {
    int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0) {
        MVLOGE("Error locking mutex: %d", rc);
        exit(1);
    }
}

void MvMutexSync::SyncUnlock() {
    int rc = pthread_mutex_unlock(&m_mutex);
    if (rc != 0) {
        MVLOGE("Error unlocking mutex: %d", rc);
        exit(1);
    }
}

void MvBar::Bar() {
    MvSyncGuard g(*this);
    m_barred = 1;
    m_acked = 0;
}

void MvBar::ReleaseBar() {
    MvSyncGuard g(*this);
    m_barred = 0;
    m_acked = 0;
}

void MvBar::AckBar() {
    MvSyncGuard g(*this);
    m_acked = 1;
}

bool MvBar::IsBarred() {
    MvSyncGuard g(*this);
    return m_barred != 0;
}

bool MvBar::IsBarredNL() { return m_barred != 0; }

bool MvBar::WaitBarAck() {
    for (int i = 0; i < 200; ++i) {
        {
            MvSyncGuard g(*this);
            if (m_acked) return true;
        }
        usleep(10000);
    }
    return false;
}
