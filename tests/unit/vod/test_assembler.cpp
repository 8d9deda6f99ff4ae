// GOP assembly from data messages: where GOPs are cut, how packets fill the 1344-byte records
// and the per-packet index, what is skipped, the overflow of a GOP past its reservation, GOP
// times that run backwards and a sink that refuses a GOP.
#include <gtest/gtest.h>

#include <memory>

#include "vod_helpers.h"
#include "vodingest.h"

using namespace vodtest;

namespace {

constexpr tagMvCID kCid = 100000077;

struct Collected {
    std::vector<HSCGop*> gops;
    bool refuse = false;
    ~Collected() {
        for (HSCGop* g : gops) {
            g->AddRef();
            g->Release();
        }
    }
};

bool Collect(void* arg, HSCGop* gop) {
    Collected* c = static_cast<Collected*>(arg);
    if (c->refuse) return false;
    c->gops.push_back(gop);
    return true;
}

class Assembly : public ::testing::Test {
protected:
    void SetUp() override {
        const timespec start{1700000000, 0};
        asm_ = std::make_unique<HSCVODAssembler>(kCid, start, Collect, &out_);
        asm_->m_pauseUs = 0;
        MvBuffer pat, pmt, ecm;
        const Bytes p = TablePacket(0, 1), m = TablePacket(kPmtPid, 1);
        pat.Add(p.data(), 188);
        pmt.Add(m.data(), 188);
        HSCPIDData pids;
        const Bytes pd = DefaultPidData();
        ASSERT_TRUE(HSCVODDecodePidData(pd.data(), pd.size(), pids));
        asm_->Begin(41, pat, pmt, ecm, pids);
    }
    bool Send(bool newGop, time_t sec, const std::vector<Bytes>& packets) {
        const Bytes m = DataMessage(newGop, timespec{sec, 250000000}, packets);
        HSCVODMessage msg;
        EXPECT_TRUE(HSCVODDecodeMessage(m.data() + 2, msg));
        return asm_->Message(msg);
    }
    // The non-null packets of a GOP's records, in order, and a check that the index names them.
    static std::vector<Bytes> PacketsOf(const HSCGop& g) {
        std::vector<Bytes> out;
        EXPECT_EQ(g.dataSize % MV_GOP_RECORD_SIZE, 0u);
        for (uint32_t r = 0; r < g.dataSize; r += MV_GOP_RECORD_SIZE)
            for (int s = 0; s < 7; ++s) {
                const uint8_t* p = g.data + r + 28 + 188 * s;
                if (PidOf(p) == 0x1FFF) continue;
                out.emplace_back(p, p + 188);
            }
        EXPECT_EQ(g.tsInfos.size(), out.size());
        for (size_t i = 0; i < g.tsInfos.size() && i < out.size(); ++i) {
            const MvTSInfo& e = g.tsInfos[i];
            EXPECT_EQ(e.recordOffset % MV_GOP_RECORD_SIZE, 0u);
            EXPECT_EQ((e.packetOffset - e.recordOffset - 28) % 188, 0u);
            EXPECT_LE(e.packetOffset + 188u, g.dataSize);
            EXPECT_EQ(memcmp(g.data + e.packetOffset, out[i].data(), 188), 0) << "entry " << i;
        }
        return out;
    }

    Collected out_;
    std::unique_ptr<HSCVODAssembler> asm_;
};

Bytes V(uint32_t n, bool start = false) { return Packet(kVideoPid, start, n); }
Bytes A(uint32_t n, bool start = false) { return Packet(kAudioPid, start, n); }

}  // namespace

TEST_F(Assembly, GopsAreCutAtTheFirstVideoPacketOfAFlaggedMessage) {
    // GOP 41: no flag on the first message, so it opens with audio.
    ASSERT_TRUE(Send(false, 100, {A(1, true), V(2, true), A(3)}));
    // Flag set, but audio comes first: the audio still belongs to GOP 41.
    ASSERT_TRUE(Send(true, 101, {A(4), A(5), V(6, true), V(7), A(8)}));
    // Flag set without any video packet: no cut.
    ASSERT_TRUE(Send(true, 102, {A(9), A(10)}));
    // Video in the middle of an unflagged message: no cut.
    ASSERT_TRUE(Send(false, 102, {V(11, true)}));
    ASSERT_TRUE(Send(true, 103, {V(12, true), A(13)}));
    ASSERT_TRUE(asm_->Finish());

    ASSERT_EQ(out_.gops.size(), 3u);
    const std::vector<std::vector<Bytes>> want = {
        {A(1, true), V(2, true), A(3), A(4), A(5)},
        {V(6, true), V(7), A(8), A(9), A(10), V(11, true)},
        {V(12, true), A(13)},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("GOP " + std::to_string(i));
        const HSCGop& g = *out_.gops[i];
        EXPECT_EQ(g.gopId, 41 + i);
        EXPECT_EQ(g.cid, kCid);
        EXPECT_EQ(g.closedSize, g.dataSize);
        EXPECT_EQ(g.accessorVersion, 1u);
        EXPECT_EQ(g.refCount.load(), 0);
        EXPECT_LE(g.mappedSize, 8192u) << "handed on right-sized";
        EXPECT_EQ(PacketsOf(g), want[i]);
        EXPECT_EQ(g.patPackets.GetLength(), 188);
        EXPECT_EQ(g.audioPids, std::vector<uint16_t>{kAudioPid});
    }
    EXPECT_EQ(out_.gops[0]->startTime, MvTimeFromTimespec(timespec{100, 250000000}));
    EXPECT_EQ(out_.gops[1]->startTime, MvTimeFromTimespec(timespec{101, 250000000}));
    EXPECT_EQ(out_.gops[2]->startTime, MvTimeFromTimespec(timespec{103, 250000000}));
    // GOP 41 holds 5 packets in one record: its empty slots keep the null-packet header.
    const HSCGop& g = *out_.gops[0];
    ASSERT_EQ(g.dataSize, 1u * MV_GOP_RECORD_SIZE);
    for (int s = 5; s < 7; ++s) {
        const uint8_t* p = g.data + 28 + 188 * s;
        EXPECT_EQ(p[0], 0x47);
        EXPECT_EQ(p[1], 0x1F);
        EXPECT_EQ(p[2], 0xFF);
        EXPECT_EQ(p[3], 0x10);
    }
}

TEST_F(Assembly, RecordsCarryTimeAndRtpHeaderAndTheIndexItsFlags) {
    std::vector<Bytes> first = {V(0, true), AdaptationOnly(kVideoPid), A(1, true),
                                Packet(kPmtPid, true, 2), Packet(0, true, 3), Packet(kOtherPid, false, 4),
                                V(5)};
    ASSERT_TRUE(Send(true, 200, first));
    ASSERT_TRUE(Send(false, 201, {V(6), A(7)}));
    ASSERT_TRUE(asm_->Finish());
    ASSERT_EQ(out_.gops.size(), 1u);
    const HSCGop& g = *out_.gops[0];
    ASSERT_EQ(g.dataSize, 2u * MV_GOP_RECORD_SIZE);
    // Video carries the PCR in this program.
    const std::vector<uint8_t> flags = {0x01 | 0x10 | 0x40, 0x10 | 0x40, 0x01 | 0x20, 0x01 | 0x04,
                                        0x01 | 0x02, 0x00, 0x10 | 0x40, 0x10 | 0x40, 0x20};
    ASSERT_EQ(g.tsInfos.size(), flags.size());
    for (size_t i = 0; i < flags.size(); ++i) EXPECT_EQ(g.tsInfos[i].flags, flags[i]) << i;
    EXPECT_EQ(g.tsInfos[1].payloadOffset, 188) << "adaptation field only: no payload";
    EXPECT_EQ(g.tsInfos[0].payloadOffset, 4);
    EXPECT_EQ(g.tsInfos[7].recordOffset, static_cast<uint32_t>(MV_GOP_RECORD_SIZE));
    EXPECT_EQ(g.tsInfos[8].packetOffset, static_cast<uint32_t>(MV_GOP_RECORD_SIZE + 28 + 188));
    PacketsOf(g);

    // Record 1 was filled by the first message: its time is that of the first record (the
    // connection's start); record 2 was started when record 1 was full, at message 1's time.
    auto le64 = [&](uint32_t at) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | g.data[at + i];
        return v;
    };
    EXPECT_EQ(le64(0), 1700000000u);
    EXPECT_EQ(le64(MV_GOP_RECORD_SIZE), 200u);
    EXPECT_EQ(le64(MV_GOP_RECORD_SIZE + 8), 250000000u);
    EXPECT_EQ(g.data[16], 0x80);
    EXPECT_EQ(g.data[17], 0x21);
    // RTP sequence numbers count up record by record (big-endian).
    const int seq0 = (g.data[18] << 8) | g.data[19];
    const int seq1 = (g.data[MV_GOP_RECORD_SIZE + 18] << 8) | g.data[MV_GOP_RECORD_SIZE + 19];
    EXPECT_EQ(seq0, 0);
    EXPECT_EQ(seq1, 1);
}

TEST_F(Assembly, NullAndUnparsablePacketsAreSkipped) {
    Bytes noSync = V(3);
    noSync[0] = 0x00;
    ASSERT_TRUE(Send(true, 300, {V(1, true), NullPacket(), BrokenPacket(kVideoPid), noSync, A(2)}));
    ASSERT_TRUE(asm_->Finish());
    ASSERT_EQ(out_.gops.size(), 1u);
    EXPECT_EQ(PacketsOf(*out_.gops[0]), (std::vector<Bytes>{V(1, true), A(2)}));
    EXPECT_EQ(asm_->PacketsIn(), 2u);
}

TEST_F(Assembly, AnEndWithoutDataHandsNothingOn) {
    ASSERT_TRUE(asm_->Finish());
    EXPECT_TRUE(out_.gops.empty());
    ASSERT_TRUE(Send(true, 300, {NullPacket()}));  // a message of null packets only
    ASSERT_TRUE(asm_->Finish());
    EXPECT_TRUE(out_.gops.empty());
}

TEST_F(Assembly, AGopPastItsReservationKeepsOnlyWhatFitsAndAConsistentIndex) {
    // 18724 whole records fit in 24 MiB; send 18730 records' worth of video in one GOP.
    const uint32_t fit = MV_GOP_CAPACITY_VOD / MV_GOP_RECORD_SIZE;
    std::vector<Bytes> seven;
    for (int i = 0; i < 7; ++i) seven.push_back(V(static_cast<uint32_t>(i), i == 0));
    const Bytes m = DataMessage(true, timespec{400, 0}, seven);
    HSCVODMessage msg;
    ASSERT_TRUE(HSCVODDecodeMessage(m.data() + 2, msg));
    ASSERT_TRUE(asm_->Message(msg));
    msg.newGop = false;
    for (uint32_t r = 1; r < fit + 6; ++r) ASSERT_TRUE(asm_->Message(msg));
    ASSERT_TRUE(Send(true, 401, {V(9, true)}));
    ASSERT_TRUE(asm_->Finish());
    ASSERT_EQ(out_.gops.size(), 2u);
    const HSCGop& big = *out_.gops[0];
    EXPECT_EQ(big.dataSize, fit * MV_GOP_RECORD_SIZE);
    ASSERT_EQ(big.tsInfos.size(), static_cast<size_t>(fit) * 7);
    EXPECT_LE(big.tsInfos.back().packetOffset + 188u, big.dataSize);
    EXPECT_EQ(out_.gops[1]->gopId, 42u);
    EXPECT_EQ(PacketsOf(*out_.gops[1]), std::vector<Bytes>{V(9, true)});
}

TEST_F(Assembly, AGopStartingBeforeThePreviousOneIsRefused) {
    ASSERT_TRUE(Send(true, 500, {V(1, true)}));
    ASSERT_TRUE(Send(true, 500, {V(2, true)}));  // same time: accepted
    EXPECT_FALSE(Send(true, 499, {V(3, true)}));
    EXPECT_EQ(out_.gops.size(), 2u);
}

TEST_F(Assembly, ARefusedGopEndsTheTitleWithoutLeaks) {
    ASSERT_TRUE(Send(true, 600, {V(1, true)}));
    out_.refuse = true;
    EXPECT_FALSE(Send(true, 601, {V(2, true)}));
    EXPECT_TRUE(out_.gops.empty());
    // The open GOP is the assembler's; it goes with it (the leak checker watches).
}
