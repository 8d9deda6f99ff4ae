// The server's configuration: the record ITGMainConf with its built-in defaults, the loader of
// the "KEY value" configuration file (initial load and the 5-second reload), the per-content
// storage and retention table, the free-memory check and the DEBUGSTB address set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "mvaffinity.h"
#include "mvsync.h"
#include "mvtime.h"

// One configured storage medium (a STORAGE line).
class tagITGStorageInfo {
public:
    tagITGStorageInfo() = default;
    tagITGStorageInfo(const tagITGStorageInfo&) = delete;
    tagITGStorageInfo& operator=(const tagITGStorageInfo&) = delete;
    virtual ~tagITGStorageInfo() = default;

    uint16_t id = 0;
    std::string path;
    int descriptor = -1;  // set when the medium is opened at start-up
    // Request counters of the storage I/O threads, printed and cleared by the statistics
    // monitor: updates, info-only updates, writes, reads.
    std::atomic<uint64_t> countU{0};
    std::atomic<uint64_t> countI{0};
    std::atomic<uint64_t> countW{0};
    std::atomic<uint64_t> countR{0};
};

// Storage and retention of one content (or of a content number, or the default entry).
class ITGV3Params {
public:
    ITGV3Params() = default;
    ITGV3Params(uint16_t s, uint64_t m) : storage(s), minutes(m) {}
    virtual ~ITGV3Params() = default;

    uint16_t storage = 1;
    uint64_t minutes = 0;
};

// One listener address block (HLS, VODINGEST, CAS, WS, WSS, OTTMP, MONITOR). Port 0 means the
// listener is not started. Fixed after the initial load.
class tagITGListenAddr {
public:
    virtual ~tagITGListenAddr() = default;

    char addr[32] = {0};   // address text (for WS/WSS the interface name, empty = all)
    uint32_t ip = 0;       // inet_addr of the text, network byte order
    uint16_t port = 0;     // host order
    uint16_t portCount = 1;
};

// The string settings that a reload may rewrite while other threads read them.
enum class ITGConfString { ALLOWORIGINS, CASPASS, DATABASE, XML };
// The four CPU sets.
enum class ITGCpuSet { GENCPUS, RCVCPUS, WRTCPUS, SNDCPUS };

// Key of the default entry of the per-content table.
constexpr uint64_t ITG_V3_DEFAULT_KEY = ~0ull;
// The built-in CASPASS.
extern const char* const ITG_DEFAULT_CASPASS;

// The configuration record. Each field is named after the key that sets it. Fields that a
// reload may change are atomics (relaxed, one store each), so readers on other threads take
// either the old or the new value; fields applied only at the initial load are plain and are
// written before any other thread starts. The strings a reload rewrites and the CPU sets (two
// words each) are private and read through the locked copy getters.
class ITGMainConf {
public:
    ITGMainConf();
    ITGMainConf(const ITGMainConf&) = delete;
    ITGMainConf& operator=(const ITGMainConf&) = delete;
    virtual ~ITGMainConf();

    // Flags.
    bool SCREENLOG = true;
    bool FILELOG = false;
    bool LOGENABLED = true;
    std::atomic<bool> VERBOSE{false};
    std::atomic<bool> IDR{false};
    bool PATCHPAT = false;
    std::atomic<bool> PATPROGSONLY{true};

    std::atomic<int32_t> CACHEDISTANCE{0};  // seconds, 0 = no limit
    std::atomic<bool> LOGFLUSH{false};
    std::atomic<bool> SECONDFIELD{true};

    std::atomic<uint64_t> MINFREEMEM{16ull * 1048576};       // bytes
    std::atomic<uint64_t> MINFREEBLOCKMEM{24ull * 1048576};  // bytes
    std::atomic<int32_t> DEFERSECS{3};

    // Storage media by id (ascending).
    std::map<uint16_t, tagITGStorageInfo> STORAGE;

    int32_t ID = 0;
    std::atomic<bool> NOGOP{true};
    std::atomic<bool> WAITPING{false};
    std::atomic<bool> WAITBUFFER{false};
    std::atomic<bool> SYNCDATA{true};
    std::atomic<bool> SYNCBUFFERS{false};
    std::atomic<bool> BULKWRITE{true};
    int32_t READERSLOTS = 32;
    std::atomic<int32_t> BWMINOH{20};
    std::atomic<int32_t> BWMAXOH{60};
    std::atomic<int32_t> BWMAXLEN{50};
    std::atomic<int32_t> SHIFTLL{5};
    std::atomic<int32_t> SHIFTHL{15};
    std::atomic<int32_t> SENDPARTS{32};
    std::atomic<int32_t> ABRTHRESHOLDMS{0};  // 90 kHz ticks (milliseconds x 90)
    std::atomic<int32_t> ABRWAITTIME{1};

    std::atomic<uint64_t> CACHESIZE{64ull << 30};  // bytes
    std::atomic<bool> READCACHE{true};
    double HLSSEGMENTDURATION = 15.0;  // seconds
    int32_t HLSSEGMENTGOPS = 13;
    int32_t HLSSEGMENTCOUNT = 10;

    tagITGListenAddr HLS;
    tagITGListenAddr VODINGEST;
    tagITGListenAddr CAS;
    tagITGListenAddr WS;
    tagITGListenAddr WSS;
    tagITGListenAddr OTTMP;
    tagITGListenAddr MONITOR;

    std::atomic<bool> CASMODE{true};
    std::string IPFILTERFILE;
    std::string WHITELISTFILE;
    std::string BLACKLISTFILE;

    std::string WSSCERTFILE;
    std::string WSSKEYFILE;
    std::string WSSCAFILE;
    int64_t WSNOGOPDELAYMS = 100000;
    int32_t WSGETFRAGSMAX = 10;
    int32_t WSTIMEOUTSEC = 10;
    int32_t WSBURSTMAX = 4;
    int32_t WSWORKERS = 1;
    std::atomic<int32_t> WSVERBOSE{0};

    std::atomic<uint64_t> STACKSIZE{1};  // MiB

    // Per-content storage and retention table; the mutex is held for every lookup and insert.
    mutable MvMutexSync v3Guard;
    std::map<uint64_t, ITGV3Params> v3Params;

    // Locked copies of the strings a reload rewrites, and their setter (used by the loader).
    std::string GetString(ITGConfString which) const;
    void SetString(ITGConfString which, std::string value);
    MvMask128 GetCPUSet(ITGCpuSet which) const;
    void SetCPUSet(ITGCpuSet which, const MvMask128& mask);

    // Per-content lookups: full identifier, then its content number (low 32 bits), then the
    // default entry; storage 1 and 0 minutes when nothing matches.
    uint16_t GetStorageForContent(uint64_t cid) const;
    uint64_t GetTimeForContent(uint64_t cid) const;
    void SetTimeAndStorageForContent(uint64_t key, uint16_t storage, uint64_t minutes,
                                     bool overwrite);

private:
    mutable MvMutexSync m_guard;  // strings and CPU sets below
    std::string m_allowOrigins;
    std::string m_casPass;
    std::string m_database;
    std::string m_xml;
    MvMask128 m_cpus[4];
};

// The process-wide record: created once by ITGInitMainConf (later calls do nothing) and never
// freed. ITGGetMainConf creates it on first use if start-up has not done so yet.
void ITGInitMainConf();
ITGMainConf* ITGGetMainConf();

// Loads the configuration file into the process-wide record (initial = start-up load, else a
// reload). Returns false only when the file cannot be opened.
bool ITGLoadConfig(const char* path, bool initial);
// The same on a given record (tests build their own records).
bool ITGLoadConfigInto(ITGMainConf& conf, const char* path, bool initial);

// Convenience readers of the process-wide record.
std::string ITGGetConfString(ITGConfString which);
MvMask128 ITGGetCPUSet(ITGCpuSet which);

// Per-content table of the process-wide record.
uint16_t ITGGetStorageForContent(uint64_t cid);
uint64_t ITGGetTimeForContent(uint64_t cid);
void ITGSetTimeAndStorageForContent(uint64_t key, uint16_t storage, uint64_t minutes,
                                    bool overwrite);

// Called with the new size whenever a reload reads CACHESIZE (the GOP cache registers it).
void ITGSetCacheSizeCallback(void (*fn)(uint64_t));

// Process start time, taken before main runs.
MvTime MvCfgGetStartTime();

// Free memory: MvMemUpdate reads "MemFree:" of /proc/meminfo (kB) into the process-wide
// figure; MvMemBlockOK tells whether there is enough free memory to load GOPs from storage.
void MvMemUpdate();
bool MvMemUpdateFrom(const char* path);  // the same from another file; false when unreadable
uint64_t MvMemGetFreeKB();               // 0 until the first reading
bool MvMemBlockOK();
// The decision of MvMemBlockOK for given figures.
bool MvMemBlockOKFor(uint64_t minFreeBlockBytes, uint64_t freeKB);

// CPU list of a whole configuration line ("GENCPUS 0-3,8"); empty set on error.
MvMask128 ObtainMask128(const char* line);

// Replaces the IPv4 address text with the name of the local interface carrying it.
bool ip_to_iface(char* text, size_t size);

// DEBUGSTB address set: addresses (network byte order) mapped to true, guarded by g_gipmap.
typedef std::map<uint32_t, bool> MvIPMap;
extern MvIPMap* g_pIPMap;
extern MvMutexSync g_gipmap;
// Installs a new set (ownership passes) and frees the previous one outside the lock.
void MvIPMapSwap(MvIPMap* newSet);
bool MvIPMapExists(uint32_t ip);
