// Receiving and decoding the ingest protocol's fields from crafted bytes: length-prefixed
// buffers (truncations, oversize and hostile lengths, a silent peer), PID data checked against
// its own counts, table buffers and data messages.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "vod_helpers.h"
#include "vodingest.h"

using namespace vodtest;

namespace {

struct RecvCase {
    const char* name;
    Bytes bytes;           // what the peer sends before closing
    uint32_t max;          // limit given to MvRecvBuffer
    bool ok;
    Bytes want;            // the buffer on success
};

Bytes Prefixed(uint32_t length, const Bytes& body) {
    Bytes b;
    Put32(b, length);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

}  // namespace

TEST(VodRecvBuffer, CraftedStreams) {
    const Bytes five = {1, 2, 3, 4, 5};
    const std::vector<RecvCase> cases = {
        {"empty buffer", Prefixed(0, {}), HSC_VOD_MAX_BUFFER, true, {}},
        {"whole buffer", Prefixed(5, five), HSC_VOD_MAX_BUFFER, true, five},
        {"length at the limit", Prefixed(5, five), 5, true, five},
        {"body cut short", Prefixed(5, {1, 2, 3}), HSC_VOD_MAX_BUFFER, false, {}},
        {"length cut short", Bytes{5, 0}, HSC_VOD_MAX_BUFFER, false, {}},
        {"nothing sent", Bytes{}, HSC_VOD_MAX_BUFFER, false, {}},
        {"length above the limit", Prefixed(6, {1, 2, 3, 4, 5, 6}), 5, false, {}},
        {"length above 16 MiB", Prefixed(HSC_VOD_MAX_BUFFER + 1, five), HSC_VOD_MAX_BUFFER, false, {}},
        {"length 0xFFFFFFFF", Prefixed(0xFFFFFFFFu, five), HSC_VOD_MAX_BUFFER, false, {}},
    };
    for (const RecvCase& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        ASSERT_TRUE(pair.Send(c.bytes));
        pair.CloseClient();
        pair.server->SetTimed(true);
        pair.server->SetTimeOut(2000);
        MvBuffer buffer;
        buffer.Add(static_cast<uint8_t>(9));  // stale content must not survive
        EXPECT_EQ(MvRecvBuffer(pair.server, buffer, c.max), c.ok);
        if (c.ok) {
            ASSERT_EQ(buffer.GetLength(), static_cast<int>(c.want.size()));
            if (!c.want.empty()) {
                EXPECT_EQ(memcmp(buffer.GetData(), c.want.data(), c.want.size()), 0);
            }
        } else {
            EXPECT_EQ(buffer.GetLength(), 0);
            EXPECT_FALSE(pair.server->IsOpen()) << "a failed receive leaves the socket closed";
            // A refused length is not allocated.
            EXPECT_LT(buffer.GetCapacity(), 1 << 20);
        }
    }
}

TEST(VodRecvBuffer, SixteenMiBIsAcceptedAndFollowingBytesStayInTheStream) {
    SocketPair pair;
    Bytes body(HSC_VOD_MAX_BUFFER);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 31 + 7);
    std::thread sender([&] {
        Bytes head;
        Put32(head, HSC_VOD_MAX_BUFFER);
        pair.Send(head);
        pair.Send(body);
        pair.Send(Bytes{0xAB, 0xCD});
    });
    pair.server->SetTimed(true);
    pair.server->SetTimeOut(10000);
    MvBuffer buffer;
    const bool ok = MvRecvBuffer(pair.server, buffer);
    uint16_t next = 0;
    const bool nextOk = pair.server->RecvWord(next);
    sender.join();
    ASSERT_TRUE(ok);
    ASSERT_EQ(buffer.GetLength(), static_cast<int>(HSC_VOD_MAX_BUFFER));
    EXPECT_EQ(memcmp(buffer.GetData(), body.data(), body.size()), 0);
    ASSERT_TRUE(nextOk);
    EXPECT_EQ(next, 0xCDAB);
}

TEST(VodRecvBuffer, SilentPeerEndsWithTheTimeOut) {
    SocketPair pair;
    ASSERT_TRUE(pair.Send(Prefixed(100, {1, 2, 3})));  // then holds the connection open
    pair.server->SetTimed(true);
    pair.server->SetTimeOut(300);
    MvBuffer buffer;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(MvRecvBuffer(pair.server, buffer));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(pair.server->GetError(), MV_SOCK_ERR_RECV_TIMEOUT);
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

// ---------------------------------------------------------------------------------------------

TEST(VodPidData, ConsistentDataIsDecodedWithItsPidSet) {
    const Bytes b = PidData(0x1000, 0x100, 0x101, 0xFFFF, {0x102, 0x103}, {0x50}, {0x104});
    HSCPIDData pids;
    ASSERT_TRUE(HSCVODDecodePidData(b.data(), b.size(), pids));
    EXPECT_EQ(pids.pmtPid, 0x1000);
    EXPECT_EQ(pids.pcrPid, 0x100);
    EXPECT_EQ(pids.videoPid, 0x101);
    EXPECT_EQ(pids.ecmPid, 0xFFFF);
    EXPECT_EQ(pids.audioPids, (std::vector<uint16_t>{0x102, 0x103}));
    EXPECT_EQ(pids.caPids, (std::vector<uint16_t>{0x50}));
    EXPECT_EQ(pids.otherPids, (std::vector<uint16_t>{0x104}));
    std::map<uint16_t, bool> want;
    for (uint16_t p : {0, 0x1000, 0x100, 0x101, 0xFFFF, 0x102, 0x103, 0x50, 0x104}) want[p] = true;
    EXPECT_EQ(pids.pidSet, want);
}

TEST(VodPidData, DataThatDisagreesWithItsCountsIsRefused) {
    const Bytes good = PidData(0x1000, 0x100, 0x100, 0xFFFF, {0x101}, {}, {0x102});
    auto withCount = [&](size_t countAt, uint32_t value) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i) b[countAt + i] = static_cast<uint8_t>(value >> (8 * i));
        return b;
    };
    // Offsets in `good`: PIDs 0-7, audio count 8, audio PID 12, CA count 14, other count 18.
    Bytes extra = good;
    extra.push_back(0);
    extra.push_back(0);
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"PIDs only", Bytes(good.begin(), good.begin() + 8)},
        {"cut inside a count", Bytes(good.begin(), good.begin() + 10)},
        {"last list missing", Bytes(good.begin(), good.begin() + 18)},
        {"last PID cut", Bytes(good.begin(), good.end() - 1)},
        {"audio count above its PIDs", withCount(8, 2)},
        {"audio count below its PIDs (bytes left over)", withCount(8, 0)},
        {"other count 0xFFFFFFFF", withCount(18, 0xFFFFFFFFu)},
        {"count above the PID space", withCount(18, HSC_VOD_MAX_PID_LIST + 1)},
        {"trailing bytes", extra},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HSCPIDData pids;
        pids.pmtPid = 77;
        EXPECT_FALSE(HSCVODDecodePidData(c.bytes.data(), c.bytes.size(), pids));
        EXPECT_EQ(pids.pmtPid, 77) << "a refused decode leaves the output alone";
    }
    HSCPIDData pids;
    EXPECT_TRUE(HSCVODDecodePidData(good.data(), good.size(), pids));
}

TEST(VodTables, WholePacketsUpToTheLimit) {
    auto table = [](int packets, int extra = 0, bool badSync = false) {
        MvBuffer b;
        auto result = [&] { return HSCVODCheckTable(b); };
        for (int i = 0; i < packets; ++i) {
            Bytes p = TablePacket(0, 0);
            if (badSync && i == packets - 1) p[0] = 0x46;
            b.Add(p.data(), static_cast<int>(p.size()));
        }
        for (int i = 0; i < extra; ++i) b.Add(static_cast<uint8_t>(0x47));
        return result();
    };
    const int most = static_cast<int>(HSC_VOD_MAX_TABLE / MV_TS_PACKET_SIZE);
    EXPECT_TRUE((table(0)));
    EXPECT_TRUE((table(3)));
    EXPECT_TRUE((table(most)));
    EXPECT_FALSE((table(most + 1)));
    EXPECT_FALSE((table(1, 100)));
    EXPECT_FALSE((table(2, 0, true)));
}

TEST(VodMessage, FieldsAndTimeChecks) {
    const std::vector<Bytes> seven(7, Packet(kVideoPid, false, 3));
    struct Case {
        const char* name;
        bool newGop;
        uint16_t flagValue;
        uint64_t sec;
        uint64_t nsec;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"plain", false, 1, 946684800, 0, true},
        {"new GOP", true, 1, 946684800, 999999999, true},
        {"any non-zero flag is true", true, 0x0100, 1, 0, true},
        {"nanoseconds of a whole second", false, 1, 946684800, 1000000000, false},
        {"negative seconds", false, 1, static_cast<uint64_t>(-1), 0, false},
        {"beyond year 9999", false, 1, HSC_VOD_MAX_SECONDS + 1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        timespec t{};
        Bytes m = DataMessage(c.newGop, t, seven, c.flagValue);
        // time fields at offsets 20 and 28 of the whole message (after the end flag: 18 and 26)
        for (int i = 0; i < 8; ++i) {
            m[20 + i] = static_cast<uint8_t>(c.sec >> (8 * i));
            m[28 + i] = static_cast<uint8_t>(c.nsec >> (8 * i));
        }
        ASSERT_EQ(m.size(), static_cast<size_t>(2 + HSC_VOD_MSG_REST_SIZE));
        HSCVODMessage msg;
        EXPECT_EQ(HSCVODDecodeMessage(m.data() + 2, msg), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(msg.newGop, c.newGop);
        EXPECT_EQ(static_cast<uint64_t>(msg.time.tv_sec), c.sec);
        EXPECT_EQ(static_cast<uint64_t>(msg.time.tv_nsec), c.nsec);
        EXPECT_EQ(msg.packets, m.data() + 2 + 34);
        EXPECT_EQ(memcmp(msg.packets + 6 * 188, seven[6].data(), 188), 0);
    }
}
