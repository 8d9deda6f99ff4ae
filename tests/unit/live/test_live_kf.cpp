// Key-frame finders: crafted start codes and boundaries, a comparison with a plain byte-by-byte
// reading of the rules over random input, the payload gathering, and the real fixture streams
// (one-second GOPs at 25 frames per second).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cfg.h"
#include "liveinput_rx.h"
#include "live_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Finders on exact-size heap copies, so that any read past the end is caught by the sanitizer.
bool K2(Bytes b, int state) { return MvFindKFMPEG2(b.data(), static_cast<int>(b.size()), state); }
bool K4(Bytes b, int& state, bool idr) { return MvFindKFMPEG4(b.data(), static_cast<int>(b.size()), state, idr); }
bool K5(Bytes b, int& state) { return MvFindKFMPEG5(b.data(), static_cast<int>(b.size()), state); }

TEST(KeyFrameFinders, H264AccessUnitDelimitersAndIdrSlices) {
    struct Case {
        const char* what;
        Bytes data;
        int state;
        bool idr;
        bool want;
        int wantState;
    };
    const Case cases[] = {
        {"I-only AUD, state 0", {0, 0, 1, 0x09, 0x10, 0}, 0, false, true, 0},
        {"I-only AUD, state 1", {0, 0, 1, 0x09, 0x10, 0}, 1, false, false, 1},
        {"I-only AUD, state 1, IDR option", {0, 0, 1, 0x09, 0x10, 0}, 1, true, false, 1},
        {"P AUD (primary_pic_type 1)", {0, 0, 1, 0x09, 0x30, 0}, 0, false, false, 0},
        {"AUD with nal_ref_idc bits", {0, 0, 1, 0x69, 0x10, 0}, 0, false, true, 0},
        {"IDR slice, option off", {0, 0, 1, 0x65, 0x88, 0x84, 0}, 0, false, false, 0},
        {"IDR slice, option on", {0, 0, 1, 0x65, 0x88, 0x84, 0}, 0, true, true, 1},
        {"AUD of state 1, then IDR, option on",
         {0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x65, 0x88, 0x84}, 1, true, true, 1},
        {"IDR slice without AUD after an I-only AUD, option off",
         {0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x65, 0x88, 0x84}, 0, false, true, 0},
        {"four-byte start code", {0, 0, 0, 1, 0x09, 0x10, 0}, 0, false, true, 0},
        {"state 2 answers false", {0, 0, 1, 0x65, 0x88, 0x84, 0}, 2, true, false, 2},
        {"five bytes answer false", {0, 0, 1, 0x09, 0x10}, 0, false, false, 0},
        {"start code at length - 5 is not seen", {0xFF, 0, 0, 1, 0x09, 0x10}, 0, false, false, 0},
        {"start code at length - 6 is seen", {0xFF, 0, 0, 1, 0x09, 0x10, 0xFF}, 0, false, true, 0},
        {"IDR at length - 5 is not seen", {0xFF, 0, 0, 1, 0x65, 0x88}, 0, true, false, 0},
    };
    for (const Case& c : cases) {
        int state = c.state;
        EXPECT_EQ(K4(c.data, state, c.idr), c.want) << c.what;
        EXPECT_EQ(state, c.wantState) << c.what;
    }
}

TEST(KeyFrameFinders, HevcIdrPicturesAndDelimiters) {
    struct Case {
        const char* what;
        Bytes data;
        int state;
        bool want;
        int wantState;
    };
    const Case cases[] = {
        {"IDR_W_RADL (type 19)", {0, 0, 1, 0x26, 0x01, 0xAF}, 0, true, 1},
        {"IDR_N_LP (type 20)", {0, 0, 1, 0x28, 0x01, 0xAF}, 1, true, 1},
        {"CRA (type 21) is not a key frame", {0, 0, 1, 0x2A, 0x01, 0xAF}, 0, false, 0},
        {"AUD with pic_type 2", {0, 0, 1, 0x46, 0x01, 0x50}, 0, false, 0},
        {"AUD with pic_type 0", {0, 0, 1, 0x46, 0x01, 0x10}, 0, true, 0},
        {"AUD with pic_type 0 in state 1", {0, 0, 1, 0x46, 0x01, 0x10}, 1, false, 1},
        {"AUD (pic_type 2) then IDR", {0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 1, 0x26, 0x01, 0xAF}, 0, true, 1},
        {"state 2", {0, 0, 1, 0x26, 0x01, 0xAF}, 2, false, 2},
        {"five bytes", {0, 0, 1, 0x26, 0x01}, 0, false, 0},
        {"IDR at length - 5 is not seen", {0xFF, 0, 0, 1, 0x26, 0x01}, 0, false, 0},
    };
    for (const Case& c : cases) {
        int state = c.state;
        EXPECT_EQ(K5(c.data, state), c.want) << c.what;
        EXPECT_EQ(state, c.wantState) << c.what;
    }
}

TEST(KeyFrameFinders, Mpeg2GroupOfPictures) {
    EXPECT_TRUE(K2({0, 0, 1, 0xB8, 0, 0}, 0));
    EXPECT_TRUE(K2({0, 0, 1, 0xB8, 0, 0}, 1));
    EXPECT_FALSE(K2({0, 0, 1, 0xB8, 0, 0}, 2));
    EXPECT_FALSE(K2({0, 0, 1, 0xB3, 0, 0, 0, 0, 1, 0x00, 0, 0}, 0));  // sequence header, picture
    EXPECT_TRUE(K2({0, 0, 1, 0xB3, 0x0A, 0, 0, 1, 0xB8, 0, 0, 0}, 0));
    EXPECT_FALSE(K2({0, 0, 1, 0xB8, 0}, 0));
    EXPECT_FALSE(K2({0xFF, 0, 0, 1, 0xB8, 0}, 0));  // at length - 5
    EXPECT_FALSE(K2({}, 0));
}

// The rules read literally, one offset at a time.
bool Naive2(const Bytes& d, int state) {
    const int n = static_cast<int>(d.size());
    if (n <= 5 || state >= 2) return false;
    for (int i = 0; i <= n - 6; ++i)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0xB8) return true;
    return false;
}
bool Naive4(const Bytes& d, int& state, bool idr) {
    const int n = static_cast<int>(d.size());
    if (n <= 5 || state >= 2) return false;
    bool found = false;
    for (int i = 0; i <= n - 6; ++i) {
        if (!(d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)) continue;
        const int type = d[i + 3] & 0x1F;
        if (idr && type == 5) {
            state = 1;
            return true;
        }
        if (state == 0 && type == 9 && d[i + 4] == 0x10) found = true;
    }
    return found;
}
bool Naive5(const Bytes& d, int& state) {
    const int n = static_cast<int>(d.size());
    if (n <= 5 || state >= 2) return false;
    for (int i = 0; i <= n - 6; ++i) {
        if (!(d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)) continue;
        const int type = (d[i + 3] >> 1) & 0x3F;
        if (type == 19 || type == 20) {
            state = 1;
            return true;
        }
        if (type == 35 && state == 0 && (d[i + 5] >> 5) == 0) return true;
    }
    return false;
}

TEST(KeyFrameFinders, AgreeWithALiteralReadingOnRandomInput) {
    // Bytes biased towards start code pieces and the types that matter.
    const uint8_t alphabet[] = {0, 0, 0, 0, 1, 1, 0x09, 0x10, 0x65, 0x26, 0x28, 0x46, 0x50, 0xB8, 0x01, 0xFF};
    std::mt19937 rng(12345);
    for (int iter = 0; iter < 30000; ++iter) {
        Bytes d(rng() % 48);
        for (uint8_t& b : d) b = (rng() % 8 == 0) ? static_cast<uint8_t>(rng()) : alphabet[rng() % sizeof(alphabet)];
        const int state0 = static_cast<int>(rng() % 3);
        const bool idr = rng() % 2 != 0;
        ASSERT_EQ(K2(d, state0), Naive2(d, state0)) << iter;
        int a = state0, b = state0;
        ASSERT_EQ(K4(d, a, idr), Naive4(d, b, idr)) << iter;
        ASSERT_EQ(a, b) << iter;
        a = b = state0;
        ASSERT_EQ(K5(d, a), Naive5(d, b)) << iter;
        ASSERT_EQ(a, b) << iter;
    }
}

TEST(KeyFrameFinders, TheIdrOptionComesFromTheConfiguration) {
    const Bytes idrSlice = {0, 0, 1, 0x65, 0x88, 0x84, 0};
    ITGMainConf* conf = ITGGetMainConf();
    const bool saved = conf->IDR.load();
    conf->IDR.store(false);
    int state = 0;
    EXPECT_FALSE(MvFindKFMPEG4(idrSlice.data(), static_cast<int>(idrSlice.size()), state));
    conf->IDR.store(true);
    EXPECT_TRUE(MvFindKFMPEG4(idrSlice.data(), static_cast<int>(idrSlice.size()), state));
    EXPECT_EQ(state, 1);
    conf->IDR.store(saved);
}

TEST(KeyFrameFinders, LaterCodecsOverrideEarlierOnes) {
    // An H.264 I-only delimiter followed by an MPEG-2 group start code.
    const Bytes d = {0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0xB8, 0, 0, 0, 0};
    int state = 0;
    int criterion = -1;
    EXPECT_TRUE(MvFindKeyFrame(true, false, true, d.data(), static_cast<int>(d.size()), state, false, criterion));
    EXPECT_EQ(criterion, MV_KF_MPEG2);
    criterion = -1;
    EXPECT_TRUE(MvFindKeyFrame(true, false, false, d.data(), static_cast<int>(d.size()), state, false, criterion));
    EXPECT_EQ(criterion, MV_KF_H264);
    criterion = -1;
    EXPECT_FALSE(MvFindKeyFrame(false, true, false, d.data(), static_cast<int>(d.size()), state, false, criterion));
    EXPECT_EQ(criterion, -1);
}

// ---------------------------------------------------------------------------------------------
// Gathering.

Bytes Packet(uint16_t pid, bool pusi, uint8_t fill, int afl = -1) {
    Bytes p(188, fill);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((pusi ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    if (afl < 0) {
        p[3] = 0x10;
    } else {
        p[3] = afl == 183 ? 0x20 : 0x30;
        p[4] = static_cast<uint8_t>(afl);
        if (afl > 0) p[5] = 0;
        for (int i = 6; i < 5 + afl; ++i) p[i] = 0xFF;
    }
    return p;
}

// Queues the packets as plain datagrams of one packet each.
void QueuePackets(const std::vector<Bytes>& packets, std::deque<MvDVBTSPacketX*>& q) {
    timespec now = {};
    for (const Bytes& p : packets) {
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        memcpy(buf, p.data(), p.size());
        ASSERT_EQ(MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, 188, now, q), 1);
    }
}

void FreeQueue(std::deque<MvDVBTSPacketX*>& q) {
    for (auto* p : q) MvFreePacketX(p);
    q.clear();
}

TEST(KeyFrameGather, StopsAtTheNextUnitStartOrPastTheLimit) {
    std::deque<MvDVBTSPacketX*> q;
    QueuePackets({Packet(0x100, true, 'A'), Packet(0x101, true, 'x'), Packet(0x100, false, 'B', 183),
                  Packet(0x100, false, 'C', 10), Packet(0x100, true, 'D')},
                 q);
    uint8_t out[MV_KF_GATHER_SIZE];
    int n = MvGatherVideoPayload(q, 0, 0x100, out, sizeof(out));
    ASSERT_EQ(n, 184 + 173);  // audio skipped, adaptation-only packet adds nothing
    EXPECT_EQ(out[0], 'A');
    EXPECT_EQ(out[183], 'A');
    EXPECT_EQ(out[184], 'C');
    EXPECT_EQ(out[n - 1], 'C');
    FreeQueue(q);

    std::vector<Bytes> many = {Packet(0x100, true, 'S')};
    for (int i = 0; i < 9; ++i) many.push_back(Packet(0x100, false, static_cast<uint8_t>('a' + i)));
    QueuePackets(many, q);
    n = MvGatherVideoPayload(q, 0, 0x100, out, sizeof(out));
    EXPECT_EQ(n, 6 * 184);  // five packets make 920 bytes, the sixth passes 1024
    EXPECT_EQ(out[n - 1], 'e');
    // A smaller buffer is never overrun.
    std::vector<uint8_t> small(100);
    EXPECT_EQ(MvGatherVideoPayload(q, 0, 0x100, small.data(), static_cast<int>(small.size())), 100);
    // From a packet at the end of the queue: just that packet.
    EXPECT_EQ(MvGatherVideoPayload(q, q.size() - 1, 0x100, out, sizeof(out)), 184);
    FreeQueue(q);
}

// ---------------------------------------------------------------------------------------------
// Fixtures: every video unit start is gathered as the segmenter does and offered to the finder.

struct Scan {
    int frames = 0;
    std::vector<uint64_t> keyPts;
    std::vector<int> criteria;
};

// The segmenter's window (MvGatherVideoPayload), or with wholePes the unit up to the next start.
Scan ScanFixture(const std::string& name, bool h264, bool hevc, bool mpeg2, int& state, bool idr,
                 bool wholePes = false) {
    Scan s;
    const Bytes ts = livetest::Fixture(name);
    EXPECT_GT(ts.size(), 188u * 100) << name;
    // RTP datagrams: a 12-byte header and up to seven packets.
    std::deque<MvDVBTSPacketX*> q;
    timespec now = {};
    for (size_t off = 0; off < ts.size(); off += 7 * 188) {
        const size_t n = std::min<size_t>(7 * 188, ts.size() - off);
        auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        memset(buf, 0x80, 12);
        memcpy(buf + 12, ts.data() + off, n);
        MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, static_cast<int>(12 + n), now, q);
    }
    uint8_t gathered[MV_KF_GATHER_SIZE];
    for (size_t i = 0; i < q.size(); ++i) {
        const MvDVBTSPacket& p = q[i]->packet;
        if (p.PID != 0x100 || !p.payload_unit_start_indicator) continue;
        ++s.frames;
        Bytes exact;
        if (wholePes) {
            for (size_t k = i; k < q.size(); ++k) {
                const MvDVBTSPacket& pk = q[k]->packet;
                if (pk.PID != 0x100) continue;
                if (k != i && pk.payload_unit_start_indicator) break;
                if (pk.adaptation_field_control & 0x01)
                    exact.insert(exact.end(), pk.payload, pk.payload + pk.payload_length);
            }
        } else {
            const int got = MvGatherVideoPayload(q, i, 0x100, gathered, sizeof(gathered));
            exact.assign(gathered, gathered + got);
        }
        const int n = static_cast<int>(exact.size());
        int criterion = -1;
        if (MvFindKeyFrame(h264, hevc, mpeg2, exact.data(), n, state, idr, criterion)) {
            MvDVBPESHdr hdr;
            EXPECT_TRUE(MvDVBParsePES(exact.data(), n, &hdr, true));
            s.keyPts.push_back(hdr.PTS);
            s.criteria.push_back(criterion);
        }
    }
    FreeQueue(q);
    return s;
}

void ExpectOneSecondApart(const Scan& s, size_t count) {
    ASSERT_EQ(s.keyPts.size(), count);
    for (size_t i = 1; i < s.keyPts.size(); ++i) EXPECT_EQ(s.keyPts[i] - s.keyPts[i - 1], 90000u) << i;
}

TEST(KeyFrameFixtures, H264WithAccessUnitDelimiters) {
    int state = 0;
    Scan s = ScanFixture("h264_aac.ts", true, false, false, state, false);
    EXPECT_EQ(s.frames, 75);
    ExpectOneSecondApart(s, 3);
    EXPECT_EQ(s.criteria, std::vector<int>(3, MV_KF_H264));
    EXPECT_EQ(state, 0);

    // With the IDR option the IDR slices decide, and state 1 is entered at the first one.
    state = 0;
    s = ScanFixture("h264_aac.ts", true, false, false, state, true);
    ExpectOneSecondApart(s, 3);
    EXPECT_EQ(state, 1);

    // Once an IDR was seen, delimiters no longer count.
    state = 1;
    s = ScanFixture("h264_aac.ts", true, false, false, state, false);
    EXPECT_TRUE(s.keyPts.empty());
    state = 2;
    s = ScanFixture("h264_aac.ts", true, false, false, state, true);
    EXPECT_TRUE(s.keyPts.empty());
}

TEST(KeyFrameFixtures, HevcClosedGopsCutAtEveryIdr) {
    int state = 0;
    Scan s = ScanFixture("hevc_closed_gop.ts", false, true, false, state, false);
    EXPECT_EQ(s.frames, 75);
    ExpectOneSecondApart(s, 3);
    EXPECT_EQ(s.criteria, std::vector<int>(3, MV_KF_HEVC));
    EXPECT_EQ(state, 1);
}

TEST(KeyFrameFixtures, HevcOpenGopsHaveOnlyTheirFirstIdr) {
    // The later key frames of this stream are CRA pictures, and its delimiters carry pic_type 2.
    int state = 0;
    Scan s = ScanFixture("hevc_ac3.ts", false, true, false, state, false, true);
    EXPECT_EQ(s.frames, 75);
    EXPECT_EQ(s.keyPts.size(), 1u);
    EXPECT_EQ(state, 1);
    // Its IDR slice starts about 2400 bytes into the PES, behind the encoder's information SEI:
    // beyond the segmenter's window, so no key frame is seen there at all.
    state = 0;
    s = ScanFixture("hevc_ac3.ts", false, true, false, state, false);
    EXPECT_TRUE(s.keyPts.empty());
    EXPECT_EQ(state, 0);
}

TEST(KeyFrameFixtures, Mpeg2GroupsOfPictures) {
    int state = 0;
    Scan s = ScanFixture("mpeg2_mp2.ts", false, false, true, state, false);
    EXPECT_EQ(s.frames, 75);
    ExpectOneSecondApart(s, 3);
    EXPECT_EQ(s.criteria, std::vector<int>(3, MV_KF_MPEG2));
}

}  // namespace
