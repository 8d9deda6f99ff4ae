// Accessors of synthetic GOPs: item framing, PTS values, audio records and their cut flag, and
// damaged input (truncated PES headers, bogus index offsets, empty GOPs, garbage PMTs), some of
// it in a GOP whose data ends at an inaccessible page so that any over-read faults.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "accessor_helpers.h"

using namespace acctest;

namespace {

constexpr uint16_t kVideo = 0x100;
constexpr uint16_t kAac = 0x101;
constexpr uint16_t kAc3 = 0x102;

Program TwoAudioProgram() { return SynthProgram({{0x0F, kAac, "eng"}, {0x81, kAc3, "ger"}}); }

// A GOP of the given packets, written by the segmenter-like writer.
HSCGop* MakeGop(const Program& program, const std::vector<Bytes>& parts) {
    GopWriter writer(program);
    writer.Open();
    for (const Bytes& p : parts) writer.Add(p);
    return writer.Close();
}

Bytes Video(int64_t pts, size_t payload, int64_t dts = -1) {
    return PesPackets(kVideo, PesHeader(0xE0, pts, dts), payload);
}
Bytes Audio(uint16_t pid, int64_t pts, size_t payload) {
    return PesPackets(pid, PesHeader(0xC0, pts), payload);
}
Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
size_t Packets(const Bytes& b) { return b.size() / 188; }

// The type-1 runs of accessor 1 as (first entry, count).
std::vector<std::pair<uint32_t, uint32_t>> Runs(HSCGop* gop) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const MvSeqEntry& e : Acc(gop, MV_ACC_FULL)->entries)
        if (e.type == MV_SEQ_PACKETS) runs.emplace_back(e.a, e.b);
    return runs;
}

std::vector<MvAccTiming> Timings(HSCGop* gop) {
    std::vector<MvAccTiming> out;
    const MvAccessor* full = Acc(gop, MV_ACC_FULL);
    for (const MvSeqEntry& e : EntriesOfType(full, MV_SEQ_TIMING)) {
        MvAccTiming t;
        EXPECT_TRUE(MvAccessorReadTiming(*full, e, &t));
        out.push_back(t);
    }
    return out;
}

std::vector<MvAccVideoPes> VideoRecords(HSCGop* gop) {
    std::vector<MvAccVideoPes> out;
    const MvAccessor* acc = Acc(gop, MV_ACC_VPES);
    for (const MvSeqEntry& e : EntriesOfType(acc, MV_SEQ_VIDEOPES)) {
        MvAccVideoPes r;
        EXPECT_TRUE(MvAccessorReadVideoPes(*acc, e, &r));
        out.push_back(r);
    }
    return out;
}

std::vector<MvAccAudioPes> AudioRecords(HSCGop* gop) {
    std::vector<MvAccAudioPes> out;
    const MvAccessor* acc = Acc(gop, MV_ACC_APES);
    for (const MvSeqEntry& e : acc->entries) {
        MvAccAudioPes r;
        EXPECT_TRUE(MvAccessorReadAudioPes(*acc, e, &r));
        out.push_back(r);
    }
    return out;
}

MvAccSummary Summary(HSCGop* gop) {
    MvAccSummary s;
    const MvAccessor* acc = Acc(gop, MV_ACC_VPES);
    EXPECT_FALSE(acc->entries.empty());
    if (!acc->entries.empty()) {
        EXPECT_TRUE(MvAccessorReadSummary(*acc, acc->entries.back(), &s));
    }
    return s;
}

// Moves a GOP's data into a mapping that ends exactly at dataSize and is followed by an
// inaccessible page. dataSize must be a multiple of the page size (64 records are 21 pages).
class GuardedData {
public:
    explicit GuardedData(HSCGop* gop) {
        EXPECT_EQ(gop->dataSize % 4096, 0u);
        void* m = mmap(nullptr, gop->dataSize + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        auto* p = static_cast<uint8_t*>(m);
        memcpy(p, gop->data, gop->dataSize);
        EXPECT_EQ(mprotect(p + gop->dataSize, 4096, PROT_NONE), 0);
        munmap(gop->data, gop->mappedSize);
        gop->data = p;
        gop->mappedSize = gop->dataSize;
        m_guard = p + gop->dataSize;
    }
    ~GuardedData() { munmap(m_guard, 4096); }

private:
    uint8_t* m_guard;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

TEST(AccessorPts, ValueFromTimeStamps) {
    struct Case {
        const char* name;
        int64_t pts, dts;
        uint64_t previous, expected;
    };
    const uint64_t top = 0x1FFFFFFFFull;
    const Case cases[] = {
        {"PTS only, bit 0 cleared", 90001, -1, 0, 90000},
        {"DTS 3600 before PTS", 93600, 90000, 0, 93600 | (3600ull << 33)},
        {"difference of 65536 is left out", 90000 + 65536, 90000, 0, 90000 + 65536},
        {"DTS after PTS is left out", 90000, 93600, 0, 90000},
        {"PTS wrapped past DTS", 100, static_cast<int64_t>(top - 3499), 0, 100 | (3600ull << 33)},
        {"no PTS: previous + 900", -1, -1, 90000, 90900},
        {"no PTS after a value with a DTS part", -1, -1, 93600 | (3600ull << 33), 94500},
        {"no PTS at the first frame", -1, -1, 0, 900},
        {"no PTS wraps at 33 bits", -1, -1, top - 1, 898},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes h = PesHeader(0xE0, c.pts, c.dts);
        MvDVBPESHdr hdr;
        ASSERT_TRUE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &hdr, true));
        EXPECT_EQ(MvAccessorPtsValue(hdr, c.previous), c.expected);
    }
}

TEST(AccessorAudio, CodecKindAndLanguage) {
    const std::pair<uint32_t, uint16_t> kinds[] = {{0x03, 3}, {0x04, 3}, {0x0F, 2}, {0x11, 2},
                                                   {0x81, 1}, {0x8A, 1}, {0x06, 3}, {0x05, 3}};
    for (const auto& k : kinds) EXPECT_EQ(MvAudioCodecKind(k.first), k.second) << k.first;

    struct Case {
        std::vector<MvDVBDesc> descs;
        uint16_t expected;
    };
    const uint8_t eng[] = {'e', 'n', 'g', 0}, fre[] = {'F', 'R', 'E', 1}, two[] = {'e', 'n', 'g', 0, 'd', 'e', 'u', 0},
                  unknown[] = {'q', 'q', 'q', 0};
    const Case cases[] = {
        {{MvDVBDesc(10, eng, 4)}, 38},
        {{MvDVBDesc(5, eng, 4), MvDVBDesc(10, fre, 4)}, 188},  // the ISO 639 descriptor, not the first
        {{MvDVBDesc(10, two, 8)}, 0},                          // two languages: not exactly 4 bytes
        {{MvDVBDesc(10, eng, 3)}, 0},
        {{MvDVBDesc(10, unknown, 4)}, 0},
        {{}, 0},
    };
    for (const Case& c : cases) {
        MvDVBStrm s;
        for (const MvDVBDesc& d : c.descs) s.descriptors.push_back(d.Duplicate());
        EXPECT_EQ(MvAudioLanguage(s), c.expected);
    }
}

// ---------------------------------------------------------------------------------------------

// A frame group of 15 packets gets runs of 7, 7 and 1 packets with big-endian lengths, while
// the PMT item's length is little-endian.
TEST(AccessorFraming, FifteenPacketGroupAndLengthByteOrder) {
    const Program prog = TwoAudioProgram();
    const Bytes first = Video(90000, 15 * 184 - 14);  // 14-byte header: exactly 15 packets
    ASSERT_EQ(Packets(first), 15u);
    HSCGop* gop = MakeGop(prog, {first, Video(93600, 100)});
    gop->MvBuildAccessors();

    const std::vector<std::pair<uint32_t, uint32_t>> expected{{0, 7}, {7, 7}, {14, 1}, {15, 1}};
    EXPECT_EQ(Runs(gop), expected);
    const MvAccessor* full = Acc(gop, MV_ACC_FULL);
    const uint8_t* b = full->buffer.GetData();
    std::vector<Bytes> headers;
    for (size_t k = 0; k + 1 < full->entries.size(); ++k)
        if (full->entries[k + 1].type == MV_SEQ_PACKETS)
            headers.emplace_back(b + full->entries[k].a, b + full->entries[k].a + 4);
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[0], (Bytes{0x24, 0x00, 0x05, 0x24}));  // 1316
    EXPECT_EQ(headers[1], (Bytes{0x24, 0x00, 0x05, 0x24}));
    EXPECT_EQ(headers[2], (Bytes{0x24, 0x00, 0x00, 0xBC}));  // 188
    ASSERT_EQ(prog.pmt.size(), 188u);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x24, 0x05, 0xBC, 0x00}));

    // The first PES's payload: 15 x 184 minus its 14-byte header.
    const std::vector<MvAccVideoPes> video = VideoRecords(gop);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].headerLength, 14u);
    EXPECT_EQ(video[0].payloadLength, 15u * 184 - 14);
    delete gop;
}

// A PES without PTS takes the previous frame's value + 900, in accessor 1 and accessor 4.
TEST(AccessorPts, PesWithoutPtsInAGop) {
    const Program prog = TwoAudioProgram();
    HSCGop* gop = MakeGop(prog, {Video(-1, 500), Video(90000, 500), Video(-1, 500), Video(-1, 200)});
    gop->pts = 0;
    gop->MvBuildAccessors();
    const std::vector<uint64_t> expected{900, 90000, 90900, 91800};
    const std::vector<MvAccTiming> timings = Timings(gop);
    const std::vector<MvAccVideoPes> video = VideoRecords(gop);
    ASSERT_EQ(timings.size(), expected.size());
    ASSERT_EQ(video.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(timings[k].pts, expected[k]);
        EXPECT_EQ(timings[k].sequence, gop->gopId * 1024 + k);
        EXPECT_EQ(video[k].pts, expected[k]);
    }
    EXPECT_EQ(gop->pts, 900u) << "the GOP's PTS was not known";
    delete gop;
}

// Packets before the first video PES start belong to no frame group; audio payload before the
// first PES start of its PID is only counted.
TEST(AccessorGroups, PacketsBeforeTheFirstVideoStart) {
    const Program prog = TwoAudioProgram();
    const Bytes filler(184, 0x11);
    const Bytes leading = Concat({TsPacket(kAac, false, filler.data(), 184), TsPacket(kVideo, false, filler.data(), 184),
                                  prog.pat, TsPacket(kAac, false, filler.data(), 100)});
    HSCGop* gop = MakeGop(prog, {leading, Video(90000, 400), Audio(kAac, 90000, 200)});
    const std::string log = BuildCapturingLog(gop);
    EXPECT_EQ(log.find("[E]"), std::string::npos) << log;

    const auto runs = Runs(gop);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.front().first, 4u);
    EXPECT_EQ(runs.back().first + runs.back().second, gop->tsInfos.size());
    EXPECT_EQ(VideoRecords(gop).size(), 1u);  // no record for the leading video fragment
    const MvAccSummary s = Summary(gop);
    EXPECT_EQ(s.continuationBytes, 184u + 100u);
    EXPECT_EQ(s.videoPes, 1u);
    delete gop;
}

// Audio records stand in the order the PES units start, across PIDs; the PES still open at the
// GOP's end carry the cut flag and count only in the cut-off sum.
TEST(AccessorAudio, RecordsInStartOrderWithCutFlag) {
    const Program prog = TwoAudioProgram();
    HSCGop* gop = MakeGop(prog, {Video(90000, 1000), Audio(kAac, 90100, 300), Audio(kAc3, 90200, 500),
                                 Video(93600, 800), Audio(kAac, 92020, 250)});
    gop->MvBuildAccessors();
    const std::vector<MvAccAudioPes> audio = AudioRecords(gop);
    ASSERT_EQ(audio.size(), 3u);
    struct Want {
        uint64_t pts;
        uint8_t index, codec, language;
        uint32_t payload;
        uint8_t cut;
    };
    const Want want[] = {{90100, 0, 2, 38, 300, 0}, {90200, 1, 1, 189, 500, 1}, {92020, 0, 2, 38, 250, 1}};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(audio[k].Pts(), want[k].pts);
        EXPECT_EQ(audio[k].AudioIndex(), want[k].index);
        EXPECT_EQ(audio[k].CodecKind(), want[k].codec);
        EXPECT_EQ(audio[k].Language(), want[k].language);
        EXPECT_EQ(audio[k].headerLength, 14u);
        EXPECT_EQ(audio[k].payloadLength, want[k].payload);
        EXPECT_EQ(audio[k].cut, want[k].cut);
    }
    const MvAccSummary s = Summary(gop);
    EXPECT_EQ(s.audioPes, 1u);
    EXPECT_EQ(s.audioBytes, 300u + 12);
    EXPECT_EQ(s.cutAudioBytes, 500u + 12 + 250 + 12);
    EXPECT_EQ(s.videoPes, 2u);
    EXPECT_EQ(s.videoBytes, 1000u + 12 + 800 + 12);
    delete gop;
}

// An audio PES whose header does not parse is logged and keeps a neutral record (its stream, no
// time, no lengths) so that records still match PES starts one to one; a PES start with no
// bytes at the GOP's end is cut too.
TEST(AccessorAudio, UnparsablePesAndEmptyOpenPes) {
    const Program prog = TwoAudioProgram();
    Bytes bad = Audio(kAac, 90000, 300);
    bad[4 + 2] = 0x02;  // start code 00 00 02
    const Bytes emptyStart = TsPacket(kAc3, true, nullptr, 0);
    HSCGop* gop = MakeGop(prog, {Video(90000, 1000), bad, Audio(kAac, 91000, 300), emptyStart});
    const std::string log = BuildCapturingLog(gop);
    EXPECT_EQ(CountOf(log, "[E] [ACC] CID(3)(1)(7) error parsing Audio PES"), 1) << log;

    const std::vector<MvAccAudioPes> audio = AudioRecords(gop);
    ASSERT_EQ(audio.size(), 3u);
    EXPECT_EQ(audio[0].stamp, (uint64_t{0} << 40) | (uint64_t{2} << 48) | (uint64_t{38} << 56));
    EXPECT_EQ(audio[0].headerLength, 0u);
    EXPECT_EQ(audio[0].payloadLength, 0u);
    EXPECT_EQ(audio[0].cut, 0);
    EXPECT_EQ(audio[1].Pts(), 91000u);
    EXPECT_EQ(audio[1].cut, 1);
    EXPECT_EQ(audio[2].AudioIndex(), 1);
    EXPECT_EQ(audio[2].payloadLength, 0u);
    EXPECT_EQ(audio[2].cut, 1);
    const MvAccSummary s = Summary(gop);
    EXPECT_EQ(s.audioPes, 0u);
    EXPECT_EQ(s.audioBytes, 0u);
    EXPECT_EQ(s.cutAudioBytes, 300u + 12);
    delete gop;
}

// An audio packet whose PID is not an audio stream of the GOP's PMT is logged and skipped; a
// PMT that does not parse gives no audio streams at all.
TEST(AccessorAudio, PidNotInThePmt) {
    const Program prog = TwoAudioProgram();
    GopWriter writer(prog);
    writer.Open();
    writer.Add(Video(90000, 1000));
    writer.Add(Audio(kAac, 90000, 100));
    HSCGop* gop = writer.Close();
    // Packet 6 is the AAC start: point its PID elsewhere.
    ASSERT_TRUE(gop->tsInfos[6].flags & MV_TSINFO_AUDIO);
    uint8_t* pkt = gop->data + gop->tsInfos[6].packetOffset;
    pkt[1] = static_cast<uint8_t>((pkt[1] & 0xE0) | 0x01);
    pkt[2] = 0xFF;
    std::string log = BuildCapturingLog(gop);
    EXPECT_EQ(CountOf(log, "[W] [DBG] CID(3)(1)(7) GOP(100) audio not found in map: PID(511)"), 1) << log;
    EXPECT_TRUE(AudioRecords(gop).empty());
    EXPECT_EQ(Summary(gop).continuationBytes, 0u);
    delete gop;

    gop = MakeGop(prog, {Video(90000, 1000), Audio(kAac, 90000, 100)});
    memset(gop->pmtPackets.GetData() + 5, 0x5A, 20);  // breaks the section and its CRC
    log = BuildCapturingLog(gop);
    EXPECT_EQ(CountOf(log, "audio not found in map: PID(257)"), 1) << log;
    EXPECT_TRUE(AudioRecords(gop).empty());
    delete gop;
}

// ---------------------------------------------------------------------------------------------

// A PES header cut short drops its frame group with an error in accessor 1 and accessor 4;
// the following group is kept.
TEST(AccessorDamage, TruncatedVideoPesHeader) {
    const Program prog = TwoAudioProgram();
    struct Case {
        const char* name;
        Bytes payload;
    };
    const Case cases[] = {
        {"six bytes", {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00}},
        {"PTS flagged but missing", {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80}},
        {"header length past the data", {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x40, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes cutShort = TsPacket(kVideo, true, c.payload.data(), c.payload.size());
        HSCGop* gop = MakeGop(prog, {cutShort, Video(93600, 500)});
        const std::string log = BuildCapturingLog(gop);
        const int expectedErrors = std::string(c.name) == "header length past the data" ? 1 : 2;
        EXPECT_EQ(CountOf(log, "[E] [ACC] CID(3)(1)(7) error parsing Video PES"), expectedErrors) << log;
        const std::vector<MvAccTiming> timings = Timings(gop);
        ASSERT_EQ(timings.size(), expectedErrors == 2 ? 1u : 2u);
        EXPECT_EQ(timings.back().pts, 93600u);
        EXPECT_EQ(VideoRecords(gop).size(), 1u);
        EXPECT_EQ(Runs(gop).front().first, expectedErrors == 2 ? 1u : 0u);
        delete gop;
    }
}

// Index entries pointing at or past the end of the data are left out, payload offsets above
// 188 count as 4, and a record offset past the data gives no receive time. The data ends at an
// inaccessible page, so any read past it would fault.
TEST(AccessorDamage, BogusIndexOffsetsInAGuardedGop) {
    const Program prog = TwoAudioProgram();
    // 64 records (448 packets): 21 whole pages.
    const Bytes video = Video(90000, 440 * 184 - 14);
    const Bytes audio = Audio(kAac, 90000, 7 * 184 - 14);
    ASSERT_EQ(Packets(video) + Packets(audio), 447u);
    HSCGop* gop = MakeGop(prog, {video, audio, TsPacket(kAac, false, video.data() + 4, 184)});
    ASSERT_EQ(gop->dataSize, 64u * MV_GOP_RECORD_SIZE);
    GuardedData guard(gop);
    std::vector<MvTSInfo>& idx = gop->tsInfos;
    idx[0].recordOffset = gop->dataSize - 8;  // the receive time would run past the data
    idx[5].packetOffset = gop->dataSize - 100;
    idx[6].packetOffset = 0xFFFFFFF0u;
    idx[7].packetOffset = gop->dataSize;
    idx[8].payloadOffset = 250;    // counts as 4: the whole payload, as before
    idx[9].payloadOffset = 188;    // no payload
    idx[446].payloadOffset = 188;  // the AAC PES's last packet: no payload
    idx[447].payloadOffset = 250;  // the continuation ending at the guard page: 184 bytes

    const std::string log = BuildCapturingLog(gop);
    EXPECT_EQ(log.find("[E]"), std::string::npos) << log;
    const auto runs = Runs(gop);
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[0], (std::pair<uint32_t, uint32_t>{0, 5}));
    EXPECT_EQ(runs[1], (std::pair<uint32_t, uint32_t>{8, 7}));
    uint32_t covered = 0;
    for (const auto& r : runs) covered += r.second;
    EXPECT_EQ(covered, 448u - 3);
    const std::vector<MvAccTiming> timings = Timings(gop);
    ASSERT_EQ(timings.size(), 1u);
    EXPECT_EQ(timings[0].receiveTime, 0u);

    // The video PES lost the payload of the three packets left out and of packet 9.
    const std::vector<MvAccVideoPes> v = VideoRecords(gop);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].payloadLength, 440u * 184 - 14 - 4 * 184);
    // The AAC PES lost its last packet's payload and gained the continuation's.
    const std::vector<MvAccAudioPes> a = AudioRecords(gop);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payloadLength, 7u * 184 - 14);
    EXPECT_EQ(a[0].cut, 1);
    delete gop;
}

// Empty and index-less GOPs still get their five accessors; the messages name what is missing.
TEST(AccessorDamage, EmptyGops) {
    const Program prog = TwoAudioProgram();
    struct Case {
        const char* name;
        bool index;    // an index is present
        bool data;     // the data is present
        uint32_t version;
        std::vector<const char*> messages;
    };
    const Case cases[] = {
        {"no data, no index", false, false, 1, {"[E] [MVGA] Empty TS infos"}},
        {"index without data", true, false, 1, {}},
        {"version 0", false, false, 0, {"[E] [MVGA] Accessors V0", "[E] [MVGA] Empty TS infos"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HSCGop* gop = MakeGop(prog, {Video(90000, 1000), Audio(kAac, 90000, 100)});
        gop->pts = 0;
        if (!c.index) gop->tsInfos.clear();
        if (!c.data) {
            gop->dataSize = 0;
            gop->ReAlloc();
        }
        gop->accessorVersion = c.version;
        const std::string log = BuildCapturingLog(gop);
        for (const char* m : c.messages) EXPECT_EQ(CountOf(log, m), 1) << log;
        EXPECT_EQ(CountOf(log, "[E]"), static_cast<int>(c.messages.size())) << log;
        ASSERT_EQ(gop->accessors.size(), 5u);
        const MvAccessor* full = Acc(gop, MV_ACC_FULL);
        ASSERT_EQ(full->entries.size(), 1u);  // the PMT item only
        EXPECT_EQ(full->buffer.GetLength(), 4 + 188);
        const MvAccessor* fast = Acc(gop, MV_ACC_FAST);
        EXPECT_EQ(fast->entries.size(), 1u);
        EXPECT_EQ(fast->buffer.GetLength(), 4 + 188);
        EXPECT_TRUE(Acc(gop, MV_ACC_VPTS)->entries.empty());
        EXPECT_TRUE(Acc(gop, MV_ACC_APES)->entries.empty());
        ASSERT_EQ(Acc(gop, MV_ACC_VPES)->entries.size(), 1u);
        const MvAccSummary s = Summary(gop);
        EXPECT_EQ(s.videoPes + s.audioPes + s.videoBytes + s.audioBytes + s.cutAudioBytes +
                      s.continuationBytes + s.fastVideoBytes,
                  0u);
        EXPECT_EQ(gop->pts, 0u);
        delete gop;
    }
}

// A PMT buffer longer than the item's 16-bit length field allows is cut to whole packets.
TEST(AccessorDamage, OversizedPmtBuffer) {
    const Program prog = TwoAudioProgram();
    HSCGop* gop = MakeGop(prog, {Video(90000, 1000)});
    const Bytes extra(70000 - 188, 0xFF);
    gop->pmtPackets.Add(extra.data(), static_cast<int>(extra.size()));
    gop->MvBuildAccessors();
    const MvAccessor* full = Acc(gop, MV_ACC_FULL);
    EXPECT_EQ(full->entries[0].b, 65424u + 4);
    EXPECT_EQ(LE(full->buffer.GetData() + 2, 2), 65424u);
    EXPECT_EQ(full->entries[1].a, 65424u + 4);
    EXPECT_EQ(full->entries[1].type, MV_SEQ_TIMING);
    EXPECT_EQ(AudioRecords(gop).size(), 0u);
    delete gop;
}

// Building again logs that accessors exist and rebuilds them instead of appending to them; an
// accessor of another id makes the count check complain.
TEST(AccessorBuild, RebuildAndCountCheck) {
    const Program prog = TwoAudioProgram();
    HSCGop* gop = MakeGop(prog, {Video(90000, 1000), Audio(kAac, 90000, 300), Video(93600, 500)});
    gop->MvBuildAccessors();
    std::vector<Bytes> buffers;
    std::vector<size_t> counts;
    for (const auto& a : gop->accessors) {
        buffers.emplace_back(a.second->buffer.GetData(), a.second->buffer.GetData() + a.second->buffer.GetLength());
        counts.push_back(a.second->entries.size());
    }
    std::string log = BuildCapturingLog(gop);
    EXPECT_EQ(CountOf(log, "[E] [MVGA] Accessors exist in GOP"), 1) << log;
    for (const char* id : {"1", "3", "4", "5"})
        EXPECT_EQ(CountOf(log, std::string("[E] [MVGA] Accessor with ID=") + id + " already exists!"), 1) << log;
    EXPECT_EQ(CountOf(log, "ID=2 already"), 0);
    EXPECT_EQ(CountOf(log, "Invalid number"), 0);
    size_t k = 0;
    for (const auto& a : gop->accessors) {
        EXPECT_EQ(Bytes(a.second->buffer.GetData(), a.second->buffer.GetData() + a.second->buffer.GetLength()),
                  buffers[k]);
        EXPECT_EQ(a.second->entries.size(), counts[k]);
        ++k;
    }

    gop->MvAccessorAllocate(9, false);
    log = BuildCapturingLog(gop);
    EXPECT_EQ(CountOf(log, "[E] [MVGA] Invalid number of accessors exist in GOP"), 1) << log;
    delete gop;
}

// With fewer frame groups than the fast limit, accessor 2 is all of accessor 1.
TEST(AccessorBuild, FastAccessorOfAOneFrameGop) {
    const Program prog = TwoAudioProgram();
    SecondField secondField(true);
    HSCGop* gop = MakeGop(prog, {Video(90000, 1000), Audio(kAac, 90000, 300)});
    gop->MvBuildAccessors();
    const MvAccessor* full = Acc(gop, MV_ACC_FULL);
    const MvAccessor* fast = Acc(gop, MV_ACC_FAST);
    EXPECT_EQ(fast->entries.size(), full->entries.size());
    EXPECT_EQ(fast->buffer.GetLength(), full->buffer.GetLength());
    delete gop;
}
