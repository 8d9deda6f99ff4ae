// Key-frame finders over real streams: cost per video packet payload (184 bytes) and per
// segmenter window (the payload gathered at a video unit start, about 1.1 kB), for H.264, HEVC
// and MPEG-2; and the cut of a 1328-byte RTP datagram into seven queued packet records.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "liveinput_rx.h"

namespace {

enum Codec { kH264 = 0, kHevc = 1, kMpeg2 = 2 };
const char* const kFiles[] = {"h264_aac.ts", "hevc_closed_gop.ts", "mpeg2_mp2.ts"};

std::vector<uint8_t> Load(const char* name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Inputs {
    std::vector<std::vector<uint8_t>> payloads;  // every video packet's payload
    std::vector<std::vector<uint8_t>> windows;   // the gathered window of every unit start
};

const Inputs& InputsFor(Codec codec) {
    static Inputs inputs[3];
    static bool loaded[3] = {false, false, false};
    Inputs& in = inputs[codec];
    if (loaded[codec]) return in;
    loaded[codec] = true;
    const std::vector<uint8_t> ts = Load(kFiles[codec]);
    std::deque<MvDVBTSPacketX*> q;
    for (size_t off = 0; off + 7 * 188 <= ts.size(); off += 7 * 188) {
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        memset(buf, 0x80, 12);
        memcpy(buf + 12, ts.data() + off, 7 * 188);
        MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, MV_STB_RTP_DATAGRAM, timespec{}, q);
    }
    uint8_t window[MV_KF_GATHER_SIZE];
    for (size_t i = 0; i < q.size(); ++i) {
        const MvDVBTSPacket& p = q[i]->packet;
        if (p.PID != 0x100 || (p.adaptation_field_control & 1) == 0) continue;
        in.payloads.emplace_back(p.payload, p.payload + p.payload_length);
        if (p.payload_unit_start_indicator) {
            const int n = MvGatherVideoPayload(q, i, 0x100, window, sizeof(window));
            in.windows.emplace_back(window, window + n);
        }
    }
    for (auto* x : q) MvFreePacketX(x);
    return in;
}

bool Find(Codec codec, const std::vector<uint8_t>& d) {
    int state = 0;
    const int n = static_cast<int>(d.size());
    switch (codec) {
    case kH264: return MvFindKFMPEG4(d.data(), n, state, false);
    case kHevc: return MvFindKFMPEG5(d.data(), n, state);
    case kMpeg2: return MvFindKFMPEG2(d.data(), n, state);
    }
    return false;
}

void Run(benchmark::State& state, Codec codec, bool windows) {
    const Inputs& in = InputsFor(codec);
    const auto& items = windows ? in.windows : in.payloads;
    if (items.empty()) {
        state.SkipWithError("fixture not found");
        return;
    }
    size_t i = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& d = items[i];
        benchmark::DoNotOptimize(Find(codec, d));
        bytes += static_cast<int64_t>(d.size());
        if (++i == items.size()) i = 0;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(bytes);
}

void BM_FindKF_H264_Packet(benchmark::State& s) { Run(s, kH264, false); }
void BM_FindKF_HEVC_Packet(benchmark::State& s) { Run(s, kHevc, false); }
void BM_FindKF_MPEG2_Packet(benchmark::State& s) { Run(s, kMpeg2, false); }
void BM_FindKF_H264_Window(benchmark::State& s) { Run(s, kH264, true); }
void BM_FindKF_HEVC_Window(benchmark::State& s) { Run(s, kHevc, true); }
void BM_FindKF_MPEG2_Window(benchmark::State& s) { Run(s, kMpeg2, true); }
BENCHMARK(BM_FindKF_H264_Packet);
BENCHMARK(BM_FindKF_HEVC_Packet);
BENCHMARK(BM_FindKF_MPEG2_Packet);
BENCHMARK(BM_FindKF_H264_Window);
BENCHMARK(BM_FindKF_HEVC_Window);
BENCHMARK(BM_FindKF_MPEG2_Window);

// One iteration cuts one datagram of seven packets into records and frees them again.
void BM_QueueDatagram(benchmark::State& state) {
    const std::vector<uint8_t> ts = Load(kFiles[kH264]);
    if (ts.size() < 7 * 188) {
        state.SkipWithError("fixture not found");
        return;
    }
    std::deque<MvDVBTSPacketX*> q;
    const timespec now = {};
    size_t off = 0;
    for (auto _ : state) {
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        memset(buf, 0x80, 12);
        memcpy(buf + 12, ts.data() + off, 7 * 188);
        benchmark::DoNotOptimize(MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, MV_STB_RTP_DATAGRAM, now, q));
        while (!q.empty()) {
            MvFreePacketX(q.front());
            q.pop_front();
        }
        off += 7 * 188;
        if (off + 7 * 188 > ts.size()) off = 0;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_QueueDatagram);

}  // namespace

BENCHMARK_MAIN();
