// The live TS-to-GOP segmenter of one channel sub-stream: program selection from the PAT and
// PMT, PID filtering, continuity counting, the look-ahead that lets the key-frame finders see
// enough of a video PES, GOP cutting at key frames and whole-PES audio placement. The per-packet
// work lives in TSSSegmenter, which knows neither sockets nor threads: the segmenter thread
// (TSSReceiverThread) feeds it datagrams and hands the closed GOPs to the channel writer through
// a TSSGopSink; tests feed it packets and catch the GOPs with their own sink.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <vector>

#include "liveinput_rx.h"
#include "mvbuffer.h"
#include "mvcommondata.h"
#include "mvdvbts_pat.h"
#include "mvdvbts_pmt.h"

class ITGMainConf;

// Sizes of the segmenter.
constexpr uint32_t TSS_GOP_CAPACITY = MV_GOP_CAPACITY_LIVE;     // 8 MiB
constexpr uint32_t TSS_RECORD_APPEND_LIMIT = TSS_GOP_CAPACITY - MV_GOP_RECORD_SIZE;  // 8387264
constexpr uint32_t TSS_AUDIO_FIT_LIMIT = TSS_GOP_CAPACITY - 1;  // 8388607
constexpr int TSS_AUDIO_PES_MAX = 65534;       // PES bytes of one audio PES
// Packets of one audio PES being collected. Packets without payload add nothing to the PES
// bytes, so the byte limit alone would not bound them.
constexpr int TSS_AUDIO_PES_PACKETS_MAX = 1024;
constexpr int64_t TSS_LOOKAHEAD_SPAN_NS = 1001000000;  // 1.001 s
// A PAT, PMT or ECM occurrence longer than this many packets is not collected (a section has
// at most 1024 bytes, six packets).
constexpr int TSS_TABLE_PACKETS_MAX = 32;
// Key-frame gathering beyond the first window: a picture whose first slice lies behind large
// SEI or parameter sets is gathered on up to this many bytes (or to the next PES start).
constexpr int TSS_KF_EXTENDED_LIMIT = 65536;

// Where a closed GOP goes, and what an extra bitrate asks of its primary stream.
class TSSGopSink {
public:
    virtual ~TSSGopSink() = default;
    // Takes the GOP (refCount 0): it belongs to the sink from now on.
    virtual void PushGop(HSCGop* gop) = 0;
    // The primary stream's GOP whose PTS is nearest to `pts` within `tolerance` (90 kHz); 0
    // when none. `distance` receives the PTS difference.
    virtual uint64_t PrimaryGopForPts(uint64_t pts, uint64_t tolerance, uint64_t& distance) {
        (void)pts;
        (void)tolerance;
        distance = UINT64_MAX;
        return 0;
    }
    // Clears the content's writing-status flag (1 -> 0).
    virtual void ClearWriting() {}
    // Waits between two attempts of the extra-bitrate match.
    virtual void Pause(int milliseconds);
};

// Counters of what happened, for the thread's statistics and for tests.
struct TSSCounters {
    uint64_t packets = 0;         // packets handled
    uint64_t gopsClosed = 0;      // pushed to the sink
    uint64_t gopsSkipped = 0;
    uint64_t gopsDropped = 0;     // extra bitrate GOPs without a primary match
    uint64_t ccErrors = 0;
    uint64_t overflows = 0;
    uint64_t audioDropped = 0;    // audio PES (or shelves) refused
};

class TSSSegmenter {
public:
    // `conf` is read for VERBOSE, IDR, PATPROGSONLY, PATCHPAT, ABRTHRESHOLDMS and ABRWAITTIME
    // (the process-wide record when null). `flags` are the channel flags (HSC_CHANNEL_RPROGRAM).
    // `nextGopId` numbers the first GOP; the RTP sequence starts at its low 16 bits.
    TSSSegmenter(tagMvCID cid, uint64_t programNumber, uint32_t flags, uint64_t nextGopId,
                 TSSGopSink* sink, const ITGMainConf* conf = nullptr);
    TSSSegmenter(const TSSSegmenter&) = delete;
    TSSSegmenter& operator=(const TSSSegmenter&) = delete;
    // Frees the queued packets, the current GOP (never pushed) and the audio states.
    virtual ~TSSSegmenter();

    // Cuts one received datagram (malloc'ed buffer of `capacity` bytes, owned from now on) into
    // queued packets; logs dropped datagrams when `dropCount` moved on. Returns the number of
    // packets queued.
    int QueueDatagram(uint8_t* buffer, int capacity, int length, const timespec& rxTime,
                      uint32_t dropCount = 0);
    // Handles queued packets from the head while the look-ahead allows.
    void Process();
    // Handles every queued packet regardless of the look-ahead (end of a test input).
    void Flush();
    // A receive time-out or error: the GOP being filled will be skipped.
    void ReceiveFailed() { m_started = false; }
    // Stop: frees the queue, the current GOP and the audio states.
    void Shutdown();

    // --- inspection -------------------------------------------------------------------------
    const HSCPIDData& PidData() const { return m_pids; }
    bool ProgramKnown() const { return m_pmtLearned; }
    uint64_t NextGopId() const { return m_nextGopId; }
    const HSCGop* CurrentGop() const { return m_gop; }
    int KeyFrameMode() const { return m_kfMode; }
    int Frames() const { return m_frames; }
    size_t QueuedPackets() const { return m_queue.size(); }
    const TSSCounters& Counters() const { return m_counters; }
    const std::map<uint16_t, MvAData*>& AudioStates() const { return m_audio; }
    const MvBuffer& StoredPat() const { return m_patStored; }
    const MvBuffer& StoredPmt() const { return m_pmtStored; }

private:
    // Per-PID roles, for the packet path (a table lookup instead of the PID set's map).
    enum : uint8_t {
        kRoleProgram = 0x01,  // in the program's PID set
        kRoleAudio = 0x20,
    };

    const ITGMainConf* Conf() const;
    bool Verbose() const;
    void ClearWriting();

    // Look-ahead.
    bool LookAheadAllows() const;
    void CountQueued(const MvDVBTSPacketX* x, int direction);
    void RecountQueued();
    // Key-frame decision for the video unit start at the head of the queue: 1 decided (stored
    // in m_kfPending*), 0 more data is needed first.
    int EvaluateHeadKeyFrame(bool force);
    int GatherVideo(size_t from, int limit, bool& ended);

    // Packet handling.
    void HandleHead();
    void HandlePacket(const MvDVBTSPacketX* x);
    void CollectTable(MvBuffer& accumulator, bool& accumulating, MvBuffer& stored,
                      const uint8_t* raw, bool start);
    void OnPat(const MvDVBTSPacketX* x);
    void OnPmt(const MvDVBTSPacketX* x);
    void SelectProgram();
    void LearnProgram();
    void HandleCA(const MvDVBDesc* desc, bool inStream, uint8_t streamType, uint16_t streamPid);
    void BuildRoles();
    void HandleVideo(const MvDVBTSPacketX* x);
    void WritePacket(const uint8_t* raw, MvTSInfo info);
    void CompleteRecord();
    void InitRecord();

    // GOPs.
    void OpenGop();
    void CloseGop(int criterion);
    void SkipGop();
    uint64_t FirstVideoPts(bool& ok) const;
    bool MatchPrimary(HSCGop* gop);
    void ReleaseGop();

    // Audio placement.
    void CreateAudioStates();
    void DiscardAudioStates();
    void HandleAudio(const MvDVBTSPacketX* x, MvTSInfo info);
    bool AudioFits(size_t packets) const;
    void WriteAudioPackets(const MvBuffer& packets, std::vector<MvTSInfo>& index);
    void FinishAudioPes(MvAData* a);

    // Channel.
    const tagMvCID m_cid;
    const uint64_t m_programNumber;
    const uint32_t m_flags;
    TSSGopSink* m_sink;
    const ITGMainConf* m_conf;
    const bool m_extraBitrate;

    // Packet queue and look-ahead counters (video packets of the queue).
    std::deque<MvDVBTSPacketX*> m_queue;
    int m_queuedVideoStarts = 0;
    int m_queuedBytesSinceStart = 0;  // video payload from the last queued unit start on
    timespec m_lastRx = {0, 0};
    uint32_t m_lastDropCount = 0;
    bool m_dropCountKnown = false;

    // Key-frame decision made ahead for the head packet.
    const MvDVBTSPacketX* m_kfPendingPacket = nullptr;
    bool m_kfPendingKey = false;
    int m_kfPendingCriterion = 0;
    int m_kfPendingState = 0;
    std::vector<uint8_t> m_gather;

    // Tables.
    MvDVBPAT* m_pat;
    MvDVBPMT* m_pmt;
    HSCPIDData m_pids;
    bool m_pmtLearned = false;
    bool m_patDone = false;   // the PAT was parsed (program selected or not)
    MvBuffer m_patStored, m_patAcc;
    bool m_patAccumulating = false;
    MvBuffer m_pmtStored;
    MvBuffer m_ecmStored, m_ecmAcc;
    bool m_ecmAccumulating = false;
    bool m_hasGeneratedPat = false;
    uint8_t m_generatedPat[MV_TS_PACKET_SIZE];
    bool m_h264 = false, m_hevc = false, m_mpeg2 = false;
    int m_kfMode = 0;
    uint8_t m_roles[8192];
    int8_t m_cc[8192];

    // Audio states by PID.
    std::map<uint16_t, MvAData*> m_audio;

    // Current GOP and record.
    HSCGop* m_gop = nullptr;
    uint8_t m_record[MV_GOP_RECORD_SIZE];
    int m_slots = 0;
    uint16_t m_rtpSeq;
    uint64_t m_nextGopId;
    bool m_started = false;
    bool m_hadGop = false;
    int m_frames = 0;
    int m_gopCCErrors = 0;
    bool m_overflow = false;

    TSSCounters m_counters;
};
