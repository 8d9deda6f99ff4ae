// Transport packet parsing and writing: adaptation field rules, every field of the adaptation
// field, refusal of fields that run off the packet, the generated PAT and the real streams of
// the fixtures.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "dvbts_helpers.h"
#include "mvdvbts_misc.h"
#include "mvdvbts_pat.h"

using dvbtest::Bytes;

namespace {

// A packet in a heap block of exactly 188 bytes, so that AddressSanitizer sees any read past it.
Bytes Packet(uint8_t afc, int afl = -1) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x01;
    p[2] = 0x00;
    p[3] = static_cast<uint8_t>((afc << 4) | 0x07);
    if (afl >= 0) {
        p[4] = static_cast<uint8_t>(afl);
        if (afl > 0) p[5] = 0x00;
    }
    return p;
}

}  // namespace

TEST(DVBParseTS, AdaptationFieldLengthRules) {
    struct Case {
        uint8_t afc;
        int afl;
        bool ok;
        int payloadAt;
        int payloadLength;
    };
    const Case cases[] = {
        {2, 182, false, 0, 0}, {2, 183, true, 188, 0},  {2, 1, false, 0, 0},
        {2, 0, true, 5, 183},  {3, 183, false, 0, 0},   {3, 255, false, 0, 0},
        {3, 0, true, 5, 183},  {3, 182, true, 187, 1},  {3, 7, true, 12, 176},
        {1, -1, true, 4, 184}, {0, -1, true, 4, 184},
    };
    for (const Case& c : cases) {
        Bytes p = Packet(c.afc, c.afl);
        MvDVBTSPacket ts;
        const bool ok = MvDVBParseTS(p.data(), &ts);
        EXPECT_EQ(ok, c.ok) << "afc " << int(c.afc) << " afl " << c.afl;
        if (!ok || !c.ok) continue;
        EXPECT_EQ(ts.payload - p.data(), c.payloadAt) << "afc " << int(c.afc) << " afl " << c.afl;
        EXPECT_EQ(ts.payload_length, c.payloadLength) << "afc " << int(c.afc) << " afl " << c.afl;
        EXPECT_EQ(ts.adaptation_field_control, c.afc);
        EXPECT_EQ(ts.continuity_counter, 7);
        EXPECT_EQ(ts.PID, 0x100);
    }
}

TEST(DVBParseTS, HeaderBitsAndUncheckedSyncByte) {
    const uint8_t bytes[188] = {0x00, 0xFF, 0xFF, 0xDA};
    MvDVBTSPacket ts;
    ASSERT_TRUE(MvDVBParseTS(bytes, &ts));
    EXPECT_EQ(ts.sync_byte, 0x00);
    EXPECT_EQ(ts.transport_error_indicator, 1);
    EXPECT_EQ(ts.payload_unit_start_indicator, 1);
    EXPECT_EQ(ts.transport_priority, 1);
    EXPECT_EQ(ts.PID, 0x1FFF);
    EXPECT_EQ(ts.transport_scrambling_control, 3);
    EXPECT_EQ(ts.adaptation_field_control, 1);
    EXPECT_EQ(ts.continuity_counter, 0xA);
    EXPECT_EQ(ts.payload, bytes + 4);
}

// A record with every adaptation field written by MvDVBCreateTS and read back.
TEST(DVBParseTS, EveryAdaptationFieldRoundTrips) {
    const uint8_t priv[3] = {0xDE, 0xAD, 0x01};
    Bytes payload(150);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);

    MvDVBTSPacket in{};
    in.sync_byte = 0x47;
    in.payload_unit_start_indicator = 1;
    in.PID = 0x1ABC;
    in.adaptation_field_control = 3;
    in.continuity_counter = 9;
    in.adaptation_field_length = 188 - 5 - 150;
    in.discontinuity_indicator = 1;
    in.random_access_indicator = 1;
    in.elementary_stream_priority_indicator = 1;
    in.PCR_flag = in.OPCR_flag = in.splicing_point_flag = 1;
    in.transport_private_data_flag = in.adaptation_field_extension_flag = 1;
    in.program_clock_reference_base = 0x1FEDCBA98ull;
    in.program_clock_reference_extension = 0x1AB;
    in.original_program_clock_reference_base = 0x012345678ull;
    in.original_program_clock_reference_extension = 0x0FF;
    in.splice_countdown = 0xFE;
    in.transport_private_data_length = 3;
    in.private_data_byte = priv;
    in.adaptation_field_extension_length = 11;
    in.ltw_flag = in.piecewise_rate_flag = in.seamless_splice_flag = 1;
    in.ltw_valid_flag = 1;
    in.ltw_offset = 0x7123;
    in.piecewise_rate = 0x3ABCDE;
    in.splice_type = 0xB;
    in.DTS_next_AU = 0x1C0FFEE11ull;
    in.payload = payload.data();
    in.payload_length = 150;

    Bytes out(188, 0xEE);  // stuffing is not written: the 0xEE between fields and payload stay
    ASSERT_TRUE(MvDVBCreateTS(out.data(), &in));
    // PCR: 33-bit base, 6 reserved bits written as 0, 9-bit extension.
    const uint8_t pcr[6] = {0xFF, 0x6E, 0x5D, 0x4C, 0x01, 0xAB};
    EXPECT_EQ(0, memcmp(out.data() + 6, pcr, 6));
    EXPECT_EQ(out[37], 0xEE);

    MvDVBTSPacket ts;
    ASSERT_TRUE(MvDVBParseTS(out.data(), &ts));
    EXPECT_EQ(ts.PID, 0x1ABC);
    EXPECT_EQ(ts.adaptation_field_length, 33);
    EXPECT_EQ(ts.discontinuity_indicator, 1);
    EXPECT_EQ(ts.random_access_indicator, 1);
    EXPECT_EQ(ts.elementary_stream_priority_indicator, 1);
    EXPECT_EQ(ts.program_clock_reference_base, 0x1FEDCBA98ull);
    EXPECT_EQ(ts.program_clock_reference_extension, 0x1AB);
    EXPECT_EQ(ts.original_program_clock_reference_base, 0x012345678ull);
    EXPECT_EQ(ts.original_program_clock_reference_extension, 0x0FF);
    EXPECT_EQ(ts.splice_countdown, 0xFE);
    ASSERT_EQ(ts.transport_private_data_length, 3);
    EXPECT_EQ(ts.private_data_byte, out.data() + 20);
    EXPECT_EQ(0, memcmp(ts.private_data_byte, priv, 3));
    EXPECT_EQ(ts.adaptation_field_extension_length, 11);
    EXPECT_EQ(ts.ltw_valid_flag, 1);
    EXPECT_EQ(ts.ltw_offset, 0x7123);
    EXPECT_EQ(ts.piecewise_rate, 0x3ABCDEu);
    EXPECT_EQ(ts.splice_type, 0xB);
    EXPECT_EQ(ts.DTS_next_AU, 0x1C0FFEE11ull);
    EXPECT_EQ(ts.payload, out.data() + 38);
    ASSERT_EQ(ts.payload_length, 150);
    EXPECT_EQ(0, memcmp(ts.payload, payload.data(), 150));
}

// Fields that would run past byte 187 refuse the packet; the buffer is exactly 188 bytes.
TEST(DVBParseTS, FieldsRunningOffThePacketAreRefused) {
    struct Case {
        const char* what;
        int privateLength;  // transport_private_data_length
        uint8_t extFlags;   // ltw, piecewise, seamless flags of the extension
        bool ok;
    };
    // Adaptation field of length 182 starting with PCR, OPCR, splice countdown (13 bytes after
    // the flags byte, so the private data length byte is byte 19).
    const Case cases[] = {
        {"private data ends at byte 187", 168, 0, false},  // no room for the extension length
        {"private data runs past byte 187", 169, 0, false},
        {"private data length 255", 255, 0, false},
        {"extension flags at byte 187", 166, 0x00, true},
        {"extension flags past byte 187", 167, 0x00, false},
        {"ltw fits exactly", 164, 0x80, true},
        {"ltw runs past", 165, 0x80, false},
        {"seamless splice fits exactly", 161, 0x20, true},
        {"seamless splice runs past", 162, 0x20, false},
    };
    for (const Case& c : cases) {
        Bytes p = Packet(3, 182);
        p[5] = 0x1F;  // PCR, OPCR, splicing point, private data, extension
        p[19] = static_cast<uint8_t>(c.privateLength);
        const int ext = 20 + c.privateLength;
        if (ext < 188) p[ext] = 5;
        if (ext + 1 < 188) p[ext + 1] = c.extFlags;
        MvDVBTSPacket ts;
        EXPECT_EQ(MvDVBParseTS(p.data(), &ts), c.ok) << c.what;
        EXPECT_EQ(ts.PID, 0x100) << c.what << ": the header is kept on failure";
    }
    Bytes p = Packet(3, 182);
    p[5] = 0x10;  // PCR only: fits
    MvDVBTSPacket ts;
    EXPECT_TRUE(MvDVBParseTS(p.data(), &ts));
    EXPECT_EQ(ts.payload_length, 1);
}

TEST(DVBCreateTS, NullPacketIsPureStuffing) {
    MvDVBTSPacket rec{};
    rec.sync_byte = 0x47;
    rec.PID = 0x1FFF;
    rec.adaptation_field_control = 2;
    rec.adaptation_field_length = 183;
    uint8_t out[188] = {};
    ASSERT_TRUE(MvDVBCreateTS(out, &rec));
    const uint8_t head[6] = {0x47, 0x1F, 0xFF, 0x20, 183, 0x00};
    EXPECT_EQ(0, memcmp(out, head, 6));
    for (int i = 6; i < 188; ++i) ASSERT_EQ(out[i], 0) << i;
    MvDVBTSPacket ts;
    ASSERT_TRUE(MvDVBParseTS(out, &ts));
    EXPECT_EQ(ts.payload_length, 0);
}

TEST(DVBCreateTS, OversizedRecordStaysInsideThePacket) {
    // A record built by hand that claims more than a packet holds: nothing is written past
    // byte 187 (checked by AddressSanitizer on the exact-size output).
    Bytes big(400, 0xAB);
    MvDVBTSPacket rec{};
    rec.sync_byte = 0x47;
    rec.adaptation_field_control = 3;
    rec.adaptation_field_length = 170;
    rec.PCR_flag = rec.OPCR_flag = rec.transport_private_data_flag = 1;
    rec.adaptation_field_extension_flag = 1;
    rec.transport_private_data_length = 255;
    rec.private_data_byte = big.data();
    rec.ltw_flag = rec.piecewise_rate_flag = rec.seamless_splice_flag = 1;
    rec.payload = big.data();
    rec.payload_length = 184;
    Bytes out(188, 0);
    EXPECT_TRUE(MvDVBCreateTS(out.data(), &rec));
    EXPECT_EQ(out[187], 0xAB);

    rec.adaptation_field_length = 200;  // payload position beyond the packet: no payload copy
    EXPECT_TRUE(MvDVBCreateTS(out.data(), &rec));
}

TEST(DVBCreatePAT, OneProgramPacket) {
    uint8_t out[188];
    memset(out, 0x55, sizeof out);
    ASSERT_TRUE(MvDVBCreatePAT(out, 1, 0x100, 0));
    const uint8_t head[6] = {0x47, 0x40, 0x00, 0x30, 0xA6, 0x00};
    EXPECT_EQ(0, memcmp(out, head, 6));
    for (int i = 6; i <= 170; ++i) ASSERT_EQ(out[i], 0xFF) << i;
    const uint8_t section[13] = {0x00, 0x00, 0xB0, 0x0D, 0x00, 0x00, 0xC1,
                                 0x00, 0x00, 0x00, 0x01, 0xE1, 0x00};
    EXPECT_EQ(0, memcmp(out + 171, section, 13));
    EXPECT_TRUE(MvDVBValidCRC(out + 172, 16));

    MvDVBTSPacket ts;
    ASSERT_TRUE(MvDVBParseTS(out, &ts));
    EXPECT_EQ(ts.payload_unit_start_indicator, 1);
    EXPECT_EQ(ts.PID, 0);
    EXPECT_EQ(ts.continuity_counter, 0);
    ASSERT_EQ(ts.payload_length, 17);
    EXPECT_EQ(ts.payload[0], 0x00);

    // The packet is a PAT our own assembler accepts.
    MvDVBPAT pat;
    EXPECT_TRUE(pat.AddData(true, ts.payload, ts.payload_length));
    ASSERT_TRUE(pat.Ready());
    std::vector<MvDVBPATProg> progs;
    pat.GetProgs(&progs, true);
    ASSERT_EQ(progs.size(), 1u);
    EXPECT_EQ(progs[0].program_number, 1);
    EXPECT_EQ(progs[0].program_map_PID, 0x100);
    EXPECT_EQ(pat.GetVersion(), 0u);

    // Version bits, the full 13-bit PID and a big program number.
    ASSERT_TRUE(MvDVBCreatePAT(out, 0xBEEF, 0x1FFE, 5));
    EXPECT_EQ(out[177], 0xC1 | (5 << 1));
    EXPECT_EQ(out[180], 0xBE);
    EXPECT_EQ(out[181], 0xEF);
    EXPECT_EQ(out[182], 0xFF);
    EXPECT_EQ(out[183], 0xFE);
    EXPECT_TRUE(MvDVBValidCRC(out + 172, 16));
}

// Every packet of every fixture parses; continuity counters advance on payload packets of
// each PID, PCRs on the PCR PID increase, and video key frames carry random_access_indicator.
TEST(DVBParseTS, EveryPacketOfTheFixtures) {
    struct Case {
        const char* file;
        int keyFrames;  // random access points on PID 0x100 (one per second)
    };
    const Case cases[] = {{"h264_aac.ts", 3}, {"hevc_ac3.ts", 3}, {"mpeg2_mp2.ts", 3},
                          {"two_programs.ts", 3}, {"pat_two_packets.ts", 1}};
    for (const Case& c : cases) {
        const Bytes ts = dvbtest::LoadFixture(c.file);
        ASSERT_FALSE(ts.empty()) << c.file;
        ASSERT_EQ(ts.size() % 188, 0u) << c.file;
        std::map<uint16_t, int> lastCc;
        uint64_t lastPcr = 0;
        int pcrs = 0, keyFrames = 0, adaptation = 0;
        for (size_t off = 0; off < ts.size(); off += 188) {
            Bytes p(ts.begin() + static_cast<long>(off), ts.begin() + static_cast<long>(off + 188));
            MvDVBTSPacket pkt;
            ASSERT_TRUE(MvDVBParseTS(p.data(), &pkt)) << c.file << " packet " << off / 188;
            ASSERT_EQ(pkt.sync_byte, 0x47);
            ASSERT_EQ(pkt.payload + pkt.payload_length, p.data() + 188);
            if (pkt.adaptation_field_control & 2) ++adaptation;
            if (pkt.adaptation_field_control & 1) {
                auto it = lastCc.find(pkt.PID);
                if (it != lastCc.end()) {
                    EXPECT_EQ(pkt.continuity_counter, (it->second + 1) & 0x0F)
                        << c.file << " PID " << pkt.PID << " packet " << off / 188;
                }
                lastCc[pkt.PID] = pkt.continuity_counter;
            }
            if (pkt.PCR_flag && pkt.PID == 0x100) {
                EXPECT_GT(pkt.program_clock_reference_base, lastPcr) << c.file;
                EXPECT_LT(pkt.program_clock_reference_extension, 300) << c.file;
                lastPcr = pkt.program_clock_reference_base;
                ++pcrs;
            }
            if (pkt.PID == 0x100 && pkt.random_access_indicator && pkt.payload_unit_start_indicator)
                ++keyFrames;
        }
        EXPECT_GT(pcrs, 5) << c.file;
        EXPECT_GT(adaptation, 10) << c.file;
        EXPECT_EQ(keyFrames, c.keyFrames) << c.file;
        EXPECT_TRUE(lastCc.count(0)) << c.file;
    }
}
