// The GOP extra data of a storage record: the GOP's metadata, its per-packet index and its
// accessors, serialised little-endian behind the record header and read back with every count
// checked against the bytes that remain, so that a damaged medium is refused, never overrun.
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "mvcommondata.h"
#include "mvcrc.h"
#include "mvlogger.h"
#include "mvstorageformat.h"

namespace {

constexpr uint32_t kSignatureMask = ~0x100u;  // bit 8 tells the accessor version apart

// Appends little-endian fields to a buffer sized in advance.
class ExtraWriter {
public:
    explicit ExtraWriter(uint8_t* out) : m_p(out) {}
    void U8(uint8_t v) { m_p[m_pos++] = v; }
    void U16(uint16_t v) {
        m_p[m_pos++] = static_cast<uint8_t>(v);
        m_p[m_pos++] = static_cast<uint8_t>(v >> 8);
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_p[m_pos++] = static_cast<uint8_t>(v >> (8 * i));
    }
    void U64(uint64_t v) {
        for (int i = 0; i < 8; ++i) m_p[m_pos++] = static_cast<uint8_t>(v >> (8 * i));
    }
    void Bytes(const uint8_t* bytes, size_t n) {
        if (n != 0) memcpy(m_p + m_pos, bytes, n);
        m_pos += n;
    }
    uint8_t* Reserve(size_t n) {
        uint8_t* at = m_p + m_pos;
        m_pos += n;
        return at;
    }
    size_t Pos() const { return m_pos; }

private:
    uint8_t* m_p;
    size_t m_pos = 0;
};

// Reads little-endian fields from [begin, end); every read tests the remaining length first and
// a failed read leaves the reader failed for good.
class ExtraReader {
public:
    ExtraReader(const uint8_t* p, size_t len) : m_p(p), m_len(len) {}
    bool Need(uint64_t n) {
        if (!m_ok || n > m_len - m_pos) m_ok = false;
        return m_ok;
    }
    bool U8(uint8_t& v) {
        if (!Need(1)) return false;
        v = m_p[m_pos++];
        return true;
    }
    bool U16(uint16_t& v) {
        if (!Need(2)) return false;
        v = static_cast<uint16_t>(m_p[m_pos] | (m_p[m_pos + 1] << 8));
        m_pos += 2;
        return true;
    }
    bool U32(uint32_t& v) {
        if (!Need(4)) return false;
        v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | m_p[m_pos + i];
        m_pos += 4;
        return true;
    }
    bool U64(uint64_t& v) {
        if (!Need(8)) return false;
        v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | m_p[m_pos + i];
        m_pos += 8;
        return true;
    }
    // The next n bytes in place; null when fewer remain.
    const uint8_t* Take(uint64_t n) {
        if (!Need(n)) return nullptr;
        const uint8_t* at = m_p + m_pos;
        m_pos += static_cast<size_t>(n);
        return at;
    }
    bool Ok() const { return m_ok; }

private:
    const uint8_t* m_p;
    size_t m_len;
    size_t m_pos = 0;
    bool m_ok = true;
};

inline uint32_t LE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The index entries and sequence entries are packed structs of little-endian fields in their
// stored order, so on a little-endian host their stored bytes are their memory image: whole
// arrays are copied at once. Elsewhere they are converted field by field.
template <typename T, typename Decode>
void DecodeArray(std::vector<T>& out, const uint8_t* bytes, Decode decode) {
    static_assert(std::is_trivially_copyable_v<T>);
    if constexpr (std::endian::native == std::endian::little) {
        if (!out.empty()) memcpy(out.data(), bytes, out.size() * sizeof(T));
    } else {
        for (size_t i = 0; i < out.size(); ++i) out[i] = decode(bytes + i * sizeof(T));
    }
}
template <typename T, typename Encode>
void EncodeArray(const std::vector<T>& in, uint8_t* bytes, Encode encode) {
    static_assert(std::is_trivially_copyable_v<T>);
    if constexpr (std::endian::native == std::endian::little) {
        if (!in.empty()) memcpy(bytes, in.data(), in.size() * sizeof(T));
    } else {
        for (size_t i = 0; i < in.size(); ++i) encode(in[i], bytes + i * sizeof(T));
    }
}
static_assert(sizeof(MvTSInfo) == MV_TSINFO_SIZE && sizeof(MvSeqEntry) == MV_SEQ_ENTRY_SIZE);

bool ReadPidList(ExtraReader& r, std::vector<uint16_t>& out) {
    uint32_t count = 0;
    if (!r.U32(count) || !r.Need(static_cast<uint64_t>(count) * 2)) return false;
    out.resize(count);
    for (uint16_t& pid : out) r.U16(pid);
    return r.Ok();
}

// Everything the extra data restores, decoded before any of it reaches the GOP.
struct ParsedExtra {
    uint32_t dataSize = 0, spare32 = 0, closedSize = 0;
    uint64_t gopId = 0, spare64 = 0, startTime = 0, pts = 0;
    const uint8_t* pat = nullptr;
    const uint8_t* pmt = nullptr;
    const uint8_t* ecm = nullptr;
    uint32_t patLen = 0, pmtLen = 0, ecmLen = 0;
    uint16_t pmtPid = 0, pcrPid = 0, videoPid = 0, ecmPid = 0;
    std::vector<uint16_t> audioPids, caPids, otherPids;
    std::vector<MvTSInfo> tsInfos;
    std::vector<std::unique_ptr<MvAccessor>> accessors;
};

bool ParseBody(ExtraReader& r, bool withAccessors, ParsedExtra& x) {
    r.U32(x.dataSize);
    r.U32(x.spare32);
    r.U32(x.closedSize);
    r.U64(x.gopId);
    r.U64(x.spare64);
    r.U64(x.startTime);
    r.U64(x.pts);
    if (!r.U32(x.patLen) || (x.pat = r.Take(x.patLen)) == nullptr) return false;
    if (!r.U32(x.pmtLen) || (x.pmt = r.Take(x.pmtLen)) == nullptr) return false;
    if (!r.U32(x.ecmLen) || (x.ecm = r.Take(x.ecmLen)) == nullptr) return false;

    // The PID description carries its own byte length; its fields must lie inside it.
    uint32_t pidLen = 0;
    const uint8_t* pidBytes = nullptr;
    if (!r.U32(pidLen) || (pidBytes = r.Take(pidLen)) == nullptr) return false;
    ExtraReader pr(pidBytes, pidLen);
    pr.U16(x.pmtPid);
    pr.U16(x.pcrPid);
    pr.U16(x.videoPid);
    pr.U16(x.ecmPid);
    if (!ReadPidList(pr, x.audioPids) || !ReadPidList(pr, x.caPids) ||
        !ReadPidList(pr, x.otherPids))
        return false;

    if (!withAccessors) return r.Ok();

    uint32_t tsCount = 0;
    if (!r.U32(tsCount)) return false;
    const uint8_t* ts = r.Take(static_cast<uint64_t>(tsCount) * MV_TSINFO_SIZE);
    if (ts == nullptr) return false;
    x.tsInfos.resize(tsCount);
    DecodeArray(x.tsInfos, ts, MvTSInfoDecode);

    uint32_t prevId = 0;
    for (;;) {
        uint32_t id = 0;
        if (!r.U32(id)) return false;
        if (id == 0) break;
        // Written in ascending id order; anything else is damage (and would repeat an id).
        if (id <= prevId) return false;
        prevId = id;
        auto acc = std::make_unique<MvAccessor>(id);
        uint32_t entryCount = 0, bufLen = 0;
        if (!r.U8(acc->headerCount) || !r.U32(entryCount)) return false;
        const uint8_t* entries = r.Take(static_cast<uint64_t>(entryCount) * MV_SEQ_ENTRY_SIZE);
        if (entries == nullptr) return false;
        acc->entries.resize(entryCount);
        DecodeArray(acc->entries, entries, MvSeqEntryDecode);
        const uint8_t* buf = nullptr;
        if (!r.U32(bufLen) || (buf = r.Take(bufLen)) == nullptr) return false;
        if (bufLen > static_cast<uint32_t>(INT_MAX)) return false;
        acc->buffer.Add(buf, static_cast<int>(bufLen));
        if (acc->buffer.GetLength() != static_cast<int>(bufLen)) return false;
        x.accessors.push_back(std::move(acc));
    }
    return r.Ok();
}

void SetBuffer(MvBuffer& buf, const uint8_t* bytes, uint32_t n) {
    buf.Clean();
    buf.Add(bytes, static_cast<int>(n));
}

}  // namespace

bool HSCBuildGopExtra(HSCGop* gop) {
    if (gop == nullptr) return false;
    gop->extraData.Clean();
    const bool withAccessors = gop->accessorVersion != 0;

    // Sizes first, in 64 bits, so that nothing is written unless every field fits.
    const uint64_t pidLen = 8 + 4 + 2 * static_cast<uint64_t>(gop->audioPids.size()) + 4 +
                            2 * static_cast<uint64_t>(gop->caPids.size()) + 4 +
                            2 * static_cast<uint64_t>(gop->otherPids.size());
    uint64_t total = kHSCExtraHeaderSize + 3 * 4 + 4 * 8;
    total += 4 + static_cast<uint64_t>(gop->patPackets.GetLength());
    total += 4 + static_cast<uint64_t>(gop->pmtPackets.GetLength());
    total += 4 + static_cast<uint64_t>(gop->ecmPackets.GetLength());
    total += 4 + pidLen;
    if (withAccessors) {
        total += 4 + static_cast<uint64_t>(MV_TSINFO_SIZE) * gop->tsInfos.size();
        for (const auto& [id, acc] : gop->accessors) {
            if (id == 0 || acc == nullptr) continue;  // id 0 would end the list
            if (acc->entries.size() > UINT32_MAX) return false;
            total += 4 + 1 + 4 + static_cast<uint64_t>(MV_SEQ_ENTRY_SIZE) * acc->entries.size() +
                     4 + static_cast<uint64_t>(acc->buffer.GetLength());
        }
        total += 4;
    }
    if (gop->audioPids.size() > UINT32_MAX || gop->caPids.size() > UINT32_MAX ||
        gop->otherPids.size() > UINT32_MAX || gop->tsInfos.size() > UINT32_MAX)
        return false;
    // MvBuffer holds at most INT32_MAX bytes and grows in 256 KiB steps.
    if (total > static_cast<uint64_t>(INT32_MAX) - 262144) return false;
    const int n = static_cast<int>(total);
    if (!gop->extraData.Allocate(n) || gop->extraData.GetCapacity() < n) {
        gop->extraData.Clean();
        return false;
    }

    ExtraWriter w(gop->extraData.GetData());
    w.U32(withAccessors ? kHSCExtraSignatureAcc : kHSCExtraSignature);
    uint8_t* crcAt = w.Reserve(4);
    w.U32(static_cast<uint32_t>(total));
    w.U32(gop->dataSize);
    w.U32(gop->spare32);
    w.U32(gop->closedSize);
    w.U64(gop->gopId);
    w.U64(gop->spare64);
    w.U64(gop->startTime);
    w.U64(gop->pts);
    for (const MvBuffer* b : {&gop->patPackets, &gop->pmtPackets, &gop->ecmPackets}) {
        w.U32(static_cast<uint32_t>(b->GetLength()));
        w.Bytes(b->GetData(), static_cast<size_t>(b->GetLength()));
    }
    w.U32(static_cast<uint32_t>(pidLen));
    w.U16(gop->pmtPid);
    w.U16(gop->pcrPid);
    w.U16(gop->videoPid);
    w.U16(gop->ecmPid);
    for (const std::vector<uint16_t>* list : {&gop->audioPids, &gop->caPids, &gop->otherPids}) {
        w.U32(static_cast<uint32_t>(list->size()));
        for (uint16_t pid : *list) w.U16(pid);
    }
    if (withAccessors) {
        w.U32(static_cast<uint32_t>(gop->tsInfos.size()));
        EncodeArray(gop->tsInfos, w.Reserve(MV_TSINFO_SIZE * gop->tsInfos.size()), MvTSInfoEncode);
        for (const auto& [id, acc] : gop->accessors) {
            if (id == 0 || acc == nullptr) continue;
            w.U32(id);
            w.U8(acc->headerCount);
            w.U32(static_cast<uint32_t>(acc->entries.size()));
            EncodeArray(acc->entries, w.Reserve(MV_SEQ_ENTRY_SIZE * acc->entries.size()),
                        MvSeqEntryEncode);
            w.U32(static_cast<uint32_t>(acc->buffer.GetLength()));
            w.Bytes(acc->buffer.GetData(), static_cast<size_t>(acc->buffer.GetLength()));
        }
        w.U32(0);
    }
    uint8_t* base = gop->extraData.GetData();
    PutLE32(crcAt, MvCalcCRC32(base + 8, n - 8));
    gop->extraData.m_length = n;
    return w.Pos() == total;
}

bool HSCParseGopExtra(HSCGop* gop, uint64_t cid, uint64_t gopId) {
    if (gop == nullptr) return false;
    const int len = gop->extraData.GetLength();
    const uint8_t* b = gop->extraData.GetData();
    if (len < static_cast<int>(kHSCExtraHeaderSize) || b == nullptr) {
        MVLOGE("[DBG] " MV_CID_FMT " GOP(%u) extra data error, extra buffer size(%d)",
               MV_CID_ARGS(cid), static_cast<unsigned>(gopId), len);
        return false;
    }
    const uint32_t signature = LE32(b);
    if ((signature & kSignatureMask) != kHSCExtraSignature) {
        MVLOGE("[DBG] " MV_CID_FMT " GOP(%u) signature error", MV_CID_ARGS(cid),
               static_cast<unsigned>(gopId));
        return false;
    }
    if (LE32(b + 8) != static_cast<uint32_t>(len) || LE32(b + 4) != MvCalcCRC32(b + 8, len - 8)) {
        MVLOGE("[DBG] " MV_CID_FMT " GOP(%u) size or CRC error", MV_CID_ARGS(cid),
               static_cast<unsigned>(gopId));
        return false;
    }

    const bool withAccessors = signature == kHSCExtraSignatureAcc;
    ParsedExtra x;
    ExtraReader r(b + kHSCExtraHeaderSize, static_cast<size_t>(len) - kHSCExtraHeaderSize);
    if (!ParseBody(r, withAccessors, x)) {
        MVLOGE("[DBG] " MV_CID_FMT " GOP(%u) size or CRC error", MV_CID_ARGS(cid),
               static_cast<unsigned>(gopId));
        return false;
    }
    if (x.gopId != gopId) {
        MVLOGE("[DBG] " MV_CID_FMT " GOP data error, GOP(%u)/(%u)", MV_CID_ARGS(cid),
               static_cast<unsigned>(gopId), static_cast<unsigned>(x.gopId));
        return false;
    }

    gop->dataSize = x.dataSize;
    gop->spare32 = x.spare32;
    gop->closedSize = x.closedSize;
    gop->gopId = x.gopId;
    gop->spare64 = x.spare64;
    gop->startTime = x.startTime;
    gop->pts = x.pts;
    SetBuffer(gop->patPackets, x.pat, x.patLen);
    SetBuffer(gop->pmtPackets, x.pmt, x.pmtLen);
    SetBuffer(gop->ecmPackets, x.ecm, x.ecmLen);
    gop->pmtPid = x.pmtPid;
    gop->pcrPid = x.pcrPid;
    gop->videoPid = x.videoPid;
    gop->ecmPid = x.ecmPid;
    gop->audioPids = std::move(x.audioPids);
    gop->caPids = std::move(x.caPids);
    gop->otherPids = std::move(x.otherPids);
    gop->RebuildPidSet();
    gop->accessorVersion = withAccessors ? 1 : 0;
    gop->ClearAccessors();
    gop->tsInfos = std::move(x.tsInfos);
    for (auto& acc : x.accessors) {
        const uint32_t id = acc->id;
        gop->accessors[id] = acc.release();
    }
    return true;
}
