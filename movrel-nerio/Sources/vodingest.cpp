// VOD ingest: listener, connection threads and the GOP assembly of pushed titles.
#include "vodingest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "cfg.h"
#include "gopcache.h"
#include "itg-threadcontrol.h"
#include "listeners.h"
#include "mvaffinity.h"
#include "mvdvbts_misc.h"
#include "mvlogger.h"
#include "mvsync.h"
#include "mvtime.h"
#include "storagemgr.h"

namespace {

constexpr int kListenBacklog = 128;
constexpr int kListenRcvBuf = 102400;
constexpr useconds_t kAcceptPause = 100 * 1000;  // after an accept failure that may repeat
// Unparsable packets logged per title; a stream of garbage must not flood the log.
constexpr uint32_t kParseFailuresLogged = 100;

bool Verbose() { return ITGGetMainConf()->VERBOSE.load(std::memory_order_relaxed); }

uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t GetLE64(const uint8_t* p) {
    return static_cast<uint64_t>(GetLE32(p)) | (static_cast<uint64_t>(GetLE32(p + 4)) << 32);
}

// The log form of an ingest identifier: the stream id is always printed as 0.
#define VOD_CID_ARGS(cid) 0u, MvCIDSubStream(cid), MvCIDContent(cid)

std::atomic<uint32_t> g_active{0};

// Contents being ingested right now. A second connection for the same content is refused while
// the first runs: deleting the title under a running writer would interleave two recordings of
// one content on storage.
MvMutexSync& InProgressLock() {
    static MvMutexSync* lock = new MvMutexSync();
    return *lock;
}
std::set<tagMvCID>& InProgress() {
    static std::set<tagMvCID>* set = new std::set<tagMvCID>();
    return *set;
}

class ContentClaim {
public:
    explicit ContentClaim(tagMvCID cid) : m_cid(cid) {
        MvSyncGuard guard(InProgressLock());
        m_held = InProgress().insert(cid).second;
    }
    ~ContentClaim() {
        if (!m_held) return;
        MvSyncGuard guard(InProgressLock());
        InProgress().erase(m_cid);
    }
    ContentClaim(const ContentClaim&) = delete;
    ContentClaim& operator=(const ContentClaim&) = delete;
    bool Held() const { return m_held; }

private:
    tagMvCID m_cid;
    bool m_held = false;
};

// A storage whose medium was opened and scanned at start-up has its I/O thread sets.
bool StorageLoaded(HSCStorageManager& mgr, uint16_t storageId) {
    if (storageId == 0) return false;
    MvSyncGuard guard(mgr.m_threadSetGuard);
    auto it = mgr.m_threadSets.find(storageId);
    return it != mgr.m_threadSets.end() && !it->second.empty();
}

// Deletes a GOP that was never handed on.
void DeleteUnowned(HSCGop* gop) {
    if (gop == nullptr) return;
    gop->AddRef();
    gop->Release();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Receiving and decoding

bool MvRecvBuffer(MvTCPSock* socket, MvBuffer& buffer, uint32_t maxLength) {
    buffer.m_length = 0;
    uint32_t length = 0;
    if (socket == nullptr || !socket->RecvDWord(length)) return false;
    // An MvBuffer holds at most INT32_MAX bytes, whatever limit the caller gives.
    if (length > maxLength || length > static_cast<uint32_t>(INT32_MAX)) {
        MVLOGI("[VOD] Buffer length (%u) above the limit (%u), connection closed", length,
               maxLength);
        socket->Close();
        return false;
    }
    if (length == 0) return true;
    if (!buffer.Allocate(static_cast<int>(length))) {
        socket->Close();
        return false;
    }
    if (!socket->GenRecv(buffer.GetData(), static_cast<int>(length))) return false;
    buffer.m_length = static_cast<int32_t>(length);
    return true;
}

bool HSCVODDecodePidData(const uint8_t* bytes, size_t length, HSCPIDData& out) {
    size_t at = 0;
    auto u16 = [&](uint16_t& v) {
        if (length - at < 2) return false;
        v = GetLE16(bytes + at);
        at += 2;
        return true;
    };
    auto list = [&](std::vector<uint16_t>& v) {
        v.clear();
        if (length - at < 4) return false;
        const uint32_t count = GetLE32(bytes + at);
        at += 4;
        if (count > HSC_VOD_MAX_PID_LIST || (length - at) / 2 < count) return false;
        v.reserve(count);
        for (uint32_t i = 0; i < count; ++i) v.push_back(GetLE16(bytes + at + 2 * i));
        at += 2 * static_cast<size_t>(count);
        return true;
    };
    if (bytes == nullptr && length != 0) return false;
    HSCPIDData pids;
    if (!u16(pids.pmtPid) || !u16(pids.pcrPid) || !u16(pids.videoPid) || !u16(pids.ecmPid) ||
        !list(pids.audioPids) || !list(pids.caPids) || !list(pids.otherPids))
        return false;
    if (at != length) return false;  // bytes the counts do not account for
    pids.BuildPidSet();
    out = pids;
    return true;
}

bool HSCVODCheckTable(const MvBuffer& table) {
    const int n = table.GetLength();
    if (n < 0 || static_cast<uint32_t>(n) > HSC_VOD_MAX_TABLE || n % MV_TS_PACKET_SIZE != 0)
        return false;
    for (int at = 0; at < n; at += MV_TS_PACKET_SIZE)
        if (table.GetData()[at] != kMvTSSyncByte) return false;
    return true;
}

bool HSCVODDecodeMessage(const uint8_t* bytes, HSCVODMessage& out) {
    out.newGop = GetLE16(bytes) != 0;
    // bytes 2-17: two reserved u64, ignored
    const uint64_t seconds = GetLE64(bytes + 18);
    const uint64_t nanoseconds = GetLE64(bytes + 26);
    out.packets = bytes + 34;
    if (seconds > HSC_VOD_MAX_SECONDS || nanoseconds >= 1000000000ull) return false;
    out.time.tv_sec = static_cast<time_t>(seconds);
    out.time.tv_nsec = static_cast<long>(nanoseconds);
    return true;
}

// ---------------------------------------------------------------------------------------------
// GOP assembly

HSCVODAssembler::HSCVODAssembler(tagMvCID cid, const timespec& now, Sink sink, void* arg)
    : m_cid(cid), m_sink(sink), m_arg(arg) {
    MvInitRTPData(now, m_record, m_sequence);
}

HSCVODAssembler::~HSCVODAssembler() { DropGop(); }

void HSCVODAssembler::Begin(uint64_t firstGop, const MvBuffer& pat, const MvBuffer& pmt,
                            const MvBuffer& ecm, const HSCPIDData& pids) {
    m_nextGop = firstGop;
    m_pat.Clean();
    m_pat.Add(&pat);
    m_pmt.Clean();
    m_pmt.Add(&pmt);
    m_ecm.Clean();
    m_ecm.Add(&ecm);
    m_pids = pids;
    m_pids.BuildPidSet();
}

bool HSCVODAssembler::OpenGop(const timespec& time) {
    const MvTime start = MvTimeFromTimespec(time);
    if (m_lastGopTime != 0 && start < m_lastGopTime) {
        char now[24], before[24];
        MVLOGI("[VOD] CID(%u)(%u)(%u) GOP (%llu) time (%s) is before the previous GOP's (%s)",
               VOD_CID_ARGS(m_cid), static_cast<unsigned long long>(m_nextGop),
               MvTimeToStrR(now, start), MvTimeToStrR(before, m_lastGopTime));
        return false;
    }
    if (m_gop == nullptr) {
        m_gop = MvInitGOP(m_cid, nullptr, m_nextGop, m_pat, m_pmt, m_ecm, m_pids,
                          MV_GOP_CAPACITY_VOD);
    } else {
        // The working GOP of the previous one, emptied: what was handed on is a duplicate, and
        // the reservation with its pages already in place serves the next GOP.
        m_gop->gopId = m_nextGop++;
        m_gop->dataSize = 0;
        m_gop->closedSize = 0;
        m_gop->pts = 0;
        m_gop->tsInfos.clear();
    }
    m_gop->startTime = start;
    m_lastGopTime = start;
    m_overflowLogged = false;
    m_open = true;
    return true;
}

void HSCVODAssembler::DropGop() {
    DeleteUnowned(m_gop);
    m_gop = nullptr;
    m_open = false;
}

void HSCVODAssembler::AppendRecord() {
    if (m_slots == 0) return;
    if (m_gop->dataSize > HSC_VOD_GOP_APPEND_LIMIT || !m_gop->AppendRecord(m_record)) {
        if (!m_overflowLogged)
            MVLOGI("[VOD] CID(%u)(%u)(%u) GOP (%llu) overflow...", VOD_CID_ARGS(m_cid),
                   static_cast<unsigned long long>(m_gop->gopId));
        m_overflowLogged = true;
        // The index must only point into the GOP's data.
        m_gop->tsInfos.resize(m_gop->tsInfos.size() - m_recordInfos);
    }
    m_slots = 0;
    m_recordInfos = 0;
}

void HSCVODAssembler::NewRecord(const timespec& time) {
    MvInitRTPData(time, m_record, ++m_sequence);
}

bool HSCVODAssembler::CloseGop() {
    m_gop->closedSize = m_gop->dataSize;
    HSCGop* copy = m_gop->Duplicate();
    if (m_verbose) {
        char when[24];
        MVLOGI("[VOD] CID(%u)(%u)(%u), GOP (%llu), size(%d), time(%s) added to storage...",
               VOD_CID_ARGS(m_cid), static_cast<unsigned long long>(copy->gopId),
               static_cast<int>(copy->dataSize), MvTimeToStrR(when, copy->startTime));
    }
    m_open = false;
    const bool taken = m_sink(m_arg, copy);
    if (!taken) {
        DeleteUnowned(copy);
        return false;
    }
    ++m_gopsOut;
    if (m_pauseUs != 0) usleep(m_pauseUs);
    return true;
}

bool HSCVODAssembler::Packet(const uint8_t* packet, bool& newGop, const timespec& time) {
    const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    if (pid == kMvTSNullPID) return true;
    MvDVBTSPacket ts;
    if (packet[0] != kMvTSSyncByte || !MvDVBParseTS(packet, &ts)) {
        if (++m_parseFailures <= kParseFailuresLogged)
            MVLOGI("[VOD] TS parsing failed for CID(%u)(%u)(%u) (%d / %d)", VOD_CID_ARGS(m_cid),
                   HSC_VOD_PAYLOAD, HSC_VOD_PACKETS);
        return true;
    }

    MvTSInfo info;
    info.flags = ts.payload_unit_start_indicator ? MV_TSINFO_PUSI : 0;
    if (pid == m_pids.pcrPid) info.flags |= MV_TSINFO_PCR;
    if (pid == 0) {
        info.flags |= MV_TSINFO_PAT;
    } else if (pid == m_pids.pmtPid) {
        info.flags |= MV_TSINFO_PMT;
    } else if (pid == m_pids.videoPid) {
        info.flags |= MV_TSINFO_VIDEO;
    } else if (std::find(m_pids.audioPids.begin(), m_pids.audioPids.end(), pid) !=
               m_pids.audioPids.end()) {
        info.flags |= MV_TSINFO_AUDIO;
    }
    if (ts.payload_length > 184) {
        info.flags |= MV_TSINFO_BADPAYLOAD;
        info.payloadOffset = 4;
    } else {
        info.payloadOffset = static_cast<uint8_t>(MV_TS_PACKET_SIZE - ts.payload_length);
    }

    if (newGop && pid == m_pids.videoPid) {
        newGop = false;
        if (m_slots != 0) {
            AppendRecord();
            NewRecord(time);
        }
        if (m_gop->dataSize != 0) {
            if (!CloseGop()) return false;
            if (!OpenGop(time)) return false;
        }
    }

    info.recordOffset = m_gop->dataSize;
    info.packetOffset = m_gop->dataSize + MV_GOP_RECORD_HEADER_SIZE +
                        static_cast<uint32_t>(MV_TS_PACKET_SIZE * m_slots);
    m_gop->tsInfos.push_back(info);
    ++m_recordInfos;
    memcpy(m_record + MV_GOP_RECORD_HEADER_SIZE + MV_TS_PACKET_SIZE * m_slots, packet,
           MV_TS_PACKET_SIZE);
    ++m_packetsIn;
    if (++m_slots == MV_GOP_RECORD_PACKETS) {
        AppendRecord();
        NewRecord(time);
    }
    return true;
}

bool HSCVODAssembler::Message(const HSCVODMessage& msg) {
    if (!m_open && !OpenGop(msg.time)) return false;
    if (m_verbose && msg.newGop) {
        char when[24];
        MVLOGI("[VOD] New GOP started GID(%llu), TIME(%s)",
               static_cast<unsigned long long>(m_nextGop),
               MvTimeToStrR(when, MvTimeFromTimespec(msg.time)));
    }
    bool newGop = msg.newGop;
    for (int i = 0; i < HSC_VOD_PACKETS; ++i)
        if (!Packet(msg.packets + i * MV_TS_PACKET_SIZE, newGop, msg.time)) return false;
    return true;
}

bool HSCVODAssembler::Finish() {
    if (!m_open) return true;
    AppendRecord();
    if (m_gop->dataSize == 0) {
        m_open = false;
        return true;
    }
    return CloseGop();
}

// ---------------------------------------------------------------------------------------------
// Connection

const char* HSCVODOutcomeText(HSCVODOutcome outcome) {
    switch (outcome) {
    case HSCVODOutcome::Refused: return "refused";
    case HSCVODOutcome::Complete: return "complete";
    case HSCVODOutcome::Incomplete: return "incomplete";
    }
    return "?";
}

uint32_t HSCVODActiveConnections() { return g_active.load(std::memory_order_relaxed); }

namespace {

// Waits until the retention monitor has returned the content's released blocks to the free
// pool. False when that did not happen within the setup's limit (or the manager terminates);
// the blocks then come back with a later monitor pass.
bool WaitReleased(HSCStorageManager& mgr, HSCCIDInfo* record, const HSCVODSetup& setup) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(setup.freeWaitMaxSecs);
    while (!record->WaitFreeAll()) {
        if (mgr.IsTerminating() || std::chrono::steady_clock::now() > limit) return false;
        usleep(setup.freeWaitUs);
    }
    return true;
}

// Reads the data messages through a buffer: one poll and one recv bring in as much of the stream
// as has arrived, instead of two time-limited receives (each a poll, an ioctl and a recv) per
// message. Each wait for more bytes is bounded by the time-out; a failure closes the socket.
class MessageReader {
public:
    MessageReader(MvTCPSock* sock, int32_t timeoutMs)
        : m_sock(sock), m_timeoutMs(timeoutMs), m_buf(kSize) {}

    // Makes n bytes (at most kSize) available at Data(); false when the connection fails first.
    bool Need(size_t n) {
        if (m_end - m_at >= n) return true;
        if (m_at != 0) {
            memmove(m_buf.data(), m_buf.data() + m_at, m_end - m_at);
            m_end -= m_at;
            m_at = 0;
        }
        while (m_end < n) {
            pollfd pfd{m_sock->GetSock(), POLLIN, 0};
            const int prc = poll(&pfd, 1, m_timeoutMs);
            if (prc < 0 && errno == EINTR) continue;
            if (prc <= 0) {
                m_sock->m_lastError = prc == 0 ? MV_SOCK_ERR_RECV_TIMEOUT : MV_SOCK_ERR_RECV_POLL;
                m_sock->Close();
                return false;
            }
            const int rc = m_sock->GenRecvSimple(m_buf.data() + m_end, static_cast<int>(kSize - m_end));
            if (rc < 0) return false;  // GenRecvSimple has closed the socket
            if (rc == 0) {
                m_sock->m_lastError = MV_SOCK_ERR_PEER_CLOSED;
                m_sock->Close();
                return false;
            }
            m_end += static_cast<size_t>(rc);
        }
        return true;
    }
    const uint8_t* Data() const { return m_buf.data() + m_at; }
    void Consume(size_t n) { m_at += n; }

    static constexpr size_t kSize = 64 * 1024;

private:
    MvTCPSock* m_sock;
    int32_t m_timeoutMs;
    std::vector<uint8_t> m_buf;
    size_t m_at = 0;
    size_t m_end = 0;
};

struct WriterLink {
    ITCTC* ctc = nullptr;
    tagMvCID cid = 0;
};

bool PushToWriter(void* arg, HSCGop* gop) {
    WriterLink* link = static_cast<WriterLink*>(arg);
    return link->ctc->m_request->Push(link->cid, gop);
}

// Stops the writer and waits for its final reply. The queues are deleted once the writer has
// answered (its reply is the last thing it does with them).
void StopWriter(ITCTC* ctc) {
    uint64_t command = 0;
    void* pointer = nullptr;
    if (ctc->m_request->Push(0, nullptr) && ctc->m_reply->Pop(command, pointer)) {
        delete ctc;
        return;
    }
    // A broken queue: the writer may still hold it, so it is left to the process.
    MVLOGE("[VOD] Writer queue failure at the end of a title");
}

// Deletes whatever of an incomplete title is on storage.
void DeleteIncomplete(HSCStorageManager& mgr, tagMvCID cid, const HSCVODSetup& setup) {
    HSCCIDInfo* record = mgr.GetCIDInfoNOS(cid);
    if (record != nullptr) {
        MVLOGI("[VOD] VOD tool disconnected before completing content (%u)(%u)(%u), delete data",
               VOD_CID_ARGS(cid));
        uint64_t count = 0;
        record->ForceFreeAll(count);
        MVLOGI("[VOD] Content id (%u)(%u)(%u) - waiting for data to be deleted, (%u) blocks...",
               VOD_CID_ARGS(cid), static_cast<unsigned>(count));
        if (WaitReleased(mgr, record, setup))
            MVLOGI("[VOD] Content id (%u)(%u)(%u) - data released...", VOD_CID_ARGS(cid));
        else
            MVLOGI("[VOD] Content id (%u)(%u)(%u) - blocks still held after (%u) seconds, they "
                   "are released later", VOD_CID_ARGS(cid), setup.freeWaitMaxSecs);
        record->ResetInfo();
    }
    ITGRemoveContentGops(cid);
}

HSCVODOutcome Serve(MvTCPSock* sock, const HSCVODSetup& setup) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        MVLOGE("clock_gettime : %d / %s / %d", errno, __FILE__, __LINE__);
        exit(1);
    }
    const bool verbose = Verbose();
    sock->SetTimed(true);
    sock->SetTimeOut(setup.receiveTimeoutMs);

    // 1. Greeting.
    if (!sock->SendDWord(HSC_VOD_READY)) {
        MVLOGI("[VOD] VOD tool disconnected before sending us anything");
        delete sock;
        return HSCVODOutcome::Refused;
    }
    if (verbose) MVLOGI("[VOD] Sent ACk to tool");

    // 2. Title header.
    HSCVODTitleHeader header;
    if (!sock->RecvQWord(header.cid) || !sock->RecvQWord(header.storageId) ||
        !sock->RecvDWord(header.gopCount)) {
        MVLOGI("[VOD] VOD tool disconnected before sending content, storage and data size");
        delete sock;
        return HSCVODOutcome::Refused;
    }
    if (verbose)
        MVLOGI("[VOD] Received initial info from client: CID((%llu) SID(%llu) GOPS(%u)",
               static_cast<unsigned long long>(header.cid),
               static_cast<unsigned long long>(header.storageId), header.gopCount);

    // 3. Only VOD numbers; the stream id is dropped.
    if (!MvIsVOD(header.cid)) {
        MVLOGI("[VOD] Content id (%llu) is not a VOD content id",
               static_cast<unsigned long long>(header.cid));
        delete sock;
        return HSCVODOutcome::Refused;
    }
    const tagMvCID cid = header.cid & 0xFFFFFFFFFFull;
    const uint32_t content = MvCIDContent(cid);

    HSCStorageManager* mgrPtr = setup.manager != nullptr ? setup.manager : HSCGetChunkManager();
    if (mgrPtr == nullptr) {
        MVLOGI("[VOD] Content id (%u)(%u)(%u) refused: no storage manager", VOD_CID_ARGS(cid));
        delete sock;
        return HSCVODOutcome::Refused;
    }
    HSCStorageManager& mgr = *mgrPtr;

    // The storage the writer records on: the one of the header for sub-stream 0; for a higher
    // sub-stream the one registered for the bare content number (its sub-stream 0, or the
    // default), so that all variants of a title stay together. A title for a storage that is
    // not loaded would only fill memory while the writer waits for blocks that never come.
    if (header.storageId == 0 || header.storageId > 0xFFFF) {
        MVLOGI("[VOD] Content id (%u)(%u)(%u) refused: storage (%llu) is not a storage id",
               VOD_CID_ARGS(cid), static_cast<unsigned long long>(header.storageId));
        delete sock;
        return HSCVODOutcome::Refused;
    }
    const uint16_t storageId = static_cast<uint16_t>(header.storageId);
    const uint16_t writerStorage =
        MvCIDSubStream(cid) == 0 ? storageId : ITGGetStorageForContent(content);
    if (!StorageLoaded(mgr, writerStorage)) {
        MVLOGI("[VOD] Content id (%u)(%u)(%u) refused: storage (%u) is not loaded",
               VOD_CID_ARGS(cid), writerStorage);
        delete sock;
        return HSCVODOutcome::Refused;
    }

    ContentClaim claim(cid);
    if (!claim.Held()) {
        MVLOGI("[VOD] Content id (%u)(%u)(%u) refused: another connection is ingesting it",
               VOD_CID_ARGS(cid));
        delete sock;
        return HSCVODOutcome::Refused;
    }

    // 4. A title already on storage is deleted first.
    if (HSCCIDInfo* old = mgr.GetCIDInfoNOS(cid)) {
        MVLOGI("[VOD] Content id (%u) already exists on storage (%llu), deleting any data if exist",
               content, static_cast<unsigned long long>(old->GetStorageID()));
        uint64_t count = 0;
        old->ForceFreeAll(count);
        MVLOGI("[VOD] Content id (%u) - waiting for data to be deleted, (%u) blocks...", content,
               static_cast<unsigned>(count));
        if (!WaitReleased(mgr, old, setup)) {
            MVLOGI("[VOD] Content id (%u) - blocks still held after (%u) seconds, title refused",
                   content, setup.freeWaitMaxSecs);
            delete sock;
            return HSCVODOutcome::Refused;
        }
        MVLOGI("[VOD] Content id (%u) - data released, relocating to new storage (%llu)...",
               content, static_cast<unsigned long long>(writerStorage));
        old->m_storageId.store(writerStorage, std::memory_order_relaxed);
        old->ResetInfo();
        ITGRemoveContentGops(cid);
    }

    // 5. Writer.
    ITGSetTimeAndStorageForContent(cid, storageId, 0, true);
    ITCTC* ctc = new ITCTC();
    HSCWriterSetup writerSetup;
    writerSetup.manager = setup.manager;
    if (!HSCStartWriterThreadWith(ctc, writerSetup)) {
        delete ctc;
        delete sock;
        return HSCVODOutcome::Refused;
    }
    uint64_t command = 0;
    void* reply = nullptr;
    if (!ctc->m_request->Push(cid, nullptr) || !ctc->m_request->Push(writerStorage, nullptr) ||
        !ctc->m_reply->Pop(command, reply)) {
        // The writer may still be reading the queues: they are left to the process.
        MVLOGE("[VOD] Writer queue failure at the start of content (%u)(%u)(%u)",
               VOD_CID_ARGS(cid));
        delete sock;
        return HSCVODOutcome::Refused;
    }
    if (reply == nullptr) {
        // Another writer holds the content; its recording is not this connection's to delete.
        // The writer has ended after its answer.
        MVLOGI("[VOD] Content id (%u)(%u)(%u) is being written by another writer, title refused",
               VOD_CID_ARGS(cid));
        delete ctc;
        delete sock;
        return HSCVODOutcome::Refused;
    }

    // 6. Initial data.
    bool complete = false;
    {
        if (verbose) MVLOGI("[VOD] Waiting for initial data...");
        uint64_t firstGop = 0;
        MvBuffer pat, pmt, ecm, pidData;
        HSCPIDData pids;
        const bool received = sock->RecvQWord(firstGop) &&
                              MvRecvBuffer(sock, pat, HSC_VOD_MAX_TABLE) &&
                              MvRecvBuffer(sock, pmt, HSC_VOD_MAX_TABLE) &&
                              MvRecvBuffer(sock, ecm, HSC_VOD_MAX_TABLE) &&
                              MvRecvBuffer(sock, pidData, HSC_VOD_MAX_PIDDATA);
        const char* invalid = nullptr;
        if (!received) {
            MVLOGI("[VOD] VOD tool disconnected before sending pidinfo");
        } else {
            if (verbose)
                MVLOGI("[VOD] Received initial data: GOPID(%llu) PAT(%u) PMT(%u) ECM(%u) PIDDATA(%u)",
                       static_cast<unsigned long long>(firstGop), pat.GetLength(),
                       pmt.GetLength(), ecm.GetLength(), pidData.GetLength());
            if (firstGop == 0)
                invalid = "first GOP number 0";
            else if (!HSCVODCheckTable(pat) || !HSCVODCheckTable(pmt) || !HSCVODCheckTable(ecm))
                invalid = "tables are not whole transport packets";
            else if (!HSCVODDecodePidData(pidData.GetData(),
                                          static_cast<size_t>(pidData.GetLength()), pids))
                invalid = "PID data does not match its counts";
            if (invalid != nullptr)
                MVLOGI("[VOD] Content id (%u)(%u)(%u) initial data refused: %s",
                       VOD_CID_ARGS(cid), invalid);
        }

        // 7-9. Data messages until the end message.
        if (received && invalid == nullptr) {
            WriterLink link{ctc, cid};
            HSCVODAssembler assembler(cid, now, PushToWriter, &link);
            assembler.m_pauseUs = setup.gopPauseUs;
            assembler.m_verbose = verbose;
            assembler.Begin(firstGop, pat, pmt, ecm, pids);
            MessageReader reader(sock, setup.receiveTimeoutMs);
            while (sock->IsOpen()) {
                if (!reader.Need(2)) continue;
                if (GetLE16(reader.Data()) != 0) {  // end of title
                    reader.Consume(2);
                    complete = assembler.Finish();
                    break;
                }
                if (!reader.Need(2 + HSC_VOD_MSG_REST_SIZE)) continue;
                HSCVODMessage msg;
                const bool valid = HSCVODDecodeMessage(reader.Data() + 2, msg);
                if (!valid) {
                    MVLOGI("[VOD] Content id (%u)(%u)(%u) data message with an invalid time",
                           VOD_CID_ARGS(cid));
                    break;
                }
                if (!assembler.Message(msg)) break;  // the packets are copied by now
                reader.Consume(2 + HSC_VOD_MSG_REST_SIZE);
            }
        }
    }

    // 10. Finish.
    StopWriter(ctc);
    delete sock;
    if (complete) return HSCVODOutcome::Complete;
    DeleteIncomplete(mgr, cid, setup);
    return HSCVODOutcome::Incomplete;
}

struct ThreadParams {
    MvTCPSock* socket = nullptr;
    HSCVODSetup setup;
};

int StartDetached(void* (*body)(void*), void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setstacksize(&attr, HSC_VOD_STACK);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    if (rc == 0) rc = pthread_create(&tid, &attr, body, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

}  // namespace

HSCVODOutcome HSCVODServe(MvTCPSock* socket, const HSCVODSetup& setup) {
    g_active.fetch_add(1, std::memory_order_relaxed);
    const HSCVODOutcome outcome = Serve(socket, setup);
    g_active.fetch_sub(1, std::memory_order_relaxed);
    if (setup.onDone != nullptr) setup.onDone(setup.onDoneArg, outcome);
    return outcome;
}

void* HSCVODThread(void* params) {
    ThreadParams* p = static_cast<ThreadParams*>(params);
    MvTCPSock* socket = p->socket;
    const HSCVODSetup setup = p->setup;
    delete p;
    HSCVODServe(socket, setup);
    return nullptr;
}

bool HSCStartVODThreadWith(MvTCPSock* socket, const HSCVODSetup& setup) {
    ThreadParams* params = new (std::nothrow) ThreadParams{socket, setup};
    int rc = ENOMEM;
    if (params != nullptr) rc = StartDetached(HSCVODThread, params);
    if (rc != 0) {
        MVLOGE("[VOD] VOD connection thread creation error %d", rc);
        delete params;
        delete socket;
        return false;
    }
    return true;
}

bool HSCStartVODThread(MvTCPSock* socket) { return HSCStartVODThreadWith(socket, HSCVODSetup{}); }

// ---------------------------------------------------------------------------------------------
// Listener

void* HSCVODListener(void* /*unused*/) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    const tagITGListenAddr& where = ITGGetMainConf()->VODINGEST;
    const char* name = "HSCVODListener";
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        MVLOGI("%s socket : %d", name, errno);
        return nullptr;
    }
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        MVLOGI("%s SetSockOpt SO_REUSEADDR: %d", name, errno);
        close(fd);
        return nullptr;
    }
    const int rcvbuf = kListenRcvBuf;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf)) != 0) {
        MVLOGI("%s SetSockOpt SO_RCVBUF: %d", name, errno);
        close(fd);
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = where.ip;
    addr.sin_port = htons(where.port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        MVLOGI("%s Bind: %d", name, errno);
        close(fd);
        return nullptr;
    }
    if (listen(fd, kListenBacklog) != 0) {
        MVLOGI("VODListener Listen: %d", errno);
        close(fd);
        return nullptr;
    }
    for (;;) {
        const int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED) continue;
            // Out of descriptors or memory: the condition lasts a while, so do not spin on it.
            MVLOGE("[VOD] Accept failed: %d", err);
            usleep(kAcceptPause);
            continue;
        }
        MvTCPSock* sock = new (std::nothrow) MvTCPSock(conn);
        if (sock == nullptr) {
            close(conn);
            usleep(kAcceptPause);
            continue;
        }
        const MvNetAddr peer = sock->GetPeer();
        MVLOGI("VOD connection from IP (%s)", peer.GetAddrFull());
        sock->SetHWKA();  // a failure closes the socket: the thread then ends at its greeting
        HSCStartVODThread(sock);
    }
}

bool HSCStartV3VODListenerThread() {
    const int rc = StartDetached(HSCVODListener, nullptr);
    if (rc != 0) MVLOGE("[VOD] VOD listener thread creation error %d", rc);
    return rc == 0;
}
