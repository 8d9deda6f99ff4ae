// Reception: the cut of datagrams into packet records, the drop counter, and real sockets on
// loopback (unicast). The multicast cases need a private network namespace with a multicast
// route on lo: they run only when MV_LIVE_NETNS says so (tests/e2e/test_live_rx_netns.py
// creates the namespace and runs them there).
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "liveinput_rx.h"
#include "live_test_util.h"

using livetest::Captured;
using livetest::CountOf;

namespace {

enum Block { kValid, kNull, kNotTS, kBadParse };

void WriteBlock(uint8_t* p, Block kind, int index) {
    memset(p, 0xAA, 188);
    p[0] = 0x47;
    const uint16_t pid = kind == kNull ? 0x1FFF : static_cast<uint16_t>(0x100 + index);
    p[1] = static_cast<uint8_t>(pid >> 8);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (index & 0x0F));
    if (kind == kNotTS) p[0] = 0x46;
    if (kind == kBadParse) {
        p[3] = 0x20;  // adaptation field only, which must then be 183 bytes long
        p[4] = 100;
    }
}

struct CutCase {
    const char* what;
    int length;
    int header;
    std::vector<Block> blocks;
    int wantQueued;
    int wantProblems;
    std::vector<std::string> logged;
};

size_t OpenDescriptors() {
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

TEST(DatagramCut, HeaderAndPacketsByLength) {
    const std::vector<CutCase> cases = {
        {"RTP: 12-byte header, seven packets", 1328, 12, std::vector<Block>(7, kValid), 7, 0, {}},
        {"plain UDP: seven packets", 1316, 0, std::vector<Block>(7, kValid), 7, 0, {}},
        {"one packet behind RTP", 200, 12, {kValid}, 1, 0, {}},
        {"one plain packet", 188, 0, {kValid}, 1, 0, {}},
        {"shorter than a packet", 100, 100, {}, 0, 0, {}},
        {"null packets only", 1328, 12, std::vector<Block>(7, kNull), 0, 0, {}},
        {"mixed blocks", 1328, 12, {kValid, kNull, kNotTS, kBadParse, kValid, kNull, kNull}, 2, 2,
         {"[W] [LIVE] CID(0)(1)(77) not a TS stream (1316 / 7)(2)",
          "[W] [LIVE] CID(0)(1)(77) TS parsing failed (1328 / 7)"}},
        {"nothing usable", 1316, 0, {kNotTS, kNotTS, kNull, kBadParse, kNull, kNull, kNull}, 0, 3,
         {"not a TS stream (1316 / 7)(0)", "not a TS stream (1316 / 7)(1)", "TS parsing failed (1316 / 7)"}},
    };
    const tagMvCID cid = MvCIDMake(77, 1, 0);
    const timespec rx = {1700000000, 123456789};
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        memset(buf, 0x80, c.header);
        for (size_t i = 0; i < c.blocks.size(); ++i)
            WriteBlock(buf + c.header + i * 188, c.blocks[i], static_cast<int>(i));
        std::deque<MvDVBTSPacketX*> q;
        int problems = -1;
        int queued = -1;
        const std::string log = Captured(
            [&] { queued = MvSTBQueueDatagram(cid, buf, MV_STB_RTP_DATAGRAM, c.length, rx, q, &problems); });
        EXPECT_EQ(queued, c.wantQueued);
        EXPECT_EQ(static_cast<int>(q.size()), c.wantQueued);
        EXPECT_EQ(problems, c.wantProblems);
        for (const std::string& s : c.logged) EXPECT_NE(log.find(s), std::string::npos) << s << "\n" << log;
        if (c.logged.empty()) {
            EXPECT_EQ(log.find("[LIVE]"), std::string::npos) << log;
        }
        int owners = 0;
        for (size_t i = 0; i < q.size(); ++i) {
            const MvDVBTSPacketX* x = q[i];
            EXPECT_EQ(x->buffer, buf);
            EXPECT_EQ(x->rxSec, rx.tv_sec);
            EXPECT_EQ(x->rxNsec, rx.tv_nsec);
            const ptrdiff_t at = x->raw - buf;
            EXPECT_EQ((at - c.header) % 188, 0);
            EXPECT_EQ(x->packet.PID, 0x100 + (at - c.header) / 188);
            EXPECT_EQ(x->packet.payload, x->raw + 4);
            owners += x->ownsBuffer;
        }
        if (!q.empty()) {
            EXPECT_EQ(owners, 1);
            EXPECT_TRUE(q.back()->ownsBuffer);
        }
        // Freeing every record frees the buffer exactly once (the leak checker and the address
        // sanitizer see to the rest); with nothing queued it was freed already.
        for (auto* x : q) MvFreePacketX(x);
    }
}

TEST(DatagramCut, LengthsOutsideTheBufferQueueNothing) {
    for (int length : {0, -1, MV_STB_RTP_DATAGRAM + 1, 1 << 20}) {
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        memset(buf, 0x47, MV_STB_RTP_DATAGRAM);
        std::deque<MvDVBTSPacketX*> q;
        EXPECT_EQ(MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, length, timespec{}, q), 0) << length;
        EXPECT_TRUE(q.empty());
    }
}

TEST(DatagramCut, RecordsAppendAfterThoseAlreadyQueued) {
    std::deque<MvDVBTSPacketX*> q;
    for (int d = 0; d < 2; ++d) {
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        for (int i = 0; i < 7; ++i) WriteBlock(buf + 12 + i * 188, kValid, d * 7 + i);
        EXPECT_EQ(MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, 1328, timespec{d, 0}, q), 7);
    }
    ASSERT_EQ(q.size(), 14u);
    for (size_t i = 0; i < q.size(); ++i) {
        EXPECT_EQ(q[i]->packet.continuity_counter, i & 0x0F);
        EXPECT_EQ(q[i]->ownsBuffer != 0, i == 6 || i == 13);
        EXPECT_EQ(q[i]->rxSec, i < 7 ? 0 : 1);
    }
    for (auto* x : q) MvFreePacketX(x);
}

TEST(DropCounter, LogsTheDifferenceOnceAndWraps) {
    const tagMvCID cid = MvCIDMake(9, 0, 0);
    uint32_t last = 0;
    std::string log = Captured([&] { EXPECT_FALSE(MvSTBCheckDrops(cid, 0, last)); });
    EXPECT_TRUE(log.empty()) << log;
    log = Captured([&] { EXPECT_TRUE(MvSTBCheckDrops(cid, 5, last)); });
    EXPECT_NE(log.find("[E] [LIVE] CID(0)(0)(9) dropped (5) UDP datagrams"), std::string::npos) << log;
    EXPECT_EQ(last, 5u);
    log = Captured([&] { EXPECT_FALSE(MvSTBCheckDrops(cid, 5, last)); });
    EXPECT_TRUE(log.empty()) << log;
    last = 0xFFFFFFFEu;
    log = Captured([&] { EXPECT_TRUE(MvSTBCheckDrops(cid, 3, last)); });
    EXPECT_NE(log.find("dropped (5) UDP datagrams"), std::string::npos) << log;
    EXPECT_EQ(last, 3u);
}

// ---------------------------------------------------------------------------------------------
// Sockets.

uint16_t LocalPort(int fd) {
    sockaddr_in a = {};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

class Sender {
public:
    Sender() : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Sender() { close(m_fd); }
    bool Send(const char* ip, uint16_t port, const std::vector<uint8_t>& data) const {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = inet_addr(ip);
        return sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof(to)) == static_cast<ssize_t>(data.size());
    }

private:
    int m_fd;
};

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 7 + 3);
    return d;
}

int64_t RealNowNs() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

TEST(Reception, UnicastOnLoopbackAcceptsAndRefusesBySize) {
    const int fd = MvSTBCreateSocket(inet_addr("127.0.0.1"), 0);
    ASSERT_GE(fd, 0);
    const uint16_t port = LocalPort(fd);
    Sender tx;
    struct Case {
        size_t size;
        bool rtp;
        int capacity;
        bool want;
    };
    const Case cases[] = {
        {1328, true, MV_STB_RTP_DATAGRAM, true},    {1316, true, MV_STB_RTP_DATAGRAM, true},
        {1, true, MV_STB_RTP_DATAGRAM, true},       {1317, true, MV_STB_RTP_DATAGRAM, false},
        {1320, true, MV_STB_RTP_DATAGRAM, false},   {1327, true, MV_STB_RTP_DATAGRAM, false},
        {1500, true, MV_STB_RTP_DATAGRAM, false},   {1329, true, 4096, false},
        {2632, false, MV_STB_PLAIN_DATAGRAM, true}, {1320, false, MV_STB_PLAIN_DATAGRAM, true},
        {2633, false, MV_STB_PLAIN_DATAGRAM, false}, {1000, false, 500, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::vector<uint8_t> sent = Pattern(c.size);
        const int64_t before = RealNowNs();
        ASSERT_TRUE(tx.Send("127.0.0.1", port, sent));
        std::vector<uint8_t> buf(static_cast<size_t>(c.capacity));
        int length = -1;
        timespec rx = {};
        bool timedOut = true;
        uint32_t drops = 0;
        errno = 0;
        const bool ok = MvSTBReceiveData(buf.data(), length, fd, c.rtp, rx, timedOut, drops, c.capacity);
        const int err = errno;
        const int64_t after = RealNowNs();
        EXPECT_EQ(ok, c.want);
        EXPECT_FALSE(timedOut);
        EXPECT_EQ(drops, 0u);
        if (ok) {
            ASSERT_EQ(length, static_cast<int>(c.size));
            EXPECT_EQ(memcmp(buf.data(), sent.data(), c.size), 0);
            const int64_t stamp = rx.tv_sec * 1000000000LL + rx.tv_nsec;
            EXPECT_GE(stamp, before);
            EXPECT_LE(stamp, after);
        } else {
            EXPECT_EQ(err, EMSGSIZE);
            EXPECT_GT(length, 0);
        }
    }
    close(fd);
}

TEST(Reception, SilenceTimesOutAfterTwoSecondsAndABadSocketIsAnError) {
    const int fd = MvSTBCreateSocket(inet_addr("127.0.0.1"), 0);
    ASSERT_GE(fd, 0);
    uint8_t buf[MV_STB_RTP_DATAGRAM];
    int length = -1;
    timespec rx = {5, 5};
    bool timedOut = false;
    uint32_t drops = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(MvSTBReceiveData(buf, length, fd, true, rx, timedOut, drops));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(rx.tv_sec, 5);  // untouched
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(5));
    close(fd);

    // A channel whose socket could not be made receives with -1: an error, not a time-out.
    EXPECT_FALSE(MvSTBReceiveData(buf, length, -1, true, rx, timedOut, drops));
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(MvAXReceiveStatic(-1, rx, buf, sizeof(buf), drops), -1);
}

TEST(Reception, KernelDropCountArrivesWithTheNextDatagram) {
    const int fd = MvSTBCreateSocket(inet_addr("127.0.0.1"), 0);
    ASSERT_GE(fd, 0);
    const uint16_t port = LocalPort(fd);
    Sender tx;
    const std::vector<uint8_t> d = Pattern(1328);
    // Far more than the receive buffer holds (at most 2 x 3 MiB of datagram memory).
    int sent = 0;
    for (int i = 0; i < 8000; ++i) sent += tx.Send("127.0.0.1", port, d) ? 1 : 0;
    uint8_t buf[MV_STB_PLAIN_DATAGRAM];
    int drained = 0;
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) ++drained;
    ASSERT_GT(drained, 0);
    ASSERT_LT(drained, sent);
    // Datagrams queued after the drops carry the socket's cumulative count.
    ASSERT_TRUE(tx.Send("127.0.0.1", port, d));
    int length = 0;
    timespec rx = {};
    bool timedOut = false;
    uint32_t drops = 0;
    ASSERT_TRUE(MvSTBReceiveData(buf, length, fd, true, rx, timedOut, drops));
    EXPECT_EQ(drops, static_cast<uint32_t>(sent - drained));
    uint32_t last = 0;
    const std::string log = Captured([&] { MvSTBCheckDrops(MvCIDMake(3, 0, 0), drops, last); });
    EXPECT_NE(log.find("dropped (" + std::to_string(sent - drained) + ") UDP datagrams"), std::string::npos)
        << log;
    close(fd);
}

TEST(Reception, AFailedSetUpLogsClosesAndReturnsMinusOne) {
    // 192.0.2.1 (a documentation address) is not an address of this host: bind fails.
    const size_t fds = OpenDescriptors();
    int fd = 0;
    const std::string log = Captured([&] { fd = MvSTBCreateSocket(inet_addr("192.0.2.1"), 5000); });
    EXPECT_EQ(fd, -1);
    EXPECT_NE(log.find("[E] Can not bind UDP socket"), std::string::npos) << log;
    EXPECT_EQ(OpenDescriptors(), fds);
}

// ---------------------------------------------------------------------------------------------
// Inside a private network namespace only.

std::string NetnsMode() {
    const char* m = getenv("MV_LIVE_NETNS");
    return m != nullptr ? m : "";
}

TEST(LiveNetns, MulticastGroupsAreJoinedAndKeptApart) {
    if (NetnsMode() != "multicast") GTEST_SKIP() << "runs inside the namespace of test_live_rx_netns.py";
    const uint16_t port = 5510;
    const int a = MvSTBCreateSocket(inet_addr("239.255.1.1"), port);
    const int b = MvSTBCreateSocket(inet_addr("239.255.1.2"), port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    Sender tx;
    const std::vector<uint8_t> d = Pattern(1328);
    ASSERT_TRUE(tx.Send("239.255.1.1", port, d));
    uint8_t buf[MV_STB_RTP_DATAGRAM];
    int length = 0;
    timespec rx = {};
    bool timedOut = false;
    uint32_t drops = 0;
    ASSERT_TRUE(MvSTBReceiveData(buf, length, a, true, rx, timedOut, drops));
    EXPECT_EQ(length, 1328);
    EXPECT_EQ(memcmp(buf, d.data(), d.size()), 0);
    EXPECT_GT(rx.tv_sec, 0);
    // The socket bound to the other group saw nothing.
    usleep(200000);
    EXPECT_LT(recv(b, buf, sizeof(buf), MSG_DONTWAIT), 0);
    EXPECT_EQ(errno, EAGAIN);
    close(a);
    close(b);
}

TEST(LiveNetns, JoinWithoutAMulticastRouteFails) {
    if (NetnsMode() != "noroute") GTEST_SKIP() << "runs inside the namespace of test_live_rx_netns.py";
    const size_t fds = OpenDescriptors();
    int fd = 0;
    const std::string log = Captured([&] { fd = MvSTBCreateSocket(inet_addr("239.255.1.1"), 5510); });
    EXPECT_EQ(fd, -1);
    EXPECT_NE(log.find("[E] Can not join multicast, errno(" + std::to_string(ENODEV) + ")"), std::string::npos)
        << log;
    EXPECT_EQ(OpenDescriptors(), fds);
}

}  // namespace
