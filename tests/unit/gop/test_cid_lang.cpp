// Content identifier helpers, the per-packet index and sequence entry byte forms, and the
// language table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mvcommondata.h"

TEST(ContentId, KindsAtRangeBoundaries) {
    struct Case { uint32_t content; bool channel, vod, pvr; };
    const Case cases[] = {
        {0, true, false, false},
        {99999999, true, false, false},
        {100000000, false, true, false},
        {999999999, false, true, false},
        {1000000000, false, false, true},
        {1999999999, false, false, true},
        {2000000000, false, false, false},
        {0xFFFFFFFFu, false, false, false},
    };
    // Sub-stream and stream id bits never change the kind.
    const uint64_t highs[] = {0, MvCIDMake(0, 255, 0), MvCIDMake(0, 0, 0xFFFFFF), 0xFFFFFFFF00000000ull};
    for (const auto& c : cases) {
        for (uint64_t high : highs) {
            const uint64_t id = high | c.content;
            EXPECT_EQ(MvIsChannel(id), c.channel) << c.content << " high " << high;
            EXPECT_EQ(MvIsVOD(id), c.vod) << c.content << " high " << high;
            EXPECT_EQ(MvIsPVR(id), c.pvr) << c.content << " high " << high;
        }
    }
}

TEST(ContentId, FieldsAndPrintForm) {
    const tagMvCID cid = MvCIDMake(100000123, 2, 0xABCDEF);
    EXPECT_EQ(cid, 0xABCDEF0205F5E17Bull);
    EXPECT_EQ(MvCIDContent(cid), 100000123u);
    EXPECT_EQ(MvCIDSubStream(cid), 2u);
    EXPECT_EQ(MvCIDStreamId(cid), 0xABCDEFu);

    // Oversized parts are cut to their widths instead of spilling into the neighbour field.
    const tagMvCID cut = MvCIDMake(7, 0x1FF, 0x1FFFFFF);
    EXPECT_EQ(MvCIDSubStream(cut), 0xFFu);
    EXPECT_EQ(MvCIDStreamId(cut), 0xFFFFFFu);
    EXPECT_EQ(MvCIDContent(cut), 7u);

    // Walking the variants touches only bits 32-39.
    const tagMvCID next = MvCIDWithSubStream(cid, MvCIDSubStream(cid) + 1);
    EXPECT_EQ(next, cid + (1ull << 32));
    EXPECT_EQ(MvCIDSubStream(MvCIDWithSubStream(cid, 0)), 0u);
    EXPECT_EQ(MvCIDStreamId(MvCIDWithSubStream(cid, 0)), 0xABCDEFu);

    char text[MV_CID_STR_SIZE];
    EXPECT_STREQ(MvCIDToStr(text, cid), "CID(11259375)(2)(100000123)");
    EXPECT_STREQ(MvCIDToStr(text, ~0ull), "CID(16777215)(255)(4294967295)");
    char line[64];
    snprintf(line, sizeof line, "[X] " MV_CID_FMT " ok", MV_CID_ARGS(MvCIDMake(5, 0, 0)));
    EXPECT_STREQ(line, "[X] CID(0)(0)(5) ok");
}

TEST(PacketIndex, EntryBytesAreLittleEndianInFieldOrder) {
    MvTSInfo info;
    info.flags = MV_TSINFO_VIDEO | MV_TSINFO_PUSI;
    info.recordOffset = 0x01020304;
    info.packetOffset = 0xA0B0C0D0;
    info.payloadOffset = 12;
    uint8_t bytes[MV_TSINFO_SIZE];
    MvTSInfoEncode(info, bytes);
    const uint8_t want[] = {0x11, 0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0, 12};
    EXPECT_EQ(0, memcmp(bytes, want, sizeof want));
    const MvTSInfo back = MvTSInfoDecode(bytes);
    EXPECT_EQ(back.flags, info.flags);
    EXPECT_EQ(back.recordOffset, info.recordOffset);
    EXPECT_EQ(back.packetOffset, info.packetOffset);
    EXPECT_EQ(back.payloadOffset, info.payloadOffset);

    MvSeqEntry entry;
    entry.type = MV_SEQ_TIMING;
    entry.a = 4;
    entry.b = 26;
    entry.c = 0x87654321;
    uint8_t eb[MV_SEQ_ENTRY_SIZE];
    MvSeqEntryEncode(entry, eb);
    const uint8_t ewant[] = {6, 4, 0, 0, 0, 26, 0, 0, 0, 0x21, 0x43, 0x65, 0x87};
    EXPECT_EQ(0, memcmp(eb, ewant, sizeof ewant));
    const MvSeqEntry eback = MvSeqEntryDecode(eb);
    EXPECT_EQ(eback.type, entry.type);
    EXPECT_EQ(eback.a, entry.a);
    EXPECT_EQ(eback.b, entry.b);
    EXPECT_EQ(eback.c, entry.c);
}

TEST(LanguageTable, LookupsByCode) {
    struct Case { const char* code; bool longForm; uint16_t id; };
    const Case cases[] = {
        {"ENG", true, 38},  {"eng", true, 38},  {"eNg", true, 38},
        {"fre", true, 188}, {"fra", true, 48},  {"fr", false, 48}, {"FR", false, 48},
        {"ger", true, 189}, {"deu", true, 33},  {"de", false, 33},
        {"kir", true, 91},  {"ky", false, 91},   // first of two equal rows
        {"che", true, 24},                       // row 122 repeats it
        {"tat", true, 168}, {"chi", true, 184}, {"zh", false, 184},
        {"max", true, 55},  {"avs", true, 3},   {"akn", true, 5},
        {"kv0", true, 186}, {"KV1", true, 187}, {"k0", false, 186},
        {"aa", false, 1},   {"aar", true, 1},   {"zul", true, 185},
        {"unk", true, 0},   {"un", false, 0},
        // Unknown, wrong length, wrong form, empty, non-ASCII: row 0.
        {"xyz", true, 0},   {"qq", false, 0},   {"en", true, 0},    {"eng", false, 0},
        {"engl", true, 0},  {"en ", true, 0},   {"e", false, 0},    {"", true, 0},
        {"", false, 0},     {"\xC5NG", true, 0},
    };
    for (const auto& c : cases) {
        const uint16_t got = c.longForm ? HSCGetLangIDByLongName(c.code) : HSCGetLangIDByShortName(c.code);
        EXPECT_EQ(got, c.id) << (c.longForm ? "long " : "short ") << '"' << c.code << '"';
    }
    EXPECT_EQ(HSCGetLangIDByLongName(nullptr), 0);
    EXPECT_EQ(HSCGetLangIDByShortName(nullptr), 0);
}

TEST(LanguageTable, RowsByNumber) {
    struct Row { uint16_t id; const char* two; const char* three; };
    const Row rows[] = {{0, "un", "unk"},   {28, "cs", "cze"},  {92, "ky", "kir"},
                        {113, "nb", "nbo"}, {150, "sq", "alb"}, {170, "ty", "tat"},
                        {189, "de", "ger"}, {190, "", ""},      {191, "", ""}, {0xFFFF, "", ""}};
    for (const auto& r : rows) {
        EXPECT_STREQ(HSCGetLangShortName(r.id), r.two) << r.id;
        EXPECT_STREQ(HSCGetLangLongName(r.id), r.three) << r.id;
    }
    // Every code of rows 0-189 is found, at its own row or at an earlier row with the same code.
    for (uint16_t i = 0; i < MV_LANG_INVALID; ++i) {
        const uint16_t s = HSCGetLangIDByShortName(HSCGetLangShortName(i));
        const uint16_t l = HSCGetLangIDByLongName(HSCGetLangLongName(i));
        EXPECT_LE(s, i);
        EXPECT_LE(l, i);
        EXPECT_STREQ(HSCGetLangShortName(s), HSCGetLangShortName(i));
        EXPECT_STREQ(HSCGetLangLongName(l), HSCGetLangLongName(i));
        EXPECT_EQ(strlen(HSCGetLangShortName(i)), 2u) << i;
        EXPECT_EQ(strlen(HSCGetLangLongName(i)), 3u) << i;
    }
}
