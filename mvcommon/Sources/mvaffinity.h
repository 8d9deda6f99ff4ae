// Binding threads to the 128-bit CPU sets of the configuration.
#pragma once

#include <cstdint>

struct MvMask128 {
    uint64_t low = 0;
    uint64_t high = 0;
    bool operator==(const MvMask128&) const = default;
    bool IsEmpty() const { return low == 0 && high == 0; }
};

int MvAF_GetCPUCount();
bool MvAF_UpdateMask(const MvMask128& mask);
bool MvAF_UpdateOnCPU(int cpu);
