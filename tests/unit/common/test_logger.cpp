// The logger: source registration and filters, the exact line formats of both
// flavours, the daily files and their switch at local midnight, shutdown, and the
// version strings. Each test builds its own logger with a fake clock.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mvlogger.h"
#include "mvver.h"
#include "mvver_build.h"

namespace {

timespec g_fakeNow;
void FakeClock(timespec* now) { *now = g_fakeNow; }

// Sets the fake clock to a local time of the current TZ.
void SetClock(int y, int mo, int d, int h, int mi, int s, int centi) {
    g_fakeNow = MvTimeToTimespec(MvTimeCreate(y, mo, d, h, mi, s, centi));
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string l;
    while (std::getline(ss, l)) out.push_back(l);
    return out;
}

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
    closedir(d);
    return out;
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/mvlogtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        base_ = dir_ + "/log-";
        SetClock(2023, 4, 5, 12, 34, 56, 78);
    }
    void TearDown() override {
        logger_.reset();
        for (const auto& e : DirEntries(dir_)) unlink((dir_ + "/" + e).c_str());
        rmdir(dir_.c_str());
    }
    // A logger writing to the daily file only.
    MvLogger& Make(MvFlavour flavour = MvFlavour::Server) {
        logger_ = std::make_unique<MvLogger>(flavour);
        logger_->SetClock(FakeClock);
        logger_->Init(false, true, base_.c_str());
        return *logger_;
    }
    std::string DayFile(const char* date) { return base_ + date + ".log"; }
    std::vector<std::string> Today() { return Lines(ReadAll(DayFile("2023-04-05"))); }

    std::string dir_, base_;
    std::unique_ptr<MvLogger> logger_;
    MvLESC* slot_ = nullptr;
};

TEST_F(LoggerTest, SourcesAreRegisteredOnceWithIdsFromTwo) {
    MvLogger& log = Make();
    MvLESC* a = nullptr;
    MvLESC* b = nullptr;
    MvLESC* a2 = nullptr;
    log.Log(&a, "../Sources/a.cpp", 1, MV_LOG_I, 0, "one");
    log.Log(&b, "../Sources/b.cpp", 1, MV_LOG_D, 0, "two");
    log.Log(&a2, "../Sources/a.cpp", 2, MV_LOG_I, 0, "three");  // same file, other slot
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, a2);
    EXPECT_EQ(a->id, 2u);
    EXPECT_EQ(b->id, 3u);

    std::vector<uint64_t> ids{99};
    log.GetSourceArray(ids);  // appends
    EXPECT_EQ(ids, (std::vector<uint64_t>{99, 2, 3}));

    std::string name;
    bool enabled = false;
    uint32_t messages = 0, level = 7;
    ASSERT_TRUE(log.GetIDDescr(3, name, enabled, messages, level));
    EXPECT_EQ(name, "../Sources/b.cpp");
    EXPECT_TRUE(enabled);
    EXPECT_EQ(messages, 31u);
    EXPECT_EQ(level, 0u);
}

TEST_F(LoggerTest, SettersWithUnknownIdChangeNothing) {
    MvLogger& log = Make();
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "x");
    for (uint64_t id : {0ull, 1ull, 3ull, ~0ull}) {
        EXPECT_FALSE(log.SourceEnable(id, false)) << id;
        EXPECT_FALSE(log.SourceMessages(id, 0)) << id;
        EXPECT_FALSE(log.SourceLevel(id, 9)) << id;
        std::string name = "keep";
        bool en = false;
        uint32_t m = 5, l = 6;
        EXPECT_FALSE(log.GetIDDescr(id, name, en, m, l)) << id;
        EXPECT_EQ(name, "keep");
    }
    EXPECT_TRUE(slot_->enabled);
    EXPECT_EQ(slot_->messages, 31u);
    EXPECT_EQ(slot_->level, 0);
}

TEST_F(LoggerTest, FiltersBySourceSeverityAndDetailLevel) {
    struct Case {
        const char* what;
        bool enabled;
        uint32_t mask;
        uint32_t level;
        int severity;
        int detail;
        const char* expected;  // nullptr: dropped
    };
    const Case cases[] = {
        {"default passes I", true, 31, 0, MV_LOG_I, 0, "2023-04-05 12:34:56.78 - [I] m"},
        {"mask 29 drops D", true, 29, 0, MV_LOG_D, 0, nullptr},
        {"mask 29 keeps I", true, 29, 0, MV_LOG_I, 0, "2023-04-05 12:34:56.78 - [I] m"},
        {"32 dropped by 31", true, 31, 0, 32, 0, nullptr},
        {"32 passes 63 as U", true, 63, 0, 32, 0, "2023-04-05 12:34:56.78 - [U] m"},
        {"disabled source", false, 31, 0, MV_LOG_E, 0, nullptr},
        {"detail 2 over level 0", true, 31, 0, MV_LOG_I, 2, nullptr},
        {"detail 2 at level 2", true, 31, 2, MV_LOG_I, 2, "2023-04-05 12:34:56.78 - [I]     m"},
        {"detail 1 under level 2", true, 31, 2, MV_LOG_I, 1, "2023-04-05 12:34:56.78 - [I]   m"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MvLogger& log = Make();
        MvLESC* slot = nullptr;
        log.Log(&slot, "../Sources/f.cpp", 1, MV_LOG_D, 0, "register");
        ASSERT_TRUE(log.SourceEnable(2, c.enabled));
        ASSERT_TRUE(log.SourceMessages(2, c.mask));
        ASSERT_TRUE(log.SourceLevel(2, c.level));
        log.Log(&slot, "../Sources/f.cpp", 1, c.severity, c.detail, "m");
        auto lines = Today();
        ASSERT_GE(lines.size(), 1u);
        if (c.expected == nullptr)
            EXPECT_EQ(lines.size(), 1u);
        else
            EXPECT_EQ(lines.back(), c.expected);
        logger_.reset();
        unlink(DayFile("2023-04-05").c_str());
    }
}

TEST_F(LoggerTest, MasterSwitchDropsEverything) {
    MvLogger& log = Make();
    log.Enable(false);
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_E, 0, "gone");
    EXPECT_EQ(slot_, nullptr);  // dropped before registration
    log.Enable(true);
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_E, 0, "kept");
    EXPECT_EQ(Today().size(), 1u);
}

TEST_F(LoggerTest, ServerLineFormats) {
    struct Case {
        bool debug;
        int severity;
        int detail;
        const char* expected;
    };
    const Case cases[] = {
        {false, MV_LOG_I, 0, "2023-04-05 12:34:56.78 - [I] msg 42"},
        {false, MV_LOG_D, 0, "2023-04-05 12:34:56.78 - [D] msg 42"},
        {false, MV_LOG_V, 0, "\33[92m2023-04-05 12:34:56.78 - [V] msg 42\33[0m"},
        {false, MV_LOG_W, 0, "\33[93m2023-04-05 12:34:56.78 - [W] msg 42\33[0m"},
        {false, MV_LOG_E, 0, "\33[91m2023-04-05 12:34:56.78 - [E] msg 42\33[0m"},
        {true, MV_LOG_I, 0,
         "2023-04-05 12:34:56.78 - [../Sources/fmt.cpp][00077][I][000][msg 42]"},
        {true, MV_LOG_E, 1,
         "\33[91m2023-04-05 12:34:56.78 - [../Sources/fmt.cpp][00077][E][001][msg 42]\33[0m"},
    };
    for (const auto& c : cases) {
        MvLogger& log = Make();
        log.SetDebug(c.debug);
        EXPECT_EQ(log.GetDebug(), c.debug);
        MvLESC* slot = nullptr;
        log.Log(&slot, "../Sources/fmt.cpp", 77, MV_LOG_I, 0, "first");
        log.SourceLevel(2, 5);
        log.Log(&slot, "../Sources/fmt.cpp", 77, c.severity, c.detail, "msg %d", 42);
        auto lines = Today();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1], c.expected);
        logger_.reset();
        unlink(DayFile("2023-04-05").c_str());
    }
}

TEST_F(LoggerTest, LongFieldsAreCut) {
    MvLogger& log = Make();
    std::string path(100, 'p');
    std::string msg(100000, 'm');
    log.Log(&slot_, path.c_str(), 1, MV_LOG_I, 40, "%s", msg.c_str());  // level 40 is dropped
    log.SourceLevel(2, 100);
    log.Log(&slot_, path.c_str(), 1, MV_LOG_I, 40, "%s", msg.c_str());
    log.SetDebug(true);
    log.Log(&slot_, path.c_str(), 1, MV_LOG_I, 0, "%s", msg.c_str());
    auto lines = Today();
    ASSERT_EQ(lines.size(), 2u);
    // Indent stops at 64 spaces; the message at 80000 characters.
    EXPECT_EQ(lines[0], "2023-04-05 12:34:56.78 - [I] " + std::string(64, ' ') +
                            std::string(80000, 'm'));
    EXPECT_EQ(lines[1], "2023-04-05 12:34:56.78 - [" + std::string(64, 'p') + "][00001][I][000][" +
                            std::string(80000, 'm') + "]");
}

TEST_F(LoggerTest, ClockGoingBackMarksOneLineP) {
    MvLogger& log = Make();
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "a");
    SetClock(2023, 4, 5, 12, 33, 56, 78);  // one minute back
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_E, 0, "b");
    SetClock(2023, 4, 5, 12, 33, 57, 0);
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_W, 0, "c");
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "d");  // same time: not back
    auto lines = Today();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "2023-04-05 12:34:56.78 - [I] a");
    EXPECT_EQ(lines[1], "\33[91m2023-04-05 12:33:56.78 - [P] b\33[0m");
    EXPECT_EQ(lines[2], "\33[93m2023-04-05 12:33:57.00 - [W] c\33[0m");
    EXPECT_EQ(lines[3], "2023-04-05 12:33:57.00 - [I] d");
}

TEST_F(LoggerTest, DailyFileSwitchesAtLocalMidnight) {
    struct Case {
        const char* tz;
        const char* firstDay;
        const char* secondDay;
    };
    // The fake clock is set in local time of each zone; files follow the local date.
    const Case cases[] = {{"UTC", "2023-04-05", "2023-04-06"},
                          {"EST5", "2023-04-05", "2023-04-06"},
                          {"JST-9", "2023-04-05", "2023-04-06"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        setenv("TZ", c.tz, 1);
        tzset();
        SetClock(2023, 4, 5, 23, 59, 59, 99);
        MvLogger& log = Make();
        MvLESC* slot = nullptr;
        log.Log(&slot, "../Sources/a.cpp", 1, MV_LOG_I, 0, "before");
        EXPECT_EQ(log.CurrentFileName(), DayFile(c.firstDay));
        SetClock(2023, 4, 6, 0, 0, 0, 0);
        log.Log(&slot, "../Sources/a.cpp", 1, MV_LOG_I, 0, "after");
        EXPECT_EQ(log.CurrentFileName(), DayFile(c.secondDay));
        logger_.reset();
        EXPECT_EQ(Lines(ReadAll(DayFile(c.firstDay))),
                  std::vector<std::string>{"2023-04-05 23:59:59.99 - [I] before"});
        EXPECT_EQ(Lines(ReadAll(DayFile(c.secondDay))),
                  std::vector<std::string>{"2023-04-06 00:00:00.00 - [I] after"});
        // Reopening appends to an existing day file.
        SetClock(2023, 4, 6, 0, 0, 1, 0);
        Make().Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "again");
        slot_ = nullptr;
        logger_.reset();
        EXPECT_EQ(Lines(ReadAll(DayFile(c.secondDay))).size(), 2u);
        unlink(DayFile(c.firstDay).c_str());
        unlink(DayFile(c.secondDay).c_str());
    }
}

TEST_F(LoggerTest, InitWithEmptyBaseWritesNoFile) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    MvLogger log(MvFlavour::Server);
    log.SetClock(FakeClock);
    EXPECT_TRUE(log.Init(false, true, ""));
    log.EnableFile(true);  // still nothing without a base
    MvLESC* slot = nullptr;
    log.Log(&slot, "../Sources/a.cpp", 1, MV_LOG_E, 0, "screen only");
    EXPECT_TRUE(log.Init(false, true, nullptr));
    log.Log(&slot, "../Sources/a.cpp", 1, MV_LOG_E, 0, "screen only");
    EXPECT_EQ(log.CurrentFileName(), "");
    EXPECT_TRUE(DirEntries(dir_).empty());
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(LoggerTest, FileOutputSwitches) {
    MvLogger& log = Make();
    log.EnableFile(false);
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "off");
    EXPECT_TRUE(DirEntries(dir_).empty());
    log.EnableFile(true);
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "on");
    EXPECT_EQ(Today(), std::vector<std::string>{"2023-04-05 12:34:56.78 - [I] on"});
}

TEST_F(LoggerTest, UnopenableFileIsSkippedWithoutHarm) {
    logger_ = std::make_unique<MvLogger>(MvFlavour::Server);
    logger_->SetClock(FakeClock);
    logger_->Init(false, true, (dir_ + "/missing/dir/log-").c_str());
    for (int i = 0; i < 3; ++i) logger_->Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_E, 0, "lost");
    EXPECT_EQ(logger_->CurrentFileName(), "");
    EXPECT_TRUE(DirEntries(dir_).empty());
}

TEST_F(LoggerTest, ScreenLinesOfBothFlavours) {
    struct Case {
        MvFlavour flavour;
        int severity;
        const char* screen;
        const char* file;
    };
    const Case cases[] = {
        {MvFlavour::Server, MV_LOG_E, "\33[91m2023-04-05 12:34:56.78 - [E] s\33[0m\n",
         "\33[91m2023-04-05 12:34:56.78 - [E] s\33[0m"},
        {MvFlavour::Server, MV_LOG_I, "2023-04-05 12:34:56.78 - [I] s\n",
         "2023-04-05 12:34:56.78 - [I] s"},
        {MvFlavour::Tool, MV_LOG_E, "\33[91m2023-04-05 12:34:56.78 - [E] s\33[0m\n",
         "2023-04-05 12:34:56.78 - [E] s"},
        {MvFlavour::Tool, MV_LOG_W, "\33[93m2023-04-05 12:34:56.78 - [W] s\33[0m\n",
         "2023-04-05 12:34:56.78 - [W] s"},
        {MvFlavour::Tool, MV_LOG_V, "\33[92m2023-04-05 12:34:56.78 - [V] s\33[0m\n",
         "2023-04-05 12:34:56.78 - [V] s"},
        {MvFlavour::Tool, MV_LOG_D, "2023-04-05 12:34:56.78 - [D] s\n",
         "2023-04-05 12:34:56.78 - [D] s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screen);
        MvLogger& log = Make(c.flavour);
        log.SetFlush(true);
        log.EnableScreen(true);
        MvLESC* slot = nullptr;
        testing::internal::CaptureStdout();
        log.Log(&slot, "../Sources/a.cpp", 1, c.severity, 0, "s");
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen);
        EXPECT_EQ(Today(), std::vector<std::string>{c.file});
        logger_.reset();
        unlink(DayFile("2023-04-05").c_str());
    }
}

TEST_F(LoggerTest, ToolDebugFormatHasNoColour) {
    MvLogger& log = Make(MvFlavour::Tool);
    log.SetFlush(true);
    log.SetDebug(true);
    log.Log(&slot_, "../Sources/t.cpp", 5, MV_LOG_E, 0, "bad %s", "thing");
    EXPECT_EQ(Today(), std::vector<std::string>{
                           "2023-04-05 12:34:56.78 - [../Sources/t.cpp][00005][E][000][bad thing]"});
}

TEST_F(LoggerTest, FlushMakesToolLinesVisibleAtOnce) {
    // The tool's daily file is fully buffered: a line reaches the file at once only
    // with flushing on. The server's is line-buffered.
    MvLogger& tool = Make(MvFlavour::Tool);
    EXPECT_FALSE(tool.SetFlush(false));
    tool.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "buffered");
    EXPECT_TRUE(Today().empty());
    EXPECT_FALSE(tool.SetFlush(true));
    tool.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "flushed");
    EXPECT_EQ(Today().size(), 2u);
    EXPECT_TRUE(tool.SetFlush(false));
    logger_.reset();
    unlink(DayFile("2023-04-05").c_str());

    slot_ = nullptr;
    MvLogger& server = Make(MvFlavour::Server);
    server.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "line-buffered");
    EXPECT_EQ(Today().size(), 1u);
}

TEST_F(LoggerTest, ScreenBufferingFollowsFlavour) {
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    {
        MvLogger tool(MvFlavour::Tool);
        tool.Init(true, false, "");
        EXPECT_EQ(__flbf(stdout), 0);
    }
    {
        MvLogger server(MvFlavour::Server);
        server.Init(false, false, "");
        EXPECT_EQ(__flbf(stdout), 0);
        server.Init(true, false, "");
        EXPECT_NE(__flbf(stdout), 0);
    }
}

TEST_F(LoggerTest, ToolInitWritesVersionStamp) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    MvLogger log(MvFlavour::Tool);
    log.SetClock(FakeClock);
    std::string stamp = "old content that is longer than the new line........................";
    std::ofstream(".mytool.ver") << stamp;
    EXPECT_TRUE(log.Init(false, true, "mytool"));
    std::string expect = std::string("2023-04-05 12:34:56.78 - ") + MvGetVersionTool() + "\n";
    EXPECT_EQ(ReadAll(".mytool.ver"), expect);
    // The server writes no stamp.
    MvLogger server(MvFlavour::Server);
    server.Init(false, true, "srv");
    EXPECT_EQ(access(".srv.ver", F_OK), -1);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(LoggerTest, ShutdownStopsOutputForGood) {
    MvLogger& log = Make();
    log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "before");
    log.Shutdown();
    // Many calls after shutdown: the counter must never come back above zero.
    for (int i = 0; i < 1000; ++i) log.Log(&slot_, "../Sources/a.cpp", 1, MV_LOG_I, 0, "after");
    EXPECT_EQ(Today(), std::vector<std::string>{"2023-04-05 12:34:56.78 - [I] before"});
}

TEST_F(LoggerTest, ConcurrentLinesStayWhole) {
    MvLogger& log = Make();
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&log, t] {
            MvLESC* slot = nullptr;  // each thread registers the same source
            for (int i = 0; i < kLines; ++i)
                log.Log(&slot, "../Sources/mt.cpp", t, MV_LOG_I, 0, "thread %d line %04d %s", t, i,
                        std::string(200, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    auto lines = Today();
    ASSERT_EQ(lines.size(), (size_t)kThreads * kLines);
    std::vector<int> next(kThreads, 0);
    for (const auto& l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(l.c_str(), "2023-04-05 12:34:56.78 - [I] thread %d line %d", &t, &i), 2) << l;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);
        EXPECT_EQ(l.substr(l.size() - 200), std::string(200, 'a' + t));
    }
    std::vector<uint64_t> ids;
    log.GetSourceArray(ids);
    EXPECT_EQ(ids, std::vector<uint64_t>{2});
}

// The process-wide logger behind the free functions and MVLOG macros.
TEST(GlobalLogger, FreeFunctionsReachTheProcessLogger) {
    EXPECT_FALSE(MvLogSourceEnable(123456789, false));
    EXPECT_FALSE(MvLogSourceMessages(123456789, 0));
    EXPECT_FALSE(MvLogSourceLevel(123456789, 1));
    testing::internal::CaptureStdout();
    MVLOGI("[TEST] global %d", 5);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" - [I] [TEST] global 5\n"), std::string::npos) << out;
    ASSERT_NE(s_pMvLogSource, nullptr);
    const std::string& src = s_pMvLogSource->name;
    EXPECT_EQ(src.substr(src.size() - 15), "test_logger.cpp");
    std::vector<uint64_t> ids;
    MvLogGetSourceArray(ids);
    std::string name;
    bool en;
    uint32_t m, l;
    ASSERT_TRUE(MvLogGetIDDescr(s_pMvLogSource->id, name, en, m, l));
    EXPECT_EQ(name, s_pMvLogSource->name);
    EXPECT_FALSE(MvLogSetFlush(false));
}

TEST(Version, StringsOfBothFlavours) {
    std::string server = MvGetVersionServer();
    std::string prefix =
        std::string("Version: ") + MV_VER_BRANCH + "-" + MV_VER_COMMIT + "-" + MV_VER_FLAVOUR + ", ";
    ASSERT_EQ(server.compare(0, prefix.size(), prefix), 0) << server;
    EXPECT_TRUE(std::regex_match(server.substr(prefix.size()),
                                 std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}")))
        << server;
    EXPECT_EQ(MvGetVersionServer(), MvGetVersionServer());  // built once, same buffer

    std::string tool = MvGetVersionTool();
    EXPECT_EQ(tool.rfind("Version: 1.7 build 1964 (", 0), 0u) << tool;
    EXPECT_EQ(tool.back(), ')');
    EXPECT_STREQ(MvGetVersionShort(), "1.7.1964");
    EXPECT_EQ(MvGetVersionMax(), 1);
    EXPECT_EQ(MvGetVersionMin(), 7);
    EXPECT_EQ(MvGetVersionBuild(), 1964);

    EXPECT_STREQ(MvGetVersion(), MvGetVersionServer());
    MvSetFlavour(MvFlavour::Tool);
    EXPECT_EQ(MvGetFlavour(), MvFlavour::Tool);
    EXPECT_STREQ(MvGetVersion(), MvGetVersionTool());
    MvSetFlavour(MvFlavour::Server);
    EXPECT_STREQ(MvGetVersion(), MvGetVersionServer());
}

}  // namespace
