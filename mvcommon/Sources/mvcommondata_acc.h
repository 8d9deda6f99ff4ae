// Accessor records of a GOP: the per-packet index entry that accessors point into, the 13-byte
// sequence entry, the accessor object (an id, a header entry count, a list of entries and a
// byte buffer of framed items) and the per-PID audio state shared by the accessor builder, the
// live segmenter and the packetizer. The GOP owns its accessors; the builder lives in
// mvfile/Sources/accessor.h.
#pragma once

#include <cstdint>
#include <vector>

#include "mvbuffer.h"

// ---------------------------------------------------------------------------------------------
// Per-packet index entry; one per packet written into a GOP, in arrival order.
enum : uint8_t {
    MV_TSINFO_PUSI = 0x01,        // payload unit start
    MV_TSINFO_PAT = 0x02,         // PID 0
    MV_TSINFO_PMT = 0x04,         // the program's PMT PID
    MV_TSINFO_VIDEO = 0x10,       // the video PID
    MV_TSINFO_AUDIO = 0x20,       // one of the audio PIDs
    MV_TSINFO_PCR = 0x40,         // the PCR PID
    MV_TSINFO_BADPAYLOAD = 0x80,  // payload length above 184: the payload cannot be located
};

// Packed so that the index costs its stored size (10 bytes an entry) in memory too; use
// MvTSInfoEncode/Decode to move it to and from bytes.
struct __attribute__((packed)) MvTSInfo {
    uint8_t flags = 0;
    uint32_t recordOffset = 0;  // offset in the GOP data of the record holding the packet
    uint32_t packetOffset = 0;  // offset in the GOP data of the packet's first byte
    uint8_t payloadOffset = 0;  // 188 minus the payload length; 4 for MV_TSINFO_BADPAYLOAD
};
static_assert(sizeof(MvTSInfo) == 10, "MvTSInfo is 10 bytes");

constexpr int MV_TSINFO_SIZE = 10;
void MvTSInfoEncode(const MvTSInfo& info, uint8_t* out10);  // little-endian, field order
MvTSInfo MvTSInfoDecode(const uint8_t* in10);

// ---------------------------------------------------------------------------------------------

// Sequence entry types.
enum : uint8_t {
    MV_SEQ_SUMMARY = 0,   // summary record in the buffer (accessor 4)
    MV_SEQ_PACKETS = 1,   // a = first per-packet index entry, b = number of entries
    MV_SEQ_BUFFER = 2,    // a = buffer offset, b = length
    MV_SEQ_TIMING = 6,    // a = buffer offset, b = length, c = PTS / 2; starts a video frame
    MV_SEQ_VIDEOPES = 16, // video PES record (accessor 4)
    MV_SEQ_AUDIOPES = 32, // audio PES record (accessor 5)
};

// One sequence entry: type and three values. Packed so that an entry costs its stored size
// (13 bytes) in memory as well; use MvSeqEntryEncode/Decode to move it to and from bytes.
struct __attribute__((packed)) MvSeqEntry {
    uint8_t type = 0;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t c = 0;
};
static_assert(sizeof(MvSeqEntry) == 13, "MvSeqEntry is 13 bytes");

constexpr int MV_SEQ_ENTRY_SIZE = 13;

// Little-endian: type, a, b, c.
void MvSeqEntryEncode(const MvSeqEntry& entry, uint8_t* out13);
MvSeqEntry MvSeqEntryDecode(const uint8_t* in13);

class MvAccessor {
public:
    explicit MvAccessor(uint32_t accessorId = 0) : id(accessorId) {}
    MvAccessor(const MvAccessor&) = delete;
    MvAccessor& operator=(const MvAccessor&) = delete;
    virtual ~MvAccessor() = default;

    // Independent deep copy (id, header entry count, entries, buffer bytes), owned by the caller.
    MvAccessor* Duplicate() const;

    uint32_t id = 0;
    uint8_t headerCount = 0;  // entries before the first frame group
    std::vector<MvSeqEntry> entries;
    MvBuffer buffer;
};

// ---------------------------------------------------------------------------------------------
// Audio state of one audio PID of a program, kept in a map keyed by PID by whoever parses the
// program's audio: the accessor builder, the live segmenter's audio placement and the
// packetizer. One record type serves all three; each uses the fields marked for it.
class MvAData {
public:
    MvAData() = default;
    MvAData(const MvAData&) = delete;
    MvAData& operator=(const MvAData&) = delete;
    virtual ~MvAData() = default;

    // Independent deep copy (buffers and index arrays included), owned by the caller.
    MvAData* Duplicate() const {
        auto* copy = new MvAData;
        copy->pid = pid;
        copy->index = index;
        copy->codecKind = codecKind;
        copy->language = language;
        copy->collecting = collecting;
        copy->pesPackets.Add(&pesPackets);
        copy->shelvedPackets.Add(&shelvedPackets);
        copy->pesBytes.Add(&pesBytes);
        copy->pesIndex = pesIndex;
        copy->shelvedIndex = shelvedIndex;
        copy->reservedRecord = reservedRecord;
        copy->pesLength = pesLength;
        copy->frameOpen = frameOpen;
        copy->carry = carry;
        copy->pendingHeaderLength = pendingHeaderLength;
        copy->carryBuffer.Add(&carryBuffer);
        return copy;
    }

    uint16_t pid = 0;
    uint16_t index = 0;      // position among the program's audio streams, from 0
    uint16_t codecKind = 3;  // 1, 2 or 3 by stream type (MvAudioCodecKind)
    uint16_t language = 0;   // language number, 0 without a usable ISO 639 descriptor
    bool collecting = false; // a PES start has been seen and the PES is being collected

    // Live segmenter: the PES being collected (packets, index) and complete PES units waiting
    // to be written.
    MvBuffer pesPackets;
    MvBuffer shelvedPackets;
    std::vector<MvTSInfo> pesIndex;
    std::vector<MvTSInfo> shelvedIndex;

    // Payloads of the PES being collected, concatenated. The accessor builder keeps only the
    // head that a PES header parse can reach and counts the whole in pesLength.
    MvBuffer pesBytes;
    // Accessor builder: entry index in accessor 5 of the record reserved for the PES being
    // collected (-1 for none), and the payload bytes of that PES so far.
    int32_t reservedRecord = -1;
    uint32_t pesLength = 0;

    // Packetizer.
    uint8_t frameOpen = 0;             // a PES of this PID has started within the current GOP
    uint8_t carry = 0;                 // the current frame continues past the end of the GOP
    uint32_t pendingHeaderLength = 0;
    MvBuffer carryBuffer;              // a frame record still being collected
};
