// Reception of a live channel: the UDP socket (multicast group, or plain unicast for a source
// address outside 224.0.0.0/4), the receive call that returns each datagram with its kernel
// receive time and the socket's cumulative drop count, the cut of a datagram into queued packet
// records, and the codec-specific key-frame finders that decide where a GOP begins.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <deque>

#include "mvcommondata.h"
#include "mvdvbts_misc.h"

// Datagram sizes. The segmenter receives in RTP mode into buffers of MV_STB_RTP_DATAGRAM bytes.
constexpr int MV_STB_RTP_DATAGRAM = 1328;    // 12-byte RTP header + 7 x 188
constexpr int MV_STB_PLAIN_DATAGRAM = 2632;  // 14 x 188
constexpr int MV_STB_REFUSED_MIN = 1317;     // 1317..1327: seven packets with a header below 12
constexpr int MV_STB_REFUSED_MAX = 1327;
constexpr int MV_STB_RCVBUF = 3145728;
constexpr int MV_STB_TIMEOUT_SEC = 2;

// One transport packet taken from a datagram, in the segmenter's packet queue. Allocated with
// malloc; release it with MvFreePacketX.
struct MvDVBTSPacketX {
    MvDVBTSPacket packet;  // parsed header; its pointers point into the datagram buffer
    int64_t rxSec;         // the datagram's receive time
    int64_t rxNsec;
    const uint8_t* raw;    // the packet's 188 bytes inside the datagram buffer
    uint8_t* buffer;       // the datagram buffer (malloc'ed)
    uint8_t ownsBuffer;    // true only on the last queued packet of a datagram
};

// Frees the record, and its datagram buffer when the record owns it.
void MvFreePacketX(MvDVBTSPacketX* p);

// Creates the receive socket: group address in network order (inet_addr of the source address),
// port in host order. A multicast address (224.0.0.0/4) is bound and joined on any interface;
// any other address is bound as given and received as unicast UDP. Each failure logs its error
// and closes the socket; returns the descriptor or -1.
int MvSTBCreateSocket(uint32_t group, uint16_t port);

// One recvmsg into buffer (at most capacity bytes). Returns the datagram length; 0 when the
// receive timed out (EAGAIN); the negative recvmsg result on any other failure. The receive time
// comes from the kernel time stamp (CLOCK_REALTIME now when none came) and is left untouched on
// failure; dropCount is updated when the kernel reports the socket's cumulative drop count.
// `truncated`, when given, tells whether the datagram was longer than capacity.
int MvAXReceiveStatic(int sock, timespec& rxTime, uint8_t* buffer, int capacity,
                      uint32_t& dropCount, bool* truncated = nullptr);

// Receives one datagram. length is set to 0 first. In RTP mode at most MV_STB_RTP_DATAGRAM bytes
// are received, otherwise at most MV_STB_PLAIN_DATAGRAM; never more than `capacity`, the size of
// buffer. timedOut is true exactly when nothing came within the socket's 2-second timeout.
// Returns true for a datagram of at least one byte that is accepted: in RTP mode its length is
// below 1317 or exactly 1328. A refused datagram (1317..1327 bytes, or one longer than the
// buffer) returns false with errno EMSGSIZE and its length in `length`.
bool MvSTBReceiveData(uint8_t* buffer, int& length, int sock, bool rtp, timespec& rxTime,
                      bool& timedOut, uint32_t& dropCount, int capacity = MV_STB_RTP_DATAGRAM);

// Logs "[LIVE] CID(..) dropped (%u) UDP datagrams" when the cumulative drop count has moved on
// since `lastSeen` (counted modulo 2^32) and remembers it. True when datagrams were dropped.
bool MvSTBCheckDrops(tagMvCID cid, uint32_t dropCount, uint32_t& lastSeen);

// Cuts one received datagram into packet records appended to `queue`. h = length mod 188 bytes
// of header (12 for RTP, 0 for plain UDP) are skipped and the following 188-byte blocks become
// records: blocks not starting with 0x47 are logged and skipped, null packets are skipped
// silently, blocks that fail to parse are logged and skipped. The buffer (malloc'ed, `capacity`
// bytes) is owned by the last queued record, or freed at once when nothing was queued; a length
// outside 1..capacity queues nothing. Returns the number of records queued; `problems` receives
// the count of non-TS and unparsable blocks (each one clears the content's writing status).
int MvSTBQueueDatagram(tagMvCID cid, uint8_t* buffer, int capacity, int length,
                       const timespec& rxTime, std::deque<MvDVBTSPacketX*>& queue,
                       int* problems = nullptr);

// ---------------------------------------------------------------------------------------------
// Key-frame detection over the start of a video PES (the payload of the unit-start packet and of
// the following packets of the same PID). `state` is the segmenter's key-frame mode: 0 nothing
// decided yet, 1 an IDR picture was found, 2 key frames come from the random_access_indicator.
// All finders return false when length is 5 or less or state is 2 or more, and look at start
// codes at offsets 0 to length - 6 only (a start code in the last five bytes is not seen).

// Key-frame finder results, named by the segmenter's finish criterion.
enum : int {
    MV_KF_RAI = 0,    // random_access_indicator (RPROGRAM channels)
    MV_KF_MPEG2 = 2,
    MV_KF_H264 = 4,
    MV_KF_HEVC = 5,
};

// MPEG-2 video: a group_of_pictures start code 00 00 01 B8.
bool MvFindKFMPEG2(const uint8_t* data, int length, int state);
// H.264: with `idr`, an IDR slice (NAL type 5) sets state 1 and is a key frame at once; while
// state is 0 an access unit delimiter with primary_pic_type 0 (byte 0x10, I slices only) is one.
bool MvFindKFMPEG4(const uint8_t* data, int length, int& state, bool idr);
// The same with the IDR option of the configuration.
bool MvFindKFMPEG4(const uint8_t* data, int length, int& state);
// HEVC: an IDR picture (NAL type 19 or 20) sets state 1 and is a key frame; while state is 0 an
// access unit delimiter (type 35) with pic_type 0 is one.
bool MvFindKFMPEG5(const uint8_t* data, int length, int& state);

// Gathering limit of the segmenter: payload is gathered until more than this many bytes.
constexpr int MV_KF_GATHER_LIMIT = 1024;
// Largest gathered size: the limit plus one more packet's payload.
constexpr int MV_KF_GATHER_SIZE = MV_KF_GATHER_LIMIT + 184;

// Copies into `out` (capacity bytes) the payload of queue[from] and of the following packets of
// `pid` until the next payload-unit start of that PID or until more than MV_KF_GATHER_LIMIT
// bytes are gathered. Never writes more than capacity bytes. Returns the number of bytes.
int MvGatherVideoPayload(const std::deque<MvDVBTSPacketX*>& queue, size_t from, uint16_t pid,
                         uint8_t* out, int capacity);

// Runs the finders of the codecs whose flags are set, in the order H.264, HEVC, MPEG-2 (a later
// finder that answers true overrides an earlier one). Returns true for a key frame and sets
// `criterion` to MV_KF_H264, MV_KF_HEVC or MV_KF_MPEG2.
bool MvFindKeyFrame(bool h264, bool hevc, bool mpeg2, const uint8_t* data, int length,
                    int& state, bool idr, int& criterion);
