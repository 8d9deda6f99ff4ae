// Lines that end the process at the initial load, with their exit statuses and messages.
#include <unistd.h>

#include "cfg_test_util.h"

namespace {

class CfgFatal : public CfgFiles {};

// Runs the load in the child with its standard output sent to standard error, where the
// death test matches the message.
void LoadInChild(const std::string& path) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    ITGMainConf conf;
    ITGLoadConfigInto(conf, path.c_str(), true);
    fflush(stdout);
    _exit(99);  // not reached when the line is fatal
}

TEST_F(CfgFatal, MalformedLinesEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case { const char* line; int status; const char* message; };
    const Case cases[] = {
        {"STORAGE 0:/x", 2, "Storage ID should be positive number"},
        {"STORAGE /dev/sdb", 2, "Invalid STORAGE keyword .STORAGE /dev/sdb."},
        {"STORAGE 7", 2, "Use: STORAGE ID:PATH"},
        {"STORAGE 65536:/x", 2, "Storage ID should be at most 65535"},
        {"HLS 8080", 2, "FATAL: Invalid HLS keyword: '8080'. Supply 'HLS address:port' pair"},
        {"VODINGEST 10.0.0.1", 2, "FATAL: Invalid VODINGEST keyword"},
        {"MONITOR :8080", 2, "FATAL: Invalid MONITOR keyword: ':8080'"},
        {"OTTMP 5000", 2,
         "Supply 'OTTMP address:port' or 'OTTMP address:port:portcount'"},
        {"WS 203.0.113.77:9000", 2,
         "FATAL: Invalid WS keyword: '203.0.113.77:9000'. Supply 'WS address:port' pair"},
        {"WSS 127.0.0.1", 2, "FATAL: Invalid WSS keyword"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string path = Write("fatal.cfg", std::string("VERBOSE 1\n") + c.line + "\n");
        fflush(stdout);
        EXPECT_EXIT(LoadInChild(path), ::testing::ExitedWithCode(c.status), c.message);
    }
}

TEST_F(CfgFatal, FatalKeysAreIgnoredAtReload) {
    // The same lines at a reload are not applied, so they cannot end the process.
    ITGMainConf conf;
    std::string out = Load(conf,
                           "STORAGE 0:/x\nHLS 8080\nOTTMP 5000\nWS 203.0.113.77:9000\n"
                           "STORAGE /dev/sdb\nSENDPARTS 33\n",
                           false);
    EXPECT_EQ(conf.SENDPARTS, 33);
    EXPECT_TRUE(conf.STORAGE.empty());
    EXPECT_EQ(out.find("FATAL"), std::string::npos);
}

}  // namespace
