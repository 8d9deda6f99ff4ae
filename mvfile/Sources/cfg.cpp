// The configuration record: defaults, the process-wide instance, locked readers of the
// strings and CPU sets, the per-content table, the start time and the free-memory figure.
#include "cfg.h"

#include <cstdio>
#include <cstring>

#include "mvlogger.h"

const char* const ITG_DEFAULT_CASPASS = "5f1c9a03e7b24d8e9a6c0b3f2d71e48a";

namespace {

// Taken during static initialisation, before main runs.
const MvTime g_startTime = MvTimeNow();

std::atomic<uint64_t> g_freeMemKB{0};
std::atomic<ITGMainConf*> g_mainConf{nullptr};

}  // namespace

ITGMainConf::ITGMainConf() : m_casPass(ITG_DEFAULT_CASPASS), m_database("channels.lst") {
    for (auto& m : m_cpus) {
        m.low = 1;  // CPU 0
        m.high = 0;
    }
    v3Params[ITG_V3_DEFAULT_KEY] = ITGV3Params(1, 5);
}

ITGMainConf::~ITGMainConf() = default;

std::string ITGMainConf::GetString(ITGConfString which) const {
    MvSyncGuard g(m_guard);
    switch (which) {
        case ITGConfString::ALLOWORIGINS: return m_allowOrigins;
        case ITGConfString::CASPASS: return m_casPass;
        case ITGConfString::DATABASE: return m_database;
        case ITGConfString::XML: return m_xml;
    }
    return std::string();
}

void ITGMainConf::SetString(ITGConfString which, std::string value) {
    // The old text is released after the lock is dropped.
    MvSyncGuard g(m_guard);
    switch (which) {
        case ITGConfString::ALLOWORIGINS: m_allowOrigins.swap(value); break;
        case ITGConfString::CASPASS: m_casPass.swap(value); break;
        case ITGConfString::DATABASE: m_database.swap(value); break;
        case ITGConfString::XML: m_xml.swap(value); break;
    }
}

MvMask128 ITGMainConf::GetCPUSet(ITGCpuSet which) const {
    MvSyncGuard g(m_guard);
    return m_cpus[static_cast<int>(which)];
}

void ITGMainConf::SetCPUSet(ITGCpuSet which, const MvMask128& mask) {
    MvSyncGuard g(m_guard);
    m_cpus[static_cast<int>(which)] = mask;
}

uint16_t ITGMainConf::GetStorageForContent(uint64_t cid) const {
    MvSyncGuard g(v3Guard);
    auto it = v3Params.find(cid);
    if (it == v3Params.end()) it = v3Params.find(cid & 0xFFFFFFFFull);
    if (it == v3Params.end()) it = v3Params.find(ITG_V3_DEFAULT_KEY);
    return it == v3Params.end() ? 1 : it->second.storage;
}

uint64_t ITGMainConf::GetTimeForContent(uint64_t cid) const {
    MvSyncGuard g(v3Guard);
    auto it = v3Params.find(cid);
    if (it == v3Params.end()) it = v3Params.find(cid & 0xFFFFFFFFull);
    if (it == v3Params.end()) it = v3Params.find(ITG_V3_DEFAULT_KEY);
    return it == v3Params.end() ? 0 : it->second.minutes;
}

void ITGMainConf::SetTimeAndStorageForContent(uint64_t key, uint16_t storage, uint64_t minutes,
                                              bool overwrite) {
    MvSyncGuard g(v3Guard);
    auto [it, added] = v3Params.try_emplace(key, storage, minutes);
    if (!added && overwrite) {
        it->second.storage = storage;
        it->second.minutes = minutes;
    }
}

void ITGInitMainConf() {
    if (g_mainConf.load() != nullptr) return;
    ITGMainConf* conf = new ITGMainConf();
    ITGMainConf* expected = nullptr;
    if (!g_mainConf.compare_exchange_strong(expected, conf)) delete conf;
}

ITGMainConf* ITGGetMainConf() {
    ITGMainConf* conf = g_mainConf.load(std::memory_order_acquire);
    if (conf == nullptr) {
        ITGInitMainConf();
        conf = g_mainConf.load(std::memory_order_acquire);
    }
    return conf;
}

bool ITGLoadConfig(const char* path, bool initial) {
    return ITGLoadConfigInto(*ITGGetMainConf(), path, initial);
}

std::string ITGGetConfString(ITGConfString which) { return ITGGetMainConf()->GetString(which); }
MvMask128 ITGGetCPUSet(ITGCpuSet which) { return ITGGetMainConf()->GetCPUSet(which); }

uint16_t ITGGetStorageForContent(uint64_t cid) {
    return ITGGetMainConf()->GetStorageForContent(cid);
}

uint64_t ITGGetTimeForContent(uint64_t cid) { return ITGGetMainConf()->GetTimeForContent(cid); }

void ITGSetTimeAndStorageForContent(uint64_t key, uint16_t storage, uint64_t minutes,
                                    bool overwrite) {
    ITGGetMainConf()->SetTimeAndStorageForContent(key, storage, minutes, overwrite);
}

MvTime MvCfgGetStartTime() { return g_startTime; }

bool MvMemUpdateFrom(const char* path) {
    FILE* f = fopen(path, "rt");
    if (f == nullptr) return false;
    char line[128];
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strstr(line, "MemFree:") == nullptr) continue;
        int kb = 0;
        if (sscanf(line, "MemFree: %d kB", &kb) == 1) g_freeMemKB.exchange((uint64_t)(int64_t)kb);
        break;
    }
    fclose(f);
    return true;
}

void MvMemUpdate() { MvMemUpdateFrom("/proc/meminfo"); }

uint64_t MvMemGetFreeKB() { return g_freeMemKB.load(); }

bool MvMemBlockOKFor(uint64_t minFreeBlockBytes, uint64_t freeKB) {
    if (minFreeBlockBytes == 0 || freeKB == 0) return true;
    return minFreeBlockBytes < freeKB * 1024;
}

bool MvMemBlockOK() {
    return MvMemBlockOKFor(ITGGetMainConf()->MINFREEBLOCKMEM.load(), g_freeMemKB.load());
}
