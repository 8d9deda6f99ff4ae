// The VOD push scan on real files: program and PIDs of each fixture, GOP cuts at exactly the
// key frames the live rules see, every program packet from the first key frame sent once and in
// order, the title clock from the key frames' PTS; the refusals of unusable files.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "vodpush.h"
#include "vodpush_test_util.h"

using vodtest::Bytes;

namespace {

enum class Codec { H264, HEVC, MPEG2 };

// Key-frame marker anywhere in a video PES, read independently of the finders: H.264 access
// unit delimiter of an I picture (or, with idr, an IDR slice); HEVC IDR picture or I-only
// delimiter; MPEG-2 group of pictures.
bool HasKeyMarker(Codec codec, bool idr, const Bytes& pes) {
    for (size_t j = 0; j + 5 < pes.size(); ++j) {
        if (pes[j] != 0 || pes[j + 1] != 0 || pes[j + 2] != 1) continue;
        const uint8_t b = pes[j + 3];
        switch (codec) {
            case Codec::H264:
                if ((idr && (b & 0x1F) == 5) || ((b & 0x1F) == 9 && pes[j + 4] == 0x10)) return true;
                break;
            case Codec::HEVC: {
                const int t = (b >> 1) & 0x3F;
                if (t == 19 || t == 20 || (t == 35 && (pes[j + 5] & 0xE0) == 0)) return true;
                break;
            }
            case Codec::MPEG2:
                if (b == 0xB8) return true;
                break;
        }
    }
    return false;
}

struct Fixture {
    const char* file;
    bool idr;
    Codec codec;
    uint16_t program;
    uint16_t pmtPid;
    uint16_t videoPid;
    std::vector<uint16_t> audioPids;
    size_t keyFrames;    // 25 fps, one key frame a second
    size_t patPackets;
};

// The program packets of the file from packet `from` on, by the test's own reading.
std::vector<size_t> ProgramPackets(const Bytes& ts, size_t from, const std::set<uint16_t>& pids) {
    std::vector<size_t> out;
    for (size_t i = from; (i + 1) * 188 <= ts.size(); ++i)
        if (pids.count(vodtest::Pid(ts.data() + i * 188)) != 0) out.push_back(i);
    return out;
}

}  // namespace

TEST(VodPushScan, FixturesCutAtEveryKeyFrame) {
    const Fixture fixtures[] = {
        {"h264_aac.ts", false, Codec::H264, 1, 0x1000, 0x100, {0x101}, 3, 1},
        {"hevc_idr.ts", false, Codec::HEVC, 1, 0x1000, 0x100, {0x101}, 3, 1},
        {"mpeg2_mp2.ts", false, Codec::MPEG2, 1, 0x1000, 0x100, {0x101}, 3, 1},
        // No access unit delimiters: only IDR slices mark key frames.
        {"two_programs.ts", true, Codec::H264, 101, 0x1000, 0x100, {0x101}, 3, 1},
        {"pat_two_packets.ts", true, Codec::H264, 1, 0x1000, 0x100, {}, 1, 2},
    };
    for (const Fixture& f : fixtures) {
        SCOPED_TRACE(f.file);
        const Bytes ts = dvbtest::LoadFixture(f.file);
        ASSERT_FALSE(ts.empty());
        MvVodTitle title;
        MvVodScanOptions options;
        options.idr = f.idr;
        std::string detail;
        ASSERT_EQ(MvVodScan(ts.data(), ts.size(), options, title, detail), MvVodScanResult::Ok) << detail;

        // Program and tables.
        EXPECT_EQ(title.programNumber, f.program);
        EXPECT_EQ(title.pids.pmtPid, f.pmtPid);
        EXPECT_EQ(title.pids.videoPid, f.videoPid);
        EXPECT_EQ(title.pids.pcrPid, f.videoPid);
        EXPECT_EQ(title.pids.ecmPid, MV_PID_NONE);
        EXPECT_EQ(title.pids.audioPids, f.audioPids);
        EXPECT_TRUE(title.pids.caPids.empty());
        EXPECT_EQ(title.h264, f.codec == Codec::H264);
        EXPECT_EQ(title.hevc, f.codec == Codec::HEVC);
        EXPECT_EQ(title.mpeg2, f.codec == Codec::MPEG2);
        ASSERT_EQ(title.pat.GetLength(), static_cast<int>(f.patPackets * 188));
        EXPECT_EQ(vodtest::Pid(title.pat.GetData()), 0);
        EXPECT_TRUE(vodtest::Pusi(title.pat.GetData()));
        ASSERT_GT(title.pmt.GetLength(), 0);
        EXPECT_EQ(title.pmt.GetLength() % 188, 0);
        EXPECT_EQ(vodtest::Pid(title.pmt.GetData()), f.pmtPid);
        EXPECT_EQ(title.ecm.GetLength(), 0);
        EXPECT_EQ(title.filePackets, ts.size() / 188);
        EXPECT_EQ(title.trailingBytes, 0u);

        // One GOP per key frame, each opened by the key frame's first packet.
        const auto units = vodtest::Units(ts, f.videoPid);
        std::vector<size_t> keyPackets;
        for (const auto& u : units)
            if (HasKeyMarker(f.codec, f.idr, u.bytes)) keyPackets.push_back(u.packet);
        EXPECT_EQ(keyPackets.size(), f.keyFrames);
        ASSERT_EQ(title.gops.size(), keyPackets.size());
        for (size_t g = 0; g < title.gops.size(); ++g) {
            EXPECT_EQ(title.gops[g].firstPacket, keyPackets[g]) << "GOP " << g;
            const uint8_t* first = ts.data() + title.gops[g].firstPacket * 188;
            EXPECT_EQ(vodtest::Pid(first), f.videoPid);
            EXPECT_TRUE(vodtest::Pusi(first));
            // One-second GOPs: the title clock advances by exactly one second a GOP.
            EXPECT_EQ(title.gops[g].offsetNs, static_cast<int64_t>(g) * 1000000000) << "GOP " << g;
        }

        // Spans follow each other to the end of the file; each holds exactly its program packets.
        std::set<uint16_t> pids{0, f.pmtPid, f.videoPid};
        pids.insert(f.audioPids.begin(), f.audioPids.end());
        const std::vector<size_t> expected = ProgramPackets(ts, keyPackets[0], pids);
        uint64_t counted = 0;
        for (size_t g = 0; g < title.gops.size(); ++g) {
            const MvVodGopSpan& s = title.gops[g];
            const uint64_t end = g + 1 < title.gops.size() ? title.gops[g + 1].firstPacket : title.filePackets;
            EXPECT_EQ(s.endPacket, end);
            uint64_t inSpan = 0;
            for (size_t i : expected) inSpan += (i >= s.firstPacket && i < s.endPacket) ? 1 : 0;
            EXPECT_EQ(s.packets, inSpan) << "GOP " << g;
            counted += s.packets;
        }
        EXPECT_EQ(counted, expected.size());
        EXPECT_EQ(title.SentPackets(), expected.size());
        EXPECT_EQ(title.leadingPackets, keyPackets[0]);
        EXPECT_EQ(title.leadingPackets + title.skippedPackets + title.SentPackets(), title.filePackets);

        // The messages carry exactly those packets, in file order, nulls only as filling; the
        // new-GOP flag is on the first message of each GOP, whose first packet is the key frame.
        std::vector<size_t> flagged;
        Bytes sent;
        uint64_t messages = 0;
        for (size_t g = 0; g < title.gops.size(); ++g) {
            std::vector<uint8_t> out;
            const uint64_t n = MvVodEncodeGop(out, title, ts.data(), g, timespec{1000, 0});
            ASSERT_EQ(out.size(), n * MV_VOD_DATA_MSG_SIZE);
            messages += n;
            for (uint64_t m = 0; m < n; ++m) {
                const uint8_t* msg = out.data() + m * MV_VOD_DATA_MSG_SIZE;
                EXPECT_EQ(msg[0] | msg[1], 0);
                const bool newGop = (msg[2] | (msg[3] << 8)) != 0;
                EXPECT_EQ(newGop, m == 0);
                if (newGop) {
                    flagged.push_back(g);
                    EXPECT_EQ(memcmp(msg + 36, ts.data() + title.gops[g].firstPacket * 188, 188), 0);
                }
                for (int k = 0; k < 7; ++k) {
                    const uint8_t* p = msg + 36 + k * 188;
                    if (vodtest::Pid(p) != 0x1FFF) sent.insert(sent.end(), p, p + 188);
                }
            }
        }
        EXPECT_EQ(messages, title.MessageCount());
        EXPECT_EQ(flagged.size(), title.gops.size());
        Bytes want;
        for (size_t i : expected) want.insert(want.end(), ts.begin() + static_cast<long>(i * 188),
                                              ts.begin() + static_cast<long>((i + 1) * 188));
        EXPECT_TRUE(sent == want) << "sent " << sent.size() / 188 << " packets, file has "
                                  << want.size() / 188;
    }
}

// Files the live rules cannot cut, or that are no usable title, are refused with the reason.
TEST(VodPushScan, RefusesUnusableFixtures) {
    struct Case {
        const char* file;
        bool idr;
        MvVodScanResult result;
        const char* detail;  // part of the detail text
    };
    const Case cases[] = {
        // x265's settings SEI pushes the IDR slice past the first kilobyte of the picture, its
        // delimiters say pic_type 2 and later key frames are CRA pictures.
        {"hevc_ac3.ts", false, MvVodScanResult::NoKeyFrame, ""},
        // H.264 without access unit delimiters has no key frame unless IDR slices count.
        {"two_programs.ts", false, MvVodScanResult::NoKeyFrame, "--idr"},
        {"pat_two_packets.ts", false, MvVodScanResult::NoKeyFrame, "--idr"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes ts = dvbtest::LoadFixture(c.file);
        MvVodTitle title;
        MvVodScanOptions options;
        options.idr = c.idr;
        std::string detail;
        EXPECT_EQ(MvVodScan(ts.data(), ts.size(), options, title, detail), c.result);
        EXPECT_NE(detail.find(c.detail), std::string::npos) << detail;
        EXPECT_TRUE(title.gops.empty());
    }
}

// Broken and incomplete files: each refusal names what is missing.
TEST(VodPushScan, RefusesBrokenStreams) {
    using vodtest::Append;
    using vodtest::Packet;
    const Bytes pat = Packet(0, true, 0, dvbtest::Payloads(dvbtest::PatSection(1, {{1, 0x20}}))[0]);
    const Bytes patNetOnly = Packet(0, true, 0, dvbtest::Payloads(dvbtest::PatSection(1, {{0, 0x10}}))[0]);
    const Bytes pmtVideo = Packet(0x20, true, 0,
        dvbtest::Payloads(dvbtest::PmtSection(1, 0x31, {}, {{0x1B, 0x31, {}}, {0x0F, 0x34, {}}}))[0]);
    const Bytes pmtAudio = Packet(0x20, true, 0,
        dvbtest::Payloads(dvbtest::PmtSection(1, 0x34, {}, {{0x0F, 0x34, {}}}))[0]);
    const Bytes keyFrame = Packet(0x31, true, 0, vodtest::VideoPes(90000, vodtest::AudI()));
    const Bytes otherFrame = Packet(0x31, true, 1, vodtest::VideoPes(93600, vodtest::AudP()));

    auto stream = [](std::initializer_list<Bytes> packets) {
        Bytes s;
        for (const Bytes& p : packets) Append(&s, p);
        return s;
    };
    Bytes m2ts;  // 192-byte packets: a 4-byte time code before each
    for (const Bytes& p : {pat, pmtVideo, keyFrame}) {
        m2ts.insert(m2ts.end(), {0, 0, 0, 0});
        Append(&m2ts, p);
    }
    Bytes lostSync = stream({pat, pmtVideo, keyFrame, otherFrame});
    lostSync[3 * 188] = 0x46;

    struct Case {
        const char* what;
        Bytes bytes;
        MvVodScanResult result;
        const char* detail;
    };
    const Case cases[] = {
        {"empty", {}, MvVodScanResult::Empty, ""},
        {"shorter than a packet", Bytes(100, 0x47), MvVodScanResult::NotTS, "shorter"},
        {"text", Bytes(188 * 3, 'a'), MvVodScanResult::NotTS, "offset 0"},
        {"192-byte packets", m2ts, MvVodScanResult::NotTS, "offset 0"},
        {"sync lost", lostSync, MvVodScanResult::NotTS, "offset 564"},
        {"no PAT", stream({pmtVideo, keyFrame, otherFrame}), MvVodScanResult::NoPAT, ""},
        {"PAT without program", stream({patNetOnly, pmtVideo, keyFrame}), MvVodScanResult::NoProgram, ""},
        {"no PMT", stream({pat, keyFrame, otherFrame}), MvVodScanResult::NoPMT, "PMT PID 32"},
        {"audio only", stream({pat, pmtAudio, Packet(0x34, true, 0, {0xFF, 0xF1})}),
         MvVodScanResult::NoVideo, ""},
        {"no key frame", stream({pat, pmtVideo, otherFrame, otherFrame}), MvVodScanResult::NoKeyFrame, ""},
        {"key frame before the PMT only", stream({pat, keyFrame, pmtVideo, otherFrame}),
         MvVodScanResult::NoKeyFrame, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MvVodTitle title;
        std::string detail;
        EXPECT_EQ(MvVodScan(c.bytes.data(), c.bytes.size(), MvVodScanOptions{}, title, detail), c.result)
            << MvVodScanResultText(MvVodScanResult::Ok) << " / " << detail;
        EXPECT_NE(detail.find(c.detail), std::string::npos) << detail;
    }

    // A cut-off last packet is left out; the rest is a title.
    Bytes cut = stream({pat, pmtVideo, keyFrame, otherFrame});
    cut.insert(cut.end(), keyFrame.begin(), keyFrame.begin() + 100);
    MvVodTitle title;
    std::string detail;
    ASSERT_EQ(MvVodScan(cut.data(), cut.size(), MvVodScanOptions{}, title, detail), MvVodScanResult::Ok);
    EXPECT_EQ(title.trailingBytes, 100u);
    EXPECT_EQ(title.filePackets, 4u);
    ASSERT_EQ(title.gops.size(), 1u);
    EXPECT_EQ(title.gops[0].packets, 2u);
}

// A GOP the server could not keep whole is refused before anything is sent.
TEST(VodPushScan, RefusesGopLargerThanServerCapacity) {
    // The server appends a record while its GOP holds at most capacity - 1345 bytes, so a
    // record that would fill the capacity exactly is already dropped.
    EXPECT_EQ(MvVodMaxGopRecords(MV_GOP_CAPACITY_VOD), 18724u);
    EXPECT_EQ(MvVodMaxGopRecords(3 * MV_GOP_RECORD_SIZE + 1), 3u);
    EXPECT_EQ(MvVodMaxGopRecords(3 * MV_GOP_RECORD_SIZE), 2u);
    EXPECT_EQ(MvVodMaxGopRecords(MV_GOP_RECORD_SIZE + 1), 1u);
    EXPECT_EQ(MvVodMaxGopRecords(MV_GOP_RECORD_SIZE), 0u);

    Bytes ts;
    vodtest::Append(&ts, vodtest::Packet(0, true, 0, dvbtest::Payloads(dvbtest::PatSection(1, {{1, 0x20}}))[0]));
    vodtest::Append(&ts, vodtest::Packet(0x20, true, 0,
        dvbtest::Payloads(dvbtest::PmtSection(1, 0x31, {}, {{0x1B, 0x31, {}}}))[0]));
    vodtest::Append(&ts, vodtest::Packet(0x31, true, 0, vodtest::VideoPes(0, vodtest::AudI())));
    for (int i = 0; i < 20; ++i) vodtest::Append(&ts, vodtest::Packet(0x31, false, static_cast<uint8_t>(i + 1), Bytes(184, 0)));
    // 21 packets: three records.
    for (uint32_t capacity : {3u * MV_GOP_RECORD_SIZE + 1, 3u * MV_GOP_RECORD_SIZE}) {
        MvVodTitle title;
        MvVodScanOptions options;
        options.gopCapacity = capacity;
        std::string detail;
        const MvVodScanResult r = MvVodScan(ts.data(), ts.size(), options, title, detail);
        if (capacity == 3u * MV_GOP_RECORD_SIZE + 1) {
            EXPECT_EQ(r, MvVodScanResult::Ok) << detail;
        } else {
            EXPECT_EQ(r, MvVodScanResult::GopTooLarge);
            EXPECT_NE(detail.find("GOP 1 starting at packet 2"), std::string::npos) << detail;
        }
    }
}

// Key-frame PTS to title time: steady steps, the 33-bit wrap, gaps and jumps.
TEST(VodPushScan, ClockFollowsKeyFramePts) {
    struct Step {
        bool hasPts;
        uint64_t pts;
        int64_t offsetNs;
    };
    const int64_t s = 1000000000;
    const std::vector<std::vector<Step>> cases = {
        // Steady two-second GOPs from an arbitrary start.
        {{true, 900000, 0}, {true, 1080000, 2 * s}, {true, 1260000, 4 * s}},
        // The PTS wraps at 2^33 between two key frames.
        {{true, (1ull << 33) - 45000, 0}, {true, 45000, s}, {true, 135000, 2 * s}},
        // A key frame without PTS, a jump backwards and one of more than a minute advance by the
        // previous step; the PTS after them is measured from the newest one.
        {{true, 0, 0}, {true, 90000, s}, {false, 0, 2 * s}, {true, 270000, 3 * s},
         {true, 9000, 4 * s}, {true, 9000 + 61 * 90000, 5 * s}, {true, 9000 + 61 * 90000 + 45000, 5 * s + s / 2}},
        // No PTS at all: every GOP at 0.
        {{false, 0, 0}, {false, 0, 0}},
        // Fractional ticks: 3003 ticks (one 29.97 fps frame) is 33366666 ns.
        {{true, 0, 0}, {true, 3003, 33366666}},
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        MvVodClock clock;
        for (size_t i = 0; i < cases[c].size(); ++i)
            EXPECT_EQ(clock.Next(cases[c][i].hasPts, cases[c][i].pts), cases[c][i].offsetNs)
                << "case " << c << " step " << i;
    }
}

// Command-line numbers and content ids are taken only when exactly right.
TEST(VodPushScan, ParsesContentIdsAndNumbers) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t content;
    };
    const Case ids[] = {
        {"100000000", true, 100000000}, {"999999999", true, 999999999}, {"123456789", true, 123456789},
        {"99999999", false, 0},    // a live channel
        {"5", false, 0},
        {"1000000000", false, 0},  // a PVR recording
        {"4394967296", false, 0},  // a VOD number plus 2^32
        {"18446744073709551617", false, 0},
        {"", false, 0}, {"abc", false, 0}, {"123456789x", false, 0}, {" 123456789", false, 0},
        {"+123456789", false, 0}, {"-123456789", false, 0}, {"0x75BCD15", false, 0},
    };
    for (const Case& c : ids) {
        uint32_t content = 7;
        EXPECT_EQ(MvVodParseContentId(c.text, content), c.ok) << c.text;
        EXPECT_EQ(content, c.ok ? c.content : 7u) << c.text;
    }
    uint64_t v = 0;
    EXPECT_TRUE(MvVodParseNumber("65535", 1, 65535, v));
    EXPECT_EQ(v, 65535u);
    EXPECT_FALSE(MvVodParseNumber("65536", 1, 65535, v));
    EXPECT_FALSE(MvVodParseNumber("0", 1, 65535, v));
    EXPECT_TRUE(MvVodParseNumber("18446744073709551615", 0, UINT64_MAX, v));
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_FALSE(MvVodParseNumber("18446744073709551616", 0, UINT64_MAX, v));
    EXPECT_FALSE(MvVodParseNumber(nullptr, 0, 1, v));
}
