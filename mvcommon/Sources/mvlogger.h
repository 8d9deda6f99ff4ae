// The process-wide logger of both programs: one entry point (MvLogReal), per-source
// registration and filtering, screen output and daily log files. Use the MVLOG macros:
// they pass this file's own source slot, path and line.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mvsync.h"
#include "mvtime.h"

// Severities are single bits; a call passes exactly one of them.
enum : int {
    MV_LOG_V = 1,   // verbose / self-test
    MV_LOG_D = 2,   // debug
    MV_LOG_I = 4,   // information
    MV_LOG_W = 8,   // warning
    MV_LOG_E = 16,  // error
};

// Which program's observable behaviour the shared foundation shows (log line
// colouring, version text, version stamp file, file mode). Chosen once at start-up,
// before any thread is started.
enum class MvFlavour { Server, Tool };
void MvSetFlavour(MvFlavour flavour);
MvFlavour MvGetFlavour();

// One log source (a source file), created on its first message and never freed.
// The filter fields are read by every call without a lock and may be changed by the
// setters at any time, hence atomic.
struct MvLESC {
    std::string name;
    uint64_t id = 0;
    std::atomic<bool> enabled{true};
    std::atomic<uint32_t> messages{31};
    std::atomic<int32_t> level{0};
};

// Wall-clock source of the logger (clock_gettime(CLOCK_REALTIME) unless replaced).
using MvLogClock = void (*)(timespec* now);

// Registry of the sources: name map, id map and the list in creation order.
class MvLogManager {
public:
    MvLogManager() = default;
    virtual ~MvLogManager() = default;
    // The source named file, created when absent (ids start at 2).
    MvLESC* Find(const char* file);
    MvLESC* ById(uint64_t id);
    void Ids(std::vector<uint64_t>& ids);

    MvMutexSync m_sync;
    std::map<std::string, MvLESC*> m_byName;
    std::map<uint64_t, MvLESC*> m_byId;
    std::vector<std::unique_ptr<MvLESC>> m_list;
    uint64_t m_lastId = 1;
};

// One logger. The process has one (MvLogGlobal, behind the free functions below);
// tests build their own.
class MvLogger {
public:
    static constexpr int kBufSize = 81960;

    explicit MvLogger(MvFlavour flavour = MvGetFlavour());
    MvLogger(const MvLogger&) = delete;
    MvLogger& operator=(const MvLogger&) = delete;
    // Shuts down, then closes the file and frees the registry.
    virtual ~MvLogger();

    void LogV(MvLESC** source, const char* file, int line, int severity, int detail,
              const char* format, va_list args);
    void Log(MvLESC** source, const char* file, int line, int severity, int detail,
             const char* format, ...) __attribute__((format(printf, 7, 8)));

    bool Init(bool screen, bool file, const char* base);
    void Enable(bool on) { m_enabled.store(on); }
    void EnableScreen(bool on) { m_screen.store(on); }
    void EnableFile(bool on) { m_file.store(on); }
    void SetDebug(bool on) { m_debug.store(on); }
    bool GetDebug() const { return m_debug.load(); }
    bool SetFlush(bool on) { return m_flush.exchange(on); }
    bool SourceEnable(uint64_t id, bool on);
    bool SourceMessages(uint64_t id, uint32_t mask);
    bool SourceLevel(uint64_t id, uint32_t level);
    void GetSourceArray(std::vector<uint64_t>& ids);
    bool GetIDDescr(uint64_t id, std::string& name, bool& enabled, uint32_t& messages,
                    uint32_t& level);
    void SetFlavour(MvFlavour flavour) { m_flavour.store(flavour); }
    // Replaces the wall-clock source (nullptr restores the real clock). For tests.
    void SetClock(MvLogClock clock) { m_clock.store(clock); }
    // Stops all further output: the alive counter goes to the most negative value and
    // a line being written is allowed to complete. Memory and the open file are kept,
    // since threads still running at process exit may be inside a call.
    void Shutdown();
    // Name of the daily file currently open (empty when none). For tests.
    std::string CurrentFileName();

private:
    bool Enter();
    void Leave();
    void WriteLine(int severity, int detail, const char* file, int line, const char* format,
                   va_list args);
    void WriteVerFile(const char* base);

    MvLogManager m_manager;
    MvMutexSync m_logSync;  // the output lock
    std::atomic<int64_t> m_alive{1};
    std::atomic<bool> m_enabled{true};
    std::atomic<bool> m_screen{true};
    std::atomic<bool> m_file{true};
    std::atomic<bool> m_debug{false};
    std::atomic<bool> m_flush{false};
    std::atomic<MvFlavour> m_flavour;
    std::atomic<MvLogClock> m_clock{nullptr};
    // Used under the output lock only.
    char m_base[512] = {};
    char m_fileName[512] = {};
    char m_candidate[512] = {};
    FILE* m_fp = nullptr;
    MvTime m_prevTime = 0;
    std::unique_ptr<char[]> m_msg;
    std::unique_ptr<char[]> m_line;
};

// The process-wide logger: exists before main's first statement and is usable from
// any thread; at exit it stops output but is never freed.
MvLogger& MvLogGlobal();

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
