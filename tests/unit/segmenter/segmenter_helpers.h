// Helpers of the segmenter tests: a sink that keeps the closed GOPs, a feeder that cuts a
// transport stream into datagrams (looping it with continuous counters when asked), a builder of
// small synthetic streams, and readers of what a GOP holds.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cfg.h"
#include "liveinput.h"
#include "liveinput_segmenter.h"
#include "mvcrc.h"

namespace segtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Fixture(const std::string& name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs fn and returns what the logger printed meanwhile.
template <typename Fn>
std::string Captured(Fn fn) {
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

inline int CountOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

class Sink : public TSSGopSink {
public:
    ~Sink() override {
        for (HSCGop* g : gops) delete g;
    }
    void PushGop(HSCGop* gop) override { gops.push_back(gop); }
    uint64_t PrimaryGopForPts(uint64_t pts, uint64_t tolerance, uint64_t& distance) override {
        ++lookups;
        distance = UINT64_MAX;
        uint64_t found = 0;
        for (const auto& kv : primary) {
            const uint64_t d = kv.first > pts ? kv.first - pts : pts - kv.first;
            if (d < tolerance && d < distance) {
                distance = d;
                found = kv.second;
            }
        }
        return found;
    }
    void ClearWriting() override { ++writingCleared; }
    void Pause(int) override { ++pauses; }

    std::vector<HSCGop*> gops;
    std::map<uint64_t, uint64_t> primary;  // PTS -> GOP number of the primary stream
    int lookups = 0;
    int pauses = 0;
    int writingCleared = 0;
};

inline uint16_t PidOf(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

// Feeds a stream to a segmenter in datagrams of seven packets, `stepNs` apart.
class Feeder {
public:
    explicit Feeder(TSSSegmenter& seg, int64_t stepNs = 20000000) : m_seg(seg), m_step(stepNs) {}

    // Feeds `ts` `loops` times. From the second pass on, continuity counters are shifted so that
    // every PID continues where the previous pass ended.
    void Feed(const Bytes& ts, int loops = 1, int packetsPerDatagram = 7) {
        const size_t n = ts.size() / 188;
        std::map<uint16_t, int> first, shift, last;
        for (int pass = 0; pass < loops; ++pass) {
            if (pass > 0)
                for (auto& kv : first) shift[kv.first] = (last[kv.first] + 1 - kv.second + 32) & 0x0F;
            Bytes dgram;
            for (size_t i = 0; i < n; ++i) {
                Bytes pkt(ts.begin() + static_cast<long>(i * 188), ts.begin() + static_cast<long>(i * 188 + 188));
                const uint16_t pid = PidOf(pkt.data());
                const int cc = pkt[3] & 0x0F;
                if (pass == 0 && !first.count(pid)) first[pid] = cc;
                const int out = (cc + shift[pid]) & 0x0F;
                pkt[3] = static_cast<uint8_t>((pkt[3] & 0xF0) | out);
                last[pid] = out;
                dgram.insert(dgram.end(), pkt.begin(), pkt.end());
                if (dgram.size() == static_cast<size_t>(188 * packetsPerDatagram)) {
                    Datagram(dgram);
                    dgram.clear();
                }
            }
            if (!dgram.empty()) Datagram(dgram);
        }
    }

    void Datagram(const Bytes& bytes) {
        if (bytes.size() > 7 * 188 && bytes.size() % 188 == 0) {
            for (size_t off = 0; off < bytes.size(); off += 7 * 188)
                Datagram(Bytes(bytes.begin() + static_cast<long>(off),
                               bytes.begin() + static_cast<long>(std::min(bytes.size(), off + 7 * 188))));
            return;
        }
        uint8_t* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        const size_t len = std::min<size_t>(bytes.size(), MV_STB_RTP_DATAGRAM);
        memcpy(buf, bytes.data(), len);
        m_seg.QueueDatagram(buf, MV_STB_RTP_DATAGRAM, static_cast<int>(len), m_now);
        m_now.tv_nsec += m_step;
        while (m_now.tv_nsec >= 1000000000) {
            m_now.tv_nsec -= 1000000000;
            ++m_now.tv_sec;
        }
        m_seg.Process();
    }

    timespec m_now = {1700000000, 0};

private:
    TSSSegmenter& m_seg;
    int64_t m_step;
};

// ---------------------------------------------------------------------------------------------
// Synthetic streams.

inline void Put16(Bytes* b, uint32_t v) {
    b->push_back(static_cast<uint8_t>(v >> 8));
    b->push_back(static_cast<uint8_t>(v));
}

inline Bytes Section(uint8_t tableId, const Bytes& body) {
    Bytes s{tableId, 0, 0};
    const uint32_t len = static_cast<uint32_t>(body.size() + 4);
    s[1] = static_cast<uint8_t>(0xB0 | ((len >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(len);
    s.insert(s.end(), body.begin(), body.end());
    const uint32_t crc = MvCalcCRC32(s.data(), static_cast<int>(s.size()));
    Put16(&s, crc >> 16);
    Put16(&s, crc & 0xFFFF);
    return s;
}

struct Stream {
    uint8_t type;
    uint16_t pid;
};

class Synth {
public:
    // A whole section in one or more packets (pointer field first).
    void SectionPackets(uint16_t pid, const Bytes& section) {
        Bytes all{0x00};
        all.insert(all.end(), section.begin(), section.end());
        for (size_t off = 0; off < all.size(); off += 184) {
            Bytes payload(all.begin() + static_cast<long>(off),
                          all.begin() + static_cast<long>(std::min(all.size(), off + 184)));
            payload.resize(184, 0xFF);
            Packet(pid, off == 0, payload.data(), 184, false);
        }
    }
    void Pat(const std::vector<std::pair<uint16_t, uint16_t>>& programs) {  // number, PMT PID
        Bytes body;
        Put16(&body, 1);
        body.insert(body.end(), {0xC1, 0x00, 0x00});
        for (const auto& p : programs) {
            Put16(&body, p.first);
            Put16(&body, 0xE000u | p.second);
        }
        SectionPackets(0, Section(0x00, body));
    }
    // Descriptors are given whole (tag, length, data); `streamInfo` by stream, when given.
    void Pmt(uint16_t pmtPid, uint16_t program, uint16_t pcr, const std::vector<Stream>& streams,
             const Bytes& programInfo = {}, const std::vector<Bytes>& streamInfo = {}) {
        Bytes body;
        Put16(&body, program);
        body.insert(body.end(), {0xC1, 0x00, 0x00});
        Put16(&body, 0xE000u | pcr);
        Put16(&body, 0xF000u | static_cast<uint32_t>(programInfo.size()));
        body.insert(body.end(), programInfo.begin(), programInfo.end());
        for (size_t i = 0; i < streams.size(); ++i) {
            const Bytes info = i < streamInfo.size() ? streamInfo[i] : Bytes{};
            body.push_back(streams[i].type);
            Put16(&body, 0xE000u | streams[i].pid);
            Put16(&body, 0xF000u | static_cast<uint32_t>(info.size()));
            body.insert(body.end(), info.begin(), info.end());
        }
        SectionPackets(pmtPid, Section(0x02, body));
    }
    // One packet: `n` payload bytes (n < 184 pads with an adaptation field), optional
    // random_access_indicator.
    void Packet(uint16_t pid, bool start, const uint8_t* payload, int n, bool rai) {
        uint8_t p[188];
        memset(p, 0xFF, sizeof(p));
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
        p[2] = static_cast<uint8_t>(pid);
        const uint8_t cc = m_cc[pid];
        m_cc[pid] = static_cast<uint8_t>((cc + 1) & 0x0F);
        int at = 4;
        if (n < 184 || rai) {
            if (n > 182) n = 182;
            const int afl = 183 - n;
            p[3] = static_cast<uint8_t>(0x30 | cc);
            p[4] = static_cast<uint8_t>(afl);
            if (afl > 0) p[5] = rai ? 0x40 : 0x00;
            at = 5 + afl;
        } else {
            p[3] = static_cast<uint8_t>(0x10 | cc);
        }
        if (n > 0) memcpy(p + at, payload, static_cast<size_t>(n));
        ts.insert(ts.end(), p, p + 188);
    }
    // A PES with a PTS; its packets carry exactly the PES bytes. Returns the packet count.
    int Pes(uint16_t pid, uint8_t streamId, uint64_t pts, const Bytes& es, bool rai = false,
            bool withLength = true) {
        Bytes pes{0x00, 0x00, 0x01, streamId, 0, 0, 0x80, 0x80, 0x05};
        pes.push_back(static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
        pes.push_back(static_cast<uint8_t>(pts >> 22));
        pes.push_back(static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1));
        pes.push_back(static_cast<uint8_t>(pts >> 7));
        pes.push_back(static_cast<uint8_t>(((pts << 1) & 0xFE) | 1));
        pes.insert(pes.end(), es.begin(), es.end());
        const size_t len = pes.size() - 6;
        if (withLength && len <= 0xFFFF) {
            pes[4] = static_cast<uint8_t>(len >> 8);
            pes[5] = static_cast<uint8_t>(len);
        }
        int count = 0;
        size_t off = 0;
        bool first = true;
        while (off < pes.size()) {
            const int room = (first && rai) ? 182 : 184;
            const int n = static_cast<int>(std::min<size_t>(room, pes.size() - off));
            Packet(pid, first, pes.data() + off, n, first && rai);
            off += static_cast<size_t>(n);
            first = false;
            ++count;
        }
        return count;
    }

    Bytes ts;
    std::map<uint16_t, uint8_t> m_cc;
};

// Elementary stream bytes of pictures.
inline Bytes H264Picture(bool audI, bool idr, size_t size = 600) {
    Bytes b{0x00, 0x00, 0x00, 0x01, 0x09, static_cast<uint8_t>(audI ? 0x10 : 0x30)};
    const Bytes slice{0x00, 0x00, 0x01, static_cast<uint8_t>(idr ? 0x65 : 0x41), 0x88, 0x84};
    b.insert(b.end(), slice.begin(), slice.end());
    b.resize(size, 0xAB);
    return b;
}

// ---------------------------------------------------------------------------------------------
// Reading GOPs.

inline const uint8_t* PacketAt(const HSCGop* gop, const MvTSInfo& e) { return gop->data + e.packetOffset; }

// The index entries of the GOP that lie inside its data.
inline std::vector<MvTSInfo> Entries(const HSCGop* gop) {
    std::vector<MvTSInfo> out;
    for (const MvTSInfo& e : gop->tsInfos)
        if (static_cast<uint64_t>(e.packetOffset) + 188 <= gop->dataSize) out.push_back(e);
    return out;
}

}  // namespace segtest
