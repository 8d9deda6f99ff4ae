// Logger costs: a call dropped by its source's filters (target below 20 ns, no lock
// taken), and lines per second written to a daily file with the screen off, beside a
// plain line-buffered fputs of the same line as reference.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mvlogger.h"

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/mvlogbench.XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempDir() {
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
    }
};

// The process logger through the MVLOG macros, source mask without debug.
void BM_FilteredSeverity(benchmark::State& state) {
    MvLogEnableScreen(false);
    MvLogEnableFile(false);
    MVLOGI("register");  // registers this file's source
    MvLogSourceMessages(s_pMvLogSource->id, 31 & ~MV_LOG_D);
    int i = 0;
    for (auto _ : state) {
        MVLOGD("dropped %d %s", i++, "text");
        benchmark::ClobberMemory();
    }
    MvLogSourceMessages(s_pMvLogSource->id, 31);
}
BENCHMARK(BM_FilteredSeverity);

void BM_FilteredDisabledSource(benchmark::State& state) {
    MvLogger log(MvFlavour::Server);
    log.Init(false, false, "");
    MvLESC* slot = nullptr;
    log.Log(&slot, "../Sources/bench.cpp", 1, MV_LOG_I, 0, "register");
    log.SourceEnable(slot->id, false);
    int i = 0;
    for (auto _ : state) {
        log.Log(&slot, "../Sources/bench.cpp", 2, MV_LOG_E, 0, "dropped %d", i++);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FilteredDisabledSource);

void BM_FilteredDetailLevel(benchmark::State& state) {
    MvLogger log(MvFlavour::Server);
    log.Init(false, false, "");
    MvLESC* slot = nullptr;
    int i = 0;
    for (auto _ : state) {
        log.Log(&slot, "../Sources/bench.cpp", 2, MV_LOG_I, 3, "dropped %d", i++);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FilteredDetailLevel);

const char kText[] = "[CHUNK] Storage(%u), block (%u) of (%u) written, GOP %llu, %d bytes";

void FileLines(benchmark::State& state, MvFlavour flavour) {
    TempDir dir;
    MvLogger log(flavour);
    log.Init(false, true, (dir.path + "/bench-").c_str());
    MvLESC* slot = nullptr;
    unsigned n = 0;
    for (auto _ : state) {
        log.Log(&slot, "../Sources/bench.cpp", 10, MV_LOG_I, 0, kText, 1u, n % 1000, 1000u,
                (unsigned long long)n, 1316);
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
}
void BM_FileLinesServer(benchmark::State& state) { FileLines(state, MvFlavour::Server); }
void BM_FileLinesTool(benchmark::State& state) { FileLines(state, MvFlavour::Tool); }
BENCHMARK(BM_FileLinesServer);
BENCHMARK(BM_FileLinesTool);

// Reference: the same line formatted and written with a line-buffered fputs.
void BM_RefLineBufferedFputs(benchmark::State& state) {
    TempDir dir;
    FILE* f = fopen((dir.path + "/ref.log").c_str(), "at");
    setvbuf(f, nullptr, _IOLBF, 0);
    char line[256];
    unsigned n = 0;
    for (auto _ : state) {
        snprintf(line, sizeof(line), "2023-04-05 12:34:56.78 - [I] [CHUNK] Storage(%u), block (%u) "
                 "of (%u) written, GOP %llu, %d bytes", 1u, n % 1000, 1000u, (unsigned long long)n,
                 1316);
        fputs(line, f);
        fputc('\n', f);
        ++n;
    }
    fclose(f);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RefLineBufferedFputs);

}  // namespace

BENCHMARK_MAIN();
