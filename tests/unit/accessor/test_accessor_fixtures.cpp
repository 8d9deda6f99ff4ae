// Accessors of GOPs cut from the ffmpeg fixtures, checked against what the fixture itself holds:
// the GOP's packets are walked again here, independently of the builder, to find every video
// and audio PES with its whole bytes, and the accessors must agree with that walk.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "accessor_helpers.h"
#include "mvtime.h"

using namespace acctest;

namespace {

struct RefPes {
    uint16_t pid = 0;
    Bytes bytes;
    bool open = true;  // no later PES start of its PID in the GOP
};

// What the GOP holds, found by walking its source packets.
struct Reference {
    std::vector<size_t> groupStarts;  // index entries that start a video PES
    std::vector<Bytes> video;         // each video PES, whole
    std::vector<RefPes> audio;        // each audio PES, in the order they start
    uint64_t continuation = 0;        // audio payload before the first start of its PID
};

Reference Walk(const CutGop& cut, const Program& program) {
    Reference ref;
    std::map<uint16_t, size_t> current;  // audio PID -> its PES being collected
    MvDVBTSPacket pkt;
    for (size_t k = 0; k < cut.packets.size(); ++k) {
        EXPECT_TRUE(MvDVBParseTS(cut.packets[k], &pkt));
        const Bytes payload(pkt.payload, pkt.payload + pkt.payload_length);
        if (pkt.PID == program.pids.videoPid) {
            if (pkt.payload_unit_start_indicator) {
                ref.groupStarts.push_back(k);
                ref.video.emplace_back();
            }
            if (!ref.video.empty()) ref.video.back().insert(ref.video.back().end(), payload.begin(), payload.end());
        }
        for (uint16_t a : program.pids.audioPids) {
            if (pkt.PID != a) continue;
            if (pkt.payload_unit_start_indicator) {
                auto it = current.find(a);
                if (it != current.end()) ref.audio[it->second].open = false;
                current[a] = ref.audio.size();
                ref.audio.push_back(RefPes{a, {}, true});
            }
            auto it = current.find(a);
            if (it == current.end())
                ref.continuation += payload.size();
            else
                ref.audio[it->second].bytes.insert(ref.audio[it->second].bytes.end(), payload.begin(),
                                                   payload.end());
        }
    }
    return ref;
}

struct ParsedPes {
    MvDVBPESHdr hdr;
    uint32_t headerLength;
    uint32_t payloadLength;
};
ParsedPes ParseWhole(const Bytes& pes) {
    ParsedPes p{};
    EXPECT_TRUE(MvDVBParsePES(pes.data(), static_cast<int>(pes.size()), &p.hdr, false));
    p.headerLength = static_cast<uint32_t>(p.hdr.payload - pes.data());
    p.payloadLength = static_cast<uint32_t>(p.hdr.payload_length);
    return p;
}

// The PTS value, computed here from the header fields.
uint64_t ExpectedPtsValue(const MvDVBPESHdr& h, uint64_t previous) {
    if (h.PTS_DTS_flags < 2) return ((previous & 0x1FFFFFFFFull) + 900) & 0x1FFFFFFFEull;
    uint64_t v = h.PTS & 0x1FFFFFFFEull;
    if (h.PTS_DTS_flags == 3 && v >= h.DTS && v - h.DTS < 65536) v |= (v - h.DTS) << 33;
    return v;
}

struct FixtureCase {
    const char* file;
    uint16_t program;   // 0: the first
    uint16_t codec;     // codec kind of its audio
    uint16_t language;  // language number of its audio
};

std::ostream& operator<<(std::ostream& os, const FixtureCase& c) {
    return os << c.file << "/" << c.program;
}

class AccessorFixture : public ::testing::TestWithParam<FixtureCase> {
protected:
    void SetUp() override {
        ts = dvbtest::LoadFixture(GetParam().file);
        ASSERT_FALSE(ts.empty());
        ASSERT_TRUE(FindProgram(ts, GetParam().program, &program));
        ASSERT_EQ(program.pids.audioPids.size(), 1u);
        gops = CutIntoGops(ts, program);
        // Three seconds of one-second GOPs: three whole GOPs, possibly a short tail.
        ASSERT_GE(gops.size(), 3u);
    }
    void TearDown() override { FreeGops(gops); }

    Bytes ts;
    Program program;
    std::vector<CutGop> gops;
};

}  // namespace

TEST_P(AccessorFixture, AccessorsAgreeWithTheGopsPackets) {
    SecondField secondField(true);
    int cutRecords = 0, completeRecords = 0;
    for (CutGop& cut : gops) {
        HSCGop* gop = cut.gop;
        const uint64_t segmenterPts = gop->pts;
        const std::string log = BuildCapturingLog(gop);
        EXPECT_EQ(log.find("[E]"), std::string::npos) << log;
        EXPECT_EQ(log.find("[W]"), std::string::npos) << log;
        ASSERT_EQ(gop->accessors.size(), 5u);
        const Reference ref = Walk(cut, program);
        ASSERT_FALSE(ref.groupStarts.empty());
        ASSERT_EQ(ref.groupStarts.front(), 0u) << "a GOP starts at its key frame";

        // Accessor 1: the PMT item, little-endian length, then one frame group per video PES.
        MvAccessor* full = Acc(gop, MV_ACC_FULL);
        ASSERT_NE(full, nullptr);
        EXPECT_EQ(full->headerCount, 1);
        const uint8_t* buf = full->buffer.GetData();
        const size_t pmtSize = program.pmt.size();
        ASSERT_GE(full->entries.size(), 1u);
        EXPECT_EQ(full->entries[0].type, MV_SEQ_BUFFER);
        EXPECT_EQ(full->entries[0].a, 0u);
        EXPECT_EQ(full->entries[0].b, pmtSize + 4);
        EXPECT_EQ(buf[0], 0x24);
        EXPECT_EQ(buf[1], 0x05);
        EXPECT_EQ(LE(buf + 2, 2), pmtSize);
        EXPECT_EQ(0, memcmp(buf + 4, program.pmt.data(), pmtSize));

        size_t e = 1;
        uint64_t previous = 0;
        for (size_t g = 0; g < ref.groupStarts.size(); ++g) {
            SCOPED_TRACE("group " + std::to_string(g));
            const ParsedPes pes = ParseWhole(ref.video[g]);
            const uint64_t value = ExpectedPtsValue(pes.hdr, previous);
            previous = value;
            if (g == 0) {
                EXPECT_EQ(gop->pts, segmenterPts);
            }

            ASSERT_LT(e, full->entries.size());
            const MvSeqEntry timing = full->entries[e++];
            ASSERT_EQ(timing.type, MV_SEQ_TIMING);
            EXPECT_EQ(timing.c, static_cast<uint32_t>((value & 0x1FFFFFFFFull) >> 1));
            MvAccTiming t;
            ASSERT_TRUE(MvAccessorReadTiming(*full, timing, &t));
            EXPECT_EQ(buf[timing.a], 0x24);
            EXPECT_EQ(buf[timing.a + 1], 0x01);
            EXPECT_EQ(t.sequence, gop->gopId * 1024 + g);
            EXPECT_EQ(t.pts, value);
            const uint8_t* rec = gop->data + gop->tsInfos[ref.groupStarts[g]].recordOffset;
            const timespec when{static_cast<time_t>(LE(rec, 8)), static_cast<long>(LE(rec + 8, 8))};
            EXPECT_EQ(t.receiveTime, MvTimeFromTimespec(when));

            // Runs of seven (the last shorter) covering exactly the group's entries.
            const size_t groupEnd = g + 1 < ref.groupStarts.size() ? ref.groupStarts[g + 1] : cut.packets.size();
            size_t next = ref.groupStarts[g];
            while (e < full->entries.size() && full->entries[e].b == MV_ACC_RUN_HEADER_SIZE &&
                   full->entries[e].type == MV_SEQ_BUFFER) {
                const MvSeqEntry header = full->entries[e++];
                ASSERT_LT(e, full->entries.size());
                const MvSeqEntry run = full->entries[e++];
                ASSERT_EQ(run.type, MV_SEQ_PACKETS);
                EXPECT_EQ(run.a, next);
                EXPECT_EQ(run.b, std::min<size_t>(7, groupEnd - next));
                EXPECT_EQ(buf[header.a], 0x24);
                EXPECT_EQ(buf[header.a + 1], 0x00);
                EXPECT_EQ((buf[header.a + 2] << 8) | buf[header.a + 3], static_cast<int>(run.b * 188));
                next += run.b;
            }
            EXPECT_EQ(next, groupEnd);
            ASSERT_LT(e, full->entries.size());
            EXPECT_EQ(full->entries[e].type, MV_SEQ_BUFFER);
            EXPECT_EQ(full->entries[e].b, MV_ACC_END_SIZE);
            EXPECT_EQ(buf[full->entries[e].a], 0x24);
            EXPECT_EQ(buf[full->entries[e].a + 1], 0x02);
            ++e;
        }
        EXPECT_EQ(e, full->entries.size());
        EXPECT_EQ(full->buffer.GetLength(), static_cast<int>(full->entries.back().a + full->entries.back().b));

        // Accessor 3: the timing entries of accessor 1.
        MvAccessor* vpts = Acc(gop, MV_ACC_VPTS);
        const std::vector<MvSeqEntry> timings = EntriesOfType(full, MV_SEQ_TIMING);
        ASSERT_EQ(vpts->entries.size(), timings.size());
        for (size_t k = 0; k < timings.size(); ++k) {
            EXPECT_EQ(vpts->entries[k].a, timings[k].a);
            EXPECT_EQ(vpts->entries[k].c, timings[k].c);
        }
        EXPECT_EQ(vpts->buffer.GetLength(), 0);

        // Accessor 4: one record per video PES, then the summary.
        MvAccessor* vpes = Acc(gop, MV_ACC_VPES);
        ASSERT_EQ(vpes->entries.size(), ref.video.size() + 1);
        uint64_t videoBytes = 0, fastBytes = 0;
        previous = 0;
        for (size_t k = 0; k < ref.video.size(); ++k) {
            const ParsedPes pes = ParseWhole(ref.video[k]);
            previous = ExpectedPtsValue(pes.hdr, previous);
            MvAccVideoPes r;
            ASSERT_TRUE(MvAccessorReadVideoPes(*vpes, vpes->entries[k], &r));
            EXPECT_EQ(r.pts, previous);
            EXPECT_EQ(r.headerLength, pes.headerLength);
            EXPECT_EQ(r.payloadLength, pes.payloadLength);
            videoBytes += pes.payloadLength + 12;
            if (k < 2) fastBytes += pes.payloadLength + 12;
        }

        // Accessor 5: one record per audio PES in start order, cut flag for the open one.
        MvAccessor* apes = Acc(gop, MV_ACC_APES);
        ASSERT_EQ(apes->entries.size(), ref.audio.size());
        uint64_t audioBytes = 0, cutBytes = 0, audioCount = 0;
        for (size_t k = 0; k < ref.audio.size(); ++k) {
            SCOPED_TRACE("audio PES " + std::to_string(k));
            const ParsedPes pes = ParseWhole(ref.audio[k].bytes);
            MvAccAudioPes r;
            ASSERT_TRUE(MvAccessorReadAudioPes(*apes, apes->entries[k], &r));
            EXPECT_EQ(r.Pts(), pes.hdr.PTS);
            EXPECT_EQ(r.AudioIndex(), 0);
            EXPECT_EQ(r.CodecKind(), GetParam().codec);
            EXPECT_EQ(r.Language(), GetParam().language);
            EXPECT_EQ((r.stamp >> 33) & 0x7F, 0u);
            EXPECT_EQ(r.headerLength, pes.headerLength);
            EXPECT_EQ(r.payloadLength, pes.payloadLength);
            EXPECT_EQ(r.cut, ref.audio[k].open ? 1 : 0);
            if (ref.audio[k].open) {
                cutBytes += pes.payloadLength + 12;
                ++cutRecords;
            } else {
                audioBytes += pes.payloadLength + 12;
                ++audioCount;
                ++completeRecords;
            }
        }

        MvAccSummary s;
        ASSERT_TRUE(MvAccessorReadSummary(*vpes, vpes->entries.back(), &s));
        EXPECT_EQ(s.videoPes, ref.video.size());
        EXPECT_EQ(s.audioPes, audioCount);
        EXPECT_EQ(s.videoBytes, videoBytes);
        EXPECT_EQ(s.audioBytes, audioBytes);
        EXPECT_EQ(s.cutAudioBytes, cutBytes);
        EXPECT_EQ(s.continuationBytes, ref.continuation);
        EXPECT_EQ(s.fastVideoBytes, fastBytes);
    }
    // Every fixture has audio PES units both inside a GOP and across a GOP's end.
    EXPECT_GT(cutRecords, 0);
    EXPECT_GT(completeRecords, 0);
}

// Accessor 2 is accessor 1 up to its second frame group with SECONDFIELD, its first without;
// its buffer ends with the last kept item.
TEST_P(AccessorFixture, FastAccessorKeepsOneOrTwoFrameGroups) {
    for (const bool second : {false, true}) {
        SCOPED_TRACE(second ? "SECONDFIELD on" : "SECONDFIELD off");
        SecondField secondField(second);
        FreeGops(gops);
        gops = CutIntoGops(ts, program);
        for (CutGop& cut : gops) {
            HSCGop* gop = cut.gop;
            gop->MvBuildAccessors();
            const MvAccessor* full = Acc(gop, MV_ACC_FULL);
            const MvAccessor* fast = Acc(gop, MV_ACC_FAST);
            ASSERT_NE(fast, nullptr);
            EXPECT_EQ(fast->id, static_cast<uint32_t>(MV_ACC_FAST));
            EXPECT_EQ(fast->headerCount, 1);
            // Where accessor 1's (limit + 1)-th timing entry stands.
            const size_t limit = second ? 2 : 1;
            size_t cutAt = full->entries.size(), seen = 0;
            for (size_t k = 1; k < full->entries.size(); ++k)
                if (full->entries[k].type == MV_SEQ_TIMING && ++seen > limit) {
                    cutAt = k;
                    break;
                }
            ASSERT_LT(cutAt, full->entries.size()) << "fixture GOPs have more than two frames";
            ASSERT_EQ(fast->entries.size(), cutAt);
            EXPECT_EQ(EntriesOfType(fast, MV_SEQ_TIMING).size(), limit);
            for (size_t k = 0; k < cutAt; ++k) {
                EXPECT_EQ(fast->entries[k].type, full->entries[k].type);
                EXPECT_EQ(fast->entries[k].a, full->entries[k].a);
                EXPECT_EQ(fast->entries[k].b, full->entries[k].b);
            }
            const MvSeqEntry& last = fast->entries.back();
            EXPECT_EQ(last.type, MV_SEQ_BUFFER);
            EXPECT_EQ(last.b, MV_ACC_END_SIZE);
            ASSERT_EQ(fast->buffer.GetLength(), static_cast<int>(last.a + last.b));
            EXPECT_EQ(0, memcmp(fast->buffer.GetData(), full->buffer.GetData(), last.a + last.b));

            MvAccSummary s;
            const MvAccessor* vpes = Acc(gop, MV_ACC_VPES);
            ASSERT_TRUE(MvAccessorReadSummary(*vpes, vpes->entries.back(), &s));
            uint32_t fastBytes = 0;
            for (size_t k = 0; k < limit; ++k) {
                MvAccVideoPes r;
                ASSERT_TRUE(MvAccessorReadVideoPes(*vpes, vpes->entries[k], &r));
                fastBytes += r.payloadLength + 12;
            }
            EXPECT_EQ(s.fastVideoBytes, fastBytes);
        }
    }
}

// A GOP whose PTS the segmenter did not know takes the first frame's.
TEST_P(AccessorFixture, GopWithoutPtsTakesTheFirstFramesPts) {
    HSCGop* gop = gops[1].gop;
    const uint64_t known = gop->pts;
    ASSERT_NE(known, 0u);
    gop->pts = 0;
    gop->MvBuildAccessors();
    EXPECT_EQ(gop->pts, known);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, AccessorFixture,
    ::testing::Values(FixtureCase{"h264_aac.ts", 0, 2, 38}, FixtureCase{"hevc_ac3.ts", 0, 1, 0},
                      FixtureCase{"mpeg2_mp2.ts", 0, 3, 0}, FixtureCase{"two_programs.ts", 101, 3, 0},
                      FixtureCase{"two_programs.ts", 202, 3, 0}),
    [](const ::testing::TestParamInfo<FixtureCase>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.')) + "_" + std::to_string(info.param.program);
        return name;
    });
