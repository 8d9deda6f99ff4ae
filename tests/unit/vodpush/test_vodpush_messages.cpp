// The bytes the VOD push tool sends for a small hand-made stream: title header, initial data
// with the PID summary, data messages with the new-GOP flag, time and null filling, and the end
// message, each spelled out byte by byte; and the title time base.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "vodpush.h"
#include "vodpush_test_util.h"

using vodtest::Append;
using vodtest::Bytes;
using vodtest::Packet;

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string Hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// A program with a recognised CA system (its CA PID becomes the ECM PID), a second CA PID on the
// audio stream, and the packets around two key frames.
struct Crafted {
    Bytes pat, pmt, leadVideo, leadAudio, key1, audio1, ecm1, null, foreign, video1, ecm2, key2, audio2;
    Bytes ts;

    Crafted() {
        pat = Packet(0, true, 0, dvbtest::Payloads(dvbtest::PatSection(1, {{1, 0x20}}))[0]);
        const dvbtest::Desc verimatrix{9, {0x56, 0x01, 0xE0, 0x40}};
        const dvbtest::Desc otherCa{9, {0x0B, 0x00, 0xE0, 0x41}};
        pmt = Packet(0x20, true, 0, dvbtest::Payloads(dvbtest::PmtSection(
            1, 0x31, {verimatrix}, {{0x1B, 0x31, {}}, {0x0F, 0x34, {otherCa}}}))[0]);
        leadVideo = Packet(0x31, true, 0, vodtest::VideoPes(0, vodtest::AudP()));
        leadAudio = Packet(0x34, true, 0, {0x00, 0x00, 0x01, 0xC0, 0x00, 0x00});
        key1 = Packet(0x31, true, 1, vodtest::VideoPes(90000, vodtest::AudI()));
        audio1 = Packet(0x34, false, 1, Bytes(184, 0xA1));
        ecm1 = Packet(0x40, true, 0, {0x00, 0x80, 0x70, 0x01, 0x02});
        null = vodtest::NullPacket();
        foreign = Packet(0x99, true, 0, Bytes(184, 0x99));
        video1 = Packet(0x31, false, 2, Bytes(184, 0xB1));
        ecm2 = Packet(0x40, true, 1, {0x00, 0x81, 0x70, 0x01, 0x03});
        key2 = Packet(0x31, true, 3, vodtest::VideoPes(135000, vodtest::AudI()));
        audio2 = Packet(0x34, false, 2, Bytes(184, 0xA2));
        for (const Bytes* p : {&pat, &pmt, &leadVideo, &leadAudio, &key1, &audio1, &ecm1, &null,
                               &foreign, &video1, &ecm2, &key2, &audio2})
            Append(&ts, *p);
    }
};

}  // namespace

TEST(VodPushMessages, CraftedStreamBytes) {
    const Crafted c;
    MvVodTitle title;
    std::string detail;
    ASSERT_EQ(MvVodScan(c.ts.data(), c.ts.size(), MvVodScanOptions{}, title, detail), MvVodScanResult::Ok)
        << detail;
    ASSERT_EQ(title.gops.size(), 2u);
    EXPECT_EQ(title.gops[0].firstPacket, 4u);
    EXPECT_EQ(title.gops[1].firstPacket, 11u);
    EXPECT_EQ(title.gops[0].offsetNs, 0);
    EXPECT_EQ(title.gops[1].offsetNs, 500000000);
    EXPECT_EQ(title.leadingPackets, 4u);
    EXPECT_EQ(title.skippedPackets, 2u);  // the null and the foreign packet

    // Title header: identifier (content 123456789 = 0x075BCD15, sub-stream 2), storage, GOPs.
    std::vector<uint8_t> out;
    MvVodEncodeHeader(out, MvCIDMake(123456789, 2, 0), 7, static_cast<uint32_t>(title.gops.size()));
    EXPECT_EQ(Hex(out), "15cd5b0702000000" "0700000000000000" "02000000");
    EXPECT_EQ(out.size(), static_cast<size_t>(MV_VOD_HEADER_SIZE));

    // PID summary: PMT, PCR, video, ECM; audio list, CA list (both CA PIDs), empty other list.
    out.clear();
    MvVodEncodePidData(out, title.pids);
    const std::string pidData = "2000" "3100" "3100" "4000" "01000000" "3400" "02000000" "4000" "4100" "00000000";
    EXPECT_EQ(Hex(out), pidData);

    // Initial data: first GOP number, then PAT, PMT, ECM (the first occurrence) and the summary,
    // each after its u32 length.
    out.clear();
    MvVodEncodeInitialData(out, 0x0102030405060708ull, title);
    const Bytes bc{0xBC, 0x00, 0x00, 0x00};
    const Bytes initial = Cat({{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}, bc, c.pat, bc, c.pmt, bc, c.ecm1,
                               {0x1A, 0x00, 0x00, 0x00}});
    ASSERT_EQ(out.size(), initial.size() + pidData.size() / 2);
    EXPECT_EQ(Hex(Bytes(out.begin(), out.begin() + static_cast<long>(initial.size()))), Hex(initial));
    EXPECT_EQ(Hex(Bytes(out.begin() + static_cast<long>(initial.size()), out.end())), pidData);

    // Data messages: end flag 0, new-GOP flag 1, two reserved u64 0, seconds and nanoseconds,
    // the GOP's packets (the null and the foreign packet left out) and null filling.
    const Bytes flags{0x00, 0x00, 0x01, 0x00};
    const Bytes reserved(16, 0x00);
    const timespec t1{946684800, 0};           // 0x386D4380
    const timespec t2{946684800, 500000000};   // 0x1DCD6500 ns
    const Bytes sec{0x80, 0x43, 0x6D, 0x38, 0, 0, 0, 0};
    out.clear();
    EXPECT_EQ(MvVodEncodeGop(out, title, c.ts.data(), 0, t1), 1u);
    EXPECT_EQ(Hex(out), Hex(Cat({flags, reserved, sec, Bytes(8, 0), c.key1, c.audio1, c.ecm1, c.video1, c.ecm2,
                                 c.null, c.null})));
    out.clear();
    EXPECT_EQ(MvVodEncodeGop(out, title, c.ts.data(), 1, t2), 1u);
    EXPECT_EQ(Hex(out), Hex(Cat({flags, reserved, sec, {0x00, 0x65, 0xCD, 0x1D, 0, 0, 0, 0}, c.key2, c.audio2,
                                 c.null, c.null, c.null, c.null, c.null})));
    EXPECT_EQ(out.size(), static_cast<size_t>(MV_VOD_DATA_MSG_SIZE));
    out.clear();
    EXPECT_EQ(MvVodEncodeGop(out, title, c.ts.data(), 2, t2), 0u);
    EXPECT_TRUE(out.empty());

    // End message: a true end flag and nothing else.
    MvVodEncodeEnd(out);
    EXPECT_EQ(Hex(out), "0100");
}

// A GOP of eight packets takes two messages; only the first carries the new-GOP flag.
TEST(VodPushMessages, LongGopFlagsOnlyItsFirstMessage) {
    Bytes ts;
    Append(&ts, Packet(0, true, 0, dvbtest::Payloads(dvbtest::PatSection(1, {{1, 0x20}}))[0]));
    Append(&ts, Packet(0x20, true, 0, dvbtest::Payloads(dvbtest::PmtSection(1, 0x31, {}, {{0x02, 0x31, {}}}))[0]));
    // MPEG-2 video: a group-of-pictures start code opens the key frame.
    Append(&ts, Packet(0x31, true, 0, vodtest::VideoPes(0, {0x00, 0x00, 0x01, 0xB3, 0x0A, 0x00, 0x00, 0x01, 0xB8, 0x00})));
    for (int i = 1; i < 8; ++i) Append(&ts, Packet(0x31, false, static_cast<uint8_t>(i), Bytes(184, static_cast<uint8_t>(i))));
    MvVodTitle title;
    std::string detail;
    ASSERT_EQ(MvVodScan(ts.data(), ts.size(), MvVodScanOptions{}, title, detail), MvVodScanResult::Ok) << detail;
    ASSERT_EQ(title.gops.size(), 1u);
    EXPECT_EQ(title.gops[0].packets, 8u);
    EXPECT_EQ(title.MessageCount(), 2u);
    std::vector<uint8_t> out;
    ASSERT_EQ(MvVodEncodeGop(out, title, ts.data(), 0, timespec{5, 6}), 2u);
    ASSERT_EQ(out.size(), 2u * MV_VOD_DATA_MSG_SIZE);
    const uint8_t* second = out.data() + MV_VOD_DATA_MSG_SIZE;
    EXPECT_EQ(Hex(Bytes(out.begin(), out.begin() + 4)), "00000100");
    EXPECT_EQ(Hex(Bytes(second, second + 4)), "00000000");
    EXPECT_EQ(Hex(Bytes(second + 20, second + 36)), "0500000000000000" "0600000000000000");
    EXPECT_EQ(memcmp(second + 36, ts.data() + 9 * 188, 188), 0);
    EXPECT_EQ(vodtest::Pid(second + 36 + 188), 0x1FFF);
}

// Titles start at 2000-01-01 00:00:00 local time; GOP times add the title clock to it.
TEST(VodPushMessages, TimeBase) {
    const char* old = getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const timespec base = MvVodTimeBase();
    EXPECT_EQ(base.tv_sec, 946684800);
    EXPECT_EQ(base.tv_nsec, 0);
    setenv("TZ", "CET-1", 1);  // one hour east of UTC, no daylight saving
    tzset();
    EXPECT_EQ(MvVodTimeBase().tv_sec, 946684800 - 3600);
    if (old != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    const timespec t = MvVodTimeAdd(timespec{100, 900000000}, 2300000000);
    EXPECT_EQ(t.tv_sec, 103);
    EXPECT_EQ(t.tv_nsec, 200000000);
}
