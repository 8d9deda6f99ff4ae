// Live input parsers on arbitrary bytes: the channel database loader (the input as the file),
// and a datagram cut into packet records with every video unit start offered to the key-frame
// finders. No read or write outside the buffers; every record and buffer is freed once.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "liveinput.h"
#include "liveinput_rx.h"
#include "mvlogger.h"

namespace {

void Database(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("channels", 0);
    if (fd < 0) abort();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::vector<HSCCompleteChannel> list;
    if (!HSCDBLoadChannelsFrom(path.c_str(), list, true)) abort();
    for (const HSCCompleteChannel& ch : list) {
        if (memchr(ch.sourceAddress, 0, sizeof(ch.sourceAddress)) == nullptr) abort();
        if ((ch.flags & ~HSC_CHANNEL_RPROGRAM) != 0 || MvCIDStreamId(ch.cid) != 0) abort();
    }
}

void Datagram(const uint8_t* data, size_t size) {
    const int length = static_cast<int>(size < MV_STB_RTP_DATAGRAM ? size : MV_STB_RTP_DATAGRAM);
    auto* buf = static_cast<uint8_t*>(malloc(MV_STB_RTP_DATAGRAM));
    if (buf == nullptr) return;
    memcpy(buf, data, static_cast<size_t>(length));
    std::deque<MvDVBTSPacketX*> q;
    const int n = MvSTBQueueDatagram(0, buf, MV_STB_RTP_DATAGRAM, length, timespec{}, q);
    if (n != static_cast<int>(q.size()) || n > 7) abort();
    uint8_t window[MV_KF_GATHER_SIZE];
    for (size_t i = 0; i < q.size(); ++i) {
        if (!q[i]->packet.payload_unit_start_indicator) continue;
        const int got = MvGatherVideoPayload(q, i, q[i]->packet.PID, window, sizeof(window));
        if (got < 0 || got > static_cast<int>(sizeof(window))) abort();
        // Exact-size copy, so that a read past the end is caught.
        std::vector<uint8_t> exact(window, window + got);
        for (int state = 0; state < 3; ++state) {
            int s = state, criterion = -1;
            MvFindKeyFrame(true, true, true, exact.data(), got, s, (i & 1) != 0, criterion);
            if (s < state || s > 2) abort();
        }
    }
    for (auto* x : q) MvFreePacketX(x);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        MvLogGlobal().Enable(false);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    if (data[0] & 1)
        Database(data + 1, size - 1);
    else
        Datagram(data + 1, size - 1);
    return 0;
}
