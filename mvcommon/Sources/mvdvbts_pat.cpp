#include "mvdvbts_pat.h"

#include <algorithm>

int MvDVBSectionAccept(MvBuffer* buffer, bool* sectionDone, bool tableReady, bool start,
                       const uint8_t* bytes, int length) {
    if (length < 0 || (length > 0 && bytes == nullptr)) return 0;
    if (buffer->GetLength() == 0) {
        *sectionDone = false;
        return start ? 1 : 0;
    }
    if (!start) {
        // A continuation belongs to the section being collected; after a complete section
        // there is nothing to continue (re-parsing it would add its entries again and let
        // the buffer grow without end).
        return *sectionDone ? 0 : 1;
    }
    // A new section starts while the buffer is not empty.
    if (*sectionDone && tableReady) return 0;  // the table is complete: the caller stops here
    // Either the previous section of a multi-section table was accepted and the next one
    // begins, or the section being collected lost its tail (a dropped packet) and would
    // otherwise block every later section start: begin again with this one.
    buffer->m_length = 0;
    *sectionDone = false;
    return 1;
}

MvDVBPAT::MvDVBPAT() { Prepare(kAnyTransportStream, true); }

MvDVBPAT::~MvDVBPAT() = default;

void MvDVBPAT::Prepare(uint32_t filter, bool wantCurrent) {
    m_filter = filter;
    m_wantCurrent = wantCurrent;
    m_hasCurrent = false;
    m_hasAnnounces = false;
    PrepareChecks();
    m_version = 0xFFFFFFFF;
    m_progs.clear();
    m_tsids.clear();
}

void MvDVBPAT::RePrepare() { Prepare(m_filter, m_wantCurrent); }

bool MvDVBPAT::AddData(bool start, const uint8_t* bytes, int length) {
    if (!MvDVBSectionAccept(&m_buffer, &m_sectionDone, Ready(), start, bytes, length)) return false;
    m_buffer.Add(bytes, length);
    if (ParseData(m_buffer.GetData(), m_buffer.GetLength())) return true;
    m_buffer.m_length = 0;
    m_sectionDone = false;
    return false;
}

bool MvDVBPAT::Started() { return m_hasCurrent || m_hasAnnounces; }
bool MvDVBPAT::Ready() { return SecsReady(); }
bool MvDVBPAT::HasCurrent() { return m_hasCurrent; }
bool MvDVBPAT::HasAnnounces() { return m_hasAnnounces; }
uint32_t MvDVBPAT::GetVersion() { return m_version; }
uint32_t MvDVBPAT::GetID() { return m_filter; }

void MvDVBPAT::GetProgs(std::vector<MvDVBPATProg>* list, bool programsOnly) {
    if (list == nullptr) return;
    list->clear();
    for (const MvDVBPATProg& p : m_progs)
        if (!programsOnly || p.network_PID == 0) list->push_back(p);
}

void MvDVBPAT::PrepareChecks() { m_checks.Clear(); }
void MvDVBPAT::AddCheck(uint8_t section, uint8_t last) { m_checks.Add(section, last); }
bool MvDVBPAT::SecsReady() { return m_checks.Ready(); }

void MvDVBPAT::CheckAddTran(uint16_t id) {
    if (std::find(m_tsids.begin(), m_tsids.end(), id) == m_tsids.end()) m_tsids.push_back(id);
}

bool MvDVBPAT::ParseData(const uint8_t* b, int length) {
    m_sectionDone = false;
    if (b == nullptr || length < 1) return true;  // nothing yet
    const int s = 1 + b[0];                        // the section starts after the pointer field
    if (s + 3 > length) return true;               // its header is still to come
    if (b[s] != 0x00 || !(b[s + 1] & 0x80)) return false;
    const int sectionLength = ((b[s + 1] & 0x0F) << 8) | b[s + 2];
    if (sectionLength > 1021) return false;
    if (length - (s + 3) < sectionLength) return true;  // incomplete: wait for more packets
    // transport_stream_id to last_section_number must lie inside the section.
    if (sectionLength < 5) return false;

    const uint16_t tsid = static_cast<uint16_t>((b[s + 3] << 8) | b[s + 4]);
    CheckAddTran(tsid);
    if (m_filter == kNoTransportStream) return false;
    if (m_filter != kAnyTransportStream && m_filter != tsid) return false;

    const uint32_t version = (b[s + 5] >> 1) & 0x1F;
    const bool current = b[s + 5] & 0x01;
    if (current)
        m_hasCurrent = true;
    else
        m_hasAnnounces = true;
    if (current != m_wantCurrent) return false;

    const uint8_t sectionNumber = b[s + 6];
    const uint8_t lastSection = b[s + 7];
    if (sectionLength < 13 || (sectionLength - 9) % 4 != 0) return false;

    // A section already taken is only checked again: its entries are in the list.
    if (!m_checks.seen.test(sectionNumber)) {
        const int entries = (sectionLength - 9) / 4;
        for (int i = 0; i < entries; ++i) {
            const uint8_t* e = b + s + 8 + 4 * i;
            MvDVBPATProg prog;
            prog.program_number = static_cast<uint16_t>((e[0] << 8) | e[1]);
            const uint16_t pid = static_cast<uint16_t>(((e[2] & 0x1F) << 8) | e[3]);
            if (prog.program_number == 0)
                prog.network_PID = pid;
            else
                prog.program_map_PID = pid;
            m_progs.push_back(prog);
        }
    }
    if (!MvDVBValidCRC(b + s, sectionLength + 3)) return false;
    m_version = version;
    // The first id is adopted only from a section that passed its CRC, so that one damaged
    // section cannot lock the filter on a wrong id.
    if (m_filter == kAnyTransportStream) m_filter = tsid;
    AddCheck(sectionNumber, lastSection);
    m_sectionDone = true;
    return true;
}
