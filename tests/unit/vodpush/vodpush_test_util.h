// Helpers of the VOD push tests: hand-made transport packets (PSI, PES with a PTS, null and
// foreign packets) and a reader of the whole PES units of one PID, so that tests can state a
// stream's content and check the scan against their own view of the file.
#pragma once

#include <cstdint>
#include <vector>

#include "../dvbts/dvbts_helpers.h"

namespace vodtest {

using dvbtest::Bytes;

// One 188-byte packet; a payload shorter than 184 bytes is preceded by adaptation field stuffing.
inline Bytes Packet(uint16_t pid, bool pusi, uint8_t cc, const Bytes& payload) {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((pusi ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(pid);
    const size_t n = payload.size() < 184 ? payload.size() : 184;
    if (n == 184) {
        p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
    } else {
        p[3] = static_cast<uint8_t>(0x30 | (cc & 0x0F));
        p[4] = static_cast<uint8_t>(183 - n);
        if (183 - n > 0) p[5] = 0x00;  // no adaptation flags, then stuffing
    }
    std::copy(payload.begin(), payload.begin() + static_cast<long>(n), p.end() - static_cast<long>(n));
    return p;
}

inline Bytes NullPacket() {
    Bytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = 0x10;
    return p;
}

// The PES header of a video unit with a PTS, followed by es.
inline Bytes VideoPes(uint64_t pts, const Bytes& es) {
    Bytes b{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05};
    b.push_back(static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
    b.push_back(static_cast<uint8_t>(pts >> 22));
    b.push_back(static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1));
    b.push_back(static_cast<uint8_t>(pts >> 7));
    b.push_back(static_cast<uint8_t>(((pts << 1) & 0xFE) | 1));
    b.insert(b.end(), es.begin(), es.end());
    return b;
}

// H.264 access unit delimiters: primary_pic_type 0 (I only) and 1 (I and P).
inline Bytes AudI() { return {0x00, 0x00, 0x00, 0x01, 0x09, 0x10, 0x00, 0x00, 0x01, 0x41, 0x9A}; }
inline Bytes AudP() { return {0x00, 0x00, 0x00, 0x01, 0x09, 0x30, 0x00, 0x00, 0x01, 0x41, 0x9A}; }

inline void Append(Bytes* stream, const Bytes& packet) {
    stream->insert(stream->end(), packet.begin(), packet.end());
}

inline uint16_t Pid(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }
inline bool Pusi(const uint8_t* p) { return (p[1] & 0x40) != 0; }

// Payload of a packet (after the adaptation field), read on its own.
inline Bytes PayloadOf(const uint8_t* p) {
    const int afc = (p[3] >> 4) & 3;
    int off = 4;
    if (afc & 2) off = 5 + p[4];
    if (!(afc & 1) || off >= 188) return {};
    return Bytes(p + off, p + 188);
}

// Whole PES units of one PID: the packet number of each unit start and the unit's bytes.
struct Unit {
    size_t packet;
    Bytes bytes;
};
inline std::vector<Unit> Units(const Bytes& ts, uint16_t pid) {
    std::vector<Unit> units;
    for (size_t i = 0; (i + 1) * 188 <= ts.size(); ++i) {
        const uint8_t* p = ts.data() + i * 188;
        if (Pid(p) != pid) continue;
        if (Pusi(p)) units.push_back({i, {}});
        if (units.empty()) continue;
        const Bytes pl = PayloadOf(p);
        units.back().bytes.insert(units.back().bytes.end(), pl.begin(), pl.end());
    }
    return units;
}

}  // namespace vodtest
