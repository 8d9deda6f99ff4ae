// Statistics report and SMON endpoint: the report text for known contents and counters
// (read-and-clear, contents without a GOP left out), the HTTP reply, one connection serving
// several requests, the 128-line limit, bounded waits for silent and non-reading clients, and
// the listener's 100 ms pause between accepts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../storage/storage_fixture.h"
#include "cfg.h"
#include "storageinit.h"
#include "storagemgr.h"
#include "storagemgr_stats.h"

namespace {

using mvtest::CaptureLog;
using mvtest::CountOf;
using mvtest::TestMedium;
using Clock = std::chrono::steady_clock;

const MvTime kT0 = MvTimeCreate(2024, 3, 1, 10, 0, 0, 0);

bool Has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// Report

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ITGMainConf* conf = ITGGetMainConf();
        savedSlots_ = conf->READERSLOTS;
        conf->READERSLOTS = 1;
        mgr_ = std::make_unique<HSCStorageManager>(false);
        header_.version = "Version: test-1";
        header_.intervalStart = "Fri, 01 Mar 2024 09:59:55 GMT";
        header_.intervalEnd = "Fri, 01 Mar 2024 10:00:00 GMT";
        header_.startTime = MvTimeCreate(2024, 3, 1, 8, 30, 0, 12);
        header_.cacheSize = 123456789;
        header_.requestCount = 3;
    }
    void TearDown() override {
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr_->m_blocks) blocks.push_back(b);
        mgr_.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media_)
            if (m.descriptor >= 0) close(m.descriptor);
        ITGGetMainConf()->READERSLOTS = savedSlots_;
    }

    std::unique_ptr<HSCStorageManager> mgr_;
    std::map<uint16_t, tagITGStorageInfo> media_;
    std::vector<std::unique_ptr<TestMedium>> owned_;
    HSCStatsHeader header_;
    int32_t savedSlots_ = 0;
};

void SetCounters(HSCCIDInfo* r, uint64_t base) {
    r->m_diskSave = base + 1;
    r->m_diskLoadPartial = base + 2;
    r->m_diskLoadFull = base + 3;
    r->m_cacheLoad = base + 4;
    r->m_infoWorks = base + 5;
    r->m_miss = base + 6;
}

uint64_t CounterSum(HSCCIDInfo* r) {
    return r->m_diskSave + r->m_diskLoadPartial + r->m_diskLoadFull + r->m_cacheLoad +
           r->m_infoWorks + r->m_miss;
}

TEST_F(ReportTest, ReportTextForKnownContentsAndCounters) {
    owned_.push_back(std::make_unique<TestMedium>(3, 1));
    media_[1].path = owned_.back()->Path();
    media_[4].path = "/nonexistent/medium";  // configured, not opened: no free blocks
    ASSERT_EQ(MvLoadStorages(*mgr_, media_), 1);
    media_[1].countU = 5;
    media_[1].countI = 6;
    media_[1].countW = 700;
    media_[1].countR = 8;
    media_[4].countR = 1;

    const tagMvCID live = MvCIDMake(9001, 0, 0);
    const tagMvCID live1 = MvCIDMake(9001, 1, 0);
    const tagMvCID silent = MvCIDMake(9002, 0, 0);
    const tagMvCID vod = MvCIDMake(100009003, 0, 0);
    ITGSetTimeAndStorageForContent(live, 1, 30, true);
    ITGSetTimeAndStorageForContent(live1, 1, 0, true);
    ITGSetTimeAndStorageForContent(vod, 4, 7158278, true);

    HSCCIDInfo* a = mgr_->GetCIDInfoS(live, 1, true, true);  // claimed: writing
    a->m_lastGOP = 77;
    a->m_lastGOPTime = MvTimeCreate(2024, 3, 1, 9, 59, 58, 40);
    a->m_startTimeOnStorage = MvTimeCreate(2024, 3, 1, 9, 30, 0, 0);
    a->m_endTimeOnStorage = MvTimeCreate(2024, 3, 1, 9, 59, 50, 0);
    a->m_bitrate = 2105344;
    a->m_segmentDuration = 6;
    a->m_users = 2;
    SetCounters(a, 0);
    HSCCIDInfo* a1 = mgr_->GetCIDInfoS(live1, 1, false, true);
    a1->m_lastGOP = 5;
    HSCCIDInfo* b = mgr_->GetCIDInfoS(silent, 1, false, true);  // no GOP yet: not printed
    SetCounters(b, 10);
    HSCCIDInfo* v = mgr_->GetCIDInfoS(vod, 4, false, true);  // VOD: printed without a GOP
    SetCounters(v, 20);

    const std::string report = HSCBuildStatisticsReport(mgr_.get(), media_, header_);
    const std::string content_a =
        "Channel (9001) : (0)(0)(9001)\n"
        "    Active users: 2\n"
        "    Used storage: 1\n"
        "    Time to write: 1800 sec\n"
        "    Last received time: 2024-03-01 09:59:58.40\n"
        "    Last received GOP: 77\n"
        "    Start time on storage: 2024-03-01 09:30:00.00\n"
        "    End time on storage: 2024-03-01 09:59:50.00\n"
        "    HLS window size (if applicable): 6\n"
        "    Bitrate: 2105344 bits/s\n"
        "    Writing: 1\n"
        "    R/W statistics: DiskSave(1)/DiskLoadPartial(2)/DiskLoadFull(3)/CacheLoad(4)/"
        "InfoWorks(5)/Miss(6)\n";
    const std::string content_vod =
        "Channel (100009003) : (0)(0)(100009003)\n"
        "    Active users: 0\n"
        "    Used storage: 4\n"
        "    Time to write: 429496680 sec\n"
        "    Last received time: 0000-00-00 00:00:00.00\n"
        "    Last received GOP: 0\n"
        "    Start time on storage: 0000-00-00 00:00:00.00\n"
        "    End time on storage: 0000-00-00 00:00:00.00\n"
        "    HLS window size (if applicable): 0\n"
        "    Bitrate: 128000 bits/s\n"
        "    Writing: 0\n"
        "    R/W statistics: DiskSave(21)/DiskLoadPartial(22)/DiskLoadFull(23)/CacheLoad(24)/"
        "InfoWorks(25)/Miss(26)\n";
    const std::string content_a1 =
        "Channel (4294976297) : (0)(1)(9001)\n"
        "    Active users: 0\n"
        "    Used storage: 1\n"
        "    Time to write: 0 sec\n"
        "    Last received time: 0000-00-00 00:00:00.00\n"
        "    Last received GOP: 5\n"
        "    Start time on storage: 0000-00-00 00:00:00.00\n"
        "    End time on storage: 0000-00-00 00:00:00.00\n"
        "    HLS window size (if applicable): 0\n"
        "    Bitrate: 128000 bits/s\n"
        "    Writing: 0\n"
        "    R/W statistics: DiskSave(0)/DiskLoadPartial(0)/DiskLoadFull(0)/CacheLoad(0)/"
        "InfoWorks(0)/Miss(0)\n";
    const std::string head =
        "Movrel Nerio Media server Version: test-1 statistics from (Fri, 01 Mar 2024 09:59:55 "
        "GMT) to (Fri, 01 Mar 2024 10:00:00 GMT)\n"
        "================== Startup ==================\n"
        "Started at: 2024-03-01 08:30:00.12\n"
        "================== Cache ==================\n"
        "Cache size: 123456789\n"
        "================== Users ==================\n"
        "LL queue length: 3\n"
        "================== Storage ==================\n";
    // Identifier order: 9001, 9002 (left out), the VOD title, then sub-stream 1 of 9001.
    EXPECT_EQ(report, head +
                          "Storage(1): U(5), I(6), W(700), R(8), FreeBlocks(3), Util(0), MaxUtil(0)\n"
                          "Storage(4): U(0), I(0), W(0), R(1), FreeBlocks(0), Util(0), MaxUtil(0)\n"
                          "================== Channel Input / Output ==================\n" +
                          content_a + content_vod + content_a1);

    // Every counter was read and cleared, also those of the content that was not printed.
    EXPECT_EQ(CounterSum(a) + CounterSum(b) + CounterSum(v), 0u);
    for (auto& [id, s] : media_) EXPECT_EQ(s.countU + s.countI + s.countW + s.countR, 0u) << id;

    a->m_cacheLoad = 9;
    const std::string again = HSCBuildStatisticsReport(mgr_.get(), media_, header_);
    EXPECT_TRUE(Has(again, "Storage(1): U(0), I(0), W(0), R(0), FreeBlocks(3), Util(0), MaxUtil(0)\n"))
        << again;
    EXPECT_TRUE(Has(again, "    R/W statistics: DiskSave(0)/DiskLoadPartial(0)/DiskLoadFull(0)/"
                           "CacheLoad(9)/InfoWorks(0)/Miss(0)\n"))
        << again;
    EXPECT_FALSE(Has(again, "Channel (9002)")) << again;
}

TEST_F(ReportTest, WithoutManagerOnlyTheHeadAndStoragesArePrinted) {
    media_[2];
    const std::string report = HSCBuildStatisticsReport(nullptr, media_, header_);
    EXPECT_TRUE(Has(report, "Storage(2): U(0), I(0), W(0), R(0), FreeBlocks(0), Util(0), MaxUtil(0)\n"
                            "================== Channel Input / Output ==================\n"))
        << report;
    EXPECT_EQ(report.back(), '\n');
    EXPECT_EQ(report.find("Channel ("), std::string::npos);
}

// Increments made while a report is being built are kept for the next interval: the counters
// printed over all reports add up to every increment made.
TEST_F(ReportTest, CountersReadAndClearedLoseNoIncrement) {
    const tagMvCID live = MvCIDMake(9010, 0, 0);
    HSCCIDInfo* a = mgr_->GetCIDInfoS(live, 1, false, true);
    a->m_lastGOP = 1;
    tagITGStorageInfo& storage = media_[1];
    constexpr uint64_t kIncrements = 1000000;
    std::atomic<bool> done{false};
    std::thread bump([&] {
        for (uint64_t i = 0; i < kIncrements; ++i) {
            a->m_miss.fetch_add(1);
            storage.countW.fetch_add(1);
        }
        done = true;
    });
    auto field = [](const std::string& text, const std::string& key) -> uint64_t {
        const size_t at = text.find(key);
        return at == std::string::npos ? 0 : std::stoull(text.substr(at + key.size()));
    };
    uint64_t misses = 0, writes = 0;
    int reports = 0;
    while (!done || reports == 0) {
        const std::string r = HSCBuildStatisticsReport(mgr_.get(), media_, header_);
        misses += field(r, "/Miss(");
        writes += field(r, "W(");
        ++reports;
    }
    bump.join();
    const std::string last = HSCBuildStatisticsReport(mgr_.get(), media_, header_);
    misses += field(last, "/Miss(");
    writes += field(last, "W(");
    EXPECT_EQ(misses, kIncrements) << reports << " reports";
    EXPECT_EQ(writes, kIncrements) << reports << " reports";
}

TEST(StatsReply, StatusHeadersLengthAndBody) {
    EXPECT_EQ(HSCBuildStatisticsReply("abc\ndé\n", "Version: x", "Fri, 01 Mar 2024 10:00:00 GMT"),
              "HTTP/1.1 200 OK\r\n"
              "Server: SMON Version: x\r\n"
              "Content-Type: text/plain\r\n"
              "Date: Fri, 01 Mar 2024 10:00:00 GMT\r\n"
              "Content-Length: 8\r\n"  // bytes, not characters
              "\r\n"
              "abc\ndé\n");
    EXPECT_EQ(HSCBuildStatisticsReply("", "V", "D"),
              "HTTP/1.1 200 OK\r\nServer: SMON V\r\nContent-Type: text/plain\r\nDate: D\r\n"
              "Content-Length: 0\r\n\r\n");
}

TEST(StatsReport, CurrentReportIsCopiedWhole) {
    MvSetStorageManagerStatistics("one\ntwo\n");
    std::string out = "stale";
    MvGetStorageManagerStatistics(out);
    EXPECT_EQ(out, "one\ntwo\n");
}

// ---------------------------------------------------------------------------------------------
// Connections

// A loopback listening socket on a free port.
int ListenLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 16) != 0) {
        ADD_FAILURE() << "listen: " << errno;
        return -1;
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        ADD_FAILURE() << "connect: " << errno;
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            ADD_FAILURE() << "send: " << errno;
            return;
        }
        off += static_cast<size_t>(n);
    }
}

// Reads until `want` bytes have arrived, the peer closes, or the time is up. `closed` tells
// whether the peer closed.
std::string ReadFor(int fd, size_t want, int timeoutMs, bool* closed = nullptr) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (closed) *closed = false;
    while (out.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// One reply: headers, then Content-Length bytes of body.
struct Reply {
    std::string head;
    std::string body;
};

bool ReadReply(int fd, std::string& pending, Reply& reply, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (Clock::now() > deadline) return false;
        bool closed = false;
        pending += ReadFor(fd, 1, 200, &closed);
        if (closed) return false;
    }
    reply.head = pending.substr(0, end + 4);
    const size_t at = reply.head.find("Content-Length: ");
    if (at == std::string::npos) return false;
    const size_t length = std::stoul(reply.head.substr(at + 16));
    pending.erase(0, end + 4);
    while (pending.size() < length) {
        if (Clock::now() > deadline) return false;
        bool closed = false;
        pending += ReadFor(fd, length - pending.size(), 200, &closed);
        if (closed && pending.size() < length) return false;
    }
    reply.body = pending.substr(0, length);
    pending.erase(0, length);
    return true;
}

// One connection served by HSCServeStatisticsConnection on its own thread; Finish waits for the
// thread (bounded: the server side is shut down after 5 s and the test fails).
class Served {
public:
    explicit Served(const HSCStatsConnLimits& limits = HSCStatsConnLimits()) {
        uint16_t port = 0;
        const int lfd = ListenLoopback(port);
        client = Connect(port);
        serverFd_ = accept(lfd, nullptr, nullptr);
        close(lfd);
        thread_ = std::thread([this, limits] {
            MvTCPSock sock(serverFd_);
            HSCServeStatisticsConnection(sock, limits);
            done_ = true;
        });
    }
    // Milliseconds until the serving thread ended.
    long Finish(int timeoutMs = 5000) {
        const auto start = Clock::now();
        while (!done_ && Clock::now() - start < std::chrono::milliseconds(timeoutMs))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (!done_) {
            ADD_FAILURE() << "the connection was still served after " << timeoutMs << " ms";
            shutdown(serverFd_, SHUT_RDWR);
        }
        thread_.join();
        return ms;
    }
    ~Served() {
        if (thread_.joinable()) Finish();
        if (client >= 0) close(client);
    }
    bool Done() const { return done_; }

    int client = -1;

private:
    int serverFd_ = -1;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

const char kGet[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";

TEST(StatsConnection, SeveralRequestsOnOneConnectionEachGetTheReport) {
    MvSetStorageManagerStatistics("report line 1\nreport line 2\n");
    std::string log = CaptureLog([] {
        Served s;
        // Two requests in one segment (pipelined), then a third in pieces with another method
        // and path.
        SendAll(s.client, std::string(kGet) + "GET /other HTTP/1.1\r\n\r\n");
        std::string pending;
        Reply r1, r2, r3;
        ASSERT_TRUE(ReadReply(s.client, pending, r1));
        ASSERT_TRUE(ReadReply(s.client, pending, r2));
        SendAll(s.client, "POST /x HTTP/1.1\r\nContent-Le");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_TRUE(ReadFor(s.client, 1, 150).empty());  // no reply before the header block ends
        SendAll(s.client, "ngth: 0\r\n\r\n");
        ASSERT_TRUE(ReadReply(s.client, pending, r3));
        EXPECT_TRUE(pending.empty());
        for (const Reply* r : {&r1, &r2, &r3}) {
            EXPECT_EQ(r->body, "report line 1\nreport line 2\n");
            EXPECT_EQ(r->head.rfind("HTTP/1.1 200 OK\r\nServer: SMON ", 0), 0u) << r->head;
            EXPECT_TRUE(Has(r->head, "\r\nContent-Type: text/plain\r\nDate: ")) << r->head;
            EXPECT_TRUE(Has(r->head, " GMT\r\nContent-Length: 28\r\n\r\n")) << r->head;
        }
        shutdown(s.client, SHUT_WR);
        s.Finish();
    });
    EXPECT_TRUE(Has(log, "- [I] [SMON] Starting operation with source (127.0.0.1)")) << log;
    EXPECT_TRUE(Has(log, "- [I] Finishing operation with source (127.0.0.1)")) << log;
}

// 128 header lines are answered; 129 close the connection without a reply.
TEST(StatsConnection, RequestOfMoreThan128LinesIsRefused) {
    MvSetStorageManagerStatistics("x\n");
    auto request = [](int lines) {
        std::string r = "GET / HTTP/1.1\r\n";
        for (int i = 1; i < lines; ++i) r += "X-Header-" + std::to_string(i) + ": v\r\n";
        return r;
    };
    std::string log = CaptureLog([&] {
        Served s;
        SendAll(s.client, request(128) + "\r\n");
        std::string pending;
        Reply r;
        ASSERT_TRUE(ReadReply(s.client, pending, r));
        EXPECT_EQ(r.body, "x\n");
        // The line count starts again with each request.
        SendAll(s.client, request(129));
        bool closed = false;
        const std::string rest = ReadFor(s.client, 1, 5000, &closed);
        EXPECT_TRUE(closed);
        EXPECT_TRUE(rest.empty()) << rest;
        s.Finish();
    });
    EXPECT_EQ(CountOf(log, "- [I] Too complicated HTTP request from source (127.0.0.1), closing "
                           "connection"),
              1)
        << log;
}

// A header line longer than the line reader keeps closes the connection.
TEST(StatsConnection, OverlongLineClosesTheConnection) {
    Served s;
    SendAll(s.client, "GET /" + std::string(9000, 'a'));
    bool closed = false;
    EXPECT_TRUE(ReadFor(s.client, 1, 5000, &closed).empty());
    EXPECT_TRUE(closed);
    s.Finish();
}

// A client that sends nothing is closed after the idle limit; one that stops reading is closed
// when a reply cannot be sent within the send limit. Neither holds its thread for longer.
TEST(StatsConnection, SilentAndNonReadingClientsAreClosed) {
    HSCStatsConnLimits limits;
    limits.idleMs = 300;
    limits.sendTimeoutMs = 300;
    {
        Served s(limits);
        const long ms = s.Finish(5000);
        EXPECT_GE(ms, 250);
        bool closed = false;
        ReadFor(s.client, 1, 1000, &closed);
        EXPECT_TRUE(closed);
    }
    {
        // A partial request keeps the connection alive only while bytes keep coming.
        Served s(limits);
        for (int i = 0; i < 4; ++i) {
            SendAll(s.client, "X");
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        EXPECT_FALSE(s.Done());
        s.Finish(5000);
    }
    {
        // A report far larger than the socket buffers, requested and never read.
        MvSetStorageManagerStatistics(std::string(32u << 20, 'r'));
        Served s(limits);
        SendAll(s.client, kGet);
        s.Finish(10000);
        MvSetStorageManagerStatistics("");
    }
}

// The listener accepts a second connection only 100 ms after the first; it refuses a port that
// is already taken.
TEST(StatsListener, AcceptsPauseAndBindFailure) {
    MvSetStorageManagerStatistics("l\n");
    std::string log = CaptureLog([] {
        const int fd = HSCOpenStatisticsListener(inet_addr("127.0.0.1"), 0);
        ASSERT_GE(fd, 0);
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        const uint16_t port = ntohs(addr.sin_port);
        int rcvbuf = 0;
        len = sizeof(rcvbuf);
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
        EXPECT_GE(rcvbuf, 102400);

        // The port is taken: a second listener fails at bind.
        EXPECT_EQ(HSCOpenStatisticsListener(inet_addr("127.0.0.1"), port), -1);

        std::atomic<bool> stop{false};
        std::thread listener([&] { HSCRunStatisticsListener(fd, &stop); });
        const auto t0 = Clock::now();
        const int c1 = Connect(port);
        const int c2 = Connect(port);
        SendAll(c1, kGet);
        SendAll(c2, kGet);
        std::string p1, p2;
        Reply r1, r2;
        ASSERT_TRUE(ReadReply(c1, p1, r1));
        const auto t1 = Clock::now();
        ASSERT_TRUE(ReadReply(c2, p2, r2));
        const auto t2 = Clock::now();
        EXPECT_EQ(r1.body, "l\n");
        EXPECT_EQ(r2.body, "l\n");
        EXPECT_GE(t2 - t0, std::chrono::milliseconds(100));
        EXPECT_LE(t1, t2);
        close(c1);
        close(c2);

        stop = true;
        shutdown(fd, SHUT_RDWR);  // wakes the accept
        listener.join();
        // The detached reporters end once their clients have gone.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    });
    EXPECT_TRUE(Has(log, "- [I] HSCStorageManagerListenerThread Bind: 98")) << log;
    EXPECT_EQ(CountOf(log, "- [I] [STAT] New SM STAT connection from (127.0.0.1:"), 2) << log;
    EXPECT_EQ(CountOf(log, "Finishing operation with source (127.0.0.1)"), 2) << log;
}

}  // namespace
