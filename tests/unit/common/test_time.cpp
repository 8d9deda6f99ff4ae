// Packed time values: layout, text forms and parsers, arithmetic through the C
// library across month ends and daylight-saving changes, and the HTTP date.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "mvtime.h"

namespace {

class TimeTest : public ::testing::Test {
protected:
    void SetUp() override { UseTz("UTC"); }
    static void UseTz(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    static std::string R(MvTime t) {
        char buf[23];
        return MvTimeToStrR(buf, t);
    }
};

TEST_F(TimeTest, LayoutFieldsAndTextForms) {
    MvTime t = MvTimeCreate(2023, 4, 5, 12, 34, 56, 78);
    EXPECT_EQ(t, 0x07E704050C22384Eull);
    EXPECT_EQ(MvTimeYear(t), 2023);
    EXPECT_EQ(MvTimeMonth(t), 4);
    EXPECT_EQ(MvTimeDay(t), 5);
    EXPECT_EQ(MvTimeHour(t), 12);
    EXPECT_EQ(MvTimeMinute(t), 34);
    EXPECT_EQ(MvTimeSecond(t), 56);
    EXPECT_EQ(MvTimeSecondFraq(t), 78);
    EXPECT_EQ(MvTimeCreate(65535, 12, 31, 23, 59, 60, 99) >> 48, 65535u);

    char buf[23];
    EXPECT_STREQ(MvTimeToStrR(buf, t), "2023-04-05 12:34:56.78");
    EXPECT_STREQ(MvTimeToStr(buf, t), "2023040512345678");
    EXPECT_STREQ(MvTimeToStrNet(buf, t), "2023-04-05-12-34-56");
    EXPECT_EQ(MvTimeFromStr("2023040512345678"), t);
    EXPECT_EQ(MvTimeFromStrNet("2023-04-05-12-34-56"), MvTimeCreate(2023, 4, 5, 12, 34, 56, 0));
    // Numeric order is time order.
    EXPECT_LT(MvTimeCreate(2023, 4, 5, 12, 34, 56, 78), MvTimeCreate(2023, 4, 5, 12, 34, 56, 79));
    EXPECT_LT(MvTimeCreate(2022, 12, 31, 23, 59, 59, 99), MvTimeCreate(2023, 1, 1, 0, 0, 0, 0));
}

TEST_F(TimeTest, TextFormsNeverExceedTheirBuffer) {
    // A damaged value (every field at its maximum) still fits the 23 bytes callers give.
    using Fn = char* (*)(char*, MvTime);
    for (Fn fn : {Fn(MvTimeToStr), Fn(MvTimeToStrR), Fn(MvTimeToStrNet)}) {
        char buf[40];
        memset(buf, 'X', sizeof(buf));
        fn(buf, ~0ull);
        EXPECT_LE(strlen(buf), 22u);
        for (size_t i = 23; i < sizeof(buf); ++i) ASSERT_EQ(buf[i], 'X') << i;
    }
}

TEST_F(TimeTest, ParsersLeaveMissingFieldsZero) {
    struct Case {
        const char* text;
        MvTime net;
        MvTime compact;
    };
    const Case cases[] = {
        {"2023-04-05", MvTimeCreate(2023, 4, 5, 0, 0, 0, 0), MvTimeCreate(2023, 0, 0, 0, 0, 0, 0)},
        {"2023-04-05-12-34-56 HTTP/1.0", MvTimeCreate(2023, 4, 5, 12, 34, 56, 0),
         MvTimeCreate(2023, 0, 0, 0, 0, 0, 0)},
        {"2023-4-5-1-2-3", MvTimeCreate(2023, 4, 5, 1, 2, 3, 0),
         MvTimeCreate(2023, 0, 0, 0, 0, 0, 0)},
        {"2023--4-05", MvTimeCreate(2023, 0, 0, 0, 0, 0, 0), MvTimeCreate(2023, 0, 0, 0, 0, 0, 0)},
        {"20230405", MvTimeCreate(20230405, 0, 0, 0, 0, 0, 0),
         MvTimeCreate(2023, 4, 5, 0, 0, 0, 0)},
        {"202304051234567", MvTimeCreate(202304051, 0, 0, 0, 0, 0, 0),
         MvTimeCreate(2023, 4, 5, 12, 34, 56, 7)},
        {"2023-", MvTimeCreate(2023, 0, 0, 0, 0, 0, 0), MvTimeCreate(2023, 0, 0, 0, 0, 0, 0)},
        {"", 0, 0},
        {"abc", 0, 0},
        {"-2023", 0, 0},
    };
    for (const auto& c : cases) {
        // Each text in its own exactly-sized heap block, so a read past its end is caught.
        std::string text(c.text);
        EXPECT_EQ(MvTimeFromStrNet(text.c_str()), c.net) << c.text;
        EXPECT_EQ(MvTimeFromStr(text.c_str()), c.compact) << c.text;
    }
    EXPECT_EQ(MvTimeFromStrNet(nullptr), 0u);
    EXPECT_EQ(MvTimeFromStr(nullptr), 0u);
}

TEST_F(TimeTest, ConversionsWithTheCLibrary) {
    MvTime t = MvTimeCreate(2023, 4, 5, 12, 34, 56, 78);
    EXPECT_EQ(MvTimeToTime(t), 1680698096);
    timespec ts = MvTimeToTimespec(t);
    EXPECT_EQ(ts.tv_sec, 1680698096);
    EXPECT_EQ(ts.tv_nsec, 780000000);
    EXPECT_EQ(MvTimeFromTime(1680698096), MvTimeCreate(2023, 4, 5, 12, 34, 56, 0));
    timespec in{1680698096, 789999999};
    EXPECT_EQ(MvTimeFromTimespec(in), t);
    // Years before 1900 are taken as 1900.
    EXPECT_EQ(MvTimeToTime(MvTimeCreate(1800, 1, 1, 0, 0, 0, 0)),
              MvTimeToTime(MvTimeCreate(1900, 1, 1, 0, 0, 0, 0)));

    UseTz("JST-9");  // local fields: the same instant reads nine hours later
    EXPECT_EQ(MvTimeFromTime(1680698096), MvTimeCreate(2023, 4, 5, 21, 34, 56, 0));
    EXPECT_EQ(MvTimeToTime(MvTimeCreate(2023, 4, 5, 21, 34, 56, 0)), 1680698096);

    MvTime now = MvTimeNow();
    MvTime sys = MvTimeFromTime(time(nullptr));
    EXPECT_LE(MvTimeDiffSecs(now, sys), 1);
    EXPECT_GE(MvTimeDiffSecs(now, sys), 0);
}

TEST_F(TimeTest, AddSecsAcrossMonthAndYearEnds) {
    struct Case {
        MvTime from;
        int secs;
        MvTime to;
    };
    const Case cases[] = {
        {MvTimeCreate(2024, 3, 1, 0, 0, 0, 50), -1, MvTimeCreate(2024, 2, 29, 23, 59, 59, 50)},
        {MvTimeCreate(2023, 3, 1, 0, 0, 0, 50), -1, MvTimeCreate(2023, 2, 28, 23, 59, 59, 50)},
        {MvTimeCreate(2100, 3, 1, 0, 0, 0, 0), -1, MvTimeCreate(2100, 2, 28, 23, 59, 59, 0)},
        {MvTimeCreate(2023, 12, 31, 23, 59, 59, 99), 1, MvTimeCreate(2024, 1, 1, 0, 0, 0, 99)},
        {MvTimeCreate(2023, 4, 5, 12, 0, 0, 0), 86400 * 30, MvTimeCreate(2023, 5, 5, 12, 0, 0, 0)},
        {MvTimeCreate(2023, 4, 5, 12, 0, 0, 0), 0, MvTimeCreate(2023, 4, 5, 12, 0, 0, 0)},
    };
    for (const auto& c : cases) EXPECT_EQ(R(MvTimeAddSecs(c.from, c.secs)), R(c.to)) << R(c.from);
}

TEST_F(TimeTest, AddSecsAcrossDaylightSavingChange) {
    UseTz("CET-1CEST,M3.5.0,M10.5.0/3");
    // 26 March 2023: 02:00 local does not exist; an hour after 01:30 reads 03:30.
    EXPECT_EQ(R(MvTimeAddSecs(MvTimeCreate(2023, 3, 26, 1, 30, 0, 0), 3600)),
              "2023-03-26 03:30:00.00");
    EXPECT_EQ(MvTimeDiffSecs(MvTimeCreate(2023, 3, 26, 1, 0, 0, 0),
                             MvTimeCreate(2023, 3, 26, 4, 0, 0, 0)),
              7200);
}

TEST_F(TimeTest, AddCentiSecsCarries) {
    struct Case {
        MvTime from;
        uint64_t centi;
        MvTime to;
    };
    const Case cases[] = {
        {MvTimeCreate(2023, 4, 5, 12, 34, 56, 60), 150, MvTimeCreate(2023, 4, 5, 12, 34, 58, 10)},
        {MvTimeCreate(2023, 4, 5, 12, 34, 59, 60), 40, MvTimeCreate(2023, 4, 5, 12, 35, 0, 0)},
        {MvTimeCreate(2024, 2, 28, 23, 59, 59, 99), 1, MvTimeCreate(2024, 2, 29, 0, 0, 0, 0)},
        {MvTimeCreate(2023, 4, 5, 0, 0, 0, 0), 100ull * 86400 * 365,
         MvTimeCreate(2024, 4, 4, 0, 0, 0, 0)},
        {MvTimeCreate(2023, 4, 5, 0, 0, 0, 5), 0, MvTimeCreate(2023, 4, 5, 0, 0, 0, 5)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(R(MvTimeAddCentiSecs(c.from, c.centi)), R(c.to)) << R(c.from) << " + " << c.centi;
}

TEST_F(TimeTest, Differences) {
    MvTime a = MvTimeCreate(2023, 4, 5, 12, 34, 56, 78);
    MvTime later = MvTimeCreate(2023, 4, 5, 12, 35, 58, 28);
    EXPECT_EQ(MvTimeDiffSecs(a, later), 62);
    EXPECT_EQ(MvTimeDiffSecs(later, a), -62);  // b earlier than a
    EXPECT_EQ(MvTimeDiffSecs(a, a), 0);
    EXPECT_EQ(MvTimeDiffCentiSecs(a, a), 0u);
    EXPECT_EQ(MvTimeDiffCentiSecs(later, a), 6150u);
    EXPECT_EQ(MvTimeDiffCentiSecs(MvTimeCreate(2024, 1, 1, 0, 0, 0, 0),
                                  MvTimeCreate(2023, 12, 31, 23, 59, 59, 99)),
              1u);
    // a earlier than b has no meaning; it gives 0, not a wrapped huge span.
    EXPECT_EQ(MvTimeDiffCentiSecs(a, later), 0u);

    timespec x{10, 100}, y{8, 999999999};
    EXPECT_EQ(MvDiffTimespec(x, y), 1000000101);
    EXPECT_EQ(MvDiffTimespec(y, x), -1000000101);
}

TEST_F(TimeTest, HttpDateUsesCalendarYearInUtc) {
    UseTz("JST-9");  // the local zone must not matter
    struct Case {
        time_t at;
        const char* prefix;  // up to the tens of seconds: the clock may tick meanwhile
    };
    const Case cases[] = {
        {1735646400, "Tue, 31 Dec 2024 12:00:0"},  // ISO week-year is already 2025
        {1680698096, "Wed, 05 Apr 2023 12:34:5"},
    };
    for (const auto& c : cases) {
        std::string out = "old";
        MvHTTPDate(out, (int)(c.at - time(nullptr)));
        EXPECT_EQ(out.rfind(c.prefix, 0), 0u) << out;
        EXPECT_EQ(out.size(), 29u) << out;
        EXPECT_EQ(out.substr(25), " GMT");
    }
}

}  // namespace
