// The logger. Filtering happens before any lock, so a disabled source or severity
// costs a few loads; formatting and writing share two static buffers under the
// output lock, so lines never interleave and a line allocates nothing.
#include "mvlogger.h"

#include <climits>
#include <cstring>

#include "mvver.h"

namespace {

std::atomic<MvFlavour> g_flavour{MvFlavour::Server};

// Set while this thread is inside the logger. A lock failure inside the logger logs
// through the logger again; that nested call must not take the same locks.
thread_local bool t_inLog = false;

constexpr const char kLetters[] = "VDUIUUUWUUUUUUUE";
constexpr int kMaxIndentLevels = 32;  // the indent is printed with "%.64s"

char SeverityLetter(int severity) {
    return (severity >= 1 && severity <= 16) ? kLetters[severity - 1] : 'U';
}

const char* ColourPrefix(int severity) {
    switch (severity) {
        case MV_LOG_V: return "\33[92m";
        case MV_LOG_W: return "\33[93m";
        case MV_LOG_E: return "\33[91m";
        default: return "";
    }
}

}  // namespace

void MvSetFlavour(MvFlavour flavour) {
    g_flavour.store(flavour);
    MvLogGlobal().SetFlavour(flavour);
}

MvFlavour MvGetFlavour() { return g_flavour.load(); }

// ---------------------------------------------------------------------------
// Registry

MvLESC* MvLogManager::Find(const char* file) {
    MvSyncGuard g(m_sync);
    auto it = m_byName.find(file);
    if (it != m_byName.end()) return it->second;
    auto src = std::make_unique<MvLESC>();
    src->name = file;
    src->id = ++m_lastId;
    MvLESC* p = src.get();
    m_byName.emplace(p->name, p);
    m_byId.emplace(p->id, p);
    m_list.push_back(std::move(src));
    return p;
}

MvLESC* MvLogManager::ById(uint64_t id) {
    MvSyncGuard g(m_sync);
    auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : it->second;
}

void MvLogManager::Ids(std::vector<uint64_t>& ids) {
    MvSyncGuard g(m_sync);
    for (const auto& s : m_list) ids.push_back(s->id);
}

// ---------------------------------------------------------------------------
// Logger

MvLogger::MvLogger(MvFlavour flavour)
    : m_flavour(flavour), m_msg(new char[kBufSize]), m_line(new char[kBufSize]) {
    m_msg[0] = 0;
    m_line[0] = 0;
}

MvLogger::~MvLogger() {
    Shutdown();
    if (m_fp != nullptr) fclose(m_fp);
    m_fp = nullptr;
}

void MvLogger::Shutdown() {
    m_alive.store(INT64_MIN);
    // A line already past the alive check completes before we return.
    m_logSync.SyncLock();
    m_logSync.SyncUnlock();
}

bool MvLogger::Enter() {
    // Compared as a 64-bit value: after shutdown the counter sits near the most
    // negative value, whose low 32 bits alone would read as positive.
    int64_t v = m_alive.fetch_add(1) + 1;
    if (v <= 0) {
        Leave();
        return false;
    }
    return true;
}

void MvLogger::Leave() {
    // Saturates at the most negative value: a line that entered before shutdown must
    // not wrap the counter back to positive when it leaves.
    int64_t v = m_alive.load();
    while (v != INT64_MIN && !m_alive.compare_exchange_weak(v, v - 1)) {
    }
}

void MvLogger::Log(MvLESC** source, const char* file, int line, int severity, int detail,
                   const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(source, file, line, severity, detail, format, args);
    va_end(args);
}

void MvLogger::LogV(MvLESC** source, const char* file, int line, int severity, int detail,
                    const char* format, va_list args) {
    if (m_alive.load(std::memory_order_acquire) <= 0 || !m_enabled.load(std::memory_order_relaxed))
        return;
    if (file == nullptr) file = "";
    if (format == nullptr) format = "";
    if (t_inLog) {
        // Nested call from inside the logger (a failing lock reports itself): the
        // message goes straight to standard error.
        vfprintf(stderr, format, args);
        fputc('\n', stderr);
        return;
    }

    MvLESC* localSlot = nullptr;
    if (source == nullptr) source = &localSlot;
    MvLESC* src = __atomic_load_n(source, __ATOMIC_ACQUIRE);
    if (src == nullptr) {
        t_inLog = true;
        src = m_manager.Find(file);
        t_inLog = false;
        __atomic_store_n(source, src, __ATOMIC_RELEASE);
    }
    if (!src->enabled.load(std::memory_order_relaxed) ||
        (src->messages.load(std::memory_order_relaxed) & (uint32_t)severity) == 0 ||
        src->level.load(std::memory_order_relaxed) < detail)
        return;

    if (!Enter()) return;
    t_inLog = true;
    m_logSync.SyncLock();
    WriteLine(severity, detail, file, line, format, args);
    m_logSync.SyncUnlock();
    t_inLog = false;
    Leave();
}

void MvLogger::WriteLine(int severity, int detail, const char* file, int line, const char* format,
                         va_list args) {
    char* msg = m_msg.get();
    char* out = m_line.get();
    vsnprintf(msg, kBufSize, format, args);

    timespec now;
    MvLogClock clock = m_clock.load(std::memory_order_relaxed);
    if (clock != nullptr)
        clock(&now);
    else
        clock_gettime(CLOCK_REALTIME, &now);
    MvTime t = MvTimeFromTimespec(now);
    char letter = SeverityLetter(severity);
    if (m_prevTime != 0 && m_prevTime > t) letter = 'P';  // the clock went backwards
    m_prevTime = t;
    char timeText[24];
    MvTimeToStrR(timeText, t);

    char indent[2 * kMaxIndentLevels + 1];
    int indentLen = detail > 0 ? 2 * (detail < kMaxIndentLevels ? detail : kMaxIndentLevels) : 0;
    memset(indent, ' ', indentLen);
    indent[indentLen] = 0;

    bool tool = m_flavour.load(std::memory_order_relaxed) == MvFlavour::Tool;
    const char* pre = tool ? "" : ColourPrefix(severity);
    const char* suf = pre[0] != 0 ? "\33[0m" : "";
    if (m_debug.load(std::memory_order_relaxed))
        snprintf(out, kBufSize, "%s%.64s - [%.64s][%05d][%c][%03d][%.80000s]%s", pre, timeText,
                 file, line, letter, detail, msg, suf);
    else
        snprintf(out, kBufSize, "%s%.64s - [%c] %.64s%.80000s%s", pre, timeText, letter, indent,
                 msg, suf);

    if (m_screen.load(std::memory_order_relaxed)) {
        const char* screenFmt = nullptr;
        if (tool) {
            if (severity == MV_LOG_W) screenFmt = "\33[93m%s\33[0m\n";
            else if (severity == MV_LOG_E) screenFmt = "\33[91m%s\33[0m\n";
            else if (severity == MV_LOG_V) screenFmt = "\33[92m%s\33[0m\n";
        }
        if (screenFmt != nullptr)
            printf(screenFmt, out);
        else
            puts(out);
    }

    if (m_file.load(std::memory_order_relaxed) && m_base[0] != 0) {
        // The file is named by the same instant as the line, so the first line after
        // local midnight opens the next day's file.
        snprintf(m_candidate, sizeof(m_candidate), "%.440s%04d-%02d-%02d.log", m_base,
                 MvTimeYear(t), MvTimeMonth(t), MvTimeDay(t));
        if (strcmp(m_candidate, m_fileName) != 0) {
            if (m_fp != nullptr) fclose(m_fp);
            memcpy(m_fileName, m_candidate, sizeof(m_fileName));
            // A file that cannot be opened stays closed until the name changes.
            m_fp = fopen(m_fileName, tool ? "a+t" : "at");
            if (m_fp != nullptr && !tool) setvbuf(m_fp, nullptr, _IOLBF, 0);
        }
        if (m_fp != nullptr) {
            fputs(out, m_fp);
            fputc('\n', m_fp);
            if (m_flush.load(std::memory_order_relaxed)) fflush(m_fp);
        }
    }
}

bool MvLogger::Init(bool screen, bool file, const char* base) {
    if (base == nullptr) base = "";
    bool tool = m_flavour.load() == MvFlavour::Tool;
    m_logSync.SyncLock();
    snprintf(m_base, sizeof(m_base), "%.511s", base);
    m_screen.store(screen);
    m_file.store(file && m_base[0] != 0);
    // Line-buffered standard output keeps screen lines whole when piped.
    if (screen && !tool) {
        // Lines written before this call (the greeting) are pending in the default buffer;
        // flushing them first lets the new buffering mode take effect.
        fflush(stdout);
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    m_logSync.SyncUnlock();
    if (tool && base[0] != 0) WriteVerFile(base);
    return true;
}

void MvLogger::WriteVerFile(const char* base) {
    char name[600];
    snprintf(name, sizeof(name), ".%.511s.ver", base);
    FILE* f = fopen(name, "w+t");
    if (f == nullptr) return;
    timespec now;
    MvLogClock clock = m_clock.load();
    if (clock != nullptr)
        clock(&now);
    else
        clock_gettime(CLOCK_REALTIME, &now);
    char timeText[24];
    MvTimeToStrR(timeText, MvTimeFromTimespec(now));
    fprintf(f, "%s - %s\n", timeText, MvGetVersionTool());
    fclose(f);
}

bool MvLogger::SourceEnable(uint64_t id, bool on) {
    MvLESC* s = m_manager.ById(id);
    if (s == nullptr) return false;
    s->enabled.store(on);
    return true;
}

bool MvLogger::SourceMessages(uint64_t id, uint32_t mask) {
    MvLESC* s = m_manager.ById(id);
    if (s == nullptr) return false;
    s->messages.store(mask);
    return true;
}

bool MvLogger::SourceLevel(uint64_t id, uint32_t level) {
    MvLESC* s = m_manager.ById(id);
    if (s == nullptr) return false;
    s->level.store((int32_t)level);
    return true;
}

void MvLogger::GetSourceArray(std::vector<uint64_t>& ids) { m_manager.Ids(ids); }

bool MvLogger::GetIDDescr(uint64_t id, std::string& name, bool& enabled, uint32_t& messages,
                          uint32_t& level) {
    MvLESC* s = m_manager.ById(id);
    if (s == nullptr) return false;
    name = s->name;
    enabled = s->enabled.load();
    messages = s->messages.load();
    level = (uint32_t)s->level.load();
    return true;
}

std::string MvLogger::CurrentFileName() {
    MvSyncGuard g(m_logSync);
    return m_fp != nullptr ? std::string(m_fileName) : std::string();
}

// ---------------------------------------------------------------------------
// The process-wide logger

MvLogger& MvLogGlobal() {
    // Created on first use from any thread (thread-safe static initialisation) and
    // deliberately never freed: detached threads may still log while the process
    // exits.
    static MvLogger* const logger = new MvLogger(g_flavour.load());
    return *logger;
}

namespace {
// Constructed before every ordinary static object, so the logger exists before any
// other initialiser and before main; destroyed after them, when it stops output.
struct MvLogLifetime {
    MvLogLifetime() { MvLogGlobal(); }
    ~MvLogLifetime() { MvLogGlobal().Shutdown(); }
};
__attribute__((init_priority(101))) MvLogLifetime g_logLifetime;
}  // namespace

void MvLogRealV(MvLESC** source, const char* file, int line, int severity, int detail,
                const char* format, va_list args) {
    MvLogGlobal().LogV(source, file, line, severity, detail, format, args);
}

void MvLogReal(MvLESC** source, const char* file, int line, int severity, int detail,
               const char* format, ...) {
    va_list args;
    va_start(args, format);
    MvLogGlobal().LogV(source, file, line, severity, detail, format, args);
    va_end(args);
}

bool MvLogInit(bool screen, bool file, const char* base) {
    return MvLogGlobal().Init(screen, file, base);
}
void MvLogEnable(bool on) { MvLogGlobal().Enable(on); }
void MvLogEnableScreen(bool on) { MvLogGlobal().EnableScreen(on); }
void MvLogEnableFile(bool on) { MvLogGlobal().EnableFile(on); }
void MvLogSetDebug(bool on) { MvLogGlobal().SetDebug(on); }
bool MvLogGetDebug() { return MvLogGlobal().GetDebug(); }
bool MvLogSetFlush(bool on) { return MvLogGlobal().SetFlush(on); }
bool MvLogSourceEnable(uint64_t id, bool on) { return MvLogGlobal().SourceEnable(id, on); }
bool MvLogSourceMessages(uint64_t id, uint32_t mask) {
    return MvLogGlobal().SourceMessages(id, mask);
}
bool MvLogSourceLevel(uint64_t id, uint32_t level) { return MvLogGlobal().SourceLevel(id, level); }
void MvLogGetSourceArray(std::vector<uint64_t>& ids) { MvLogGlobal().GetSourceArray(ids); }
bool MvLogGetIDDescr(uint64_t id, std::string& name, bool& enabled, uint32_t& messages,
                     uint32_t& level) {
    return MvLogGlobal().GetIDDescr(id, name, enabled, messages, level);
}
