// The live segmenter's packet handling on arbitrary packet sequences. The first byte chooses the
// channel options (RPROGRAM, IDR, PATCHPAT, PATPROGSONLY, program number, extra bitrate); the
// rest is cut into datagrams of up to seven packets and fed in order, then flushed. Every GOP
// handed out must be whole records within its capacity, with an index that lies inside its
// data; every packet, buffer, GOP and audio state is freed once.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cfg.h"
#include "liveinput.h"
#include "liveinput_segmenter.h"
#include "mvlogger.h"

namespace {

class CheckingSink : public TSSGopSink {
public:
    void PushGop(HSCGop* gop) override {
        if (gop->dataSize % MV_GOP_RECORD_SIZE != 0 || gop->dataSize > TSS_GOP_CAPACITY) abort();
        if (gop->closedSize != gop->dataSize) abort();
        for (const MvTSInfo& e : gop->tsInfos) {
            if (static_cast<uint64_t>(e.packetOffset) + 188 > gop->dataSize) abort();
            if (e.recordOffset % MV_GOP_RECORD_SIZE != 0 || e.packetOffset < e.recordOffset) abort();
            if (gop->data[e.packetOffset] != 0x47) abort();
        }
        delete gop;
    }
    uint64_t PrimaryGopForPts(uint64_t pts, uint64_t, uint64_t& distance) override {
        distance = pts & 0xFF;
        return pts == 0 ? 0 : 4096 + (pts >> 20);
    }
    void Pause(int) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        MvLogEnableScreen(false);
        return true;
    }();
    (void)once;
    if (size < 1) return 0;
    const uint8_t opts = data[0];
    ++data;
    --size;

    static ITGMainConf conf;
    conf.IDR = (opts & 0x01) != 0;
    conf.PATCHPAT = (opts & 0x02) != 0;
    conf.PATPROGSONLY = (opts & 0x04) == 0;
    conf.ABRWAITTIME = 1;
    conf.ABRTHRESHOLDMS = 90;
    const uint32_t flags = (opts & 0x08) ? HSC_CHANNEL_RPROGRAM : 0;
    const uint64_t program = (opts >> 4) & 0x07;
    const tagMvCID cid = MvCIDMake(3, (opts & 0x80) ? 1 : 0, 0);

    CheckingSink sink;
    TSSSegmenter seg(cid, program, flags, 4096, &sink, &conf);
    timespec now = {1700000000, 0};
    size_t off = 0;
    while (off < size) {
        const size_t n = size - off < 7 * 188 ? size - off : 7 * 188;
        uint8_t* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
        if (buf == nullptr) return 0;
        memcpy(buf, data + off, n);
        seg.QueueDatagram(buf, MV_STB_RTP_DATAGRAM, static_cast<int>(n), now);
        seg.Process();
        now.tv_nsec += 40000000;
        if (now.tv_nsec >= 1000000000) {
            now.tv_nsec -= 1000000000;
            ++now.tv_sec;
        }
        off += n;
    }
    seg.Flush();
    if (seg.CurrentGop() != nullptr && seg.CurrentGop()->dataSize > TSS_GOP_CAPACITY) abort();
    return 0;
}
