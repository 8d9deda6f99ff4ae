// Program Association Table assembler: collects the PAT section from the payloads of PID 0,
// checks it, keeps its program entries and tracks which sections of the table have been seen,
// so that the live segmenter can ask when the whole table is known.
#pragma once

#include <cstdint>
#include <vector>

#include "mvbuffer.h"
#include "mvdvbts_misc.h"

// One PAT entry: network_PID is set only for program_number 0, program_map_PID only for the
// others.
struct MvDVBPATProg {
    uint16_t program_number = 0;
    uint16_t network_PID = 0;
    uint16_t program_map_PID = 0;
};

class MvDVBPAT {
public:
    // Filter values of Prepare.
    static constexpr uint32_t kAnyTransportStream = 0;     // adopt the first id seen
    static constexpr uint32_t kNoTransportStream = 0xFFFFFFFF;

    MvDVBPAT();
    MvDVBPAT(const MvDVBPAT&) = delete;
    MvDVBPAT& operator=(const MvDVBPAT&) = delete;
    virtual ~MvDVBPAT();

    // Starts over with a transport stream filter and a mode (true: current tables,
    // false: announced ones). The assembly buffer is kept.
    virtual void Prepare(uint32_t filter, bool wantCurrent);
    // Prepare with the stored filter (the adopted transport_stream_id once adopted) and mode.
    virtual void RePrepare();
    // Feeds one packet's payload: start is its payload_unit_start_indicator. True while the
    // section is being collected or was accepted; false when the packet is refused or the
    // section failed its checks (the buffer is then dropped).
    virtual bool AddData(bool start, const uint8_t* bytes, int length);
    virtual bool Started();
    virtual bool Ready();
    virtual bool HasCurrent();
    virtual bool HasAnnounces();
    virtual uint32_t GetVersion();
    virtual uint32_t GetID();
    // Empties list and copies the program entries into it; with programsOnly the entries of
    // program_number 0 (network PID) are left out, otherwise every entry is copied.
    virtual void GetProgs(std::vector<MvDVBPATProg>* list, bool programsOnly);
    virtual void PrepareChecks();
    virtual void AddCheck(uint8_t section, uint8_t last);
    virtual bool SecsReady();
    virtual void CheckAddTran(uint16_t id);
    // Parses the section at the start of bytes (pointer field first). True when the section
    // is incomplete (more packets needed) or complete and accepted.
    virtual bool ParseData(const uint8_t* bytes, int length);

    uint32_t m_filter = kAnyTransportStream;
    bool m_wantCurrent = true;
    uint32_t m_version = 0xFFFFFFFF;
    bool m_hasCurrent = false;
    bool m_hasAnnounces = false;
    MvDVBSecChecks m_checks;
    std::vector<MvDVBPATProg> m_progs;
    std::vector<uint16_t> m_tsids;
    MvBuffer m_buffer;
    // The buffer holds a complete section that was accepted (set by ParseData).
    bool m_sectionDone = false;
};

// Shared by the PAT and PMT assemblers: the packet acceptance rule of AddData.
// Returns 1 when the payload is to be appended and parsed, 0 when the packet is refused
// and the buffer kept as it is.
int MvDVBSectionAccept(MvBuffer* buffer, bool* sectionDone, bool tableReady, bool start,
                       const uint8_t* bytes, int length);
