// The segmenter on small synthetic streams, where each case states exactly which pictures and
// audio units arrive: IDR option, continuity, audio shelf, audio size limits, the 8 MiB GOP
// limit, damaged input, programs without video or audio, reception gaps, extra bitrates and the
// look-ahead.
#include <gtest/gtest.h>

#include "segmenter_helpers.h"

using namespace segtest;

namespace {

constexpr tagMvCID kCid = MvCIDMake(9, 0, 0);
constexpr uint16_t kVideo = 0x100;
constexpr uint16_t kAudio = 0x101;
constexpr uint16_t kPmt = 0x1000;

// A program with H.264 video and AAC audio, built picture by picture.
struct Av {
    explicit Av(bool withAudio = true, bool withVideo = true) {
        std::vector<Stream> streams;
        if (withVideo) streams.push_back({0x1B, kVideo});
        if (withAudio) streams.push_back({0x0F, kAudio});
        for (int i = 0; i < 2; ++i) {
            s.Pat({{1, kPmt}});
            s.Pmt(kPmt, 1, withVideo ? kVideo : kAudio, streams);
        }
    }
    // A picture: AUD with primary_pic_type 0 (I) or 2, IDR or non-IDR slice.
    void Picture(bool audI, bool idr, size_t size = 600) {
        s.Pes(kVideo, 0xE0, vpts, H264Picture(audI, idr, size));
        vpts += 3600;
    }
    void Key() { Picture(true, true); }
    void P(size_t size = 600) { Picture(false, false, size); }
    void Audio(size_t size = 300, bool withLength = true) {
        s.Pes(kAudio, 0xC0, apts, Bytes(size, 0x55), false, withLength);
        apts += 1920;
    }
    Synth s;
    uint64_t vpts = 900000;
    uint64_t apts = 900000;
};

struct SegRun {
    explicit SegRun(tagMvCID cid = kCid, uint32_t flags = 0) : seg(cid, 1, flags, 4096, &sink, &conf) {}
    std::string Feed(const Bytes& ts) {
        return Captured([&] {
            Feeder f(seg);
            f.Feed(ts);
            seg.Flush();
        });
    }
    ITGMainConf conf;
    Sink sink;
    TSSSegmenter seg;
};

uint64_t PesPts(const uint8_t* payload) {
    MvDVBPESHdr h;
    if (!MvDVBParsePES(payload, 184, &h, true)) return 0;
    return h.PTS;
}

// PTS of the audio PES units of the GOP, in index order, with the index position of each.
std::vector<std::pair<size_t, uint64_t>> AudioStarts(const HSCGop* gop) {
    std::vector<std::pair<size_t, uint64_t>> out;
    const auto entries = Entries(gop);
    for (size_t i = 0; i < entries.size(); ++i) {
        const MvTSInfo& e = entries[i];
        if ((e.flags & MV_TSINFO_AUDIO) && (e.flags & MV_TSINFO_PUSI))
            out.push_back({i, PesPts(PacketAt(gop, e) + e.payloadOffset)});
    }
    return out;
}

// Index positions of the video unit starts of the GOP.
std::vector<size_t> VideoStarts(const HSCGop* gop) {
    std::vector<size_t> out;
    const auto entries = Entries(gop);
    for (size_t i = 0; i < entries.size(); ++i)
        if ((entries[i].flags & MV_TSINFO_VIDEO) && (entries[i].flags & MV_TSINFO_PUSI)) out.push_back(i);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Key frames.

TEST(SegmenterSynth, IdrOptionCutsOnlyAtIdrPicturesOnceOneWasSeen) {
    // Pictures: IDR, P, I (not IDR, I-only delimiter), P, IDR, P, IDR, P.
    struct Case {
        bool idr;
        size_t gops;
        int mode;
        std::vector<uint64_t> firstPts;  // picture index of each closed GOP's first picture
    };
    const Case cases[] = {
        {false, 2, 0, {2, 4}},  // every I-only delimiter cuts; the first GOP (0..1) is skipped
        {true, 1, 1, {4}},      // IDR pictures only: 0 opens, 4 skips the first, 6 closes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.idr);
        Av av(false);
        const bool pattern[8][2] = {{true, true},  {false, false}, {true, false}, {false, false},
                                    {true, true},  {false, false}, {true, true},  {false, false}};
        for (const auto& p : pattern) av.Picture(p[0], p[1]);
        SegRun r;
        r.conf.IDR = c.idr;
        r.Feed(av.s.ts);
        ASSERT_EQ(r.sink.gops.size(), c.gops);
        EXPECT_EQ(r.seg.KeyFrameMode(), c.mode);
        for (size_t i = 0; i < c.gops; ++i) {
            EXPECT_EQ(r.sink.gops[i]->pts, 900000 + c.firstPts[i] * 3600);
            EXPECT_EQ(r.sink.gops[i]->gopId, 4097 + i);
        }
    }
}

TEST(SegmenterSynth, RandomAccessIndicatorCutsOnlyOnRProgramChannels) {
    // Pictures without I-only delimiters; every fourth carries the random_access_indicator on a
    // packet that is not a unit start.
    Av av(false);
    for (int i = 0; i < 12; ++i) {
        av.P(400);
        if (i % 4 == 0) {
            const uint8_t filler[182] = {0};
            av.s.Packet(kVideo, false, filler, 182, true);
        }
    }
    for (const uint32_t flags : {0u, HSC_CHANNEL_RPROGRAM}) {
        SCOPED_TRACE(flags);
        SegRun r(kCid, flags);
        r.Feed(av.s.ts);
        if (flags == 0) {
            EXPECT_TRUE(r.sink.gops.empty());
            EXPECT_EQ(r.seg.KeyFrameMode(), 0);
        } else {
            // Marks after pictures 0, 4, 8: the first GOP is skipped at 4, 4..8 is closed.
            ASSERT_EQ(r.sink.gops.size(), 1u);
            EXPECT_EQ(r.seg.KeyFrameMode(), 2);
            // The GOP starts with the marked packet, which is no PES start: no PTS.
            EXPECT_EQ(r.sink.gops[0]->pts, 0u);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Continuity.

TEST(SegmenterSynth, RepeatedCounterIsAcceptedAndAJumpIsOneError) {
    Av av(false);
    av.Key();
    for (int i = 0; i < 3; ++i) av.P();
    av.Key();
    av.P();
    av.Key();
    av.P();
    // Video packets: repeat one packet (same counter), and make one counter jump 5 -> 7.
    Bytes& ts = av.s.ts;
    int video = 0;
    bool repeated = false, jumped = false;
    for (size_t off = 0; off < ts.size(); off += 188) {
        if (PidOf(&ts[off]) != kVideo) continue;
        const int cc = ts[off + 3] & 0x0F;
        if (!repeated && ++video == 3) {
            ts.insert(ts.begin() + static_cast<long>(off + 188), ts.begin() + static_cast<long>(off),
                      ts.begin() + static_cast<long>(off + 188));
            repeated = true;
            off += 188;
            continue;
        }
        if (repeated && !jumped && cc == 6) {
            ts[off + 3] = static_cast<uint8_t>((ts[off + 3] & 0xF0) | 7);
            jumped = true;
        }
    }
    ASSERT_TRUE(jumped);
    SegRun r;
    r.conf.VERBOSE = true;
    const std::string log = r.Feed(ts);
    EXPECT_EQ(CountOf(log, "continuity counter error"), 1) << log;
    EXPECT_EQ(CountOf(log, "continuity counter error PID(256) (5 / 7)"), 1) << log;
    EXPECT_EQ(r.seg.Counters().ccErrors, 1u);
    EXPECT_EQ(r.sink.gops.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Audio placement.

TEST(SegmenterSynth, AudioCompletedDuringTheFirstTwoFramesIsShelvedUntilTheThirdFrame) {
    Av av;
    av.Key();
    av.P();
    av.Key();  // the skipped first GOP ends here; the started GOP begins
    av.Audio();  // a1
    av.Audio();  // a2 starts: a1 complete while frames == 0 -> shelf
    av.P();      // frames 1
    av.Audio();  // a3 starts: a2 complete while frames == 1 -> shelf
    av.P();      // frames 2
    av.Audio();  // a4 starts: shelf (a1, a2) written, then a3
    av.P();
    av.Key();  // closes; a4 is still being collected
    av.Audio();  // a5 starts: a4 complete, frames 0 of the next GOP -> shelf
    av.P();
    av.P();
    av.Audio();  // a6 starts: shelf flush writes a4, then a5 (frames 2) follows
    av.Key();
    SegRun r;
    r.Feed(av.s.ts);
    ASSERT_GE(r.sink.gops.size(), 2u);
    const HSCGop* g = r.sink.gops[0];
    const auto video = VideoStarts(g);
    const auto audio = AudioStarts(g);
    ASSERT_EQ(video.size(), 4u);  // key frame and three more pictures
    ASSERT_EQ(audio.size(), 3u);
    const uint64_t a1 = 900000;
    EXPECT_EQ(audio[0].second, a1);
    EXPECT_EQ(audio[1].second, a1 + 1920);
    EXPECT_EQ(audio[2].second, a1 + 2 * 1920);
    // Nothing of the audio before the third picture; all of it right after its start.
    EXPECT_GT(audio[0].first, video[2]);
    EXPECT_LT(audio[2].first, video[3]);
    // The PES still being collected at the close lands in the next GOP, after its third frame.
    const auto next = AudioStarts(r.sink.gops[1]);
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[0].second, a1 + 3 * 1920);
    EXPECT_EQ(next[1].second, a1 + 4 * 1920);
    EXPECT_GT(next[0].first, VideoStarts(r.sink.gops[1])[2]);
}

TEST(SegmenterSynth, OversizedAudioPesIsDroppedAndTheNextOneKept) {
    Av av;
    av.Key();
    av.P();
    av.Key();
    av.P();
    av.P();
    av.Audio(70000, false);  // more than 65534 PES bytes
    av.Audio(300);           // kept
    av.Audio(300);
    av.P();
    av.Key();
    SegRun r;
    const std::string log = r.Feed(av.s.ts);
    EXPECT_EQ(CountOf(log, "audio PES buffer size for PID(257) exceeds 16-bit value, discarding"), 1) << log;
    ASSERT_EQ(r.sink.gops.size(), 1u);
    const auto audio = AudioStarts(r.sink.gops[0]);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(audio[0].second, 900000u + 1920);
    // A PES whose header does not parse is refused with its message.
    Av bad;
    bad.Key();
    bad.P();
    bad.Key();
    bad.P();
    bad.P();
    const Bytes garbage(100, 0x11);
    bad.s.Packet(kAudio, true, garbage.data(), 100, false);
    bad.Audio();
    bad.Key();
    SegRun r2;
    EXPECT_EQ(CountOf(r2.Feed(bad.s.ts), "could not parse audio PES for PID(257), discarding"), 1);
}

TEST(SegmenterSynth, GopWithoutKeyFrameStopsAt8MiBAndTheChannelGoesOn) {
    Av av;
    av.Key();
    av.P();
    av.Key();
    av.P();
    av.P();
    av.Audio();
    // About 9 MB of pictures without a key frame, audio in between.
    for (int i = 0; i < 50; ++i) {
        av.P(180000);
        av.Audio(1500);
    }
    av.Audio(300);
    av.Key();
    av.P();
    av.Audio();
    av.P();
    av.Audio();
    av.Key();
    SegRun r;
    const std::string log = r.Feed(av.s.ts);
    EXPECT_EQ(CountOf(log, "GOP(4097) overflow..."), 1) << log.substr(0, 3000);
    EXPECT_EQ(CountOf(log, ", GOP(4097) overflow..."), 0);
    EXPECT_GE(CountOf(log, "audio PES for PID(257) would not fit in GOP: GOP size("), 1);
    ASSERT_EQ(r.sink.gops.size(), 2u);
    const HSCGop* big = r.sink.gops[0];
    EXPECT_EQ(big->dataSize, 6241u * MV_GOP_RECORD_SIZE);
    EXPECT_EQ(big->closedSize, big->dataSize);
    EXPECT_EQ(Entries(big).size(), big->tsInfos.size());
    EXPECT_GT(r.sink.writingCleared, 0);
    // The next GOP is whole again.
    EXPECT_EQ(r.sink.gops[1]->gopId, 4098u);
    EXPECT_LT(r.sink.gops[1]->dataSize, 20u * MV_GOP_RECORD_SIZE);
    EXPECT_EQ(r.seg.Counters().overflows, 1u);
}

// ---------------------------------------------------------------------------------------------
// Damaged input and odd programs.

TEST(SegmenterSynth, DamagedPacketsAreReportedAndSkipped) {
    Av av;
    av.Key();
    av.P();
    av.Key();
    av.P();
    Av tail;
    tail.s.m_cc = av.s.m_cc;
    tail.s.ts.clear();
    tail.vpts = av.vpts;
    tail.P();
    tail.Key();
    tail.P();
    tail.Key();

    SegRun r;
    const std::string log = Captured([&] {
        Feeder f(r.seg);
        f.Feed(av.s.ts);
        Bytes bad(188 * 3, 0xFF);
        bad[0] = 0x12;  // not a TS packet
        bad[188] = 0x47;  // adaptation field only, length 184: cannot be parsed
        bad[189] = 0x01;
        bad[190] = 0x00;
        bad[191] = 0x20;
        bad[192] = 184;
        bad[376] = 0x47;  // a null packet, skipped silently
        bad[377] = 0x1F;
        bad[378] = 0xFF;
        bad[379] = 0x10;
        f.Datagram(bad);
        f.Feed(tail.s.ts);
        r.seg.Flush();
    });
    EXPECT_EQ(CountOf(log, "not a TS stream (564 / 3)(0)"), 1) << log;
    EXPECT_EQ(CountOf(log, "TS parsing failed (564 / 3)"), 1) << log;
    EXPECT_GE(r.sink.writingCleared, 1);
    EXPECT_EQ(r.sink.gops.size(), 2u);
}

TEST(SegmenterSynth, ProgramWithoutVideoIsReportedOnceAndRecordsNothing) {
    Av av(true, false);
    for (int i = 0; i < 30; ++i) {
        av.Audio();
        av.s.Pmt(kPmt, 1, kAudio, {{0x0F, kAudio}});
    }
    SegRun r;
    const std::string log = r.Feed(av.s.ts);
    EXPECT_EQ(CountOf(log, "program has no video stream, nothing is recorded"), 1);
    EXPECT_EQ(CountOf(log, "PMT adding failed"), 0);
    EXPECT_EQ(CountOf(log, "PMT detected"), 1);
    EXPECT_TRUE(r.sink.gops.empty());
    EXPECT_EQ(r.seg.CurrentGop(), nullptr);
}

TEST(SegmenterSynth, VideoThatNeverComesKeepsTheAudioShelfBounded) {
    // The PMT names video, but only audio arrives: its PES units wait on the shelf for a third
    // picture that never comes. The shelf never holds more than a GOP could take.
    Av av;
    for (int i = 0; i < 150; ++i) av.Audio(60000);
    SegRun r;
    const std::string log = r.Feed(av.s.ts);
    EXPECT_GE(CountOf(log, "shelved audio PES for PID(257) would not fit in GOP"), 1);
    ASSERT_EQ(r.seg.AudioStates().count(kAudio), 1u);
    const MvAData* a = r.seg.AudioStates().at(kAudio);
    EXPECT_LE(static_cast<uint64_t>(a->shelvedIndex.size() + 6) / 7 * MV_GOP_RECORD_SIZE,
              static_cast<uint64_t>(TSS_AUDIO_FIT_LIMIT));
    EXPECT_TRUE(r.sink.gops.empty());
}

TEST(SegmenterSynth, AudioNamedInThePmtThatNeverComes) {
    Av av;
    av.Key();
    av.P();
    av.Key();
    av.P();
    av.Key();
    SegRun r;
    const std::string log = r.Feed(av.s.ts);
    EXPECT_NE(log.find("PMT parsed, VPID=256 PCR=VPID PROTECTION=FTA APID=257"), std::string::npos) << log;
    ASSERT_EQ(r.sink.gops.size(), 1u);
    EXPECT_TRUE(AudioStarts(r.sink.gops[0]).empty());
    EXPECT_EQ(r.sink.gops[0]->audioPids, std::vector<uint16_t>{kAudio});
}

// ---------------------------------------------------------------------------------------------
// Reception gaps, numbering.

TEST(SegmenterSynth, GopInterruptedByReceptionFailureIsSkippedAndItsNumberReused) {
    Av a;
    a.Key();
    a.P();
    a.Key();
    a.P();
    a.Key();
    a.P();  // GOP 4097 closed at this key frame; GOP 4098 in progress
    Av b;
    b.s.m_cc = a.s.m_cc;
    b.s.ts.clear();
    b.vpts = a.vpts;
    b.P();
    b.Key();  // skipped ("subsequent"), 4098 reused
    b.P();
    b.Key();
    b.P();
    b.Key();
    SegRun r;
    const std::string log = Captured([&] {
        Feeder f(r.seg);
        f.Feed(a.s.ts);
        r.seg.Flush();
        r.seg.ReceiveFailed();
        f.Feed(b.s.ts);
        r.seg.Flush();
    });
    EXPECT_EQ(CountOf(log, "first incomplete live GOP skipped..."), 1);
    EXPECT_EQ(CountOf(log, "subsequent incomplete live GOP skipped..."), 1);
    ASSERT_EQ(r.sink.gops.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(r.sink.gops[i]->gopId, 4097 + i);
}

TEST(SegmenterSynth, RestartNumbersAfterTheGivenStart) {
    Av av(false);
    for (int i = 0; i < 4; ++i) {
        av.Key();
        av.P();
    }
    ITGMainConf conf;
    Sink sink;
    TSSSegmenter seg(kCid, 1, 0, 12345 + 4096, &sink, &conf);
    Captured([&] {
        Feeder f(seg);
        f.Feed(av.s.ts);
        seg.Flush();
    });
    ASSERT_EQ(sink.gops.size(), 2u);
    EXPECT_EQ(sink.gops[0]->gopId, 12345u + 4097);
    // The RTP sequence of the records starts at the low 16 bits of the first number.
    const uint8_t* r = sink.gops[0]->data;
    EXPECT_NE(((r[18] << 8) | r[19]), 0);
}

// ---------------------------------------------------------------------------------------------
// Extra bitrates.

TEST(SegmenterSynth, ExtraBitrateTakesThePrimaryNumbers) {
    struct Case {
        const char* name;
        int32_t waitTime;
        int32_t thresholdTicks;
        int64_t ptsOffset;  // primary PTS minus this stream's
        bool mapped;
        bool kept;
        int lookups;
    };
    const Case cases[] = {
        {"exact", 1, 0, 0, true, true, 1},
        {"within threshold", 1, 90, 90, true, true, 1},
        {"beyond threshold", 1, 90, 180, true, false, 10},
        {"no primary GOP", 2, 0, 0, false, false, 20},
        {"no waiting", 0, 0, 0, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Av av(false);
        for (int i = 0; i < 3; ++i) {
            av.Key();
            av.P();
        }
        SegRun r(MvCIDMake(9, 1, 0));
        r.conf.ABRWAITTIME = c.waitTime;
        r.conf.ABRTHRESHOLDMS = c.thresholdTicks;
        r.conf.VERBOSE = true;
        // The closed GOP starts with the second key frame (picture 2).
        const uint64_t pts = 900000 + 2 * 3600;
        if (c.mapped) r.sink.primary[static_cast<uint64_t>(static_cast<int64_t>(pts) + c.ptsOffset)] = 777;
        const std::string log = r.Feed(av.s.ts);
        EXPECT_EQ(r.sink.lookups, c.lookups);
        EXPECT_EQ(r.sink.pauses, c.lookups > 0 ? c.lookups - 1 : 0);
        if (c.kept) {
            ASSERT_EQ(r.sink.gops.size(), 1u);
            EXPECT_EQ(r.sink.gops[0]->gopId, 777u);
            EXPECT_EQ(r.seg.NextGopId(), 779u);  // 778 went to the GOP opened after it
            EXPECT_NE(log.find("GOP(4097) patched to primary CID GOP(777)"), std::string::npos) << log;
        } else {
            EXPECT_TRUE(r.sink.gops.empty());
            EXPECT_EQ(CountOf(log, "no matching GOP in primary CID for PTS(907200) after ~" +
                                       std::to_string(c.waitTime) + " second(s) of waiting"),
                      1)
                << log;
            EXPECT_EQ(r.seg.Counters().gopsDropped, 1u);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Look-ahead.

TEST(SegmenterSynth, VideoStartWaitsForEnoughOfItsPes) {
    Av av(false);
    SegRun r;
    Feeder f(r.seg);
    Captured([&] { f.Feed(av.s.ts); });  // tables
    ASSERT_TRUE(r.seg.ProgramKnown());
    // Once the video PID is known, packets wait for video: the second table occurrence stays.
    const size_t q0 = r.seg.QueuedPackets();
    EXPECT_EQ(q0, 2u);
    // A picture start with 500 bytes of its PES: held back.
    Synth pic;
    pic.m_cc = av.s.m_cc;
    pic.ts.clear();
    pic.Pes(kVideo, 0xE0, 900000, H264Picture(true, true, 2000));
    const Bytes first(pic.ts.begin(), pic.ts.begin() + 188 * 3);
    const Bytes rest(pic.ts.begin() + 188 * 3, pic.ts.end());
    Captured([&] { f.Datagram(first); });
    EXPECT_EQ(r.seg.QueuedPackets(), q0 + 3);
    EXPECT_EQ(r.seg.CurrentGop(), nullptr);
    // More than 1024 bytes of it: handled.
    Captured([&] { f.Datagram(rest); });
    EXPECT_NE(r.seg.CurrentGop(), nullptr);
    EXPECT_EQ(r.seg.Frames(), 1);
    // A lone start with less behind it waits ...
    Synth next;
    next.m_cc = pic.m_cc;
    next.Pes(kVideo, 0xE0, 903600, H264Picture(false, false, 300));
    Captured([&] { f.Datagram(next.ts); });
    EXPECT_EQ(r.seg.Frames(), 1);
    // ... until a packet arrives 1.001 s after the head.
    f.m_now.tv_sec += 2;
    Synth pat;
    pat.Pat({{1, kPmt}});
    Captured([&] { f.Datagram(pat.ts); });
    EXPECT_EQ(r.seg.QueuedPackets(), 1u);  // the newest packet itself
    EXPECT_EQ(r.seg.Frames(), 2);
}

// ---------------------------------------------------------------------------------------------
// Conditional access and the program description.

TEST(SegmenterSynth, ConditionalAccessDescriptorsAndDescription) {
    auto ca = [](uint16_t system, uint16_t pid) {
        return Bytes{0x09, 0x04, static_cast<uint8_t>(system >> 8), static_cast<uint8_t>(system),
                     static_cast<uint8_t>(0xE0 | (pid >> 8)), static_cast<uint8_t>(pid)};
    };
    const Bytes marker{0x0F, 0x04, 0x7A, 0x61, 0x76, 0x63};
    struct Case {
        const char* name;
        Bytes programInfo;
        Bytes audioInfo;
        std::vector<std::string> lines;
        uint16_t ecm;
        std::string description;
    };
    const Case cases[] = {
        {"verimatrix", ca(0x5601, 0x200), {}, {"VeriMatrix (5601:512) found in PMT"}, 0x200,
         "VPID=256 PCR=VPID PROTECTION=VeriMatrix(512) APIDs=(257,258)"},
        {"other system", ca(0x0B00, 0x201), ca(0x0B00, 0x202),
         {"unsupported CA (0b00:513) found in PMT", "unsupported CA (0b00:514) found in Stream(15) with PID(257)"},
         MV_PID_NONE, "VPID=256 PCR=VPID PROTECTION=Scrambled/Unknown APIDs=(257,258)"},
        {"protection marker", marker, {}, {}, 1, "VPID=256 PCR=VPID PROTECTION=FTA APIDs=(257,258)"},
        {"CA on the video PID is ignored", ca(0x5601, kVideo), {}, {}, MV_PID_NONE,
         "VPID=256 PCR=VPID PROTECTION=FTA APIDs=(257,258)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Synth s;
        for (int i = 0; i < 2; ++i) {
            s.Pat({{1, kPmt}});
            s.Pmt(kPmt, 1, kVideo, {{0x1B, kVideo}, {0x0F, kAudio}, {0x03, 0x102}}, c.programInfo, {{}, c.audioInfo});
        }
        // Two ECM occurrences on PID 0x200 (the second completes the first).
        const Bytes ecm(184, 0x80);
        s.Packet(0x200, true, ecm.data(), 184, false);
        s.Packet(0x200, true, ecm.data(), 184, false);
        uint64_t pts = 900000;
        for (int i = 0; i < 6; ++i, pts += 3600) s.Pes(kVideo, 0xE0, pts, H264Picture(i % 2 == 0, i % 2 == 0));
        SegRun r;
        const std::string log = r.Feed(s.ts);
        for (const std::string& line : c.lines) EXPECT_EQ(CountOf(log, line), 1) << line << "\n" << log;
        EXPECT_EQ(r.seg.PidData().ecmPid, c.ecm);
        EXPECT_NE(log.find("PMT parsed, " + c.description), std::string::npos) << log;
        ASSERT_EQ(r.sink.gops.size(), 1u);
        EXPECT_EQ(r.sink.gops[0]->ecmPid, c.ecm);
        EXPECT_EQ(r.sink.gops[0]->ecmPackets.GetLength(), c.ecm == 0x200 ? 188 : 0);
        EXPECT_EQ(r.seg.AudioStates().size(), 2u);
    }
}
