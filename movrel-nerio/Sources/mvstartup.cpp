#include "mvstartup.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg.h"
#include "liveinput.h"
#include "mvlogger.h"
#include "mvver.h"

char sBacktracePath[512] = "backtrace.txt";

const char* MvShortName(const char* argv0) {
    if (argv0 == nullptr || *argv0 == '\0') return "movrel-nerio";
    const char* slash = strrchr(argv0, '/');
    return slash != nullptr && slash[1] != '\0' ? slash + 1 : argv0;
}

MvCmdAction MvParseCommandLine(int argc, char** argv, MvCommandLine& out) {
    const char* name = MvShortName(argc > 0 ? argv[0] : nullptr);
    snprintf(out.configPath, sizeof(out.configPath), "%s.cfg", name);
    snprintf(out.logBase, sizeof(out.logBase), "%s", name);
    out.configGiven = false;
    // Each argument is looked at in turn; an option's value is looked at again as an
    // argument of its own on the next step (so "-c -h" ends in the help screen).
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--config") == 0 || strcmp(arg, "-c") == 0) {
            if (i + 1 >= argc) {
                MVLOGI("[MAIN] Malformed command-line parameter");
                return MvCmdAction::Malformed;
            }
            snprintf(out.configPath, sizeof(out.configPath), "%s", argv[i + 1]);
            out.configGiven = true;
        } else if (strcmp(arg, "--logdir") == 0 || strcmp(arg, "-l") == 0) {
            if (i + 1 < argc) {
                snprintf(out.logBase, sizeof(out.logBase), "%.250s/%.250s", argv[i + 1], name);
                snprintf(sBacktracePath, sizeof(sBacktracePath), "%.490s/%s", argv[i + 1],
                         "backtrace.txt");
            }
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            return MvCmdAction::Help;
        } else if (strcmp(arg, "--version") == 0 || strcmp(arg, "-v") == 0) {
            return MvCmdAction::Version;
        }
    }
    return MvCmdAction::Run;
}

void MvPrintHelp(const char* shortName) {
    printf("\n");
    printf("-c --config\tSet configuration file path (defaults to '%s.cfg' in CWD)\n", shortName);
    printf("-l --logdir\tSet the directory for log files and backtrace.txt (defaults to CWD)\n");
    printf("-h --help\tPrint this help screen\n");
    printf("-v --version\tPrint version info\n");
    printf("\n");
    fflush(stdout);
}

void Greet() {
    static const char kRule[] = "========================================================";
    MVLOGI("%s", kRule);
    MVLOGI("Movrel Nerio Server %s", MvGetVersion());
    MVLOGI("%s", kRule);
}

int MvCheckKernelVersion(const char* release) {
    int major = 0, minor = 0, patch = 0;
    if (release == nullptr || sscanf(release, "%d.%d.%d", &major, &minor, &patch) < 3) {
        MVLOGI("[MAIN] Could not check OS version...");
        return -101;
    }
    MVLOGI("[MAIN] Detected OS version is %d.%d.%d...", major, minor, patch);
    // Compared part by part, so that large minor or patch numbers cannot spill into the
    // next part the way a packed (major << 16 | minor << 8 | patch) value would.
    bool older = major != 2 ? major < 2 : minor != 6 ? minor < 6 : patch < 32;
    if (older) {
        MVLOGI("[MAIN] Minimum required OS version is 2.6.32...");
        return -102;
    }
    return 0;
}

bool setSystemLimits() {
    rlimit rl;
    rl.rlim_cur = rl.rlim_max = 99;
    if (setrlimit(RLIMIT_RTPRIO, &rl) != 0) {
        MVLOGE("Unable to set RLIMIT_RTPRIO: %s", strerror(errno));
        return false;
    }
    rl.rlim_cur = rl.rlim_max = 1000000;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        MVLOGE("Unable to set RLIMIT_NOFILE: %s", strerror(errno));
        return false;
    }
    uint64_t mib = ITGGetMainConf()->STACKSIZE.load();
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(mib) * 1048576u;
    if (setrlimit(RLIMIT_STACK, &rl) != 0) {
        MVLOGE("Unable to set RLIMIT_STACK: %s", strerror(errno));
        return false;
    }
    return true;
}

const char* MvCrashLine(int sig, int code) {
    switch (sig) {
    case SIGILL:
        switch (code) {
        case ILL_ILLOPC: return "Caught SIGILL: (illegal opcode)\n";
        case ILL_ILLOPN: return "Caught SIGILL: (illegal operand)\n";
        case ILL_ILLADR: return "Caught SIGILL: (illegal addressing mode)\n";
        case ILL_ILLTRP: return "Caught SIGILL: (illegal trap)\n";
        case ILL_PRVOPC: return "Caught SIGILL: (privileged opcode)\n";
        case ILL_PRVREG: return "Caught SIGILL: (privileged register)\n";
        case ILL_COPROC: return "Caught SIGILL: (coprocessor error)\n";
        case ILL_BADSTK: return "Caught SIGILL: (internal stack error)\n";
        default: return "Caught SIGILL: Illegal Instruction\n";
        }
    case SIGFPE:
        switch (code) {
        case FPE_INTDIV: return "Caught SIGFPE: (integer divide by zero)\n";
        case FPE_INTOVF: return "Caught SIGFPE: (integer overflow)\n";
        case FPE_FLTDIV: return "Caught SIGFPE: (floating-point divide by zero)\n";
        case FPE_FLTOVF: return "Caught SIGFPE: (floating-point overflow)\n";
        case FPE_FLTUND: return "Caught SIGFPE: (floating-point underflow)\n";
        case FPE_FLTRES: return "Caught SIGFPE: (floating-point inexact result)\n";
        case FPE_FLTINV: return "Caught SIGFPE: (floating-point invalid operation)\n";
        case FPE_FLTSUB: return "Caught SIGFPE: (subscript out of range)\n";
        default: return "Caught SIGFPE: Arithmetic Exception\n";
        }
    case SIGSEGV:
        switch (code) {
        case SEGV_MAPERR: return "Caught SIGSEGV: (address not mapped to object)\n";
        case SEGV_ACCERR: return "Caught SIGSEGV: (invalid permissions for mapped object)\n";
        default: return "Caught SIGSEGV: Segmentation Fault\n";
        }
    case SIGBUS:
        switch (code) {
        case BUS_ADRALN: return "Caught SIGBUS: (invalid address alignment)\n";
        case BUS_ADRERR: return "Caught SIGBUS: (non-existant physical address)\n";
        case BUS_OBJERR: return "Caught SIGBUS: (object specific hardware error)\n";
        default: return "Caught SIGBUS: Bus error\n";
        }
    default:
        return nullptr;
    }
}

static void WriteAll(int fd, const char* text, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, text, n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return;
        }
        text += w;
        n -= static_cast<size_t>(w);
    }
}

void posix_print_stack_trace() {
    // The capture buffer and the depth handed to backtrace() are the same constant.
    constexpr int kMaxFrames = 128;
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    if (count <= 0) return;
    WriteAll(STDOUT_FILENO, "\n", 1);
    backtrace_symbols_fd(frames, count, STDOUT_FILENO);
    WriteAll(STDOUT_FILENO, "\n", 1);
    int fd = open(sBacktracePath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd > 0) {
        WriteAll(fd, "\n", 1);
        backtrace_symbols_fd(frames, count, fd);
        WriteAll(fd, "\n", 1);
        close(fd);
    }
}

void posix_signal_handler(int sig, siginfo_t* info, void* /*context*/) {
    if (sig == SIGTERM) {
        static const char kMsg[] = "Received SIGTERM: beginning controlled shutdown...\n";
        WriteAll(STDERR_FILENO, kMsg, sizeof(kMsg) - 1);
        g_bTerminating.store(1);
        // The live input manager stops the channels in order and clears the flag. Before it
        // runs (or once it has gone) there is nothing to stop.
        while (ITGLiveInputRunning() && g_bTerminating.load() != 0) usleep(10000);
        exit(0);
    }
    const char* line = MvCrashLine(sig, info != nullptr ? info->si_code : 0);
    if (line != nullptr) WriteAll(STDERR_FILENO, line, strlen(line));
    posix_print_stack_trace();
    exit(1);
}

void MvInstallSignalHandlers() {
    // The handlers run on their own stack so that a stack overflow can still be reported.
    // It is larger than a bare 8 KiB: symbolising the back-trace and the exit() that
    // follows need more than that, and a fault inside the handler would lose the report.
    static constexpr size_t kAltStackSize = 256 * 1024;
    // backtrace() loads its unwinder on first use; do that now, not inside a crash.
    void* warm[4];
    backtrace(warm, 4);
    static void* s_altStack = malloc(kAltStackSize);  // held for the life of the process
    stack_t ss = {};
    ss.ss_sp = s_altStack;
    ss.ss_size = kAltStackSize;
    ss.ss_flags = 0;
    if (ss.ss_sp == nullptr || sigaltstack(&ss, nullptr) != 0) {
        perror("Could not setup alternate signal handler stack");
        exit(1);
    }
    struct sigaction sa = {};
    sa.sa_sigaction = posix_signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    const int signals[] = {SIGILL, SIGFPE, SIGSEGV, SIGBUS, SIGTERM};
    for (int s : signals) {
        if (sigaction(s, &sa, nullptr) != 0) {
            perror("Could not install signal handler");
            exit(1);
        }
    }
    // SIGTERM stays blocked in every thread (threads inherit the mask) and is taken only
    // while the main thread waits in the housekeeping loop, where it holds no lock that the
    // shutdown of live input could need.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
}

void MvHousekeepingSleep(int seconds) {
    sigset_t open;
    pthread_sigmask(SIG_BLOCK, nullptr, &open);
    sigdelset(&open, SIGTERM);
    timespec ts = {seconds, 0};
    pselect(0, nullptr, nullptr, nullptr, &ts, &open);
}

void MvSyncStorageData() {
    ITGMainConf* conf = ITGGetMainConf();
    for (auto& [id, info] : conf->STORAGE) {
        if (info.descriptor < 0) continue;
        if (fsync(info.descriptor) != 0) {
            char err[128];
            const char* text = strerror_r(errno, err, sizeof(err));
            MVLOGE("Error syncing storage file '%s', %s", info.path.c_str(), text);
        }
    }
    if (conf->VERBOSE.load()) MVLOGI("[SYNC] Synchronized file data...");
}

void MvDropPageCache() {
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        MVLOGI("[SYNC] Cache sync could not be started: %d", errno);
        return;
    }
    if (write(fd, "3\n", 2) != 2)
        MVLOGI("[SYNC] Cache sync failed with error: %d", errno);
    else if (ITGGetMainConf()->VERBOSE.load())
        MVLOGI("[SYNC] Synchronized cache data...");
    close(fd);
}
