// PAT and PMT assembly: the tables of the fixtures as ffmpeg writes them, the acceptance and
// readiness rules, refusal of malformed and truncated sections, descriptors and the stream
// type table.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dvbts_helpers.h"
#include "mvdvbts_misc.h"
#include "mvdvbts_pat.h"
#include "mvdvbts_pmt.h"

using dvbtest::Bytes;
using dvbtest::Desc;
using dvbtest::Payloads;
using dvbtest::PatSection;
using dvbtest::PmtSection;
using dvbtest::Strm;

namespace {

bool Feed(MvDVBPAT* pat, const Bytes& p, bool start) {
    return pat->AddData(start, p.data(), static_cast<int>(p.size()));
}
bool Feed(MvDVBPMT* pmt, const Bytes& p, bool start) {
    return pmt->AddData(start, p.data(), static_cast<int>(p.size()));
}

std::vector<MvDVBPATProg> Progs(MvDVBPAT* pat, bool programsOnly = true) {
    std::vector<MvDVBPATProg> list{{9, 9, 9}};  // GetProgs empties the list first
    pat->GetProgs(&list, programsOnly);
    return list;
}

struct Owned {
    std::vector<MvDVBStrm*> streams;
    std::vector<MvDVBDesc*> descs;
    ~Owned() {
        for (auto* s : streams) delete s;
        for (auto* d : descs) delete d;
    }
};

}  // namespace

// ffmpeg's tables: PAT and PMT assembled from the fixtures, streams classified.
TEST(DVBTables, FixtureProgramsAndStreams) {
    struct Expected {
        uint8_t type;
        uint16_t pid;
        uint32_t kind;
        std::string firstDesc;  // tag and data of the stream's first descriptor, if any
    };
    struct Case {
        const char* file;
        std::vector<MvDVBPATProg> progs;
        uint32_t pcr;
        std::vector<Expected> streams;  // of the first program
    };
    const Case cases[] = {
        {"h264_aac.ts", {{1, 0, 0x1000}}, 0x100,
         {{0x1B, 0x100, kMvStreamVideo, ""}, {0x0F, 0x101, kMvStreamAudio, std::string("\x0A" "eng\0", 5)}}},
        {"hevc_ac3.ts", {{1, 0, 0x1000}}, 0x100,
         {{0x24, 0x100, kMvStreamVideo, "\x05HEVC"}, {0x81, 0x101, kMvStreamAudio, "\x05" "AC-3"}}},
        {"mpeg2_mp2.ts", {{1, 0, 0x1000}}, 0x100,
         {{0x02, 0x100, kMvStreamVideo, ""}, {0x03, 0x101, kMvStreamAudio, ""}}},
        {"two_programs.ts", {{101, 0, 0x1000}, {202, 0, 0x1001}}, 0x100,
         {{0x1B, 0x100, kMvStreamVideo, ""}, {0x03, 0x101, kMvStreamAudio, ""}}},
    };
    for (const Case& c : cases) {
        const Bytes ts = dvbtest::LoadFixture(c.file);
        MvDVBPAT pat;
        dvbtest::FeedPid(&pat, ts, 0);
        ASSERT_TRUE(pat.Ready()) << c.file;
        EXPECT_EQ(pat.GetID(), 1u) << c.file << ": ffmpeg's transport_stream_id adopted";
        EXPECT_EQ(pat.GetVersion(), 0u);
        EXPECT_TRUE(pat.HasCurrent());
        EXPECT_FALSE(pat.HasAnnounces());
        const auto progs = Progs(&pat);
        ASSERT_EQ(progs.size(), c.progs.size()) << c.file;
        for (size_t i = 0; i < progs.size(); ++i) {
            EXPECT_EQ(progs[i].program_number, c.progs[i].program_number) << c.file;
            EXPECT_EQ(progs[i].program_map_PID, c.progs[i].program_map_PID) << c.file;
            EXPECT_EQ(progs[i].network_PID, 0) << c.file;
        }

        MvDVBPMT pmt;
        pmt.Prepare(c.progs[0].program_number, true);
        dvbtest::FeedPid(&pmt, ts, c.progs[0].program_map_PID);
        ASSERT_TRUE(pmt.Ready()) << c.file;
        EXPECT_EQ(pmt.GetSID(), c.progs[0].program_number);
        EXPECT_EQ(pmt.GetPCR(), c.pcr) << c.file;
        EXPECT_EQ(pmt.GetVersion(), 0u);
        Owned got;
        pmt.GetDescs(&got.descs);
        EXPECT_TRUE(got.descs.empty()) << c.file;
        pmt.GetStreams(&got.streams);
        ASSERT_EQ(got.streams.size(), c.streams.size()) << c.file;
        for (size_t i = 0; i < c.streams.size(); ++i) {
            const MvDVBStrm* s = got.streams[i];
            EXPECT_EQ(s->stream_type, c.streams[i].type) << c.file;
            EXPECT_EQ(s->elementary_PID, c.streams[i].pid) << c.file;
            EXPECT_EQ(MvGetStreamKind(s->stream_type), c.streams[i].kind) << c.file;
            if (c.streams[i].firstDesc.empty()) {
                EXPECT_TRUE(s->descriptors.empty()) << c.file;
            } else {
                ASSERT_FALSE(s->descriptors.empty()) << c.file;
                const MvDVBDesc* d = s->descriptors[0];
                std::string flat(1, static_cast<char>(d->tag));
                flat.append(d->data.begin(), d->data.end());
                EXPECT_EQ(flat, c.streams[i].firstDesc) << c.file;
            }
        }
    }

    // The second program of the two-program stream has its own PMT.
    const Bytes ts = dvbtest::LoadFixture("two_programs.ts");
    MvDVBPMT second;
    dvbtest::FeedPid(&second, ts, 0x1001);
    ASSERT_TRUE(second.Ready());
    EXPECT_EQ(second.GetPCR(), 0x102u);
    ASSERT_EQ(second.m_streams.size(), 2u);
    EXPECT_EQ(second.m_streams[0]->elementary_PID, 0x102);
    EXPECT_EQ(second.m_streams[1]->elementary_PID, 0x103);
}

// ffmpeg's 48-program PAT needs two packets: the first leaves the table not ready.
TEST(DVBTables, FixturePatOverTwoPackets) {
    const Bytes ts = dvbtest::LoadFixture("pat_two_packets.ts");
    MvDVBPAT pat;
    MvDVBTSPacket pkt;
    int fed = 0;
    for (size_t off = 0; off + 188 <= ts.size() && !pat.Ready(); off += 188) {
        ASSERT_TRUE(MvDVBParseTS(ts.data() + off, &pkt));
        if (pkt.PID != 0) continue;
        EXPECT_TRUE(pat.AddData(pkt.payload_unit_start_indicator, pkt.payload, pkt.payload_length));
        EXPECT_EQ(pkt.payload_unit_start_indicator, fed == 0 ? 1 : 0);
        EXPECT_EQ(pat.Ready(), fed == 1);
        ++fed;
    }
    EXPECT_EQ(fed, 2);
    const auto progs = Progs(&pat);
    ASSERT_EQ(progs.size(), 48u);
    for (int i = 0; i < 48; ++i) {
        EXPECT_EQ(progs[i].program_number, i + 1);
        EXPECT_EQ(progs[i].program_map_PID, 0x1000 + i);
    }
    // Another PAT occurrence is refused once the table is complete; nothing is added twice.
    for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
        ASSERT_TRUE(MvDVBParseTS(ts.data() + off, &pkt));
        if (pkt.PID == 0) {
            EXPECT_FALSE(pat.AddData(pkt.payload_unit_start_indicator, pkt.payload, pkt.payload_length));
        }
    }
    EXPECT_EQ(Progs(&pat).size(), 48u);
    EXPECT_TRUE(pat.Ready());
}

TEST(DVBPAT, OnePacketAndContinuationFirst) {
    const auto p = Payloads(PatSection(7, {{0, 0x10}, {5, 0x200}}));
    ASSERT_EQ(p.size(), 1u);

    MvDVBPAT pat;
    EXPECT_FALSE(Feed(&pat, p[0], false)) << "a continuation with nothing to continue";
    EXPECT_EQ(pat.m_buffer.GetLength(), 0);
    EXPECT_FALSE(pat.Started());
    EXPECT_TRUE(Feed(&pat, p[0], true));
    EXPECT_TRUE(pat.Ready());
    EXPECT_TRUE(pat.Started());

    auto progs = Progs(&pat, true);
    ASSERT_EQ(progs.size(), 1u);
    EXPECT_EQ(progs[0].program_number, 5);
    EXPECT_EQ(progs[0].program_map_PID, 0x200);
    // Without programsOnly the network entry is listed too, in table order.
    progs = Progs(&pat, false);
    ASSERT_EQ(progs.size(), 2u);
    EXPECT_EQ(progs[0].program_number, 0);
    EXPECT_EQ(progs[0].network_PID, 0x10);
    EXPECT_EQ(progs[0].program_map_PID, 0);

    // After the accepted section, neither a new start nor a continuation is taken.
    EXPECT_FALSE(Feed(&pat, p[0], true));
    EXPECT_FALSE(Feed(&pat, p[0], false));
    EXPECT_EQ(pat.m_progs.size(), 2u);
    EXPECT_LE(pat.m_buffer.GetLength(), 184);
}

TEST(DVBPAT, RefusedSections) {
    struct Case {
        const char* what;
        Bytes section;
    };
    Bytes nine = PatSection(1, {});  // section_length 9: no programs
    Bytes odd = PatSection(1, {{1, 0x100}});
    odd.insert(odd.end() - 4, 0x00);  // section_length 15: not 9 + 4n
    odd[2] += 1;
    Bytes tooLong = PatSection(1, {{1, 0x100}});
    tooLong[1] = 0xB3;
    tooLong[2] = 0xFE;  // section_length 1022
    Bytes wrongTable = PatSection(1, {{1, 0x100}});
    wrongTable[0] = 0x02;
    Bytes noSyntax = PatSection(1, {{1, 0x100}});
    noSyntax[1] &= 0x7F;
    Bytes tiny{0x00, 0xB0, 0x02, 0x00, 0x01};  // section_length 2
    const Case cases[] = {{"section_length 9", nine},   {"entries not whole", odd},
                          {"section_length 1022", tooLong}, {"table_id 2", wrongTable},
                          {"no section syntax", noSyntax}, {"section_length 2", tiny}};
    for (const Case& c : cases) {
        MvDVBPAT pat;
        EXPECT_FALSE(Feed(&pat, Payloads(c.section)[0], true)) << c.what;
        EXPECT_FALSE(pat.Ready()) << c.what;
        EXPECT_EQ(pat.m_buffer.GetLength(), 0) << c.what << ": the refused section is dropped";
        EXPECT_TRUE(pat.m_progs.empty()) << c.what;
    }
}

TEST(DVBPAT, WrongCrcKeepsEntriesAndRecovers) {
    Bytes sec = PatSection(1, {{3, 0x300}});
    sec.back() ^= 0xFF;
    MvDVBPAT pat;
    EXPECT_FALSE(Feed(&pat, Payloads(sec)[0], true));
    EXPECT_FALSE(pat.Ready());
    EXPECT_EQ(pat.GetVersion(), 0xFFFFFFFFu);
    ASSERT_EQ(Progs(&pat).size(), 1u);
    EXPECT_EQ(Progs(&pat)[0].program_map_PID, 0x300);
    // The buffer was dropped, so the next occurrence is taken.
    EXPECT_TRUE(Feed(&pat, Payloads(PatSection(1, {{3, 0x300}}, 4))[0], true));
    EXPECT_TRUE(pat.Ready());
    EXPECT_EQ(pat.GetVersion(), 4u);
}

TEST(DVBPAT, SplitSectionAndLostTail) {
    std::vector<dvbtest::Prog> many;
    for (uint16_t i = 1; i <= 60; ++i) many.push_back({i, static_cast<uint16_t>(0x1000 + i)});
    const auto p = Payloads(PatSection(1, many));
    ASSERT_EQ(p.size(), 2u);

    MvDVBPAT pat;
    EXPECT_TRUE(Feed(&pat, p[0], true));
    EXPECT_FALSE(pat.Ready());
    EXPECT_TRUE(Feed(&pat, p[1], false));
    EXPECT_TRUE(pat.Ready());
    EXPECT_EQ(Progs(&pat).size(), 60u);

    // The continuation of the first occurrence is lost: the next section start replaces the
    // unfinished section instead of being refused for ever.
    MvDVBPAT lossy;
    EXPECT_TRUE(Feed(&lossy, p[0], true));
    EXPECT_TRUE(Feed(&lossy, p[0], true));
    EXPECT_FALSE(lossy.Ready());
    EXPECT_TRUE(Feed(&lossy, p[1], false));
    EXPECT_TRUE(lossy.Ready());
    EXPECT_EQ(Progs(&lossy).size(), 60u);
}

TEST(DVBPAT, TransportStreamFilter) {
    const Bytes a = Payloads(PatSection(0x1234, {{1, 0x100}}))[0];
    const Bytes b = Payloads(PatSection(0x5678, {{1, 0x100}}))[0];

    MvDVBPAT pat;  // filter 0: adopts the first id
    EXPECT_TRUE(Feed(&pat, a, true));
    EXPECT_EQ(pat.GetID(), 0x1234u);
    pat.RePrepare();  // keeps the adopted id
    EXPECT_EQ(pat.GetID(), 0x1234u);
    EXPECT_FALSE(pat.Ready());
    pat.m_buffer.m_length = 0;
    EXPECT_FALSE(Feed(&pat, b, true));
    EXPECT_FALSE(pat.Ready());
    EXPECT_EQ(pat.GetID(), 0x1234u);
    EXPECT_TRUE(Feed(&pat, a, true));
    EXPECT_TRUE(pat.Ready());
    EXPECT_EQ(pat.m_tsids, (std::vector<uint16_t>{0x5678, 0x1234}));

    MvDVBPAT none;
    none.Prepare(MvDVBPAT::kNoTransportStream, true);
    EXPECT_FALSE(Feed(&none, a, true));
    EXPECT_EQ(none.m_tsids, std::vector<uint16_t>{0x1234});

    MvDVBPAT fixed;
    fixed.Prepare(0x5678, true);
    EXPECT_FALSE(Feed(&fixed, a, true));
    EXPECT_TRUE(Feed(&fixed, b, true));

    // A damaged section does not get to choose the id.
    Bytes damaged = PatSection(0x1234, {{1, 0x100}});
    damaged.back() ^= 1;
    MvDVBPAT careful;
    EXPECT_FALSE(Feed(&careful, Payloads(damaged)[0], true));
    EXPECT_EQ(careful.GetID(), 0u);
    EXPECT_TRUE(Feed(&careful, b, true));
    EXPECT_EQ(careful.GetID(), 0x5678u);
}

TEST(DVBPAT, CurrentAndAnnouncedTables) {
    const Bytes next = Payloads(PatSection(1, {{1, 0x100}}, 3, false))[0];
    const Bytes now = Payloads(PatSection(1, {{1, 0x100}}, 2, true))[0];
    MvDVBPAT pat;
    EXPECT_FALSE(Feed(&pat, next, true));
    EXPECT_TRUE(pat.HasAnnounces());
    EXPECT_FALSE(pat.HasCurrent());
    EXPECT_TRUE(pat.Started());
    EXPECT_TRUE(Feed(&pat, now, true));
    EXPECT_TRUE(pat.HasCurrent());
    EXPECT_EQ(pat.GetVersion(), 2u);

    MvDVBPAT ahead;
    ahead.Prepare(0, false);
    EXPECT_FALSE(Feed(&ahead, now, true));
    EXPECT_TRUE(Feed(&ahead, next, true));
    EXPECT_TRUE(ahead.Ready());
    EXPECT_EQ(ahead.GetVersion(), 3u);
    EXPECT_TRUE(ahead.HasCurrent());
    EXPECT_TRUE(ahead.HasAnnounces());
}

TEST(DVBPAT, TwoSectionsMakeTheTable) {
    const Bytes s0 = Payloads(PatSection(1, {{1, 0x100}}, 0, true, 0, 1))[0];
    const Bytes s1 = Payloads(PatSection(1, {{2, 0x200}}, 0, true, 1, 1))[0];
    MvDVBPAT pat;
    EXPECT_TRUE(Feed(&pat, s0, true));
    EXPECT_FALSE(pat.Ready());
    // Section 0 again before section 1: accepted, its entries not added twice.
    EXPECT_TRUE(Feed(&pat, s0, true));
    EXPECT_FALSE(pat.Ready());
    EXPECT_EQ(Progs(&pat).size(), 1u);
    EXPECT_TRUE(Feed(&pat, s1, true));
    EXPECT_TRUE(pat.Ready());
    const auto progs = Progs(&pat);
    ASSERT_EQ(progs.size(), 2u);
    EXPECT_EQ(progs[1].program_map_PID, 0x200);
    EXPECT_FALSE(Feed(&pat, s0, true));

    // The checks alone: the expected set is fixed by the first section seen.
    MvDVBPAT checks;
    checks.AddCheck(1, 1);
    EXPECT_FALSE(checks.SecsReady());
    checks.AddCheck(0, 5);
    EXPECT_TRUE(checks.SecsReady());
    checks.PrepareChecks();
    EXPECT_FALSE(checks.SecsReady());
}

TEST(DVBPMT, InfoLengthAndDescriptorBounds) {
    const std::vector<Strm> av{{0x1B, 0x100, {}}, {0x0F, 0x101, {{0x0A, {'d', 'e', 'u', 0}}}}};
    const Bytes good = PmtSection(99, 0x100, {{0x09, {0x56, 0x01, 0xE1, 0x23}}}, av);

    {  // program_info_length 1022 is refused, the PCR PID is kept
        Bytes sec = good;
        sec[10] = 0xF3;
        sec[11] = 0xFE;
        MvDVBPMT pmt;
        EXPECT_FALSE(Feed(&pmt, Payloads(sec)[0], true));
        EXPECT_EQ(pmt.GetPCR(), 0x100u);
        EXPECT_TRUE(pmt.m_streams.empty());
    }
    struct Case {
        const char* what;
        int offset;   // byte of the section to change
        uint8_t value;
        size_t descsKept;
        size_t streamsKept;
    };
    // Section layout: 12 header bytes, CA descriptor at 12-17, video stream 18-22, audio
    // stream 23-27 with its language descriptor 28-33, CRC.
    const Case cases[] = {
        {"program_info ends one byte into the streams", 11, 7, 1, 0},  // a lone tag byte
        {"program_info past the section", 11, 40, 0, 0},
        {"descriptor longer than program_info", 13, 5, 0, 0},
        {"ES_info past the section", 27, 9, 1, 1},
        {"stream descriptor longer than ES_info", 29, 5, 1, 1},
        {"table_id", 0, 0x00, 0, 0},
        {"bit after the syntax indicator", 1, 0xF0, 0, 0},
        {"CRC", 35, 0x00, 1, 2},
    };
    for (const Case& c : cases) {
        Bytes sec = good;
        if (c.offset == 1)
            sec[1] = static_cast<uint8_t>(c.value | (sec[1] & 0x0F));
        else
            sec[c.offset] = c.value;
        MvDVBPMT pmt;
        EXPECT_FALSE(Feed(&pmt, Payloads(sec)[0], true)) << c.what;
        EXPECT_EQ(pmt.m_descs.size(), c.descsKept) << c.what;
        EXPECT_EQ(pmt.m_streams.size(), c.streamsKept) << c.what;
        EXPECT_FALSE(pmt.Ready()) << c.what;
    }

    // One byte of program_info left after a descriptor: a tag without its length refuses the
    // section; the descriptor before it stays.
    const Bytes lone = dvbtest::Section(
        0x02, 0xB0, {0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x04, 0x52, 0x01, 0x01, 0x48});
    MvDVBPMT pmt;
    EXPECT_FALSE(Feed(&pmt, Payloads(lone)[0], true));
    ASSERT_EQ(pmt.m_descs.size(), 1u);
    EXPECT_EQ(pmt.m_descs[0]->tag, 0x52);

    // The intact section, of any program number.
    MvDVBPMT ok;
    ok.Prepare(5, true);
    EXPECT_TRUE(Feed(&ok, Payloads(good)[0], true));
    EXPECT_TRUE(ok.Ready());
    EXPECT_EQ(ok.GetSID(), 5u);
    Owned got;
    ok.GetDescs(&got.descs);
    ok.GetDescs(&got.descs);  // appends: the list is not emptied
    ASSERT_EQ(got.descs.size(), 2u);
    MvDVBDescCA ca(got.descs[0]);
    EXPECT_EQ(ca.tag, 9);
    EXPECT_EQ(ca.CA_system_ID, 0x5601);
    EXPECT_EQ(ca.CA_PID, 0x0123);
    ok.GetStreams(&got.streams);
    ASSERT_EQ(got.streams.size(), 2u);
    ASSERT_EQ(got.streams[1]->descriptors.size(), 1u);
    EXPECT_EQ(got.streams[1]->descriptors[0]->data, (std::vector<uint8_t>{'d', 'e', 'u', 0}));
    // The copies are independent of the object.
    ok.Prepare(0, true);
    EXPECT_TRUE(ok.m_streams.empty());
    EXPECT_EQ(ok.GetPCR(), 0xFFFFFFFFu);
    EXPECT_EQ(got.streams[1]->elementary_PID, 0x101);
}

TEST(DVBPMT, LargeSectionOverSeveralPacketsAndTwoSections) {
    std::vector<Strm> streams;
    for (uint16_t i = 0; i < 30; ++i)
        streams.push_back({0x03, static_cast<uint16_t>(0x200 + i), {{0x0A, {'e', 'n', 'g', 0}}}});
    const auto p = Payloads(PmtSection(1, 0x200, {}, streams, 0, 1));
    ASSERT_EQ(p.size(), 2u);
    MvDVBPMT pmt;
    EXPECT_TRUE(Feed(&pmt, p[0], true));
    EXPECT_TRUE(Feed(&pmt, p[1], false));
    EXPECT_EQ(pmt.m_streams.size(), 30u);
    EXPECT_FALSE(pmt.Ready()) << "section 1 of 0..1 still missing";
    const Bytes s1 = Payloads(PmtSection(1, 0x200, {}, {{0x1B, 0x100, {}}}, 1, 1))[0];
    EXPECT_TRUE(Feed(&pmt, s1, true));
    EXPECT_TRUE(pmt.Ready());
    EXPECT_EQ(pmt.m_streams.size(), 31u);

    // The same PMT packets, as a GOP stores them, loaded in one call.
    Bytes packets;
    for (const Bytes& payload : p) {
        Bytes pkt{0x47, static_cast<uint8_t>(&payload == &p[0] ? 0x50 : 0x10), 0x00, 0x10};
        pkt.insert(pkt.end(), payload.begin(), payload.end());
        packets.insert(packets.end(), pkt.begin(), pkt.end());
    }
    MvDVBPMT loaded;
    EXPECT_FALSE(MvDVBPMTLoadPackets(&loaded, packets.data(), static_cast<int>(packets.size())));
    EXPECT_EQ(loaded.m_streams.size(), 30u);
    MvDVBPMT single;
    const Bytes one = Payloads(PmtSection(1, 0x100, {}, {{0x1B, 0x100, {}}}))[0];
    Bytes onePacket{0x47, 0x50, 0x00, 0x10};
    onePacket.insert(onePacket.end(), one.begin(), one.end());
    EXPECT_TRUE(MvDVBPMTLoadPackets(&single, onePacket.data(), 188 + 100));  // ignores the tail
}

// Every truncation of a section waits for more data; every read stays inside the buffer
// (exact-size copies, checked by AddressSanitizer).
TEST(DVBTables, TruncatedSectionsWait) {
    const Bytes pmtSec = PmtSection(1, 0x100, {{0x05, {'H', 'E', 'V', 'C'}}},
                                    {{0x24, 0x100, {{0x05, {'H', 'E', 'V', 'C'}}}}});
    const Bytes patSec = PatSection(1, {{1, 0x1000}, {2, 0x1001}});
    for (int which = 0; which < 2; ++which) {
        Bytes whole{0x00};
        const Bytes& sec = which ? pmtSec : patSec;
        whole.insert(whole.end(), sec.begin(), sec.end());
        for (size_t n = 0; n < whole.size(); ++n) {
            Bytes cut(whole.begin(), whole.begin() + static_cast<long>(n));
            MvDVBPAT pat;
            MvDVBPMT pmt;
            const bool r = which ? pmt.ParseData(cut.data(), static_cast<int>(n))
                                 : pat.ParseData(cut.data(), static_cast<int>(n));
            EXPECT_TRUE(r) << which << " " << n;
            EXPECT_FALSE(which ? pmt.Ready() : pat.Ready()) << which << " " << n;
        }
        MvDVBPAT pat;
        MvDVBPMT pmt;
        EXPECT_TRUE(which ? pmt.ParseData(whole.data(), static_cast<int>(whole.size()))
                          : pat.ParseData(whole.data(), static_cast<int>(whole.size())));
        EXPECT_TRUE(which ? pmt.Ready() : pat.Ready());
    }
    // A pointer field that skips past the packet waits too, and the assembler's buffer stays
    // bounded: the section completes (and fails here) within a few packets.
    MvDVBPAT pat;
    Bytes skip(184, 0xFF);
    skip[0] = 0xFF;
    EXPECT_TRUE(pat.AddData(true, skip.data(), 184));
    EXPECT_FALSE(pat.AddData(false, skip.data(), 184));  // table_id 0xFF at byte 256
    EXPECT_EQ(pat.m_buffer.GetLength(), 0);
}

TEST(DVBDescCA, ShortAndForeignDescriptors) {
    struct Case {
        uint8_t tag;
        Bytes data;
        uint8_t wantTag;
        uint16_t system;
        uint16_t pid;
        size_t privateBytes;
    };
    const Case cases[] = {
        {0x09, {}, 9, 0x0000, 0xFFFF, 0},
        {0x09, {0x56}, 9, 0x0056, 0xFFFF, 0},
        {0x09, {0x56, 0x01}, 9, 0x5601, 0xFFFF, 0},
        {0x09, {0x56, 0x01, 0xFF}, 9, 0x5601, 0x001F, 0},
        {0x09, {0x56, 0x01, 0xE1, 0x23}, 9, 0x5601, 0x0123, 0},
        {0x09, {0x0B, 0x00, 0xFF, 0xFF, 1, 2, 3}, 9, 0x0B00, 0x1FFF, 3},
        {0x0A, {0x56, 0x01, 0xE1, 0x23}, 0, 0xFFFF, 0xFFFF, 0},
    };
    for (const Case& c : cases) {
        MvDVBDesc d(c.tag, c.data.data(), static_cast<int>(c.data.size()));
        MvDVBDescCA ca(&d);
        EXPECT_EQ(ca.tag, c.wantTag) << c.data.size();
        EXPECT_EQ(ca.CA_system_ID, c.system) << c.data.size();
        EXPECT_EQ(ca.CA_PID, c.pid) << c.data.size();
        EXPECT_EQ(ca.private_data.size(), c.privateBytes);
        std::unique_ptr<MvDVBDescCA> copy(ca.Duplicate());
        EXPECT_EQ(copy->CA_PID, ca.CA_PID);
        EXPECT_EQ(copy->private_data, ca.private_data);
    }
    MvDVBDescCA plain;
    EXPECT_EQ(plain.tag, 0);
    EXPECT_EQ(plain.CA_system_ID, 0xFFFF);
    EXPECT_EQ(plain.CA_PID, 0xFFFF);
}

TEST(DVBStrm, DuplicateIsDeep) {
    MvDVBStrm s;
    EXPECT_EQ(s.stream_type, 0);
    EXPECT_EQ(s.elementary_PID, 0);
    s.stream_type = 0x0F;
    s.elementary_PID = 0x101;
    const uint8_t lang[4] = {'e', 'n', 'g', 0};
    s.descriptors.push_back(new MvDVBDesc(0x0A, lang, 4));
    std::unique_ptr<MvDVBStrm> copy(s.Duplicate());
    s.descriptors[0]->data[0] = 'x';
    ASSERT_EQ(copy->descriptors.size(), 1u);
    EXPECT_NE(copy->descriptors[0], s.descriptors[0]);
    EXPECT_EQ(copy->descriptors[0]->data[0], 'e');
    EXPECT_EQ(copy->elementary_PID, 0x101);
}

TEST(StreamTypeTable, RowsAndLookup) {
    const uint32_t order[kMvStreamTypeRows] = {0x01, 0x02, 0x10, 0x1B, 0x24, 0x25, 0x26, 0x27,
                                               0x28, 0x29, 0x2A, 0x80, 0xDB, 0xEA, 0x03, 0x04,
                                               0x05, 0x06, 0x0F, 0x11, 0x81, 0x8A, 0xFFFFFFFF};
    for (int i = 0; i < kMvStreamTypeRows; ++i) {
        EXPECT_EQ(MvStreamType[i].type, order[i]) << i;
        EXPECT_EQ(MvStreamType[i].kind, i < 14 ? kMvStreamVideo : i < 22 ? kMvStreamAudio : kMvStreamOther)
            << i;
        EXPECT_EQ(MvGetStreamType(order[i]), &MvStreamType[i]) << i;
    }
    EXPECT_STREQ(MvGetStreamType(0x06)->description,
                 "ITU-T Rec. H.222 and ISO/IEC 13818-1 (MPEG-2 packetized data)");
    EXPECT_STREQ(MvGetStreamType(0x25)->description, MvGetStreamType(0x26)->description);
    for (uint32_t unknown : {0x00u, 0x07u, 0x42u, 0x86u, 0x100u}) {
        EXPECT_EQ(MvGetStreamKind(unknown), kMvStreamOther) << unknown;
        EXPECT_STREQ(MvGetStreamType(unknown)->description, "Unknown stream");
    }
}
