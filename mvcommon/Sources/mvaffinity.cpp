// CPU affinity: binds the calling thread to a 128-bit CPU set of the configuration.
// A binding that fails ends the process: threads must never run outside their set.
#include "mvaffinity.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/syscall.h>

#include "mvlogger.h"

namespace {
std::atomic<int> g_cpuCount{0};  // 0: not yet computed
}

int MvAF_GetCPUCount() {
    int cached = g_cpuCount.load();
    if (cached > 0) return cached;
    FILE* f = fopen("/proc/cpuinfo", "rt");
    if (f == nullptr) {
        MVLOGI("[UTIL] Error detecting CPU count");
        exit(1);
    }
    char line[1024];
    int count = 0;
    while (fgets(line, sizeof(line), f) != nullptr)
        if (strstr(line, "processor") != nullptr) ++count;
    fclose(f);
    // Some kernels list no "processor" lines; with a count of 0 no mask could ever
    // select a CPU, so fall back to the number the C library reports.
    if (count <= 0) {
        long n = sysconf(_SC_NPROCESSORS_CONF);
        count = n > 0 ? (int)n : 1;
    }
    g_cpuCount.store(count);
    return count;
}

bool MvAF_UpdateMask(const MvMask128& mask) {
    int count = MvAF_GetCPUCount();
    if (count > CPU_SETSIZE) count = CPU_SETSIZE;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int n = 0; n < count; ++n) {
        int bit = n % 128;
        uint64_t word = bit < 64 ? mask.low : mask.high;
        if ((word >> (bit % 64)) & 1) CPU_SET(n, &set);
    }
    pid_t tid = (pid_t)syscall(SYS_gettid);
    if (sched_setaffinity(tid, sizeof(set), &set) != 0) {
        MVLOGI("[UTIL] Error in sched_setaffinity (%d)", errno);
        exit(1);
    }
    return true;
}

bool MvAF_UpdateOnCPU(int cpu) {
    MvMask128 mask;
    if (cpu >= 0 && cpu < 64)
        mask.low = 1ull << cpu;
    else if (cpu >= 64 && cpu < 128)
        mask.high = 1ull << (cpu - 64);
    return MvAF_UpdateMask(mask);
}
