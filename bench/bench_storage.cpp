// The recording storage engine end to end, each figure beside a reference measured in the same
// run on the same file:
//   - appending 1 GiB of real GOPs (with accessors) through the storage manager and its Write
//     and Update threads, block switches and StopChunk flushes included, against plain
//     sequential pwrite calls putting the same bytes at the same offsets (target ratio >= 0.85);
//   - loading a full block at once (LoadBulk) against one pread of the same region, into a
//     buffer that exists and into a fresh mapping (target ratio >= 0.85), with a breakdown of
//     the load's phases.
// GOPs: the first GOP of tests/fixtures/h264_aac.ts as it is (Arg 0, about 17 KB, a tiny
// 160x96 picture), and grown to a one-second 5 Mbit/s GOP (Arg 3325, about 640 KB).
// The medium is a sparse file in $TMPDIR (default /tmp); before every timed write the file is
// synced and dropped from the page cache, so both sides start from the same state.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_medium.h"
#include "cfg.h"
#include "gop_source.h"
#include "gopcache.h"
#include "mvgopmem.h"
#include "mvlogger.h"
#include "mvstorageformat.h"
#include "storageinit.h"
#include "storagemgr.h"

namespace {

// The heap set up as the server sets it up at start-up.
[[maybe_unused]] const bool kHeapKept = (MvKeepFreedHeapMemory(), true);

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

constexpr uint64_t kGiB = 1ull << 30;
const MvTime kT0 = MvTimeCreate(2024, 3, 14, 10, 0, 0, 0);

// A medium formatted as the storage tool formats it (every block free for storage 1).
class Medium : public MvBenchMedium {
public:
    explicit Medium(uint64_t blocks) : MvBenchMedium(blocks, "mvbenchstorage") {}
};

// A storage manager of its own over one medium, loaded as the server's start-up does.
class Manager {
public:
    explicit Manager(const Medium& m) : mgr(false) {
        media[1].path = m.Path();
        MvLoadStorages(mgr, media);
    }
    ~Manager() {
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr.m_blocks) blocks.push_back(b);
        mgr.PrepareTerminate();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media)
            if (m.descriptor >= 0) close(m.descriptor);
    }
    HSCStorageManager mgr;
    std::map<uint16_t, tagITGStorageInfo> media;
};

// One GOP object per size, renumbered for every append (its extra data is rebuilt by the append,
// as for every new GOP of a channel).
HSCGop* TemplateGop(size_t packets) {
    static std::map<size_t, std::unique_ptr<HSCGop>> gops;
    auto& g = gops[packets];
    if (!g) g.reset(benchgop::MakeGop(packets));
    return g.get();
}

// GOP spacing: one second for the 5 Mbit/s GOP; half a second for the small fixture GOP, so
// that its blocks end at 1024 GOPs rather than at 655 s.
uint64_t SpacingCs(size_t packets) { return packets == 0 ? 50 : 100; }

void Renumber(HSCGop* gop, uint64_t n, uint64_t spacing) {
    gop->gopId = n;
    gop->startTime = MvTimeAddCentiSecs(kT0, (n - 1) * spacing);
    gop->extraData.Clean();
}

// Blocks a run of `bytes` of packet data takes, with a margin.
uint64_t BlocksFor(HSCGop* gop, uint64_t bytes, uint64_t spacing) {
    Renumber(gop, 1, spacing);
    HSCBuildGopExtra(gop);
    const uint64_t record = (48 + gop->extraData.GetLength() + gop->dataSize + 4095) / 4096 * 4096;
    uint64_t perBlock = std::min<uint64_t>(1024, 65535 / spacing + 1);
    perBlock = std::min<uint64_t>(perBlock, kHSCBlockDataSize / record);
    const uint64_t gops = (bytes + gop->dataSize - 1) / gop->dataSize;
    return (gops + perBlock - 1) / perBlock + 2;
}

// Set by the request-cost benchmark: appends call the block directly on the calling thread
// instead of going through a request to the medium's Write thread.
bool g_appendInline = false;

struct AppendResult {
    double seconds = 0;
    uint64_t gops = 0;
    uint64_t bytes = 0;  // packet data appended
    double cpuSeconds = 0;  // user and system time of the whole process meanwhile
    double appendSeconds = 0, stopSeconds = 0, startSeconds = 0;  // spent in those calls
    bool ok = true;
};

// The back writer's loop over the manager: append, and on a refusal StopChunk (the flush),
// GetFreeChunk, StartChunk and append again, until `target` bytes of packets are recorded.
AppendResult ManagerAppend(const Medium& m, HSCGop* gop, uint64_t target, uint64_t spacing,
                           bool sync) {
    AppendResult r;
    Manager mg(m);
    HSCStorageManager& mgr = mg.mgr;
    HSCCIDInfo* rec = mgr.GetCIDInfoS(MvCIDMake(77, 0, 0), 1, true, true);
    HSCSingleChunk* block = nullptr;
    rusage u0{};
    getrusage(RUSAGE_SELF, &u0);
    const auto t0 = Clock::now();
    for (uint64_t n = 1; r.bytes < target; ++n) {
        Renumber(gop, n, spacing);
        auto a = Clock::now();
        bool appended = false;
        if (g_appendInline && block != nullptr) {
            gop->cid = rec->GetCID();
            appended = block->AppendGOP(gop);
        } else {
            appended = block != nullptr && mgr.AppendGOP(rec, block, gop);
        }
        r.appendSeconds += Seconds(a, Clock::now());
        if (!appended) {
            auto b = Clock::now();
            if (block != nullptr) mgr.StopChunk(block);
            auto c = Clock::now();
            block = mgr.GetFreeChunk(rec, 1);
            if (block == nullptr || !mgr.StartChunk(rec, block)) {
                r.ok = false;
                break;
            }
            auto d = Clock::now();
            if (!mgr.AppendGOP(rec, block, gop)) {
                r.ok = false;
                break;
            }
            r.appendSeconds += Seconds(d, Clock::now());
            r.stopSeconds += Seconds(b, c);
            r.startSeconds += Seconds(c, d);
        }
        r.bytes += gop->dataSize;
        ++r.gops;
    }
    mgr.StopChunk(block);
    if (sync) fdatasync(m.Fd());
    r.seconds = Seconds(t0, Clock::now());
    rusage u1{};
    getrusage(RUSAGE_SELF, &u1);
    auto tv = [](const timeval& a, const timeval& b) {
        return static_cast<double>(b.tv_sec - a.tv_sec) + (b.tv_usec - a.tv_usec) / 1e6;
    };
    r.cpuSeconds = tv(u0.ru_utime, u1.ru_utime) + tv(u0.ru_stime, u1.ru_stime);
    return r;
}

// What the run left on the medium, block by block in position order: the info record, the
// index and the used part of the data region (nDataSize rounded up to 4096, as a flush writes).
struct BlockImage {
    uint64_t position;
    std::vector<uint8_t> info, index, data;
};
// Runs the calling thread at the channel back writer's real-time priority for one scope (the
// I/O threads run at theirs): the reference pwrite calls then compete for the CPU on the same
// terms. Unprivileged, the request is refused and both sides run at normal priority.
class WriterPriority {
public:
    WriterPriority() {
        pthread_getschedparam(pthread_self(), &m_policy, &m_param);
        sched_param p{};
        p.sched_priority = 16;
        m_changed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
    }
    ~WriterPriority() {
        if (m_changed) pthread_setschedparam(pthread_self(), m_policy, &m_param);
    }

private:
    int m_policy = SCHED_OTHER;
    sched_param m_param{};
    bool m_changed = false;
};

std::vector<BlockImage> ReadImages(const Medium& m) {
    std::vector<BlockImage> images;
    for (uint64_t i = 0; i < m.Blocks(); ++i) {
        BlockImage im;
        im.position = i;
        im.info.resize(kHSCChunkInfoSize);
        im.index.resize(kHSCIndexSize);
        if (pread(m.Fd(), im.info.data(), im.info.size(), static_cast<off_t>(HSCInfoOffset(i))) < 0 ||
            pread(m.Fd(), im.index.data(), im.index.size(), static_cast<off_t>(HSCIndexOffset(i))) < 0)
            abort();
        const HSCChunkInfoV3 info = HSCDecodeChunkInfo(
            std::span<const uint8_t, kHSCChunkInfoSize>(im.info.data(), kHSCChunkInfoSize));
        if (HSCIsFreeBlock(info)) continue;
        im.data.resize((info.nDataSize + 4095) / 4096 * 4096);
        if (pread(m.Fd(), im.data.data(), im.data.size(),
                  static_cast<off_t>(HSCDataOffset(m.Blocks(), i))) !=
            static_cast<ssize_t>(im.data.size()))
            abort();
        images.push_back(std::move(im));
    }
    return images;
}

// The reference: the same bytes with plain sequential pwrite calls, block after block.
double PwriteImages(const Medium& m, const std::vector<BlockImage>& images, bool sync) {
    const auto t0 = Clock::now();
    for (const BlockImage& im : images) {
        if (pwrite(m.Fd(), im.data.data(), im.data.size(),
                   static_cast<off_t>(HSCDataOffset(m.Blocks(), im.position))) !=
                static_cast<ssize_t>(im.data.size()) ||
            pwrite(m.Fd(), im.info.data(), im.info.size(),
                   static_cast<off_t>(HSCInfoOffset(im.position))) !=
                static_cast<ssize_t>(im.info.size()) ||
            pwrite(m.Fd(), im.index.data(), im.index.size(),
                   static_cast<off_t>(HSCIndexOffset(im.position))) !=
                static_cast<ssize_t>(im.index.size()))
            abort();
    }
    if (sync) fdatasync(m.Fd());
    return Seconds(t0, Clock::now());
}

// Arg 0: GOP packets (0: the fixture's GOP); arg 1: BULKWRITE; arg 2: 1 to include an
// fdatasync of the medium at the end of both sides (the data on the disk), 0 for the page-cache
// figures (the data handed to the kernel). Every iteration times both
// sides, the reference first on odd iterations; the machine is shared, so the figures reported
// are the best of each side (and their ratio), with the medians beside them.
void BM_Append1GiB_ManagerVsPwrite(benchmark::State& state) {
    const size_t packets = static_cast<size_t>(state.range(0));
    const bool bulk = state.range(1) != 0;
    const bool sync = state.range(2) != 0;
    HSCGop* gop = TemplateGop(packets);
    if (gop == nullptr) {
        state.SkipWithError("fixture not found");
        return;
    }
    MvLogEnable(false);
    ITGGetMainConf()->VERBOSE.store(false);
    ITGGetMainConf()->BULKWRITE.store(bulk);
    ITGGetMainConf()->READERSLOTS = 1;
    const uint64_t spacing = SpacingCs(packets);
    Medium medium(BlocksFor(gop, kGiB, spacing));

    // The images of what the manager writes, for the reference (taken from a first run).
    medium.ResetInfos();
    AppendResult first = ManagerAppend(medium, gop, kGiB, spacing, false);
    if (!first.ok) {
        state.SkipWithError("append failed");
        MvLogEnable(true);
        return;
    }
    const std::vector<BlockImage> images = ReadImages(medium);
    uint64_t written = 0;
    for (const BlockImage& im : images) written += im.data.size() + kHSCInfoStride;

    std::vector<double> mgrTimes, refTimes;
    double mgrCpu = 0, mgrAppend = 0, mgrStop = 0;
    WriterPriority priority;
    for (auto _ : state) {
        const bool refFirst = mgrTimes.size() % 2 == 1;
        if (refFirst) {
            medium.Cold();
            refTimes.push_back(PwriteImages(medium, images, sync));
        }
        medium.ResetInfos();
        medium.Cold();
        const AppendResult r = ManagerAppend(medium, gop, kGiB, spacing, sync);
        if (!r.ok) {
            state.SkipWithError("append failed");
            break;
        }
        state.SetIterationTime(r.seconds);
        mgrTimes.push_back(r.seconds);
        mgrCpu += r.cpuSeconds;
        mgrAppend += r.appendSeconds;
        mgrStop += r.stopSeconds;
        if (!refFirst) {
            medium.Cold();
            refTimes.push_back(PwriteImages(medium, images, sync));
        }
    }
    MvLogEnable(true);
    if (mgrTimes.empty() || refTimes.empty()) return;
    std::sort(mgrTimes.begin(), mgrTimes.end());
    std::sort(refTimes.begin(), refTimes.end());
    const double mib = static_cast<double>(written) / 1048576.0;
    state.SetBytesProcessed(static_cast<int64_t>(first.bytes * state.iterations()));
    state.counters["GOPs"] = static_cast<double>(first.gops);
    state.counters["blocks"] = static_cast<double>(images.size());
    state.counters["GOP_KiB"] = gop->dataSize / 1024.0;
    state.counters["mgr_best_MiBps"] = mib / mgrTimes.front();
    state.counters["pwrite_best_MiBps"] = mib / refTimes.front();
    state.counters["ratio_best"] = refTimes.front() / mgrTimes.front();
    state.counters["mgr_median_MiBps"] = mib / mgrTimes[mgrTimes.size() / 2];
    const double runs = static_cast<double>(mgrTimes.size());
    state.counters["mgr_cpu_ms"] = mgrCpu * 1000 / runs;
    state.counters["mgr_in_append_ms"] = mgrAppend * 1000 / runs;
    state.counters["mgr_in_stopchunk_ms"] = mgrStop * 1000 / runs;
    state.counters["pwrite_median_MiBps"] = mib / refTimes[refTimes.size() / 2];
}
BENCHMARK(BM_Append1GiB_ManagerVsPwrite)
    ->Args({3325, 1, 0})
    ->Args({3325, 1, 1})
    ->Args({3325, 0, 0})
    ->Args({3325, 0, 1})
    ->Args({0, 1, 0})
    ->Args({0, 0, 0})
    ->Iterations(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What the requests to the Write thread cost: the same 1 GiB appended into the page cache
// through the manager, and with every append made directly on the calling thread (block
// switches and flushes still go through the manager). Arg: BULKWRITE. Counters: best and
// median milliseconds of each side over the iterations, run alternately.
void BM_Append1GiB_RequestCost(benchmark::State& state) {
    HSCGop* gop = TemplateGop(3325);
    if (gop == nullptr) {
        state.SkipWithError("fixture not found");
        return;
    }
    MvLogEnable(false);
    ITGGetMainConf()->VERBOSE.store(false);
    ITGGetMainConf()->BULKWRITE.store(state.range(0) != 0);
    ITGGetMainConf()->READERSLOTS = 1;
    const uint64_t spacing = SpacingCs(3325);
    Medium medium(BlocksFor(gop, kGiB, spacing));
    std::vector<double> t[2];
    WriterPriority priority;
    for (auto _ : state) {
        for (int m = 0; m < 2; ++m) {
            g_appendInline = m == 1;
            medium.ResetInfos();
            medium.Cold();
            const AppendResult r = ManagerAppend(medium, gop, kGiB, spacing, false);
            if (!r.ok) state.SkipWithError("append failed");
            t[m].push_back(r.seconds);
        }
        state.SetIterationTime(t[0].back());
    }
    g_appendInline = false;
    MvLogEnable(true);
    for (auto& v : t) std::sort(v.begin(), v.end());
    if (t[0].empty()) return;
    state.counters["requests_best_ms"] = t[0].front() * 1000;
    state.counters["requests_median_ms"] = t[0][t[0].size() / 2] * 1000;
    state.counters["inline_best_ms"] = t[1].front() * 1000;
    state.counters["inline_median_ms"] = t[1][t[1].size() / 2] * 1000;
}
BENCHMARK(BM_Append1GiB_RequestCost)->Arg(0)->Arg(1)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The phases of appending 1 GiB in BULKWRITE mode, on one block object driven directly (no
// I/O threads; counters: milliseconds per GiB): building each GOP's extra data, the append
// proper (the copy into the block's data copy, whose first touch maps its pages), and the
// flush of every full block (info, index and data copy written, the copy unmapped). What the
// manager's figure adds to their sum is the cost of the requests to the I/O threads.
void BM_Append1GiB_Breakdown(benchmark::State& state) {
    const size_t packets = static_cast<size_t>(state.range(0));
    HSCGop* gop = TemplateGop(packets);
    MvLogEnable(false);
    ITGGetMainConf()->BULKWRITE.store(true);
    const uint64_t spacing = SpacingCs(packets);
    Medium medium(2);
    HSCChunkInitParams p;
    p.storageId = 1;
    p.blockId = 1;
    p.fd = medium.Fd();
    p.blockCount = 2;
    HSCSingleChunk block(p);
    double extra = 0, append = 0, flush = 0;
    for (auto _ : state) {
        uint64_t bytes = 0;
        medium.Cold();
        block.ResetChunk();
        block.SetContentID(MvCIDMake(79, 0, 0));
        for (uint64_t n = 1; bytes < kGiB; ++n) {
            Renumber(gop, n, spacing);
            auto t0 = Clock::now();
            HSCBuildGopExtra(gop);
            auto t1 = Clock::now();
            bool ok = block.AppendGOP(gop);
            auto t2 = Clock::now();
            extra += Seconds(t0, t1);
            append += Seconds(t1, t2);
            if (!ok) {
                auto t3 = Clock::now();
                block.SaveInfo();
                block.ResetChunk();
                block.SetContentID(MvCIDMake(79, 0, 0));
                Renumber(gop, 1, spacing);
                auto t4 = Clock::now();
                flush += Seconds(t3, t4);
                n = 1;
                HSCBuildGopExtra(gop);
                if (!block.AppendGOP(gop)) state.SkipWithError("append");
            }
            bytes += gop->dataSize;
        }
        auto t5 = Clock::now();
        block.SaveInfo();
        flush += Seconds(t5, Clock::now());
    }
    MvLogEnable(true);
    const double n = static_cast<double>(state.iterations());
    state.counters["a_extra_ms"] = extra * 1000 / n;
    state.counters["b_append_ms"] = append * 1000 / n;
    state.counters["c_flush_ms"] = flush * 1000 / n;
}
BENCHMARK(BM_Append1GiB_Breakdown)->Arg(3325)->Arg(0)->Iterations(2)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------------------------------------
// Loading a full block.

// A medium of two blocks whose first is full of the GOP's copies, written by the manager and
// saved; the manager stays for the loads.
struct FullBlock {
    std::unique_ptr<Medium> medium;
    std::unique_ptr<Manager> manager;
    HSCCIDInfo* record = nullptr;
    HSCSingleChunk* block = nullptr;
    size_t readSize = 0;  // the region's used part, as LoadBulk reads it
};

FullBlock& Full(size_t packets) {
    static std::map<size_t, FullBlock> fulls;
    FullBlock& f = fulls[packets];
    if (f.block != nullptr) return f;
    MvLogEnable(false);
    ITGGetMainConf()->BULKWRITE.store(true);
    ITGGetMainConf()->READERSLOTS = 1;
    HSCGop* gop = TemplateGop(packets);
    f.medium = std::make_unique<Medium>(2);
    f.manager = std::make_unique<Manager>(*f.medium);
    HSCStorageManager& mgr = f.manager->mgr;
    f.record = mgr.GetCIDInfoS(MvCIDMake(78, 0, 0), 1, true, true);
    f.block = mgr.GetFreeChunk(f.record, 1);
    mgr.StartChunk(f.record, f.block);
    for (uint64_t n = 1;; ++n) {
        Renumber(gop, n, SpacingCs(packets));
        if (!mgr.AppendGOP(f.record, f.block, gop)) break;
    }
    mgr.StopChunk(f.block);
    f.record->ReleaseWriting();
    f.readSize = (f.block->GetSize() + 4095) / 4096 * 4096;
    MvLogEnable(true);
    return f;
}

void SetBlockCounters(benchmark::State& state, const FullBlock& f) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.readSize));
    state.counters["GOPs"] = static_cast<double>(f.block->GetGOPCount());
    state.counters["MiB"] = static_cast<double>(f.readSize) / 1048576.0;
}

// HSCSingleChunk::LoadBulk as the ReadBulk thread runs it, the GOPs released afterwards.
void BM_LoadBulk_Block(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    MvLogEnable(false);
    for (auto _ : state) {
        std::vector<HSCGop*> list;
        if (!f.block->LoadBulk(list, 0)) state.SkipWithError("bulk load failed");
        for (HSCGop* g : list) g->Release();
    }
    MvLogEnable(true);
    SetBlockCounters(state, f);
}
BENCHMARK(BM_LoadBulk_Block)->Arg(3325)->Arg(0)->Unit(benchmark::kMillisecond);

// The manager's LoadBulk: the request to the ReadBulk thread and back, and every GOP offered to
// the GOP cache (budget 0: each is evicted at once, so the caller's reference frees it).
void BM_LoadBulk_Manager(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    MvGopCache::ITGCacheInit(0);
    MvLogEnable(false);
    for (auto _ : state) {
        std::vector<HSCGop*> list;
        if (!f.manager->mgr.LoadBulk(f.record, f.block->GetBlockID(), list, 0))
            state.SkipWithError("bulk load failed");
        for (HSCGop* g : list) g->Release();
    }
    MvLogEnable(true);
    SetBlockCounters(state, f);
}
BENCHMARK(BM_LoadBulk_Manager)->Arg(3325)->Arg(0)->Unit(benchmark::kMillisecond);

// Reference: one pread of the same region into a buffer that already exists.
void BM_Pread_Region_ExistingBuffer(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> buf(kHSCBlockDataSize);
    for (auto _ : state) {
        if (pread(f.medium->Fd(), buf.data(), f.readSize,
                  static_cast<off_t>(f.block->GetDataOffset())) != static_cast<ssize_t>(f.readSize))
            state.SkipWithError("pread");
        benchmark::DoNotOptimize(buf.data());
    }
    SetBlockCounters(state, f);
}
BENCHMARK(BM_Pread_Region_ExistingBuffer)->Arg(3325)->Arg(0)->Unit(benchmark::kMillisecond);

// A load of a block that is not in the page cache (catch-up of older content): the medium's
// pages are dropped before each load, outside the timed part; `load` is timed.
template <typename Load>
void ColdLoads(benchmark::State& state, FullBlock& f, Load&& load) {
    fdatasync(f.medium->Fd());
    for (auto _ : state) {
        posix_fadvise(f.medium->Fd(), 0, 0, POSIX_FADV_DONTNEED);
        const auto t0 = Clock::now();
        load();
        state.SetIterationTime(Seconds(t0, Clock::now()));
    }
    SetBlockCounters(state, f);
}

void BM_LoadBulk_Block_Cold(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    MvLogEnable(false);
    ColdLoads(state, f, [&] {
        std::vector<HSCGop*> list;
        if (!f.block->LoadBulk(list, 0)) state.SkipWithError("bulk load failed");
        for (HSCGop* g : list) g->Release();
    });
    MvLogEnable(true);
}
BENCHMARK(BM_LoadBulk_Block_Cold)->Arg(3325)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Pread_Region_ExistingBuffer_Cold(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> buf(kHSCBlockDataSize);
    ColdLoads(state, f, [&] {
        if (pread(f.medium->Fd(), buf.data(), f.readSize,
                  static_cast<off_t>(f.block->GetDataOffset())) != static_cast<ssize_t>(f.readSize))
            state.SkipWithError("pread");
        benchmark::DoNotOptimize(buf.data());
    });
}
BENCHMARK(BM_Pread_Region_ExistingBuffer_Cold)->Arg(3325)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond);

// Reference: one pread of the same region into a fresh mapping, unmapped afterwards (loaded
// GOPs need memory of their own: the first touch of new pages is part of any load).
void BM_Pread_Region_FreshMapping(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        void* p = mmap(nullptr, kHSCBlockDataSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("mmap");
            break;
        }
        if (pread(f.medium->Fd(), p, f.readSize, static_cast<off_t>(f.block->GetDataOffset())) !=
            static_cast<ssize_t>(f.readSize))
            state.SkipWithError("pread");
        benchmark::DoNotOptimize(p);
        munmap(p, kHSCBlockDataSize);
    }
    SetBlockCounters(state, f);
}
BENCHMARK(BM_Pread_Region_FreshMapping)->Arg(3325)->Arg(0)->Unit(benchmark::kMillisecond);

// Floor of any load that gives each GOP memory of its own: as many fresh mappings of the GOPs'
// sizes, pre-faulted and filled from a buffer that already holds the bytes, then unmapped.
void BM_FreshGopMappings_Floor(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    std::vector<size_t> sizes;
    for (uint64_t n = f.block->GetStartGOPID(); n <= f.block->GetEndGOPID(); ++n) {
        uint64_t slots = 0;
        f.block->GOPSizeFixed(n, slots);
        const size_t bytes = (slots - 376) / 188 / 7 * MV_GOP_RECORD_SIZE;
        sizes.push_back((bytes + 4095) / 4096 * 4096);
    }
    std::vector<uint8_t> src(kHSCBlockDataSize, 0x47);
    std::vector<void*> maps;
    for (auto _ : state) {
        size_t at = 0;
        for (size_t size : sizes) {
            void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (p == MAP_FAILED) {
                state.SkipWithError("mmap");
                break;
            }
            madvise(p, size, 23 /* MADV_POPULATE_WRITE */);
            memcpy(p, src.data() + at, size);
            at += size;
            maps.push_back(p);
        }
        for (size_t i = 0; i < maps.size(); ++i) munmap(maps[i], sizes[i]);
        maps.clear();
    }
    SetBlockCounters(state, f);
}
BENCHMARK(BM_FreshGopMappings_Floor)->Arg(3325)->Arg(0)->Unit(benchmark::kMillisecond);

// One request to a storage I/O thread and back, with no work in it (a save-info request marked
// as skipped): eventfd created, request queued, thread woken, completion read, eventfd closed.
void BM_RequestRoundTrip(benchmark::State& state) {
    FullBlock& f = Full(0);
    WriterPriority priority;
    for (auto _ : state) {
        HSCPriorityHolder h(HSC_REQ_SAVEINFO);
        h.flagA = 1;
        f.block->AddHolder(&h);
        h.Wait();
        if (h.result == 0) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestRoundTrip)->Unit(benchmark::kMicrosecond);

// The phases of a bulk load as LoadBulk runs them, timed one by one on the same block
// (counters: milliseconds per load): per GOP the reads of its header and extra data, the parse
// of the extra data (CRC, fields, per-packet index, accessors), the GOP's memory from the page
// pool, the read of its packets into it; then releasing the GOPs.
void BM_LoadBulk_Breakdown(benchmark::State& state) {
    FullBlock& f = Full(static_cast<size_t>(state.range(0)));
    HSCSingleChunk& block = *f.block;
    const int fd = f.medium->Fd();
    const uint64_t base = block.GetDataOffset();
    double t[5] = {};
    const char* names[5] = {"a_read_extra", "b_parse_extra", "c_gop_memory", "d_read_packets",
                            "e_release"};
    for (auto _ : state) {
        std::vector<HSCGop*> list;
        for (uint64_t n = block.GetStartGOPID(); n <= block.GetEndGOPID(); ++n) {
            auto a = Clock::now();
            const HSCGopIndexV3* e = block.FindGOPIndexWithID(n);
            const uint64_t at = static_cast<uint64_t>(e->nInfoStart & 0x7FFF) * 1024;
            uint8_t raw[kHSCGopInfoSize];
            if (pread(fd, raw, sizeof(raw), static_cast<off_t>(base + at)) != sizeof(raw))
                state.SkipWithError("pread");
            const HSCGopInfoV3 head = HSCDecodeGopInfo(raw);
            auto* gop = new HSCGop;
            gop->extraData.Allocate(static_cast<int>(head.nExtraSize));
            gop->extraData.m_length = static_cast<int32_t>(head.nExtraSize);
            if (pread(fd, gop->extraData.GetData(), head.nExtraSize,
                      static_cast<off_t>(base + at + kHSCGopInfoSize)) !=
                static_cast<ssize_t>(head.nExtraSize))
                state.SkipWithError("pread");
            auto b = Clock::now();
            if (!HSCParseGopExtra(gop, block.GetContentID(), n)) state.SkipWithError("extra");
            auto c = Clock::now();
            gop->ReAlloc(true);
            auto d = Clock::now();
            if (pread(fd, gop->data, gop->dataSize,
                      static_cast<off_t>(base + at + kHSCGopInfoSize + head.nExtraSize)) !=
                static_cast<ssize_t>(gop->dataSize))
                state.SkipWithError("pread");
            auto g = Clock::now();
            t[0] += Seconds(a, b);
            t[1] += Seconds(b, c);
            t[2] += Seconds(c, d);
            t[3] += Seconds(d, g);
            gop->AddRef();
            list.push_back(gop);
        }
        auto t0 = Clock::now();
        for (HSCGop* g : list) g->Release();
        t[4] += Seconds(t0, Clock::now());
    }
    for (int i = 0; i < 5; ++i)
        state.counters[names[i]] = t[i] * 1000 / static_cast<double>(state.iterations());
    SetBlockCounters(state, f);
}
BENCHMARK(BM_LoadBulk_Breakdown)->Arg(3325)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
