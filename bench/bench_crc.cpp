// CRC-32/MPEG-2 throughput: MvCalcCRC32 (carry-less multiply folding where the CPU has it) beside
// the portable slicing-by-8 table path, from one transport packet to a 1 MiB buffer. The GOP extra
// data checked on every storage load and append is around 50 KB.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "mvcrc.h"
#include "mvcrc_internal.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n) {
    std::vector<uint8_t> v(n);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint8_t& b : v) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

void BM_CRC32(benchmark::State& state) {
    if (!MvCRC32UsesClmul()) state.SetLabel("no PCLMULQDQ: table path");
    const std::vector<uint8_t> bytes = RandomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        uint32_t crc = MvCalcCRC32(bytes.data(), static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CRC32)->Arg(188)->Arg(4096)->Arg(65536)->Arg(1 << 20);

// The portable table path (what MvCalcCRC32 was before folding, and still is without PCLMULQDQ).
void BM_CRC32Table(benchmark::State& state) {
    const std::vector<uint8_t> bytes = RandomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        uint32_t crc = MvCalcCRC32Table(bytes.data(), static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CRC32Table)->Arg(188)->Arg(4096)->Arg(65536)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
