// VOD ingest: the TCP listener on the VODINGEST address and one thread per connection that
// receives a title already cut into GOPs (title header, initial data, 7-packet data messages,
// end message), rebuilds its GOPs and records them through a channel writer. A title already on
// storage is deleted before the new copy is written; a transfer that breaks off is deleted
// again, so storage holds only complete titles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "mvbuffer.h"
#include "mvcommondata.h"
#include "mvsock.h"

class HSCStorageManager;

// --- wire format (little-endian, no padding) -------------------------------------------------------
constexpr uint32_t HSC_VOD_READY = 1;               // server's greeting (u32)
constexpr int HSC_VOD_HEADER_SIZE = 8 + 8 + 4;      // identifier, storage id, GOP count
constexpr int HSC_VOD_PACKETS = 7;                  // transport packets per data message
constexpr int HSC_VOD_PAYLOAD = HSC_VOD_PACKETS * MV_TS_PACKET_SIZE;  // 1316
// A data message after its end flag: new-GOP flag, two reserved u64, seconds, nanoseconds,
// seven packets.
constexpr int HSC_VOD_MSG_REST_SIZE = 2 + 4 * 8 + HSC_VOD_PAYLOAD;  // 1350

// Largest length MvRecvBuffer accepts by default.
constexpr uint32_t HSC_VOD_MAX_BUFFER = 16u * 1024 * 1024;
// Largest PAT, PMT or ECM buffer of the initial data: whole packets, at most 256 of them. The
// tables are stored with every GOP, so they must stay small beside the GOP data.
constexpr uint32_t HSC_VOD_MAX_TABLE = 256 * MV_TS_PACKET_SIZE;
// Largest PID data: the four PIDs and three lists that together cannot name more PIDs than a
// transport stream has (8192 each).
constexpr uint32_t HSC_VOD_MAX_PID_LIST = 8192;
constexpr uint32_t HSC_VOD_MAX_PIDDATA = 8 + 3 * (4 + 2 * HSC_VOD_MAX_PID_LIST);
// A record is appended to a GOP only while the GOP holds at most this many bytes, so a GOP
// never passes its 24 MiB reservation.
constexpr uint32_t HSC_VOD_GOP_APPEND_LIMIT = MV_GOP_CAPACITY_VOD - MV_GOP_RECORD_SIZE - 1;
// Largest seconds value of a message time that the local-time conversion is given (year 9999).
constexpr uint64_t HSC_VOD_MAX_SECONDS = 253402300799ull;

constexpr size_t HSC_VOD_STACK = 256 * 1024;

// --- receiving --------------------------------------------------------------------------------------
// Receives a u32 length, sizes the buffer to it and receives that many bytes. A length above
// `maxLength` is refused as a failed receive: nothing more is read and the socket is closed (the
// stream cannot be followed past a length it will not read). False on any failed receive; the
// buffer is then empty.
bool MvRecvBuffer(MvTCPSock* socket, MvBuffer& buffer, uint32_t maxLength = HSC_VOD_MAX_BUFFER);

struct HSCVODTitleHeader {
    uint64_t cid = 0;        // as received
    uint64_t storageId = 0;  // as received
    uint32_t gopCount = 0;   // only logged
};

// Decodes PID data: u16 PMT, PCR, video and ECM PIDs, then the audio, CA and other lists, each a
// u32 count and that many u16. The bytes must hold exactly what the counts say: a count beyond
// HSC_VOD_MAX_PID_LIST, data that ends early or bytes left over make it false. The PID set is
// built on success.
bool HSCVODDecodePidData(const uint8_t* bytes, size_t length, HSCPIDData& out);

// A table buffer of the initial data (PAT, PMT, ECM) is acceptable: whole 188-byte packets, at
// most HSC_VOD_MAX_TABLE bytes, each starting with the sync byte.
bool HSCVODCheckTable(const MvBuffer& table);

struct HSCVODMessage {
    bool newGop = false;
    timespec time{};                   // seconds and nanoseconds of the data
    const uint8_t* packets = nullptr;  // seven packets, inside the bytes decoded
};
// Decodes a data message after its end flag (HSC_VOD_MSG_REST_SIZE bytes). False when the time
// is not one the server can use: nanoseconds of 1000000000 or more, or seconds beyond
// HSC_VOD_MAX_SECONDS (negative values read as huge).
bool HSCVODDecodeMessage(const uint8_t* bytes, HSCVODMessage& out);

// --- GOP assembly -----------------------------------------------------------------------------------
// Rebuilds the title's GOPs from the packets of the data messages: 1344-byte records of seven
// packets with their per-packet index, a new GOP at the first video packet of a message whose
// new-GOP flag is set. Closed GOPs are handed to `sink` as right-sized duplicates (refCount 0).
// Used by the connection thread; tests drive it directly.
class HSCVODAssembler {
public:
    // Takes a closed GOP: true when it now belongs to the sink; false when it could not be
    // taken (the assembler deletes it and the title cannot be completed).
    using Sink = bool (*)(void* arg, HSCGop* gop);

    // `cid` is the 40-bit identifier the GOPs carry; `now` the time of the first record.
    HSCVODAssembler(tagMvCID cid, const timespec& now, Sink sink, void* arg);
    HSCVODAssembler(const HSCVODAssembler&) = delete;
    HSCVODAssembler& operator=(const HSCVODAssembler&) = delete;
    virtual ~HSCVODAssembler();

    // Takes the initial data: first GOP number, tables and PID summary (its PID set built).
    void Begin(uint64_t firstGop, const MvBuffer& pat, const MvBuffer& pmt, const MvBuffer& ecm,
               const HSCPIDData& pids);
    // One data message. False when the title cannot be recorded whole: a GOP would start
    // before the previous GOP's start time (storage refuses GOPs going back in time), or the
    // sink refused a GOP.
    bool Message(const HSCVODMessage& msg);
    // End of title: the current record and the open GOP are closed and handed on. False when
    // the sink refused the last GOP.
    bool Finish();

    // Pause after each GOP handed on (microseconds); 30000 in the server.
    uint32_t m_pauseUs = 30000;
    bool m_verbose = false;

    uint64_t GopsOut() const { return m_gopsOut; }
    uint64_t PacketsIn() const { return m_packetsIn; }

private:
    bool OpenGop(const timespec& time);
    bool Packet(const uint8_t* packet, bool& newGop, const timespec& time);
    // Appends the current record to the open GOP when it holds packets; when the GOP is full
    // the record is dropped together with its index entries.
    void AppendRecord();
    // Starts a fresh record at `time` with the next RTP sequence number.
    void NewRecord(const timespec& time);
    // Hands the open GOP on as a right-sized duplicate; the working GOP is kept for the next.
    bool CloseGop();
    void DropGop();

    tagMvCID m_cid;
    Sink m_sink;
    void* m_arg;
    uint64_t m_nextGop = 0;
    MvBuffer m_pat, m_pmt, m_ecm;
    HSCPIDData m_pids;
    HSCGop* m_gop = nullptr;   // working GOP, reused from one GOP to the next
    bool m_open = false;       // m_gop is being filled
    MvTime m_lastGopTime = 0;  // start time of the newest GOP opened
    bool m_overflowLogged = false;
    uint8_t m_record[MV_GOP_RECORD_SIZE];
    int m_slots = 0;           // packets in m_record
    size_t m_recordInfos = 0;  // index entries of the packets in m_record
    uint16_t m_sequence = 0;
    uint32_t m_parseFailures = 0;
    uint64_t m_gopsOut = 0;
    uint64_t m_packetsIn = 0;
};

// --- connection thread and listener -----------------------------------------------------------------
// How a connection ended.
enum class HSCVODOutcome {
    Refused,     // ended before a writer was started: storage untouched by this connection
    Complete,    // the whole title was recorded
    Incomplete,  // broke off after the writer started: what was written is deleted again
};
const char* HSCVODOutcomeText(HSCVODOutcome outcome);

// What a connection thread works with. The server uses the defaults; tests shorten the waits
// and hand their own storage manager.
struct HSCVODSetup {
    HSCStorageManager* manager = nullptr;  // null: HSCGetChunkManager()
    int32_t receiveTimeoutMs = 60000;      // every receive; a silent peer ends the connection
    uint32_t gopPauseUs = 30000;           // pause after each GOP handed to the writer
    uint32_t freeWaitUs = 1000000;         // between WaitFreeAll calls
    uint32_t freeWaitMaxSecs = 600;        // longest wait for a content's blocks to be released
    // Called last by the thread, after the socket is deleted and any deletion finished.
    void (*onDone)(void* arg, HSCVODOutcome outcome) = nullptr;
    void* onDoneArg = nullptr;
};

// Starts HSCVODListener detached with a 256 KiB stack; false when it could not be started.
bool HSCStartV3VODListenerThread();
// Listener body (argument unused): binds the VODINGEST address and starts one connection thread
// per accepted connection.
void* HSCVODListener(void* unused);
// Starts HSCVODThread for the connection, detached with a 256 KiB stack; the thread owns and
// finally deletes the socket (deleted here when the thread cannot be started).
bool HSCStartVODThread(MvTCPSock* socket);
bool HSCStartVODThreadWith(MvTCPSock* socket, const HSCVODSetup& setup);
// Connection thread body; the argument is the thread's parameters made by HSCStartVODThread.
void* HSCVODThread(void* params);
// Runs one connection on the calling thread (what HSCVODThread does); deletes the socket.
HSCVODOutcome HSCVODServe(MvTCPSock* socket, const HSCVODSetup& setup);

// Connections being served right now.
uint32_t HSCVODActiveConnections();
