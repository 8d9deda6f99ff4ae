// The server's start-up pieces that are worth testing on their own: the command line,
// the kernel version check, process limits, crash and termination handling, and the
// housekeeping steps of the main loop.
#pragma once

#include <csignal>
#include <cstddef>

// Where a crash back-trace is appended ("backtrace.txt", or "<logdir>/backtrace.txt").
extern char sBacktracePath[512];

struct MvCommandLine {
    char configPath[512] = {0};  // "<name>.cfg" unless --config gave one
    char logBase[512] = {0};     // "<name>" or "<logdir>/<name>"
    bool configGiven = false;
};

enum class MvCmdAction { Run, Help, Version, Malformed };

// The program's short invocation name (argv[0] without its directories).
const char* MvShortName(const char* argv0);
// Reads the arguments left to right; sBacktracePath follows --logdir.
MvCmdAction MvParseCommandLine(int argc, char** argv, MvCommandLine& out);
void MvPrintHelp(const char* shortName);
void Greet();

// 0 when the release is 2.6.32 or later, -101 when it has no three numbers, -102 when older.
int MvCheckKernelVersion(const char* release);
bool setSystemLimits();

// Installs the alternate stack and the handlers for SIGILL, SIGFPE, SIGSEGV, SIGBUS and
// SIGTERM; ends the process with status 1 when that fails.
void MvInstallSignalHandlers();
void posix_signal_handler(int sig, siginfo_t* info, void* context);
void posix_print_stack_trace();
// The line written to standard error for a crash signal and its si_code (null for none).
const char* MvCrashLine(int sig, int code);

// One pass of the housekeeping loop's storage steps.
void MvSyncStorageData();
void MvDropPageCache();
// Sleeps up to the given time; SIGTERM is taken only while the main thread waits here.
void MvHousekeepingSleep(int seconds);
