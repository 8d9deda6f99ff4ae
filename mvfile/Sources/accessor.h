// The accessor index of a GOP: five accessors built once by the channel writer that tell the
// packetizer where each video frame starts, its time stamps and the sizes of the video and audio
// PES units. This unit builds them (the HSCGop::MvBuildAccessors* members), frames their buffer
// items, and reads the records back with bounds checks for the delivery side.
#pragma once

#include <cstdint>

#include "mvcommondata.h"
#include "mvdvbts_misc.h"

// Accessor ids.
enum : uint32_t {
    MV_ACC_FULL = 1,  // PMT item, then per frame group: timing item, packet runs, end item
    MV_ACC_FAST = 2,  // accessor 1 cut after the first frame group (two with SECONDFIELD)
    MV_ACC_VPTS = 3,  // the timing entries of accessor 1 (pointing into accessor 1's buffer)
    MV_ACC_VPES = 4,  // one record per video PES, then the summary record
    MV_ACC_APES = 5,  // one record per audio PES, in the order the PES units start
};
constexpr uint32_t MV_ACC_COUNT = 5;

// Buffer item framing: 0x24, a channel byte, then the item.
constexpr uint8_t MV_ACC_MAGIC = 0x24;
enum : uint8_t {
    MV_ACC_CH_DATA = 0x00,    // packet run header (big-endian length), PES and summary records
    MV_ACC_CH_TIMING = 0x01,  // frame timing item
    MV_ACC_CH_END = 0x02,     // frame end
    MV_ACC_CH_PMT = 0x05,     // the GOP's PMT packets (little-endian length)
};

// Item sizes, framing included.
constexpr uint32_t MV_ACC_RUN_HEADER_SIZE = 4;
constexpr uint32_t MV_ACC_TIMING_SIZE = 26;
constexpr uint32_t MV_ACC_END_SIZE = 2;
constexpr uint32_t MV_ACC_VPES_SIZE = 18;
constexpr uint32_t MV_ACC_APES_SIZE = 19;
constexpr uint32_t MV_ACC_SUMMARY_SIZE = 30;
constexpr uint32_t MV_ACC_RUN_PACKETS = 7;  // packets per run at most
// Bytes added to each PES payload in the summary sums (the packetizer's 12-byte record head).
constexpr uint32_t MV_ACC_PES_OVERHEAD = 12;
// A PES header parse never reads past this many bytes of a PES (9 fixed bytes, time stamps and
// every optional field at its largest), so the builder gathers only this head of each PES and
// counts the rest.
constexpr int MV_ACC_PES_HEAD_MAX = 512;
// The PMT item's 16-bit length field bounds the PMT copied into accessor 1 to whole packets.
constexpr uint32_t MV_ACC_PMT_MAX = 65535 / 188 * 188;

// Simple item: 0x24, channel, value as u16 little-endian, then `value` bytes of data when data
// is given. Returns the item's offset in the buffer.
uint32_t MvAccessorAddSimple(MvBuffer& buffer, uint8_t channel, const uint8_t* data,
                             uint16_t value);
// Simplest item: 0x24, channel, then `length` bytes of data (no length field). Returns the
// item's offset in the buffer.
uint32_t MvAccessorAddSimpliest(MvBuffer& buffer, uint8_t channel, const uint8_t* data,
                                int length);

// The 64-bit PTS value of a video PES: PTS AND 0x1FFFFFFFE in bits 0-32 and, when a DTS is
// present and PTS - DTS (33-bit arithmetic) is below 65536, that difference from bit 33 up. A
// PES without PTS gets `previous` + 900 (33 bits, bit 0 cleared, no DTS part).
uint64_t MvAccessorPtsValue(const MvDVBPESHdr& hdr, uint64_t previous);

// Codec kind of an audio stream type: 0x03, 0x04 -> 3; 0x0F, 0x11 -> 2; 0x81, 0x8A -> 1; any
// other -> 3.
uint16_t MvAudioCodecKind(uint32_t streamType);
// Language number of a stream: its first ISO 639 language descriptor (tag 10) when that holds
// exactly 4 bytes, the three letters looked up with HSCGetLangIDByLongName; 0 otherwise.
uint16_t MvAudioLanguage(const MvDVBStrm& stream);

// Records read back from an accessor. Each reader checks the entry's type and length and that
// the record lies inside the accessor's buffer; false (nothing read) otherwise.
struct MvAccTiming {
    uint64_t sequence = 0;  // GOP number x 1024 + frame group number
    uint64_t pts = 0;       // PTS value (MvAccessorPtsValue)
    MvTime receiveTime = 0; // of the record holding the group's first packet
};
struct MvAccVideoPes {
    uint64_t pts = 0;            // PTS value
    uint32_t headerLength = 0;   // PES header bytes before the payload
    uint32_t payloadLength = 0;
};
struct MvAccAudioPes {
    uint64_t stamp = 0;          // PTS in bits 0-32, audio index 40-47, codec 48-55, language 56-63
    uint32_t headerLength = 0;
    uint32_t payloadLength = 0;
    uint8_t cut = 0;             // 1: the PES was still open at the end of the GOP
    uint64_t Pts() const { return stamp & 0x1FFFFFFFFull; }
    uint8_t AudioIndex() const { return static_cast<uint8_t>(stamp >> 40); }
    uint8_t CodecKind() const { return static_cast<uint8_t>(stamp >> 48); }
    uint8_t Language() const { return static_cast<uint8_t>(stamp >> 56); }
};
struct MvAccSummary {
    uint32_t videoPes = 0;           // video PES records
    uint32_t audioPes = 0;           // audio PES completed in the GOP
    uint32_t videoBytes = 0;         // sum of (payload + 12) over the video PES
    uint32_t audioBytes = 0;         // the same over the completed audio PES
    uint32_t cutAudioBytes = 0;      // the same over audio PES still open at the GOP's end
    uint32_t continuationBytes = 0;  // audio payload before the first PES start of its PID
    uint32_t fastVideoBytes = 0;     // the video sum over the first (two with SECONDFIELD) PES
};
bool MvAccessorReadTiming(const MvAccessor& acc, const MvSeqEntry& entry, MvAccTiming* out);
bool MvAccessorReadVideoPes(const MvAccessor& acc, const MvSeqEntry& entry, MvAccVideoPes* out);
bool MvAccessorReadAudioPes(const MvAccessor& acc, const MvSeqEntry& entry, MvAccAudioPes* out);
bool MvAccessorReadSummary(const MvAccessor& acc, const MvSeqEntry& entry, MvAccSummary* out);
