// Accessor building per GOP, the channel writer's work for every GOP it receives. Target: a
// one-second 5 Mbit/s GOP in under 50 us (20000 GOPs/s on one core).
//
// The GOP is the first GOP of tests/fixtures/h264_aac.ts (25 frames with AAC audio), written
// into 1344-byte records as the segmenter does. For the 5 Mbit/s case every video packet that
// continues a PES is repeated until the GOP holds about 3325 packets (5 Mbit of transport
// packets): the frames stay 25 and the audio stays as it was, only the frames grow.
#include <benchmark/benchmark.h>

#include <memory>

#include "gop_source.h"

namespace {

using benchgop::MakeGop;

void DropAccessors(HSCGop* gop) {
    for (auto& a : gop->accessors) delete a.second;
    gop->accessors.clear();
}

// Builds the five accessors and frees them again (freeing is a small part; pausing the timer
// around it would cost more than it).
void BM_BuildAccessors(benchmark::State& state) {
    std::unique_ptr<HSCGop> gop(MakeGop(static_cast<size_t>(state.range(0))));
    if (!gop) {
        state.SkipWithError("fixture not found");
        return;
    }
    DropAccessors(gop.get());  // the source builds them; each iteration builds them anew
    for (auto _ : state) {
        gop->MvBuildAccessors();
        benchmark::DoNotOptimize(gop->accessors.size());
        DropAccessors(gop.get());
    }
    state.counters["packets"] = static_cast<double>(gop->tsInfos.size());
    state.counters["Mbit"] = static_cast<double>(gop->tsInfos.size()) * 188.0 * 8 / 1e6;
    state.counters["GOPs/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
// 0: the fixture's own GOP (about 100 packets); 3325: a one-second 5 Mbit/s GOP.
BENCHMARK(BM_BuildAccessors)->Arg(0)->Arg(3325)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
