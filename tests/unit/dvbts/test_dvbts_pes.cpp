// PES header parsing (time stamps, every optional field, truncation) and the section CRC check,
// on built headers and on the PES units of the fixtures.
#include <gtest/gtest.h>

#include <map>

#include "dvbts_helpers.h"
#include "mvdvbts_misc.h"

using dvbtest::Bytes;

namespace {

void PutTimeStamp(Bytes* b, uint8_t prefix, uint64_t ts) {
    b->push_back(static_cast<uint8_t>((prefix << 4) | (((ts >> 30) & 7) << 1) | 1));
    b->push_back(static_cast<uint8_t>(ts >> 22));
    b->push_back(static_cast<uint8_t>((((ts >> 15) & 0x7F) << 1) | 1));
    b->push_back(static_cast<uint8_t>(ts >> 7));
    b->push_back(static_cast<uint8_t>(((ts & 0x7F) << 1) | 1));
}

// A video PES header with PTS and DTS and every optional field, then 3 stuffing bytes and a
// 4-byte payload.
Bytes FullHeader() {
    Bytes h{0x00, 0x00, 0x01, 0xE0, 0x12, 0x34,
            0x80 | (2 << 4) | 0x08 | 0x04 | 0x01,  // '10', scrambling 2, priority, alignment, original
            0xFF,  // PTS and DTS, ESCR, ES rate, trick mode, copy info, CRC, extension
            0};    // PES_header_data_length, set below
    PutTimeStamp(&h, 3, 0x1ABCDEF01ull);
    PutTimeStamp(&h, 1, 0x0FFFFFFFFull);
    // ESCR base 0x123456789, extension 0x155.
    const uint64_t escr = 0x123456789ull;
    const uint16_t escrExt = 0x155;
    h.push_back(static_cast<uint8_t>(0xC0 | (((escr >> 30) & 7) << 3) | 0x04 | ((escr >> 28) & 3)));
    h.push_back(static_cast<uint8_t>(escr >> 20));
    h.push_back(static_cast<uint8_t>((((escr >> 15) & 0x1F) << 3) | 0x04 | ((escr >> 13) & 3)));
    h.push_back(static_cast<uint8_t>(escr >> 5));
    h.push_back(static_cast<uint8_t>(((escr & 0x1F) << 3) | 0x04 | ((escrExt >> 7) & 3)));
    h.push_back(static_cast<uint8_t>(((escrExt & 0x7F) << 1) | 1));
    // ES_rate 0x2AAAAA.
    h.push_back(0x80 | 0x55);
    h.push_back(0x55);
    h.push_back(0x55);
    h.push_back(0x3A);                  // trick mode: fast forward, field_id 3, refresh 0, trunc 2
    h.push_back(0x80 | 0x42);           // additional copy info 0x42
    h.push_back(0xBE);                  // previous PES CRC 0xBEEF
    h.push_back(0xEF);
    h.push_back(0x80 | 0x40 | 0x20 | 0x10 | 0x01);  // private, pack header, counter, P-STD, ext 2
    for (int i = 0; i < 16; ++i) h.push_back(static_cast<uint8_t>(0xA0 + i));
    h.push_back(2);                     // pack_field_length
    h.push_back(0x44);
    h.push_back(0x45);
    h.push_back(0x80 | 0x33);           // sequence counter 0x33
    h.push_back(0x80 | 0x40 | 0x15);    // MPEG-1 identifier 1, original stuff length 0x15
    h.push_back(0x40 | 0x20 | 0x12);    // P-STD scale 1, size 0x1234
    h.push_back(0x34);
    h.push_back(0x80 | 2);              // PES_extension_field_length 2
    h.push_back(0x71);                  // stream_id_extension_flag 0, stream_id_extension 0x71
    h.push_back(0xFF);
    for (int i = 0; i < 3; ++i) h.push_back(0xFF);  // stuffing
    h[8] = static_cast<uint8_t>(h.size() - 9);
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(0x10 + i));
    return h;
}

}  // namespace

TEST(DVBParsePES, MissingAndPresentPts) {
    MvDVBPESHdr h;
    const Bytes missing{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80};
    EXPECT_FALSE(MvDVBParsePES(missing.data(), static_cast<int>(missing.size()), &h, true));
    EXPECT_FALSE(MvDVBParsePES(missing.data(), static_cast<int>(missing.size()), &h, false));

    Bytes withPts = missing;
    withPts.push_back(5);
    PutTimeStamp(&withPts, 2, 90000);
    for (bool ptsOnly : {true, false}) {
        ASSERT_TRUE(MvDVBParsePES(withPts.data(), static_cast<int>(withPts.size()), &h, ptsOnly));
        EXPECT_EQ(h.PTS_DTS_flags, 2);
        EXPECT_EQ(h.PTS, 90000u);
        EXPECT_EQ(h.DTS, 0u);
        EXPECT_EQ(h.stream_id, 0xE0);
    }
    EXPECT_EQ(h.payload, withPts.data() + withPts.size());
    EXPECT_EQ(h.payload_length, 0);

    // The header length byte is there but the PTS it announces is cut short.
    Bytes cut(withPts.begin(), withPts.end() - 1);
    EXPECT_FALSE(MvDVBParsePES(cut.data(), static_cast<int>(cut.size()), &h, true));

    // No time stamps: flags 0 (and the forbidden value 1) read none.
    for (uint8_t flags : {0x00, 0x40}) {
        Bytes none{0x00, 0x00, 0x01, 0xC0, 0x00, 0x00, 0x80, flags, 0x00, 0xAA};
        ASSERT_TRUE(MvDVBParsePES(none.data(), static_cast<int>(none.size()), &h, false));
        EXPECT_EQ(h.PTS, 0u);
        EXPECT_EQ(h.payload_length, 1);
    }
}

TEST(DVBParsePES, StartCodeDecidesTheResult) {
    Bytes h{0x00, 0x00, 0x02, 0xE0, 0x00, 0x00, 0x80, 0x80, 5};
    PutTimeStamp(&h, 2, 1234);
    MvDVBPESHdr hdr;
    EXPECT_FALSE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &hdr, true));
    EXPECT_EQ(hdr.packet_start_code_prefix, 0x000002u);
    EXPECT_EQ(hdr.PTS, 1234u);  // every field is read whatever the prefix
    EXPECT_FALSE(MvDVBParsePES(nullptr, 100, &hdr, false));
    EXPECT_FALSE(MvDVBParsePES(h.data(), -1, &hdr, false));
}

TEST(DVBParsePES, EveryOptionalField) {
    const Bytes h = FullHeader();
    MvDVBPESHdr p;
    ASSERT_TRUE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &p, false));
    EXPECT_EQ(p.PES_packet_length, 0x1234);
    EXPECT_EQ(p.PES_scrambling_control, 2);
    EXPECT_EQ(p.PES_priority, 1);
    EXPECT_EQ(p.data_alignment_indicator, 1);
    EXPECT_EQ(p.copyright, 0);
    EXPECT_EQ(p.original_or_copy, 1);
    EXPECT_EQ(p.PTS_DTS_flags, 3);
    EXPECT_EQ(p.PTS, 0x1ABCDEF01ull);
    EXPECT_EQ(p.DTS, 0x0FFFFFFFFull);
    EXPECT_EQ(p.ESCR_base, 0x123456789ull);
    EXPECT_EQ(p.ESCR_extension, 0x155);
    EXPECT_EQ(p.ES_rate, 0x2AAAAAu);
    EXPECT_EQ(p.trick_mode_control, 1);
    EXPECT_EQ(p.rep_cntrl, 0x1A);
    EXPECT_EQ(p.additional_copy_info, 0x42);
    EXPECT_EQ(p.previous_PES_packet_CRC, 0xBEEF);
    ASSERT_NE(p.PES_private_data, nullptr);
    EXPECT_EQ(p.PES_private_data[15], 0xAF);
    EXPECT_EQ(p.pack_field_length, 2);
    EXPECT_EQ(p.pack_header[1], 0x45);
    EXPECT_EQ(p.program_packet_sequence_counter, 0x33);
    EXPECT_EQ(p.MPEG1_MPEG2_identifier, 1);
    EXPECT_EQ(p.original_stuff_length, 0x15);
    EXPECT_EQ(p.P_STD_buffer_scale, 1);
    EXPECT_EQ(p.P_STD_buffer_size, 0x1234);
    EXPECT_EQ(p.PES_extension_field_length, 2);
    EXPECT_EQ(p.stream_id_extension_flag, 0);
    EXPECT_EQ(p.stream_id_extension, 0x71);
    EXPECT_EQ(p.payload, h.data() + h.size() - 4);
    EXPECT_EQ(p.payload_length, 4);
    EXPECT_EQ(p.payload[0], 0x10);

    // The PTS-only mode stops after the time stamps and sets no payload.
    ASSERT_TRUE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &p, true));
    EXPECT_EQ(p.DTS, 0x0FFFFFFFFull);
    EXPECT_EQ(p.ESCR_base, 0u);
    EXPECT_EQ(p.payload, nullptr);
}

// Every truncation of the header fails in full mode; each prefix sits in a heap block of its
// own size so that AddressSanitizer reports any read past it.
TEST(DVBParsePES, TruncatedHeadersAreRefused) {
    const Bytes h = FullHeader();
    const size_t headerEnd = h.size() - 4;
    for (size_t n = 0; n < headerEnd; ++n) {
        Bytes prefix(h.begin(), h.begin() + static_cast<long>(n));
        MvDVBPESHdr p;
        EXPECT_FALSE(MvDVBParsePES(prefix.data(), static_cast<int>(n), &p, false)) << n;
        // PTS-only needs the time stamps alone (9 + 10 bytes).
        EXPECT_EQ(MvDVBParsePES(prefix.data(), static_cast<int>(n), &p, true), n >= 19) << n;
    }
    Bytes exact(h.begin(), h.begin() + static_cast<long>(headerEnd));
    MvDVBPESHdr p;
    ASSERT_TRUE(MvDVBParsePES(exact.data(), static_cast<int>(exact.size()), &p, false));
    EXPECT_EQ(p.payload_length, 0);
}

TEST(DVBParsePES, HeaderLengthShorterThanItsFields) {
    // PES_header_data_length 2 although PTS takes 5: the payload still starts where the header
    // length puts it, and no read leaves the data.
    Bytes h{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 2};
    PutTimeStamp(&h, 2, 777);
    MvDVBPESHdr p;
    ASSERT_TRUE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &p, false));
    EXPECT_EQ(p.PTS, 777u);
    EXPECT_EQ(p.payload, h.data() + 11);
    EXPECT_EQ(p.payload_length, 3);
    // A header length beyond the data is refused.
    h[8] = 200;
    EXPECT_FALSE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &p, false));
    EXPECT_TRUE(MvDVBParsePES(h.data(), static_cast<int>(h.size()), &p, true));
}

// The PES units of the fixtures: every unit start parses; DTS (or PTS) advances by one frame
// on video and audio time stamps increase.
TEST(DVBParsePES, FixtureUnits) {
    struct Case {
        const char* file;
        uint8_t videoId;
        uint8_t audioId;
    };
    const Case cases[] = {{"h264_aac.ts", 0xE0, 0xC0}, {"hevc_ac3.ts", 0xE0, 0xBD},
                          {"mpeg2_mp2.ts", 0xE0, 0xC0}};
    for (const Case& c : cases) {
        const Bytes ts = dvbtest::LoadFixture(c.file);
        std::map<uint16_t, uint64_t> last;
        std::map<uint16_t, int> units;
        for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
            MvDVBTSPacket pkt;
            ASSERT_TRUE(MvDVBParseTS(ts.data() + off, &pkt));
            if (!pkt.payload_unit_start_indicator || (pkt.PID != 0x100 && pkt.PID != 0x101)) continue;
            MvDVBPESHdr h;
            ASSERT_TRUE(MvDVBParsePES(pkt.payload, pkt.payload_length, &h, false)) << c.file;
            EXPECT_EQ(h.stream_id, pkt.PID == 0x100 ? c.videoId : c.audioId) << c.file;
            ASSERT_GE(h.PTS_DTS_flags, 2) << c.file;
            EXPECT_EQ(h.payload, pkt.payload + 9 + h.PES_header_data_length);
            const uint64_t t = h.PTS_DTS_flags == 3 ? h.DTS : h.PTS;
            if (last.count(pkt.PID)) {
                if (pkt.PID == 0x100)
                    EXPECT_EQ(t - last[pkt.PID], 3600u) << c.file;  // 25 fps
                else
                    EXPECT_GT(t, last[pkt.PID]) << c.file;
            }
            last[pkt.PID] = t;
            MvDVBPESHdr quick;
            ASSERT_TRUE(MvDVBParsePES(pkt.payload, pkt.payload_length, &quick, true));
            EXPECT_EQ(quick.PTS, h.PTS);
            ++units[pkt.PID];
        }
        EXPECT_EQ(units[0x100], 75) << c.file;  // 3 s of 25 fps, one PES per picture
        EXPECT_GT(units[0x101], 3) << c.file;
    }
}

TEST(DVBValidCRC, Lengths) {
    const Bytes sec = dvbtest::PatSection(1, {{1, 0x1000}});
    EXPECT_TRUE(MvDVBValidCRC(sec.data(), static_cast<int>(sec.size())));
    Bytes bad = sec;
    bad[9] ^= 0x01;
    EXPECT_FALSE(MvDVBValidCRC(bad.data(), static_cast<int>(bad.size())));
    // The CRC of no bytes is the initial value: a 4-byte section FF FF FF FF is valid.
    const uint8_t only[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(MvDVBValidCRC(only, 4));
    EXPECT_FALSE(MvDVBValidCRC(only, 3));
    EXPECT_FALSE(MvDVBValidCRC(only, 0));
    EXPECT_FALSE(MvDVBValidCRC(nullptr, 16));
}
