// Transport packet and PES header parsing on arbitrary bytes: no read outside the given
// buffer, and a packet written back from a parsed record parses to the same header.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mvdvbts_misc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The packet parser always reads 188 bytes: give it exactly that much heap.
    std::vector<uint8_t> packet(kMvTSPacketSize, 0);
    memcpy(packet.data(), data, size < packet.size() ? size : packet.size());
    MvDVBTSPacket ts;
    if (MvDVBParseTS(packet.data(), &ts)) {
        if (ts.payload < packet.data() || ts.payload + ts.payload_length != packet.data() + kMvTSPacketSize)
            abort();
        std::vector<uint8_t> out(packet);
        MvDVBCreateTS(out.data(), &ts);
        MvDVBTSPacket again;
        if (!MvDVBParseTS(out.data(), &again)) abort();
        if (again.PID != ts.PID || again.adaptation_field_control != ts.adaptation_field_control ||
            again.adaptation_field_length != ts.adaptation_field_length ||
            again.continuity_counter != ts.continuity_counter || again.payload_length != ts.payload_length ||
            again.program_clock_reference_base != ts.program_clock_reference_base)
            abort();
        // PES headers usually start in a packet's payload.
        MvDVBPESHdr pes;
        MvDVBParsePES(ts.payload, ts.payload_length, &pes, true);
        if (MvDVBParsePES(ts.payload, ts.payload_length, &pes, false) &&
            (pes.payload_length < 0 || pes.payload + pes.payload_length != ts.payload + ts.payload_length))
            abort();
    }

    // The whole input as one PES unit, in both modes.
    const int n = static_cast<int>(size);
    MvDVBPESHdr pes;
    MvDVBParsePES(data, n, &pes, true);
    if (MvDVBParsePES(data, n, &pes, false) &&
        (pes.payload_length < 0 || pes.payload + pes.payload_length != data + size))
        abort();
    MvDVBValidCRC(data, n);
    return 0;
}
