// The configuration file loader: line reading and splitting, the key table with its value
// forms and checks, the CPU list parser and the address-to-interface lookup.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cfg.h"
#include "mvlogger.h"

namespace {

constexpr size_t kLineSize = 4096;  // a line holds at most 4095 characters
constexpr size_t kFieldSize = 512;  // key and value hold at most 511 characters
constexpr size_t kAddrSize = 32;    // address and port parts hold at most 31 characters

std::atomic<void (*)(uint64_t)> g_cacheSizeCallback{nullptr};

struct LoadCtx {
    ITGMainConf& conf;
    bool initial;
    const char* line;   // the whole line, CR/LF removed
    const char* key;
    const char* value;  // the first space-free word after the key
    MvIPMap* debugSet;  // the DEBUGSTB set being built
};

long ReadLong(const char* text) { return strtol(text, nullptr, 10); }
bool ReadFlag(const char* text) { return strtol(text, nullptr, 10) != 0; }

// Reads one line into buf (at most cap - 1 characters kept, zero-terminated, LF dropped).
// Returns false at end of file with nothing read. 'tooLong' is set when the line had more
// than cap - 1 characters before its trailing CRs.
bool ReadLine(FILE* f, char* buf, size_t cap, bool& tooLong) {
    size_t len = 0;
    bool any = false;
    tooLong = false;
    int ch;
    while ((ch = getc(f)) != EOF) {
        any = true;
        if (ch == '\n') break;
        if (len < cap - 1) {
            buf[len++] = (char)ch;
        } else if (ch != '\r') {
            tooLong = true;  // characters beyond the buffer that are not line-end CRs
        }
    }
    buf[len] = '\0';
    return any;
}

// Splits a value the way sscanf does with "%[^:]:...:%[^ \r\n]" holding 'count' conversions,
// into 32-byte fields. Returns the number of fields converted, or -1 when a field would not
// fit its buffer.
int SplitColonFields(const char* s, int count, char out[][kAddrSize]) {
    for (int i = 0; i < count; ++i) {
        const bool last = (i == count - 1);
        size_t len = strcspn(s, last ? " \r\n" : ":");
        if (len == 0) return i;
        if (len >= kAddrSize) return -1;
        memcpy(out[i], s, len);
        out[i][len] = '\0';
        s += len;
        if (!last) {
            if (*s != ':') return i + 1;
            ++s;
        }
    }
    return count;
}

void SetBlock(tagITGListenAddr& b, const char* addr, const char* port) {
    snprintf(b.addr, sizeof(b.addr), "%s", addr);
    b.ip = inet_addr(b.addr);
    b.port = (uint16_t)strtol(port, nullptr, 10);
}

void RefuseLong(const char* key) {
    MVLOGE("[CFG] %s value has an address or port longer than %d characters, line skipped", key,
           (int)kAddrSize - 1);
}

[[noreturn]] void FatalPair(const char* key, const char* value) {
    MVLOGE("[CFG] FATAL: Invalid %s keyword: '%s'. Supply '%s address:port' pair", key, value,
           key);
    exit(2);
}

// HLS, VODINGEST, MONITOR.
void ApplyAddrPair(LoadCtx& c, tagITGListenAddr& b) {
    char f[2][kAddrSize];
    int n = SplitColonFields(c.value, 2, f);
    if (n < 0) return RefuseLong(c.key);
    if (n != 2) FatalPair(c.key, c.value);
    SetBlock(b, f[0], f[1]);
}

void ApplyCas(LoadCtx& c) {
    char f[2][kAddrSize];
    int n = SplitColonFields(c.value, 2, f);
    if (n < 0) return RefuseLong(c.key);
    if (n == 1) SetBlock(c.conf.CAS, f[0], "80");
    else if (n == 2) SetBlock(c.conf.CAS, f[0], f[1]);
}

void ApplyOttmp(LoadCtx& c) {
    char f[3][kAddrSize];
    int n = SplitColonFields(c.value, 3, f);
    if (n < 0) return RefuseLong(c.key);
    if (n != 2 && n != 3) {
        MVLOGE("[CFG] FATAL: Invalid %s keyword: '%s'. Supply '%s address:port' or "
               "'%s address:port:portcount'",
               c.key, c.value, c.key, c.key);
        exit(2);
    }
    SetBlock(c.conf.OTTMP, f[0], f[1]);
    c.conf.OTTMP.portCount = (n == 3) ? (uint16_t)strtol(f[2], nullptr, 10) : 1;
}

// WS, WSS: the address is kept as the name of the interface that carries it.
void ApplyWs(LoadCtx& c, tagITGListenAddr& b) {
    char f[2][kAddrSize];
    int n = SplitColonFields(c.value, 2, f);
    if (n < 0) return RefuseLong(c.key);
    if (n != 2) FatalPair(c.key, c.value);
    char text[kAddrSize];
    if (strcmp(f[0], "0.0.0.0") == 0) {
        text[0] = '\0';
    } else {
        snprintf(text, sizeof(text), "%s", f[0]);
        if (!ip_to_iface(text, sizeof(text))) FatalPair(c.key, c.value);
    }
    SetBlock(b, text, f[1]);
}

void ApplyStorage(LoadCtx& c) {
    unsigned id = 0;
    char path[kFieldSize];
    if (sscanf(c.value, "%u:%511[^:\n\r]", &id, path) < 2) {
        MVLOGE("[CFG] Invalid STORAGE keyword (%s %s)", c.key, c.value);
        MVLOGE("[CFG] Use: STORAGE ID:PATH");
        exit(2);
    }
    if (id == 0) {
        MVLOGE("[CFG] Storage ID should be positive number");
        exit(2);
    }
    // A larger id would silently alias a smaller one once cut to 16 bits.
    if (id > 65535) {
        MVLOGE("[CFG] Storage ID should be at most 65535 (%s)", c.value);
        exit(2);
    }
    auto [it, added] = c.conf.STORAGE.try_emplace((uint16_t)id);
    if (!added) {
        MVLOGE("[CFG] Storage IDs should be unique");
        return;
    }
    it->second.id = (uint16_t)id;
    it->second.path = path;
}

void ApplyAllowOrigins(LoadCtx& c) {
    // The rest of the line after the key, spaces included, up to a byte 0xC2 or 0xAC.
    char text[kLineSize];
    if (sscanf(c.line, "%*[^ ] %4095[^\xC2\xAC]", text) == 1)
        c.conf.SetString(ITGConfString::ALLOWORIGINS, text);
}

void ApplyDatabase(LoadCtx& c) {
    char path[kFieldSize];
    if (sscanf(c.value, "FILE:%511s", path) == 1)
        c.conf.SetString(ITGConfString::DATABASE, path);
    else
        MVLOGI("[CFG] Unsupported database (%s)", c.value);
}

void ApplyXml(LoadCtx& c) {
    FILE* f = fopen(c.value, "rb");
    if (f == nullptr) {
        MVLOGI("[CFG] Could not open XML file (%s)", c.value);
        return;
    }
    // Pieces of 31 bytes, each taken as a C string: bytes from a zero byte to the end of its
    // piece are not kept.
    std::string doc;
    char piece[32];
    size_t n;
    while ((n = fread(piece, 1, sizeof(piece) - 1, f)) > 0) {
        piece[n] = '\0';
        doc.append(piece);
    }
    fclose(f);
    int size = (int)doc.size();
    c.conf.SetString(ITGConfString::XML, std::move(doc));
    MVLOGI("[CFG] Loaded XML from (%s), sized (%d)", c.value, size);
}

void ApplyCacheSize(LoadCtx& c) {
    char* end = nullptr;
    errno = 0;
    long long n = strtoll(c.value, &end, 10);
    uint64_t mult = 1;
    switch (*end) {
        case 'k': case 'K': mult = 1024ull; break;
        case 'm': case 'M': mult = 1048576ull; break;
        case 'g': case 'G': mult = 1073741824ull; break;
        default: break;
    }
    if (n < 0 || errno == ERANGE || (uint64_t)n > UINT64_MAX / mult) {
        MVLOGE("[CFG] Invalid CACHESIZE value (%s), keeping %llu bytes", c.value,
               (unsigned long long)c.conf.CACHESIZE.load());
        return;
    }
    uint64_t size = (uint64_t)n * mult;
    c.conf.CACHESIZE.exchange(size);
    if (!c.initial) {
        void (*fn)(uint64_t) = g_cacheSizeCallback.load();
        if (fn != nullptr) fn(size);
    }
}

void ApplyV3Default(LoadCtx& c) {
    char storage[kFieldSize], minutes[kFieldSize];
    if (sscanf(c.value, "%511[^:]:%511[^: ]|", storage, minutes) != 2) {
        MVLOGE("[CFG] Invalid V3DEFAULT keyword (%s %s)", c.key, c.value);
        return;
    }
    uint64_t m = (uint64_t)strtoll(minutes, nullptr, 10);
    if (m < 10) {
        MVLOGW("[CFG] Warning, V3DEFAULT time parameter is defaulted to 10, auto is not "
               "supported anymore");
        m = 10;
    }
    c.conf.SetTimeAndStorageForContent(ITG_V3_DEFAULT_KEY,
                                       (uint16_t)strtoll(storage, nullptr, 10), m, true);
}

void ApplyMemMiB(LoadCtx& c, std::atomic<uint64_t>& field) {
    long mib = ReadLong(c.value);
    if (mib < 0 || mib > 2047) {
        MVLOGE("[CFG] %s should be in range 0-2047, keeping %llu MiB", c.key,
               (unsigned long long)(field.load() / 1048576));
        return;
    }
    field = (uint64_t)mib * 1048576;
}

void ApplyRange(LoadCtx& c, std::atomic<int32_t>& field, int lo, int hi) {
    int32_t v = (int32_t)ReadLong(c.value);
    if (v < lo || v > hi) MVLOGE("[CFG] %s should be in range %d-%d", c.key, lo, hi);
    field = v;
}

void ApplySendParts(LoadCtx& c) {
    int32_t v = (int32_t)ReadLong(c.value);
    if (c.initial || v != c.conf.SENDPARTS.load())
        MVLOGI("[CFG] Will send %d V3 parts at once", v);
    c.conf.SENDPARTS = v;
}

void ApplyAbrThreshold(LoadCtx& c) {
    long ms = ReadLong(c.value);
    // Keep the tick count inside 32 bits.
    if (ms > INT32_MAX / 90) ms = INT32_MAX / 90;
    if (ms < INT32_MIN / 90) ms = INT32_MIN / 90;
    c.conf.ABRTHRESHOLDMS = (int32_t)(ms * 90);
}

void ApplyReaderSlots(LoadCtx& c) {
    int32_t v = (int32_t)ReadLong(c.value);
    if (v < 1) {
        MVLOGW("[CFG] READERSLOTS should be at least 1 (%s), using 1", c.value);
        v = 1;
    }
    c.conf.READERSLOTS = v;
}

void ApplyWsGetFragsMax(LoadCtx& c) {
    int32_t v = (int32_t)ReadLong(c.value);
    if (v <= 0) {
        MVLOGE("[CFG] WSGETFRAGSMAX should be positive integer");
        return;
    }
    c.conf.WSGETFRAGSMAX = v;
}

void ApplyCpus(LoadCtx& c, ITGCpuSet which) {
    MvMask128 mask = ObtainMask128(c.line);
    // An empty set would make every thread started afterwards fail to bind and end the
    // process, so the previous set stays.
    if (mask.IsEmpty()) {
        MVLOGW("[CFG] %s keeps its previous CPU set", c.key);
        return;
    }
    MvMask128 old = c.conf.GetCPUSet(which);
    c.conf.SetCPUSet(which, mask);
    if (c.initial || !(old == mask))
        MVLOGI("[CFG] %s 0x%016llx,%016llx", c.key, (unsigned long long)mask.high,
               (unsigned long long)mask.low);
}

struct KeyDef {
    const char* name;
    bool reload;  // applied at reloads too
    void (*apply)(LoadCtx&);
};

#define MV_FLAG(field) [](LoadCtx& c) { c.conf.field = ReadFlag(c.value); }
#define MV_INT(field) [](LoadCtx& c) { c.conf.field = (int32_t)ReadLong(c.value); }
#define MV_STR(field) [](LoadCtx& c) { c.conf.field = c.value; }

const KeyDef kKeys[] = {
    {"SCREENLOG", false, MV_FLAG(SCREENLOG)},
    {"FILELOG", false, MV_FLAG(FILELOG)},
    {"LOGENABLED", false, MV_FLAG(LOGENABLED)},
    {"LOGFLUSH", true,
     [](LoadCtx& c) {
         bool on = ReadFlag(c.value);
         c.conf.LOGFLUSH = on;
         MvLogSetFlush(on);
     }},
    {"VERBOSE", true, MV_FLAG(VERBOSE)},
    {"ID", false, MV_INT(ID)},
    {"STORAGE", false, ApplyStorage},
    {"DATABASE", true, ApplyDatabase},
    {"XML", true, ApplyXml},
    {"CACHESIZE", true, ApplyCacheSize},
    {"READCACHE", true, MV_FLAG(READCACHE)},
    {"CACHEDISTANCE", true, MV_INT(CACHEDISTANCE)},
    {"MINFREEMEM", true, [](LoadCtx& c) { ApplyMemMiB(c, c.conf.MINFREEMEM); }},
    {"MINFREEBLOCKMEM", true, [](LoadCtx& c) { ApplyMemMiB(c, c.conf.MINFREEBLOCKMEM); }},
    {"DEFERSECS", true, MV_INT(DEFERSECS)},
    {"READERSLOTS", false, ApplyReaderSlots},
    {"BULKWRITE", true, MV_FLAG(BULKWRITE)},
    {"SYNCDATA", true, MV_FLAG(SYNCDATA)},
    {"SYNCBUFFERS", true, MV_FLAG(SYNCBUFFERS)},
    {"SECONDFIELD", true, MV_FLAG(SECONDFIELD)},
    {"IDR", true, MV_FLAG(IDR)},
    {"PATCHPAT", false, MV_FLAG(PATCHPAT)},
    {"PATPROGSONLY", true, MV_FLAG(PATPROGSONLY)},
    {"ABRTHRESHOLDMS", true, ApplyAbrThreshold},
    {"ABRWAITTIME", true, MV_INT(ABRWAITTIME)},
    {"NOGOP", true, MV_FLAG(NOGOP)},
    {"WAITPING", true, MV_FLAG(WAITPING)},
    {"WAITBUFFER", true, MV_FLAG(WAITBUFFER)},
    {"BWMINOH", true, [](LoadCtx& c) { ApplyRange(c, c.conf.BWMINOH, 10, 30); }},
    {"BWMAXOH", true, [](LoadCtx& c) { ApplyRange(c, c.conf.BWMAXOH, 10, 60); }},
    {"BWMAXLEN", true, [](LoadCtx& c) { ApplyRange(c, c.conf.BWMAXLEN, 10, 60); }},
    {"SENDPARTS", true, ApplySendParts},
    {"SHIFTLL", true, MV_INT(SHIFTLL)},
    {"SHIFTHL", true, MV_INT(SHIFTHL)},
    {"HLSSEGMENTDURATION", false,
     [](LoadCtx& c) { c.conf.HLSSEGMENTDURATION = strtod(c.value, nullptr); }},
    {"HLSSEGMENTGOPS", false, MV_INT(HLSSEGMENTGOPS)},
    {"HLSSEGMENTCOUNT", false, MV_INT(HLSSEGMENTCOUNT)},
    {"V3DEFAULT", false, ApplyV3Default},
    {"HLS", false, [](LoadCtx& c) { ApplyAddrPair(c, c.conf.HLS); }},
    {"VODINGEST", false, [](LoadCtx& c) { ApplyAddrPair(c, c.conf.VODINGEST); }},
    {"CAS", false, ApplyCas},
    {"OTTMP", false, ApplyOttmp},
    {"WS", false, [](LoadCtx& c) { ApplyWs(c, c.conf.WS); }},
    {"WSS", false, [](LoadCtx& c) { ApplyWs(c, c.conf.WSS); }},
    {"MONITOR", false, [](LoadCtx& c) { ApplyAddrPair(c, c.conf.MONITOR); }},
    {"CASMODE", true, MV_FLAG(CASMODE)},
    {"CASPASS", true, [](LoadCtx& c) { c.conf.SetString(ITGConfString::CASPASS, c.value); }},
    {"ALLOWORIGINS", true, ApplyAllowOrigins},
    {"IPFILTERFILE", false, MV_STR(IPFILTERFILE)},
    {"WHITELISTFILE", false, MV_STR(WHITELISTFILE)},
    {"BLACKLISTFILE", false, MV_STR(BLACKLISTFILE)},
    {"DEBUGSTB", true, [](LoadCtx& c) { (*c.debugSet)[inet_addr(c.value)] = true; }},
    {"WSSCERTFILE", false, MV_STR(WSSCERTFILE)},
    {"WSSKEYFILE", false, MV_STR(WSSKEYFILE)},
    {"WSSCAFILE", false, MV_STR(WSSCAFILE)},
    {"WSTIMEOUTSEC", false, MV_INT(WSTIMEOUTSEC)},
    {"WSNOGOPDELAYMS", false,
     [](LoadCtx& c) { c.conf.WSNOGOPDELAYMS = (int64_t)strtoll(c.value, nullptr, 10); }},
    {"WSGETFRAGSMAX", false, ApplyWsGetFragsMax},
    {"WSWORKERS", false, MV_INT(WSWORKERS)},
    {"WSBURSTMAX", false, MV_INT(WSBURSTMAX)},
    {"WSVERBOSE", true, MV_INT(WSVERBOSE)},
    {"GENCPUS", true, [](LoadCtx& c) { ApplyCpus(c, ITGCpuSet::GENCPUS); }},
    {"RCVCPUS", true, [](LoadCtx& c) { ApplyCpus(c, ITGCpuSet::RCVCPUS); }},
    {"WRTCPUS", true, [](LoadCtx& c) { ApplyCpus(c, ITGCpuSet::WRTCPUS); }},
    {"SNDCPUS", true, [](LoadCtx& c) { ApplyCpus(c, ITGCpuSet::SNDCPUS); }},
    {"STACKSIZE", true,
     [](LoadCtx& c) { c.conf.STACKSIZE = (uint64_t)(int64_t)ReadLong(c.value); }},
};

#undef MV_FLAG
#undef MV_INT
#undef MV_STR

const KeyDef* FindKey(const char* key) {
    for (const KeyDef& k : kKeys)
        if (strcmp(k.name, key) == 0) return &k;
    return nullptr;
}

// One line without its CR/LF: split into key and value the way sscanf("%[^ ] %[^ ]") does
// (only a space ends the key), then apply.
void HandleLine(ITGMainConf& conf, bool initial, const char* line, MvIPMap* debugSet) {
    size_t klen = strcspn(line, " ");
    const char* v = line + klen;
    while (*v != '\0' && isspace((unsigned char)*v)) ++v;
    size_t vlen = strcspn(v, " ");
    if (klen == 0 || vlen == 0) {
        MVLOGE("[CFG] Skipping invalid CFG line(%s)", line);
        return;
    }
    if (klen >= kFieldSize) {
        MVLOGE("[CFG] Key '%.40s...' is longer than %d characters, line skipped", line,
               (int)kFieldSize - 1);
        return;
    }
    char key[kFieldSize], value[kFieldSize];
    memcpy(key, line, klen);
    key[klen] = '\0';
    if (vlen >= kFieldSize) {
        MVLOGE("[CFG] Value of %s is longer than %d characters, line skipped", key,
               (int)kFieldSize - 1);
        return;
    }
    memcpy(value, v, vlen);
    value[vlen] = '\0';
    if (key[0] == '#') return;

    const KeyDef* def = FindKey(key);
    if (def == nullptr || (!initial && !def->reload)) {
        if (initial) MVLOGW("Invalid keyword in file '%s'", key);
        return;
    }
    LoadCtx ctx{conf, initial, line, key, value, debugSet};
    def->apply(ctx);
}

}  // namespace

void ITGSetCacheSizeCallback(void (*fn)(uint64_t)) { g_cacheSizeCallback.store(fn); }

bool ITGLoadConfigInto(ITGMainConf& conf, const char* path, bool initial) {
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        MVLOGE("Could not open config file '%s'", path);
        return false;
    }
    MvIPMap* debugSet = new MvIPMap();
    char line[kLineSize];
    bool tooLong = false;
    while (ReadLine(f, line, sizeof(line), tooLong)) {
        size_t len = strlen(line);
        while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) line[--len] = '\0';
        if (tooLong) {
            char key[33];
            snprintf(key, sizeof(key), "%.*s", (int)strcspn(line, " "), line);
            MVLOGE("[CFG] Line of %s is longer than %d characters, line skipped", key,
                   (int)kLineSize - 1);
            continue;
        }
        if (len == 0 || line[0] == '#') continue;
        HandleLine(conf, initial, line, debugSet);
    }
    MvIPMapSwap(debugSet);
    fclose(f);
    return true;
}

MvMask128 ObtainMask128(const char* line) {
    MvMask128 mask;
    char copy[256];
    snprintf(copy, sizeof(copy), "%s", line);
    char text[kLineSize];
    if (sscanf(line, "%*[^ ] %4095[-01234567890, ]", text) != 1) {
        // The value does not start like a CPU list: name it as the bad statement.
        const char* rest = line + strcspn(line, " ");
        while (*rest != '\0' && isspace((unsigned char)*rest)) ++rest;
        if (*rest != '\0')
            MVLOGE("Error in CPU mask '%s', statement '%.255s' is invalid", copy, rest);
    } else {
        char* save = nullptr;
        for (char* piece = strtok_r(text, ",", &save); piece != nullptr;
             piece = strtok_r(nullptr, ",", &save)) {
            char a[9], b[9];
            unsigned long lo, hi;
            if (strchr(piece, '-') != nullptr) {
                if (sscanf(piece, " %8[0123456789] - %8[0123456789] ", a, b) != 2) {
                    MVLOGE("Error in CPU mask '%s', statement '%s' is invalid", copy, piece);
                    continue;
                }
                lo = strtoul(a, nullptr, 10);
                hi = strtoul(b, nullptr, 10);
                if (lo > hi) std::swap(lo, hi);
            } else if (sscanf(piece, " %8[0123456789] ", a) == 1) {
                lo = hi = strtoul(a, nullptr, 10);
            } else {
                MVLOGE("Error in CPU mask '%s', statement '%s' is invalid", copy, piece);
                continue;
            }
            for (unsigned long n = lo; n <= hi && n < 128; ++n) {
                if (n < 64) mask.low |= 1ull << n;
                else mask.high |= 1ull << (n - 64);
            }
        }
    }
    if (mask.IsEmpty()) MVLOGE("Error in CPU mask, statement '%s' is invalid", copy);
    return mask;
}

bool ip_to_iface(char* text, size_t size) {
    if (size == 0) {
        MVLOGE("[CFG] Buffer size should be greater than zero");
        return false;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || (ifa->ifa_flags & IFF_UP) == 0 ||
            ifa->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in sin;
        memcpy(&sin, ifa->ifa_addr, sizeof(sin));
        char rendered[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &sin.sin_addr, rendered, sizeof(rendered)) == nullptr) {
            MVLOGE("[CFG] Could not convert IPv4 address from binary to text form inside "
                   "'ip_to_iface()' function");
            break;
        }
        if (strncmp(rendered, text, size) == 0) {
            // A name that would not fit is no match rather than a cut name.
            if (strlen(ifa->ifa_name) < size) {
                snprintf(text, size, "%s", ifa->ifa_name);
                found = true;
            }
            break;
        }
    }
    freeifaddrs(list);
    return found;
}
