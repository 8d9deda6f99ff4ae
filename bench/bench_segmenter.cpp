// Packet handling of the live segmenter, in-process: fixture streams cut into datagrams and fed
// to TSSSegmenter (datagram cut, look-ahead, tables, key frames, GOP records, audio placement),
// closed GOPs released by the sink: a synthetic 5 Mbit/s channel and the (small, 150 kbit/s) fixtures,
// whose per-GOP costs weigh more. Reported as packets per second; target >= 2 million on one core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cfg.h"
#include "liveinput_segmenter.h"
#include "mvcrc.h"
#include "mvgopmem.h"
#include "mvlogger.h"

namespace {

// The heap set up as the server sets it up at start-up.
[[maybe_unused]] const bool kHeapKept = (MvKeepFreedHeapMemory(), true);

std::vector<uint8_t> Fixture(const std::string& name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Holds the last 32 closed GOPs and releases the oldest, like a full GOP cache evicting: the
// steady state of a running server, where each new GOP's pages come from a released one.
class DropSink : public TSSGopSink {
public:
    ~DropSink() override {
        for (HSCGop* g : m_held) delete g;
    }
    void PushGop(HSCGop* gop) override {
        m_held.push_back(gop);
        if (m_held.size() > 32) {
            delete m_held.front();
            m_held.pop_front();
        }
    }

private:
    std::deque<HSCGop*> m_held;
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


// A synthetic 5 Mbit/s channel: H.264-like pictures of 25 kB at 25 fps (an I-only access unit
// delimiter every 25th picture), 192 kbit/s audio in 768-byte PES units, PAT and PMT ten times a
// second. Ten seconds, as 7-packet datagrams.
struct Gen {
    std::vector<uint8_t> ts;
    uint8_t cc[8192] = {0};
    void Packet(uint16_t pid, bool start, const uint8_t* payload, int n) {
        uint8_t p[188];
        memset(p, 0xFF, sizeof(p));
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | (pid >> 8));
        p[2] = static_cast<uint8_t>(pid);
        int at = 4;
        if (n < 184) {
            p[3] = static_cast<uint8_t>(0x30 | cc[pid]);
            p[4] = static_cast<uint8_t>(183 - n);
            if (183 - n > 0) p[5] = 0;
            at = 5 + 183 - n;
        } else {
            p[3] = static_cast<uint8_t>(0x10 | cc[pid]);
        }
        cc[pid] = (cc[pid] + 1) & 0x0F;
        memcpy(p + at, payload, static_cast<size_t>(n));
        ts.insert(ts.end(), p, p + 188);
    }
    void Section(uint16_t pid, std::vector<uint8_t> body, uint8_t table) {
        std::vector<uint8_t> s{0x00, table, 0, 0};
        const uint32_t len = static_cast<uint32_t>(body.size() + 4);
        s[2] = static_cast<uint8_t>(0xB0 | (len >> 8));
        s[3] = static_cast<uint8_t>(len);
        s.insert(s.end(), body.begin(), body.end());
        const uint32_t crc = MvCalcCRC32(s.data() + 1, static_cast<int>(s.size() - 1));
        for (int i = 3; i >= 0; --i) s.push_back(static_cast<uint8_t>(crc >> (8 * i)));
        s.resize(184, 0xFF);
        Packet(pid, true, s.data(), 184);
    }
    void Tables() {
        Section(0, {0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00}, 0x00);
        Section(0x1000, {0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x00,
                         0x0F, 0xE1, 0x01, 0xF0, 0x00},
                0x02);
    }
    void Pes(uint16_t pid, uint8_t sid, uint64_t pts, size_t size, uint8_t aud) {
        std::vector<uint8_t> pes{0x00, 0x00, 0x01, sid, 0, 0, 0x80, 0x80, 0x05,
                                 static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)), static_cast<uint8_t>(pts >> 22),
                                 static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1), static_cast<uint8_t>(pts >> 7),
                                 static_cast<uint8_t>(((pts << 1) & 0xFE) | 1)};
        if (aud != 0) {
            const uint8_t nal[] = {0, 0, 0, 1, 0x09, aud, 0, 0, 1, 0x65, 0x88};
            pes.insert(pes.end(), nal, nal + sizeof(nal));
        }
        pes.resize(size, 0x5A);
        if (sid != 0xE0) {
            pes[4] = static_cast<uint8_t>((size - 6) >> 8);
            pes[5] = static_cast<uint8_t>(size - 6);
        }
        for (size_t off = 0; off < pes.size(); off += 184)
            Packet(pid, off == 0, pes.data() + off, static_cast<int>(std::min<size_t>(184, pes.size() - off)));
    }
};

std::vector<std::vector<uint8_t>> Synthetic5M() {
    Gen g;
    uint64_t apts = 90000;
    for (int frame = 0; frame < 250; ++frame) {
        if (frame % 3 == 0) g.Tables();
        const uint64_t vpts = 90000 + static_cast<uint64_t>(frame) * 3600;
        g.Pes(0x100, 0xE0, vpts, 25000, frame % 25 == 0 ? 0x10 : 0x30);
        while (apts < vpts + 3600) {
            g.Pes(0x101, 0xC0, apts, 768, 0);
            apts += 2880;
        }
    }
    std::vector<std::vector<uint8_t>> out;
    for (size_t off = 0; off < g.ts.size(); off += 7 * 188)
        out.emplace_back(g.ts.begin() + static_cast<long>(off),
                         g.ts.begin() + static_cast<long>(std::min(g.ts.size(), off + 7 * 188)));
    return out;
}

void BM_SegmenterPackets(benchmark::State& state, const char* file) {
    MvLogEnableScreen(false);
    const auto datagrams = file != nullptr ? Datagrams(file, 20) : Synthetic5M();
    ITGMainConf conf;
    conf.IDR = true;
    int64_t packets = 0;
    DropSink sink;
    for (auto _ : state) {
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
            packets += static_cast<int64_t>(d.size() / 188);
        }
        benchmark::DoNotOptimize(seg.Counters().gopsClosed);
    }
    state.counters["packets/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    state.counters["target"] = 2e6;
}

BENCHMARK_CAPTURE(BM_SegmenterPackets, synthetic_5mbit, nullptr)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SegmenterPackets, h264_aac, "h264_aac.ts")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SegmenterPackets, hevc_ac3, "hevc_ac3.ts")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SegmenterPackets, mpeg2_mp2, "mpeg2_mp2.ts")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
