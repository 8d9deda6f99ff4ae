// Accessor records of a GOP: the 13-byte sequence entry and the accessor object (an id, a
// header entry count, a list of entries and a byte buffer of framed items). The GOP owns its
// accessors; the accessor builder and the packetizer add their own types and operations.
#pragma once

#include <cstdint>
#include <vector>

#include "mvbuffer.h"

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
