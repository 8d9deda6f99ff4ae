// CPU affinity: the CPU count from /proc/cpuinfo, binding a thread to one CPU, and
// the end of the process when a mask selects no existing CPU.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "mvaffinity.h"

namespace {

int CountProcessorLines() {
    FILE* f = fopen("/proc/cpuinfo", "r");
    if (f == nullptr) return -1;
    char line[1024];
    int n = 0;
    while (fgets(line, sizeof(line), f) != nullptr)
        if (strstr(line, "processor") != nullptr) ++n;
    fclose(f);
    return n;
}

TEST(Affinity, CpuCountComesFromCpuinfoAndIsCached) {
    int expected = CountProcessorLines();
    ASSERT_GT(expected, 0);
    EXPECT_EQ(MvAF_GetCPUCount(), expected);
    EXPECT_EQ(MvAF_GetCPUCount(), expected);
}

TEST(Affinity, BindsTheCallingThreadOnly) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    if (!CPU_ISSET(0, &allowed)) GTEST_SKIP() << "CPU 0 is not available to this process";

    cpu_set_t inThread;
    CPU_ZERO(&inThread);
    bool ok = false;
    // A thread of its own, so the test runner keeps its CPUs.
    std::thread t([&] {
        ok = MvAF_UpdateOnCPU(0);
        sched_getaffinity(0, sizeof(inThread), &inThread);
    });
    t.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(CPU_COUNT(&inThread), 1);
    EXPECT_TRUE(CPU_ISSET(0, &inThread));

    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof(after), &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &allowed));
}

TEST(Affinity, MaskOfEveryExistingCpuBinds) {
    MvMask128 all{~0ull, ~0ull};
    bool ok = false;
    std::thread t([&] { ok = MvAF_UpdateMask(all); });
    t.join();
    EXPECT_TRUE(ok);
}

TEST(AffinityDeathTest, MaskWithoutAnExistingCpuEndsTheProcess) {
    int count = MvAF_GetCPUCount();
    if (count >= 128) GTEST_SKIP() << "every bit names an existing CPU";
    struct Case {
        const char* what;
        MvMask128 mask;
    };
    const Case cases[] = {{"empty mask", MvMask128{}},
                          {"CPU 127 only", MvMask128{0, 1ull << 63}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The log line goes to standard output; the child sends it to standard error,
        // where the death test reads it.
        EXPECT_EXIT(
            {
                dup2(2, 1);
                MvAF_UpdateMask(c.mask);
            },
            ::testing::ExitedWithCode(1), "\\[UTIL\\] Error in sched_setaffinity \\(22\\)");
    }
}

}  // namespace
