#include "mvdvbts_pmt.h"

#include <memory>

#include "mvdvbts_pat.h"

const MvStreamTypeRow MvStreamType[kMvStreamTypeRows] = {
    {0x01, "ISO/IEC 11172-2 (MPEG-1 video)", kMvStreamVideo},
    {0x02, "ITU-T Rec. H.262 and ISO/IEC 13818-2 (MPEG-2 higher rate interlaced video)", kMvStreamVideo},
    {0x10, "ISO/IEC 14496-2 (MPEG-4 H.263 based video)", kMvStreamVideo},
    {0x1B, "ITU-T Rec. H.264 and ISO/IEC 14496-10 (Lower bit-rate video)", kMvStreamVideo},
    {0x24, "ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x25, "Annex A of ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x26, "Annex A of ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x27, "Annex G of ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x28, "Annex G of ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x29, "Annex H of ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x2A, "Annex H of ITU-T Rec. H.265 and ISO/IEC 23008-2 (Ultra HD video)", kMvStreamVideo},
    {0x80, "ITU-T Rec. H.262 and ISO/IEC 13818-2 with DES-64-CBC or PCM audio for Blu-ray", kMvStreamVideo},
    {0xDB, "ITU-T Rec. H.264 and ISO/IEC 14496-10 with AES-128-CBC slice encryption", kMvStreamVideo},
    {0xEA, "Microsoft Windows Media Video 9 (Lower bit-rate video)", kMvStreamVideo},
    {0x03, "ISO/IEC 11172-3 (MPEG-1 audio)", kMvStreamAudio},
    {0x04, "ISO/IEC 13818-3 (MPEG-2 halved sample rate audio)", kMvStreamAudio},
    {0x05, "ITU-T Rec. H.222 and ISO/IEC 13818-1 (MPEG-2 tabled data)", kMvStreamAudio},
    {0x06, "ITU-T Rec. H.222 and ISO/IEC 13818-1 (MPEG-2 packetized data)", kMvStreamAudio},
    {0x0F, "ISO/IEC 13818-7 ADTS AAC (MPEG-2 lower bit-rate audio)", kMvStreamAudio},
    {0x11, "ISO/IEC 14496-3 (MPEG-4 LOAS based on LATM multi-format framed audio)", kMvStreamAudio},
    {0x81, "Dolby Digital (AC-3) up to six channel audio for ATSC and Blu-ray", kMvStreamAudio},
    {0x8A, "DTS (Digital Theater Systems) Audio", kMvStreamAudio},
    {0xFFFFFFFF, "Unknown stream", kMvStreamOther},
};

const MvStreamTypeRow* MvGetStreamType(uint32_t type) {
    const MvStreamTypeRow* row = MvStreamType;
    for (; row->type != 0xFFFFFFFF; ++row)
        if (row->type == type) return row;
    return row;
}

MvDVBPMT::MvDVBPMT() { Prepare(0, true); }

MvDVBPMT::~MvDVBPMT() { DeleteAll(); }

void MvDVBPMT::DeleteAll() {
    for (MvDVBDesc* d : m_descs) delete d;
    m_descs.clear();
    for (MvDVBStrm* s : m_streams) delete s;
    m_streams.clear();
}

void MvDVBPMT::Prepare(uint32_t programNumber, bool wantCurrent) {
    m_programNumber = programNumber;
    m_wantCurrent = wantCurrent;
    m_hasCurrent = false;
    m_hasAnnounces = false;
    PrepareChecks();
    m_version = 0xFFFFFFFF;
    DeleteAll();
    m_pcrPid = 0xFFFFFFFF;
}

void MvDVBPMT::RePrepare() { Prepare(m_programNumber, m_wantCurrent); }

bool MvDVBPMT::AddData(bool start, const uint8_t* bytes, int length) {
    if (!MvDVBSectionAccept(&m_buffer, &m_sectionDone, Ready(), start, bytes, length)) return false;
    m_buffer.Add(bytes, length);
    if (ParseData(m_buffer.GetData(), m_buffer.GetLength())) return true;
    m_buffer.m_length = 0;
    m_sectionDone = false;
    return false;
}

bool MvDVBPMT::Ready() { return SecsReady(); }
bool MvDVBPMT::HasCurrent() { return m_hasCurrent; }
bool MvDVBPMT::HasAnnounces() { return m_hasAnnounces; }
uint32_t MvDVBPMT::GetVersion() { return m_version; }
uint32_t MvDVBPMT::GetSID() { return m_programNumber; }
uint32_t MvDVBPMT::GetPCR() { return m_pcrPid; }

void MvDVBPMT::GetDescs(std::vector<MvDVBDesc*>* list) {
    if (list == nullptr) return;
    for (const MvDVBDesc* d : m_descs) list->push_back(d->Duplicate());
}

void MvDVBPMT::GetStreams(std::vector<MvDVBStrm*>* list) {
    if (list == nullptr) return;
    for (const MvDVBStrm* s : m_streams) list->push_back(s->Duplicate());
}

void MvDVBPMT::PrepareChecks() { m_checks.Clear(); }
void MvDVBPMT::AddCheck(uint8_t section, uint8_t last) { m_checks.Add(section, last); }
bool MvDVBPMT::SecsReady() { return m_checks.Ready(); }

namespace {

// Reads the descriptors of b[pos, end) into out. False when a descriptor is cut off.
bool ReadDescriptors(const uint8_t* b, int pos, int end, std::vector<MvDVBDesc*>* out) {
    while (pos < end) {
        const uint8_t tag = b[pos++];
        if (pos >= end) return false;  // a tag without its length
        const int len = b[pos++];
        if (len > end - pos) return false;
        out->push_back(new MvDVBDesc(tag, b + pos, len));
        pos += len;
    }
    return true;
}

}  // namespace

bool MvDVBPMT::ParseData(const uint8_t* b, int length) {
    m_sectionDone = false;
    if (b == nullptr || length < 1) return true;
    const int s = 1 + b[0];
    if (s + 3 > length) return true;
    if (b[s] != 0x02 || (b[s + 1] & 0xC0) != 0x80) return false;
    const int sectionLength = ((b[s + 1] & 0x0F) << 8) | b[s + 2];
    if (sectionLength > 1021) return false;
    if (length - (s + 3) < sectionLength) return true;
    // The fixed part up to program_info_length and the CRC must lie inside the section.
    if (sectionLength < 13) return false;

    const uint32_t version = (b[s + 5] >> 1) & 0x1F;
    const bool current = b[s + 5] & 0x01;
    if (current)
        m_hasCurrent = true;
    else
        m_hasAnnounces = true;
    if (current != m_wantCurrent) return false;
    const uint8_t sectionNumber = b[s + 6];
    const uint8_t lastSection = b[s + 7];
    m_pcrPid = static_cast<uint32_t>(((b[s + 8] & 0x1F) << 8) | b[s + 9]);
    const int infoLength = ((b[s + 10] & 0x0F) << 8) | b[s + 11];
    if (infoLength > 1021) return false;

    const int end = s + 3 + sectionLength - 4;  // the CRC follows
    int pos = s + 12;
    if (infoLength > end - pos) return false;  // program_info runs past the section

    if (!m_checks.seen.test(sectionNumber)) {
        if (!ReadDescriptors(b, pos, pos + infoLength, &m_descs)) return false;
        pos += infoLength;
        while (end - pos >= 5) {
            auto strm = std::make_unique<MvDVBStrm>();
            strm->stream_type = b[pos];
            strm->elementary_PID = static_cast<uint16_t>(((b[pos + 1] & 0x1F) << 8) | b[pos + 2]);
            const int esLength = ((b[pos + 3] & 0x0F) << 8) | b[pos + 4];
            pos += 5;
            if (esLength > 1021 || esLength > end - pos) return false;
            if (!ReadDescriptors(b, pos, pos + esLength, &strm->descriptors)) return false;
            pos += esLength;
            m_streams.push_back(strm.release());
        }
    }
    if (!MvDVBValidCRC(b + s, sectionLength + 3)) return false;
    m_version = version;
    AddCheck(sectionNumber, lastSection);
    m_sectionDone = true;
    return true;
}

bool MvDVBPMTLoadPackets(MvDVBPMT* pmt, const uint8_t* packets, int length) {
    if (pmt == nullptr || packets == nullptr) return false;
    MvDVBTSPacket ts;
    for (int off = 0; off + kMvTSPacketSize <= length; off += kMvTSPacketSize) {
        if (!MvDVBParseTS(packets + off, &ts)) continue;
        pmt->AddData(ts.payload_unit_start_indicator != 0, ts.payload, ts.payload_length);
        if (pmt->Ready()) break;
    }
    return pmt->Ready();
}
