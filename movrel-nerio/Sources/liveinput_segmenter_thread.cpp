// The segmenter thread of one live channel sub-stream: starts the channel's writer, waits (for
// an extra bitrate) for the primary stream's content record, receives the multicast stream and
// feeds it to TSSSegmenter, whose closed GOPs go to the writer; on stop it ends the writer and
// sets the channel's finished flag as its very last action.
#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "cfg.h"
#include "itg-threadcontrol.h"
#include "listeners.h"
#include "liveinput.h"
#include "liveinput_segmenter.h"
#include "mvaffinity.h"
#include "mvlogger.h"
#include "storagemgr.h"
#include "storagemgr_cid.h"

namespace {

// Closed GOPs go to the writer's request queue; the extra-bitrate match asks the primary
// stream's content record.
class TSSWriterSink : public TSSGopSink {
public:
    TSSWriterSink(ITCTC* control, tagMvCID cid, HSCCIDInfo* own, HSCCIDInfo* primary)
        : m_control(control), m_cid(cid), m_own(own), m_primary(primary) {}

    void PushGop(HSCGop* gop) override {
        // The GOP belongs to the writer once queued; one that could not be queued has no other
        // holder.
        if (!m_control->m_request->Push(m_cid, gop)) delete gop;
    }
    uint64_t PrimaryGopForPts(uint64_t pts, uint64_t tolerance, uint64_t& distance) override {
        distance = UINT64_MAX;
        return m_primary != nullptr ? m_primary->GetChunkIDForPTS(pts, tolerance, distance) : 0;
    }
    void ClearWriting() override {
        if (m_own != nullptr) m_own->ReleaseWriting();
    }

private:
    ITCTC* m_control;
    tagMvCID m_cid;
    HSCCIDInfo* m_own;
    HSCCIDInfo* m_primary;
};

int64_t MonotonicMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Sleeps up to `ms`, returning early when the channel is asked to stop.
void SleepUnlessStopped(const HSCWriterControl* w, int ms) {
    for (int slept = 0; slept < ms && w->stop.load() == 0; slept += 100) usleep(100000);
}

}  // namespace

void* TSSReceiverThread(void* arg) {
    HSCWriterControl* w = static_cast<HSCWriterControl*>(arg);
    const tagMvCID cid = w->cid;

    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::RCVCPUS));
    sched_param sp{};
    sp.sched_priority = 15;
    const int pr = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    if (pr != 0) MVLOGE("[%s] Catastrophic, priority setting error (%d)", "TSSReceiverThread", pr);

    MVLOGI("[LIVE] Register monitor info for CID(%llu)(%u)(%llu) = STORAGE(%llu), TIME(%llu)",
           static_cast<unsigned long long>(MvCIDStreamId(cid)), MvCIDSubStream(cid),
           static_cast<unsigned long long>(MvCIDContent(cid)), static_cast<unsigned long long>(w->storageId),
           static_cast<unsigned long long>(w->minutesToKeep) * 60ull);
    ITGSetTimeAndStorageForContent(cid, static_cast<uint16_t>(w->storageId), w->minutesToKeep, true);

    ITCTC* control = new ITCTC;
    HSCCIDInfo* record = nullptr;
    if (HSCStartWriterThread(control)) {
        control->m_request->Push(cid, nullptr);
        control->m_request->Push(w->storageId, nullptr);
        uint64_t command = 0;
        void* reply = nullptr;
        if (control->m_reply->Pop(command, reply)) record = static_cast<HSCCIDInfo*>(reply);
    }
    if (record == nullptr) {
        // The writer has ended (or never started): nothing else uses the queues.
        delete control;
        w->finished.store(1);
        return nullptr;
    }

    HSCCIDInfo* numbering = record;
    HSCCIDInfo* primary = nullptr;
    if (MvCIDSubStream(cid) > 0) {
        const tagMvCID primaryCid = MvCIDWithSubStream(cid, 0);
        MVLOGI("[LIVE] " MV_CID_FMT " waiting for primary CID to start writing...", MV_CID_ARGS(cid));
        HSCStorageManager* mgr = HSCGetChunkManager();
        while (w->stop.load() == 0) {
            primary = mgr != nullptr ? mgr->GetCIDInfoNOS(primaryCid) : nullptr;
            if (primary != nullptr) break;
            usleep(10000);
            if (mgr == nullptr) mgr = HSCGetChunkManager();
        }
        numbering = primary;
    }

    int sock = -1;
    TSSWriterSink sink(control, cid, record, primary);
    TSSSegmenter* seg = nullptr;
    if (w->stop.load() == 0) {
        sock = MvSTBCreateSocket(inet_addr(w->sourceAddress), w->sourcePort);
        const uint64_t next = numbering->m_lastGOP.load() + 4096;
        MVLOGI("[LIVE] Starting reception for " MV_CID_FMT "...", MV_CID_ARGS(cid));
        seg = new TSSSegmenter(cid, w->programNumber, w->flags, next, &sink);
    }

    uint32_t drops = 0;
    int64_t gopMark = MonotonicMs();
    uint64_t gopsSeen = 0;
    int64_t lastRefusedLog = 0;
    while (seg != nullptr && w->stop.load() == 0) {
        uint8_t* buffer = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        if (buffer == nullptr) {
            usleep(10000);
            continue;
        }
        int length = 0;
        timespec rx = {0, 0};
        bool timedOut = false;
        const bool ok = MvSTBReceiveData(buffer, length, sock, true, rx, timedOut, drops);
        const int err = errno;
        if (ok)
            seg->QueueDatagram(buffer, MV_STB_RTP_DATAGRAM, length, rx, drops);
        else
            free(buffer);

        const bool verbose = ITGGetMainConf()->VERBOSE.load(std::memory_order_relaxed);
        if (seg->Counters().gopsClosed != gopsSeen) {
            gopsSeen = seg->Counters().gopsClosed;
            gopMark = MonotonicMs();
        }
        if (ok && verbose && MonotonicMs() - gopMark > 10000) {
            MVLOGW("[LIVE] " MV_CID_FMT " suspicious behavior, there is data, but no GOP for about 10 sec...",
                   MV_CID_ARGS(cid));
            gopMark = MonotonicMs();
            record->ReleaseWriting();
        }

        seg->Process();

        if (ok || err == EINTR) continue;
        if (timedOut) {
            MVLOGW("[LIVE] " MV_CID_FMT " timed out for 2 seconds...", MV_CID_ARGS(cid));
        } else if (err == EMSGSIZE) {
            // A datagram of a size that cannot hold whole packets was refused; the socket is fine,
            // so reception goes on at once. Logged at most every 2 seconds.
            const int64_t now = MonotonicMs();
            if (now - lastRefusedLog >= 2000) {
                MVLOGW("[LIVE] " MV_CID_FMT " receive error (%d)...", MV_CID_ARGS(cid), err);
                lastRefusedLog = now;
            }
        } else {
            MVLOGW("[LIVE] " MV_CID_FMT " receive error (%d)...", MV_CID_ARGS(cid), err);
            SleepUnlessStopped(w, 2000);
        }
        record->ReleaseWriting();
        seg->ReceiveFailed();
        if (verbose) gopMark = MonotonicMs();
    }

    if (seg != nullptr) {
        seg->Shutdown();
        delete seg;
    }
    if (sock >= 0) close(sock);
    control->m_request->Push(0, nullptr);
    uint64_t command = 0;
    void* reply = nullptr;
    control->m_reply->Pop(command, reply);
    delete control;
    MVLOGI("[LIVE] " MV_CID_FMT " finished reception...", MV_CID_ARGS(cid));
    // Last action: the manager deletes the writer control once it sees this flag.
    w->finished.store(1);
    return nullptr;
}
