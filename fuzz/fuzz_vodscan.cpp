// The VOD push scan and message encoder on arbitrary files. The first input byte chooses the
// form: bit 0 puts a valid PAT and PMT (H.264 video on PID 0x100, audio on 0x101) in front,
// bit 1 forces the sync byte of every packet, bit 2 turns the IDR option on. A scanned title
// must cover its file, and its messages must carry exactly its packets.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mvcrc.h"
#include "vodpush.h"

namespace {

void Section(std::vector<uint8_t>& ts, uint16_t pid, std::vector<uint8_t> section) {
    const uint32_t crc = MvCalcCRC32(section.data(), static_cast<int>(section.size()));
    for (int s = 24; s >= 0; s -= 8) section.push_back(static_cast<uint8_t>(crc >> s));
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(0x40 | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = 0x10;
    p[4] = 0x00;  // pointer field
    memcpy(p.data() + 5, section.data(), section.size());
    ts.insert(ts.end(), p.begin(), p.end());
}

void Tables(std::vector<uint8_t>& ts) {
    Section(ts, 0, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00});
    Section(ts, 0x1000, {0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00,
                         0x1B, 0xE1, 0x00, 0xF0, 0x00, 0x0F, 0xE1, 0x01, 0xF0, 0x00});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t form = data[0];
    std::vector<uint8_t> ts;
    if (form & 1) Tables(ts);
    const size_t start = ts.size();
    ts.insert(ts.end(), data + 1, data + size);
    if (form & 2)
        for (size_t i = start; i < ts.size(); i += 188) ts[i] = 0x47;

    MvVodTitle title;
    MvVodScanOptions options;
    options.idr = (form & 4) != 0;
    options.gopCapacity = 64 * 1344;  // small GOPs reach the size refusal too
    std::string detail;
    if (MvVodScan(ts.data(), ts.size(), options, title, detail) != MvVodScanResult::Ok) return 0;

    if (title.gops.empty() || title.filePackets != ts.size() / 188) abort();
    uint64_t sent = 0;
    for (size_t g = 0; g < title.gops.size(); ++g) {
        const MvVodGopSpan& s = title.gops[g];
        const uint64_t end = g + 1 < title.gops.size() ? title.gops[g + 1].firstPacket : title.filePackets;
        if (s.firstPacket >= s.endPacket || s.endPacket != end || s.packets == 0) abort();
        std::vector<uint8_t> out;
        const uint64_t n = MvVodEncodeGop(out, title, ts.data(), g, timespec{1, 2});
        if (n != (s.packets + 6) / 7 || out.size() != n * MV_VOD_DATA_MSG_SIZE) abort();
        if (memcmp(out.data() + 36, ts.data() + s.firstPacket * 188, 188) != 0) abort();
        sent += s.packets;
    }
    if (title.leadingPackets + title.skippedPackets + sent != title.filePackets) abort();
    std::vector<uint8_t> initial;
    MvVodEncodeInitialData(initial, 1, title);
    return 0;
}
