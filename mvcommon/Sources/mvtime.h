// MvTime: a packed 64-bit local time (year, month, day, hour, minute, second,
// centiseconds) whose numeric order is time order; 0 means no time. Conversions,
// arithmetic through the C library, text forms, and the HTTP date.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

typedef uint64_t MvTime;

MvTime MvTimeCreate(int year, int month, int day, int hour, int minute, int second, int centi);
MvTime MvTimeNow();
MvTime MvTimeFromTime(time_t t);
MvTime MvTimeFromTimespec(const timespec& ts);
int MvTimeYear(MvTime t);
int MvTimeMonth(MvTime t);
int MvTimeDay(MvTime t);
int MvTimeHour(MvTime t);
int MvTimeMinute(MvTime t);
int MvTimeSecond(MvTime t);
int MvTimeSecondFraq(MvTime t);
time_t MvTimeToTime(MvTime t);
timespec MvTimeToTimespec(MvTime t);
int32_t MvTimeDiffSecs(MvTime a, MvTime b);          // b - a, in seconds
uint64_t MvTimeDiffCentiSecs(MvTime a, MvTime b);    // a - b, in centiseconds (a >= b)
int64_t MvDiffTimespec(const timespec& a, const timespec& b);  // a - b, in ns
MvTime MvTimeAddSecs(MvTime t, int seconds);
MvTime MvTimeAddCentiSecs(MvTime t, uint64_t centi);
// Text forms; buffers hold at least 23 bytes.
char* MvTimeToStr(char* out, MvTime t);     // 2023040512345678
MvTime MvTimeFromStr(const char* text);
char* MvTimeToStrR(char* out, MvTime t);    // 2023-04-05 12:34:56.78
char* MvTimeToStrNet(char* out, MvTime t);  // 2023-04-05-12-34-56
MvTime MvTimeFromStrNet(const char* text);
void MvHTTPDate(std::string& out, int offsetSeconds);
