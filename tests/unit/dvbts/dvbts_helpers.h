// Helpers of the transport-stream tests: fixture loading, PSI section building and
// packetising, so that tests can state a table's content instead of spelling out its bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mvcrc.h"
#include "mvdvbts_misc.h"

namespace dvbtest {

using Bytes = std::vector<uint8_t>;

inline Bytes LoadFixture(const std::string& name) {
    std::ifstream in(std::string(MV_SOURCE_DIR) + "/tests/fixtures/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void Put16(Bytes* b, uint32_t v) {
    b->push_back(static_cast<uint8_t>(v >> 8));
    b->push_back(static_cast<uint8_t>(v));
}

// Completes a section whose body (everything after section_length) is given: writes table_id,
// the syntax bits, section_length and the CRC.
inline Bytes Section(uint8_t tableId, uint8_t syntaxBits, const Bytes& body) {
    Bytes s{tableId, 0, 0};
    const uint32_t len = static_cast<uint32_t>(body.size() + 4);
    s[1] = static_cast<uint8_t>(syntaxBits | ((len >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(len);
    s.insert(s.end(), body.begin(), body.end());
    const uint32_t crc = MvCalcCRC32(s.data(), static_cast<int>(s.size()));
    Put16(&s, crc >> 16);
    Put16(&s, crc & 0xFFFF);
    return s;
}

struct Prog {
    uint16_t number;
    uint16_t pid;
};

inline Bytes PatSection(uint16_t tsid, const std::vector<Prog>& progs, uint8_t version = 0,
                        bool current = true, uint8_t section = 0, uint8_t last = 0) {
    Bytes body;
    Put16(&body, tsid);
    body.push_back(static_cast<uint8_t>(0xC0 | (version << 1) | (current ? 1 : 0)));
    body.push_back(section);
    body.push_back(last);
    for (const Prog& p : progs) {
        Put16(&body, p.number);
        Put16(&body, 0xE000u | p.pid);
    }
    return Section(0x00, 0xB0, body);
}

struct Desc {
    uint8_t tag;
    Bytes data;
};
struct Strm {
    uint8_t type;
    uint16_t pid;
    std::vector<Desc> descs;
};

inline void PutDescs(Bytes* b, const std::vector<Desc>& descs) {
    for (const Desc& d : descs) {
        b->push_back(d.tag);
        b->push_back(static_cast<uint8_t>(d.data.size()));
        b->insert(b->end(), d.data.begin(), d.data.end());
    }
}

inline size_t DescsSize(const std::vector<Desc>& descs) {
    size_t n = 0;
    for (const Desc& d : descs) n += 2 + d.data.size();
    return n;
}

inline Bytes PmtSection(uint16_t program, uint16_t pcr, const std::vector<Desc>& info,
                        const std::vector<Strm>& streams, uint8_t section = 0, uint8_t last = 0) {
    Bytes body;
    Put16(&body, program);
    body.push_back(0xC1);
    body.push_back(section);
    body.push_back(last);
    Put16(&body, 0xE000u | pcr);
    Put16(&body, 0xF000u | static_cast<uint32_t>(DescsSize(info)));
    PutDescs(&body, info);
    for (const Strm& s : streams) {
        body.push_back(s.type);
        Put16(&body, 0xE000u | s.pid);
        Put16(&body, 0xF000u | static_cast<uint32_t>(DescsSize(s.descs)));
        PutDescs(&body, s.descs);
    }
    return Section(0x02, 0xB0, body);
}

// Cuts a section into transport packet payloads: the first starts with pointer_field 0,
// the last is padded with 0xFF. Each payload is 184 bytes.
inline std::vector<Bytes> Payloads(const Bytes& section) {
    Bytes all{0x00};
    all.insert(all.end(), section.begin(), section.end());
    std::vector<Bytes> out;
    for (size_t off = 0; off < all.size(); off += 184) {
        Bytes p(all.begin() + static_cast<long>(off),
                all.begin() + static_cast<long>(std::min(all.size(), off + 184)));
        p.resize(184, 0xFF);
        out.push_back(p);
    }
    return out;
}

// Feeds every packet of a stream on one PID to an assembler until it is ready.
template <class Table>
int FeedPid(Table* table, const Bytes& ts, uint16_t pid) {
    int fed = 0;
    MvDVBTSPacket pkt;
    for (size_t off = 0; off + 188 <= ts.size() && !table->Ready(); off += 188) {
        if (!MvDVBParseTS(ts.data() + off, &pkt) || pkt.PID != pid) continue;
        table->AddData(pkt.payload_unit_start_indicator != 0, pkt.payload, pkt.payload_length);
        ++fed;
    }
    return fed;
}

}  // namespace dvbtest
