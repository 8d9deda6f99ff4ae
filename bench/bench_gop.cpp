// Per-GOP costs of the GOP object: the life of a live GOP (open with the full 8 MiB
// reservation, fill, give the tail back, release) and the language lookup used per audio stream.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "mvcommondata.h"

static void BM_LiveGopLifeCycle(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    MvBuffer pat, pmt, ecm;
    std::vector<uint8_t> table(188, 0x47);
    pat.Add(table.data(), 188);
    pmt.Add(table.data(), 188);
    HSCPIDData pids;
    pids.pmtPid = 0x100;
    pids.videoPid = 0x101;
    pids.audioPids = {0x102};
    uint64_t next = 0;
    std::vector<uint8_t> record(MV_GOP_RECORD_SIZE);
    uint16_t seq = 0;
    for (auto _ : state) {
        HSCGop* gop = MvInitGOP(MvCIDMake(1, 0, 0), nullptr, next, pat, pmt, ecm, pids,
                                MV_GOP_CAPACITY_LIVE);
        for (int r = 0; r < records; ++r) {
            MvInitRTPData(timespec{1, 0}, record.data(), ++seq);
            gop->AppendRecord(record.data());
        }
        gop->closedSize = gop->dataSize;
        gop->ReMap();
        gop->AddRef();
        gop->Release();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(records) * MV_GOP_RECORD_SIZE);
}
// 2 s of 4 Mbit/s is about 740 records.
BENCHMARK(BM_LiveGopLifeCycle)->Arg(0)->Arg(740)->Arg(6241);

static void BM_DuplicateGop(benchmark::State& state) {
    HSCGop gop;
    gop.accessorVersion = 1;
    gop.dataSize = 740 * MV_GOP_RECORD_SIZE;
    gop.ReAlloc();
    memset(gop.data, 1, gop.dataSize);
    gop.tsInfos.resize(740 * 7);
    for (auto _ : state) {
        HSCGop* copy = gop.Duplicate();
        benchmark::DoNotOptimize(copy->data);
        delete copy;
    }
}
BENCHMARK(BM_DuplicateGop);

static void BM_LangLookup(benchmark::State& state) {
    const char* codes[] = {"eng", "GER", "zul", "xyz"};
    unsigned sum = 0;
    for (auto _ : state)
        for (const char* c : codes) sum += HSCGetLangIDByLongName(c);
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_LangLookup);

BENCHMARK_MAIN();
