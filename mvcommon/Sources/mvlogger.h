// The process-wide logger of both programs: one entry point (MvLogReal), per-source
// registration and filtering, screen output and daily log files. Use the MVLOG macros:
// they pass this file's own source slot, path and line.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// Severities are single bits; a call passes exactly one of them.
enum : int {
    MV_LOG_V = 1,   // verbose / self-test
    MV_LOG_D = 2,   // debug
    MV_LOG_I = 4,   // information
    MV_LOG_W = 8,   // warning
    MV_LOG_E = 16,  // error
};

// Which program's observable behaviour the shared foundation shows (log line
// colouring, version text, version stamp file, file mode).
enum class MvFlavour { Server, Tool };
void MvSetFlavour(MvFlavour flavour);
MvFlavour MvGetFlavour();

// One log source (a source file), created on its first message and never freed.
struct MvLESC {
    std::string name;
    uint64_t id = 0;
    bool enabled = true;
    uint32_t messages = 31;
    int32_t level = 0;
};

void MvLogReal(MvLESC** source, const char* file, int line, int severity, int detail,
               const char* format, ...) __attribute__((format(printf, 6, 7)));
void MvLogRealV(MvLESC** source, const char* file, int line, int severity, int detail,
                const char* format, va_list args);

bool MvLogInit(bool screen, bool file, const char* base);
void MvLogEnable(bool on);
void MvLogEnableScreen(bool on);
void MvLogEnableFile(bool on);
void MvLogSetDebug(bool on);
bool MvLogGetDebug();
bool MvLogSetFlush(bool on);  // returns the previous value
bool MvLogSourceEnable(uint64_t id, bool on);
bool MvLogSourceMessages(uint64_t id, uint32_t mask);
bool MvLogSourceLevel(uint64_t id, uint32_t level);
void MvLogGetSourceArray(std::vector<uint64_t>& ids);
bool MvLogGetIDDescr(uint64_t id, std::string& name, bool& enabled, uint32_t& messages,
                     uint32_t& level);

// Each source file that logs gets its own slot through this header.
[[maybe_unused]] static MvLESC* s_pMvLogSource = nullptr;

#define MVLOGL(sev, detail, ...) \
    MvLogReal(&s_pMvLogSource, __FILE__, __LINE__, (sev), (detail), __VA_ARGS__)
#define MVLOG(sev, ...) MVLOGL((sev), 0, __VA_ARGS__)
#define MVLOGV(...) MVLOG(MV_LOG_V, __VA_ARGS__)
#define MVLOGD(...) MVLOG(MV_LOG_D, __VA_ARGS__)
#define MVLOGI(...) MVLOG(MV_LOG_I, __VA_ARGS__)
#define MVLOGW(...) MVLOG(MV_LOG_W, __VA_ARGS__)
#define MVLOGE(...) MVLOG(MV_LOG_E, __VA_ARGS__)
