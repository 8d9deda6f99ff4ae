// The GOP model shared by every subsystem: the 64-bit content identifier, the program's PID
// summary, the per-packet index entry, the 1344-byte packet record, the reference-counted GOP
// object with its page-mapped data block, and the table of language codes.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "mvbuffer.h"
#include "mvcommondata_acc.h"
#include "mvtime.h"

// ---------------------------------------------------------------------------------------------
// Content identifier: content number in bits 0-31, sub-stream (bitrate variant) index in bits
// 32-39, stream id in bits 40-63.
typedef uint64_t tagMvCID;

constexpr uint32_t MvCIDContent(tagMvCID cid) { return static_cast<uint32_t>(cid); }
constexpr uint32_t MvCIDSubStream(tagMvCID cid) { return static_cast<uint32_t>((cid >> 32) & 0xFF); }
constexpr uint32_t MvCIDStreamId(tagMvCID cid) { return static_cast<uint32_t>(cid >> 40); }
// Out-of-range sub-stream and stream id values are cut to their 8 and 24 bits.
constexpr tagMvCID MvCIDMake(uint32_t content, uint32_t subStream, uint32_t streamId) {
    return static_cast<uint64_t>(content) | (static_cast<uint64_t>(subStream & 0xFF) << 32) |
           (static_cast<uint64_t>(streamId & 0xFFFFFF) << 40);
}
constexpr tagMvCID MvCIDWithSubStream(tagMvCID cid, uint32_t subStream) {
    return (cid & ~(0xFFull << 32)) | (static_cast<uint64_t>(subStream & 0xFF) << 32);
}

// Kinds of content, by the content number alone (bits 32-63 are ignored).
constexpr bool MvIsChannel(uint64_t content) { return static_cast<uint32_t>(content) <= 99999999u; }
constexpr bool MvIsVOD(uint64_t content) {
    return static_cast<uint32_t>(content) >= 100000000u && static_cast<uint32_t>(content) <= 999999999u;
}
constexpr bool MvIsPVR(uint64_t content) {
    return static_cast<uint32_t>(content) >= 1000000000u &&
           static_cast<uint32_t>(content) <= 1999999999u;
}

// Log form of an identifier: stream id, sub-stream index, content number.
//   MVLOGI("[CID] " MV_CID_FMT " ready", MV_CID_ARGS(cid));
#define MV_CID_FMT "CID(%u)(%u)(%u)"
#define MV_CID_ARGS(cid) MvCIDStreamId(cid), MvCIDSubStream(cid), MvCIDContent(cid)
constexpr int MV_CID_STR_SIZE = 32;  // "CID(16777215)(255)(4294967295)" and its terminator
char* MvCIDToStr(char* out, tagMvCID cid);  // out holds MV_CID_STR_SIZE bytes

// ---------------------------------------------------------------------------------------------
// Sizes of the GOP data.
constexpr uint16_t MV_PID_NONE = 0xFFFF;
constexpr int MV_TS_PACKET_SIZE = 188;
constexpr int MV_GOP_RECORD_SIZE = 1344;       // receive time, RTP header, seven packets
constexpr int MV_GOP_RECORD_PACKETS = 7;
constexpr int MV_GOP_RECORD_TIME_SIZE = 16;
constexpr int MV_GOP_RECORD_RTP_OFFSET = 16;
constexpr int MV_GOP_RTP_HEADER_SIZE = 12;
constexpr int MV_GOP_RECORD_HEADER_SIZE = 28;  // offset of the first packet slot
constexpr uint32_t MV_GOP_PAGE_SIZE = 4096;
constexpr uint32_t MV_GOP_CAPACITY_LIVE = 8388608;   // 8 MiB
constexpr uint32_t MV_GOP_CAPACITY_VOD = 25165824;   // 24 MiB

static_assert(MV_GOP_RECORD_HEADER_SIZE + MV_GOP_RECORD_PACKETS * MV_TS_PACKET_SIZE ==
              MV_GOP_RECORD_SIZE, "record layout");

// Writes a fresh record: receive time (seconds, nanoseconds; little-endian signed 64-bit) in
// bytes 0-15, the RTP header for `sequence` and the 90 kHz receive time in bytes 16-27, and the
// null-packet header 47 1F FF 10 at the start of each slot. `record` holds 1344 bytes; the other
// 184 bytes of each slot are left as they were.
void MvInitRTPData(const timespec& receiveTime, uint8_t* record, uint16_t sequence);
// RTP timestamp of a receive time: seconds x 90000 + nanoseconds x 9 / 100000, truncated to 32
// bits.
uint32_t MvRTPTimestamp(const timespec& receiveTime);

// ---------------------------------------------------------------------------------------------
// Per-packet index entry MvTSInfo: see mvcommondata_acc.h.

// ---------------------------------------------------------------------------------------------
// The set of PIDs that belong to a program: PID 0, the four single PIDs (MV_PID_NONE included
// when one is unset) and every PID of the three lists, each mapped to true.
void MvBuildPidSet(std::map<uint16_t, bool>& pidSet, uint16_t pmtPid, uint16_t pcrPid,
                   uint16_t videoPid, uint16_t ecmPid, const std::vector<uint16_t>& audioPids,
                   const std::vector<uint16_t>& caPids, const std::vector<uint16_t>& otherPids);

// PID summary of a program, built by the segmenters from the PMT and copied into every GOP.
class HSCPIDData {
public:
    virtual ~HSCPIDData() = default;
    void BuildPidSet() {
        MvBuildPidSet(pidSet, pmtPid, pcrPid, videoPid, ecmPid, audioPids, caPids, otherPids);
    }

    uint16_t pmtPid = MV_PID_NONE;
    uint16_t pcrPid = MV_PID_NONE;
    uint16_t videoPid = MV_PID_NONE;
    uint16_t ecmPid = MV_PID_NONE;  // ECM PID of a recognised CA system, or 1 as a protection mark
    std::vector<uint16_t> audioPids;
    std::vector<uint16_t> caPids;
    std::vector<uint16_t> otherPids;
    std::map<uint16_t, bool> pidSet;
    std::string description;
};

// ---------------------------------------------------------------------------------------------
// One GOP: whole 1344-byte records in a private anonymous mapping (address space reserved for
// the full capacity without swap reservation, so a filling GOP never moves; the tail is given
// back in place when it closes) plus everything needed to store and deliver it.
//
// Reference protocol: a new GOP has refCount 0 and belongs to its creator. Every holder takes a
// reference with AddRef and gives it back with Release; the Release that brings the count to 0
// deletes the GOP. A count below 0 is a programming error and ends the process.
class HSCGop {
public:
    HSCGop() = default;
    HSCGop(const HSCGop&) = delete;
    HSCGop& operator=(const HSCGop&) = delete;
    virtual ~HSCGop();

    // Replaces the data block by a fresh zeroed one of dataSize rounded up to 4096 bytes
    // (nothing mapped for 0); the old contents are not kept. With `overwritten` the caller fills
    // all dataSize bytes at once (a load), so only the bytes after them are zeroed. A failed
    // unmap or map ends the process. A size whose rounded value does not fit mappedSize (above
    // 0xFFFFF000) is refused: logged, nothing mapped, false.
    bool ReAlloc(bool overwritten = false);
    // Resizes the block in place (never moved) to dataSize rounded up to 4096 bytes; nothing
    // happens for 0. On failure the old mapping stays and false is returned.
    bool ReMap();
    // Deletes every accessor and empties the accessor map and the per-packet index.
    void ClearAccessors();
    // A new, independent GOP equal to this one, refCount 0, owned by the caller.
    HSCGop* Duplicate() const;

    // Takes a reference; returns the new count.
    int32_t AddRef() { return refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Gives a reference back; deletes the GOP and returns true when it was the last one.
    bool Release();

    // Rebuilds pidSet from the four PIDs and the three lists.
    void RebuildPidSet() {
        MvBuildPidSet(pidSet, pmtPid, pcrPid, videoPid, ecmPid, audioPids, caPids, otherPids);
    }
    // Copies a 1344-byte record to the end of the data; false (nothing written) when it would
    // pass the mapped block.
    bool AppendRecord(const uint8_t* record);
    // Number of transport packet slots: whole records x 7.
    uint32_t PacketSlots() const { return dataSize / MV_GOP_RECORD_SIZE * MV_GOP_RECORD_PACKETS; }
    // Memory accounted for this GOP by the cache: 128 + extra data + mapped block + PAT, PMT and
    // ECM packets + 10 per index entry + per accessor 13 per entry plus its buffer.
    uint64_t ComputeFootprint() const;

    // The accessor with this id, created empty when there is none; with `warn`, an existing one
    // is logged as an error.
    MvAccessor* MvAccessorAllocate(uint32_t id, bool warn);
    // Accessor builders; defined by the accessor unit.
    bool MvBuildAccessors();
    bool MvBuildAccessorsV3();
    bool MvBuildAccessorsV3Fast();
    bool MvBuildAccessorsV3VPts();
    bool MvBuildAccessorsV3Pes();

    std::atomic<int32_t> refCount{0};
    uint32_t accessorVersion = 0;   // 0: no accessor index; 1: per-packet index and accessors
    std::vector<MvTSInfo> tsInfos;
    std::map<uint32_t, MvAccessor*> accessors;  // owned
    uint32_t mappedSize = 0;        // bytes mapped for data, a multiple of 4096
    uint8_t* data = nullptr;
    uint32_t dataSize = 0;          // bytes in use, a multiple of 1344
    uint32_t spare32 = 0;
    uint32_t closedSize = 0;        // dataSize once the GOP is closed; 0 while filling
    uint64_t gopId = 0;
    uint64_t spare64 = 0;
    MvTime startTime = 0;
    uint64_t pts = 0;               // first video PTS AND 0x1FFFFFFFE; 0 when not known
    MvBuffer patPackets;
    MvBuffer pmtPackets;
    MvBuffer ecmPackets;
    uint16_t pmtPid = MV_PID_NONE;
    uint16_t pcrPid = MV_PID_NONE;
    uint16_t videoPid = MV_PID_NONE;
    uint16_t ecmPid = MV_PID_NONE;
    std::vector<uint16_t> audioPids;
    std::vector<uint16_t> caPids;
    std::vector<uint16_t> otherPids;
    std::map<uint16_t, bool> pidSet;
    MvBuffer extraData;             // serialised header as written to storage
    tagMvCID cid = 0;
    HSCGop* cacheNext = nullptr;    // GOP cache recency links, touched only by the cache
    HSCGop* cachePrev = nullptr;
    uint64_t footprint = 0;
};

// The GOP factory: gopId from the caller's counter (which advances), startTime now, the whole
// capacity reserved and the GOP empty, copies of the PAT, PMT and ECM packets and of the PID
// summary, accessorVersion 1. `writer` (the channel's writer control) is not used. refCount 0,
// owned by the caller.
HSCGop* MvInitGOP(tagMvCID cid, void* writer, uint64_t& nextGopId, const MvBuffer& pat,
                  const MvBuffer& pmt, const MvBuffer& ecm, const HSCPIDData& pidData,
                  uint32_t capacity);

// ---------------------------------------------------------------------------------------------
// Language numbers: the row of a two- or three-letter code in a fixed table of 191 rows. Codes
// compare ignoring ASCII case; the first matching row of rows 0-189 wins; 0 ("un"/"unk") when
// none matches or the code is null.
constexpr int MV_LANG_COUNT = 191;
constexpr int MV_LANG_INVALID = 190;
uint16_t HSCGetLangIDByShortName(const char* code);
uint16_t HSCGetLangIDByLongName(const char* code);
// The codes of a row (lower case); "" for row 190 and for numbers outside the table.
const char* HSCGetLangShortName(uint16_t id);
const char* HSCGetLangLongName(uint16_t id);
