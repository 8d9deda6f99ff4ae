// Entry point of the server: command line, signal handling, process limits, configuration,
// kernel check, start of the subsystems, then the 5-second housekeeping loop.
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>

#include "cfg.h"
#include "liveinput.h"
#include "mvaffinity.h"
#include "mvgopmem.h"
#include "mvlogger.h"
#include "mvstartup.h"
#include "storageinit.h"
#include "storagemgr_stats.h"
#include "vodingest.h"

int main(int argc, char** argv) {
    MvKeepFreedHeapMemory();
    ITGInitMainConf();
    ITGMainConf* conf = ITGGetMainConf();
    Greet();

    const char* name = MvShortName(argc > 0 ? argv[0] : nullptr);
    MvCommandLine cmd;
    switch (MvParseCommandLine(argc, argv, cmd)) {
    case MvCmdAction::Malformed:
        exit(2);
    case MvCmdAction::Help:
        MvPrintHelp(name);
        exit(0);
    case MvCmdAction::Version:
        exit(0);
    case MvCmdAction::Run:
        break;
    }

    MvInstallSignalHandlers();
    if (!MvLogInit(true, false, name)) return -2;
    MVLOGV("[MAIN] MVCID TEST OK");

    MVLOGI("[MAIN] Loading config file...");
    if (!ITGLoadConfig(cmd.configPath, true)) return -1;

    if (!setSystemLimits()) MVLOGE("[MAIN] Failed to set system limits");

    if (!MvLogInit(conf->SCREENLOG, conf->FILELOG, cmd.logBase)) return -2;
    MvLogEnable(conf->LOGENABLED);

    utsname uts;
    int kernel = uname(&uts) == 0 ? MvCheckKernelVersion(uts.release) : MvCheckKernelVersion(nullptr);
    if (kernel != 0) return kernel;

    // GOP cache, storage manager and the scan of the media: done before any listener starts,
    // so no ingest or delivery thread sees a half-loaded store.
    MvStartCacheAndStorage();

    MVLOGI("[MAIN] Creating LIVE stream listener...");
    ITGStartLiveInput();

    if (conf->VODINGEST.port != 0) HSCStartV3VODListenerThread();

    // The statistics endpoint comes last among the listeners.
    if (conf->MONITOR.port != 0) MvStartStorageManagerMonitor();

    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::GENCPUS));
    for (;;) {
        if (conf->SYNCDATA.load()) MvSyncStorageData();
        if (conf->SYNCBUFFERS.load()) MvDropPageCache();
        MvHousekeepingSleep(5);
        ITGLoadConfig(cmd.configPath, false);
    }
}
