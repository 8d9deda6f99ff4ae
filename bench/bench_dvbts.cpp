// Transport packet parsing over a real stream (target: under 15 ns per packet), and PES
// header parsing of the stream's video and audio unit starts.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mvdvbts_misc.h"

namespace {

const std::vector<uint8_t>& Stream() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/h264_aac.ts", std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    return bytes;
}

// One iteration parses one packet; the packets of the fixture are taken in turn.
void BM_DVBParseTS(benchmark::State& state) {
    const std::vector<uint8_t>& ts = Stream();
    const size_t packets = ts.size() / kMvTSPacketSize;
    if (packets == 0) {
        state.SkipWithError("fixture h264_aac.ts not found");
        return;
    }
    size_t i = 0;
    MvDVBTSPacket pkt;
    for (auto _ : state) {
        const bool ok = MvDVBParseTS(ts.data() + i * kMvTSPacketSize, &pkt);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(pkt);
        if (++i == packets) i = 0;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DVBParseTS);

// One iteration parses the PES header of one unit start (video and audio in stream order).
void BM_DVBParsePES(benchmark::State& state) {
    const bool ptsOnly = state.range(0) != 0;
    std::vector<std::pair<const uint8_t*, int>> units;
    const std::vector<uint8_t>& ts = Stream();
    for (size_t off = 0; off + kMvTSPacketSize <= ts.size(); off += kMvTSPacketSize) {
        MvDVBTSPacket pkt;
        if (MvDVBParseTS(ts.data() + off, &pkt) && pkt.payload_unit_start_indicator &&
            (pkt.PID == 0x100 || pkt.PID == 0x101))
            units.emplace_back(pkt.payload, pkt.payload_length);
    }
    if (units.empty()) {
        state.SkipWithError("no PES units");
        return;
    }
    size_t i = 0;
    MvDVBPESHdr hdr;
    for (auto _ : state) {
        const bool ok = MvDVBParsePES(units[i].first, units[i].second, &hdr, ptsOnly);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(hdr);
        if (++i == units.size()) i = 0;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DVBParsePES)->ArgName("ptsOnly")->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
