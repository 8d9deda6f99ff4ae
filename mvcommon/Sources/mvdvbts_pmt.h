// Program Map Table assembler and the stream type table. The assembler collects a PMT section
// from the payloads of the PMT PID, checks it and hands out the program descriptors and the
// elementary streams; the stream type table says which streams are video and which audio.
#pragma once

#include <cstdint>
#include <vector>

#include "mvbuffer.h"
#include "mvdvbts_misc.h"

// Kinds of the stream type table.
enum : uint32_t {
    kMvStreamOther = 0,
    kMvStreamVideo = 1,
    kMvStreamAudio = 2,
};

struct MvStreamTypeRow {
    uint32_t type;            // PMT stream_type; 0xFFFFFFFF ends the table
    const char* description;
    uint32_t kind;            // kMvStreamVideo, kMvStreamAudio or kMvStreamOther
};

constexpr int kMvStreamTypeRows = 23;
extern const MvStreamTypeRow MvStreamType[kMvStreamTypeRows];

// The first row of the stream type, or the closing "Unknown stream" row (kind 0).
const MvStreamTypeRow* MvGetStreamType(uint32_t type);
inline uint32_t MvGetStreamKind(uint32_t type) { return MvGetStreamType(type)->kind; }

class MvDVBPMT {
public:
    MvDVBPMT();
    MvDVBPMT(const MvDVBPMT&) = delete;
    MvDVBPMT& operator=(const MvDVBPMT&) = delete;
    virtual ~MvDVBPMT();

    // Starts over: stores the program number (sections are not filtered by it) and the mode
    // (true: current tables, false: announced ones); deletes descriptors and streams. The
    // assembly buffer is kept.
    virtual void Prepare(uint32_t programNumber, bool wantCurrent);
    virtual void RePrepare();
    // Feeds one packet's payload; same rules and results as MvDVBPAT::AddData.
    virtual bool AddData(bool start, const uint8_t* bytes, int length);
    virtual bool Ready();
    virtual bool HasCurrent();
    virtual bool HasAnnounces();
    virtual uint32_t GetVersion();
    virtual uint32_t GetSID();
    virtual uint32_t GetPCR();
    // Append deep copies to list (not emptied first); the caller owns and deletes them.
    virtual void GetDescs(std::vector<MvDVBDesc*>* list);
    virtual void GetStreams(std::vector<MvDVBStrm*>* list);
    virtual bool ParseData(const uint8_t* bytes, int length);

    void PrepareChecks();
    void AddCheck(uint8_t section, uint8_t last);
    bool SecsReady();

    uint32_t m_programNumber = 0;
    uint32_t m_pcrPid = 0xFFFFFFFF;
    bool m_wantCurrent = true;
    uint32_t m_version = 0xFFFFFFFF;
    bool m_hasCurrent = false;
    bool m_hasAnnounces = false;
    MvDVBSecChecks m_checks;
    std::vector<MvDVBDesc*> m_descs;
    std::vector<MvDVBStrm*> m_streams;
    MvBuffer m_buffer;
    bool m_sectionDone = false;

private:
    void DeleteAll();
};

// Feeds every whole 188-byte packet of packets (for example a GOP's stored PMT packets) to
// pmt; true when the table is then ready.
bool MvDVBPMTLoadPackets(MvDVBPMT* pmt, const uint8_t* packets, int length);
