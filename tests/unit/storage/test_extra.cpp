// GOP extra data: its byte layout, a round trip of a GOP with a per-packet index and accessors,
// the checks that refuse damaged extra data, and resistance to arbitrary damage that passes
// the CRC.
#include <gtest/gtest.h>

#include <random>

#include "mvcrc.h"
#include "storage_fixture.h"

using namespace mvtest;

namespace {

constexpr tagMvCID kCid = MvCIDMake(555, 1, 0);

uint32_t LE32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint64_t LE64(const uint8_t* p) { return LE32(p) | (uint64_t)LE32(p + 4) << 32; }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> Bytes(const MvBuffer& b) {
    return std::vector<uint8_t>(b.GetData(), b.GetData() + b.GetLength());
}

// Stores the total length and the CRC of a buffer edited by a test, as a writer would.
void Reseal(std::vector<uint8_t>& extra) {
    Put32(extra, 8, static_cast<uint32_t>(extra.size()));
    Put32(extra, 4, MvCalcCRC32(extra.data() + 8, static_cast<int>(extra.size() - 8)));
}

// A GOP to parse into, with sentinel values that must survive a refused parse.
GopPtr Target(const std::vector<uint8_t>& extra) {
    GopPtr gop(new HSCGop());
    gop->dataSize = 0xABCD;
    gop->pmtPid = 0x1234;
    gop->extraData.Add(extra.data(), static_cast<int>(extra.size()));
    return gop;
}

}  // namespace

TEST(GopExtra, LayoutOfAGopWithoutAccessors) {
    GopPtr gop = MakeGop(0x0102030405ull, 0x07E8030E0A141E00ull, 2);
    gop->spare32 = 0x11;
    gop->spare64 = 0x22;
    gop->ecmPackets.Add(static_cast<uint8_t>(0xEC));
    gop->caPids = {0x0A0B};
    gop->accessorVersion = 0;
    AddAccessors(gop.get());  // present in the GOP ...
    gop->accessorVersion = 0;  // ... but not written for version 0
    ASSERT_TRUE(HSCBuildGopExtra(gop.get()));
    const auto b = Bytes(gop->extraData);
    const uint8_t* p = b.data();
    EXPECT_EQ(LE32(p), 0xAABB00FFu);
    EXPECT_EQ(LE32(p + 4), MvCalcCRC32(p + 8, static_cast<int>(b.size() - 8)));
    EXPECT_EQ(LE32(p + 8), b.size());
    EXPECT_EQ(LE32(p + 12), 2u * 1344);
    EXPECT_EQ(LE32(p + 16), 0x11u);
    EXPECT_EQ(LE32(p + 20), 2u * 1344);
    EXPECT_EQ(LE64(p + 24), 0x0102030405ull);
    EXPECT_EQ(LE64(p + 32), 0x22u);
    EXPECT_EQ(LE64(p + 40), 0x07E8030E0A141E00ull);
    EXPECT_EQ(LE64(p + 48), gop->pts);
    size_t at = 56;
    EXPECT_EQ(LE32(p + at), 188u);  // PAT
    at += 4 + 188;
    EXPECT_EQ(LE32(p + at), 188u);  // PMT
    at += 4 + 188;
    EXPECT_EQ(LE32(p + at), 1u);    // ECM
    EXPECT_EQ(p[at + 4], 0xEC);
    at += 5;
    // PID description: its byte length, four PIDs, then three counted lists.
    const uint32_t pidLen = LE32(p + at);
    EXPECT_EQ(pidLen, 8u + 4 + 2 * 2 + 4 + 2 * 1 + 4 + 2 * 1);
    at += 4;
    EXPECT_EQ(p[at] | p[at + 1] << 8, 0x100);        // pmtPid
    EXPECT_EQ(LE32(p + at + 8), 2u);                 // audio count
    EXPECT_EQ(p[at + 12] | p[at + 13] << 8, 0x102);  // first audio PID
    EXPECT_EQ(LE32(p + at + 16), 1u);                // CA count
    EXPECT_EQ(p[at + 20] | p[at + 21] << 8, 0x0A0B);
    at += pidLen;
    EXPECT_EQ(at, b.size()) << "nothing follows the PIDs without accessors";
}

TEST(GopExtra, RoundTripWithPerPacketIndexAndAccessors) {
    GopPtr gop = MakeGop(4242, TestTime(1234), 5);
    gop->spare32 = 7;
    gop->spare64 = 9;
    gop->closedSize = 0;
    gop->ecmPid = 0x1FFE;
    gop->caPids = {0x500, 0x501, 0x502};
    uint8_t ecm[188];
    memset(ecm, 0x77, sizeof(ecm));
    gop->ecmPackets.Add(ecm, sizeof(ecm));
    gop->RebuildPidSet();
    AddAccessors(gop.get(), 25);
    ASSERT_TRUE(HSCBuildGopExtra(gop.get()));
    const auto bytes = Bytes(gop->extraData);
    EXPECT_EQ(LE32(bytes.data()), 0xAABB01FFu);
    EXPECT_EQ(LE32(bytes.data() + bytes.size() - 4), 0u) << "the accessor list ends with a zero";

    GopPtr back = Target(bytes);
    ASSERT_TRUE(HSCParseGopExtra(back.get(), kCid, 4242));
    EXPECT_EQ(back->dataSize, gop->dataSize);
    EXPECT_EQ(back->spare32, 7u);
    EXPECT_EQ(back->closedSize, 0u);
    EXPECT_EQ(back->gopId, 4242u);
    EXPECT_EQ(back->spare64, 9u);
    EXPECT_EQ(back->startTime, gop->startTime);
    EXPECT_EQ(back->pts, gop->pts);
    EXPECT_EQ(Bytes(back->patPackets), Bytes(gop->patPackets));
    EXPECT_EQ(Bytes(back->pmtPackets), Bytes(gop->pmtPackets));
    EXPECT_EQ(Bytes(back->ecmPackets), Bytes(gop->ecmPackets));
    EXPECT_EQ(back->pmtPid, gop->pmtPid);
    EXPECT_EQ(back->pcrPid, gop->pcrPid);
    EXPECT_EQ(back->videoPid, gop->videoPid);
    EXPECT_EQ(back->ecmPid, 0x1FFE);
    EXPECT_EQ(back->audioPids, gop->audioPids);
    EXPECT_EQ(back->caPids, gop->caPids);
    EXPECT_EQ(back->otherPids, gop->otherPids);
    // pidSet rebuilt: PID 0, the single PIDs and every listed PID.
    EXPECT_EQ(back->pidSet, gop->pidSet);
    for (uint16_t pid : {0, 0x100, 0x101, 0x1FFE, 0x102, 0x103, 0x500, 0x502, 0x1FF})
        EXPECT_EQ(back->pidSet.count(pid), 1u) << pid;
    EXPECT_EQ(back->accessorVersion, 1u);
    ASSERT_EQ(back->tsInfos.size(), gop->tsInfos.size());
    for (size_t i = 0; i < gop->tsInfos.size(); ++i) {
        EXPECT_EQ(back->tsInfos[i].flags, gop->tsInfos[i].flags);
        EXPECT_EQ(back->tsInfos[i].recordOffset, gop->tsInfos[i].recordOffset);
        EXPECT_EQ(back->tsInfos[i].packetOffset, gop->tsInfos[i].packetOffset);
        EXPECT_EQ(back->tsInfos[i].payloadOffset, gop->tsInfos[i].payloadOffset);
    }
    ASSERT_EQ(back->accessors.size(), 2u);
    for (uint32_t id : {3u, 5u}) {
        const MvAccessor* want = gop->accessors[id];
        const MvAccessor* got = back->accessors[id];
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->id, id);
        EXPECT_EQ(got->headerCount, want->headerCount);
        ASSERT_EQ(got->entries.size(), want->entries.size());
        for (size_t i = 0; i < want->entries.size(); ++i) {
            EXPECT_EQ(got->entries[i].type, want->entries[i].type);
            EXPECT_EQ(got->entries[i].a, want->entries[i].a);
            EXPECT_EQ(got->entries[i].b, want->entries[i].b);
            EXPECT_EQ(got->entries[i].c, want->entries[i].c);
        }
        EXPECT_EQ(Bytes(got->buffer), Bytes(want->buffer));
    }
    // Encoding the restored GOP gives the same bytes.
    back->extraData.Clean();
    ASSERT_TRUE(HSCBuildGopExtra(back.get()));
    EXPECT_EQ(Bytes(back->extraData), bytes);

    // Footprint of the GOP as loaded: 128 + extra + mapping + packets + index + accessors.
    back->dataSize = gop->dataSize;
    ASSERT_TRUE(back->ReAlloc());
    HSCSetLoadedFootprint(back.get());
    const uint64_t want = 128 + bytes.size() + back->mappedSize + 188 * 3 + 10 * 75 +
                          (13 * 25 + 120) + (13 * 25 + 200);
    EXPECT_EQ(back->footprint, want);
    back->footprint = 99;
    HSCSetLoadedFootprint(back.get());
    EXPECT_EQ(back->footprint, 99u) << "an existing footprint is kept";
}

TEST(GopExtra, DamagedExtraDataIsRefused) {
    GopPtr gop = MakeGop(60, TestTime(), 3);
    AddAccessors(gop.get(), 4);
    ASSERT_TRUE(HSCBuildGopExtra(gop.get()));
    const auto good = Bytes(gop->extraData);
    // Offsets in this GOP's layout.
    const size_t pidAt = 56 + 4 + 188 + 4 + 188 + 4;   // PID description length
    const size_t pidLen = LE32(good.data() + pidAt);
    const size_t tsAt = pidAt + 4 + pidLen;             // tsInfos count
    const size_t acc1At = tsAt + 4 + 10 * 12;           // first accessor id

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        uint64_t gopNumber;
        const char* message;
    };
    const Case cases[] = {
        {"shorter than its header", [](auto& b) { b.resize(11); }, 60,
         "[DBG] CID(0)(1)(555) GOP(60) extra data error, extra buffer size(11)"},
        {"empty", [](auto& b) { b.clear(); }, 60, "extra buffer size(0)"},
        {"signature 0xAABB02FF", [](auto& b) { b[1] = 0x02; }, 60,
         "[DBG] CID(0)(1)(555) GOP(60) signature error"},
        {"signature of another record", [](auto& b) { b[0] = 0xFE; }, 60, "GOP(60) signature error"},
        {"truncated by a byte", [](auto& b) { b.pop_back(); }, 60, "GOP(60) size or CRC error"},
        {"bad CRC", [](auto& b) { b[30] ^= 0x40; }, 60, "GOP(60) size or CRC error"},
        {"truncated and resealed", [](auto& b) { b.resize(b.size() - 6); Reseal(b); }, 60,
         "GOP(60) size or CRC error"},
        {"cut inside the PID description, resealed",
         [&](auto& b) { b.resize(pidAt + 7); Reseal(b); }, 60, "GOP(60) size or CRC error"},
        {"wrong GOP number", [](auto& b) { b[24] = 61; Reseal(b); }, 60,
         "[DBG] CID(0)(1)(555) GOP data error, GOP(60)/(61)"},
        {"looked up as another GOP", [](auto&) {}, 59, "GOP data error, GOP(59)/(60)"},
        {"PAT length beyond the bytes", [](auto& b) { Put32(b, 56, 0xFFFFFFF0u); Reseal(b); }, 60,
         "size or CRC error"},
        {"PID description longer than the bytes",
         [&](auto& b) { Put32(b, pidAt, 0x7FFFFFFF); Reseal(b); }, 60, "size or CRC error"},
        {"audio count beyond the PID description",
         [&](auto& b) { Put32(b, pidAt + 4 + 8, 1000); Reseal(b); }, 60, "size or CRC error"},
        {"tsInfo count larger than the bytes",
         [&](auto& b) { Put32(b, tsAt, 0x20000000); Reseal(b); }, 60, "size or CRC error"},
        {"accessor entry count larger than the bytes",
         [&](auto& b) { Put32(b, acc1At + 5, 0xFFFFFFFF); Reseal(b); }, 60, "size or CRC error"},
        {"accessors out of order",
         [&](auto& b) { Put32(b, acc1At, 9); Reseal(b); }, 60, "size or CRC error"},
        {"missing list terminator", [](auto& b) { b.resize(b.size() - 4); Reseal(b); }, 60,
         "size or CRC error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = good;
        c.damage(bytes);
        GopPtr target = Target(bytes);
        bool ok = true;
        const std::string log = CaptureLog([&] { ok = HSCParseGopExtra(target.get(), kCid, c.gopNumber); });
        EXPECT_FALSE(ok);
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_NE(log.find("- [E] "), std::string::npos) << log;
        // Nothing of a refused buffer reaches the GOP.
        EXPECT_EQ(target->dataSize, 0xABCDu);
        EXPECT_EQ(target->pmtPid, 0x1234);
        EXPECT_TRUE(target->accessors.empty());
        EXPECT_TRUE(target->tsInfos.empty());
    }

    // Version 0 extra data restores no accessors and accessorVersion 0.
    gop->accessorVersion = 0;
    ASSERT_TRUE(HSCBuildGopExtra(gop.get()));
    GopPtr plain = Target(Bytes(gop->extraData));
    AddAccessors(plain.get());
    ASSERT_TRUE(HSCParseGopExtra(plain.get(), kCid, 60));
    EXPECT_EQ(plain->accessorVersion, 0u);
    EXPECT_TRUE(plain->accessors.empty());
    EXPECT_TRUE(plain->tsInfos.empty());
}

// Arbitrary damage that still carries a matching length and CRC is refused or accepted, never
// read beyond the buffer (AddressSanitizer watches).
TEST(GopExtra, ResealedRandomDamageNeverOverruns) {
    GopPtr gop = MakeGop(8, TestTime(), 2);
    AddAccessors(gop.get(), 6);
    ASSERT_TRUE(HSCBuildGopExtra(gop.get()));
    const auto good = Bytes(gop->extraData);
    std::mt19937 rng(20240314);
    int accepted = 0;
    const std::string log = CaptureLog([&] {
        for (int i = 0; i < 3000; ++i) {
            auto bytes = good;
            const int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits; ++e) {
                const size_t at = 12 + rng() % (bytes.size() - 12);
                switch (rng() % 3) {
                    case 0: bytes[at] = static_cast<uint8_t>(rng()); break;
                    case 1: if (at + 4 <= bytes.size()) Put32(bytes, at, rng()); break;
                    case 2: bytes.resize(at); break;
                }
                if (bytes.size() < 16) bytes.resize(16);
            }
            Reseal(bytes);
            GopPtr target = Target(bytes);
            if (HSCParseGopExtra(target.get(), kCid, 8)) ++accepted;
        }
    });
    EXPECT_GT(accepted, 0);  // edits inside packet bytes or PIDs keep the record readable
    EXPECT_LT(accepted, 3000);
}
