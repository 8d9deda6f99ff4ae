// The segmenter on the media fixtures: GOPs cut at key frames with consecutive numbers after the
// skipped first one, their tables, index, records and whole audio PES units, program selection
// in a multi-program stream, RPROGRAM key frames, PATCHPAT, and x265 key pictures behind a large
// SEI.
#include <gtest/gtest.h>

#include "liveinput_rx.h"
#include "segmenter_helpers.h"

using namespace segtest;

namespace {

constexpr tagMvCID kCid = MvCIDMake(5, 0, 0);

struct FixtureCase {
    const char* file;
    uint64_t program;
    uint32_t flags;
    bool idr;
    int loops;
    size_t minGops;
    uint16_t videoPid;
    uint16_t audioPid;  // 0: none
    bool h264, hevc, mpeg2;
};

const FixtureCase kCases[] = {
    {"h264_aac.ts", 1, 0, false, 2, 3, 0x100, 0x101, true, false, false},
    {"hevc_closed_gop.ts", 1, 0, false, 2, 3, 0x100, 0, false, true, false},
    {"mpeg2_mp2.ts", 1, 0, false, 2, 3, 0x100, 0x101, false, false, true},
    {"two_programs.ts", 202, 0, true, 2, 3, 0x102, 0x103, true, false, false},
    // Open GOPs: only the IDR picture at the start of each pass is a key frame, each behind
    // x265's 2.3 kB settings SEI.
    {"hevc_ac3.ts", 1, 0, false, 3, 1, 0x100, 0x101, false, true, false},
    {"h264_aac.ts", 1, HSC_CHANNEL_RPROGRAM, false, 2, 3, 0x100, 0x101, true, false, false},
};

// Payload of the GOP's first video PES (up to the next video unit start).
Bytes FirstVideoPes(const HSCGop* gop) {
    Bytes out;
    bool first = true;
    for (const MvTSInfo& e : Entries(gop)) {
        if (!(e.flags & MV_TSINFO_VIDEO)) continue;
        if (!first && (e.flags & MV_TSINFO_PUSI)) break;
        first = false;
        const uint8_t* p = PacketAt(gop, e);
        out.insert(out.end(), p + e.payloadOffset, p + 188);
    }
    return out;
}

void CheckGop(const FixtureCase& c, const HSCGop* gop, const std::string& where) {
    SCOPED_TRACE(where);
    ASSERT_GT(gop->dataSize, 0u);
    EXPECT_EQ(gop->dataSize % MV_GOP_RECORD_SIZE, 0u);
    EXPECT_EQ(gop->closedSize, gop->dataSize);
    EXPECT_EQ(gop->accessorVersion, 1u);
    EXPECT_EQ(gop->cid, kCid);
    EXPECT_EQ(gop->videoPid, c.videoPid);

    // Tables stored with the GOP carry the GOP number modulo 16 as continuity counter.
    ASSERT_GE(gop->patPackets.GetLength(), 188);
    ASSERT_GE(gop->pmtPackets.GetLength(), 188);
    EXPECT_EQ(gop->patPackets.GetData()[3] & 0x0F, static_cast<int>(gop->gopId % 16));
    EXPECT_EQ(gop->pmtPackets.GetData()[3] & 0x0F, static_cast<int>(gop->gopId % 16));
    EXPECT_EQ(PidOf(gop->pmtPackets.GetData()), gop->pmtPid);

    // The GOP opens with the key frame's unit start.
    const std::vector<MvTSInfo> entries = Entries(gop);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.size(), gop->tsInfos.size());
    EXPECT_EQ(entries[0].flags & (MV_TSINFO_VIDEO | MV_TSINFO_PUSI), MV_TSINFO_VIDEO | MV_TSINFO_PUSI);
    const uint8_t* firstPacket = PacketAt(gop, entries[0]);
    if (c.flags & HSC_CHANNEL_RPROGRAM) {
        MvDVBTSPacket ts;
        ASSERT_TRUE(MvDVBParseTS(firstPacket, &ts));
        EXPECT_EQ(ts.random_access_indicator, 1);
    } else {
        const Bytes pes = FirstVideoPes(gop);
        int state = 0, criterion = 0;
        EXPECT_TRUE(MvFindKeyFrame(c.h264, c.hevc, c.mpeg2, pes.data(), static_cast<int>(pes.size()), state,
                                   c.idr, criterion));
    }
    EXPECT_NE(gop->pts, 0u);

    // Records: RTP header, sequence numbers one apart; every packet of the program's PIDs.
    uint16_t seq = 0;
    for (uint32_t off = 0; off < gop->dataSize; off += MV_GOP_RECORD_SIZE) {
        const uint8_t* r = gop->data + off;
        EXPECT_EQ(r[16], 0x80);
        EXPECT_EQ(r[17], 0x21);
        const uint16_t s = static_cast<uint16_t>((r[18] << 8) | r[19]);
        if (off > 0) { EXPECT_EQ(s, static_cast<uint16_t>(seq + 1)); }
        seq = s;
        for (int slot = 0; slot < 7; ++slot) {
            const uint8_t* p = r + 28 + slot * 188;
            ASSERT_EQ(p[0], 0x47);
            const uint16_t pid = PidOf(p);
            if (pid != 0x1FFF) { EXPECT_TRUE(gop->pidSet.count(pid)) << "foreign PID " << pid; }
        }
    }
    // Index entries point at packets of the flagged kind.
    for (const MvTSInfo& e : entries) {
        const uint8_t* p = PacketAt(gop, e);
        EXPECT_EQ(e.recordOffset % MV_GOP_RECORD_SIZE, 0u);
        EXPECT_EQ((e.packetOffset - e.recordOffset - 28) % 188, 0u);
        const uint16_t pid = PidOf(p);
        if (e.flags & MV_TSINFO_VIDEO) { EXPECT_EQ(pid, c.videoPid); }
        if (e.flags & MV_TSINFO_PAT) { EXPECT_EQ(pid, 0); }
        if (e.flags & MV_TSINFO_PMT) { EXPECT_EQ(pid, gop->pmtPid); }
        EXPECT_EQ((e.flags & MV_TSINFO_PUSI) != 0, (p[1] & 0x40) != 0);
    }

    // Audio: whole PES units only, each starting with its unit start and as long as its header
    // says.
    if (c.audioPid != 0) {
        int pesCount = 0;
        Bytes pes;
        auto finish = [&]() {
            if (pes.empty()) return;
            ASSERT_GE(pes.size(), 6u);
            const size_t len = static_cast<size_t>((pes[4] << 8) | pes[5]);
            if (len != 0) { EXPECT_EQ(pes.size(), len + 6); }
            ++pesCount;
            pes.clear();
        };
        bool firstAudio = true;
        for (const MvTSInfo& e : entries) {
            if (!(e.flags & MV_TSINFO_AUDIO)) continue;
            const uint8_t* p = PacketAt(gop, e);
            EXPECT_EQ(PidOf(p), c.audioPid);
            if (firstAudio) { EXPECT_TRUE(e.flags & MV_TSINFO_PUSI); }
            firstAudio = false;
            if (e.flags & MV_TSINFO_PUSI) finish();
            pes.insert(pes.end(), p + e.payloadOffset, p + 188);
        }
        finish();
        EXPECT_GE(pesCount, 1);  // the muxer packs several audio frames into one PES
    }
}

}  // namespace

class SegmenterFixtures : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(SegmenterFixtures, CutsNumbersAndFillsGops) {
    const FixtureCase& c = GetParam();
    ITGMainConf conf;
    conf.IDR = c.idr;
    conf.VERBOSE = true;
    Sink sink;
    std::string log;
    {
        TSSSegmenter seg(kCid, c.program, c.flags, 4096, &sink, &conf);
        Feeder feeder(seg);
        log = Captured([&] { feeder.Feed(Fixture(c.file), c.loops); });
        EXPECT_EQ(seg.PidData().videoPid, c.videoPid);
        EXPECT_EQ(seg.Counters().ccErrors, 0u);
    }
    EXPECT_EQ(CountOf(log, "first incomplete live GOP skipped..."), 1) << log;
    EXPECT_EQ(CountOf(log, "subsequent incomplete live GOP skipped"), 0);
    ASSERT_GE(sink.gops.size(), c.minGops) << log;
    for (size_t i = 0; i < sink.gops.size(); ++i) {
        // The skipped first GOP took 4096; the recorded ones follow without a gap.
        EXPECT_EQ(sink.gops[i]->gopId, 4097 + i);
        CheckGop(c, sink.gops[i], "GOP " + std::to_string(i));
        if (i > 0 && sink.gops[i]->pts > sink.gops[i - 1]->pts) {
            EXPECT_EQ(sink.gops[i]->pts - sink.gops[i - 1]->pts, 90000u);  // one-second GOPs
        }
    }
    if (c.flags & HSC_CHANNEL_RPROGRAM) {
        EXPECT_NE(log.find("type(2), Frames(25), CCErrors(0), Finish Criteria(0) added to storage..."),
                  std::string::npos)
            << log;
    } else {
        const int criterion = c.hevc ? 5 : c.h264 ? 4 : 2;
        EXPECT_NE(log.find("Finish Criteria(" + std::to_string(criterion) + ") added to storage..."),
                  std::string::npos)
            << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SegmenterFixtures, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FixtureCase>& info) {
                             std::string n = info.param.file;
                             n = n.substr(0, n.find('.'));
                             if (info.param.flags & HSC_CHANNEL_RPROGRAM) n += "_rprogram";
                             return n;
                         });

TEST(SegmenterPrograms, TwoProgramStreamRecordsOnlyTheConfiguredProgram) {
    for (const uint64_t program : {101u, 202u}) {
        SCOPED_TRACE(program);
        ITGMainConf conf;
        conf.IDR = true;
        conf.VERBOSE = true;
        Sink sink;
        TSSSegmenter seg(kCid, program, 0, 4096, &sink, &conf);
        Feeder feeder(seg);
        const std::string log = Captured([&] { feeder.Feed(Fixture("two_programs.ts"), 2); });
        EXPECT_NE(log.find("PAT parsed (MPTS)...."), std::string::npos);
        const uint16_t pmt = program == 101 ? 0x1000 : 0x1001;
        EXPECT_NE(log.find("selected prog entry: 0/" + std::to_string(pmt) + "/" + std::to_string(program)),
                  std::string::npos)
            << log;
        const uint16_t video = program == 101 ? 0x100 : 0x102;
        const uint16_t audio = program == 101 ? 0x101 : 0x103;
        EXPECT_NE(log.find("PMT parsed, VPID=" + std::to_string(video) + " PCR=VPID PROTECTION=FTA APID=" +
                           std::to_string(audio)),
                  std::string::npos)
            << log;
        ASSERT_GE(sink.gops.size(), 3u);
        for (const HSCGop* gop : sink.gops) {
            EXPECT_EQ(gop->pmtPid, pmt);
            for (uint32_t off = 0; off < gop->dataSize; off += 188) {
                if (off % MV_GOP_RECORD_SIZE == 0) off += 28;
                const uint16_t pid = PidOf(gop->data + off);
                EXPECT_TRUE(pid == 0 || pid == pmt || pid == video || pid == audio || pid == 0x1FFF) << pid;
            }
        }
    }
}

TEST(SegmenterPrograms, PatOverTwoPacketsSelectsProgram) {
    ITGMainConf conf;
    conf.IDR = true;
    Sink sink;
    TSSSegmenter seg(kCid, 7, 0, 4096, &sink, &conf);
    Feeder feeder(seg);
    const std::string log = Captured([&] { feeder.Feed(Fixture("pat_two_packets.ts"), 3); });
    EXPECT_NE(log.find("PAT is not ready yet, waiting for other sections...."), std::string::npos);
    EXPECT_NE(log.find("PAT detected"), std::string::npos);
    EXPECT_EQ(seg.PidData().pmtPid, 0x1006);
    EXPECT_GE(sink.gops.size(), 1u);
}

TEST(SegmenterPrograms, MissingProgramIsReportedOnceAndNothingRecorded) {
    ITGMainConf conf;
    Sink sink;
    TSSSegmenter seg(kCid, 999, 0, 4096, &sink, &conf);
    Feeder feeder(seg);
    const std::string log = Captured([&] { feeder.Feed(Fixture("two_programs.ts")); });
    EXPECT_EQ(CountOf(log, "program 999 is not in the PAT, nothing is recorded"), 1);
    EXPECT_TRUE(sink.gops.empty());
    EXPECT_EQ(seg.CurrentGop(), nullptr);
}

TEST(SegmenterTables, PatchPatRecordsTheGeneratedPatWithAdvancingCounter) {
    ITGMainConf conf;
    conf.PATCHPAT = true;
    Sink sink;
    {
        TSSSegmenter seg(kCid, 202, 0, 4096, &sink, &conf);
        conf.IDR = true;
        Feeder feeder(seg);
        Captured([&] { feeder.Feed(Fixture("two_programs.ts"), 2); });
    }
    ASSERT_GE(sink.gops.size(), 2u);
    uint8_t expected[188];
    MvDVBCreatePAT(expected, 202, 0x1001, 0);
    int last = -1;
    int pats = 0;
    for (const HSCGop* gop : sink.gops) {
        ASSERT_EQ(gop->patPackets.GetLength(), 188);
        EXPECT_EQ(memcmp(gop->patPackets.GetData() + 4, expected + 4, 184), 0);
        for (const MvTSInfo& e : Entries(gop)) {
            if (!(e.flags & MV_TSINFO_PAT)) continue;
            const uint8_t* p = PacketAt(gop, e);
            EXPECT_EQ(memcmp(p + 4, expected + 4, 184), 0);
            EXPECT_EQ(p[1] & 0x40, 0x40);
            const int cc = p[3] & 0x0F;
            if (last >= 0) { EXPECT_EQ(cc, (last + 1) & 0x0F); }
            last = cc;
            ++pats;
        }
    }
    EXPECT_GT(pats, 10);
}

TEST(SegmenterKeyFrames, X265KeyPictureBehindLargeSeiIsFound) {
    // The IDR slice of hevc_ac3.ts starts about 2.4 kB into its PES, beyond the first 1 kB
    // window; the second pass of the file cuts the GOP at it.
    ITGMainConf conf;
    Sink sink;
    TSSSegmenter seg(kCid, 1, 0, 4096, &sink, &conf);
    Feeder feeder(seg);
    std::string log = Captured([&] { feeder.Feed(Fixture("hevc_ac3.ts"), 2); });
    EXPECT_EQ(CountOf(log, "first incomplete live GOP skipped..."), 1) << log;
    EXPECT_EQ(seg.KeyFrameMode(), 1);
    // CRA pictures in between are not key frames: one GOP per pass.
    log = Captured([&] { feeder.Feed(Fixture("hevc_ac3.ts"), 1); });
    ASSERT_EQ(sink.gops.size(), 1u);
    EXPECT_EQ(sink.gops[0]->gopId, 4097u);
}
