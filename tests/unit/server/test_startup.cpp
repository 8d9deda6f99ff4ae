// Start-up pieces of the server: command line, kernel version check, crash lines.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "mvstartup.h"

namespace {
struct Args {
    std::vector<std::string> text;
    std::vector<char*> argv;
    explicit Args(std::initializer_list<const char*> list) {
        for (const char* a : list) text.emplace_back(a);
        for (auto& t : text) argv.push_back(t.data());
    }
    int argc() { return static_cast<int>(argv.size()); }
};
}  // namespace

TEST(CommandLine, OptionsAndDefaults) {
    struct Case {
        std::initializer_list<const char*> args;
        MvCmdAction action;
        const char* config;
        const char* logBase;
        const char* backtrace;
    };
    const Case cases[] = {
        {{"/usr/bin/movrel-nerio"}, MvCmdAction::Run, "movrel-nerio.cfg", "movrel-nerio", "backtrace.txt"},
        {{"./srv", "-c", "/etc/a.cfg"}, MvCmdAction::Run, "/etc/a.cfg", "srv", "backtrace.txt"},
        {{"srv", "--logdir", "/var/log/x"}, MvCmdAction::Run, "srv.cfg", "/var/log/x/srv", "/var/log/x/backtrace.txt"},
        {{"srv", "-l"}, MvCmdAction::Run, "srv.cfg", "srv", "backtrace.txt"},  // no value: ignored
        {{"srv", "-c"}, MvCmdAction::Malformed, nullptr, nullptr, nullptr},
        {{"srv", "-c", "-h"}, MvCmdAction::Help, nullptr, nullptr, nullptr},  // the value is looked at again
        {{"srv", "--version", "-h"}, MvCmdAction::Version, nullptr, nullptr, nullptr},
        {{"srv", "unknown", "-v"}, MvCmdAction::Version, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        strcpy(sBacktracePath, "backtrace.txt");
        Args a(c.args);
        MvCommandLine cmd;
        EXPECT_EQ(MvParseCommandLine(a.argc(), a.argv.data(), cmd), c.action) << a.text.back();
        if (c.config != nullptr) {
            EXPECT_STREQ(cmd.configPath, c.config);
            EXPECT_STREQ(cmd.logBase, c.logBase);
            EXPECT_STREQ(sBacktracePath, c.backtrace);
        }
    }
}

TEST(CommandLine, LongValuesAreCutNotOverrun) {
    std::string longDir(2000, 'd');
    std::string longCfg(3000, 'c');
    Args a({"srv", "-l", longDir.c_str(), "-c", longCfg.c_str()});
    MvCommandLine cmd;
    EXPECT_EQ(MvParseCommandLine(a.argc(), a.argv.data(), cmd), MvCmdAction::Run);
    EXPECT_EQ(strlen(cmd.configPath), 511u);
    EXPECT_LT(strlen(cmd.logBase), 512u);
    EXPECT_LT(strlen(sBacktracePath), 512u);
    EXPECT_TRUE(cmd.configGiven);
    strcpy(sBacktracePath, "backtrace.txt");
}

TEST(KernelVersion, MinimumIs2632) {
    struct Case { const char* release; int result; };
    const Case cases[] = {
        {"2.6.32-754.el6.x86_64", 0}, {"2.6.31", -102}, {"6.1.0-13-amd64", 0}, {"3.0.0", 0},
        {"2.5.99", -102}, {"1.9.999", -102}, {"2.6.300", 0}, {"2.6", -101}, {"linux", -101}, {nullptr, -101},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MvCheckKernelVersion(c.release), c.result) << (c.release ? c.release : "(null)");
}

TEST(CrashSignals, LineBySignalAndCode) {
    struct Case { int sig; int code; const char* line; };
    const Case cases[] = {
        {SIGILL, ILL_ILLOPC, "Caught SIGILL: (illegal opcode)\n"},
        {SIGILL, ILL_BADSTK, "Caught SIGILL: (internal stack error)\n"},
        {SIGILL, 0, "Caught SIGILL: Illegal Instruction\n"},
        {SIGFPE, FPE_INTDIV, "Caught SIGFPE: (integer divide by zero)\n"},
        {SIGFPE, FPE_FLTSUB, "Caught SIGFPE: (subscript out of range)\n"},
        {SIGFPE, 99, "Caught SIGFPE: Arithmetic Exception\n"},
        {SIGSEGV, SEGV_MAPERR, "Caught SIGSEGV: (address not mapped to object)\n"},
        {SIGSEGV, SEGV_ACCERR, "Caught SIGSEGV: (invalid permissions for mapped object)\n"},
        {SIGSEGV, SI_USER, "Caught SIGSEGV: Segmentation Fault\n"},
        {SIGBUS, BUS_ADRERR, "Caught SIGBUS: (non-existant physical address)\n"},
        {SIGBUS, 0, "Caught SIGBUS: Bus error\n"},
    };
    for (const auto& c : cases) EXPECT_STREQ(MvCrashLine(c.sig, c.code), c.line);
    EXPECT_EQ(MvCrashLine(SIGUSR1, 0), nullptr);
}
