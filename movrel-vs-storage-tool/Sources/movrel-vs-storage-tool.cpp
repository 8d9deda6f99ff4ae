// movrel-vs-storage-tool: formats a file or block device as a storage medium of the server
// (headers only, or headers and zeroed data), checks a medium's header and every block's info
// and index CRCs, and resets the blocks that fail.
//
//   movrel-vs-storage-tool <filename> <operation> [<storage_id>]
//
// Exit status: 0 success, 255 usage, access, header, write, recover or verify errors,
// 254 a block that fails its check in check or initfull.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "chunkmgr.h"
#include "mvlogger.h"
#include "mvstorageformat.h"
#include "mvtime.h"
#include "mvver.h"

namespace {

constexpr int kExitError = 255;  // -1
constexpr int kExitCheck = 254;  // -2
constexpr size_t kPathBuffer = 1024;
constexpr const char* kLine = "========================================================";

enum class Operation { InitFast, InitFull, Check, Recover };

void Greeting() {
    MVLOGI("%s", kLine);
    MVLOGI("Movrel Nerio Storage Tool %s", MvGetVersion());
    MVLOGI("%s", kLine);
}

[[noreturn]] void UsageExit() {
    MVLOGI("%s", kLine);
    MVLOGI("Use: movrel-vs-storage-tool <filename> <operation> [<storage_id>]");
    MVLOGI("  where: ");
    MVLOGI("    <filename> is file we wish to work on");
    MVLOGI("    <operation> is operation we wish to perform");
    MVLOGI("      initfast=<size>         init storage (headers only), size is nnn{K|M|G|T}");
    MVLOGI("      initfull=<size>         init storage (headers+data), size is nnn{K|M|G|T}");
    MVLOGI("      check                   check storage");
    MVLOGI("      recover                 recover storage");
    MVLOGI("%s", kLine);
    exit(kExitError);
}

// "<name>=<int><unit>": a positive decimal int directly followed by one unit letter K, M, G or
// T (either case); anything after the letter is ignored. False for every other form, for a
// number that does not fit an int and for a byte count beyond 64 bits.
bool ParseSize(const char* arg, const char* name, uint64_t& bytes) {
    const size_t nameLength = strlen(name);
    if (strncmp(arg, name, nameLength) != 0 || arg[nameLength] != '=') return false;
    const char* p = arg + nameLength + 1;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    uint64_t value = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > static_cast<uint64_t>(INT_MAX)) return false;
    }
    if (negative || value == 0) return false;
    int shift = 0;
    switch (*p) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        case 't': case 'T': shift = 40; break;
        default: return false;
    }
    if (value > (UINT64_MAX >> shift)) return false;
    bytes = value << shift;
    return true;
}

// A storage id: a decimal number 0 to 65535 and nothing else.
bool ParseStorageId(const char* arg, uint16_t& id) {
    if (*arg == '\0') return false;
    uint32_t value = 0;
    for (const char* p = arg; *p != '\0'; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > UINT16_MAX) return false;
    }
    id = static_cast<uint16_t>(value);
    return true;
}

// Block count of an init operation, with its log lines.
uint64_t CalculateBlocks(uint64_t size) {
    MVLOGI("Calculating block count...");
    uint64_t original = 0;
    const uint64_t blocks = HSCBlockCountForSize(size, &original);
    MVLOGI("Block count detected: (%llu)", static_cast<unsigned long long>(blocks));
    MVLOGI("Original size in blocks: (%llu)", static_cast<unsigned long long>(original));
    MVLOGI("Index and info will occupy: (%llu)",
           static_cast<unsigned long long>(blocks * kHSCInfoStride + kHSCHeaderArea));
    return blocks;
}

[[noreturn]] void CloseExit(int fd, int status) {
    MVLOGI("[CHUNK] Closing storage...");
    if (fd >= 0) close(fd);
    MVLOGI("[CHUNK] Done...");
    exit(status);
}

bool SyncStorage(int fd, const char* path) {
    if (fdatasync(fd) == 0) return true;
    MVLOGE("[CHUNK] Storage (%s) : could not flush media, error (%d)", path, errno);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    MvSetFlavour(MvFlavour::Tool);
    MvLogInit(true, false, "movrel-vs-storage-tool");
    Greeting();

    if (argc < 3) UsageExit();
    Operation op;
    const char* opArg = argv[2];
    if (strncmp(opArg, "initfast", 8) == 0)
        op = Operation::InitFast;
    else if (strncmp(opArg, "initfull", 8) == 0)
        op = Operation::InitFull;
    else if (strncmp(opArg, "check", 5) == 0)
        op = Operation::Check;
    else if (strncmp(opArg, "recover", 7) == 0)
        op = Operation::Recover;
    else
        UsageExit();

    if (strlen(argv[1]) >= kPathBuffer) UsageExit();
    char path[kPathBuffer];
    strcpy(path, argv[1]);

    const bool init = op == Operation::InitFast || op == Operation::InitFull;
    uint16_t storageId = 0;
    uint64_t requestedSize = 0;
    uint64_t blocks = 0;
    HSCStorageInfoV3 header;
    int fd = -1;

    if (init) {
        const char* name = op == Operation::InitFast ? "initfast" : "initfull";
        MVLOGI("'%s' detected", name);
        if (!ParseSize(opArg, name, requestedSize)) UsageExit();
        // Below one block beside the header the count has no meaning.
        if (requestedSize < kHSCHeaderArea + kHSCBlockDataSize) UsageExit();
        if (op == Operation::InitFast && argc == 4 && !ParseStorageId(argv[3], storageId))
            UsageExit();
        blocks = CalculateBlocks(requestedSize);
        if (blocks > static_cast<uint64_t>(INT32_MAX)) UsageExit();
        header = HSCMakeStorageInfo(blocks, 0);
        if (!MvOpenStorage(fd, path, true)) CloseExit(-1, kExitError);
        if (!MvFitStorage(fd, path, requestedSize, HSCMediumSize(blocks))) CloseExit(fd, kExitError);
    } else {
        MVLOGI("'%s' detected", op == Operation::Check ? "check" : "recover");
        if (!MvOpenStorage(fd, path, false)) CloseExit(-1, kExitError);
        if (!MvLoadStorage(fd, path, header)) exit(kExitError);
        char created[32];
        MvTimeToStrR(created, header.nCreated);
        MVLOGI("[CHUNK] Storage (%s), Version (%d), Blocks(%d), Created(%s)", path,
               static_cast<int>(header.nVersion), static_cast<int>(header.nBlocks), created);
        // A count beyond what the block numbers can carry is no header this tool wrote.
        if (header.nBlocks > static_cast<uint64_t>(INT32_MAX)) {
            MVLOGI("[CHUNK] Storage (%s) : info is damaged", path);
            exit(kExitError);
        }
        blocks = header.nBlocks;
    }

    const int count = static_cast<int>(blocks);
    const uint64_t dataStart = HSCDataAreaOffset(blocks);
    int reported = 0;
    for (int block = 1; block <= count; ++block) {
        switch (op) {
            case Operation::InitFast:
                if (!MvChunkWorks(fd, block, dataStart, false, false, storageId)) {
                    MVLOGI("write error, block(%d)", block);
                    exit(kExitError);
                }
                break;
            case Operation::InitFull:
                if (!MvChunkWorks(fd, block, dataStart, false, true, 0)) {
                    MVLOGI("write error, block(%d)", block);
                    exit(kExitError);
                }
                if (!MvChunkWorks(fd, block, dataStart, true, false, 0)) {
                    MVLOGI("check error, block(%d)", block);
                    exit(kExitCheck);
                }
                break;
            case Operation::Check:
                if (!MvChunkWorks(fd, block, dataStart, true, false, 0)) {
                    MVLOGI("check error, block(%d)", block);
                    exit(kExitCheck);
                }
                break;
            case Operation::Recover:
                if (!MvChunkWorks(fd, block, dataStart, true, false, 0)) {
                    MVLOGI("check error, block(%d)", block);
                    if (!MvChunkWorks(fd, block, dataStart, false, false, 0)) {
                        MVLOGI("recover error, block(%d)", block);
                        exit(kExitError);
                    }
                    if (!MvChunkWorks(fd, block, dataStart, true, false, 0)) {
                        MVLOGI("recovery verify error, block(%d)", block);
                        exit(kExitError);
                    }
                }
                break;
        }
        const int percent = static_cast<int>(static_cast<int64_t>(block - 1) * 100 / count);
        if (percent > reported + 4) {
            MVLOGI("[CHUNK] Processed %d%%", percent);
            reported = percent;
        }
    }

    // A format is only reported done once it is on the device; its header goes last, so an
    // interrupted format never carries a header that describes it.
    if (!SyncStorage(fd, path)) CloseExit(fd, kExitError);
    if (init) {
        MVLOGI("[CHUNK] Updating storage info...");
        header.nCreated = MvTimeNow();
        if (!MvUpdateStorage(fd, path, header) || !SyncStorage(fd, path)) CloseExit(fd, kExitError);
    }
    CloseExit(fd, 0);
}
