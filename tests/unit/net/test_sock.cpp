// MvTCPSock over loopback: whole-buffer and timed I/O, typed values, scatter-list sends,
// error codes and option setters.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <csignal>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <random>
#include <sys/uio.h>
#include <thread>
#include <vector>

#include "loopback.h"
#include "mvsock.h"

using mvtest::SockPair;

namespace {
std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}
}  // namespace

TEST(MvTCPSock, LargeBufferArrivesWholeTimedAndUntimed) {
    for (bool timed : {false, true}) {
        SCOPED_TRACE(timed ? "timed" : "untimed");
        SockPair p = SockPair::Make();
        ASSERT_TRUE(p.Ok());
        p.client->SetTimed(timed);
        p.server->SetTimed(timed);
        p.server->SetTimeOut(5000);
        p.client->SetTimeOut(5000);
        // Several send and receive chunks, with an odd tail.
        const std::vector<uint8_t> sent = Pattern(3 * 1024 * 1024 + 77, 1);
        bool sendOk = false;
        std::thread sender([&] { sendOk = p.client->GenSend(sent.data(), static_cast<int>(sent.size())); });
        std::vector<uint8_t> got(sent.size());
        const bool recvOk = p.server->GenRecv(got.data(), static_cast<int>(got.size()));
        sender.join();
        EXPECT_TRUE(sendOk);
        EXPECT_TRUE(recvOk) << "error " << p.server->GetError();
        EXPECT_TRUE(got == sent);
        EXPECT_TRUE(p.server->IsOpen());
    }
}

// Each case: the typed send, its exact wire bytes, and the typed receive of those bytes.
TEST(MvTCPSock, TypedValuesLittleEndianBothWays) {
    struct Case {
        const char* name;
        std::function<bool(MvTCPSock&)> send;
        std::vector<uint8_t> wire;
        std::function<void(MvTCPSock&)> recv;
    };
    const Case cases[] = {
        {"byte", [](MvTCPSock& s) { return s.SendByte(0xAB); }, {0xAB},
         [](MvTCPSock& s) { uint8_t v = 0; ASSERT_TRUE(s.RecvByte(v)); EXPECT_EQ(v, 0xAB); }},
        {"word", [](MvTCPSock& s) { return s.SendWord(0x1234); }, {0x34, 0x12},
         [](MvTCPSock& s) { uint16_t v = 0; ASSERT_TRUE(s.RecvWord(v)); EXPECT_EQ(v, 0x1234); }},
        {"dword", [](MvTCPSock& s) { return s.SendDWord(0x11223344u); }, {0x44, 0x33, 0x22, 0x11},
         [](MvTCPSock& s) { uint32_t v = 0; ASSERT_TRUE(s.RecvDWord(v)); EXPECT_EQ(v, 0x11223344u); }},
        {"qword", [](MvTCPSock& s) { return s.SendQWord(0x0102030405060708ull); },
         {8, 7, 6, 5, 4, 3, 2, 1},
         [](MvTCPSock& s) { uint64_t v = 0; ASSERT_TRUE(s.RecvQWord(v)); EXPECT_EQ(v, 0x0102030405060708ull); }},
        {"bool true", [](MvTCPSock& s) { return s.SendBool(true); }, {1, 0},
         [](MvTCPSock& s) { bool v = false; ASSERT_TRUE(s.RecvBool(v)); EXPECT_TRUE(v); }},
        {"bool false", [](MvTCPSock& s) { return s.SendBool(false); }, {0, 0},
         [](MvTCPSock& s) { bool v = true; ASSERT_TRUE(s.RecvBool(v)); EXPECT_FALSE(v); }},
        {"string", [](MvTCPSock& s) { return s.SendString("hi"); }, {3, 0, 'h', 'i', 0},
         [](MvTCPSock& s) { char b[16]; ASSERT_TRUE(s.RecvString(b, sizeof(b))); EXPECT_STREQ(b, "hi"); }},
        {"empty string", [](MvTCPSock& s) { return s.SendString(""); }, {1, 0, 0},
         [](MvTCPSock& s) { char b[4] = "x"; ASSERT_TRUE(s.RecvString(b, sizeof(b))); EXPECT_STREQ(b, ""); }},
        {"str", [](MvTCPSock& s) { return s.SendStr("hi"); }, {2, 0, 'h', 'i'},
         [](MvTCPSock& s) { std::string v; ASSERT_TRUE(s.RecvStr(v)); EXPECT_EQ(v, "hi"); }},
        {"empty str", [](MvTCPSock& s) { return s.SendStr(""); }, {0, 0},
         [](MvTCPSock& s) { std::string v = "x"; ASSERT_TRUE(s.RecvStr(v)); EXPECT_EQ(v, ""); }},
        {"float", [](MvTCPSock& s) { return s.SendFloat(1.5f); },
         {9, 0, '1', '.', '5', '0', '0', '0', '0', '0', 0},
         [](MvTCPSock& s) { float v = 0; ASSERT_TRUE(s.RecvFloat(v)); EXPECT_FLOAT_EQ(v, 1.5f); }},
    };
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.send(*p.client));
        std::vector<uint8_t> got(c.wire.size());
        ASSERT_TRUE(p.server->GenRecv(got.data(), static_cast<int>(got.size())));
        EXPECT_EQ(got, c.wire);
        ASSERT_TRUE(p.server->GenSend(c.wire.data(), static_cast<int>(c.wire.size())));
        c.recv(*p.client);
    }
    int left = -1;
    ASSERT_TRUE(p.server->GetInputSize(left));
    EXPECT_EQ(left, 0);  // no stray bytes on either side
    ASSERT_TRUE(p.client->GetInputSize(left));
    EXPECT_EQ(left, 0);
}

TEST(MvTCPSock, RecvStrCutsAtFirstZeroAndBoolTakesAnyNonZeroWord) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    const uint8_t wire[] = {5, 0, 'a', 'b', 0, 'c', 'd', 0x00, 0x02};
    ASSERT_TRUE(p.server->GenSend(wire, sizeof(wire)));
    std::string s;
    ASSERT_TRUE(p.client->RecvStr(s));
    EXPECT_EQ(s, "ab");
    bool b = false;
    ASSERT_TRUE(p.client->RecvBool(b));
    EXPECT_TRUE(b);
}

// A text longer than the receiving buffer is refused: nothing is written, the stream is
// out of step, so the connection is closed.
TEST(MvTCPSock, RecvStringRefusesTextLargerThanTheBuffer) {
    struct Case {
        const char* name;
        std::vector<uint8_t> wire;
        int size;          // buffer size given to RecvString
        bool ok;
        const char* text;  // what the buffer holds on success
    };
    const Case cases[] = {
        {"fits with its zero", {4, 0, 'a', 'b', 'c', 0}, 4, true, "abc"},
        {"exact fit without zero is cut to stay terminated", {4, 0, 'w', 'x', 'y', 'z'}, 4, true, "wxy"},
        {"one byte too long", {5, 0, 'a', 'b', 'c', 'd', 0}, 4, false, nullptr},
        {"longest length word", {0xFF, 0xFF, 'q'}, 4, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SockPair p = SockPair::Make();
        ASSERT_TRUE(p.Ok());
        ASSERT_TRUE(p.server->GenSend(c.wire.data(), static_cast<int>(c.wire.size())));
        char area[16];
        memset(area, '#', sizeof(area));
        const bool ok = p.client->RecvString(area, c.size);
        EXPECT_EQ(ok, c.ok);
        for (size_t i = static_cast<size_t>(c.size); i < sizeof(area); ++i) ASSERT_EQ(area[i], '#') << i;
        if (c.ok) {
            EXPECT_STREQ(area, c.text);
            EXPECT_TRUE(p.client->IsOpen());
        } else {
            EXPECT_EQ(area[0], '#');
            EXPECT_FALSE(p.client->IsOpen());
            EXPECT_EQ(p.client->GetError(), EMSGSIZE);
        }
    }
}

TEST(MvTCPSock, RecvFloatRefusesTextBeyondItsFortyBytes) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    // "%f" of 3e38 is 46 characters: more than the receiving side accepts.
    ASSERT_TRUE(p.server->SendFloat(3e38f));
    float v = 42.0f;
    EXPECT_FALSE(p.client->RecvFloat(v));
    EXPECT_EQ(v, 42.0f);
    EXPECT_FALSE(p.client->IsOpen());
}

TEST(MvTCPSock, TimedReceiveWithoutDataExpiresWithMinusThree) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    p.client->SetTimed(true);
    p.client->SetTimeOut(150);
    uint8_t b[4];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.client->GenRecv(b, 4));
    const auto ms = mvtest::MsSince(t0);
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(p.client->GetError(), MV_SOCK_ERR_RECV_TIMEOUT);
    EXPECT_FALSE(p.client->IsOpen());
}

TEST(MvTCPSock, PeerCloseFailsTheReceive) {
    struct Case { bool timed; int error; };
    for (const Case c : {Case{false, MV_SOCK_ERR_PEER_CLOSED}, Case{true, MV_SOCK_ERR_RECV_NOTHING}}) {
        SCOPED_TRACE(c.timed ? "timed" : "untimed");
        SockPair p = SockPair::Make();
        ASSERT_TRUE(p.Ok());
        // Two of the four bytes arrive before the peer goes away.
        const uint8_t half[] = {1, 2};
        ASSERT_TRUE(p.server->GenSend(half, 2));
        p.server->Close();
        p.client->SetTimed(c.timed);
        p.client->SetTimeOut(5000);
        uint8_t b[4];
        EXPECT_FALSE(p.client->GenRecv(b, 4));
        EXPECT_EQ(p.client->GetError(), c.error);
        EXPECT_FALSE(p.client->IsOpen());
    }
}

TEST(MvTCPSock, OpenToAClosedPortFailsAndStaysClosed) {
    // Bound but not listening: the port is ours, and connections to it are refused.
    mvtest::Listener closedPort(false);
    ASSERT_NE(closedPort.port, 0);
    MvTCPSock s(MvNetAddr("127.0.0.1", closedPort.port));
    testing::internal::CaptureStdout();
    const bool opened = s.Open();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(s.GetError(), ECONNREFUSED);
    EXPECT_NE(log.find("Can not connect to remote socket: " + std::to_string(ECONNREFUSED)),
              std::string::npos)
        << log;
}

TEST(MvTCPSock, OpenOnAnOpenSocketIsIgnored) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    const int fd = p.client->GetSock();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(p.client->Open());
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.client->GetSock(), fd);
    EXPECT_EQ(p.client->GetError(), 0);
    EXPECT_NE(log.find("Trying to open already opened socket, ignored"), std::string::npos);
    // The client's bounds are the remote end, the adopted socket's its local end.
    EXPECT_EQ(p.client->GetBounds().GetPort(), p.server->GetBounds().GetPort());
    EXPECT_EQ(p.client->GetPeer().GetPort(), p.client->GetBounds().GetPort());
    EXPECT_EQ(p.server->GetPeer().GetPort(), MvNetAddr(p.client->GetSock(), false).GetPort());
    EXPECT_STREQ(p.server->GetPeer().GetAddrIP(), "127.0.0.1");
}

namespace {
std::atomic<int> g_signals{0};
void CountSignal(int) { g_signals.fetch_add(1); }
}  // namespace

// A scatter list of more entries than one sendmsg takes, pushed through small socket buffers
// while signals interrupt the sender, so sends stop part-way through entries.
TEST(MvTCPSock, ScatterSendSurvivesPartialSends) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    ASSERT_TRUE(p.client->SetBuffers(0, 65536));
    ASSERT_TRUE(p.server->SetBuffers(65536, 0));

    const std::vector<uint8_t> data = Pattern(3 * 1024 * 1024, 2);
    std::vector<iovec> iov;
    std::mt19937 rng(3);
    size_t at = 0;
    while (at < data.size()) {
        // Some empty entries, mostly small ones, a few large ones.
        const size_t r = rng() % 100;
        size_t len = r < 5 ? 0 : r < 99 ? 1 + rng() % 1500 : 20000 + rng() % 60000;
        len = std::min(len, data.size() - at);
        iov.push_back({const_cast<uint8_t*>(data.data()) + at, len});
        at += len;
    }
    ASSERT_GT(iov.size(), static_cast<size_t>(IOV_MAX));
    const std::vector<iovec> original = iov;
    msghdr msg{};
    msg.msg_iov = iov.data();
    msg.msg_iovlen = iov.size();

    struct sigaction sa{}, old{};
    sa.sa_handler = CountSignal;  // no SA_RESTART: an interrupted send returns what it sent
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_signals = 0;

    std::atomic<bool> done{false};
    bool sendOk = false;
    pthread_t senderThread{};
    std::atomic<bool> started{false};
    std::thread sender([&] {
        senderThread = pthread_self();
        started = true;
        sendOk = p.client->GenSend(&msg, static_cast<int>(data.size()));
        done = true;
    });
    while (!started) std::this_thread::yield();
    // A bounded burst of signals: enough to cut many sends short, few enough that a busy
    // machine still lets the sender make progress.
    std::thread signaller([&] {
        for (int i = 0; i < 400 && !done; ++i) {
            pthread_kill(senderThread, SIGUSR1);
            usleep(1000);
        }
    });
    std::vector<uint8_t> got(data.size());
    size_t have = 0;
    bool recvOk = true;
    while (have < got.size() && recvOk) {
        const int n = static_cast<int>(std::min<size_t>(1000, got.size() - have));
        recvOk = p.server->GenRecv(got.data() + have, n);
        have += static_cast<size_t>(n);
    }
    sender.join();
    signaller.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_TRUE(sendOk) << "error " << p.client->GetError();
    EXPECT_TRUE(recvOk);
    EXPECT_TRUE(got == data);
    EXPECT_GT(g_signals.load(), 0);
    // The caller's list comes back as it was given.
    ASSERT_EQ(iov.size(), original.size());
    for (size_t i = 0; i < iov.size(); ++i) {
        ASSERT_EQ(iov[i].iov_base, original[i].iov_base) << i;
        ASSERT_EQ(iov[i].iov_len, original[i].iov_len) << i;
    }
}

// The announced count and the list disagree: "[DBG] Bogus!", false, closed.
TEST(MvTCPSock, ScatterSendRefusesAListThatDisagreesWithTheCount) {
    struct Case { const char* name; int count; };
    for (const Case c : {Case{"list longer than count", 5}, Case{"list shorter than count", 20}}) {
        SCOPED_TRACE(c.name);
        SockPair p = SockPair::Make();
        ASSERT_TRUE(p.Ok());
        uint8_t a[6] = {1, 2, 3, 4, 5, 6}, b[4] = {7, 8, 9, 10};
        iovec iov[2] = {{a, sizeof(a)}, {b, sizeof(b)}};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        testing::internal::CaptureStdout();
        const bool ok = p.client->GenSend(&msg, c.count);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(ok);
        EXPECT_FALSE(p.client->IsOpen());
        EXPECT_NE(log.find("[DBG] Bogus!"), std::string::npos);
        EXPECT_EQ(iov[0].iov_base, a);
        EXPECT_EQ(iov[0].iov_len, sizeof(a));
    }
}

TEST(MvTCPSock, CheckConnectAndQueueSizes) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    EXPECT_TRUE(p.client->CheckConnect());
    const uint8_t ten[10] = {};
    ASSERT_TRUE(p.server->GenSend(ten, 10));
    ASSERT_TRUE(mvtest::WaitForInput(*p.client, 10));
    int in = -1, out = -1;
    ASSERT_TRUE(p.client->GetInputSize(in));
    EXPECT_EQ(in, 10);
    ASSERT_TRUE(p.server->GetOutputSize(out));
    EXPECT_GE(out, 0);
    EXPECT_TRUE(p.client->CheckConnect());  // unread data is not a hang-up

    p.server->Close();
    ASSERT_TRUE(mvtest::WaitForHangup(*p.client));
    EXPECT_FALSE(p.client->CheckConnect());
    EXPECT_FALSE(p.client->IsOpen());
    EXPECT_EQ(p.client->GetError(), 0);
    EXPECT_FALSE(p.client->CheckConnect());  // a closed socket is never reported alive
}

TEST(MvTCPSock, OptionSettersOnOpenAndClosedSockets) {
    struct Case {
        const char* name;
        std::function<bool(MvTCPSock&)> set;
    };
    const Case cases[] = {
        {"nodelay on", [](MvTCPSock& s) { return s.SetNodelay(true); }},
        {"nodelay off", [](MvTCPSock& s) { return s.SetNodelay(false); }},
        {"cork", [](MvTCPSock& s) { return s.SetCork(true) && s.SetCork(false); }},
        {"keep-alive", [](MvTCPSock& s) { return s.SetHWKA(); }},
        {"ott buffers", [](MvTCPSock& s) { return s.SetOTTBuffers(); }},
        {"buffers", [](MvTCPSock& s) { return s.SetBuffers(65536, 65536); }},
        {"non-blocking", [](MvTCPSock& s) { return s.SetNB(true) && s.SetNB(false); }},
        {"linger on", [](MvTCPSock& s) { return s.SetLinger(5); }},
        {"linger off", [](MvTCPSock& s) { return s.SetLinger(-1); }},
        {"input size", [](MvTCPSock& s) { int n; return s.GetInputSize(n); }},
        {"output size", [](MvTCPSock& s) { int n; return s.GetOutputSize(n); }},
    };
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.set(*p.client));
        EXPECT_TRUE(p.client->IsOpen());
        MvTCPSock closed;
        EXPECT_FALSE(c.set(closed));
        EXPECT_FALSE(closed.IsOpen());
    }
    // Settings that were applied are visible on the descriptor.
    int v = 0;
    socklen_t len = sizeof(v);
    ASSERT_TRUE(p.client->SetHWKA());
    getsockopt(p.client->GetSock(), SOL_SOCKET, SO_KEEPALIVE, &v, &len);
    EXPECT_EQ(v, 1);
    getsockopt(p.client->GetSock(), IPPROTO_TCP, TCP_KEEPIDLE, &v, &len);
    EXPECT_EQ(v, 30);
    ASSERT_TRUE(p.client->SetNB(true));
    EXPECT_NE(fcntl(p.client->GetSock(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(MvTCPSock, FailedOptionLogsItsMessageAndCloses) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    // A descriptor that is no socket: the option call fails with ENOTSOCK.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int real = p.client->SetSock(fds[0]);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(p.client->SetNodelay(true));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.client->GetError(), ENOTSOCK);
    EXPECT_FALSE(p.client->IsOpen());
    EXPECT_NE(log.find("Can not set TCP_NODELAY on socket: " + std::to_string(ENOTSOCK)),
              std::string::npos);
    close(fds[1]);
    close(real);
}

TEST(MvTCPSock, SendToAGonePeerFailsWithoutSignal) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    p.server->Close();  // lingering 0 on the client side does not matter here
    ASSERT_TRUE(mvtest::WaitForHangup(*p.client));
    const std::vector<uint8_t> big(1 << 20, 1);
    // The first send may still be accepted; repeated sends must fail with an errno.
    bool ok = true;
    for (int i = 0; i < 20 && ok; ++i) ok = p.client->GenSend(big.data(), static_cast<int>(big.size()));
    EXPECT_FALSE(ok);
    EXPECT_GT(p.client->GetError(), 0);
    EXPECT_FALSE(p.client->IsOpen());
}
