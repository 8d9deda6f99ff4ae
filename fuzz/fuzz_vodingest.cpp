// The VOD ingest decoders and GOP assembly on arbitrary input. The first byte gives the length
// of the PID data that follows it (a program with video on 0x100 and audio on 0x101 stands in
// when it does not decode); the rest is cut into data messages after their end flag. Every GOP
// handed on must be whole records with an index that points only into its data.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mvlogger.h"
#include "vodingest.h"

namespace {

bool Check(void*, HSCGop* gop) {
    if (gop->dataSize % MV_GOP_RECORD_SIZE != 0 || gop->dataSize == 0 ||
        gop->dataSize > MV_GOP_CAPACITY_VOD || gop->closedSize != gop->dataSize)
        abort();
    for (const MvTSInfo& e : gop->tsInfos) {
        if (e.recordOffset % MV_GOP_RECORD_SIZE != 0 || e.recordOffset >= gop->dataSize) abort();
        if (static_cast<uint64_t>(e.packetOffset) + MV_TS_PACKET_SIZE > gop->dataSize) abort();
        if (e.packetOffset < e.recordOffset + MV_GOP_RECORD_HEADER_SIZE) abort();
    }
    gop->AddRef();
    gop->Release();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        MvLogEnable(false);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    size_t pidLength = data[0];
    if (pidLength > size - 1) pidLength = size - 1;
    HSCPIDData pids;
    if (!HSCVODDecodePidData(data + 1, pidLength, pids)) {
        pids = HSCPIDData();
        pids.pmtPid = 0x1000;
        pids.pcrPid = 0x100;
        pids.videoPid = 0x100;
        pids.audioPids = {0x101};
    }
    HSCVODAssembler assembler(100000001, timespec{946684800, 0}, Check, nullptr);
    assembler.m_pauseUs = 0;
    MvBuffer pat, pmt, ecm;
    assembler.Begin(1, pat, pmt, ecm, pids);
    size_t at = 1 + pidLength;
    while (size - at >= static_cast<size_t>(HSC_VOD_MSG_REST_SIZE)) {
        HSCVODMessage msg;
        if (HSCVODDecodeMessage(data + at, msg) && !assembler.Message(msg)) return 0;
        at += HSC_VOD_MSG_REST_SIZE;
    }
    assembler.Finish();
    return 0;
}
