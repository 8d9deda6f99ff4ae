// MvReadSocketLine over loopback, and the URL decoding helpers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "loopback.h"
#include "mvsockreader.h"

using mvtest::MsSince;
using mvtest::SockPair;

namespace {
bool SendText(MvTCPSock& s, const std::string& text) {
    return s.GenSend(text.data(), static_cast<int>(text.size()));
}
}  // namespace

TEST(MvReadSockParams, Defaults) {
    const MvReadSockParams& d = MvReadSockDefaultParams();
    EXPECT_EQ(d.m_readSize, 1024);
    EXPECT_EQ(d.m_maxLine, 8192);
    EXPECT_EQ(d.m_reserved, 1);
    EXPECT_EQ(d.m_idlePause, 100000);
    EXPECT_FALSE(d.m_verbose);
}

TEST(MvReadSocketLine, RequestLineInTwoSegments) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    MvBuffer buffer;
    std::string line = "stale";
    ASSERT_TRUE(SendText(*p.client, "GET /live/1.m3u8 HT"));
    ASSERT_TRUE(mvtest::WaitForInput(*p.server, 19));
    EXPECT_FALSE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_EQ(line, "");
    EXPECT_EQ(buffer.GetLength(), 19);  // partial bytes are kept
    EXPECT_TRUE(p.server->IsOpen());

    ASSERT_TRUE(SendText(*p.client, "TP/1.0\r\n"));
    ASSERT_TRUE(mvtest::WaitForInput(*p.server, 8));
    EXPECT_TRUE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_EQ(line, "GET /live/1.m3u8 HTTP/1.0");
    EXPECT_EQ(buffer.GetLength(), 0);
}

TEST(MvReadSocketLine, SecondLineOfOneSegmentComesWithoutPause) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    MvBuffer buffer;
    std::string line;
    ASSERT_TRUE(SendText(*p.client, "GET / HTTP/1.0\r\nHost: a\r\n\r\n"));
    ASSERT_TRUE(mvtest::WaitForInput(*p.server, 27));
    ASSERT_TRUE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_EQ(line, "GET / HTTP/1.0");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_EQ(line, "Host: a");
    ASSERT_TRUE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_EQ(line, "");  // the empty line that ends the header
    EXPECT_LT(MsSince(t0), 50);

    // Nothing left and nothing waiting: false, after the idle pause unless it is off.
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_FALSE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_GE(MsSince(t1), 90);
    MvReadSockParams noPause;
    noPause.m_idlePause = 0;
    const auto t2 = std::chrono::steady_clock::now();
    EXPECT_FALSE(MvReadSocketLine(buffer, line, *p.server, &noPause));
    EXPECT_LT(MsSince(t2), 50);
    EXPECT_TRUE(p.server->IsOpen());
}

TEST(MvReadSocketLine, LoneCrOrLfIsNoLineEnd) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    MvBuffer buffer;
    std::string line;
    ASSERT_TRUE(SendText(*p.client, "a\nb\rc\r\r\n"));
    ASSERT_TRUE(mvtest::WaitForInput(*p.server, 8));
    ASSERT_TRUE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_EQ(line, "a\nb\rc\r");
}

TEST(MvReadSocketLine, OverlongInputWithoutLineEndCloses) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    ASSERT_TRUE(SendText(*p.client, std::string(8193, 'x')));
    ASSERT_TRUE(mvtest::WaitForInput(*p.server, 8193));
    MvBuffer buffer;
    std::string line;
    MvReadSockParams verbose;
    verbose.m_verbose = true;
    testing::internal::CaptureStdout();
    int calls = 0;
    // 1024 bytes per call: the ninth call holds 9216 bytes, past the 8192 limit.
    while (p.server->IsOpen() && calls < 20) {
        EXPECT_FALSE(MvReadSocketLine(buffer, line, *p.server, &verbose));
        ++calls;
    }
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(calls, 9);
    EXPECT_FALSE(p.server->IsOpen());
    EXPECT_EQ(buffer.GetLength(), 0);
    EXPECT_NE(log.find("HTTP line length from source (127.0.0.1) is too long, closing connection"),
              std::string::npos);
}

TEST(MvReadSocketLine, ExactlyMaximumLineIsStillRead) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    const std::string text = std::string(8190, 'y') + "\r\n";  // 8192 bytes in all
    ASSERT_TRUE(SendText(*p.client, text));
    ASSERT_TRUE(mvtest::WaitForInput(*p.server, 8192));
    MvBuffer buffer;
    std::string line;
    bool got = false;
    for (int calls = 0; calls < 20 && !got && p.server->IsOpen(); ++calls)
        got = MvReadSocketLine(buffer, line, *p.server);
    EXPECT_TRUE(got);
    EXPECT_EQ(line.size(), 8190u);
}

TEST(MvReadSocketLine, ClosedPeerEndsReading) {
    SockPair p = SockPair::Make();
    ASSERT_TRUE(p.Ok());
    p.client->Close();
    ASSERT_TRUE(mvtest::WaitForHangup(*p.server));
    MvBuffer buffer;
    std::string line;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(MvReadSocketLine(buffer, line, *p.server));
    EXPECT_LT(MsSince(t0), 50);  // a dead connection is not an idle one
    EXPECT_FALSE(p.server->IsOpen());
    EXPECT_FALSE(MvReadSocketLine(buffer, line, *p.server));  // and stays refused
}

TEST(MvURLDecode, Table) {
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"a%20b", "a b"}, {"%4", "%4"},       {"100%", "100%"}, {"%41%24", "A$"},
        {"a+b", "a+b"},   {"%zz%4g", "%zz%4g"}, {"%6a%6A", "jj"}, {"%%41", "%A"},
        {"", ""},         {"%00x", std::string("\0x", 2)},
    };
    for (const auto& c : cases) {
        std::string s = c.in;
        MvURLDecode(s);
        EXPECT_EQ(s, c.out) << c.in;
    }
}

TEST(MvURLDecode, HexHelpers) {
    const std::string hex = "0123456789ABCDEFabcdef";
    for (char c : hex) EXPECT_TRUE(MvURLIsHex(c)) << c;
    for (char c : std::string("gG/:@`% ")) {
        EXPECT_FALSE(MvURLIsHex(c)) << c;
        EXPECT_EQ(MvURLCharToNumber(c), -1) << c;
    }
    EXPECT_EQ(MvURLCharToNumber('0'), 0);
    EXPECT_EQ(MvURLCharToNumber('9'), 9);
    EXPECT_EQ(MvURLCharToNumber('A'), 10);
    EXPECT_EQ(MvURLCharToNumber('f'), 15);
}
