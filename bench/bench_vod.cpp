// VOD ingest rate: a whole title of one-second 5 Mbit/s GOPs pushed through a connection thread
// (socket pair), assembled, handed to a real writer pair and stored on a medium in $TMPDIR
// (default /tmp; page-cache figures). With the 30 ms pause after each GOP the bound is 33.3
// GOPs per second; the figure says how close the server comes to it. Without the pause the same
// run shows what the rest of the path costs.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_medium.h"
#include "cfg.h"
#include "gopcache.h"
#include "mvcrc.h"
#include "mvdvbts_misc.h"
#include "mvgopmem.h"
#include "mvlogger.h"
#include "mvstorageformat.h"
#include "storageinit.h"
#include "storagemgr.h"
#include "storagemgr_monitor.h"
#include "vodingest.h"

namespace {

// The heap set up as the server sets it up at start-up.
[[maybe_unused]] const bool kHeapKept = (MvKeepFreedHeapMemory(), true);

constexpr uint64_t kBlocks = 4;
constexpr int kGops = 40;
constexpr int kPacketsPerGop = 3325;  // one second at 5 Mbit/s
constexpr tagMvCID kCid = 100000900;
constexpr uint16_t kVideo = 0x100, kAudio = 0x101, kPmt = 0x1000;

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Packet(uint16_t pid, bool start, uint32_t n) {
    Bytes p(188);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (n & 0x0F));
    for (int i = 4; i < 188; ++i) p[i] = static_cast<uint8_t>(n + i);
    if (start) {
        const uint8_t pes[] = {0, 0, 1, static_cast<uint8_t>(pid == kVideo ? 0xE0 : 0xC0), 0, 0,
                               0x80, 0x80, 5, 0x21, 0, 1, 0, 1};
        memcpy(&p[4], pes, sizeof(pes));
    }
    return p;
}

Bytes PmtPacket() {
    Bytes sec = {0x02, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0,
                 0x1B, 0xE1, 0x00, 0xF0, 0, 0x0F, 0xE1, 0x01, 0xF0, 0};
    sec[2] = static_cast<uint8_t>(sec.size() - 3 + 4);
    const uint32_t crc = MvCalcCRC32(sec.data(), static_cast<int>(sec.size()));
    for (int i = 3; i >= 0; --i) sec.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x40 | (kPmt >> 8);
    p[2] = kPmt & 0xFF;
    p[3] = 0x10;
    p[4] = 0;
    memcpy(&p[5], sec.data(), sec.size());
    return p;
}

// The whole byte stream of the title.
Bytes Title(size_t& payloadBytes) {
    Bytes b;
    Put(b, kCid, 8);
    Put(b, 1, 8);
    Put(b, kGops, 4);
    Put(b, 1, 8);
    Bytes pat(188);
    MvDVBCreatePAT(pat.data(), 1, kPmt, 0);
    const Bytes pmt = PmtPacket();
    for (const Bytes* t : std::initializer_list<const Bytes*>{&pat, &pmt}) {
        Put(b, t->size(), 4);
        b.insert(b.end(), t->begin(), t->end());
    }
    Put(b, 0, 4);
    Bytes pids;
    for (uint16_t v : {kPmt, kVideo, kVideo, static_cast<uint16_t>(0xFFFF)}) Put(pids, v, 2);
    Put(pids, 1, 4);
    Put(pids, kAudio, 2);
    Put(pids, 0, 4);
    Put(pids, 0, 4);
    Put(b, pids.size(), 4);
    b.insert(b.end(), pids.begin(), pids.end());
    payloadBytes = 0;
    uint32_t n = 0;
    for (int g = 0; g < kGops; ++g) {
        for (int m = 0; m * 7 < kPacketsPerGop; ++m) {
            Put(b, 0, 2);
            Put(b, m == 0 ? 1 : 0, 2);
            Put(b, 0, 8);
            Put(b, 0, 8);
            Put(b, 946684800 + g, 8);
            Put(b, 0, 8);
            for (int i = 0; i < 7; ++i, ++n) {
                const int k = m * 7 + i;
                const bool audio = k % 10 == 9;
                const Bytes p = Packet(audio ? kAudio : kVideo, k == 0 || k == 9 || k % 1000 == 0, n);
                b.insert(b.end(), p.begin(), p.end());
            }
            payloadBytes += 1316;
        }
    }
    Put(b, 1, 2);
    return b;
}

struct Medium : MvBenchMedium {
    Medium() : MvBenchMedium(kBlocks, "mvbenchvod") {}
};

struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    HSCVODOutcome outcome = HSCVODOutcome::Refused;
    static void Report(void* arg, HSCVODOutcome o) {
        Done* d = static_cast<Done*>(arg);
        std::lock_guard<std::mutex> lock(d->m);
        d->outcome = o;
        d->done = true;
        d->cv.notify_all();
    }
};

void BM_VodIngestTitle(benchmark::State& state) {
    const uint32_t pauseUs = static_cast<uint32_t>(state.range(0));
    MvLogEnable(false);
    ITGMainConf* conf = ITGGetMainConf();
    conf->READERSLOTS = 2;
    ITGCacheInit(64ull << 20);
    Medium medium;
    std::map<uint16_t, tagITGStorageInfo> media;
    media[1].path = medium.path;
    auto mgr = std::make_unique<HSCStorageManager>(false);
    if (MvLoadStorages(*mgr, media) != 1) abort();
    size_t payload = 0;
    const Bytes title = Title(payload);

    double seconds = 0;
    for (auto _ : state) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
        Done done;
        HSCVODSetup setup;
        setup.manager = mgr.get();
        setup.gopPauseUs = pauseUs;
        setup.onDone = Done::Report;
        setup.onDoneArg = &done;
        const auto t0 = std::chrono::steady_clock::now();
        if (!HSCStartVODThreadWith(new MvTCPSock(fds[0]), setup)) abort();
        std::thread client([&] {
            uint8_t ready[4];
            if (recv(fds[1], ready, 4, MSG_WAITALL) != 4) abort();
            const uint8_t* p = title.data();
            size_t left = title.size();
            while (left > 0) {
                const ssize_t rc = send(fds[1], p, left, MSG_NOSIGNAL);
                if (rc <= 0) abort();
                p += rc;
                left -= static_cast<size_t>(rc);
            }
            uint8_t byte;
            while (recv(fds[1], &byte, 1, 0) > 0) {
            }
        });
        {
            std::unique_lock<std::mutex> lock(done.m);
            done.cv.wait(lock, [&] { return done.done; });
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        client.join();
        close(fds[1]);
        if (done.outcome != HSCVODOutcome::Complete) abort();
        state.SetIterationTime(s);
        seconds += s;

        // Untimed: the title's blocks go back to the pool for the next push.
        HSCCIDInfo* record = mgr->GetCIDInfoNOS(kCid);
        uint64_t count = 0;
        record->ForceFreeAll(count);
        HSCRetentionState rs;
        HSCRetentionStart(*record, rs);
        while (!record->WaitFreeAll()) HSCRetentionPass(*mgr, *record, rs, MvTimeNow());
    }
    const double gops = static_cast<double>(kGops) * static_cast<double>(state.iterations());
    state.counters["GOP/s"] = gops / seconds;
    state.counters["Mbit/s"] =
        static_cast<double>(payload) * 8.0 * static_cast<double>(state.iterations()) / seconds / 1e6;
    if (pauseUs != 0) state.counters["of_bound"] = gops / seconds / (1e6 / pauseUs);

    std::vector<HSCSingleChunk*> blocks;
    for (auto& [id, b] : mgr->m_blocks) blocks.push_back(b);
    mgr.reset();
    for (HSCSingleChunk* b : blocks) delete b;
    for (auto& [id, m] : media)
        if (m.descriptor >= 0) close(m.descriptor);
    MvLogEnable(true);
}
BENCHMARK(BM_VodIngestTitle)->Arg(30000)->Arg(0)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
