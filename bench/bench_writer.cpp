// GOPs per second through a channel writer pair (front thread, back thread, the storage write
// thread) to a four-block medium in a sparse file, in steady state: blocks fill, are saved and
// the content's own oldest block is recycled; the GOP cache (64 MiB) evicts as it goes. Two GOP
// sizes: one record (the per-GOP overhead) and a one-second GOP at 5 Mbit/s, the latter with
// BULKWRITE on (the default: GOPs are copied into the block's data copy, written when the block
// is left) and off (each GOP written at once). Beside them, a raw pwrite of the same bytes. The
// medium lives in $TMPDIR (default /tmp), so the figures are page-cache figures.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_medium.h"
#include "cfg.h"
#include "gopcache.h"
#include "listeners.h"
#include "mvcommondata.h"
#include "mvgopmem.h"
#include "mvlogger.h"
#include "mvstorageformat.h"
#include "storageinit.h"
#include "storagemgr.h"

namespace {

// The heap set up as the server sets it up at start-up.
[[maybe_unused]] const bool kHeapKept = (MvKeepFreedHeapMemory(), true);

constexpr uint64_t kBlocks = 4;
constexpr int kBatch = 32;  // GOPs made (untimed) and then pushed (timed) per round
constexpr tagMvCID kCid = MvCIDMake(77, 0, 0);

struct Medium : MvBenchMedium {
    Medium() : MvBenchMedium(kBlocks, "mvbenchwriter") {}
};

HSCGop* NewGop(uint64_t number, uint32_t records, MvTime t0) {
    HSCGop* gop = new HSCGop();
    gop->gopId = number;
    gop->startTime = MvTimeAddCentiSecs(t0, number * 100);
    gop->pts = number * 90000;
    gop->dataSize = records * MV_GOP_RECORD_SIZE;
    gop->closedSize = gop->dataSize;
    if (!gop->ReAlloc()) abort();
    memset(gop->data, static_cast<int>(number & 0xFF), gop->dataSize);
    uint8_t pat[188], pmt[188];
    memset(pat, 0x47, sizeof(pat));
    memset(pmt, 0x48, sizeof(pmt));
    gop->patPackets.Add(pat, sizeof(pat));
    gop->pmtPackets.Add(pmt, sizeof(pmt));
    gop->pmtPid = 0x100;
    gop->videoPid = gop->pcrPid = 0x101;
    gop->audioPids = {0x102};
    gop->RebuildPidSet();
    return gop;
}

// A manager that has scanned the medium and one running writer for kCid.
struct Rig {
    Medium medium;
    std::map<uint16_t, tagITGStorageInfo> media;
    std::unique_ptr<HSCStorageManager> mgr;
    ITCTC ctc;
    HSCCIDInfo* record = nullptr;

    Rig() {
        ITGGetMainConf()->READERSLOTS = 1;
        ITGCacheInit(64ull << 20);  // the first call creates it, later ones set the limit
        mgr = std::make_unique<HSCStorageManager>(false);
        media[1].path = medium.path;
        if (MvLoadStorages(*mgr, media) != 1) abort();
        HSCWriterSetup setup;
        setup.manager = mgr.get();
        if (!HSCStartWriterThreadWith(&ctc, setup)) abort();
        ctc.m_request->Push(kCid, nullptr);
        ctc.m_request->Push(1, nullptr);
        uint64_t command = 0;
        void* reply = nullptr;
        if (!ctc.m_reply->Pop(command, reply) || reply == nullptr) abort();
        record = static_cast<HSCCIDInfo*>(reply);
    }
    ~Rig() {
        uint64_t command = 0;
        void* reply = nullptr;
        ctc.m_request->Push(0, nullptr);
        ctc.m_reply->Pop(command, reply);
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr->m_blocks) blocks.push_back(b);
        mgr.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media)
            if (m.descriptor >= 0) close(m.descriptor);
    }
};

void BM_WriterPair(benchmark::State& state) {
    const uint32_t records = static_cast<uint32_t>(state.range(0));
    ITGMainConf* conf = ITGGetMainConf();
    const bool bulkBefore = conf->BULKWRITE.exchange(state.range(1) != 0);
    MvLogEnable(false);
    {
        Rig rig;
        const MvTime t0 = MvTimeCreate(2024, 3, 14, 10, 0, 0, 0);
        uint64_t next = 1;
        std::vector<HSCGop*> batch;
        for (auto _ : state) {
            state.PauseTiming();
            batch.clear();
            for (int i = 0; i < kBatch; ++i) batch.push_back(NewGop(next++, records, t0));
            const uint64_t target = next - 1;
            state.ResumeTiming();
            for (HSCGop* g : batch) rig.ctc.m_request->Push(1, g);
            while (rig.record->m_diskSave.load(std::memory_order_relaxed) < target) usleep(50);
        }
        state.SetItemsProcessed(state.iterations() * kBatch);
        state.SetBytesProcessed(state.iterations() * kBatch * int64_t(records) * MV_GOP_RECORD_SIZE);
    }
    MvLogEnable(true);
    conf->BULKWRITE = bulkBefore;
}
// Arguments: records per GOP, BULKWRITE.
BENCHMARK(BM_WriterPair)
    ->Args({1, 1})
    ->Args({465, 1})
    ->Args({465, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Reference: the same bytes written with one pwrite per GOP, sequentially over 128 MiB.
void BM_RawPwrite_SameBytes(benchmark::State& state) {
    const uint32_t records = static_cast<uint32_t>(state.range(0));
    Medium medium;
    const size_t n = size_t(records) * MV_GOP_RECORD_SIZE;
    std::vector<uint8_t> bytes(n, 0x5A);
    const uint64_t span = kBlocks * kHSCBlockDataSize;
    uint64_t at = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            if (at + n > span) at = 0;
            if (pwrite(medium.fd, bytes.data(), n,
                       static_cast<off_t>(HSCDataOffset(kBlocks, 0) + at)) !=
                static_cast<ssize_t>(n))
                state.SkipWithError("pwrite");
            at += (n + 4095) / 4096 * 4096;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(state.iterations() * kBatch * int64_t(n));
}
BENCHMARK(BM_RawPwrite_SameBytes)->Arg(1)->Arg(465)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
