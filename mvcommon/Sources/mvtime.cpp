// Placeholder time functions; replaced by the full implementation.
#include "mvtime.h"

MvTime MvTimeCreate(int year, int month, int day, int hour, int minute, int second, int centi) {
    return (((((((uint64_t)(int64_t)year * 256 + (int64_t)month) * 256 + (int64_t)day) * 256 +
               (int64_t)hour) * 256 + (int64_t)minute) * 256 + (int64_t)second) * 256 + (int64_t)centi);
}
MvTime MvTimeNow() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    localtime_r(&ts.tv_sec, &t);
    return MvTimeCreate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                        (int)(ts.tv_nsec / 10000000));
}
