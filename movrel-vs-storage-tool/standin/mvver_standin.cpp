// Minimal stand-in for the two foundation functions the storage tool prints with, used only
// while the foundation's own version and time text units are absent (see CMakeLists.txt).
#include <cstdio>

#include "mvtime.h"
#include "mvver.h"

const char* MvGetVersion() { return "Version: 1.7 build 1964 (" __DATE__ ")"; }

char* MvTimeToStrR(char* out, MvTime t) {
    sprintf(out, "%04d-%02d-%02d %02d:%02d:%02d.%02d", static_cast<int>(t >> 48),
            static_cast<int>((t >> 40) & 0xFF), static_cast<int>((t >> 32) & 0xFF),
            static_cast<int>((t >> 24) & 0xFF), static_cast<int>((t >> 16) & 0xFF),
            static_cast<int>((t >> 8) & 0xFF), static_cast<int>(t & 0xFF));
    return out;
}
