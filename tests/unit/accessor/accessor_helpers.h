// Helpers of the accessor tests: a GOP writer that fills HSCGop objects the way the live
// segmenter does (1344-byte records of receive time, RTP header and seven packets, one MvTSInfo
// per packet, PAT/PMT packets and the PID summary of the program), a cutter that turns a fixture
// into GOPs at its video key frames, and a PES packetiser for synthetic GOPs.
//
// The cutter is deliberately simple: it learns PAT and PMT through the toolkit, keeps the
// packets of the chosen program, and opens a GOP at every video packet that starts a PES and
// either carries random_access_indicator or begins an intra picture (H.264 IDR or SPS, HEVC
// IRAP or parameter set, MPEG-2 sequence header or I picture) in its first payload. Packets are
// written in arrival order (audio is not held back as the live audio placement does), so an
// audio PES may straddle two GOPs. Packets before the first key frame are dropped.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../dvbts/dvbts_helpers.h"
#include "accessor.h"
#include "cfg.h"
#include "mvcommondata.h"
#include "mvdvbts_misc.h"
#include "mvdvbts_pat.h"
#include "mvdvbts_pmt.h"

namespace acctest {

using dvbtest::Bytes;

constexpr tagMvCID kCid = MvCIDMake(7, 1, 3);  // logs as "CID(3)(1)(7)"
constexpr int64_t kBaseSeconds = 1700000000;   // receive time of the first record

// The program a GOP belongs to: its PAT and PMT packets and its PID summary.
struct Program {
    Bytes pat;  // whole packets
    Bytes pmt;
    HSCPIDData pids;
    uint8_t videoType = 0;
};

// Feeds the packets of one PID to a table until it is ready; returns the packets of the
// section that made it ready (from its starting packet on).
template <class Table>
Bytes TablePackets(Table* table, const Bytes& ts, uint16_t pid) {
    Bytes packets;
    MvDVBTSPacket pkt;
    for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
        if (!MvDVBParseTS(ts.data() + off, &pkt) || pkt.PID != pid) continue;
        if (pkt.payload_unit_start_indicator) packets.clear();
        packets.insert(packets.end(), ts.begin() + static_cast<long>(off),
                       ts.begin() + static_cast<long>(off + 188));
        table->AddData(pkt.payload_unit_start_indicator != 0, pkt.payload, pkt.payload_length);
        if (table->Ready()) return packets;
    }
    return {};
}

// The program with this number (0: the first one of the PAT).
inline bool FindProgram(const Bytes& ts, uint16_t number, Program* out) {
    MvDVBPAT pat;
    out->pat = TablePackets(&pat, ts, 0);
    if (out->pat.empty()) return false;
    std::vector<MvDVBPATProg> progs;
    pat.GetProgs(&progs, true);
    uint16_t pmtPid = 0;
    for (const MvDVBPATProg& p : progs)
        if (number == 0 || p.program_number == number) {
            pmtPid = p.program_map_PID;
            break;
        }
    if (pmtPid == 0) return false;
    MvDVBPMT pmt;
    out->pmt = TablePackets(&pmt, ts, pmtPid);
    if (out->pmt.empty()) return false;
    HSCPIDData& d = out->pids;
    d.pmtPid = pmtPid;
    d.pcrPid = static_cast<uint16_t>(pmt.GetPCR());
    for (const MvDVBStrm* s : pmt.m_streams) {
        const uint32_t kind = MvGetStreamKind(s->stream_type);
        if (kind == kMvStreamVideo && d.videoPid == MV_PID_NONE) {
            d.videoPid = s->elementary_PID;
            out->videoType = s->stream_type;
        } else if (kind == kMvStreamAudio) {
            d.audioPids.push_back(s->elementary_PID);
        }
    }
    d.BuildPidSet();
    return d.videoPid != MV_PID_NONE;
}

// True when the first payload of a video PES begins an intra picture.
inline bool IntraStart(const MvDVBTSPacket& pkt, uint8_t videoType) {
    if (pkt.random_access_indicator) return true;
    const uint8_t* p = pkt.payload;
    const int n = pkt.payload_length;
    if (n < 9) return false;
    for (int i = 9 + p[8]; i + 4 < n; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        const uint8_t b = p[i + 3];
        if (videoType == 0x1B) {
            const int t = b & 0x1F;
            if (t == 5 || t == 7) return true;
        } else if (videoType == 0x24) {
            const int t = (b >> 1) & 0x3F;
            if ((t >= 16 && t <= 21) || (t >= 32 && t <= 34)) return true;
        } else {
            if (b == 0xB3) return true;
            if (b == 0x00 && i + 5 < n && ((p[i + 5] >> 3) & 7) == 1) return true;
        }
    }
    return false;
}

// Writes packets into GOPs as the segmenter does. Records get receive times 10 ms apart from
// kBaseSeconds on.
class GopWriter {
public:
    explicit GopWriter(const Program& program) : m_program(program) {}
    ~GopWriter() { delete m_gop; }

    void Open() {
        delete m_gop;
        MvBuffer pat(m_program.pat.data(), static_cast<int>(m_program.pat.size()));
        MvBuffer pmt(m_program.pmt.data(), static_cast<int>(m_program.pmt.size()));
        MvBuffer ecm;
        m_gop = MvInitGOP(kCid, nullptr, m_nextGopId, pat, pmt, ecm, m_program.pids,
                          MV_GOP_CAPACITY_LIVE);
        m_slots = 0;
    }

    // Appends one packet with its index entry; false when the packet does not parse (skipped).
    bool Add(const uint8_t* packet) {
        MvDVBTSPacket pkt;
        if (!MvDVBParseTS(packet, &pkt)) return false;
        if (m_slots == 0) StartRecord();
        MvTSInfo info;
        info.flags = Flags(pkt);
        info.recordOffset = m_gop->dataSize;
        info.packetOffset = m_gop->dataSize + MV_GOP_RECORD_HEADER_SIZE + 188 * m_slots;
        info.payloadOffset = static_cast<uint8_t>(188 - pkt.payload_length);
        m_gop->tsInfos.push_back(info);
        memcpy(&m_record[MV_GOP_RECORD_HEADER_SIZE + 188 * m_slots], packet, 188);
        if (m_firstPts == 0 && (info.flags & MV_TSINFO_VIDEO) && pkt.payload_unit_start_indicator) {
            MvDVBPESHdr hdr;
            if (MvDVBParsePES(pkt.payload, pkt.payload_length, &hdr, true) && hdr.PTS_DTS_flags >= 2)
                m_firstPts = hdr.PTS & 0x1FFFFFFFEull;
        }
        if (++m_slots == MV_GOP_RECORD_PACKETS) FlushRecord();
        return true;
    }
    void Add(const Bytes& packets) {
        for (size_t off = 0; off + 188 <= packets.size(); off += 188) Add(packets.data() + off);
    }

    // Closes the GOP (a partial record is written with its empty slots) and hands it over.
    HSCGop* Close() {
        if (m_slots > 0) FlushRecord();
        HSCGop* gop = m_gop;
        m_gop = nullptr;
        gop->closedSize = gop->dataSize;
        gop->pts = m_firstPts;
        m_firstPts = 0;
        gop->ReMap();
        return gop;
    }
    HSCGop* Current() const { return m_gop; }
    static timespec RecordTime(uint32_t recordNumber) {
        return timespec{kBaseSeconds + recordNumber / 100, static_cast<long>(recordNumber % 100) * 10000000L};
    }

private:
    uint8_t Flags(const MvDVBTSPacket& pkt) const {
        const HSCPIDData& d = m_program.pids;
        uint8_t f = pkt.payload_unit_start_indicator ? MV_TSINFO_PUSI : 0;
        if (pkt.PID == 0) f |= MV_TSINFO_PAT;
        if (pkt.PID == d.pmtPid) f |= MV_TSINFO_PMT;
        if (pkt.PID == d.videoPid) f |= MV_TSINFO_VIDEO;
        for (uint16_t a : d.audioPids)
            if (pkt.PID == a) f |= MV_TSINFO_AUDIO;
        if (pkt.PID == d.pcrPid) f |= MV_TSINFO_PCR;
        return f;
    }
    void StartRecord() {
        MvInitRTPData(RecordTime(m_records), m_record, ++m_sequence);
    }
    void FlushRecord() {
        EXPECT_TRUE(m_gop->AppendRecord(m_record));
        ++m_records;
        m_slots = 0;
    }

    const Program& m_program;
    HSCGop* m_gop = nullptr;
    uint64_t m_nextGopId = 100;
    uint8_t m_record[MV_GOP_RECORD_SIZE] = {};
    int m_slots = 0;
    uint16_t m_sequence = 0;
    uint32_t m_records = 0;
    uint64_t m_firstPts = 0;
};

// A GOP cut from a fixture and the source packets it holds, in order.
struct CutGop {
    HSCGop* gop = nullptr;
    std::vector<const uint8_t*> packets;  // into the fixture bytes, one per index entry
};

// Cuts the program's packets of a transport stream into GOPs at its video key frames. The last
// GOP (cut by the end of the file, not by a key frame) is included. The caller deletes the GOPs.
inline std::vector<CutGop> CutIntoGops(const Bytes& ts, const Program& program) {
    std::vector<CutGop> gops;
    GopWriter writer(program);
    MvDVBTSPacket pkt;
    for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
        const uint8_t* p = ts.data() + off;
        if (!MvDVBParseTS(p, &pkt) || program.pids.pidSet.count(pkt.PID) == 0) continue;
        if (pkt.PID == program.pids.videoPid && pkt.payload_unit_start_indicator &&
            IntraStart(pkt, program.videoType)) {
            if (writer.Current() != nullptr) gops.back().gop = writer.Close();
            writer.Open();
            gops.emplace_back();
        }
        if (writer.Current() == nullptr) continue;
        if (writer.Add(p)) gops.back().packets.push_back(p);
    }
    if (writer.Current() != nullptr) gops.back().gop = writer.Close();
    return gops;
}

inline void FreeGops(std::vector<CutGop>& gops) {
    for (CutGop& g : gops) delete g.gop;
    gops.clear();
}

// ---------------------------------------------------------------------------------------------
// Synthetic packets.

inline void PutTimeStamp(Bytes* b, uint8_t prefix, uint64_t ts) {
    b->push_back(static_cast<uint8_t>((prefix << 4) | (((ts >> 30) & 7) << 1) | 1));
    b->push_back(static_cast<uint8_t>(ts >> 22));
    b->push_back(static_cast<uint8_t>((((ts >> 15) & 0x7F) << 1) | 1));
    b->push_back(static_cast<uint8_t>(ts >> 7));
    b->push_back(static_cast<uint8_t>(((ts & 0x7F) << 1) | 1));
}

// PES header: stream id, optional PTS and DTS (negative: absent), `extra` stuffing bytes in
// the header data.
inline Bytes PesHeader(uint8_t streamId, int64_t pts, int64_t dts = -1, int extra = 0) {
    Bytes h{0x00, 0x00, 0x01, streamId, 0x00, 0x00, 0x80, 0x00, 0x00};
    if (pts >= 0 && dts >= 0) {
        h[7] = 0xC0;
        PutTimeStamp(&h, 3, static_cast<uint64_t>(pts));
        PutTimeStamp(&h, 1, static_cast<uint64_t>(dts));
    } else if (pts >= 0) {
        h[7] = 0x80;
        PutTimeStamp(&h, 2, static_cast<uint64_t>(pts));
    }
    for (int i = 0; i < extra; ++i) h.push_back(0xFF);
    h[8] = static_cast<uint8_t>(h.size() - 9);
    return h;
}

// One transport packet carrying `payload` (at most 184 bytes); a shorter payload is preceded
// by adaptation field stuffing.
inline Bytes TsPacket(uint16_t pid, bool start, const uint8_t* payload, size_t n, uint8_t cc = 0) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(pid);
    if (n >= 184) {
        n = 184;
        p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
    } else {
        // Adaptation field only (control 2) when there is no payload at all.
        p[3] = static_cast<uint8_t>((n == 0 ? 0x20 : 0x30) | (cc & 0x0F));
        p[4] = static_cast<uint8_t>(183 - n);
        if (p[4] > 0) p[5] = 0x00;
    }
    if (n > 0) memcpy(&p[188 - n], payload, n);
    return p;
}

// A PES (header + payloadBytes bytes of 0xAB) cut into transport packets.
inline Bytes PesPackets(uint16_t pid, const Bytes& header, size_t payloadBytes) {
    Bytes pes = header;
    pes.resize(header.size() + payloadBytes, 0xAB);
    Bytes out;
    for (size_t off = 0; off < pes.size(); off += 184) {
        const size_t n = std::min<size_t>(184, pes.size() - off);
        Bytes pkt = TsPacket(pid, off == 0, pes.data() + off, n);
        out.insert(out.end(), pkt.begin(), pkt.end());
    }
    return out;
}

// A synthetic program: PMT PID 0x1000, video (H.264) 0x100, audio streams as given.
struct SynthAudio {
    uint8_t type;
    uint16_t pid;
    const char* lang;  // nullptr: no language descriptor
};
inline Program SynthProgram(const std::vector<SynthAudio>& audio) {
    Program prog;
    std::vector<dvbtest::Strm> streams{{0x1B, 0x100, {}}};
    for (const SynthAudio& a : audio) {
        dvbtest::Strm s{a.type, a.pid, {}};
        if (a.lang != nullptr)
            s.descs.push_back({10, Bytes{static_cast<uint8_t>(a.lang[0]), static_cast<uint8_t>(a.lang[1]),
                                         static_cast<uint8_t>(a.lang[2]), 0}});
        streams.push_back(s);
    }
    const Bytes pmt = dvbtest::PmtSection(1, 0x100, {}, streams);
    for (const Bytes& payload : dvbtest::Payloads(pmt)) {
        Bytes pkt = TsPacket(0x1000, prog.pmt.empty(), payload.data(), payload.size());
        prog.pmt.insert(prog.pmt.end(), pkt.begin(), pkt.end());
    }
    const Bytes pat = dvbtest::PatSection(1, {{1, 0x1000}});
    for (const Bytes& payload : dvbtest::Payloads(pat)) {
        Bytes pkt = TsPacket(0, true, payload.data(), payload.size());
        prog.pat.insert(prog.pat.end(), pkt.begin(), pkt.end());
    }
    HSCPIDData& d = prog.pids;
    d.pmtPid = 0x1000;
    d.pcrPid = 0x100;
    d.videoPid = 0x100;
    prog.videoType = 0x1B;
    for (const SynthAudio& a : audio) d.audioPids.push_back(a.pid);
    d.BuildPidSet();
    return prog;
}

// ---------------------------------------------------------------------------------------------
// Reading accessors back.

inline MvAccessor* Acc(HSCGop* gop, uint32_t id) {
    auto it = gop->accessors.find(id);
    return it == gop->accessors.end() ? nullptr : it->second;
}

inline std::vector<MvSeqEntry> EntriesOfType(const MvAccessor* acc, uint8_t type) {
    std::vector<MvSeqEntry> out;
    for (const MvSeqEntry& e : acc->entries)
        if (e.type == type) out.push_back(e);
    return out;
}

inline uint64_t LE(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Runs a build with the screen log captured; returns the log.
inline std::string BuildCapturingLog(HSCGop* gop) {
    testing::internal::CaptureStdout();
    gop->MvBuildAccessors();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline int CountOf(const std::string& log, const std::string& text) {
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

// Sets SECONDFIELD for the life of the object.
class SecondField {
public:
    explicit SecondField(bool on) : m_old(ITGGetMainConf()->SECONDFIELD.load()) {
        ITGGetMainConf()->SECONDFIELD.store(on);
    }
    ~SecondField() { ITGGetMainConf()->SECONDFIELD.store(m_old); }

private:
    bool m_old;
};

}  // namespace acctest
