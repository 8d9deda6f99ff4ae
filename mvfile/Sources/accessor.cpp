// Builds the five accessors of a GOP from its per-packet index (see accessor.h).
//
// The GOP may come from a damaged medium or a hostile stream: an index entry is used only when
// its whole packet lies inside the GOP's data, a payload offset above 188 counts as 4, and every
// PES header is parsed from a bounded copy of the PES head. Nothing here reads outside a packet
// or outside the GOP's data.
#include "accessor.h"

#include <cstring>
#include <memory>
#include <vector>

#include "cfg.h"
#include "mvdvbts_pmt.h"
#include "mvlogger.h"
#include "mvtime.h"

namespace {

constexpr uint32_t kPacket = 188;
constexpr uint64_t kPts33 = 0x1FFFFFFFFull;
constexpr uint64_t kPtsEven = 0x1FFFFFFFEull;

void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLE64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t GetLE64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint32_t Clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// The bytes of the GOP that index entries may point at: dataSize, never more than is mapped.
struct GopView {
    const uint8_t* data;
    uint32_t limit;

    explicit GopView(const HSCGop& gop)
        : data(gop.data),
          limit(gop.data == nullptr ? 0 : (gop.dataSize < gop.mappedSize ? gop.dataSize : gop.mappedSize)) {}

    bool Considered(const MvTSInfo& info) const {
        return static_cast<uint64_t>(info.packetOffset) + kPacket <= limit;
    }
    const uint8_t* Packet(const MvTSInfo& info) const { return data + info.packetOffset; }
    static uint32_t PayloadAt(const MvTSInfo& info) {
        return info.payloadOffset > kPacket ? 4 : info.payloadOffset;
    }
    const uint8_t* Payload(const MvTSInfo& info) const { return Packet(info) + PayloadAt(info); }
    static uint32_t PayloadLength(const MvTSInfo& info) { return kPacket - PayloadAt(info); }
};

bool GroupStart(const GopView& view, const MvTSInfo& info) {
    return (info.flags & (MV_TSINFO_VIDEO | MV_TSINFO_PUSI)) == (MV_TSINFO_VIDEO | MV_TSINFO_PUSI) &&
           view.Considered(info);
}

// The head of a PES gathered across packets and the count of all its bytes. A header parse of
// the head gives the same result as one of the whole PES (it never reads past
// MV_ACC_PES_HEAD_MAX bytes); only the payload length has to come from the count.
struct PesHead {
    uint8_t head[MV_ACC_PES_HEAD_MAX];
    uint32_t headLength = 0;
    uint64_t total = 0;

    void Clear() {
        headLength = 0;
        total = 0;
    }
    void Add(const uint8_t* bytes, uint32_t n) {
        if (headLength < sizeof(head)) {
            const uint32_t take = n < sizeof(head) - headLength ? n : sizeof(head) - headLength;
            memcpy(head + headLength, bytes, take);
            headLength += take;
        }
        total += n;
    }
};

// Full parse of a gathered PES: header length and payload length of the whole PES.
bool ParseFull(const uint8_t* head, uint32_t headLength, uint64_t total, MvDVBPESHdr* hdr,
               uint32_t* headerLength, uint32_t* payloadLength) {
    if (!MvDVBParsePES(head, static_cast<int>(headLength), hdr, false)) return false;
    const uint32_t at = static_cast<uint32_t>(hdr->payload - head);
    *headerLength = at;
    *payloadLength = Clamp32(total - at);
    return true;
}

// Receive time of a record as MvTime. Conversions go through localtime_r; consecutive records
// mostly share their second, so the second's value is kept and only the centiseconds change.
class ReceiveTimes {
public:
    MvTime Get(const GopView& view, uint32_t recordOffset) {
        if (static_cast<uint64_t>(recordOffset) + MV_GOP_RECORD_TIME_SIZE > view.limit) return 0;
        const int64_t sec = static_cast<int64_t>(GetLE64(view.data + recordOffset));
        const int64_t ns = static_cast<int64_t>(GetLE64(view.data + recordOffset + 8));
        // Outside these ranges the record is damaged; 0 means no time.
        if (sec < 0 || sec >= (int64_t{1} << 40) || ns < 0 || ns >= 1000000000) return 0;
        if (!m_valid || sec != m_sec) {
            m_sec = sec;
            m_base = MvTimeFromTimespec(timespec{static_cast<time_t>(sec), 0});
            m_valid = true;
        }
        return m_base == 0 ? 0 : m_base + static_cast<uint64_t>(ns / 10000000);
    }

private:
    bool m_valid = false;
    int64_t m_sec = 0;
    MvTime m_base = 0;
};

void ResetAccessor(MvAccessor* acc) {
    acc->headerCount = 0;
    acc->entries.clear();
    acc->buffer.m_length = 0;
}

void AddEntry(MvAccessor* acc, uint8_t type, uint32_t a, uint32_t b, uint32_t c = 0) {
    MvSeqEntry e;
    e.type = type;
    e.a = a;
    e.b = b;
    e.c = c;
    acc->entries.push_back(e);
}

uint32_t FastFrameLimit() { return ITGGetMainConf()->SECONDFIELD.load(std::memory_order_relaxed) ? 2 : 1; }

// Accessor 5 record bytes.
void AudioRecord(uint8_t* out17, uint64_t stamp, uint32_t headerLength, uint32_t payloadLength,
                 uint8_t cut) {
    PutLE64(out17, stamp);
    PutLE32(out17 + 8, headerLength);
    PutLE32(out17 + 12, payloadLength);
    out17[16] = cut;
}

uint64_t AudioIdentity(const MvAData& state) {
    return (static_cast<uint64_t>(state.index & 0xFF) << 40) |
           (static_cast<uint64_t>(state.codecKind & 0xFF) << 48) |
           (static_cast<uint64_t>(state.language & 0xFF) << 56);
}

// Reads a record entry of `type` whose length is `size`: the bytes after the 2-byte framing.
const uint8_t* RecordBytes(const MvAccessor& acc, const MvSeqEntry& entry, uint8_t type,
                           uint32_t size) {
    if (entry.type != type || entry.b != size) return nullptr;
    if (static_cast<uint64_t>(entry.a) + size > static_cast<uint64_t>(acc.buffer.GetLength()))
        return nullptr;
    return acc.buffer.GetData() + entry.a + 2;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

uint32_t MvAccessorAddSimple(MvBuffer& buffer, uint8_t channel, const uint8_t* data,
                             uint16_t value) {
    const uint32_t at = static_cast<uint32_t>(buffer.GetLength());
    uint8_t head[4] = {MV_ACC_MAGIC, channel, 0, 0};
    PutLE16(head + 2, value);
    buffer.Add(head, 4);
    if (data != nullptr) buffer.Add(data, value);
    return at;
}

uint32_t MvAccessorAddSimpliest(MvBuffer& buffer, uint8_t channel, const uint8_t* data,
                                int length) {
    const uint32_t at = static_cast<uint32_t>(buffer.GetLength());
    const uint8_t head[2] = {MV_ACC_MAGIC, channel};
    buffer.Add(head, 2);
    if (data != nullptr && length > 0) buffer.Add(data, length);
    return at;
}

uint64_t MvAccessorPtsValue(const MvDVBPESHdr& hdr, uint64_t previous) {
    if (hdr.PTS_DTS_flags < 2) return ((previous & kPts33) + 900) & kPtsEven;
    uint64_t value = hdr.PTS & kPtsEven;
    if (hdr.PTS_DTS_flags == 3) {
        // 33-bit arithmetic, so that a PTS that has wrapped past a DTS still gives its offset.
        const uint64_t diff = (value - hdr.DTS) & kPts33;
        if (diff < 65536) value |= diff << 33;
    }
    return value;
}

uint16_t MvAudioCodecKind(uint32_t streamType) {
    switch (streamType) {
        case 0x0F:
        case 0x11:
            return 2;
        case 0x81:
        case 0x8A:
            return 1;
        default:
            return 3;
    }
}

uint16_t MvAudioLanguage(const MvDVBStrm& stream) {
    for (const MvDVBDesc* d : stream.descriptors) {
        if (d == nullptr || d->tag != 10) continue;
        if (d->data.size() != 4) return 0;
        const char code[4] = {static_cast<char>(d->data[0]), static_cast<char>(d->data[1]),
                              static_cast<char>(d->data[2]), 0};
        return HSCGetLangIDByLongName(code);
    }
    return 0;
}

bool MvAccessorReadTiming(const MvAccessor& acc, const MvSeqEntry& entry, MvAccTiming* out) {
    const uint8_t* p = RecordBytes(acc, entry, MV_SEQ_TIMING, MV_ACC_TIMING_SIZE);
    if (p == nullptr) return false;
    out->sequence = GetLE64(p);
    out->pts = GetLE64(p + 8);
    out->receiveTime = GetLE64(p + 16);
    return true;
}

bool MvAccessorReadVideoPes(const MvAccessor& acc, const MvSeqEntry& entry, MvAccVideoPes* out) {
    const uint8_t* p = RecordBytes(acc, entry, MV_SEQ_VIDEOPES, MV_ACC_VPES_SIZE);
    if (p == nullptr) return false;
    out->pts = GetLE64(p);
    out->headerLength = GetLE32(p + 8);
    out->payloadLength = GetLE32(p + 12);
    return true;
}

bool MvAccessorReadAudioPes(const MvAccessor& acc, const MvSeqEntry& entry, MvAccAudioPes* out) {
    const uint8_t* p = RecordBytes(acc, entry, MV_SEQ_AUDIOPES, MV_ACC_APES_SIZE);
    if (p == nullptr) return false;
    out->stamp = GetLE64(p);
    out->headerLength = GetLE32(p + 8);
    out->payloadLength = GetLE32(p + 12);
    out->cut = p[16];
    return true;
}

bool MvAccessorReadSummary(const MvAccessor& acc, const MvSeqEntry& entry, MvAccSummary* out) {
    const uint8_t* p = RecordBytes(acc, entry, MV_SEQ_SUMMARY, MV_ACC_SUMMARY_SIZE);
    if (p == nullptr) return false;
    out->videoPes = GetLE32(p);
    out->audioPes = GetLE32(p + 4);
    out->videoBytes = GetLE32(p + 8);
    out->audioBytes = GetLE32(p + 12);
    out->cutAudioBytes = GetLE32(p + 16);
    out->continuationBytes = GetLE32(p + 20);
    out->fastVideoBytes = GetLE32(p + 24);
    return true;
}

// ---------------------------------------------------------------------------------------------

bool HSCGop::MvBuildAccessors() {
    if (accessorVersion == 0) MVLOGE("[MVGA] Accessors V0");
    if (tsInfos.empty()) MVLOGE("[MVGA] Empty TS infos");
    if (!accessors.empty()) MVLOGE("[MVGA] Accessors exist in GOP");
    MvBuildAccessorsV3();
    MvBuildAccessorsV3Fast();
    MvBuildAccessorsV3VPts();
    MvBuildAccessorsV3Pes();
    if (accessors.size() != MV_ACC_COUNT) MVLOGE("[MVGA] Invalid number of accessors exist in GOP");
    return true;
}

bool HSCGop::MvBuildAccessorsV3() {
    MvAccessor* acc = MvAccessorAllocate(MV_ACC_FULL, true);
    // An accessor that already existed is rebuilt from scratch rather than appended to.
    ResetAccessor(acc);
    const GopView view(*this);
    const size_t count = tsInfos.size();
    acc->entries.reserve(8 + count * 2 / MV_ACC_RUN_PACKETS + count / 8);

    // The PMT item. Its length field has 16 bits: a longer (damaged) PMT buffer is cut to the
    // whole packets that fit.
    uint32_t pmtLength = pmtPackets.GetLength() > 0 ? static_cast<uint32_t>(pmtPackets.GetLength()) : 0;
    if (pmtLength > MV_ACC_PMT_MAX) pmtLength = MV_ACC_PMT_MAX;
    acc->buffer.Allocate(static_cast<int>(pmtLength + 64 + (count / MV_ACC_RUN_PACKETS + 1) *
                                                               MV_ACC_RUN_HEADER_SIZE));
    const uint32_t pmtAt = MvAccessorAddSimple(acc->buffer, MV_ACC_CH_PMT, pmtPackets.GetData(),
                                               static_cast<uint16_t>(pmtLength));
    AddEntry(acc, MV_SEQ_BUFFER, pmtAt, pmtLength + 4);
    acc->headerCount = 1;

    ReceiveTimes times;
    PesHead pes;
    uint64_t previous = 0;
    uint32_t timings = 0;
    size_t i = 0;
    while (i < count && !GroupStart(view, tsInfos[i])) ++i;  // before the first group: no group
    while (i < count) {
        // The group runs from a video PES start up to the next one.
        const size_t first = i;
        pes.Clear();
        do {
            const MvTSInfo& info = tsInfos[i];
            if ((info.flags & MV_TSINFO_VIDEO) && view.Considered(info))
                pes.Add(view.Payload(info), GopView::PayloadLength(info));
            ++i;
        } while (i < count && !GroupStart(view, tsInfos[i]));
        const size_t end = i;
        if (pes.total == 0) continue;

        MvDVBPESHdr hdr;
        if (!MvDVBParsePES(pes.head, static_cast<int>(pes.headLength), &hdr, true)) {
            MVLOGE("[ACC] " MV_CID_FMT " error parsing Video PES", MV_CID_ARGS(cid));
            continue;
        }
        const uint64_t value = MvAccessorPtsValue(hdr, previous);
        previous = value;
        if (pts == 0) pts = value & kPtsEven;

        uint8_t timing[24];
        PutLE64(timing, gopId * 1024 + timings);
        PutLE64(timing + 8, value);
        PutLE64(timing + 16, times.Get(view, tsInfos[first].recordOffset));
        ++timings;
        const uint32_t timingAt = MvAccessorAddSimpliest(acc->buffer, MV_ACC_CH_TIMING, timing, 24);
        AddEntry(acc, MV_SEQ_TIMING, timingAt, MV_ACC_TIMING_SIZE,
                 static_cast<uint32_t>((value & kPts33) >> 1));

        // Runs of at most seven consecutive entries. An entry whose packet is not inside the
        // data ends a run and is left out, so that no run points outside the GOP.
        size_t j = first;
        while (j < end) {
            if (!view.Considered(tsInfos[j])) {
                ++j;
                continue;
            }
            const size_t runFirst = j;
            while (j < end && j - runFirst < MV_ACC_RUN_PACKETS && view.Considered(tsInfos[j])) ++j;
            const uint32_t packets = static_cast<uint32_t>(j - runFirst);
            const uint32_t bytes = packets * kPacket;
            const uint8_t header[4] = {MV_ACC_MAGIC, MV_ACC_CH_DATA, static_cast<uint8_t>(bytes >> 8),
                                       static_cast<uint8_t>(bytes)};
            const uint32_t headerAt = static_cast<uint32_t>(acc->buffer.GetLength());
            acc->buffer.Add(header, 4);
            AddEntry(acc, MV_SEQ_BUFFER, headerAt, MV_ACC_RUN_HEADER_SIZE);
            AddEntry(acc, MV_SEQ_PACKETS, static_cast<uint32_t>(runFirst), packets);
        }
        const uint32_t endAt = MvAccessorAddSimpliest(acc->buffer, MV_ACC_CH_END, nullptr, 0);
        AddEntry(acc, MV_SEQ_BUFFER, endAt, MV_ACC_END_SIZE);
    }
    return true;
}

bool HSCGop::MvBuildAccessorsV3Fast() {
    MvAccessor* fast = MvAccessorAllocate(MV_ACC_FAST, false);
    ResetAccessor(fast);
    auto it = accessors.find(MV_ACC_FULL);
    if (it == accessors.end() || it->second == nullptr) return true;
    const MvAccessor& full = *it->second;
    fast->headerCount = full.headerCount;

    const size_t size = full.entries.size();
    const uint32_t limit = FastFrameLimit();
    size_t cut = size;
    uint32_t frames = 0;
    for (size_t k = full.headerCount < size ? full.headerCount : size; k < size; ++k) {
        if (full.entries[k].type == MV_SEQ_TIMING && ++frames > limit) {
            cut = k;
            break;
        }
    }
    fast->entries.assign(full.entries.begin(), full.entries.begin() + static_cast<long>(cut));

    uint64_t bufferEnd = static_cast<uint64_t>(full.buffer.GetLength());
    if (cut < size) {
        bufferEnd = 0;
        for (size_t k = cut; k-- > 0;) {
            const MvSeqEntry& e = full.entries[k];
            if (e.type == MV_SEQ_BUFFER || e.type == MV_SEQ_TIMING) {
                bufferEnd = static_cast<uint64_t>(e.a) + e.b;
                break;
            }
        }
        if (bufferEnd > static_cast<uint64_t>(full.buffer.GetLength()))
            bufferEnd = static_cast<uint64_t>(full.buffer.GetLength());
    }
    fast->buffer.Add(full.buffer.GetData(), static_cast<int>(bufferEnd));
    return true;
}

bool HSCGop::MvBuildAccessorsV3VPts() {
    MvAccessor* vpts = MvAccessorAllocate(MV_ACC_VPTS, true);
    ResetAccessor(vpts);
    auto it = accessors.find(MV_ACC_FULL);
    if (it == accessors.end() || it->second == nullptr) return true;
    for (const MvSeqEntry& e : it->second->entries)
        if (e.type == MV_SEQ_TIMING) vpts->entries.push_back(e);
    return true;
}

bool HSCGop::MvBuildAccessorsV3Pes() {
    MvAccessor* video = MvAccessorAllocate(MV_ACC_VPES, true);
    ResetAccessor(video);
    MvAccessor* audio = MvAccessorAllocate(MV_ACC_APES, true);
    ResetAccessor(audio);
    const GopView view(*this);
    const uint32_t fastLimit = FastFrameLimit();

    // One audio state per audio stream of the PMT, in PMT order. Only a PMT whose sections all
    // passed their CRC is trusted. A second stream on the same PID replaces the first.
    std::vector<std::unique_ptr<MvAData>> states;
    {
        MvDVBPMT pmt;
        if (MvDVBPMTLoadPackets(&pmt, pmtPackets.GetData(), pmtPackets.GetLength())) {
            uint16_t index = 0;
            for (const MvDVBStrm* s : pmt.m_streams) {
                if (s == nullptr || MvGetStreamKind(s->stream_type) != kMvStreamAudio) continue;
                auto state = std::make_unique<MvAData>();
                state->pid = s->elementary_PID;
                state->index = index++;
                state->codecKind = MvAudioCodecKind(s->stream_type);
                state->language = MvAudioLanguage(*s);
                bool replaced = false;
                for (auto& old : states)
                    if (old->pid == state->pid) {
                        old = std::move(state);
                        replaced = true;
                        break;
                    }
                if (!replaced) states.push_back(std::move(state));
            }
        }
    }

    uint64_t videoPes = 0, audioPes = 0, videoBytes = 0, audioBytes = 0, cutBytes = 0,
             continuationBytes = 0, fastBytes = 0;
    uint64_t previous = 0;

    PesHead pes;
    bool videoOpen = false;
    auto finishVideo = [&]() {
        MvDVBPESHdr hdr;
        uint32_t headerLength = 0, payloadLength = 0;
        if (!ParseFull(pes.head, pes.headLength, pes.total, &hdr, &headerLength, &payloadLength)) {
            MVLOGE("[ACC] " MV_CID_FMT " error parsing Video PES", MV_CID_ARGS(cid));
            return;
        }
        const uint64_t value = MvAccessorPtsValue(hdr, previous);
        previous = value;
        uint8_t record[16];
        PutLE64(record, value);
        PutLE32(record + 8, headerLength);
        PutLE32(record + 12, payloadLength);
        const uint32_t at = MvAccessorAddSimpliest(video->buffer, MV_ACC_CH_DATA, record, 16);
        AddEntry(video, MV_SEQ_VIDEOPES, at, MV_ACC_VPES_SIZE);
        ++videoPes;
        videoBytes += payloadLength + MV_ACC_PES_OVERHEAD;
        if (videoPes <= fastLimit) fastBytes += payloadLength + MV_ACC_PES_OVERHEAD;
    };
    // Writes the record reserved for the state's PES. A PES that cannot be parsed keeps the
    // neutral record written when it was reserved (its stream, no time, no lengths).
    auto finishAudio = [&](MvAData& state, uint8_t cut) {
        if (state.reservedRecord < 0 ||
            static_cast<size_t>(state.reservedRecord) >= audio->entries.size())
            return;
        const MvSeqEntry& e = audio->entries[static_cast<size_t>(state.reservedRecord)];
        if (static_cast<uint64_t>(e.a) + MV_ACC_APES_SIZE > static_cast<uint64_t>(audio->buffer.GetLength()))
            return;  // the buffer could not grow when the record was reserved
        uint8_t* record = audio->buffer.GetData() + e.a + 2;
        record[16] = cut;
        if (state.pesLength == 0) return;
        MvDVBPESHdr hdr;
        uint32_t headerLength = 0, payloadLength = 0;
        if (!ParseFull(state.pesBytes.GetData(), static_cast<uint32_t>(state.pesBytes.GetLength()),
                       state.pesLength, &hdr, &headerLength, &payloadLength)) {
            MVLOGE("[ACC] " MV_CID_FMT " error parsing Audio PES", MV_CID_ARGS(cid));
            return;
        }
        const uint64_t stamp = (hdr.PTS_DTS_flags >= 2 ? (hdr.PTS & kPts33) : 0) | AudioIdentity(state);
        AudioRecord(record, stamp, headerLength, payloadLength, cut);
        if (cut) {
            cutBytes += payloadLength + MV_ACC_PES_OVERHEAD;
        } else {
            ++audioPes;
            audioBytes += payloadLength + MV_ACC_PES_OVERHEAD;
        }
    };

    const size_t count = tsInfos.size();
    video->entries.reserve(64);
    audio->entries.reserve(64);
    for (size_t i = 0; i < count; ++i) {
        const MvTSInfo& info = tsInfos[i];
        if (!view.Considered(info)) continue;
        const uint32_t payloadLength = GopView::PayloadLength(info);
        if (info.flags & MV_TSINFO_VIDEO) {
            if (info.flags & MV_TSINFO_PUSI) {
                if (pes.total > 0) finishVideo();
                pes.Clear();
                videoOpen = true;
            }
            // Video before the first PES start belongs to no frame: accessor 4 keeps one
            // record per frame of accessor 1.
            if (videoOpen) pes.Add(view.Payload(info), payloadLength);
        }
        if (info.flags & MV_TSINFO_AUDIO) {
            const uint8_t* packet = view.Packet(info);
            const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
            MvAData* state = nullptr;
            for (auto& s : states)
                if (s->pid == pid) {
                    state = s.get();
                    break;
                }
            if (state == nullptr) {
                MVLOGW("[DBG] " MV_CID_FMT " GOP(%u) audio not found in map: PID(%u)", MV_CID_ARGS(cid),
                       static_cast<unsigned>(gopId), pid);
                continue;
            }
            if (info.flags & MV_TSINFO_PUSI) {
                if (state->collecting) finishAudio(*state, 0);
                state->pesBytes.m_length = 0;
                state->pesLength = 0;
                state->collecting = true;
                // Reserve the record now so that records stand in the order the PES units
                // start; it is filled when the PES ends.
                uint8_t record[17];
                AudioRecord(record, AudioIdentity(*state), 0, 0, 0);
                const uint32_t at = MvAccessorAddSimpliest(audio->buffer, MV_ACC_CH_DATA, record, 17);
                state->reservedRecord = static_cast<int32_t>(audio->entries.size());
                AddEntry(audio, MV_SEQ_AUDIOPES, at, MV_ACC_APES_SIZE);
            }
            if (state->collecting) {
                const int room = MV_ACC_PES_HEAD_MAX - state->pesBytes.GetLength();
                if (room > 0)
                    state->pesBytes.Add(view.Payload(info), payloadLength < static_cast<uint32_t>(room)
                                                                ? static_cast<int>(payloadLength)
                                                                : room);
                state->pesLength += payloadLength;
            } else {
                continuationBytes += payloadLength;
            }
        }
    }
    if (pes.total > 0) finishVideo();
    for (auto& s : states)
        if (s->collecting) finishAudio(*s, 1);

    uint8_t summary[28];
    PutLE32(summary, Clamp32(videoPes));
    PutLE32(summary + 4, Clamp32(audioPes));
    PutLE32(summary + 8, Clamp32(videoBytes));
    PutLE32(summary + 12, Clamp32(audioBytes));
    PutLE32(summary + 16, Clamp32(cutBytes));
    PutLE32(summary + 20, Clamp32(continuationBytes));
    PutLE32(summary + 24, Clamp32(fastBytes));
    const uint32_t at = MvAccessorAddSimpliest(video->buffer, MV_ACC_CH_DATA, summary, 28);
    AddEntry(video, MV_SEQ_SUMMARY, at, MV_ACC_SUMMARY_SIZE);
    return true;
}
