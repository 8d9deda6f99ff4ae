#include "vodpush.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "liveinput_rx.h"
#include "mvdvbts_misc.h"
#include "mvdvbts_pat.h"
#include "mvdvbts_pmt.h"
#include "mvtime.h"

namespace {

constexpr uint16_t kCASystemVerimatrix = 0x5601;
constexpr uint8_t kDescCA = 9;
constexpr uint8_t kDescPrivateDataIndicator = 15;
constexpr uint16_t kProtectionMark = 1;
constexpr uint64_t kPts33 = 1ull << 33;
constexpr int64_t kNsPerSec = 1000000000;
// A PAT or PMT section (at most 1024 bytes) spans at most 6 packets; an occurrence longer than
// this is broken and collected again from the next unit start.
constexpr int kMaxTablePackets = 16;

// Parses one packet and checks that its payload lies inside it.
bool ParsePacket(const uint8_t* packet, MvDVBTSPacket& ts) {
    if (!MvDVBParseTS(packet, &ts)) return false;
    if (ts.payload_length > 0 &&
        (ts.payload < packet || ts.payload + ts.payload_length > packet + MV_TS_PACKET_SIZE))
        return false;
    return true;
}

bool InList(const std::vector<uint16_t>& list, uint16_t pid) {
    for (uint16_t p : list)
        if (p == pid) return true;
    return false;
}

// A CA descriptor names a CA PID the program carries; a recognised system's PID becomes the ECM
// PID. The private data indicator "zavc" marks the program as protected without an ECM PID.
void LearnCA(const MvDVBDesc* desc, HSCPIDData& pids) {
    if (desc->tag == kDescCA) {
        MvDVBDescCA ca(desc);
        if (ca.CA_system_ID == 0xFFFF || ca.CA_PID == 0 || ca.CA_PID == 0xFFFF) return;
        if (ca.CA_PID == pids.pcrPid || ca.CA_PID == pids.videoPid || ca.CA_PID == pids.ecmPid)
            return;
        if (InList(pids.audioPids, ca.CA_PID) || InList(pids.caPids, ca.CA_PID) ||
            InList(pids.otherPids, ca.CA_PID))
            return;
        if (ca.CA_system_ID == kCASystemVerimatrix) pids.ecmPid = ca.CA_PID;
        pids.caPids.push_back(ca.CA_PID);
    } else if (desc->tag == kDescPrivateDataIndicator && desc->data.size() == 4 &&
               memcmp(desc->data.data(), "zavc", 4) == 0) {
        pids.ecmPid = kProtectionMark;
    }
}

// The program's PIDs and codec flags from its PMT, as the live segmenter learns them.
void LearnProgram(MvDVBPMT& pmt, MvVodTitle& title) {
    HSCPIDData& pids = title.pids;
    pids.pcrPid = static_cast<uint16_t>(pmt.GetPCR());
    std::vector<MvDVBDesc*> descs;
    pmt.GetDescs(&descs);
    for (MvDVBDesc* d : descs) {
        LearnCA(d, pids);
        delete d;
    }
    std::vector<MvDVBStrm*> streams;
    pmt.GetStreams(&streams);
    for (MvDVBStrm* s : streams) {
        const uint32_t kind = MvGetStreamKind(s->stream_type);
        if (kind == kMvStreamVideo) {
            pids.videoPid = s->elementary_PID;
            if (s->stream_type == 0x1B || s->stream_type == 0xDB)
                title.h264 = true;
            else if (s->stream_type >= 0x24 && s->stream_type <= 0x2A)
                title.hevc = true;
            else
                title.mpeg2 = true;
        } else if (kind == kMvStreamAudio) {
            pids.audioPids.push_back(s->elementary_PID);
        }
        for (const MvDVBDesc* d : s->descriptors) LearnCA(d, pids);
        delete s;
    }
    pids.BuildPidSet();
}

// Appends the packet's payload to out (holding length bytes, capacity MV_KF_GATHER_SIZE).
void AddPayload(const MvDVBTSPacket& ts, uint8_t* out, int& length) {
    if ((ts.adaptation_field_control & 0x01) == 0 || ts.payload == nullptr) return;
    int n = ts.payload_length;
    if (n > kMvTSPacketSize - 4) n = kMvTSPacketSize - 4;
    if (n > MV_KF_GATHER_SIZE - length) n = MV_KF_GATHER_SIZE - length;
    if (n <= 0) return;
    memcpy(out + length, ts.payload, static_cast<size_t>(n));
    length += n;
}

// Gathers the payload of the video payload-unit start at packet i and of the following packets
// of the video PID, up to the next payload-unit start or until more than MV_KF_GATHER_LIMIT
// bytes are held: what the live segmenter hands its key-frame finders.
int GatherVideo(const uint8_t* data, uint64_t packets, uint64_t i, const MvDVBTSPacket& first,
                uint16_t videoPid, uint8_t* out) {
    int length = 0;
    AddPayload(first, out, length);
    const uint64_t stop = packets - i - 1 > MV_VOD_LOOKAHEAD_PACKETS ? i + 1 + MV_VOD_LOOKAHEAD_PACKETS
                                                                     : packets;
    for (uint64_t j = i + 1; j < stop && length <= MV_KF_GATHER_LIMIT; ++j) {
        const uint8_t* p = data + j * MV_TS_PACKET_SIZE;
        if (p[0] != kMvTSSyncByte) break;  // the scan stops there anyway
        MvDVBTSPacket ts;
        if (!ParsePacket(p, ts) || ts.PID != videoPid) continue;
        if (ts.payload_unit_start_indicator) break;
        AddPayload(ts, out, length);
    }
    return length;
}

std::string Format(const char* format, uint64_t a, uint64_t b = 0) {
    char text[256];
    snprintf(text, sizeof(text), format, a, b);
    return text;
}

}  // namespace

const char* MvVodScanResultText(MvVodScanResult result) {
    switch (result) {
        case MvVodScanResult::Ok: return "ok";
        case MvVodScanResult::Empty: return "the file is empty";
        case MvVodScanResult::NotTS: return "not an MPEG transport stream";
        case MvVodScanResult::NoPAT: return "no program association table (PAT) found";
        case MvVodScanResult::NoProgram: return "the PAT lists no program";
        case MvVodScanResult::NoPMT: return "no program map table (PMT) found for the program";
        case MvVodScanResult::NoVideo: return "the program has no video stream";
        case MvVodScanResult::NoKeyFrame: return "no video key frame found";
        case MvVodScanResult::GopTooLarge: return "a GOP is larger than the server accepts";
        case MvVodScanResult::TooManyGops: return "too many GOPs for one title";
    }
    return "unknown";
}

void MvVodTitle::Reset() {
    programNumber = 0;
    pids = HSCPIDData();
    pat.Clean();
    pmt.Clean();
    ecm.Clean();
    h264 = hevc = mpeg2 = false;
    gops.clear();
    filePackets = leadingPackets = skippedPackets = badPackets = 0;
    trailingBytes = 0;
}

uint64_t MvVodTitle::SentPackets() const {
    uint64_t n = 0;
    for (const MvVodGopSpan& g : gops) n += g.packets;
    return n;
}

uint64_t MvVodTitle::MessageCount() const {
    uint64_t n = 0;
    for (const MvVodGopSpan& g : gops) n += (g.packets + MV_VOD_MSG_PACKETS - 1) / MV_VOD_MSG_PACKETS;
    return n;
}

uint64_t MvVodMaxGopRecords(uint32_t capacity) {
    // The server appends a record while the GOP holds at most capacity - 1345 bytes.
    if (capacity < MV_GOP_RECORD_SIZE + 1) return 0;
    return (capacity - (MV_GOP_RECORD_SIZE + 1)) / MV_GOP_RECORD_SIZE + 1;
}

bool MvVodIsTitlePacket(const MvVodTitle& title, const uint8_t* packet) {
    MvDVBTSPacket ts;
    if (!ParsePacket(packet, ts) || ts.PID == kMvTSNullPID) return false;
    return title.pids.pidSet.count(ts.PID) != 0;
}

MvVodScanResult MvVodScan(const uint8_t* data, uint64_t length, const MvVodScanOptions& options,
                          MvVodTitle& title, std::string& detail) {
    detail.clear();
    title.Reset();
    if (length == 0) return MvVodScanResult::Empty;
    const uint64_t packets = length / MV_TS_PACKET_SIZE;
    title.filePackets = packets;
    title.trailingBytes = static_cast<uint32_t>(length % MV_TS_PACKET_SIZE);
    if (packets == 0) {
        detail = Format("the file is shorter than one 188-byte packet (%" PRIu64 " bytes)", length);
        return MvVodScanResult::NotTS;
    }

    MvDVBPAT pat;
    MvDVBPMT pmt;
    std::vector<uint8_t> patAcc;
    bool patAccOpen = false;
    bool havePmtPid = false;
    bool pmtReady = false;
    uint16_t pmtPid = MV_PID_NONE;
    bool patReady = false;
    int ecmState = 0;  // 0 waiting for a start, 1 collecting, 2 done
    const uint64_t maxRecords = MvVodMaxGopRecords(options.gopCapacity);
    int mode = 0;
    MvVodClock clock;
    uint8_t gather[MV_KF_GATHER_SIZE];
    int criterion = 0;

    for (uint64_t i = 0; i < packets; ++i) {
        const uint8_t* p = data + i * MV_TS_PACKET_SIZE;
        if (p[0] != kMvTSSyncByte) {
            detail = Format("no sync byte at offset %" PRIu64 " (packet %" PRIu64 ")",
                            i * MV_TS_PACKET_SIZE, i);
            return MvVodScanResult::NotTS;
        }
        MvDVBTSPacket ts;
        const bool parsed = ParsePacket(p, ts);
        if (!parsed) ++title.badPackets;

        if (!pmtReady) {
            ++title.leadingPackets;
            if (!parsed) continue;
            if (!havePmtPid && ts.PID == 0) {
                if (ts.payload_unit_start_indicator) {
                    patAcc.clear();
                    patAccOpen = true;
                }
                if (patAccOpen) {
                    if (patAcc.size() >= kMaxTablePackets * MV_TS_PACKET_SIZE) {
                        patAcc.clear();
                        patAccOpen = false;
                    } else {
                        patAcc.insert(patAcc.end(), p, p + MV_TS_PACKET_SIZE);
                    }
                }
                pat.AddData(ts.payload_unit_start_indicator != 0, ts.payload, ts.payload_length);
                if (pat.Ready()) {
                    patReady = true;
                    std::vector<MvDVBPATProg> progs;
                    pat.GetProgs(&progs, true);
                    if (progs.empty()) return MvVodScanResult::NoProgram;
                    title.programNumber = progs[0].program_number;
                    pmtPid = progs[0].program_map_PID;
                    havePmtPid = true;
                    title.pat.Add(patAcc.data(), static_cast<int>(patAcc.size()));
                    pmt.Prepare(title.programNumber, true);
                }
            } else if (havePmtPid && ts.PID == pmtPid) {
                if (ts.payload_unit_start_indicator ||
                    title.pmt.GetLength() >= kMaxTablePackets * MV_TS_PACKET_SIZE)
                    title.pmt.Clean();
                title.pmt.Add(p, MV_TS_PACKET_SIZE);
                pmt.AddData(ts.payload_unit_start_indicator != 0, ts.payload, ts.payload_length);
                if (pmt.Ready()) {
                    pmtReady = true;
                    title.pids.pmtPid = pmtPid;
                    LearnProgram(pmt, title);
                    if (title.pids.videoPid == MV_PID_NONE) return MvVodScanResult::NoVideo;
                }
            }
            continue;
        }

        if (!parsed || ts.PID == kMvTSNullPID || title.pids.pidSet.count(ts.PID) == 0) {
            if (title.gops.empty())
                ++title.leadingPackets;
            else
                ++title.skippedPackets;
            continue;
        }

        // The first complete ECM occurrence goes with every GOP.
        const uint16_t ecmPid = title.pids.ecmPid;
        if (ecmState < 2 && ecmPid != MV_PID_NONE && ecmPid >= 0x10 && ts.PID == ecmPid) {
            if (ts.payload_unit_start_indicator) {
                if (ecmState == 1) {
                    ecmState = 2;
                } else {
                    ecmState = 1;
                }
            }
            if (ecmState == 1) {
                if (title.ecm.GetLength() >= MV_VOD_MAX_ECM_PACKETS * MV_TS_PACKET_SIZE) {
                    ecmState = 2;
                } else {
                    title.ecm.Add(p, MV_TS_PACKET_SIZE);
                }
            }
        }

        if (ts.PID == title.pids.videoPid && ts.payload_unit_start_indicator) {
            const int n = GatherVideo(data, packets, i, ts, title.pids.videoPid, gather);
            if (MvFindKeyFrame(title.h264, title.hevc, title.mpeg2, gather, n, mode, options.idr,
                               criterion)) {
                if (!title.gops.empty()) title.gops.back().endPacket = i;
                MvDVBPESHdr pes;
                const bool hasPts = MvDVBParsePES(gather, n, &pes, true) && (pes.PTS_DTS_flags & 2) != 0;
                MvVodGopSpan span;
                span.firstPacket = i;
                span.endPacket = packets;
                span.offsetNs = clock.Next(hasPts, hasPts ? pes.PTS : 0);
                title.gops.push_back(span);
                if (title.gops.size() > UINT32_MAX) return MvVodScanResult::TooManyGops;
            }
        }
        if (title.gops.empty()) {
            ++title.leadingPackets;
            continue;
        }
        MvVodGopSpan& gop = title.gops.back();
        ++gop.packets;
        if ((gop.packets + MV_VOD_MSG_PACKETS - 1) / MV_VOD_MSG_PACKETS > maxRecords) {
            detail = Format("GOP %" PRIu64 " starting at packet %" PRIu64, title.gops.size(),
                            gop.firstPacket);
            detail += Format(" holds more than %" PRIu64 " bytes of packet records (the limit is %" PRIu64
                             " bytes)",
                             maxRecords * MV_GOP_RECORD_SIZE, options.gopCapacity);
            return MvVodScanResult::GopTooLarge;
        }
    }

    if (!patReady) return MvVodScanResult::NoPAT;
    if (!pmtReady) {
        detail = Format("program %" PRIu64 ", PMT PID %" PRIu64, title.programNumber, pmtPid);
        return MvVodScanResult::NoPMT;
    }
    if (title.gops.empty()) {
        if (title.h264 && !options.idr)
            detail = "H.264 pictures count as key frames only after an access unit delimiter of an "
                     "I picture; try --idr to accept IDR slices";
        return MvVodScanResult::NoKeyFrame;
    }
    return MvVodScanResult::Ok;
}

int64_t MvVodClock::Next(bool hasPts, uint64_t pts) {
    pts &= kPts33 - 1;
    if (!m_started) {
        m_started = true;
        m_havePts = hasPts;
        m_lastPts = pts;
        return 0;
    }
    uint64_t step = m_stepTicks;
    if (hasPts) {
        if (m_havePts) {
            const uint64_t delta = (pts - m_lastPts) & (kPts33 - 1);
            if (delta > 0 && delta <= MV_VOD_MAX_GOP_PTS) step = delta;
        }
        m_lastPts = pts;
        m_havePts = true;
    } else if (m_havePts) {
        // The estimate stands in for the missing PTS, so the next one is measured from it.
        m_lastPts = (m_lastPts + step) & (kPts33 - 1);
    }
    m_stepTicks = step;
    m_offsetTicks += step;
    return static_cast<int64_t>(m_offsetTicks * 100000 / 9);  // 90 kHz ticks to ns
}

timespec MvVodTimeBase() { return MvTimeToTimespec(MvTimeCreate(2000, 1, 1, 0, 0, 0, 0)); }

timespec MvVodTimeAdd(const timespec& base, int64_t offsetNs) {
    timespec t = base;
    t.tv_sec += static_cast<time_t>(offsetNs / kNsPerSec);
    t.tv_nsec += static_cast<long>(offsetNs % kNsPerSec);
    if (t.tv_nsec >= kNsPerSec) {
        t.tv_nsec -= kNsPerSec;
        ++t.tv_sec;
    }
    return t;
}

bool MvVodParseNumber(const char* text, uint64_t min, uint64_t max, uint64_t& value) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (v < min || v > max) return false;
    value = v;
    return true;
}

bool MvVodParseContentId(const char* text, uint32_t& content) {
    uint64_t v = 0;
    if (!MvVodParseNumber(text, MV_VOD_FIRST_CONTENT, MV_VOD_LAST_CONTENT, v)) return false;
    content = static_cast<uint32_t>(v);
    return true;
}

void MvVodPutU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void MvVodPutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void MvVodPutU64(std::vector<uint8_t>& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void MvVodPutBuffer(std::vector<uint8_t>& out, const MvBuffer& buffer) {
    const int n = buffer.GetLength();
    MvVodPutU32(out, static_cast<uint32_t>(n));
    if (n > 0) out.insert(out.end(), buffer.GetData(), buffer.GetData() + n);
}

void MvVodEncodeHeader(std::vector<uint8_t>& out, tagMvCID cid, uint64_t storageId,
                       uint32_t gopCount) {
    MvVodPutU64(out, cid);
    MvVodPutU64(out, storageId);
    MvVodPutU32(out, gopCount);
}

void MvVodEncodePidData(std::vector<uint8_t>& out, const HSCPIDData& pids) {
    MvVodPutU16(out, pids.pmtPid);
    MvVodPutU16(out, pids.pcrPid);
    MvVodPutU16(out, pids.videoPid);
    MvVodPutU16(out, pids.ecmPid);
    for (const std::vector<uint16_t>* list : {&pids.audioPids, &pids.caPids, &pids.otherPids}) {
        MvVodPutU32(out, static_cast<uint32_t>(list->size()));
        for (uint16_t pid : *list) MvVodPutU16(out, pid);
    }
}

void MvVodEncodeInitialData(std::vector<uint8_t>& out, uint64_t firstGop, const MvVodTitle& title) {
    MvVodPutU64(out, firstGop);
    MvVodPutBuffer(out, title.pat);
    MvVodPutBuffer(out, title.pmt);
    MvVodPutBuffer(out, title.ecm);
    std::vector<uint8_t> pidData;
    MvVodEncodePidData(pidData, title.pids);
    MvVodPutU32(out, static_cast<uint32_t>(pidData.size()));
    out.insert(out.end(), pidData.begin(), pidData.end());
}

void MvVodEncodeDataMessage(std::vector<uint8_t>& out, bool newGop, const timespec& time,
                            const uint8_t* packets) {
    MvVodPutU16(out, 0);               // end
    MvVodPutU16(out, newGop ? 1 : 0);  // new GOP
    MvVodPutU64(out, 0);               // reserved
    MvVodPutU64(out, 0);               // reserved
    MvVodPutU64(out, static_cast<uint64_t>(time.tv_sec));
    MvVodPutU64(out, static_cast<uint64_t>(time.tv_nsec));
    out.insert(out.end(), packets, packets + MV_VOD_MSG_PAYLOAD);
}

void MvVodEncodeEnd(std::vector<uint8_t>& out) { MvVodPutU16(out, 1); }

uint64_t MvVodEncodeGop(std::vector<uint8_t>& out, const MvVodTitle& title, const uint8_t* data,
                        size_t gop, const timespec& time) {
    if (gop >= title.gops.size()) return 0;
    const MvVodGopSpan& span = title.gops[gop];
    uint8_t slots[MV_VOD_MSG_PAYLOAD];
    int used = 0;
    uint64_t messages = 0;
    for (uint64_t i = span.firstPacket; i < span.endPacket && i < title.filePackets; ++i) {
        const uint8_t* p = data + i * MV_TS_PACKET_SIZE;
        if (!MvVodIsTitlePacket(title, p)) continue;
        memcpy(slots + used * MV_TS_PACKET_SIZE, p, MV_TS_PACKET_SIZE);
        if (++used == MV_VOD_MSG_PACKETS) {
            MvVodEncodeDataMessage(out, messages == 0, time, slots);
            ++messages;
            used = 0;
        }
    }
    if (used > 0) {
        // Null packets fill the GOP's last message, so that the next GOP's key frame is the
        // first video packet of its own message; the server skips them.
        for (int k = used; k < MV_VOD_MSG_PACKETS; ++k) {
            uint8_t* s = slots + k * MV_TS_PACKET_SIZE;
            memset(s, 0xFF, MV_TS_PACKET_SIZE);
            s[0] = kMvTSSyncByte;
            s[1] = 0x1F;
            s[2] = 0xFF;
            s[3] = 0x10;
        }
        MvVodEncodeDataMessage(out, messages == 0, time, slots);
        ++messages;
    }
    return messages;
}
