// Statistics monitor and SMON endpoint: the monitor thread rebuilds the report every 5 seconds,
// the listener accepts HTTP connections (at most ten new ones a second) and one reporter thread
// per connection answers each request with the current report.

#include "storagemgr_stats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "gopcache.h"
#include "mvaffinity.h"
#include "mvbuffer.h"
#include "mvlogger.h"
#include "mvsock_addr.h"
#include "mvsockreader.h"
#include "mvsync.h"
#include "mvver.h"
#include "storagemgr_holder.h"

namespace {

constexpr int kListenBacklog = 128;
constexpr int kListenRcvBuf = 102400;
constexpr int kAcceptPauseUs = 100000;  // at most ten new connections a second
const char* const kListenerName = "HSCStorageManagerListenerThread";

MvMutexSync g_statsGuard;
std::string g_report;  // g_statsGuard
std::atomic<bool> g_started{false};

// Appends printf-style text to `out`.
void Appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string& out, const char* format, ...) {
    char stack[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(stack, sizeof(stack), format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof(stack)) {
        out.append(stack, static_cast<size_t>(n));
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), format, again);
        out.append(big.data(), static_cast<size_t>(n));
    }
    va_end(again);
}

std::string TimeText(MvTime t) {
    char text[32];
    return MvTimeToStrR(text, t);
}

// Reads a content counter and subtracts what was read, so that increments made meanwhile stay
// for the next interval.
uint64_t TakeCounter(std::atomic<uint64_t>& c) {
    const uint64_t v = c.load(std::memory_order_relaxed);
    c.fetch_sub(v, std::memory_order_relaxed);
    return v;
}

bool StartDetached(void* (*body)(void*), void* arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, HSC_STATS_STACK);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, body, arg);
    pthread_attr_destroy(&attr);
    errno = rc;
    return rc == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Report

std::string HSCBuildStatisticsReport(HSCStorageManager* mgr,
                                     std::map<uint16_t, tagITGStorageInfo>& storages,
                                     const HSCStatsHeader& header) {
    std::string r;
    r.reserve(4096);
    Appendf(r, "Movrel Nerio Media server %s statistics from (%s) to (%s)\n", header.version.c_str(),
            header.intervalStart.c_str(), header.intervalEnd.c_str());
    r += "================== Startup ==================\n";
    Appendf(r, "Started at: %s\n", TimeText(header.startTime).c_str());
    r += "================== Cache ==================\n";
    Appendf(r, "Cache size: %" PRIu64 "\n", header.cacheSize);
    r += "================== Users ==================\n";
    Appendf(r, "LL queue length: %" PRIu64 "\n", header.requestCount);
    r += "================== Storage ==================\n";
    for (auto& [id, s] : storages) {
        const uint64_t u = s.countU.exchange(0, std::memory_order_relaxed);
        const uint64_t i = s.countI.exchange(0, std::memory_order_relaxed);
        const uint64_t w = s.countW.exchange(0, std::memory_order_relaxed);
        const uint64_t rd = s.countR.exchange(0, std::memory_order_relaxed);
        const uint64_t freeBlocks = mgr != nullptr ? mgr->CIDGetFreeCountForStorage(id) : 0;
        Appendf(r,
                "Storage(%u): U(%" PRIu64 "), I(%" PRIu64 "), W(%" PRIu64 "), R(%" PRIu64
                "), FreeBlocks(%" PRIu64 "), Util(0), MaxUtil(0)\n",
                static_cast<unsigned>(id), u, i, w, rd, freeBlocks);
    }
    r += "================== Channel Input / Output ==================\n";

    std::vector<HSCCIDInfo*> records;
    if (mgr != nullptr) mgr->GetAllCID(records);
    for (HSCCIDInfo* c : records) {
        if (c->IsPool()) continue;
        // The counters of every record are taken, printed or not, so each interval starts at 0.
        const uint64_t diskSave = TakeCounter(c->m_diskSave);
        const uint64_t loadPartial = TakeCounter(c->m_diskLoadPartial);
        const uint64_t loadFull = TakeCounter(c->m_diskLoadFull);
        const uint64_t cacheLoad = TakeCounter(c->m_cacheLoad);
        const uint64_t infoWorks = TakeCounter(c->m_infoWorks);
        const uint64_t miss = TakeCounter(c->m_miss);
        const tagMvCID cid = c->GetCID();
        const uint64_t lastGOP = c->m_lastGOP.load(std::memory_order_relaxed);
        if (lastGOP == 0 && !MvIsVOD(cid)) continue;

        Appendf(r, "Channel (%" PRIu64 ") : (%u)(%u)(%u)\n", static_cast<uint64_t>(cid),
                MvCIDStreamId(cid), MvCIDSubStream(cid), MvCIDContent(cid));
        Appendf(r, "    Active users: %" PRIu64 "\n", c->m_users.load(std::memory_order_relaxed));
        Appendf(r, "    Used storage: %u\n", static_cast<unsigned>(ITGGetStorageForContent(cid)));
        Appendf(r, "    Time to write: %" PRIu64 " sec\n", ITGGetTimeForContent(cid) * 60);
        Appendf(r, "    Last received time: %s\n",
                TimeText(c->m_lastGOPTime.load(std::memory_order_relaxed)).c_str());
        Appendf(r, "    Last received GOP: %" PRIu64 "\n", lastGOP);
        Appendf(r, "    Start time on storage: %s\n",
                TimeText(c->m_startTimeOnStorage.load(std::memory_order_relaxed)).c_str());
        Appendf(r, "    End time on storage: %s\n",
                TimeText(c->m_endTimeOnStorage.load(std::memory_order_relaxed)).c_str());
        Appendf(r, "    HLS window size (if applicable): %d\n",
                c->m_segmentDuration.load(std::memory_order_relaxed));
        Appendf(r, "    Bitrate: %" PRIu64 " bits/s\n", c->m_bitrate.load(std::memory_order_relaxed));
        Appendf(r, "    Writing: %d\n", c->GetWritingStatus() == 1 ? 1 : 0);
        Appendf(r,
                "    R/W statistics: DiskSave(%" PRIu64 ")/DiskLoadPartial(%" PRIu64
                ")/DiskLoadFull(%" PRIu64 ")/CacheLoad(%" PRIu64 ")/InfoWorks(%" PRIu64
                ")/Miss(%" PRIu64 ")\n",
                diskSave, loadPartial, loadFull, cacheLoad, infoWorks, miss);
    }
    return r;
}

std::string HSCBuildStatisticsReply(const std::string& report, const std::string& version,
                                    const std::string& date) {
    std::string reply;
    reply.reserve(report.size() + 256);
    reply += "HTTP/1.1 200 OK\r\n";
    Appendf(reply, "Server: SMON %s\r\n", version.c_str());
    reply += "Content-Type: text/plain\r\n";
    Appendf(reply, "Date: %s\r\n", date.c_str());
    Appendf(reply, "Content-Length: %zu\r\n", report.size());
    reply += "\r\n";
    reply += report;
    return reply;
}

void MvGetStorageManagerStatistics(std::string& out) {
    MvSyncGuard guard(g_statsGuard);
    out = g_report;
}

void MvSetStorageManagerStatistics(const std::string& report) {
    std::string copy(report);  // built outside the lock; the swap inside is constant-time
    MvSyncGuard guard(g_statsGuard);
    g_report.swap(copy);
}

// ---------------------------------------------------------------------------------------------
// Threads

bool MvStartStorageManagerMonitor() {
    if (g_started.exchange(true)) return true;
    bool ok = true;
    if (!StartDetached(&HSCStorageManagerMonitorThread, nullptr)) {
        MVLOGE("[STAT] Could not start the statistics monitor, error (%d)", errno);
        ok = false;
    }
    if (!StartDetached(&HSCStorageManagerListenerThread, nullptr)) {
        MVLOGE("[STAT] Could not start the statistics listener, error (%d)", errno);
        ok = false;
    }
    return ok;
}

void* HSCStorageManagerMonitorThread(void*) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    while (!MvStorageInitialized()) sleep(1);
    sleep(1);
    std::string intervalStart;
    MvHTTPDate(intervalStart, 0);
    ITGMainConf* conf = ITGGetMainConf();
    for (;;) {
        MvMemUpdate();
        HSCStatsHeader header;
        header.version = MvGetVersion();
        header.intervalStart = intervalStart;
        MvHTTPDate(header.intervalEnd, 0);
        header.startTime = MvCfgGetStartTime();
        header.cacheSize = ITGGetCacheSize();
        header.requestCount = HSCPriorityHolderCount();
        // The storage map is filled at the initial load and never changes afterwards.
        MvSetStorageManagerStatistics(
            HSCBuildStatisticsReport(HSCGetChunkManager(), conf->STORAGE, header));
        intervalStart = header.intervalEnd;
        sleep(5);
    }
    return nullptr;
}

int HSCOpenStatisticsListener(uint32_t ip, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        MVLOGI("%s socket : %d", kListenerName, errno);
        return -1;
    }
    auto fail = [fd](const char* format) {
        const int err = errno;
        MVLOGI(format, kListenerName, err);
        close(fd);
        return -1;
    };
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
        return fail("%s SetSockOpt SO_REUSEADDR: %d");
    int rcvbuf = kListenRcvBuf;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf)) != 0)
        return fail("%s SetSockOpt SO_RCVBUF: %d");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = ip;
    addr.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return fail("%s Bind: %d");
    if (listen(fd, kListenBacklog) != 0) {
        const int err = errno;
        MVLOGI("Listen: %d", err);
        close(fd);
        return -1;
    }
    return fd;
}

void HSCRunStatisticsListener(int fd, const std::atomic<bool>* stop) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        const int conn = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (conn < 0) {
            if (stop != nullptr && stop->load()) break;
            MVLOGE("Accept failed with code: %d", errno);
            // A persistent failure (no descriptors left) must not spin the thread.
            usleep(kAcceptPauseUs);
            continue;
        }
        const MvNetAddr from(static_cast<uint32_t>(peer.sin_addr.s_addr), ntohs(peer.sin_port));
        MVLOGI("[STAT] New SM STAT connection from (%s)", from.GetAddrFull());
        MvTCPSock* sock = new MvTCPSock(conn);
        if (!StartDetached(&HSCStorageManagerReporter, sock)) {
            MVLOGE("[STAT] Could not start a statistics reporter, error (%d)", errno);
            delete sock;  // closes the connection
        }
        usleep(kAcceptPauseUs);
    }
    close(fd);
}

void* HSCStorageManagerListenerThread(void*) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    const tagITGListenAddr& monitor = ITGGetMainConf()->MONITOR;
    MVLOGI("[STAT] Starting SM STAT listener on (%s:%d)...", monitor.addr,
           static_cast<int>(monitor.port));
    const int fd = HSCOpenStatisticsListener(monitor.ip, monitor.port);
    if (fd < 0) return nullptr;
    HSCRunStatisticsListener(fd, nullptr);
    return nullptr;
}

void HSCServeStatisticsConnection(MvTCPSock& sock, const HSCStatsConnLimits& limits) {
    const std::string source = sock.GetPeer().GetAddrIP();
    MVLOGI("[SMON] Starting operation with source (%s)", source.c_str());
    sock.SetHWKA();
    // Replies go out with a bounded wait: a client that stops reading loses its connection
    // instead of holding this thread.
    sock.SetTimed(true);
    sock.SetTimeOut(limits.sendTimeoutMs);

    const ITGMainConf* conf = ITGGetMainConf();
    MvReadSockParams params;
    MvBuffer buffer;
    std::string line;
    int lines = 0;
    auto lastInput = std::chrono::steady_clock::now();
    while (sock.IsOpen()) {
        params.m_verbose = conf->VERBOSE.load(std::memory_order_relaxed);
        const int before = buffer.GetLength();
        const bool got = MvReadSocketLine(buffer, line, sock, &params);
        if (!sock.IsOpen()) break;
        const auto now = std::chrono::steady_clock::now();
        if (got || buffer.GetLength() != before) lastInput = now;
        if (!got) {
            if (now - lastInput > std::chrono::milliseconds(limits.idleMs)) sock.Close();
            continue;
        }
        if (!line.empty()) {
            if (++lines > limits.maxLines) {
                MVLOGI("Too complicated HTTP request from source (%s), closing connection",
                       source.c_str());
                sock.Close();
            }
            continue;
        }
        // The header block has ended: whatever was asked, the answer is the current report.
        std::string report;
        MvGetStorageManagerStatistics(report);
        std::string date;
        MvHTTPDate(date, 0);
        const std::string reply = HSCBuildStatisticsReply(report, MvGetVersion(), date);
        if (conf->VERBOSE.load(std::memory_order_relaxed))
            MVLOGI("[STAT] Replying: \n%s\n", reply.c_str());
        sock.GenSend(reply.data(), static_cast<int>(reply.size()));
        lines = 0;
    }
    MVLOGI("Finishing operation with source (%s)", source.c_str());
}

void* HSCStorageManagerReporter(void* arg) {
    MvTCPSock* sock = static_cast<MvTCPSock*>(arg);
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    HSCServeStatisticsConnection(*sock);
    delete sock;
    return nullptr;
}
