// Key-frame finders of the live segmenter: MPEG-2 group of pictures, H.264 IDR slices and I-only
// access unit delimiters, HEVC IDR pictures and I-only access unit delimiters.
#include <cstring>

#include "cfg.h"
#include "liveinput_rx.h"

namespace {

// Calls hit(offset) for every start code prefix 00 00 01 at offsets 0 to length - 6, in order,
// until hit returns true. The byte at offset + 2 decides how far the scan may jump: above 1 no
// prefix can start at any of the three offsets it belongs to; 0 rules out only this offset.
template <typename Hit>
bool ScanStartCodes(const uint8_t* d, int length, Hit hit) {
    const int last = length - 6;
    int i = 0;
    while (i <= last) {
        const uint8_t b2 = d[i + 2];
        if (b2 > 1) {
            i += 3;
        } else if (b2 == 0) {
            ++i;
        } else {
            if (d[i] == 0 && d[i + 1] == 0 && hit(i)) return true;
            i += 3;
        }
    }
    return false;
}

}  // namespace

bool MvFindKFMPEG2(const uint8_t* data, int length, int state) {
    if (length <= 5 || state >= 2) return false;
    return ScanStartCodes(data, length, [data](int i) { return data[i + 3] == 0xB8; });
}

bool MvFindKFMPEG4(const uint8_t* data, int length, int& state, bool idr) {
    if (length <= 5 || state >= 2) return false;
    bool found = false;
    bool idrHit = false;
    ScanStartCodes(data, length, [&](int i) {
        const uint8_t type = data[i + 3] & 0x1F;
        if (idr && type == 5) {
            idrHit = true;
            return true;
        }
        // Access unit delimiter with primary_pic_type 0: the picture has I slices only.
        if (state == 0 && type == 9 && data[i + 4] == 0x10) found = true;
        return false;
    });
    if (idrHit) {
        state = 1;
        return true;
    }
    return found;
}

bool MvFindKFMPEG4(const uint8_t* data, int length, int& state) {
    return MvFindKFMPEG4(data, length, state, ITGGetMainConf()->IDR.load(std::memory_order_relaxed));
}

bool MvFindKFMPEG5(const uint8_t* data, int length, int& state) {
    if (length <= 5 || state >= 2) return false;
    bool idrHit = false;
    const bool hit = ScanStartCodes(data, length, [&](int i) {
        const uint8_t type = (data[i + 3] >> 1) & 0x3F;
        if (type == 19 || type == 20) {
            idrHit = true;
            return true;
        }
        // Access unit delimiter: pic_type (top three bits after the two-byte NAL header) 0
        // means I slices only.
        return type == 35 && state == 0 && (data[i + 5] & 0xE0) == 0;
    });
    if (idrHit) state = 1;
    return hit;
}

int MvGatherVideoPayload(const std::deque<MvDVBTSPacketX*>& queue, size_t from, uint16_t pid,
                         uint8_t* out, int capacity) {
    int size = 0;
    for (size_t i = from; i < queue.size() && size <= MV_KF_GATHER_LIMIT; ++i) {
        const MvDVBTSPacket& p = queue[i]->packet;
        if (p.PID != pid) continue;
        if (i != from && p.payload_unit_start_indicator) break;
        if ((p.adaptation_field_control & 0x01) == 0 || p.payload == nullptr) continue;
        if (size >= capacity) break;
        int n = p.payload_length;
        if (n > kMvTSPacketSize - 4) n = kMvTSPacketSize - 4;
        if (n > capacity - size) n = capacity - size;
        if (n > 0) memcpy(out + size, p.payload, static_cast<size_t>(n));
        size += n;
    }
    return size;
}

bool MvFindKeyFrame(bool h264, bool hevc, bool mpeg2, const uint8_t* data, int length,
                    int& state, bool idr, int& criterion) {
    bool key = false;
    if (h264 && MvFindKFMPEG4(data, length, state, idr)) {
        key = true;
        criterion = MV_KF_H264;
    }
    if (hevc && MvFindKFMPEG5(data, length, state)) {
        key = true;
        criterion = MV_KF_HEVC;
    }
    if (mpeg2 && MvFindKFMPEG2(data, length, state)) {
        key = true;
        criterion = MV_KF_MPEG2;
    }
    return key;
}
