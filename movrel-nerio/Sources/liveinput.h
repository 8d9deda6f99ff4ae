// Live input: the channel database (SOURCE / PROGRAM / RPROGRAM lines), the channel and writer
// control records, and the manager thread that keeps one segmenter thread per configured channel,
// reloads the database every 5 seconds and stops the segmenters in order at shutdown.
// Reception and key-frame detection used by the segmenters are in liveinput_rx.h.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "mvcommondata.h"

// Set to 1 by the SIGTERM handler; cleared by the live input manager once every channel
// writer has stopped.
extern std::atomic<uint8_t> g_bTerminating;

// ---------------------------------------------------------------------------------------------
// Channel database records.

constexpr int HSC_DB_LINE_SIZE = 1024;    // a line holds at most 1023 characters
constexpr int HSC_DB_FIELD_SIZE = 512;    // keyword, value: at most 511 characters
constexpr int HSC_DB_PROG_FIELD_SIZE = 128;  // each PROGRAM field, SOURCE id and address: 127
constexpr uint32_t HSC_CHANNEL_RPROGRAM = 0x200;  // key frames from the random_access_indicator
constexpr uint32_t HSC_MAX_STARTED_SUBSTREAM = 15;  // channels above are never started

// One SOURCE line; kept only while the file is read.
class ITGStream {
public:
    virtual ~ITGStream() = default;

    uint32_t id = 0;
    char address[HSC_DB_PROG_FIELD_SIZE] = {0};
    int32_t port = 0;
};

// One PROGRAM or RPROGRAM line.
class HSCCompleteChannel {
public:
    virtual ~HSCCompleteChannel() = default;

    tagMvCID cid = 0;            // content number from CID, sub-stream from BID, stream id 0
    uint64_t programNumber = 0;  // SID: the program to select in a multi-program stream
    uint64_t storageId = 0;      // STORAGEID (used as a 16-bit storage id)
    char name[512] = {0};        // always empty; printed in log messages
    char sourceAddress[HSC_DB_PROG_FIELD_SIZE] = {0};  // dotted IPv4 (multicast group)
    uint16_t sourcePort = 0;
    uint32_t flags = 0;          // HSC_CHANNEL_RPROGRAM
    uint32_t minutesToKeep = 0;  // retention window
};

// One running channel, owned by the manager. The stop flag (written by the manager) and the
// finished flag (written by the segmenter as its very last action) are the only fields the
// segmenter thread shares with the manager.
class HSCWriterControl : public HSCCompleteChannel {
public:
    HSCWriterControl() = default;
    explicit HSCWriterControl(const HSCCompleteChannel& channel) : HSCCompleteChannel(channel) {}
    ~HSCWriterControl() override = default;

    pthread_t thread = 0;  // 0 until the segmenter thread has been started
    std::atomic<uint8_t> stop{0};
    std::atomic<uint8_t> finished{0};
};

// ---------------------------------------------------------------------------------------------
// Channel database.

// Reads the database named by the DATABASE setting into `list` (emptied first), in file order.
// False only when the file cannot be opened; invalid lines are logged and skipped.
bool HSCDBLoadChannels(std::vector<HSCCompleteChannel>& list);
// The same for a given file; `verbose` enables the per-line "Parsed ..." messages.
bool HSCDBLoadChannelsFrom(const char* path, std::vector<HSCCompleteChannel>& list, bool verbose);

// Appends to `added` every loaded channel whose content identifier (all 64 bits) matches no
// running writer control.
void HSCDetectAdded(const std::vector<HSCWriterControl*>& running,
                    std::vector<HSCCompleteChannel>& added,
                    const std::vector<HSCCompleteChannel>& loaded);
// Walks `running` from last to first and moves every writer control whose content identifier
// matches no loaded channel to `deleted` (which thus receives them in reverse order).
void HSCDetectDeleted(std::vector<HSCWriterControl*>& running,
                      std::vector<HSCWriterControl*>& deleted,
                      const std::vector<HSCCompleteChannel>& loaded);

// Starts the channel's segmenter thread (TSSReceiverThread) detached with a 256 KiB stack and
// stores its handle in the writer control. False (handle left 0) when it could not be started.
bool HSCStartThread(HSCWriterControl* writer);

// Segmenter thread of one channel (argument: its HSCWriterControl). Runs until the stop flag is
// set; sets the finished flag as its very last action and never touches the writer control
// afterwards.
void* TSSReceiverThread(void* writer);

// ---------------------------------------------------------------------------------------------
// Manager.

// The manager's state and its reload step, usable on its own (tests build one with their own
// thread starter). The process-wide manager lives inside ITGLiveInputHandlerThread.
class ITGLiveInputManager {
public:
    using StartFn = bool (*)(HSCWriterControl*);

    explicit ITGLiveInputManager(StartFn start = HSCStartThread) : m_start(start) {}
    ITGLiveInputManager(const ITGLiveInputManager&) = delete;
    ITGLiveInputManager& operator=(const ITGLiveInputManager&) = delete;
    // Stops whatever is still running (no thread is left holding a deleted writer control).
    virtual ~ITGLiveInputManager();

    // One reload with a successfully loaded channel list: the first-load message, stopping
    // deleted channels, starting added ones by sub-stream, updating changed retention times.
    void Apply(const std::vector<HSCCompleteChannel>& loaded);
    // Stops every running channel (the shutdown path).
    void StopAll();
    // The stop procedure: sets the stop flags from sub-stream 15 down to 0, waiting for each
    // started segmenter's finished flag, then deletes the writer controls and empties the list.
    static void StopWriters(std::vector<HSCWriterControl*>& list);

    const std::vector<HSCWriterControl*>& Running() const { return m_running; }

private:
    StartFn m_start;
    bool m_loadedOnce = false;
    std::vector<HSCWriterControl*> m_running;
};

// Starts the manager thread (detached, 256 KiB stack); false when it could not be started.
bool ITGStartLiveInput();
void* ITGLiveInputHandlerThread(void* arg);
// True from the manager thread's start until it has finished its shutdown.
bool ITGLiveInputRunning();
