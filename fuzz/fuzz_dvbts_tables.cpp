// PAT and PMT assembly on arbitrary payload sequences. The input is cut into packets: one
// control byte (bit 7: payload_unit_start_indicator, bits 0-6 scale the length) then the
// payload. The assemblers must never read outside a payload, never grow their buffer past one
// section plus one packet, and hand out descriptors and streams that can be copied and freed.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "mvdvbts_misc.h"
#include "mvdvbts_pat.h"
#include "mvdvbts_pmt.h"

namespace {

// Pointer field, section header and the longest section, plus one packet's payload.
constexpr int kMaxBuffer = 256 + 3 + 1021 + 184;

void Check(MvDVBPAT& pat, MvDVBPMT& pmt) {
    if (pat.m_buffer.GetLength() > kMaxBuffer || pmt.m_buffer.GetLength() > kMaxBuffer) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MvDVBPAT pat;
    MvDVBPMT pmt;
    if (size > 0 && (data[0] & 0x40)) {
        pat.Prepare(data[0] & 0x20 ? 0x0001 : 0, !(data[0] & 0x10));
        pmt.Prepare(1, !(data[0] & 0x10));
    }
    size_t off = 0;
    while (off < size) {
        const uint8_t ctl = data[off++];
        size_t len = ((ctl & 0x7F) * 184u) / 127u;  // 0 to 184 bytes
        if (len > size - off) len = size - off;
        // A heap copy of exactly the payload, so that any read past it is caught.
        std::vector<uint8_t> payload(data + off, data + off + len);
        off += len;
        const bool start = ctl & 0x80;
        pat.AddData(start, payload.data(), static_cast<int>(payload.size()));
        pmt.AddData(start, payload.data(), static_cast<int>(payload.size()));
        Check(pat, pmt);
    }

    std::vector<MvDVBPATProg> progs;
    pat.GetProgs(&progs, true);
    pat.GetProgs(&progs, false);
    pat.Ready();
    pat.GetVersion();

    std::vector<MvDVBDesc*> descs;
    std::vector<MvDVBStrm*> streams;
    pmt.GetDescs(&descs);
    pmt.GetStreams(&streams);
    for (MvDVBDesc* d : descs) {
        MvDVBDescCA ca(d);
        if (ca.tag != 0 && ca.tag != 9) abort();
        delete d;
    }
    for (MvDVBStrm* s : streams) {
        MvGetStreamKind(s->stream_type);
        for (const MvDVBDesc* d : s->descriptors) MvDVBDescCA ca(d);
        delete s;
    }

    // The whole input as one section buffer.
    MvDVBPAT pat2;
    MvDVBPMT pmt2;
    pat2.ParseData(data, static_cast<int>(size));
    pmt2.ParseData(data, static_cast<int>(size));
    return 0;
}
