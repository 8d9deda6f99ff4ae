// The live input manager: reloads the channel database every 5 seconds, starts a segmenter for
// every channel that appeared (primary streams before their other bitrates), stops the ones that
// disappeared (other bitrates before their primary), passes changed retention times on, and
// stops everything when the server is asked to terminate.
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

bool HSCStartThread(HSCWriterControl* writer) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 262144);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, TSSReceiverThread, writer);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        MVLOGE("[LIVE] Could not start the thread of " MV_CID_FMT " (%d)", MV_CID_ARGS(writer->cid), rc);
        writer->thread = 0;
        return false;
    }
    writer->thread = tid;
    return true;
}

ITGLiveInputManager::~ITGLiveInputManager() {
    if (!m_running.empty()) StopWriters(m_running);
}

void ITGLiveInputManager::StopWriters(std::vector<HSCWriterControl*>& list) {
    MVLOGI("[LIVE] Stopping %d writer threads", static_cast<int>(list.size()));
    // Other bitrates go before their primary stream. Sub-streams above 15 are never started,
    // but the walk covers every index so that no writer control can be deleted unstopped.
    // All writers of one sub-stream index are asked to stop together and then awaited, so a
    // channel whose source is silent (its receive wait lasts up to 2 s) does not hold up the
    // others one after another; every index is still fully stopped before the next lower one.
    for (int sub = 255; sub >= 0; --sub) {
        for (HSCWriterControl* w : list) {
            if (MvCIDSubStream(w->cid) != static_cast<uint32_t>(sub)) continue;
            MVLOGI("[LIVE] Stopping thread that writes content ID = %d (%s)",
                   static_cast<int>(MvCIDContent(w->cid)), w->name);
            w->stop.store(1);
        }
        for (HSCWriterControl* w : list) {
            if (MvCIDSubStream(w->cid) != static_cast<uint32_t>(sub) || w->thread == 0) continue;
            while (w->finished.load() == 0) usleep(10000);
        }
    }
    for (HSCWriterControl* w : list) delete w;
    list.clear();
}

void ITGLiveInputManager::StopAll() { StopWriters(m_running); }

void ITGLiveInputManager::Apply(const std::vector<HSCCompleteChannel>& loaded) {
    if (!m_loadedOnce) {
        m_loadedOnce = true;
        MVLOGI("[LIVE] Loaded (%d) channels for handling", static_cast<int>(loaded.size()));
    }

    std::vector<HSCWriterControl*> deleted;
    HSCDetectDeleted(m_running, deleted, loaded);
    if (!deleted.empty()) {
        StopWriters(deleted);
        MVLOGI("[LIVE] Finished stopping requested writer threads");
    }

    std::vector<HSCCompleteChannel> added;
    HSCDetectAdded(m_running, added, loaded);
    if (!added.empty()) {
        MVLOGI("[LIVE] Starting %d writers", static_cast<int>(added.size()));
        // Primary streams (sub-stream 0) start before their other bitrates; an extra bitrate
        // waits for its primary's content record.
        for (uint32_t sub = 0; sub <= HSC_MAX_STARTED_SUBSTREAM; ++sub) {
            for (const HSCCompleteChannel& ch : added) {
                if (MvCIDSubStream(ch.cid) != sub) continue;
                HSCWriterControl* w = new HSCWriterControl(ch);
                MVLOGI("[LIVE] Starting " MV_CID_FMT, MV_CID_ARGS(w->cid));
                m_running.push_back(w);
                m_start(w);
            }
        }
    }

    // Only the retention is updated in place; any other change of a line needs the channel to
    // be removed and added again.
    for (HSCWriterControl* w : m_running) {
        for (const HSCCompleteChannel& ch : loaded) {
            if (ch.cid != w->cid || ch.minutesToKeep == w->minutesToKeep) continue;
            MVLOGI("[LIVE] Updating content ID = %d (%s) writing times",
                   static_cast<int>(MvCIDContent(w->cid)), w->name);
            w->minutesToKeep = ch.minutesToKeep;
            ITGSetTimeAndStorageForContent(w->cid, static_cast<uint16_t>(w->storageId),
                                           ch.minutesToKeep, true);
        }
    }
}

namespace {

// Sleeps up to `tenths` x 100 ms; returns early once termination is requested.
void SleepUnlessTerminating(int tenths) {
    for (int i = 0; i < tenths && g_bTerminating.load() == 0; ++i) usleep(100000);
}

}  // namespace

void* ITGLiveInputHandlerThread(void*) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    MVLOGI("[LIVE] Loading channels");
    ITGLiveInputManager manager;
    for (;;) {
        if (g_bTerminating.load() != 0) {
            manager.StopAll();
            g_bLiveInputRunning.store(false);
            g_bTerminating.store(0);
            return nullptr;
        }
        std::vector<HSCCompleteChannel> loaded;
        if (!HSCDBLoadChannels(loaded)) {
            // The running channels are left as they are.
            MVLOGI("[LIVE] Warning, channels loading failed");
            SleepUnlessTerminating(10);
            continue;
        }
        manager.Apply(loaded);
        // The reload period is 5 seconds; the termination flag is looked at every 100 ms so
        // that a shutdown does not wait for the rest of the period.
        SleepUnlessTerminating(50);
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
