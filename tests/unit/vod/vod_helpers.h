// Helpers of the VOD ingest tests: little-endian encoders written here (not taken from the push
// tool), synthetic transport packets, a title builder that records where every field of the
// byte stream starts, and a socket pair whose server end is an MvTCPSock.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "mvcommondata.h"
#include "mvcrc.h"
#include "mvdvbts_misc.h"
#include "mvsock.h"

namespace vodtest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Put64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void PutBuffer(Bytes& b, const Bytes& data) {
    Put32(b, static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kVideoPid = 0x100;
constexpr uint16_t kAudioPid = 0x101;
constexpr uint16_t kOtherPid = 0x102;

// A payload-only packet. The payload bytes carry the PID, a counter and `tag`, so that every
// packet of a test differs; a unit start begins with a PES header (stream id by PID).
inline Bytes Packet(uint16_t pid, bool start, uint32_t counter, uint8_t tag = 0) {
    Bytes p(MV_TS_PACKET_SIZE, 0);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (counter & 0x0F));
    for (int i = 4; i < MV_TS_PACKET_SIZE; ++i)
        p[i] = static_cast<uint8_t>(counter * 7 + static_cast<uint32_t>(i) + tag);
    if (start && (pid == kVideoPid || pid == kAudioPid)) {
        const uint8_t pes[] = {0x00, 0x00, 0x01, static_cast<uint8_t>(pid == kVideoPid ? 0xE0 : 0xC0),
                               0x00, 0x00, 0x80, 0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01};
        memcpy(&p[4], pes, sizeof(pes));
    }
    return p;
}
// A packet with an adaptation field only (a PCR carrier), payload length 0.
inline Bytes AdaptationOnly(uint16_t pid) {
    Bytes p(MV_TS_PACKET_SIZE, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((pid >> 8) & 0x1F);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = 0x20;
    p[4] = 183;
    p[5] = 0x00;
    return p;
}
inline Bytes NullPacket() { return Packet(0x1FFF, false, 0); }
// A packet whose adaptation field length runs past the packet: it cannot be parsed.
inline Bytes BrokenPacket(uint16_t pid) {
    Bytes p = Packet(pid, false, 0);
    p[3] = 0x30;
    p[4] = 190;
    return p;
}
inline uint16_t PidOf(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

// PID data as the protocol lays it out: four PIDs, then three counted lists.
inline Bytes PidData(uint16_t pmt, uint16_t pcr, uint16_t video, uint16_t ecm,
                     const std::vector<uint16_t>& audio, const std::vector<uint16_t>& ca,
                     const std::vector<uint16_t>& other) {
    Bytes b;
    for (uint16_t v : {pmt, pcr, video, ecm}) Put16(b, v);
    for (const auto* list : {&audio, &ca, &other}) {
        Put32(b, static_cast<uint32_t>(list->size()));
        for (uint16_t v : *list) Put16(b, v);
    }
    return b;
}
inline Bytes DefaultPidData() {
    return PidData(kPmtPid, kVideoPid, kVideoPid, 0xFFFF, {kAudioPid}, {}, {kOtherPid});
}

// One data message: flags, reserved fields, time, seven packets.
inline Bytes DataMessage(bool newGop, const timespec& t, const std::vector<Bytes>& packets,
                         uint16_t newGopValue = 1) {
    Bytes b;
    Put16(b, 0);
    Put16(b, newGop ? newGopValue : 0);
    Put64(b, 0x1111111111111111ull);
    Put64(b, 0x2222222222222222ull);
    Put64(b, static_cast<uint64_t>(t.tv_sec));
    Put64(b, static_cast<uint64_t>(t.tv_nsec));
    for (size_t i = 0; i < 7; ++i) {
        const Bytes p = i < packets.size() ? packets[i] : NullPacket();
        b.insert(b.end(), p.begin(), p.end());
    }
    return b;
}

// A title of `gops` GOPs as the push tool would send it, with the offsets of its fields.
struct Title {
    Bytes bytes;
    std::map<std::string, size_t> at;        // field name -> offset of its first byte
    std::vector<size_t> gopStart;            // offset of each GOP's first message
    std::vector<std::vector<Bytes>> gopPackets;  // the non-null packets of each GOP, in order
    std::vector<timespec> gopTime;
};

struct TitleSpec {
    uint64_t cid = 100000123;
    uint64_t storage = 1;
    uint64_t firstGop = 1;
    int gops = 3;
    int packetsPerGop = 30;   // video first, then video and audio alternating
    uint8_t tag = 0;          // varies the packet bytes between titles
    bool end = true;
    time_t baseSeconds = 946684800;  // 2000-01-01 00:00:00 UTC
    Bytes pidData = DefaultPidData();
};

// A complete table packet: the PAT of program 1 (PMT on kPmtPid), or for any other PID the PMT
// of program 1 with H.264 video on kVideoPid (PCR carrier), AAC on kAudioPid and a private
// stream on kOtherPid.
inline Bytes TablePacket(uint16_t pid, uint8_t cc = 0) {
    Bytes p(MV_TS_PACKET_SIZE, 0xFF);
    if (pid == 0) {
        MvDVBCreatePAT(p.data(), 1, kPmtPid, 0);
        p[3] = static_cast<uint8_t>((p[3] & 0xF0) | (cc & 0x0F));
        return p;
    }
    Bytes sec = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00,
                 static_cast<uint8_t>(0xE0 | (kVideoPid >> 8)), static_cast<uint8_t>(kVideoPid), 0xF0, 0x00};
    const std::pair<uint8_t, uint16_t> streams[] = {{0x1B, kVideoPid}, {0x0F, kAudioPid}, {0x06, kOtherPid}};
    for (const auto& [type, spid] : streams) {
        sec.push_back(type);
        sec.push_back(static_cast<uint8_t>(0xE0 | (spid >> 8)));
        sec.push_back(static_cast<uint8_t>(spid));
        sec.push_back(0xF0);
        sec.push_back(0x00);
    }
    const size_t length = sec.size() - 3 + 4;
    sec[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    sec[2] = static_cast<uint8_t>(length);
    const uint32_t crc = MvCalcCRC32(sec.data(), static_cast<int>(sec.size()));
    for (int i = 3; i >= 0; --i) sec.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(0x40 | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
    p[4] = 0x00;  // pointer field
    std::copy(sec.begin(), sec.end(), p.begin() + 5);
    return p;
}

inline Title MakeTitle(const TitleSpec& s) {
    Title t;
    Bytes& b = t.bytes;
    t.at["cid"] = b.size();
    Put64(b, s.cid);
    t.at["storage"] = b.size();
    Put64(b, s.storage);
    t.at["gopcount"] = b.size();
    Put32(b, static_cast<uint32_t>(s.gops));
    t.at["firstgop"] = b.size();
    Put64(b, s.firstGop);
    t.at["pat"] = b.size();
    PutBuffer(b, TablePacket(0, s.tag));
    t.at["pmt"] = b.size();
    PutBuffer(b, TablePacket(kPmtPid, s.tag));
    t.at["ecm"] = b.size();
    PutBuffer(b, Bytes{});
    t.at["piddata"] = b.size();
    PutBuffer(b, s.pidData);
    t.at["messages"] = b.size();
    uint32_t counter = 0;
    for (int g = 0; g < s.gops; ++g) {
        timespec time{s.baseSeconds + g, 0};
        std::vector<Bytes> packets;
        for (int i = 0; i < s.packetsPerGop; ++i) {
            const uint16_t pid = (i % 2 == 0) ? kVideoPid : kAudioPid;
            packets.push_back(Packet(pid, i < 2, counter++, s.tag));
        }
        t.gopStart.push_back(b.size());
        t.gopPackets.push_back(packets);
        t.gopTime.push_back(time);
        for (size_t i = 0; i < packets.size(); i += 7) {
            std::vector<Bytes> seven(packets.begin() + static_cast<long>(i),
                                     packets.begin() + static_cast<long>(std::min(i + 7, packets.size())));
            const Bytes m = DataMessage(i == 0, time, seven);
            b.insert(b.end(), m.begin(), m.end());
        }
    }
    t.at["end"] = b.size();
    if (s.end) Put16(b, 1);
    return t;
}

// A connected pair: the server end as an MvTCPSock (owned by whoever receives it), the client
// end as a descriptor closed by the pair unless taken.
struct SocketPair {
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair: " << errno;
            return;
        }
        server = new MvTCPSock(fds[0]);
        client = fds[1];
    }
    ~SocketPair() {
        delete server;
        if (client >= 0) close(client);
    }
    MvTCPSock* TakeServer() {
        MvTCPSock* s = server;
        server = nullptr;
        return s;
    }
    bool Send(const Bytes& b) { return Send(b.data(), b.size()); }
    bool Send(const uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t rc = send(client, p, n, MSG_NOSIGNAL);
            if (rc <= 0) return false;
            p += rc;
            n -= static_cast<size_t>(rc);
        }
        return true;
    }
    void CloseClient() {
        if (client >= 0) close(client);
        client = -1;
    }

    MvTCPSock* server = nullptr;
    int client = -1;
};

}  // namespace vodtest
