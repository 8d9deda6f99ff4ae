// Placeholder logger: prints every line to standard output. Replaced by the full logger.
#include "mvlogger.h"

#include <cstdio>

static MvFlavour g_flavour = MvFlavour::Server;
void MvSetFlavour(MvFlavour flavour) { g_flavour = flavour; }
MvFlavour MvGetFlavour() { return g_flavour; }

void MvLogRealV(MvLESC**, const char*, int, int, int, const char* format, va_list args) {
    vprintf(format, args);
    putchar('\n');
}
void MvLogReal(MvLESC** source, const char* file, int line, int severity, int detail,
               const char* format, ...) {
    va_list args;
    va_start(args, format);
    MvLogRealV(source, file, line, severity, detail, format, args);
    va_end(args);
}
bool MvLogInit(bool, bool, const char*) { return true; }
void MvLogEnable(bool) {}
void MvLogEnableScreen(bool) {}
void MvLogEnableFile(bool) {}
void MvLogSetDebug(bool) {}
bool MvLogGetDebug() { return false; }
bool MvLogSetFlush(bool) { return false; }
bool MvLogSourceEnable(uint64_t, bool) { return false; }
bool MvLogSourceMessages(uint64_t, uint32_t) { return false; }
bool MvLogSourceLevel(uint64_t, uint32_t) { return false; }
void MvLogGetSourceArray(std::vector<uint64_t>&) {}
bool MvLogGetIDDescr(uint64_t, std::string&, bool&, uint32_t&, uint32_t&) { return false; }
