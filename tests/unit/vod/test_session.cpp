// Whole connections against a real storage manager over a scanned medium, with the writer pair
// and retention passes running: a title stored GOP by GOP, its replacement, transfers cut at
// every field, bad input of every kind, a silent peer beside a working one, a second connection
// for a title in progress, refused content ids and storages, and the cache after a replacement.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "../storage/storage_fixture.h"
#include "gopcache.h"
#include "storageinit.h"
#include "storagemgr.h"
#include "storagemgr_monitor.h"
#include "vod_helpers.h"
#include "vodingest.h"

using namespace vodtest;

namespace {

constexpr uint16_t kStorage = 1;

// The end of one connection, reported by the thread's last act.
struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    HSCVODOutcome outcome = HSCVODOutcome::Refused;

    static void Report(void* arg, HSCVODOutcome outcome) {
        Done* d = static_cast<Done*>(arg);
        std::lock_guard<std::mutex> lock(d->m);
        d->outcome = outcome;
        d->done = true;
        d->cv.notify_all();
    }
    bool IsDone() {
        std::lock_guard<std::mutex> lock(m);
        return done;
    }
    bool Wait(int seconds = 30) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; });
    }
};

// What the client does once its bytes are out.
enum class After { Close, Hold, AwaitClose };

// One connection: a socket pair whose server end runs in a connection thread; the client reads
// the greeting, sends its bytes from its own thread and then closes, holds or waits.
class Connection {
public:
    Connection(const HSCVODSetup& base, Bytes bytes, After after) : m_after(after) {
        HSCVODSetup setup = base;
        setup.onDone = Done::Report;
        setup.onDoneArg = &done;
        m_bytes = std::move(bytes);
        started = HSCStartVODThreadWith(m_pair.TakeServer(), setup);
        if (started) m_client = std::thread([this] { Run(); });
    }
    ~Connection() { Join(); }
    // Ends the client: a holding client gives up.
    void Join() {
        m_release = true;
        if (m_client.joinable()) m_client.join();
    }
    // Lets a holding client go on with `more` and then wait for the server's close.
    void Continue(const Bytes& more) {
        std::lock_guard<std::mutex> lock(m_moreLock);
        m_more = more;
        m_haveMore = true;
    }
    bool ClosedByServer() const { return m_serverClosed; }

    Done done;
    bool started = false;
    std::atomic<bool> greeted{false};

private:
    void Run() {
        uint8_t ready[4] = {0, 0, 0, 0};
        if (Read(ready, 4, 10000) == 4 && ready[0] == 1 && ready[1] == 0 && ready[2] == 0 &&
            ready[3] == 0)
            greeted = true;
        m_pair.Send(m_bytes);
        if (m_after == After::Close) {
            m_pair.CloseClient();
            return;
        }
        if (m_after == After::Hold) {
            Bytes more;
            bool go = false;
            while (!m_release && !go) {
                {
                    std::lock_guard<std::mutex> lock(m_moreLock);
                    go = m_haveMore;
                    if (go) more = m_more;
                }
                if (!go) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (!go) return;
            m_pair.Send(more);
        }
        shutdown(m_pair.client, SHUT_WR);
        uint8_t byte;
        m_serverClosed = Read(&byte, 1, 20000) == 0;
    }
    // Bytes read within the time; 0 at the peer's close, -1 on time-out or error.
    int Read(uint8_t* p, int n, int timeoutMs) {
        int got = 0;
        while (got < n) {
            pollfd pfd{m_pair.client, POLLIN, 0};
            if (poll(&pfd, 1, timeoutMs) <= 0) return -1;
            const ssize_t rc = recv(m_pair.client, p + got, static_cast<size_t>(n - got), 0);
            if (rc < 0) return -1;
            if (rc == 0) return got;
            got += static_cast<int>(rc);
        }
        return got;
    }

    SocketPair m_pair;
    Bytes m_bytes;
    After m_after;
    std::thread m_client;
    std::atomic<bool> m_release{false};
    std::mutex m_moreLock;
    Bytes m_more;
    bool m_haveMore = false;
    std::atomic<bool> m_serverClosed{false};
};

class VodSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ITGCacheInit(0); }

    void SetUp() override {
        ITGMainConf* conf = ITGGetMainConf();
        savedSlots_ = conf->READERSLOTS;
        conf->READERSLOTS = 2;
        ITGSetCacheSize(0);
        medium_ = std::make_unique<mvtest::TestMedium>(4, kStorage);
        media_[kStorage].path = medium_->Path();
        mgr_ = std::make_unique<HSCStorageManager>(false);
        ASSERT_EQ(MvLoadStorages(*mgr_, media_), 1);
        monitor_ = std::thread([this] { Monitor(); });
    }
    void TearDown() override {
        stopMonitor_ = true;
        monitor_.join();
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr_->m_blocks) blocks.push_back(b);
        mgr_.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media_)
            if (m.descriptor >= 0) close(m.descriptor);
        FlushCache();
        ITGGetMainConf()->READERSLOTS = savedSlots_;
    }

    // The retention monitors of the records, run every 10 ms instead of every 5 to 10 s.
    void Monitor() {
        std::map<HSCCIDInfo*, HSCRetentionState> states;
        while (!stopMonitor_) {
            std::vector<HSCCIDInfo*> records;
            mgr_->GetAllCID(records);
            for (HSCCIDInfo* r : records) {
                if (r->IsPool()) continue;
                auto [it, added] = states.try_emplace(r);
                if (added) HSCRetentionStart(*r, it->second);
                HSCRetentionPass(*mgr_, *r, it->second, MvTimeNow());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static void FlushCache() {
        ITGSetCacheSize(0);
        HSCGop* dummy = new HSCGop();
        dummy->gopId = 1;
        dummy->AddRef();
        ITGAddGopAdv(MvCIDMake(99999999, 255, 0), dummy, false);
        dummy->Release();
    }

    HSCVODSetup Setup(int32_t timeoutMs = 3000) {
        HSCVODSetup s;
        s.manager = mgr_.get();
        s.receiveTimeoutMs = timeoutMs;
        s.gopPauseUs = 0;
        s.freeWaitUs = 5000;
        s.freeWaitMaxSecs = 20;
        return s;
    }

    // Runs one connection to its end; the outcome.
    HSCVODOutcome Push(const Bytes& bytes, After after = After::AwaitClose,
                       int32_t timeoutMs = 3000) {
        Connection c(Setup(timeoutMs), bytes, after);
        EXPECT_TRUE(c.started);
        EXPECT_TRUE(c.done.Wait()) << "the connection did not end";
        EXPECT_TRUE(c.greeted) << "no greeting";
        return c.done.outcome;
    }

    // The GOPs of the content on the medium, read back through fresh block objects: number ->
    // its non-null packets.
    std::map<uint64_t, std::vector<Bytes>> Stored(tagMvCID cid, std::vector<MvTime>* times = nullptr) {
        std::map<uint64_t, std::vector<Bytes>> out;
        for (uint64_t pos = 0; pos < medium_->Blocks(); ++pos) {
            auto block = medium_->Block(pos, kStorage);
            if (!block->IsValid() || block->IsFree() || block->GetContentID() != cid) continue;
            for (uint64_t n = block->GetStartGOPID(); n <= block->GetEndGOPID(); ++n) {
                HSCGop g;
                if (!block->LoadGOPDirect(n, &g)) {
                    ADD_FAILURE() << "GOP " << n << " cannot be loaded";
                    continue;
                }
                EXPECT_EQ(out.count(n), 0u) << "GOP " << n << " stored twice";
                std::vector<Bytes>& packets = out[n];
                for (uint32_t r = 0; r < g.dataSize; r += MV_GOP_RECORD_SIZE)
                    for (int s = 0; s < 7; ++s) {
                        const uint8_t* p = g.data + r + 28 + 188 * s;
                        if (PidOf(p) != 0x1FFF) packets.emplace_back(p, p + 188);
                    }
                if (times != nullptr) times->push_back(g.startTime);
            }
        }
        return out;
    }
    // Blocks on the medium that carry the content (used, any state).
    int BlocksOf(tagMvCID cid) {
        int n = 0;
        for (uint64_t pos = 0; pos < medium_->Blocks(); ++pos) {
            auto block = medium_->Block(pos, kStorage);
            if (block->IsValid() && !block->IsFree() && block->GetContentID() == cid) ++n;
        }
        return n;
    }
    void ExpectTitleStored(const Title& t, tagMvCID cid, uint64_t firstGop = 1) {
        std::vector<MvTime> times;
        const auto stored = Stored(cid, &times);
        ASSERT_EQ(stored.size(), t.gopPackets.size());
        uint64_t n = firstGop;
        for (const auto& [number, packets] : stored) {
            EXPECT_EQ(number, n);
            EXPECT_EQ(packets, t.gopPackets[n - firstGop]) << "GOP " << number;
            ++n;
        }
        for (size_t i = 0; i < times.size(); ++i)
            EXPECT_EQ(times[i], MvTimeFromTimespec(t.gopTime[i])) << "GOP time " << i;
    }
    void ExpectNothingOf(tagMvCID cid) {
        EXPECT_EQ(BlocksOf(cid), 0) << "blocks of the title left on the medium";
        if (HSCCIDInfo* r = mgr_->GetCIDInfoNOS(cid)) {
            EXPECT_EQ(r->GetChunkCount(), 0u);
            EXPECT_TRUE(r->WaitFreeAll());
            EXPECT_EQ(r->GetWritingStatus(), 0);
            EXPECT_EQ(r->m_lastGOP.load(), 0u);
        }
    }

    std::unique_ptr<mvtest::TestMedium> medium_;
    std::map<uint16_t, tagITGStorageInfo> media_;
    std::unique_ptr<HSCStorageManager> mgr_;
    std::thread monitor_;
    std::atomic<bool> stopMonitor_{false};
    int32_t savedSlots_ = 0;
};

Bytes Cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

void PutLE32At(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

TEST_F(VodSession, ACompleteTitleIsStoredGopByGopUnderItsFortyBitId) {
    TitleSpec spec;
    spec.cid = 100000123ull | (7ull << 40);  // stream id bits are dropped
    spec.gops = 5;
    spec.firstGop = 1;
    const Title t = MakeTitle(spec);
    std::string log = mvtest::CaptureLog([&] {
        Connection c(Setup(), t.bytes, After::AwaitClose);
        ASSERT_TRUE(c.done.Wait());
        EXPECT_EQ(c.done.outcome, HSCVODOutcome::Complete);
        c.Join();
        EXPECT_TRUE(c.ClosedByServer());
    });
    ExpectTitleStored(t, 100000123);
    EXPECT_EQ(BlocksOf(100000123ull | (7ull << 40)), 0);
    HSCCIDInfo* r = mgr_->GetCIDInfoNOS(100000123);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetCID(), 100000123u);
    EXPECT_EQ(r->GetWritingStatus(), 0);
    EXPECT_EQ(r->m_lastGOP.load(), 5u);
    EXPECT_EQ(ITGGetStorageForContent(100000123), kStorage);
    EXPECT_EQ(ITGGetTimeForContent(100000123), 0u);
    EXPECT_EQ(HSCVODActiveConnections(), 0u);
    EXPECT_EQ(log.find("[VOD] VOD tool disconnected"), std::string::npos) << log;
}

TEST_F(VodSession, PushingATitleAgainReplacesIt) {
    TitleSpec a;
    a.gops = 4;
    a.tag = 1;
    TitleSpec b = a;
    b.gops = 2;
    b.tag = 2;
    b.packetsPerGop = 12;
    ASSERT_EQ(Push(MakeTitle(a).bytes), HSCVODOutcome::Complete);
    ExpectTitleStored(MakeTitle(a), a.cid);
    std::string log = mvtest::CaptureLog(
        [&] { EXPECT_EQ(Push(MakeTitle(b).bytes), HSCVODOutcome::Complete); });
    ExpectTitleStored(MakeTitle(b), b.cid);
    EXPECT_EQ(BlocksOf(a.cid), 1);
    EXPECT_NE(log.find("[I] [VOD] Content id (100000123) already exists on storage (1), deleting "
                       "any data if exist"), std::string::npos) << log;
    EXPECT_NE(log.find("[I] [VOD] Content id (100000123) - waiting for data to be deleted, (1) "
                       "blocks..."), std::string::npos) << log;
    EXPECT_NE(log.find("[I] [VOD] Content id (100000123) - data released, relocating to new "
                       "storage (1)..."), std::string::npos) << log;
}

TEST_F(VodSession, ATransferCutAnywhereLeavesNothingOfTheTitle) {
    TitleSpec spec;
    spec.gops = 8;
    const Title t = MakeTitle(spec);
    struct Case {
        const char* name;
        size_t cut;
        HSCVODOutcome outcome;
    };
    const std::vector<Case> cases = {
        {"before the header", 0, HSCVODOutcome::Refused},
        {"inside the content id", t.at.at("cid") + 3, HSCVODOutcome::Refused},
        {"inside the GOP count", t.at.at("gopcount") + 2, HSCVODOutcome::Refused},
        {"before the initial data", t.at.at("firstgop"), HSCVODOutcome::Incomplete},
        {"inside the first GOP number", t.at.at("firstgop") + 5, HSCVODOutcome::Incomplete},
        {"inside the PAT length", t.at.at("pat") + 2, HSCVODOutcome::Incomplete},
        {"inside the PAT", t.at.at("pat") + 100, HSCVODOutcome::Incomplete},
        {"inside the ECM length", t.at.at("ecm") + 1, HSCVODOutcome::Incomplete},
        {"inside the PID data", t.at.at("piddata") + 9, HSCVODOutcome::Incomplete},
        {"before the first message", t.at.at("messages"), HSCVODOutcome::Incomplete},
        {"inside an end flag", t.at.at("messages") + 1, HSCVODOutcome::Incomplete},
        {"inside a new-GOP flag", t.at.at("messages") + 3, HSCVODOutcome::Incomplete},
        {"inside a time", t.at.at("messages") + 25, HSCVODOutcome::Incomplete},
        {"inside the packets", t.at.at("messages") + 500, HSCVODOutcome::Incomplete},
        {"after five GOPs", t.gopStart[5] + 100, HSCVODOutcome::Incomplete},
        {"just before the end message", t.at.at("end"), HSCVODOutcome::Incomplete},
        {"inside the end message", t.at.at("end") + 1, HSCVODOutcome::Incomplete},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string log = mvtest::CaptureLog(
            [&] { EXPECT_EQ(Push(Cut(t.bytes, c.cut), After::Close), c.outcome); });
        ExpectNothingOf(spec.cid);
        if (std::string(c.name) == "after five GOPs") {
            // GOPs had reached storage before the cut and were deleted again.
            EXPECT_NE(log.find("[I] [VOD] VOD tool disconnected before completing content "
                               "(0)(0)(100000123), delete data"), std::string::npos) << log;
            EXPECT_NE(log.find("[I] [VOD] Content id (0)(0)(100000123) - waiting for data to be "
                               "deleted, (1) blocks..."), std::string::npos) << log;
            EXPECT_NE(log.find("[I] [VOD] Content id (0)(0)(100000123) - data released..."),
                      std::string::npos) << log;
        }
        if (std::string(c.name) == "inside the first GOP number") {
            EXPECT_NE(log.find("[I] [VOD] VOD tool disconnected before sending pidinfo"),
                      std::string::npos) << log;
        }
        if (std::string(c.name) == "inside the GOP count") {
            EXPECT_NE(log.find("[I] [VOD] VOD tool disconnected before sending content, storage "
                               "and data size"), std::string::npos) << log;
        }
    }
}

TEST_F(VodSession, BadInputEndsTheConnectionAsIncomplete) {
    TitleSpec spec;
    spec.gops = 3;
    const Title good = MakeTitle(spec);
    auto with = [&](const std::function<void(Bytes&)>& edit) {
        Bytes b = good.bytes;
        edit(b);
        return b;
    };
    TitleSpec inconsistent = spec;
    inconsistent.pidData = PidData(kPmtPid, kVideoPid, kVideoPid, 0xFFFF, {kAudioPid}, {}, {});
    PutLE32At(inconsistent.pidData, 8, 3);  // three audio PIDs announced, one sent
    TitleSpec firstZero = spec;
    firstZero.firstGop = 0;

    std::mt19937 random(4711);
    Bytes garbage = Cut(good.bytes, good.at.at("firstgop"));
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<uint8_t>(random()));

    struct Case {
        const char* name;
        Bytes bytes;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"PAT length above 16 MiB",
         with([&](Bytes& b) { PutLE32At(b, good.at.at("pat"), HSC_VOD_MAX_BUFFER + 1); }),
         "[VOD] Buffer length (16777217) above the limit"},
        {"PAT above the table limit",
         with([&](Bytes& b) { PutLE32At(b, good.at.at("pat"), HSC_VOD_MAX_TABLE + 188); }),
         "[VOD] Buffer length (48316) above the limit (48128)"},
        {"PAT that is not whole packets",
         with([&](Bytes& b) { PutLE32At(b, good.at.at("pat"), 100); }), nullptr},
        {"PID data that disagrees with its counts", MakeTitle(inconsistent).bytes,
         "initial data refused: PID data does not match its counts"},
        {"first GOP number 0", MakeTitle(firstZero).bytes,
         "initial data refused: first GOP number 0"},
        {"a time of more than a second of nanoseconds",
         with([&](Bytes& b) {
             const size_t at = good.gopStart[1] + 28;
             for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(1000000000ull >> (8 * i));
         }),
         "data message with an invalid time"},
        {"a GOP before the previous one",
         with([&](Bytes& b) { b[good.gopStart[2] + 20] = static_cast<uint8_t>(b[good.gopStart[2] + 20] - 5); }),
         "is before the previous GOP's"},
        {"garbage after the header", garbage, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string log = mvtest::CaptureLog(
            [&] { EXPECT_EQ(Push(c.bytes, After::AwaitClose), HSCVODOutcome::Incomplete); });
        if (c.logged != nullptr) {
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        }
        ExpectNothingOf(spec.cid);
    }
}

TEST_F(VodSession, RefusedContentIdsAndStoragesTouchNothing) {
    TitleSpec good;
    ASSERT_EQ(Push(MakeTitle(good).bytes), HSCVODOutcome::Complete);

    struct Case {
        const char* name;
        uint64_t cid;
        uint64_t storage;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"live channel number", 5, 1, "[I] [VOD] Content id (5) is not a VOD content id"},
        {"PVR number", 1000000000, 1, "[I] [VOD] Content id (1000000000) is not a VOD content id"},
        {"number above every range", 3000000000ull, 1, "is not a VOD content id"},
        {"storage that is not loaded", good.cid, 9, "refused: storage (9) is not loaded"},
        {"storage 0", good.cid, 0, "refused: storage (0) is not a storage id"},
        {"storage above 16 bits", good.cid, 65537, "refused: storage (65537) is not a storage id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TitleSpec spec = good;
        spec.cid = c.cid;
        spec.storage = c.storage;
        spec.tag = 9;
        std::string log = mvtest::CaptureLog(
            [&] { EXPECT_EQ(Push(MakeTitle(spec).bytes, After::Close), HSCVODOutcome::Refused); });
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        if (c.cid != good.cid) {
            EXPECT_EQ(mgr_->GetCIDInfoNOS(c.cid), nullptr);
        }
        // The title already stored is left as it was.
        ExpectTitleStored(MakeTitle(good), good.cid);
    }
}

TEST_F(VodSession, ASilentPeerTimesOutWhileAnotherConnectionIsServed) {
    TitleSpec silent;
    silent.cid = 100000555;
    silent.gops = 4;
    const Title s = MakeTitle(silent);
    TitleSpec other;
    other.cid = 100000556;
    other.gops = 3;
    const Title o = MakeTitle(other);

    const auto t0 = std::chrono::steady_clock::now();
    Connection held(Setup(1500), Cut(s.bytes, s.gopStart[3]), After::Hold);
    ASSERT_TRUE(held.started);
    EXPECT_EQ(Push(o.bytes, After::AwaitClose, 1500), HSCVODOutcome::Complete);
    EXPECT_FALSE(held.done.IsDone()) << "the silent connection ended before its time-out";
    ASSERT_TRUE(held.done.Wait());
    EXPECT_EQ(held.done.outcome, HSCVODOutcome::Incomplete);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1400));
    ExpectNothingOf(silent.cid);
    ExpectTitleStored(o, other.cid);
}

TEST_F(VodSession, ASecondConnectionForATitleInProgressIsRefused) {
    TitleSpec spec;
    spec.gops = 4;
    spec.tag = 3;
    const Title first = MakeTitle(spec);
    Connection a(Setup(5000), Cut(first.bytes, first.gopStart[2]), After::Hold);
    ASSERT_TRUE(a.started);
    // Wait until the first connection's writer holds the content.
    for (int i = 0; i < 500; ++i) {
        HSCCIDInfo* r = mgr_->GetCIDInfoNOS(spec.cid);
        if (r != nullptr && r->GetWritingStatus() == 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    TitleSpec second = spec;
    second.tag = 4;
    std::string log = mvtest::CaptureLog([&] {
        EXPECT_EQ(Push(MakeTitle(second).bytes, After::Close), HSCVODOutcome::Refused);
    });
    EXPECT_NE(log.find("[I] [VOD] Content id (0)(0)(100000123) refused: another connection is "
                       "ingesting it"), std::string::npos) << log;
    a.Continue(Bytes(first.bytes.begin() + static_cast<long>(first.gopStart[2]), first.bytes.end()));
    ASSERT_TRUE(a.done.Wait());
    EXPECT_EQ(a.done.outcome, HSCVODOutcome::Complete);
    ExpectTitleStored(first, spec.cid);
}

TEST_F(VodSession, AReplacedTitleIsNotServedFromTheCache) {
    ITGSetCacheSize(1ull << 30);
    TitleSpec a;
    a.gops = 3;
    a.tag = 5;
    TitleSpec b = a;
    b.tag = 6;
    ASSERT_EQ(Push(MakeTitle(a).bytes), HSCVODOutcome::Complete);
    HSCGop* cached = nullptr;
    ASSERT_TRUE(ITGGetGopAdv(a.cid, 1, cached));
    EXPECT_EQ(memcmp(cached->data + 28, MakeTitle(a).gopPackets[0][0].data(), 188), 0);
    cached->Release();

    ASSERT_EQ(Push(MakeTitle(b).bytes), HSCVODOutcome::Complete);
    for (uint64_t n = 1; n <= 3; ++n) {
        cached = nullptr;
        ASSERT_TRUE(ITGGetGopAdv(b.cid, n, cached)) << n;
        EXPECT_EQ(memcmp(cached->data + 28, MakeTitle(b).gopPackets[n - 1][0].data(), 188), 0)
            << "GOP " << n << " of the old title is still served";
        cached->Release();
    }

    // A transfer of the title that breaks off leaves nothing in the cache either.
    TitleSpec c = a;
    c.tag = 7;
    ASSERT_EQ(Push(Cut(MakeTitle(c).bytes, MakeTitle(c).gopStart[2] + 10), After::Close),
              HSCVODOutcome::Incomplete);
    cached = nullptr;
    EXPECT_FALSE(ITGGetGopAdv(c.cid, 1, cached));
    if (cached != nullptr) cached->Release();
}
