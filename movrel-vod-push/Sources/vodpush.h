// VOD push: turns a transport-stream file into a VOD title for the server's VOD ingest. The
// scan finds the first program's tables and PIDs and cuts the file into GOPs at video key
// frames with the live segmenter's rules; the encoders produce the bytes the tool sends: title
// header, initial data, 7-packet data messages and the end message (all little-endian).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "mvbuffer.h"
#include "mvcommondata.h"

// Sizes of the protocol's messages.
constexpr int MV_VOD_MSG_PACKETS = 7;
constexpr int MV_VOD_MSG_PAYLOAD = MV_VOD_MSG_PACKETS * MV_TS_PACKET_SIZE;  // 1316
// end flag, new-GOP flag, two reserved u64, seconds, nanoseconds, seven packets
constexpr int MV_VOD_DATA_MSG_SIZE = 2 + 2 + 4 * 8 + MV_VOD_MSG_PAYLOAD;   // 1352
constexpr int MV_VOD_END_MSG_SIZE = 2;
constexpr int MV_VOD_HEADER_SIZE = 8 + 8 + 4;                               // 20
constexpr uint32_t MV_VOD_READY = 1;                                        // server's greeting

// Content numbers of VOD titles.
constexpr uint64_t MV_VOD_FIRST_CONTENT = 100000000;
constexpr uint64_t MV_VOD_LAST_CONTENT = 999999999;

// Key frames further apart than this in PTS (or going backwards) are treated as a time
// discontinuity: the title clock advances by the previous GOP's duration instead.
constexpr uint64_t MV_VOD_MAX_GOP_PTS = 60ull * 90000;
// How far past a video payload-unit start the key-frame look-ahead searches for the rest of
// the picture's first bytes, in packets.
constexpr uint64_t MV_VOD_LOOKAHEAD_PACKETS = 4096;
// ECM packets kept for the title at most.
constexpr int MV_VOD_MAX_ECM_PACKETS = 64;

// One GOP of the title: a span of the file's packets from a key-frame packet to the next one.
struct MvVodGopSpan {
    uint64_t firstPacket = 0;  // file packet number of the key-frame packet
    uint64_t endPacket = 0;    // file packet number after the span
    uint64_t packets = 0;      // packets of the span that are sent
    int64_t offsetNs = 0;      // presentation time from the title's first key frame
};

// A scanned file: the program, its tables and its GOPs.
class MvVodTitle {
public:
    MvVodTitle() = default;
    MvVodTitle(const MvVodTitle&) = delete;
    MvVodTitle& operator=(const MvVodTitle&) = delete;
    virtual ~MvVodTitle() = default;

    // Back to the empty title a scan starts from.
    void Reset();
    // Packets sent and data messages needed for the whole title.
    uint64_t SentPackets() const;
    uint64_t MessageCount() const;

    uint16_t programNumber = 0;
    HSCPIDData pids;          // pidSet built
    MvBuffer pat;             // the PAT occurrence that completed the table
    MvBuffer pmt;             // the program's PMT occurrence that completed the table
    MvBuffer ecm;             // first complete ECM occurrence; empty without ECM PID
    bool h264 = false;        // codec flags of the video stream types
    bool hevc = false;
    bool mpeg2 = false;
    std::vector<MvVodGopSpan> gops;

    uint64_t filePackets = 0;     // whole packets in the file
    uint32_t trailingBytes = 0;   // bytes after the last whole packet (ignored)
    uint64_t leadingPackets = 0;  // packets before the first key frame (not sent)
    uint64_t skippedPackets = 0;  // later null, unparsable or foreign packets (not sent)
    uint64_t badPackets = 0;      // packets that failed to parse (part of the two above)
};

enum class MvVodScanResult {
    Ok,
    Empty,        // the file holds no byte
    NotTS,        // no sync byte at a 188-byte step
    NoPAT,        // no complete PAT
    NoProgram,    // the PAT lists no program
    NoPMT,        // no complete PMT for the program
    NoVideo,      // the program has no video stream
    NoKeyFrame,   // no video key frame
    GopTooLarge,  // a GOP would not fit the server's GOP capacity
    TooManyGops,  // more GOPs than the title header can count
};
const char* MvVodScanResultText(MvVodScanResult result);

struct MvVodScanOptions {
    bool idr = false;                          // H.264: IDR slices are key frames too
    uint32_t gopCapacity = MV_GOP_CAPACITY_VOD;  // the server's GOP reservation
};

// Scans length bytes of a transport stream into title. On any result but Ok, detail says what
// was found wrong (for example where the sync was lost).
MvVodScanResult MvVodScan(const uint8_t* data, uint64_t length, const MvVodScanOptions& options,
                          MvVodTitle& title, std::string& detail);

// True when the packet belongs to the title: it parses, is not a null packet and its PID is in
// the program's PID set. The scan and the encoder use this one rule.
bool MvVodIsTitlePacket(const MvVodTitle& title, const uint8_t* packet);

// Largest number of 1344-byte records the server keeps in one GOP of the given capacity.
uint64_t MvVodMaxGopRecords(uint32_t capacity);

// Turns the PTS of successive key frames into a non-decreasing title time. The first key frame
// is at 0; each next one advances by its PTS distance (33-bit wrap allowed) when that is above
// 0 and at most MV_VOD_MAX_GOP_PTS, otherwise (no PTS, backwards, jump) by the previous step.
// A key frame without PTS takes the estimate as its PTS for the next distance.
class MvVodClock {
public:
    virtual ~MvVodClock() = default;
    int64_t Next(bool hasPts, uint64_t pts);

private:
    bool m_started = false;
    bool m_havePts = false;
    uint64_t m_lastPts = 0;
    uint64_t m_offsetTicks = 0;  // 90 kHz
    uint64_t m_stepTicks = 0;
};

// Local time 2000-01-01 00:00:00.00, the time at which VOD titles start.
timespec MvVodTimeBase();
// base + offset (offset >= 0).
timespec MvVodTimeAdd(const timespec& base, int64_t offsetNs);

// Command-line numbers: decimal digits only, no sign, no blanks, within [min, max].
bool MvVodParseNumber(const char* text, uint64_t min, uint64_t max, uint64_t& value);
// A VOD content number (MV_VOD_FIRST_CONTENT to MV_VOD_LAST_CONTENT).
bool MvVodParseContentId(const char* text, uint32_t& content);

// Encoders; each appends to out.
void MvVodPutU16(std::vector<uint8_t>& out, uint16_t value);
void MvVodPutU32(std::vector<uint8_t>& out, uint32_t value);
void MvVodPutU64(std::vector<uint8_t>& out, uint64_t value);
// u32 length, then the bytes.
void MvVodPutBuffer(std::vector<uint8_t>& out, const MvBuffer& buffer);
// Title header: identifier (u64), storage id (u64), GOP count (u32).
void MvVodEncodeHeader(std::vector<uint8_t>& out, tagMvCID cid, uint64_t storageId,
                       uint32_t gopCount);
// PID summary: PMT, PCR, video and ECM PIDs (u16 each), then the audio, CA and other lists,
// each a u32 count and that many u16.
void MvVodEncodePidData(std::vector<uint8_t>& out, const HSCPIDData& pids);
// Initial data: first GOP number (u64), PAT, PMT, ECM and PID data as length-prefixed buffers.
void MvVodEncodeInitialData(std::vector<uint8_t>& out, uint64_t firstGop, const MvVodTitle& title);
// One data message (MV_VOD_DATA_MSG_SIZE bytes) for seven packets; the reserved fields are 0.
void MvVodEncodeDataMessage(std::vector<uint8_t>& out, bool newGop, const timespec& time,
                            const uint8_t* packets);
// The end message: a true end flag.
void MvVodEncodeEnd(std::vector<uint8_t>& out);
// The data messages of GOP number `gop` of the title (the file's bytes in data): its packets in
// file order, seven a message, the last message filled up with null packets; the first message
// carries the new-GOP flag. Every message has the GOP's time. Returns the messages written.
uint64_t MvVodEncodeGop(std::vector<uint8_t>& out, const MvVodTitle& title, const uint8_t* data,
                        size_t gop, const timespec& time);
