// Accessor building on arbitrary GOPs. The input gives a control byte, then packets: each
// packet has a control byte, optional raw index values and 187 bytes (the sync byte is always
// 0x47). The GOP's PMT is a well-formed one with 0 to 3 audio streams of types from the input,
// or raw input bytes. Index entries get flags from the packet's PID or raw, and may carry raw
// payload, packet and record offsets. The GOP's data is moved to a heap block of exactly its
// size so that AddressSanitizer sees any read past it. After the build every entry of every
// accessor must lie inside its buffer, and every packet run inside the index and the data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "accessor.h"
#include "cfg.h"
#include "mvcommondata.h"
#include "mvcrc.h"
#include "mvlogger.h"

namespace {

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100;

class Reader {
public:
    Reader(const uint8_t* d, size_t n) : m_d(d), m_n(n) {}
    uint8_t Byte() { return m_pos < m_n ? m_d[m_pos++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    void Bytes(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = m_pos < m_n ? m_d[m_pos++] : 0xFF;
    }
    bool More() const { return m_pos < m_n; }

private:
    const uint8_t* m_d;
    size_t m_n;
    size_t m_pos = 0;
};

// One PMT packet: video stream 0x1B on kVideoPid, then the audio streams on 0x101, 0x102, ...
std::vector<uint8_t> PmtPacket(const std::vector<uint8_t>& audioTypes, bool language) {
    std::vector<uint8_t> s{0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00,
                           static_cast<uint8_t>(0xE0 | (kVideoPid >> 8)), static_cast<uint8_t>(kVideoPid), 0xF0, 0x00,
                           0x1B, static_cast<uint8_t>(0xE0 | (kVideoPid >> 8)), static_cast<uint8_t>(kVideoPid), 0xF0, 0x00};
    for (size_t k = 0; k < audioTypes.size(); ++k) {
        const uint16_t pid = static_cast<uint16_t>(0x101 + k);
        s.push_back(audioTypes[k]);
        s.push_back(static_cast<uint8_t>(0xE0 | (pid >> 8)));
        s.push_back(static_cast<uint8_t>(pid));
        s.push_back(0xF0);
        if (language) {
            s.push_back(6);
            s.insert(s.end(), {10, 4, 'e', 'n', 'g', 0});
        } else {
            s.push_back(0);
        }
    }
    const size_t length = s.size() - 3 + 4;
    s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    s[2] = static_cast<uint8_t>(length);
    const uint32_t crc = MvCalcCRC32(s.data(), static_cast<int>(s.size()));
    for (int i = 3; i >= 0; --i) s.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    std::vector<uint8_t> pkt(188, 0xFF);
    pkt[0] = 0x47;
    pkt[1] = static_cast<uint8_t>(0x40 | (kPmtPid >> 8));
    pkt[2] = static_cast<uint8_t>(kPmtPid);
    pkt[3] = 0x10;
    pkt[4] = 0x00;  // pointer field
    memcpy(&pkt[5], s.data(), s.size());
    return pkt;
}

void Check(bool ok) {
    if (!ok) abort();
}

void CheckAccessors(const HSCGop& gop) {
    Check(gop.accessors.size() == MV_ACC_COUNT);
    const MvAccessor* full = gop.accessors.at(MV_ACC_FULL);
    for (const auto& item : gop.accessors) {
        const MvAccessor* acc = item.second;
        Check(acc != nullptr && acc->id == item.first);
        const MvAccessor* bytesOf = item.first == MV_ACC_VPTS ? full : acc;
        const uint64_t length = static_cast<uint64_t>(bytesOf->buffer.GetLength());
        for (const MvSeqEntry& e : acc->entries) {
            if (e.type == MV_SEQ_PACKETS) {
                Check(e.b >= 1 && e.b <= MV_ACC_RUN_PACKETS);
                Check(static_cast<uint64_t>(e.a) + e.b <= gop.tsInfos.size());
                for (uint32_t k = e.a; k < e.a + e.b; ++k)
                    Check(static_cast<uint64_t>(gop.tsInfos[k].packetOffset) + 188 <= gop.dataSize);
            } else {
                Check(static_cast<uint64_t>(e.a) + e.b <= length);
                Check(bytesOf->buffer.GetData()[e.a] == MV_ACC_MAGIC);
            }
        }
    }
    const MvAccessor* fast = gop.accessors.at(MV_ACC_FAST);
    Check(fast->buffer.GetLength() <= full->buffer.GetLength());
    Check(fast->buffer.GetLength() == 0 ||
          memcmp(fast->buffer.GetData(), full->buffer.GetData(), static_cast<size_t>(fast->buffer.GetLength())) == 0);
    const MvAccessor* video = gop.accessors.at(MV_ACC_VPES);
    MvAccSummary summary;
    Check(!video->entries.empty() && MvAccessorReadSummary(*video, video->entries.back(), &summary));
    MvAccAudioPes record;
    for (const MvSeqEntry& e : gop.accessors.at(MV_ACC_APES)->entries)
        Check(MvAccessorReadAudioPes(*gop.accessors.at(MV_ACC_APES), e, &record) && record.cut <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MvLogEnable(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t control = in.Byte();
    ITGGetMainConf()->SECONDFIELD.store(control & 0x01);

    HSCPIDData pids;
    pids.pmtPid = kPmtPid;
    pids.pcrPid = kVideoPid;
    pids.videoPid = kVideoPid;
    std::vector<uint8_t> pmt;
    if (control & 0x02) {
        pmt.resize(188 * (1 + (in.Byte() & 1)));
        in.Bytes(pmt.data(), pmt.size());
    } else {
        std::vector<uint8_t> types((control >> 2) & 3);
        for (uint8_t& t : types) t = in.Byte();
        pmt = PmtPacket(types, control & 0x10);
        for (size_t k = 0; k < types.size(); ++k) pids.audioPids.push_back(static_cast<uint16_t>(0x101 + k));
    }
    pids.BuildPidSet();
    MvBuffer pat, pmtBuf(pmt.data(), static_cast<int>(pmt.size())), ecm;
    uint64_t next = control;
    HSCGop* gop = MvInitGOP(MvCIDMake(1, 0, 0), nullptr, next, pat, pmtBuf, ecm, pids, 1 << 20);

    uint8_t record[MV_GOP_RECORD_SIZE];
    int slots = 0;
    uint16_t seq = 0;
    while (in.More() && gop->tsInfos.size() < 4000) {
        const uint8_t ctl = in.Byte();
        if (slots == 0) {
            // Receive times from the input too: any value, damaged ones included.
            MvInitRTPData(timespec{static_cast<time_t>(in.U32()), static_cast<long>(in.U32() % 1000000000u)}, record,
                          ++seq);
            if (ctl & 0x08) {
                for (int i = 0; i < 16; ++i) record[i] = in.Byte();
            }
        }
        uint8_t* packet = record + MV_GOP_RECORD_HEADER_SIZE + 188 * slots;
        packet[0] = 0x47;
        in.Bytes(packet + 1, 187);
        MvTSInfo info;
        MvDVBTSPacket ts;
        const bool parsed = MvDVBParseTS(packet, &ts);
        const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        info.flags = static_cast<uint8_t>((packet[1] & 0x40 ? MV_TSINFO_PUSI : 0) |
                                          (pid == kVideoPid ? MV_TSINFO_VIDEO : 0) |
                                          (pid >= 0x101 && pid <= 0x103 ? MV_TSINFO_AUDIO : 0));
        info.payloadOffset = parsed ? static_cast<uint8_t>(188 - ts.payload_length) : 4;
        if (!parsed) info.flags |= MV_TSINFO_BADPAYLOAD;
        info.recordOffset = gop->dataSize;
        info.packetOffset = gop->dataSize + MV_GOP_RECORD_HEADER_SIZE + 188 * slots;
        if (ctl & 0x80) info.flags = in.Byte();
        if (ctl & 0x40) info.payloadOffset = in.Byte();
        if (ctl & 0x20) info.packetOffset = in.U32();
        if (ctl & 0x10) info.recordOffset = in.U32();
        gop->tsInfos.push_back(info);
        if (++slots == MV_GOP_RECORD_PACKETS) {
            gop->AppendRecord(record);
            slots = 0;
        }
    }
    if (slots > 0) gop->AppendRecord(record);
    gop->closedSize = gop->dataSize;

    // Exactly dataSize bytes on the heap, so that a read past the data is caught.
    uint8_t* mapped = gop->data;
    const uint32_t mappedSize = gop->mappedSize;
    std::vector<uint8_t> exact(gop->data, gop->data + gop->dataSize);
    gop->data = exact.empty() ? nullptr : exact.data();
    gop->mappedSize = gop->dataSize;

    gop->MvBuildAccessors();
    CheckAccessors(*gop);
    if (control & 0x80) {
        // A second build over existing accessors rebuilds the same.
        const int length = gop->accessors.at(MV_ACC_FULL)->buffer.GetLength();
        gop->MvBuildAccessors();
        CheckAccessors(*gop);
        Check(gop->accessors.at(MV_ACC_FULL)->buffer.GetLength() == length);
    }
    HSCGop* copy = gop->Duplicate();
    delete copy;

    gop->data = mapped;
    gop->mappedSize = mappedSize;
    delete gop;
    return 0;
}
