// Packet handling of the live segmenter, in-process: fixture streams cut into datagrams and fed
// to TSSSegmenter (datagram cut, look-ahead, tables, key frames, GOP records, audio placement),
// closed GOPs released by the sink. Reported as packets per second; target >= 2 million on one
// core.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cfg.h"
#include "liveinput_segmenter.h"
#include "mvlogger.h"

namespace {

std::vector<uint8_t> Fixture(const std::string& name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DropSink : public TSSGopSink {
public:
    void PushGop(HSCGop* gop) override { delete gop; }
};

// The fixture repeated `loops` times with continuous continuity counters, as 7-packet datagrams.
std::vector<std::vector<uint8_t>> Datagrams(const std::string& name, int loops) {
    const std::vector<uint8_t> ts = Fixture(name);
    std::vector<std::vector<uint8_t>> out;
    int shift[8192] = {0}, first[8192], last[8192];
    for (int& v : first) v = -1;
    for (int& v : last) v = 0;
    std::vector<uint8_t> d;
    for (int pass = 0; pass < loops; ++pass) {
        if (pass > 0)
            for (int pid = 0; pid < 8192; ++pid)
                if (first[pid] >= 0) shift[pid] = (last[pid] + 1 - first[pid] + 32) & 0x0F;
        for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
            uint8_t p[188];
            memcpy(p, &ts[off], 188);
            const int pid = ((p[1] & 0x1F) << 8) | p[2];
            const int cc = p[3] & 0x0F;
            if (pass == 0 && first[pid] < 0) first[pid] = cc;
            const int o = (cc + shift[pid]) & 0x0F;
            p[3] = static_cast<uint8_t>((p[3] & 0xF0) | o);
            last[pid] = o;
            d.insert(d.end(), p, p + 188);
            if (d.size() == 7 * 188) {
                out.push_back(d);
                d.clear();
            }
        }
    }
    return out;
}

void BM_SegmenterPackets(benchmark::State& state, const char* file) {
    MvLogEnableScreen(false);
    const auto datagrams = Datagrams(file, 20);
    ITGMainConf conf;
    conf.IDR = true;
    int64_t packets = 0;
    for (auto _ : state) {
        DropSink sink;
        TSSSegmenter seg(MvCIDMake(1, 0, 0), 1, 0, 4096, &sink, &conf);
        timespec now = {1700000000, 0};
        for (const auto& d : datagrams) {
            uint8_t* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
            memcpy(buf, d.data(), d.size());
            seg.QueueDatagram(buf, MV_STB_RTP_DATAGRAM, static_cast<int>(d.size()), now);
            now.tv_nsec += 5000000;
            if (now.tv_nsec >= 1000000000) {
                now.tv_nsec -= 1000000000;
                ++now.tv_sec;
            }
            seg.Process();
            packets += 7;
        }
        benchmark::DoNotOptimize(seg.Counters().gopsClosed);
    }
    state.counters["packets/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    state.counters["target"] = 2e6;
}

BENCHMARK_CAPTURE(BM_SegmenterPackets, h264_aac, "h264_aac.ts")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SegmenterPackets, hevc_ac3, "hevc_ac3.ts")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SegmenterPackets, mpeg2_mp2, "mpeg2_mp2.ts")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
