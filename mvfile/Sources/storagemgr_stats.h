// Statistics monitor and its plain-text HTTP endpoint ("SMON"): a report of the GOP cache, the
// storage requests, every storage's request counters and free blocks and every content's
// recording state and I/O counters, rebuilt every 5 seconds (counters are read and cleared per
// rebuild) and served to any HTTP client that connects to the MONITOR address.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "cfg.h"
#include "mvsock.h"
#include "mvtime.h"
#include "storagemgr.h"

constexpr size_t HSC_STATS_STACK = 256 * 1024;

// The report's inputs other than the manager and the storages.
struct HSCStatsHeader {
    std::string version;        // program version text
    std::string intervalStart;  // HTTP date of the previous rebuild
    std::string intervalEnd;    // HTTP date of this rebuild
    MvTime startTime = 0;       // server start time
    uint64_t cacheSize = 0;     // GOP cache size in bytes
    uint64_t requestCount = 0;  // storage requests in existence
};

// Builds the report. Reads and clears the U, I, W, R counters of every storage of `storages`
// (ascending id) and the six counters of every content record of `mgr` (pools excluded); prints
// a content only when its last GOP is non-zero or it is VOD. `mgr` may be null (no contents, no
// free blocks). Retention and storage of each content come from the process-wide configuration.
std::string HSCBuildStatisticsReport(HSCStorageManager* mgr,
                                     std::map<uint16_t, tagITGStorageInfo>& storages,
                                     const HSCStatsHeader& header);

// The HTTP reply that carries `report`: status line, Server, Content-Type, Date and
// Content-Length headers, empty line, body.
std::string HSCBuildStatisticsReply(const std::string& report, const std::string& version,
                                    const std::string& date);

// The current report: copied and replaced as a whole under the statistics mutex.
void MvGetStorageManagerStatistics(std::string& out);
void MvSetStorageManagerStatistics(const std::string& report);

// Starts HSCStorageManagerMonitorThread and HSCStorageManagerListenerThread, detached with 256 KiB
// stacks (once per process; later calls do nothing and return true). False when a thread
// cannot be started.
bool MvStartStorageManagerMonitor();

// Thread bodies (argument unused, except the reporter's: an MvTCPSock* that it owns and deletes).
void* HSCStorageManagerMonitorThread(void* unused);
void* HSCStorageManagerListenerThread(void* unused);
void* HSCStorageManagerReporter(void* sock);

// Bounds of one reporter connection.
struct HSCStatsConnLimits {
    int maxLines = 128;         // header lines of one request; more closes the connection
    int idleMs = 60000;         // a connection that sends nothing this long is closed
    int sendTimeoutMs = 10000;  // a reply the client does not take this long closes it
};

// Serves one connection until it is closed: every request whose header block ends (an empty
// line) gets the current report; the connection stays open for further requests.
void HSCServeStatisticsConnection(MvTCPSock& sock,
                                  const HSCStatsConnLimits& limits = HSCStatsConnLimits());

// The listening socket of the endpoint: TCP socket, SO_REUSEADDR 1, SO_RCVBUF 102400, bound to
// `ip` (network order) and `port`, listen backlog 128. -1 after logging the failing step.
int HSCOpenStatisticsListener(uint32_t ip, uint16_t port);
// Accept loop on `fd`: each connection gets a detached reporter thread, then the loop pauses
// 100 ms. Runs until `stop` (may be null) is set and an accept fails; closes `fd` on return.
void HSCRunStatisticsListener(int fd, const std::atomic<bool>* stop);
