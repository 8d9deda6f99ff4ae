// The live segmenter's packet handling: look-ahead, PAT and PMT, PID filter, continuity,
// key frames and the GOP records. Audio placement is in liveinput_audio.cpp, the thread that
// receives and hands GOPs to the writer in liveinput_segmenter_thread.cpp.
#include "liveinput_segmenter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfg.h"
#include "liveinput.h"
#include "mvlogger.h"

void TSSGopSink::Pause(int milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }

namespace {

bool HasPayload(const MvDVBTSPacket& p) {
    return (p.adaptation_field_control & 0x01) != 0 && p.payload != nullptr;
}

int PayloadLength(const MvDVBTSPacket& p) {
    if (!HasPayload(p)) return 0;
    return p.payload_length > 184 ? 184 : p.payload_length;
}

void SetCC(MvBuffer& packets, uint64_t value) {
    if (packets.GetLength() < MV_TS_PACKET_SIZE) return;
    uint8_t* p = packets.GetData();
    p[3] = static_cast<uint8_t>((p[3] & 0xF0) | (value & 0x0F));
}

// True when the window holds the start of a coded slice (a VCL NAL unit) at an offset the
// finders look at (0 to length - 6): the picture's type is then settled by what came before.
bool SliceSeen(const uint8_t* d, int length, bool h264, bool hevc) {
    for (int i = 0; i + 6 <= length; ++i) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
        if (h264) {
            const int t = d[i + 3] & 0x1F;
            if (t >= 1 && t <= 5) return true;
        }
        if (hevc) {
            const int t = (d[i + 3] >> 1) & 0x3F;
            if (t < 32) return true;
        }
    }
    return false;
}

}  // namespace

TSSSegmenter::TSSSegmenter(tagMvCID cid, uint64_t programNumber, uint32_t flags,
                           uint64_t nextGopId, TSSGopSink* sink, const ITGMainConf* conf)
    : m_cid(cid),
      m_programNumber(programNumber),
      m_flags(flags),
      m_sink(sink),
      m_conf(conf),
      m_extraBitrate(MvCIDSubStream(cid) > 0),
      m_pat(new MvDVBPAT),
      m_pmt(new MvDVBPMT),
      m_rtpSeq(static_cast<uint16_t>(nextGopId)),
      m_nextGopId(nextGopId) {
    memset(m_generatedPat, 0, sizeof(m_generatedPat));
    memset(m_roles, 0, sizeof(m_roles));
    memset(m_cc, -1, sizeof(m_cc));
    m_gather.resize(TSS_KF_EXTENDED_LIMIT + MV_TS_PACKET_SIZE);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    memset(m_record, 0, sizeof(m_record));
    MvInitRTPData(now, m_record, m_rtpSeq);
    m_slots = 0;
}

TSSSegmenter::~TSSSegmenter() {
    Shutdown();
    delete m_pat;
    delete m_pmt;
}

void TSSSegmenter::Shutdown() {
    for (MvDVBTSPacketX* x : m_queue) MvFreePacketX(x);
    m_queue.clear();
    m_queuedVideoStarts = 0;
    m_queuedBytesSinceStart = 0;
    m_kfPendingPacket = nullptr;
    ReleaseGop();
    DiscardAudioStates();
}

const ITGMainConf* TSSSegmenter::Conf() const { return m_conf != nullptr ? m_conf : ITGGetMainConf(); }

bool TSSSegmenter::Verbose() const { return Conf()->VERBOSE.load(std::memory_order_relaxed); }

void TSSSegmenter::ClearWriting() {
    if (m_sink != nullptr) m_sink->ClearWriting();
}

// ---------------------------------------------------------------------------------------------
// Queue and look-ahead.

int TSSSegmenter::QueueDatagram(uint8_t* buffer, int capacity, int length, const timespec& rxTime,
                                uint32_t dropCount) {
    if (!m_dropCountKnown) {
        m_lastDropCount = dropCount;
        m_dropCountKnown = true;
    } else if (MvSTBCheckDrops(m_cid, dropCount, m_lastDropCount)) {
        ClearWriting();
    }
    if (length > 0) m_lastRx = rxTime;
    const size_t before = m_queue.size();
    int problems = 0;
    const int n = MvSTBQueueDatagram(m_cid, buffer, capacity, length, rxTime, m_queue, &problems);
    if (problems > 0) ClearWriting();
    if (m_pids.videoPid != MV_PID_NONE)
        for (size_t i = before; i < m_queue.size(); ++i) CountQueued(m_queue[i], +1);
    return n;
}

void TSSSegmenter::CountQueued(const MvDVBTSPacketX* x, int direction) {
    const MvDVBTSPacket& p = x->packet;
    if (p.PID != m_pids.videoPid) return;
    if (direction > 0) {
        if (p.payload_unit_start_indicator) {
            ++m_queuedVideoStarts;
            m_queuedBytesSinceStart = PayloadLength(p);
        } else if (m_queuedVideoStarts > 0 && m_queuedBytesSinceStart <= MV_KF_GATHER_LIMIT) {
            // Only "more than the limit" matters; the count stops growing past it.
            m_queuedBytesSinceStart += PayloadLength(p);
        }
    } else if (p.payload_unit_start_indicator && m_queuedVideoStarts > 0) {
        if (--m_queuedVideoStarts == 0) m_queuedBytesSinceStart = 0;
    }
}

void TSSSegmenter::RecountQueued() {
    m_queuedVideoStarts = 0;
    m_queuedBytesSinceStart = 0;
    if (m_pids.videoPid == MV_PID_NONE) return;
    for (const MvDVBTSPacketX* x : m_queue) CountQueued(x, +1);
}

bool TSSSegmenter::LookAheadAllows() const {
    if (m_pids.videoPid == MV_PID_NONE) return true;
    if (m_queuedVideoStarts >= 2) return true;
    if (m_queuedVideoStarts == 1 && m_queuedBytesSinceStart > MV_KF_GATHER_LIMIT) return true;
    if (m_queue.size() < 2) return false;
    const MvDVBTSPacketX* head = m_queue.front();
    const MvDVBTSPacketX* tail = m_queue.back();
    const int64_t span = (tail->rxSec - head->rxSec) * 1000000000LL + (tail->rxNsec - head->rxNsec);
    return span >= TSS_LOOKAHEAD_SPAN_NS;
}

void TSSSegmenter::Process() {
    while (!m_queue.empty()) {
        if (!LookAheadAllows()) return;
        const MvDVBTSPacketX* head = m_queue.front();
        const MvDVBTSPacket& p = head->packet;
        const bool needsDecision = p.PID == m_pids.videoPid && m_pids.videoPid != MV_PID_NONE &&
                                   p.payload_unit_start_indicator && m_kfMode != 2 &&
                                   !((m_flags & HSC_CHANNEL_RPROGRAM) && p.random_access_indicator);
        if (needsDecision && m_kfPendingPacket != head) {
            bool force = false;
            if (m_queue.size() > 1) {
                const MvDVBTSPacketX* tail = m_queue.back();
                const int64_t span = (tail->rxSec - head->rxSec) * 1000000000LL +
                                     (tail->rxNsec - head->rxNsec);
                force = span >= TSS_LOOKAHEAD_SPAN_NS;
            }
            if (EvaluateHeadKeyFrame(force) == 0) return;
        }
        HandleHead();
    }
}

void TSSSegmenter::Flush() {
    while (!m_queue.empty()) HandleHead();
}

void TSSSegmenter::HandleHead() {
    MvDVBTSPacketX* x = m_queue.front();
    HandlePacket(x);
    m_queue.pop_front();
    if (m_pids.videoPid != MV_PID_NONE) CountQueued(x, -1);
    m_kfPendingPacket = nullptr;
    MvFreePacketX(x);
}

// Copies the payload of queue[from] and of the following video packets into m_gather. Stops
// at the next video unit start (reason 1), once more than `limit` bytes are gathered (reason
// 2), or at the end of the queue (reason 0).
int TSSSegmenter::GatherVideo(size_t from, int limit, bool& ended) {
    int size = 0;
    ended = false;
    const int capacity = static_cast<int>(m_gather.size());
    for (size_t i = from; i < m_queue.size(); ++i) {
        const MvDVBTSPacket& p = m_queue[i]->packet;
        if (p.PID != m_pids.videoPid) continue;
        if (i != from && p.payload_unit_start_indicator) {
            ended = true;
            break;
        }
        int n = PayloadLength(p);
        if (n > capacity - size) n = capacity - size;
        if (n > 0) memcpy(m_gather.data() + size, p.payload, static_cast<size_t>(n));
        size += n;
        if (size > limit || size >= capacity) {
            ended = true;
            break;
        }
    }
    return size;
}

int TSSSegmenter::EvaluateHeadKeyFrame(bool force) {
    const MvDVBTSPacketX* head = m_queue.front();
    const bool idr = Conf()->IDR.load(std::memory_order_relaxed);
    int state = m_kfMode;
    int criterion = 0;
    bool ended = false;
    int n = GatherVideo(0, MV_KF_GATHER_LIMIT, ended);
    // The first window ends at the next unit start when the PES is shorter.
    bool wholePes = false;
    if (ended && n <= MV_KF_GATHER_LIMIT) wholePes = true;
    bool key = MvFindKeyFrame(m_h264, m_hevc, m_mpeg2, m_gather.data(), n, state, idr, criterion);
    // Encoders may put kilobytes of SEI or parameter sets before the first slice of a picture
    // (x265 writes its settings before every key picture). When the first window shows no
    // slice and the PES goes on, gather on so that an IDR slice behind them is seen.
    if (!key && (m_h264 || m_hevc) && !wholePes &&
        !SliceSeen(m_gather.data(), n, m_h264, m_hevc)) {
        bool ended2 = false;
        const int n2 = GatherVideo(0, TSS_KF_EXTENDED_LIMIT, ended2);
        if (!ended2 && !force) return 0;
        if (n2 > n) {
            state = m_kfMode;
            criterion = 0;
            key = MvFindKeyFrame(m_h264, m_hevc, m_mpeg2, m_gather.data(), n2, state, idr,
                                 criterion);
        }
    }
    m_kfPendingPacket = head;
    m_kfPendingKey = key;
    m_kfPendingCriterion = criterion;
    m_kfPendingState = state;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Packet handling.

void TSSSegmenter::CollectTable(MvBuffer& accumulator, bool& accumulating, MvBuffer& stored,
                                const uint8_t* raw, bool start) {
    if (start) {
        if (accumulating && accumulator.GetLength() > 0) {
            stored.m_length = 0;
            stored.Add(accumulator.GetData(), accumulator.GetLength());
        }
        accumulator.m_length = 0;
        accumulating = true;
    } else if (!accumulating) {
        return;
    }
    if (accumulator.GetLength() >= TSS_TABLE_PACKETS_MAX * MV_TS_PACKET_SIZE) {
        // Not a table occurrence: forget it until the next unit start.
        accumulator.m_length = 0;
        accumulating = false;
        return;
    }
    accumulator.Add(raw, MV_TS_PACKET_SIZE);
}

void TSSSegmenter::HandlePacket(const MvDVBTSPacketX* x) {
    const MvDVBTSPacket& p = x->packet;
    const uint16_t pid = p.PID & 0x1FFF;
    const bool start = p.payload_unit_start_indicator != 0;
    ++m_counters.packets;

    if (pid == 0) {
        CollectTable(m_patAcc, m_patAccumulating, m_patStored, x->raw, start);
        if (m_pids.pmtPid == MV_PID_NONE && !m_patDone) OnPat(x);
    }
    if (m_pids.pmtPid != MV_PID_NONE && pid == m_pids.pmtPid && !m_pmtLearned) OnPmt(x);
    if (pid == m_pids.ecmPid) CollectTable(m_ecmAcc, m_ecmAccumulating, m_ecmStored, x->raw, start);

    if (m_pids.videoPid == MV_PID_NONE || m_pids.pmtPid == MV_PID_NONE ||
        m_patStored.GetLength() == 0 || m_pmtStored.GetLength() == 0 ||
        (m_roles[pid] & kRoleProgram) == 0)
        return;

    // Continuity: a repeated counter is accepted silently (packets without payload repeat it).
    const int8_t last = m_cc[pid];
    const int8_t cc = static_cast<int8_t>(p.continuity_counter & 0x0F);
    if (last >= 0 && cc != last && cc != ((last + 1) & 0x0F)) {
        ++m_gopCCErrors;
        ++m_counters.ccErrors;
        MVLOGE("[LIVE] " MV_CID_FMT " continuity counter error PID(%d) (%d / %d)", MV_CID_ARGS(m_cid),
               pid, last, cc);
    }
    m_cc[pid] = cc;

    MvTSInfo info;
    info.flags = start ? MV_TSINFO_PUSI : 0;
    if (pid == m_pids.pcrPid) info.flags |= MV_TSINFO_PCR;
    if (p.payload_length > 184) {
        info.flags |= MV_TSINFO_BADPAYLOAD;
        info.payloadOffset = 4;
    } else {
        info.payloadOffset = static_cast<uint8_t>(MV_TS_PACKET_SIZE - p.payload_length);
    }

    const uint8_t* raw = x->raw;
    if (pid == 0) {
        info.flags |= MV_TSINFO_PAT;
        if (m_hasGeneratedPat && Conf()->PATCHPAT) {
            if (!start) return;
            m_generatedPat[3] = static_cast<uint8_t>((m_generatedPat[3] & 0xF0) |
                                                     ((m_generatedPat[3] + 1) & 0x0F));
            raw = m_generatedPat;
            info.payloadOffset = 4;
            info.flags &= static_cast<uint8_t>(~MV_TSINFO_BADPAYLOAD);
        }
    } else if (pid == m_pids.pmtPid) {
        info.flags |= MV_TSINFO_PMT;
    } else if (pid == m_pids.videoPid) {
        info.flags |= MV_TSINFO_VIDEO;
        HandleVideo(x);
    } else if (m_roles[pid] & kRoleAudio) {
        info.flags |= MV_TSINFO_AUDIO;
        HandleAudio(x, info);
        return;
    }
    WritePacket(raw, info);
}

void TSSSegmenter::OnPat(const MvDVBTSPacketX* x) {
    const MvDVBTSPacket& p = x->packet;
    if (!HasPayload(p)) return;
    const bool start = p.payload_unit_start_indicator != 0;
    bool accepted = m_pat->AddData(start, p.payload, PayloadLength(p));
    if (!accepted && start) {
        // A section left incomplete by a lost packet would block every later start: begin
        // again with this one.
        delete m_pat;
        m_pat = new MvDVBPAT;
        accepted = m_pat->AddData(start, p.payload, PayloadLength(p));
    }
    if (!accepted) return;
    if (!m_pat->Ready()) {
        MVLOGI("[LIVE] " MV_CID_FMT " PAT is not ready yet, waiting for other sections....", MV_CID_ARGS(m_cid));
        return;
    }
    MVLOGI("[LIVE] " MV_CID_FMT " PAT detected", MV_CID_ARGS(m_cid));
    m_patDone = true;
    SelectProgram();
    if (m_pids.pmtPid == MV_PID_NONE)
        MVLOGW("[LIVE] " MV_CID_FMT " program %llu is not in the PAT, nothing is recorded",
               MV_CID_ARGS(m_cid), static_cast<unsigned long long>(m_programNumber));
}

void TSSSegmenter::SelectProgram() {
    std::vector<MvDVBPATProg> list;
    m_pat->GetProgs(&list, Conf()->PATPROGSONLY.load(std::memory_order_relaxed));
    const bool verbose = Verbose();
    if (list.size() == 1) {
        const MvDVBPATProg& e = list[0];
        MVLOGI("[LIVE] " MV_CID_FMT " PAT parsed (SPTS).... PMT PID=%d, NIT=%d", MV_CID_ARGS(m_cid),
               e.program_map_PID, e.program_number);
        // A network entry alone names no program map.
        if (e.program_number == 0) return;
        m_pids.pmtPid = e.program_map_PID;
        MvDVBCreatePAT(m_generatedPat, e.program_number, e.program_map_PID, 0);
        m_hasGeneratedPat = true;
        return;
    }
    MVLOGI("[LIVE] " MV_CID_FMT " PAT parsed (MPTS)....", MV_CID_ARGS(m_cid));
    for (const MvDVBPATProg& e : list) {
        if (verbose)
            MVLOGI("[LIVE] " MV_CID_FMT " prog entry: %d/%d/%d", MV_CID_ARGS(m_cid), e.network_PID,
                   e.program_map_PID, e.program_number);
        if (e.program_number == 0 || e.program_number != m_programNumber) continue;
        if (verbose)
            MVLOGI("[LIVE] " MV_CID_FMT " selected prog entry: %d/%d/%d", MV_CID_ARGS(m_cid),
                   e.network_PID, e.program_map_PID, e.program_number);
        m_pids.pmtPid = e.program_map_PID;
        MvDVBCreatePAT(m_generatedPat, e.program_number, e.program_map_PID, 0);
        m_hasGeneratedPat = true;
    }
}

void TSSSegmenter::OnPmt(const MvDVBTSPacketX* x) {
    const MvDVBTSPacket& p = x->packet;
    const bool start = p.payload_unit_start_indicator != 0;
    if (start) m_pmtStored.m_length = 0;
    if (m_pmtStored.GetLength() < TSS_TABLE_PACKETS_MAX * MV_TS_PACKET_SIZE)
        m_pmtStored.Add(x->raw, MV_TS_PACKET_SIZE);
    if (!HasPayload(p)) return;
    if (!m_pmt->AddData(start, p.payload, PayloadLength(p))) {
        MVLOGE("[LIVE] " MV_CID_FMT " PMT adding failed", MV_CID_ARGS(m_cid));
        if (!start) return;
        // As for the PAT: an incomplete section must not block the next one.
        delete m_pmt;
        m_pmt = new MvDVBPMT;
        if (!m_pmt->AddData(start, p.payload, PayloadLength(p))) return;
    }
    if (m_pmt->Ready()) LearnProgram();
}

void TSSSegmenter::HandleCA(const MvDVBDesc* desc, bool inStream, uint8_t streamType,
                            uint16_t streamPid) {
    if (desc == nullptr || desc->tag != 9) return;
    const MvDVBDescCA ca(desc);
    if (ca.CA_system_ID == 0xFFFF) return;
    const uint16_t caPid = ca.CA_PID;
    if (caPid == 0 || caPid == 0xFFFF) return;
    if (caPid == m_pids.pcrPid || caPid == m_pids.videoPid || caPid == m_pids.ecmPid) return;
    for (const std::vector<uint16_t>* l : {&m_pids.audioPids, &m_pids.caPids, &m_pids.otherPids})
        for (uint16_t v : *l)
            if (v == caPid) return;
    const bool verimatrix = ca.CA_system_ID == 0x5601;
    if (inStream) {
        if (verimatrix)
            MVLOGI("[LIVE] " MV_CID_FMT " VeriMatrix (%04x:%d) found in Stream(%d) with PID(%d)",
                   MV_CID_ARGS(m_cid), ca.CA_system_ID, caPid, streamType, streamPid);
        else
            MVLOGI("[LIVE] " MV_CID_FMT " unsupported CA (%04x:%d) found in Stream(%d) with PID(%d)",
                   MV_CID_ARGS(m_cid), ca.CA_system_ID, caPid, streamType, streamPid);
    } else {
        if (verimatrix)
            MVLOGI("[LIVE] " MV_CID_FMT " VeriMatrix (%04x:%d) found in PMT", MV_CID_ARGS(m_cid),
                   ca.CA_system_ID, caPid);
        else
            MVLOGI("[LIVE] " MV_CID_FMT " unsupported CA (%04x:%d) found in PMT", MV_CID_ARGS(m_cid),
                   ca.CA_system_ID, caPid);
    }
    if (verimatrix) m_pids.ecmPid = caPid;
    m_pids.caPids.push_back(caPid);
}

void TSSSegmenter::LearnProgram() {
    m_pmtLearned = true;
    MVLOGI("[LIVE] " MV_CID_FMT " PMT detected", MV_CID_ARGS(m_cid));
    const uint32_t pcr = m_pmt->GetPCR();
    m_pids.pcrPid = pcr > 0x1FFF ? MV_PID_NONE : static_cast<uint16_t>(pcr);

    std::vector<MvDVBDesc*> descs;
    m_pmt->GetDescs(&descs);
    for (MvDVBDesc* d : descs) {
        HandleCA(d, false, 0, 0);
        static const uint8_t kProtection[4] = {0x7A, 0x61, 0x76, 0x63};
        if (d->tag == 15 && d->data.size() == 4 && memcmp(d->data.data(), kProtection, 4) == 0)
            m_pids.ecmPid = 1;
        delete d;
    }

    std::vector<MvDVBStrm*> streams;
    m_pmt->GetStreams(&streams);
    for (MvDVBStrm* s : streams) {
        MVLOGI("[LIVE] " MV_CID_FMT " stream(%d), PID(%d)", MV_CID_ARGS(m_cid), s->stream_type,
               s->elementary_PID);
        const uint32_t kind = MvGetStreamKind(s->stream_type);
        if (kind == kMvStreamVideo) {
            m_pids.videoPid = s->elementary_PID;
            if (s->stream_type == 0x1B || s->stream_type == 0xDB)
                m_h264 = true;
            else if (s->stream_type >= 0x24 && s->stream_type <= 0x2A)
                m_hevc = true;
            else
                m_mpeg2 = true;
        } else if (kind == kMvStreamAudio) {
            m_pids.audioPids.push_back(s->elementary_PID);
        }
        for (const MvDVBDesc* d : s->descriptors) HandleCA(d, true, s->stream_type, s->elementary_PID);
        delete s;
    }

    m_pids.BuildPidSet();
    std::string text = "VPID=" + std::to_string(m_pids.videoPid) + " PCR=";
    text += m_pids.pcrPid == m_pids.videoPid ? std::string("VPID") : std::to_string(m_pids.pcrPid);
    if (m_pids.caPids.empty())
        text += " PROTECTION=FTA";
    else if (m_pids.ecmPid == MV_PID_NONE)
        text += " PROTECTION=Scrambled/Unknown";
    else
        text += " PROTECTION=VeriMatrix(" + std::to_string(m_pids.ecmPid) + ")";
    if (m_pids.audioPids.size() == 1) {
        text += " APID=" + std::to_string(m_pids.audioPids[0]);
    } else {
        text += " APIDs=(";
        for (size_t i = 0; i < m_pids.audioPids.size(); ++i) {
            if (i) text += ',';
            text += std::to_string(m_pids.audioPids[i]);
        }
        text += ")";
    }
    if (!m_pids.otherPids.empty()) {
        text += " OTHER=(";
        for (size_t i = 0; i < m_pids.otherPids.size(); ++i) {
            if (i) text += ',';
            text += std::to_string(m_pids.otherPids[i]);
        }
        text += ")";
    }
    m_pids.description = text;
    MVLOGI("[LIVE] " MV_CID_FMT " PMT parsed, %s", MV_CID_ARGS(m_cid), text.c_str());
    if (m_pids.videoPid == MV_PID_NONE)
        MVLOGW("[LIVE] " MV_CID_FMT " program has no video stream, nothing is recorded",
               MV_CID_ARGS(m_cid));

    BuildRoles();
    CreateAudioStates();
    RecountQueued();
}

void TSSSegmenter::BuildRoles() {
    memset(m_roles, 0, sizeof(m_roles));
    for (const auto& kv : m_pids.pidSet)
        if (kv.first < 8192) m_roles[kv.first] |= kRoleProgram;
    for (uint16_t pid : m_pids.audioPids)
        if (pid < 8192) m_roles[pid] |= kRoleAudio;
}

void TSSSegmenter::HandleVideo(const MvDVBTSPacketX* x) {
    const MvDVBTSPacket& p = x->packet;
    const bool start = p.payload_unit_start_indicator != 0;
    bool key = false;
    int criterion = MV_KF_RAI;
    if ((m_flags & HSC_CHANNEL_RPROGRAM) && p.random_access_indicator) {
        m_kfMode = 2;
        if (start) ++m_frames;
        key = true;
    } else if (start) {
        ++m_frames;
        if (m_kfMode != 2) {
            if (m_kfPendingPacket != x) EvaluateHeadKeyFrame(true);
            key = m_kfPendingKey;
            criterion = m_kfPendingCriterion;
            m_kfMode = m_kfPendingState;
        }
    }
    if (m_gop == nullptr) OpenGop();
    if (key && m_gop->dataSize != 0) {
        if (m_started)
            CloseGop(criterion);
        else
            SkipGop();
    }
}

void TSSSegmenter::InitRecord() {
    MvInitRTPData(m_lastRx, m_record, ++m_rtpSeq);
    m_slots = 0;
}

void TSSSegmenter::CompleteRecord() {
    if (m_gop != nullptr) {
        if (m_gop->dataSize < TSS_RECORD_APPEND_LIMIT && m_gop->AppendRecord(m_record)) {
            // appended
        } else {
            if (!m_overflow) {
                ++m_counters.overflows;
                MVLOGW("[LIVE] " MV_CID_FMT " GOP(%u) overflow...", MV_CID_ARGS(m_cid),
                       static_cast<unsigned>(m_gop->gopId));
            }
            ClearWriting();
            m_overflow = true;
            // The entries of the dropped record point past the data.
            while (!m_gop->tsInfos.empty() &&
                   m_gop->tsInfos.back().packetOffset + MV_TS_PACKET_SIZE > m_gop->dataSize)
                m_gop->tsInfos.pop_back();
        }
    }
    InitRecord();
}

void TSSSegmenter::WritePacket(const uint8_t* raw, MvTSInfo info) {
    if (m_gop != nullptr && !m_overflow) {
        info.recordOffset = m_gop->dataSize;
        info.packetOffset = m_gop->dataSize + MV_GOP_RECORD_HEADER_SIZE +
                            static_cast<uint32_t>(m_slots) * MV_TS_PACKET_SIZE;
        m_gop->tsInfos.push_back(info);
    }
    memcpy(m_record + MV_GOP_RECORD_HEADER_SIZE + m_slots * MV_TS_PACKET_SIZE, raw, MV_TS_PACKET_SIZE);
    if (++m_slots == MV_GOP_RECORD_PACKETS) CompleteRecord();
}

// ---------------------------------------------------------------------------------------------
// GOPs.

void TSSSegmenter::OpenGop() {
    const bool patched = m_hasGeneratedPat && Conf()->PATCHPAT;
    if (!patched) {
        SetCC(m_patStored, m_nextGopId);
        SetCC(m_pmtStored, m_nextGopId);
    }
    MvBuffer generated;
    if (patched) generated.Add(m_generatedPat, MV_TS_PACKET_SIZE);
    m_gop = MvInitGOP(m_cid, nullptr, m_nextGopId, patched ? generated : m_patStored, m_pmtStored,
                      m_ecmStored, m_pids, TSS_GOP_CAPACITY);
    m_overflow = false;
}

void TSSSegmenter::ReleaseGop() {
    // A GOP that was never pushed has no other holder.
    delete m_gop;
    m_gop = nullptr;
}

uint64_t TSSSegmenter::FirstVideoPts(bool& ok) const {
    uint8_t head[64];
    int n = 0;
    bool first = true;
    for (const MvTSInfo& e : m_gop->tsInfos) {
        if ((e.flags & MV_TSINFO_VIDEO) == 0) continue;
        if (static_cast<uint64_t>(e.packetOffset) + MV_TS_PACKET_SIZE > m_gop->dataSize) continue;
        if (!first && (e.flags & MV_TSINFO_PUSI)) break;
        first = false;
        const int at = e.payloadOffset > MV_TS_PACKET_SIZE ? 4 : e.payloadOffset;
        int len = MV_TS_PACKET_SIZE - at;
        if (len > static_cast<int>(sizeof(head)) - n) len = static_cast<int>(sizeof(head)) - n;
        if (len > 0) memcpy(head + n, m_gop->data + e.packetOffset + at, static_cast<size_t>(len));
        n += len;
        // A PES header's time stamps lie within its first 19 bytes.
        if (n >= static_cast<int>(sizeof(head))) break;
    }
    MvDVBPESHdr hdr;
    ok = n > 0 && MvDVBParsePES(head, n, &hdr, true);
    if (!ok) return 0;
    return (hdr.PTS_DTS_flags & 0x02) ? hdr.PTS : 0;
}

bool TSSSegmenter::MatchPrimary(HSCGop* gop) {
    const ITGMainConf* conf = Conf();
    const int wait = conf->ABRWAITTIME.load(std::memory_order_relaxed);
    const uint64_t threshold =
        static_cast<uint64_t>(std::max<int32_t>(0, conf->ABRTHRESHOLDMS.load(std::memory_order_relaxed)));
    const int attempts = wait < 1 ? 0 : wait * 10;
    uint64_t match = 0;
    uint64_t distance = UINT64_MAX;
    for (int i = 0; i < attempts; ++i) {
        const uint64_t answer = m_sink != nullptr ? m_sink->PrimaryGopForPts(gop->pts, 90000, distance) : 0;
        if (answer != 0 && distance <= threshold) {
            match = answer;
            break;
        }
        if (i + 1 < attempts && m_sink != nullptr) m_sink->Pause(100);
    }
    if (match == 0) {
        MVLOGE("[LIVE] " MV_CID_FMT " no matching GOP in primary CID for PTS(%u) after ~%d second(s) of "
               "waiting, diff%u), discarding GOP",
               MV_CID_ARGS(m_cid), static_cast<unsigned>(gop->pts), wait, static_cast<unsigned>(distance));
        return false;
    }
    if (Verbose() && match != gop->gopId)
        MVLOGI("[LIVE] " MV_CID_FMT " GOP(%u) patched to primary CID GOP(%u)", MV_CID_ARGS(m_cid),
               static_cast<unsigned>(gop->gopId), static_cast<unsigned>(match));
    gop->gopId = match;
    m_nextGopId = match + 1;
    return true;
}

void TSSSegmenter::CloseGop(int criterion) {
    HSCGop* gop = m_gop;
    if (m_slots > 0) {
        if (gop->dataSize >= TSS_RECORD_APPEND_LIMIT || !gop->AppendRecord(m_record)) {
            if (!m_overflow) {
                ++m_counters.overflows;
                MVLOGW("[LIVE] " MV_CID_FMT ", GOP(%u) overflow...", MV_CID_ARGS(m_cid),
                       static_cast<unsigned>(gop->gopId));
            }
            ClearWriting();
            m_overflow = true;
            while (!gop->tsInfos.empty() &&
                   gop->tsInfos.back().packetOffset + MV_TS_PACKET_SIZE > gop->dataSize)
                gop->tsInfos.pop_back();
        }
        InitRecord();
    }
    gop->closedSize = gop->dataSize;

    bool ok = false;
    const uint64_t pts = FirstVideoPts(ok);
    if (ok)
        gop->pts = pts & 0x1FFFFFFFEull;
    else
        MVLOGE("[LIVE] " MV_CID_FMT " error parsing first video PES, discarding GOP(%u)", MV_CID_ARGS(m_cid),
               static_cast<unsigned>(gop->gopId));

    bool keep = true;
    if (m_extraBitrate) keep = gop->pts != 0 && MatchPrimary(gop);

    m_gop = nullptr;
    if (keep) {
        gop->ReMap();
        if (Verbose()) {
            char when[64];
            MvTimeToStrR(when, gop->startTime);
            MVLOGI("[LIVE] " MV_CID_FMT " GOP(%u), size(%d), time(%s), type(%d), Frames(%d), CCErrors(%d), "
                   "Finish Criteria(%d) added to storage...",
                   MV_CID_ARGS(m_cid), static_cast<unsigned>(gop->gopId), static_cast<int>(gop->dataSize),
                   when, m_kfMode, m_frames, m_gopCCErrors, criterion);
        }
        ++m_counters.gopsClosed;
        if (m_sink != nullptr)
            m_sink->PushGop(gop);
        else
            delete gop;
    } else {
        ++m_counters.gopsDropped;
        delete gop;
    }
    m_frames = 0;
    m_gopCCErrors = 0;
    m_hadGop = true;
    OpenGop();
}

void TSSSegmenter::SkipGop() {
    MVLOGI("[LIVE] " MV_CID_FMT " %s incomplete live GOP skipped...", MV_CID_ARGS(m_cid),
           m_hadGop ? "subsequent" : "first");
    if (m_hadGop) --m_nextGopId;
    m_gop->dataSize = 0;
    m_gop->tsInfos.clear();
    InitRecord();
    DiscardAudioStates();
    CreateAudioStates();
    ReleaseGop();
    ++m_counters.gopsSkipped;
    m_frames = 0;
    m_gopCCErrors = 0;
    m_started = true;
    m_hadGop = true;
    OpenGop();
}
