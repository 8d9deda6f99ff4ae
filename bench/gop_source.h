// Real GOPs for the storage benchmarks: the first GOP of tests/fixtures/h264_aac.ts (25 frames
// with AAC audio) written into 1344-byte records as the segmenter does, its accessors built.
// With a packet target every video packet that continues a PES is repeated until the GOP holds
// about that many packets (3325: a one-second 5 Mbit/s GOP); frames and audio stay as they are.
#pragma once

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "accessor.h"
#include "mvcommondata.h"
#include "mvdvbts_misc.h"
#include "mvdvbts_pat.h"
#include "mvdvbts_pmt.h"

namespace benchgop {

using Bytes = std::vector<uint8_t>;

inline Bytes LoadFixture(const char* name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The packets of a table's first complete section.
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
        if (table->Ready()) break;
    }
    return packets;
}

// A new GOP (refCount 0, owned by the caller) with accessors; null when the fixture is missing.
// targetPackets 0 keeps the fixture's GOP as it is.
inline HSCGop* MakeGop(size_t targetPackets) {
    const Bytes ts = LoadFixture("h264_aac.ts");
    MvDVBPAT pat;
    const Bytes patPackets = TablePackets(&pat, ts, 0);
    std::vector<MvDVBPATProg> progs;
    pat.GetProgs(&progs, true);
    if (progs.empty()) return nullptr;
    MvDVBPMT pmt;
    const Bytes pmtPackets = TablePackets(&pmt, ts, progs[0].program_map_PID);
    HSCPIDData pids;
    pids.pmtPid = progs[0].program_map_PID;
    pids.pcrPid = static_cast<uint16_t>(pmt.GetPCR());
    for (const MvDVBStrm* s : pmt.m_streams) {
        if (MvGetStreamKind(s->stream_type) == kMvStreamVideo && pids.videoPid == MV_PID_NONE)
            pids.videoPid = s->elementary_PID;
        else if (MvGetStreamKind(s->stream_type) == kMvStreamAudio)
            pids.audioPids.push_back(s->elementary_PID);
    }
    pids.BuildPidSet();

    // The first GOP: from the first key frame (random_access_indicator) to the next.
    std::vector<const uint8_t*> packets;
    MvDVBTSPacket pkt;
    bool open = false;
    for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
        const uint8_t* p = ts.data() + off;
        if (!MvDVBParseTS(p, &pkt) || pids.pidSet.count(pkt.PID) == 0) continue;
        const bool key = pkt.PID == pids.videoPid && pkt.payload_unit_start_indicator &&
                         pkt.random_access_indicator;
        if (key && open) break;
        if (key) open = true;
        if (open) packets.push_back(p);
    }
    size_t repeat = 1;
    if (targetPackets > packets.size()) {
        size_t continuation = 0;
        for (const uint8_t* p : packets) {
            MvDVBParseTS(p, &pkt);
            if (pkt.PID == pids.videoPid && !pkt.payload_unit_start_indicator) ++continuation;
        }
        if (continuation > 0)
            repeat = 1 + (targetPackets - packets.size() + continuation - 1) / continuation;
    }

    MvBuffer patBuf(patPackets.data(), static_cast<int>(patPackets.size()));
    MvBuffer pmtBuf(pmtPackets.data(), static_cast<int>(pmtPackets.size()));
    MvBuffer ecm;
    uint64_t next = 1;
    HSCGop* gop = MvInitGOP(MvCIDMake(1, 0, 0), nullptr, next, patBuf, pmtBuf, ecm, pids,
                            MV_GOP_CAPACITY_LIVE);
    uint8_t record[MV_GOP_RECORD_SIZE];
    int slots = 0;
    uint16_t seq = 0;
    uint32_t recordNumber = 0;
    auto add = [&](const uint8_t* p, const MvDVBTSPacket& parsed) {
        if (slots == 0)
            MvInitRTPData(timespec{1700000000 + recordNumber / 100,
                                   static_cast<long>(recordNumber % 100) * 10000000L},
                          record, ++seq);
        MvTSInfo info;
        info.flags = static_cast<uint8_t>((parsed.payload_unit_start_indicator ? MV_TSINFO_PUSI : 0) |
                                          (parsed.PID == 0 ? MV_TSINFO_PAT : 0) |
                                          (parsed.PID == pids.pmtPid ? MV_TSINFO_PMT : 0) |
                                          (parsed.PID == pids.videoPid ? MV_TSINFO_VIDEO : 0) |
                                          (parsed.PID == pids.pcrPid ? MV_TSINFO_PCR : 0));
        for (uint16_t a : pids.audioPids)
            if (parsed.PID == a) info.flags |= MV_TSINFO_AUDIO;
        info.recordOffset = gop->dataSize;
        info.packetOffset = gop->dataSize + MV_GOP_RECORD_HEADER_SIZE + 188 * slots;
        info.payloadOffset = static_cast<uint8_t>(188 - parsed.payload_length);
        gop->tsInfos.push_back(info);
        memcpy(record + MV_GOP_RECORD_HEADER_SIZE + 188 * slots, p, 188);
        if (++slots == MV_GOP_RECORD_PACKETS) {
            gop->AppendRecord(record);
            ++recordNumber;
            slots = 0;
        }
    };
    for (const uint8_t* p : packets) {
        MvDVBParseTS(p, &pkt);
        const size_t times =
            pkt.PID == pids.videoPid && !pkt.payload_unit_start_indicator ? repeat : 1;
        for (size_t k = 0; k < times; ++k) add(p, pkt);
    }
    if (slots > 0) gop->AppendRecord(record);
    gop->closedSize = gop->dataSize;
    gop->ReMap();
    gop->MvBuildAccessors();
    return gop;
}

}  // namespace benchgop
