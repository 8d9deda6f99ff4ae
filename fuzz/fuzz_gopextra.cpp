// GOP extra data read from a medium: any bytes, with their length and CRC made to match so that
// the body parser is reached, must be refused or restored without a fault, and a restored GOP
// must survive another encode and decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mvcommondata.h"
#include "mvcrc.h"
#include "mvlogger.h"
#include "mvstorageformat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        MvLogEnable(false);
        return true;
    }();
    (void)quiet;
    if (size < 4 || size > (1u << 20)) return 0;

    // Byte 0 chooses the signature; the rest is the body after the 12-byte header.
    std::vector<uint8_t> extra(12 + size - 1);
    const uint32_t sig = (data[0] & 1) ? kHSCExtraSignatureAcc : kHSCExtraSignature;
    const uint32_t n = static_cast<uint32_t>(extra.size());
    for (int i = 0; i < 4; ++i) {
        extra[i] = static_cast<uint8_t>(sig >> (8 * i));
        extra[8 + i] = static_cast<uint8_t>(n >> (8 * i));
    }
    memcpy(extra.data() + 12, data + 1, size - 1);
    const uint32_t crc = MvCalcCRC32(extra.data() + 8, static_cast<int>(n - 8));
    for (int i = 0; i < 4; ++i) extra[4 + i] = static_cast<uint8_t>(crc >> (8 * i));

    // The GOP number the record claims, so that accepted bodies pass the number check.
    uint64_t gopId = 0;
    if (extra.size() >= 32)
        for (int i = 7; i >= 0; --i) gopId = (gopId << 8) | extra[24 + i];

    HSCGop gop;
    gop.extraData.Add(extra.data(), static_cast<int>(extra.size()));
    if (!HSCParseGopExtra(&gop, 0, gopId)) return 0;

    // A restored GOP encodes to a record that restores the same GOP: encoding it twice gives
    // the same bytes (a damaged body may carry bytes the parser skips, so the first encoding
    // need not equal the input).
    gop.extraData.Clean();
    if (!HSCBuildGopExtra(&gop)) abort();
    HSCGop again;
    again.extraData.Add(&gop.extraData);
    if (!HSCParseGopExtra(&again, 0, gopId)) abort();
    again.extraData.Clean();
    if (!HSCBuildGopExtra(&again)) abort();
    if (again.extraData.GetLength() != gop.extraData.GetLength() ||
        memcmp(again.extraData.GetData(), gop.extraData.GetData(),
               static_cast<size_t>(gop.extraData.GetLength())) != 0)
        abort();
    return 0;
}
