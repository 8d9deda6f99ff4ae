// Storage block I/O per GOP: appending a 1 MB GOP through the data copy (BULKWRITE) and directly
// to the medium, loading it back (one GOP, and a whole block), each beside a raw pwrite/pread of
// the same bytes at the same offsets; and the GOP extra data codec for a GOP with accessors.
// The medium is a sparse file in $TMPDIR (default /tmp), so the figures are page-cache figures.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_medium.h"
#include "cfg.h"
#include "mvcommondata.h"
#include "mvlogger.h"
#include "mvstorageformat.h"
#include "storagemgr_block.h"

namespace {

constexpr uint32_t kRecords = 780;  // 1,048,320 bytes of packets
constexpr uint64_t kBlocks = 2;

struct Medium : MvBenchMedium {
    Medium() : MvBenchMedium(kBlocks, "mvbenchblock") {}
    std::unique_ptr<HSCSingleChunk> Block(uint64_t position) const {
        HSCChunkInitParams p;
        p.storageId = 1;
        p.blockId = position + 1;
        p.position = position;
        p.fd = fd;
        p.blockCount = kBlocks;
        return std::make_unique<HSCSingleChunk>(p);
    }
};

Medium& TheMedium() {
    static Medium medium;
    return medium;
}

MvTime T0() { return MvTimeCreate(2024, 3, 14, 10, 0, 0, 0); }

std::unique_ptr<HSCGop> MakeGop(uint64_t number, uint32_t records, bool accessors) {
    auto gop = std::make_unique<HSCGop>();
    gop->gopId = number;
    gop->startTime = MvTimeAddCentiSecs(T0(), number * 100);
    gop->dataSize = records * MV_GOP_RECORD_SIZE;
    gop->closedSize = gop->dataSize;
    gop->ReAlloc();
    for (uint32_t i = 0; i < gop->dataSize; ++i) gop->data[i] = static_cast<uint8_t>(i * 13);
    std::vector<uint8_t> table(188, 0x47);
    gop->patPackets.Add(table.data(), 188);
    gop->pmtPackets.Add(table.data(), 188);
    gop->pmtPid = 0x100;
    gop->videoPid = 0x101;
    gop->audioPids = {0x102};
    if (accessors) {
        gop->accessorVersion = 1;
        gop->tsInfos.resize(records * 7);
        for (uint32_t id : {3u, 4u, 5u}) {
            MvAccessor* acc = gop->MvAccessorAllocate(id, false);
            acc->entries.resize(records / 4);
            for (uint32_t i = 0; i < records * 4; ++i) acc->buffer.Add(static_cast<uint8_t>(i));
        }
    }
    return gop;
}

// Starts block 0 as a writer would, in the given mode.
std::unique_ptr<HSCSingleChunk> WriterBlock(bool bulk) {
    ITGGetMainConf()->VERBOSE.store(false);
    ITGGetMainConf()->BULKWRITE.store(bulk);
    auto block = TheMedium().Block(0);
    block->ResetChunk();
    block->SetContentID(MvCIDMake(7, 0, 0));
    return block;
}

void AppendLoop(benchmark::State& state, bool bulk) {
    auto block = WriterBlock(bulk);
    auto gop = MakeGop(1, kRecords, false);
    uint64_t n = 1;
    for (auto _ : state) {
        gop->gopId = n;
        gop->startTime = MvTimeAddCentiSecs(T0(), n * 100);
        if (!block->AppendGOP(gop.get())) {
            // Block full (about 31 GOPs): start it again in memory, outside the timing.
            state.PauseTiming();
            block->ResetChunk();
            n = 1;
            gop->gopId = n;
            gop->startTime = T0();
            state.ResumeTiming();
            if (!block->AppendGOP(gop.get())) state.SkipWithError("append failed");
        }
        ++n;
    }
    block->FreeSpace();
    state.SetBytesProcessed(state.iterations() * int64_t(gop->dataSize));
}

void BM_AppendGop_BulkWrite(benchmark::State& state) { AppendLoop(state, true); }
void BM_AppendGop_Direct(benchmark::State& state) { AppendLoop(state, false); }

// Reference: the same bytes (header, extra data, packets) with one pwrite at the record offsets
// a direct append uses.
void BM_RawPwrite_SameBytes(benchmark::State& state) {
    auto gop = MakeGop(1, kRecords, false);
    HSCBuildGopExtra(gop.get());
    const size_t n = 48 + gop->extraData.GetLength() + gop->dataSize;
    std::vector<uint8_t> bytes(n, 0x5A);
    const uint64_t base = HSCDataOffset(kBlocks, 0);
    const uint64_t stride = (n + 4095) / 4096 * 4096;
    uint64_t k = 0;
    for (auto _ : state) {
        if ((k + 1) * stride > 0x1FFFFFF) k = 0;
        if (pwrite(TheMedium().fd, bytes.data(), n, static_cast<off_t>(base + k * stride)) !=
            static_cast<ssize_t>(n))
            state.SkipWithError("pwrite");
        ++k;
    }
    state.SetBytesProcessed(state.iterations() * int64_t(gop->dataSize));
}

// A saved block of 1 MB GOPs for the load figures.
HSCSingleChunk& LoadedBlock() {
    static std::unique_ptr<HSCSingleChunk> block = [] {
        auto b = WriterBlock(false);
        for (uint64_t n = 1;; ++n) {
            auto gop = MakeGop(n, kRecords, false);
            if (!b->AppendGOP(gop.get())) break;
        }
        b->SaveInfo();
        return b;
    }();
    return *block;
}

void BM_LoadGOPDirect(benchmark::State& state) {
    HSCSingleChunk& block = LoadedBlock();
    const uint64_t count = block.GetGOPCount();
    uint64_t n = 0;
    for (auto _ : state) {
        HSCGop gop;
        if (!block.LoadGOPDirect(1 + n % count, &gop)) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(gop.data);
        ++n;
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kRecords) * MV_GOP_RECORD_SIZE);
}

// Reference: one pread of the same record into a buffer that already exists.
void BM_RawPread_SameBytes(benchmark::State& state) {
    HSCSingleChunk& block = LoadedBlock();
    const uint64_t count = block.GetGOPCount();
    std::vector<uint8_t> buf(48 + 4096 + kRecords * MV_GOP_RECORD_SIZE);
    uint64_t n = 0;
    for (auto _ : state) {
        const HSCGopIndexV3* e = block.FindGOPIndexWithID(1 + n % count);
        const uint64_t at = block.GetDataOffset() + (e->nInfoStart & 0x7FFFu) * 1024ull;
        if (pread(TheMedium().fd, buf.data(), buf.size(), static_cast<off_t>(at)) <= 0)
            state.SkipWithError("pread");
        benchmark::DoNotOptimize(buf.data());
        ++n;
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kRecords) * MV_GOP_RECORD_SIZE);
}

// Reference: the same pread into a fresh anonymous mapping, as every loaded GOP needs its own
// (the cost of first touching new pages is part of any load into a new GOP).
void BM_RawPread_FreshMapping(benchmark::State& state) {
    HSCSingleChunk& block = LoadedBlock();
    const uint64_t count = block.GetGOPCount();
    const size_t n = 48 + 4096 + kRecords * MV_GOP_RECORD_SIZE;
    const size_t mapped = (n + 4095) / 4096 * 4096;
    uint64_t k = 0;
    for (auto _ : state) {
        void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("mmap");
            break;
        }
        const HSCGopIndexV3* e = block.FindGOPIndexWithID(1 + k % count);
        const uint64_t at = block.GetDataOffset() + (e->nInfoStart & 0x7FFFu) * 1024ull;
        if (pread(TheMedium().fd, p, n, static_cast<off_t>(at)) <= 0) state.SkipWithError("pread");
        benchmark::DoNotOptimize(p);
        munmap(p, mapped);
        ++k;
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kRecords) * MV_GOP_RECORD_SIZE);
}

void BM_LoadBulk_WholeBlock(benchmark::State& state) {
    HSCSingleChunk& block = LoadedBlock();
    MvLogEnable(false);  // one information line per bulk load
    for (auto _ : state) {
        std::vector<HSCGop*> list;
        if (!block.LoadBulk(list, 0)) state.SkipWithError("bulk load failed");
        for (HSCGop* g : list) g->Release();
    }
    MvLogEnable(true);
    state.SetBytesProcessed(state.iterations() * int64_t(kHSCBlockDataSize));
}

// Reference: one pread of the 32 MiB region into an existing buffer.
void BM_RawPread_WholeRegion(benchmark::State& state) {
    HSCSingleChunk& block = LoadedBlock();
    std::vector<uint8_t> buf(kHSCBlockDataSize);
    for (auto _ : state) {
        if (pread(TheMedium().fd, buf.data(), buf.size(), static_cast<off_t>(block.GetDataOffset())) !=
            static_cast<ssize_t>(buf.size()))
            state.SkipWithError("pread");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kHSCBlockDataSize));
}

void BM_BuildGopExtra(benchmark::State& state) {
    auto gop = MakeGop(5, kRecords, true);
    for (auto _ : state) {
        gop->extraData.Clean();
        HSCBuildGopExtra(gop.get());
    }
    state.SetBytesProcessed(state.iterations() * int64_t(gop->extraData.GetLength()));
}

void BM_ParseGopExtra(benchmark::State& state) {
    auto gop = MakeGop(5, kRecords, true);
    HSCBuildGopExtra(gop.get());
    HSCGop target;
    for (auto _ : state) {
        target.extraData.Clean();
        target.extraData.Add(&gop->extraData);
        if (!HSCParseGopExtra(&target, 0, 5)) state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(state.iterations() * int64_t(gop->extraData.GetLength()));
}

}  // namespace

BENCHMARK(BM_AppendGop_BulkWrite);
BENCHMARK(BM_AppendGop_Direct);
BENCHMARK(BM_RawPwrite_SameBytes);
BENCHMARK(BM_LoadGOPDirect);
BENCHMARK(BM_RawPread_SameBytes);
BENCHMARK(BM_RawPread_FreshMapping);
BENCHMARK(BM_LoadBulk_WholeBlock);
BENCHMARK(BM_RawPread_WholeRegion);
BENCHMARK(BM_BuildGopExtra);
BENCHMARK(BM_ParseGopExtra);

BENCHMARK_MAIN();
