// The on-media format of a storage medium, shared by the server and the storage tool: the
// storage header, the block info records, the GOP indexes and the GOP record headers, their
// CRCs and validation, and the layout arithmetic. Every field is little-endian on the medium
// and is encoded and decoded here byte by byte; nothing else writes these bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "mvtime.h"

// ---------------------------------------------------------------------------------------------
// Layout constants
// ---------------------------------------------------------------------------------------------

inline constexpr uint64_t kHSCHeaderArea = 1024;          // storage header area at offset 0
inline constexpr size_t kHSCStorageInfoSize = 48;         // HSCStorageInfoV3 on the medium
inline constexpr size_t kHSCChunkInfoSize = 72;           // HSCChunkInfoV3 on the medium
inline constexpr size_t kHSCChunkInfoCRCSpan = 64;        // nInfoCRC covers bytes 0..63
inline constexpr size_t kHSCIndexEntries = 1024;          // GOPs per block
inline constexpr size_t kHSCIndexEntrySize = 6;           // HSCGopIndexV3 on the medium
inline constexpr size_t kHSCIndexSize = kHSCIndexEntries * kHSCIndexEntrySize;  // 6144
inline constexpr uint64_t kHSCInfoStride = kHSCChunkInfoSize + kHSCIndexSize;   // 6216
inline constexpr uint64_t kHSCBlockDataSize = 0x2000000;  // 32 MiB data region per block
inline constexpr uint32_t kHSCMaxRecordEnd = 0x1FFFFFF;   // a GOP record ends at or before this
inline constexpr uint32_t kHSCRecordAlign = 4096;         // GOP records start on this boundary
inline constexpr uint32_t kHSCMaxInfoStartKiB = 0x7FFE;   // largest usable record start, in KiB
inline constexpr uint32_t kHSCMaxTimeOffset = 0xFFFF;     // largest index time offset (cs)
inline constexpr size_t kHSCGopInfoSize = 48;             // HSCGopInfoV3 on the medium
inline constexpr uint32_t kHSCPacketRecordSize = 1344;    // one GOP packet record
inline constexpr uint32_t kHSCPacketsPerRecord = 7;

inline constexpr uint32_t kHSCStorageSignature = 0xADBC01FF;
inline constexpr uint64_t kHSCStorageVersion = 3;
inline constexpr uint32_t kHSCResetMarker = 0x43211234;   // nMarker of a block reset by the server
inline constexpr uint32_t kHSCFreeWriterWord = 0xFFFFFF00; // bytes 8..11 of a free block (u32)
inline constexpr uint32_t kHSCFreeWriterID = 0xFFFFFF;    // writer id (stream id) of a free block
inline constexpr uint16_t kHSCInfoStartClosedFlag = 0x8000; // nInfoStart bit 15: closedSize was 0
inline constexpr uint64_t kHSCGopSignature = 0x823370991223FFCAull;
inline constexpr uint32_t kHSCExtraSignature = 0xAABB00FF;     // extra data, accessorVersion 0
inline constexpr uint32_t kHSCExtraSignatureAcc = 0xAABB01FF;  // extra data, accessorVersion 1

// ---------------------------------------------------------------------------------------------
// Layout of a medium of N blocks (blocks numbered 0..N-1 by position)
// ---------------------------------------------------------------------------------------------

constexpr uint64_t HSCInfoOffset(uint64_t position) {
    return kHSCHeaderArea + position * kHSCInfoStride;
}
constexpr uint64_t HSCIndexOffset(uint64_t position) {
    return HSCInfoOffset(position) + kHSCChunkInfoSize;
}
// Start of the data area: right after the last index, not aligned.
constexpr uint64_t HSCDataAreaOffset(uint64_t blocks) {
    return kHSCHeaderArea + blocks * kHSCInfoStride;
}
constexpr uint64_t HSCDataOffset(uint64_t blocks, uint64_t position) {
    return HSCDataAreaOffset(blocks) + position * kHSCBlockDataSize;
}
// Bytes a medium of `blocks` blocks needs (valid for blocks below 2^38).
constexpr uint64_t HSCMediumSize(uint64_t blocks) {
    return kHSCHeaderArea + blocks * (kHSCInfoStride + kHSCBlockDataSize);
}

// The formatting rule of the storage tool: B = (size - 1024) / 32 MiB whole blocks fit beside
// the header ("original size in blocks"); N is the largest count not above B - 1 whose info
// area, counted in whole blocks, still fits: N + (N * 6216) / 32 MiB + 1 <= B. A size too small
// for B >= 1 gives 0 (never a wrapped value). `originalBlocks` receives B when given.
uint64_t HSCBlockCountForSize(uint64_t size, uint64_t* originalBlocks = nullptr);

// ---------------------------------------------------------------------------------------------
// Storage header (48 bytes at offset 0)
// ---------------------------------------------------------------------------------------------

struct HSCStorageInfoV3 {
    uint32_t nSignature = 0;
    uint32_t nReserved4 = 0;
    uint64_t nVersion = 0;
    uint64_t nCreated = 0;  // MvTime of the last format or update by the tool
    uint64_t nBlocks = 0;
    uint64_t nReserved32 = 0;
    uint32_t nCRC = 0;      // CRC-32 of bytes 0..39
    uint32_t nReserved44 = 0;

    bool operator==(const HSCStorageInfoV3&) const = default;
};

void HSCEncodeStorageInfo(const HSCStorageInfoV3& info, std::span<uint8_t, kHSCStorageInfoSize> out);
HSCStorageInfoV3 HSCDecodeStorageInfo(std::span<const uint8_t, kHSCStorageInfoSize> in);
// CRC-32 of bytes 0..39 of the encoded header.
uint32_t HSCStorageInfoCRC(const HSCStorageInfoV3& info);
void HSCSealStorageInfo(HSCStorageInfoV3& info);
// A fresh header: signature, version 3, the block count and time, reserved fields 0, sealed.
HSCStorageInfoV3 HSCMakeStorageInfo(uint64_t blocks, MvTime created);

// The full header test in its fixed order (signature, version, CRC). The server only needs the
// CRC (HSCStorageInfoCRCOk); the tool tests all three.
enum class HSCHeaderCheck { Ok, Signature, Version, CRC };
HSCHeaderCheck HSCCheckStorageInfo(const HSCStorageInfoV3& info);
bool HSCStorageInfoCRCOk(const HSCStorageInfoV3& info);

// ---------------------------------------------------------------------------------------------
// Block info record (72 bytes) and GOP index (1024 entries of 6 bytes)
// ---------------------------------------------------------------------------------------------

struct HSCChunkInfoV3 {
    uint32_t nMarker = 0;
    uint64_t nContentID = 0;  // tagMvCID layout: content number, sub-stream (byte 8), writer id
    uint32_t nReserved12 = 0;
    uint64_t nGOPCount = 0;
    uint64_t nStartGOP = 0;
    uint64_t nEndGOP = 0;
    uint64_t nStartTime = 0;  // MvTime
    uint64_t nEndTime = 0;    // MvTime
    uint32_t nDataSize = 0;   // end offset of the last GOP record in the data region
    uint32_t nIndexCRC = 0;
    uint32_t nInfoCRC = 0;    // CRC-32 of bytes 0..63
    uint32_t nReserved68 = 0;

    bool operator==(const HSCChunkInfoV3&) const = default;
};

struct HSCGopIndexV3 {
    uint16_t nInfoStart = 0;   // bits 0-14: record start in KiB; bit 15: closedSize was 0
    uint16_t nTimeOffset = 0;  // centiseconds from nStartTime
    uint16_t nPacketCount = 0; // transport packet slots of the GOP

    bool operator==(const HSCGopIndexV3&) const = default;
};

using HSCGopIndexArrayV3 = std::array<HSCGopIndexV3, kHSCIndexEntries>;

void HSCEncodeChunkInfo(const HSCChunkInfoV3& info, std::span<uint8_t, kHSCChunkInfoSize> out);
HSCChunkInfoV3 HSCDecodeChunkInfo(std::span<const uint8_t, kHSCChunkInfoSize> in);
void HSCEncodeIndex(const HSCGopIndexArrayV3& index, std::span<uint8_t, kHSCIndexSize> out);
void HSCDecodeIndex(std::span<const uint8_t, kHSCIndexSize> in, HSCGopIndexArrayV3& index);

// CRC-32 of bytes 0..63 of the encoded record, and of the whole encoded index.
uint32_t HSCChunkInfoCRC(const HSCChunkInfoV3& info);
uint32_t HSCIndexCRC(const HSCGopIndexArrayV3& index);
// Stores nIndexCRC, then nInfoCRC (which covers nIndexCRC).
void HSCSealChunkInfo(HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index);

// The parts of nContentID (layout of tagMvCID).
constexpr uint32_t HSCCIDContent(uint64_t cid) { return static_cast<uint32_t>(cid); }
constexpr uint8_t HSCCIDBitrate(uint64_t cid) { return static_cast<uint8_t>(cid >> 32); }
constexpr uint32_t HSCCIDWriter(uint64_t cid) { return static_cast<uint32_t>(cid >> 40); }
constexpr uint64_t HSCMakeCID(uint32_t content, uint8_t bitrate, uint32_t writer) {
    return static_cast<uint64_t>(content) | (static_cast<uint64_t>(bitrate) << 32) |
           (static_cast<uint64_t>(writer & 0xFFFFFF) << 40);
}
// A block is free when the u32 at record offset 8, low byte masked, reads 0xFFFFFF00.
constexpr bool HSCIsFreeBlock(const HSCChunkInfoV3& info) {
    return (static_cast<uint32_t>(info.nContentID >> 32) & 0xFFFFFF00u) == kHSCFreeWriterWord;
}

// Resets a record and its index to a free block of `storageId` with the given marker (the server
// uses kHSCResetMarker, the tool the block's position plus one): writer id 0xFFFFFF, sub-stream
// 0, counts, GOP numbers, times and nDataSize 0, reserved fields 0, index zero, CRCs sealed.
void HSCResetChunkInfo(HSCChunkInfoV3& info, HSCGopIndexArrayV3& index, uint32_t marker,
                       uint16_t storageId);

// Validation of a block's info and index. The steps run in this order and the first failure is
// returned:
//   InfoCRC    1. nInfoCRC matches bytes 0..63
//   IndexCRC   2. nIndexCRC matches the 6144-byte index
//   DataSize   3. nDataSize <= 0x1FFFFFF
//   GOPCount      nGOPCount <= 1024 (a record no writer can produce; refused as damaged)
//   InfoStart  4. every entry k < nGOPCount starts before nDataSize
//   TimeOrder  5. time offsets never decrease over the entries 1..nGOPCount-1
//   FreeOwner  6. a free block has sub-stream 0 and belongs to the loading storage
//   UsedEmpty  7. a used block has non-zero counts, GOP numbers, times and nDataSize
enum class HSCInfoCheck { Ok, InfoCRC, IndexCRC, DataSize, GOPCount, InfoStart, TimeOrder,
                          FreeOwner, UsedEmpty };
const char* HSCInfoCheckName(HSCInfoCheck result);

HSCInfoCheck HSCCheckChunkCRCs(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index);
HSCInfoCheck HSCCheckIndexCommon(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index);
HSCInfoCheck HSCCheckChunkInfo(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index,
                               uint16_t storageId);

// Before a block's info is written: zeroes the entries from nGOPCount to 1023, runs the index
// checks (steps 3 to 5) and, only when they pass, seals both CRCs. Returns the check result.
HSCInfoCheck HSCPrepareChunkInfoSave(HSCChunkInfoV3& info, HSCGopIndexArrayV3& index);

// ---------------------------------------------------------------------------------------------
// Appending a GOP to a block
// ---------------------------------------------------------------------------------------------

// Where a GOP record starts after `dataSize` bytes are used: ceil(dataSize / 1024) rounded up to
// a multiple of 4, in KiB (so on a 4096-byte boundary).
constexpr uint32_t HSCRecordStartKiB(uint32_t dataSize) {
    return static_cast<uint32_t>((static_cast<uint64_t>(dataSize) + kHSCRecordAlign - 1) /
                                 kHSCRecordAlign * (kHSCRecordAlign / 1024));
}
// Transport packet slots of a GOP's packet data: whole 1344-byte records times 7.
constexpr uint64_t HSCPacketSlots(uint64_t packetDataSize) {
    return packetDataSize / kHSCPacketRecordSize * kHSCPacketsPerRecord;
}

// Why a GOP cannot be appended to a block, in the order the conditions are tested.
enum class HSCAppendFit {
    Ok,
    IndexFull,            // the block already holds 1024 GOPs
    OffsetOverflow,       // the record would start beyond 0x7FFE KiB
    TimeOverflow,         // more than 655.35 s after the block's first GOP
    TimeBackwards,        // earlier than the block's start or its previous GOP (the index could
                          // not be saved: time offsets must not decrease)
    NoSpace,              // the record would end beyond 0x1FFFFFF
    PacketCountOverflow,  // the GOP fits the region but its packet slot count does not fit
                          // the 16-bit index field (more than 9362 packet records)
};
const char* HSCAppendFitName(HSCAppendFit fit);

struct HSCAppendPlan {
    HSCGopIndexV3 entry;      // index entry nGOPCount
    uint32_t recordStart = 0; // byte offset of the record in the data region
    uint32_t recordEnd = 0;   // end of header + extra data + packet data
};

// Computes the index entry and the record span of a GOP appended as entry nGOPCount of the
// block. `timeOffsetCs` is the GOP's time minus nStartTime in centiseconds (ignored for the
// first GOP of a block); `closedSizeZero` tells whether the GOP's closedSize is 0. Nothing is
// changed; the plan is valid only when Ok is returned.
HSCAppendFit HSCPlanAppend(const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index,
                           int64_t timeOffsetCs, bool closedSizeZero, uint64_t extraSize,
                           uint64_t packetDataSize, HSCAppendPlan& plan);

// After the record was written: stores the entry, sets nDataSize to the record end, nStartGOP
// and nStartTime for the first GOP, nEndGOP and nEndTime always, and counts the GOP. Callers
// that publish nGOPCount to other threads do these steps themselves with an atomic increment.
void HSCApplyAppend(HSCChunkInfoV3& info, HSCGopIndexArrayV3& index, const HSCAppendPlan& plan,
                    uint64_t gopNumber, MvTime gopTime);

// ---------------------------------------------------------------------------------------------
// GOP record header (48 bytes at the start of every GOP record)
// ---------------------------------------------------------------------------------------------

struct HSCGopInfoV3 {
    uint64_t nSignature = 0;
    uint64_t nGOP = 0;
    uint64_t nContentID = 0;  // the block's nContentID when the record was written
    uint64_t nTime = 0;       // MvTime of the GOP
    uint64_t nExtraSize = 0;  // size of the extra data that follows
    uint64_t nDataSize = 0;   // size of the packet data after the extra data

    bool operator==(const HSCGopInfoV3&) const = default;
};

void HSCEncodeGopInfo(const HSCGopInfoV3& info, std::span<uint8_t, kHSCGopInfoSize> out);
HSCGopInfoV3 HSCDecodeGopInfo(std::span<const uint8_t, kHSCGopInfoSize> in);
// A header as the writer fills it: the extra size is the 32-bit buffer length sign-extended,
// the packet size the 32-bit data size zero-extended.
HSCGopInfoV3 HSCMakeGopInfo(uint64_t gopNumber, uint64_t contentId, MvTime time,
                            int32_t extraLength, uint32_t dataSize);

// ---------------------------------------------------------------------------------------------
// GOP extra data (HSCGopExtraV3)
// ---------------------------------------------------------------------------------------------
// The GOP's metadata serialised after its record header, little endian: signature
// kHSCExtraSignatureAcc (accessorVersion non-zero) or kHSCExtraSignature, CRC-32 over bytes 8 to
// the end, total length, dataSize, spare32, closedSize, gopId, spare64, startTime, pts, the
// PAT/PMT/ECM packets (u32 length + bytes each), the PID description (u32 byte length, then the
// four single PIDs and the three PID lists as u32 count + u16 each) and, for a non-zero
// accessorVersion, the per-packet index (u32 count + 10 bytes each) followed by the accessors in
// ascending id order (u32 id, u8 header count, u32 entry count + 13 bytes each, u32 length +
// buffer bytes) and a u32 zero.

class HSCGop;

inline constexpr size_t kHSCExtraHeaderSize = 12;  // signature, CRC, total length

// Encodes the GOP's metadata into gop->extraData, replacing its contents. False (extraData left
// empty) when a length does not fit its 32-bit field or the buffer cannot grow.
bool HSCBuildGopExtra(HSCGop* gop);
// Checks gop->extraData and restores the GOP's fields from it (dataSize, spare32, closedSize,
// gopId, spare64, startTime, pts, the three packet buffers, the PIDs and pidSet, accessorVersion,
// and for version 1 tsInfos and the accessors). Refused, each logged at level 16 with `cid`:
// length below 12 ("[DBG] CID(%u)(%u)(%u) GOP(%u) extra data error, extra buffer size(%d)"),
// signature other than 0xAABB00FF with bit 8 ignored ("... signature error"), stored length not
// the buffer length or CRC mismatch ("... size or CRC error"), GOP number not `gopId` ("[DBG]
// CID(%u)(%u)(%u) GOP data error, GOP(%u)/(%u)"). Every inner length is checked against the
// buffer; a body that runs past its end (or an accessor list out of order) is refused with the
// size or CRC message. A refused buffer leaves every other field of the GOP unchanged.
// `cid` is a tagMvCID.
bool HSCParseGopExtra(HSCGop* gop, uint64_t cid, uint64_t gopId);
