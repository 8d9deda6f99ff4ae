// Packed local-time values. All arithmetic goes through mktime/localtime_r so that
// daylight-saving shifts give the local wall-clock reading of the resulting instant.
#include "mvtime.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale.h>

namespace {

constexpr int64_t kNsPerSec = 1000000000;
constexpr int64_t kNsPerCenti = 10000000;

// Time fields of a broken-down local time; 0 (no time) when the C library cannot
// represent the instant.
MvTime FromTm(const tm* t, int centi) {
    if (t == nullptr) return 0;
    return MvTimeCreate(t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min,
                        t->tm_sec, centi);
}

// Reads one field of at most maxDigits decimal digits, after optional blanks (the
// way "%Nd" does, but without a sign). Never reads past the terminating NUL.
bool ParseField(const char*& p, int maxDigits, int& value) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    int n = 0;
    int v = 0;
    while (n < maxDigits && *p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        ++p;
        ++n;
    }
    if (n == 0) return false;
    value = v;
    return true;
}

// Parses up to seven fields; a field that does not parse, and every field after it,
// stays 0.
void ParseFields(const char* text, const int* widths, int count, char separator, int* out) {
    for (int i = 0; i < count; ++i) out[i] = 0;
    if (text == nullptr) return;
    const char* p = text;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && separator != 0) {
            if (*p != separator) return;
            ++p;
        }
        if (!ParseField(p, widths[i], out[i])) return;
    }
}

// Copies a formatted text form into the caller's 23-byte buffer, cut at 22 characters.
char* CopyOut(char* out, const char* text) {
    size_t n = strlen(text);
    if (n > 22) n = 22;
    memcpy(out, text, n);
    out[n] = 0;
    return out;
}

}  // namespace

MvTime MvTimeCreate(int year, int month, int day, int hour, int minute, int second, int centi) {
    // Built by shifting and adding (not masking) each field widened as a signed value;
    // unsigned arithmetic keeps out-of-range input defined.
    uint64_t v = (uint64_t)(int64_t)year;
    v = v * 256 + (uint64_t)(int64_t)month;
    v = v * 256 + (uint64_t)(int64_t)day;
    v = v * 256 + (uint64_t)(int64_t)hour;
    v = v * 256 + (uint64_t)(int64_t)minute;
    v = v * 256 + (uint64_t)(int64_t)second;
    v = v * 256 + (uint64_t)(int64_t)centi;
    return v;
}

MvTime MvTimeNow() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return MvTimeFromTimespec(ts);
}

MvTime MvTimeFromTime(time_t t) {
    tm lt;
    return FromTm(localtime_r(&t, &lt), 0);
}

MvTime MvTimeFromTimespec(const timespec& ts) {
    time_t sec = ts.tv_sec;
    int64_t ns = ts.tv_nsec;
    // A caller's timespec may not be normalised; carry whole seconds first.
    if (ns < 0 || ns >= kNsPerSec) {
        sec += (time_t)(ns / kNsPerSec);
        ns %= kNsPerSec;
        if (ns < 0) {
            ns += kNsPerSec;
            --sec;
        }
    }
    tm lt;
    return FromTm(localtime_r(&sec, &lt), (int)(ns / kNsPerCenti));
}

int MvTimeYear(MvTime t) { return (int)(t >> 48); }
int MvTimeMonth(MvTime t) { return (int)((t >> 40) & 0xFF); }
int MvTimeDay(MvTime t) { return (int)((t >> 32) & 0xFF); }
int MvTimeHour(MvTime t) { return (int)((t >> 24) & 0xFF); }
int MvTimeMinute(MvTime t) { return (int)((t >> 16) & 0xFF); }
int MvTimeSecond(MvTime t) { return (int)((t >> 8) & 0xFF); }
int MvTimeSecondFraq(MvTime t) { return (int)(t & 0xFF); }

time_t MvTimeToTime(MvTime t) {
    tm lt;
    memset(&lt, 0, sizeof(lt));
    int year = MvTimeYear(t);
    if (year < 1900) year = 1900;
    lt.tm_year = year - 1900;
    lt.tm_mon = MvTimeMonth(t) - 1;
    lt.tm_mday = MvTimeDay(t);
    lt.tm_hour = MvTimeHour(t);
    lt.tm_min = MvTimeMinute(t);
    lt.tm_sec = MvTimeSecond(t);
    lt.tm_isdst = -1;
    return mktime(&lt);
}

timespec MvTimeToTimespec(MvTime t) {
    timespec ts;
    ts.tv_sec = MvTimeToTime(t);
    ts.tv_nsec = (long)MvTimeSecondFraq(t) * kNsPerCenti;
    return ts;
}

int32_t MvTimeDiffSecs(MvTime a, MvTime b) {
    return (int32_t)(int64_t)(MvTimeToTime(b) - MvTimeToTime(a));
}

uint64_t MvTimeDiffCentiSecs(MvTime a, MvTime b) {
    int64_t ns = MvDiffTimespec(MvTimeToTimespec(a), MvTimeToTimespec(b));
    // Only defined for a not earlier than b: an earlier a gives 0 rather than a
    // wrapped, enormous duration.
    if (ns <= 0) return 0;
    return (uint64_t)ns / (uint64_t)kNsPerCenti;
}

int64_t MvDiffTimespec(const timespec& a, const timespec& b) {
    return ((int64_t)a.tv_sec - (int64_t)b.tv_sec) * kNsPerSec + ((int64_t)a.tv_nsec - b.tv_nsec);
}

MvTime MvTimeAddSecs(MvTime t, int seconds) {
    time_t sec = MvTimeToTime(t) + seconds;
    tm lt;
    return FromTm(localtime_r(&sec, &lt), MvTimeSecondFraq(t));
}

MvTime MvTimeAddCentiSecs(MvTime t, uint64_t centi) {
    timespec ts = MvTimeToTimespec(t);
    // Whole seconds and the remainder separately, so that large shifts cannot overflow
    // the nanosecond product.
    uint64_t totalNs = (centi % 100) * (uint64_t)kNsPerCenti + (uint64_t)ts.tv_nsec;
    ts.tv_sec += (time_t)(centi / 100) + (time_t)(totalNs / kNsPerSec);
    ts.tv_nsec = (long)(totalNs % kNsPerSec);
    return MvTimeFromTimespec(ts);
}

// Text forms are cut to the 23 bytes callers provide, so out-of-range fields (a
// damaged value read from media) cannot overrun the buffer.
char* MvTimeToStr(char* out, MvTime t) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%04d%02d%02d%02d%02d%02d%02d", MvTimeYear(t), MvTimeMonth(t),
             MvTimeDay(t), MvTimeHour(t), MvTimeMinute(t), MvTimeSecond(t), MvTimeSecondFraq(t));
    return CopyOut(out, buf);
}

MvTime MvTimeFromStr(const char* text) {
    static const int widths[7] = {4, 2, 2, 2, 2, 2, 2};
    int f[7];
    ParseFields(text, widths, 7, 0, f);
    return MvTimeCreate(f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
}

char* MvTimeToStrR(char* out, MvTime t) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d.%02d", MvTimeYear(t), MvTimeMonth(t),
             MvTimeDay(t), MvTimeHour(t), MvTimeMinute(t), MvTimeSecond(t), MvTimeSecondFraq(t));
    return CopyOut(out, buf);
}

char* MvTimeToStrNet(char* out, MvTime t) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d-%02d-%02d-%02d", MvTimeYear(t), MvTimeMonth(t),
             MvTimeDay(t), MvTimeHour(t), MvTimeMinute(t), MvTimeSecond(t));
    return CopyOut(out, buf);
}

MvTime MvTimeFromStrNet(const char* text) {
    // Client text: digits only, at most nine per field so that no field overflows.
    static const int widths[6] = {9, 9, 9, 9, 9, 9};
    int f[6];
    ParseFields(text, widths, 6, '-', f);
    return MvTimeCreate(f[0], f[1], f[2], f[3], f[4], f[5], 0);
}

void MvHTTPDate(std::string& out, int offsetSeconds) {
    // Day and month names must be English whatever locale the process has set.
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    time_t now = time(nullptr) + offsetSeconds;
    tm gt;
    char buf[128];
    buf[0] = 0;
    if (gmtime_r(&now, &gt) != nullptr) {
        size_t n = cLocale != (locale_t)0
                       ? strftime_l(buf, 127, "%a, %d %b %Y %H:%M:%S GMT", &gt, cLocale)
                       : strftime(buf, 127, "%a, %d %b %Y %H:%M:%S GMT", &gt);
        buf[n] = 0;
    }
    out = buf;
}
