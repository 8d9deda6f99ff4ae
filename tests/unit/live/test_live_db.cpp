// Channel database grammar, the comparison of loaded and running channels, and the manager's
// reload step: start order, stop order, waiting for segmenters, retention updates.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "cfg.h"
#include "liveinput.h"
#include "live_test_util.h"

using livetest::Captured;
using livetest::CountOf;

namespace {

struct Expected {
    uint32_t content;
    uint32_t sub;
    uint64_t program;
    uint64_t storage;
    const char* address;
    uint16_t port;
    uint32_t flags;
    uint32_t minutes;
};

struct GrammarCase {
    const char* what;
    std::string file;
    std::vector<Expected> channels;
    std::vector<std::string> logged;     // substrings that must be printed
    std::vector<std::string> notLogged;  // substrings that must not
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

std::vector<GrammarCase> GrammarCases() {
    const std::string src = "SOURCE 1:ts2v3:239.1.1.1:1234\n";
    std::vector<GrammarCase> cases;
    cases.push_back({"PROGRAM and RPROGRAM after their SOURCE",
                     src + "PROGRAM 1:100:0:5:60:2\nRPROGRAM 1:101:1:5:30:3\n",
                     {{5, 0, 100, 2, "239.1.1.1", 1234, 0, 60},
                      {5, 1, 101, 3, "239.1.1.1", 1234, HSC_CHANNEL_RPROGRAM, 30}},
                     {},
                     {"Invalid"}});
    cases.push_back({"PROGRAM before its SOURCE is refused",
                     "PROGRAM 1:100:0:5:60:2\n" + src + "PROGRAM 1:100:0:6:60:2\n",
                     {{6, 0, 100, 2, "239.1.1.1", 1234, 0, 60}},
                     {"[I] [DB] Invalid SOURCE (1)"},
                     {}});
    cases.push_back({"a repeated SOURCE id replaces the source for later lines",
                     src + "PROGRAM 1:1:0:7:10:1\nSOURCE 1:ts2v3:239.9.9.9:5000\nPROGRAM 1:1:0:8:10:1\n",
                     {{7, 0, 1, 1, "239.1.1.1", 1234, 0, 10}, {8, 0, 1, 1, "239.9.9.9", 5000, 0, 10}},
                     {},
                     {}});
    cases.push_back({"only the low 8 bits of BID are kept",
                     src + "PROGRAM 1:1:257:9:10:1\n",
                     {{9, 1, 1, 1, "239.1.1.1", 1234, 0, 10}},
                     {},
                     {}});
    cases.push_back({"comments, empty lines, DUMMY, unknown and lower-case keywords are ignored",
                     "# SOURCE 2:ts2v3:239.2.2.2:1\n\n" + src +
                         "DUMMY anything:at:all\nCHANNEL 1:1:0:3:1:1\nprogram 1:1:0:4:1:1\n"
                         " PROGRAM 1:1:0:5:1:1\nPROGRAM\n#PROGRAM 1:1:0:6:1:1\n",
                     {},
                     {},
                     {"Invalid"}});
    cases.push_back({"CRLF line ends and words after a second space",
                     "SOURCE 3:ts2v3:239.3.3.3:3333\r\nPROGRAM 3:4:0:11:120:2\r\n"
                     "PROGRAM 3:4:0:12:120:2 ignored words here\n",
                     {{11, 0, 4, 2, "239.3.3.3", 3333, 0, 120}, {12, 0, 4, 2, "239.3.3.3", 3333, 0, 120}},
                     {},
                     {"Invalid"}});
    cases.push_back({"malformed SOURCE values",
                     "SOURCE 1:ts2v3:239.1.1.1\nSOURCE 1:ts2v4:239.1.1.1:1234\nSOURCE 1:ts2v3:239.1.1.1:x\n"
                     "SOURCE 1:ts2v3:239.1.1.1:70000\nSOURCE :ts2v3:239.1.1.1:1234\n"
                     "PROGRAM 1:1:0:5:1:1\n",
                     {},
                     {"[I] [DB] Invalid SOURCE declaration (1:ts2v3:239.1.1.1)",
                      "[DB] Invalid SOURCE declaration (1:ts2v4:239.1.1.1:1234)",
                      "[DB] Invalid SOURCE declaration (1:ts2v3:239.1.1.1:x)",
                      "[DB] Invalid SOURCE declaration (1:ts2v3:239.1.1.1:70000)",
                      "[DB] Invalid SOURCE declaration (:ts2v3:239.1.1.1:1234)",
                      "[DB] Invalid SOURCE (1)"},
                     {}});
    cases.push_back({"malformed PROGRAM values",
                     src + "PROGRAM 1:100:0:5:60\nRPROGRAM 1::0:5:60:2\nPROGRAM 1:100:0:5:60:\n",
                     {},
                     {"[E] [DB] Invalid PROGRAM declaration (1:100:0:5:60)",
                      "[DB] Invalid PROGRAM declaration (1::0:5:60:2)",
                      "[DB] Invalid PROGRAM declaration (1:100:0:5:60:)",
                      "[E] [DB] Use '[R]PROGRAM STREAMID:SID:BID:CID:MINUTES_TO_KEEP:STORAGEID'"},
                     {}});

    // Fields, values and lines longer than their buffers are refused whole.
    const std::string longField = Repeat('5', 128);
    cases.push_back({"a PROGRAM field of 128 characters",
                     src + "PROGRAM 1:100:0:" + longField + ":60:2\nPROGRAM 1:100:0:" +
                         Repeat('0', 126) + "5:60:2\n",
                     {{5, 0, 100, 2, "239.1.1.1", 1234, 0, 60}},
                     {"[DB] Invalid PROGRAM declaration (1:100:0:" + longField + ":60:2)"},
                     {}});
    cases.push_back({"a last PROGRAM field of 128 characters",
                     src + "PROGRAM 1:100:0:5:60:" + Repeat('2', 128) + "\n",
                     {},
                     {"[DB] Invalid PROGRAM declaration"},
                     {}});
    cases.push_back({"a SOURCE address of 128 characters",
                     "SOURCE 1:ts2v3:" + Repeat('a', 128) + ":1234\nPROGRAM 1:1:0:5:1:1\n",
                     {},
                     {"[DB] Invalid SOURCE declaration", "[DB] Invalid SOURCE (1)"},
                     {}});
    cases.push_back({"a PROGRAM value of 600 characters is shown cut to 511",
                     src + "PROGRAM 1:100:0:5:60:" + Repeat('2', 579) + "\n",
                     {},
                     {"[DB] Invalid PROGRAM declaration (1:100:0:5:60:" + Repeat('2', 498) + ")"},
                     {}});
    cases.push_back({"a keyword of 600 characters matches nothing",
                     src + Repeat('P', 600) + " 1:100:0:5:60:2\n",
                     {},
                     {},
                     {"Invalid"}});
    {
        // Exactly 1023 characters is still a line; 1024 is refused, and its tail (which a
        // reader cutting lines at 1023 characters would take as a line of its own) is not read.
        const std::string head = "PROGRAM 1:100:0:5:60:2 ";
        const std::string ok = head + Repeat('x', 1023 - head.size());
        const std::string tail = "PROGRAM 1:1:0:99:1:1";
        const std::string bad = "PROGRAM 1:100:0:6:60:2 " + Repeat('x', 1023 - head.size()) + tail;
        cases.push_back({"lines of 1023 and 1024+ characters",
                         src + ok + "\n" + bad + "\nPROGRAM 1:100:0:7:60:2\n",
                         {{5, 0, 100, 2, "239.1.1.1", 1234, 0, 60}, {7, 0, 100, 2, "239.1.1.1", 1234, 0, 60}},
                         {"[DB] Invalid PROGRAM declaration (1:100:0:6:60:2)"},
                         {"CID(0)(0)(99)"}});
        const std::string longComment = "#" + Repeat('c', 1030) + "\nPROGRAM 1:1:0:8:1:1\n";
        cases.push_back({"a long comment line does not leak its tail",
                         src + "#" + Repeat('c', 1022) + tail + "\n" + longComment,
                         {{8, 0, 1, 1, "239.1.1.1", 1234, 0, 1}},
                         {},
                         {"Invalid"}});
    }
    cases.push_back({"a file of comments only", "# nothing\n#\n\n", {}, {}, {"Invalid"}});
    return cases;
}

class ChannelDatabase : public ::testing::Test {
protected:
    livetest::ScratchDir dir;
};

TEST_F(ChannelDatabase, GrammarTable) {
    for (const GrammarCase& c : GrammarCases()) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.Write("channels.lst", c.file);
        std::vector<HSCCompleteChannel> list;
        bool ok = false;
        const std::string log = Captured([&] { ok = HSCDBLoadChannelsFrom(path.c_str(), list, true); });
        EXPECT_TRUE(ok);
        ASSERT_EQ(list.size(), c.channels.size()) << log;
        for (size_t i = 0; i < list.size(); ++i) {
            const HSCCompleteChannel& got = list[i];
            const Expected& want = c.channels[i];
            EXPECT_EQ(MvCIDContent(got.cid), want.content) << i;
            EXPECT_EQ(MvCIDSubStream(got.cid), want.sub) << i;
            EXPECT_EQ(MvCIDStreamId(got.cid), 0u) << i;
            EXPECT_EQ(got.programNumber, want.program) << i;
            EXPECT_EQ(got.storageId, want.storage) << i;
            EXPECT_STREQ(got.sourceAddress, want.address) << i;
            EXPECT_EQ(got.sourcePort, want.port) << i;
            EXPECT_EQ(got.flags, want.flags) << i;
            EXPECT_EQ(got.minutesToKeep, want.minutes) << i;
            EXPECT_STREQ(got.name, "") << i;
        }
        for (const std::string& s : c.logged) EXPECT_NE(log.find(s), std::string::npos) << s << "\n" << log;
        for (const std::string& s : c.notLogged) EXPECT_EQ(log.find(s), std::string::npos) << s << "\n" << log;
    }
}

TEST_F(ChannelDatabase, VerboseMessagesAndTheDocumentedExample) {
    const std::string path =
        dir.Write("channels.lst", "SOURCE 1:ts2v3:239.1.1.1:1234\nPROGRAM 1:100:1:5:60:2\n");
    std::vector<HSCCompleteChannel> list;
    std::string log = Captured([&] { HSCDBLoadChannelsFrom(path.c_str(), list, true); });
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].cid, MvCIDMake(5, 1, 0));
    EXPECT_NE(log.find("[I]     [DB] Parsed source: (1) = (239.1.1.1:1234)"), std::string::npos) << log;
    EXPECT_NE(log.find("[I]     [DB] Parsed program: source(1) -> CID(0)(1)(5)"), std::string::npos) << log;
    log = Captured([&] { HSCDBLoadChannelsFrom(path.c_str(), list, false); });
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(log.find("Parsed"), std::string::npos) << log;
}

TEST_F(ChannelDatabase, AMissingFileFailsAndLeavesTheListEmpty) {
    std::vector<HSCCompleteChannel> list(2);
    const std::string path = dir.Path() + "/missing.lst";
    bool ok = true;
    const std::string log = Captured([&] { ok = HSCDBLoadChannelsFrom(path.c_str(), list, false); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(list.empty());
    EXPECT_NE(log.find("[I] [DB] Could not open channel file (" + path + ")"), std::string::npos) << log;
}

TEST_F(ChannelDatabase, LoadsTheFileNamedByTheConfiguration) {
    const std::string path =
        dir.Write("db.lst", "SOURCE 4:ts2v3:239.4.4.4:4444\nPROGRAM 4:1:0:44:5:1\n");
    ITGGetMainConf()->SetString(ITGConfString::DATABASE, path);
    std::vector<HSCCompleteChannel> list;
    EXPECT_TRUE(HSCDBLoadChannels(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(MvCIDContent(list[0].cid), 44u);
    ITGGetMainConf()->SetString(ITGConfString::DATABASE, "channels.lst");
}

// ---------------------------------------------------------------------------------------------

HSCCompleteChannel Channel(uint32_t content, uint32_t sub, uint32_t minutes = 60) {
    HSCCompleteChannel ch;
    ch.cid = MvCIDMake(content, sub, 0);
    ch.storageId = 3;
    ch.minutesToKeep = minutes;
    return ch;
}

TEST(ChannelLists, AddedAndDeletedCompareWholeIdentifiers) {
    std::vector<HSCWriterControl*> running = {new HSCWriterControl(Channel(1, 0)),
                                              new HSCWriterControl(Channel(2, 0)),
                                              new HSCWriterControl(Channel(2, 1)),
                                              new HSCWriterControl(Channel(3, 0))};
    HSCWriterControl* keep2 = running[1];
    // Content 2 sub-stream 1 and content 3 disappear; content 2 sub-stream 2 and content 4 come.
    const std::vector<HSCCompleteChannel> loaded = {Channel(4, 0), Channel(2, 0), Channel(1, 0),
                                                    Channel(2, 2)};
    std::vector<HSCCompleteChannel> added;
    HSCDetectAdded(running, added, loaded);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0].cid, MvCIDMake(4, 0, 0));
    EXPECT_EQ(added[1].cid, MvCIDMake(2, 2, 0));

    std::vector<HSCWriterControl*> deleted;
    HSCDetectDeleted(running, deleted, loaded);
    ASSERT_EQ(deleted.size(), 2u);
    EXPECT_EQ(deleted[0]->cid, MvCIDMake(3, 0, 0));  // walked from last to first
    EXPECT_EQ(deleted[1]->cid, MvCIDMake(2, 1, 0));
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[0]->cid, MvCIDMake(1, 0, 0));
    EXPECT_EQ(running[1], keep2);
    for (auto* w : running) delete w;
    for (auto* w : deleted) delete w;
}

// ---------------------------------------------------------------------------------------------
// Manager with a recording segmenter: each started channel gets a real thread that waits for its
// stop flag, records the stop, lingers a little and then sets its finished flag.

struct Recorder {
    std::mutex m;
    std::vector<tagMvCID> started;
    std::vector<tagMvCID> stopped;
    std::vector<tagMvCID> finished;
    std::vector<std::pair<char, tagMvCID>> events;  // 's' stop seen, 'f' finished, in order
    std::vector<HSCWriterControl*> controls;
    std::vector<tagMvCID> stoppedAlone;  // saw its stop while a sibling of its index had none
    bool failStarts = false;
};
Recorder* g_rec = nullptr;

// True when every started writer of this sub-stream index has its stop flag set.
bool SiblingsStopped(const HSCWriterControl* self) {
    std::lock_guard<std::mutex> g(g_rec->m);
    for (const HSCWriterControl* o : g_rec->controls)
        if (MvCIDSubStream(o->cid) == MvCIDSubStream(self->cid) && o->stop.load() == 0) return false;
    return true;
}

void* FakeSegmenter(void* arg) {
    auto* w = static_cast<HSCWriterControl*>(arg);
    while (w->stop.load() == 0) usleep(1000);
    const tagMvCID cid = w->cid;
    {
        std::lock_guard<std::mutex> g(g_rec->m);
        g_rec->stopped.push_back(cid);
        g_rec->events.emplace_back('s', cid);
    }
    // Like a channel with a silent source, this one lingers after its stop flag. Its siblings of
    // the same index must have been asked to stop meanwhile (bounded wait of 2 s).
    bool together = false;
    for (int i = 0; i < 2000 && !together; ++i) {
        together = SiblingsStopped(w);
        if (!together) usleep(1000);
    }
    usleep(30000);  // the manager must wait for the finished flag, not for the stop flag
    {
        std::lock_guard<std::mutex> g(g_rec->m);
        if (!together) g_rec->stoppedAlone.push_back(cid);
        g_rec->finished.push_back(cid);
        g_rec->events.emplace_back('f', cid);
        // The manager deletes the control once it is finished.
        g_rec->controls.erase(std::find(g_rec->controls.begin(), g_rec->controls.end(), w));
    }
    w->finished.store(1);
    return nullptr;
}

bool FakeStart(HSCWriterControl* w) {
    std::lock_guard<std::mutex> g(g_rec->m);
    g_rec->started.push_back(w->cid);
    if (g_rec->failStarts) return false;  // handle stays 0
    g_rec->controls.push_back(w);
    pthread_t t;
    if (pthread_create(&t, nullptr, FakeSegmenter, w) != 0) return false;
    pthread_detach(t);
    w->thread = t;
    return true;
}

class Manager : public ::testing::Test {
protected:
    void SetUp() override { g_rec = &rec; }
    void TearDown() override { g_rec = nullptr; }
    Recorder rec;
};

TEST_F(Manager, StartsBySubStreamAndNeverAbove15) {
    ITGLiveInputManager m(FakeStart);
    const std::vector<HSCCompleteChannel> loaded = {Channel(5, 2), Channel(5, 0), Channel(6, 1),
                                                    Channel(6, 0), Channel(7, 16), Channel(5, 1)};
    std::string log = Captured([&] { m.Apply(loaded); });
    const std::vector<tagMvCID> want = {MvCIDMake(5, 0, 0), MvCIDMake(6, 0, 0), MvCIDMake(6, 1, 0),
                                        MvCIDMake(5, 1, 0), MvCIDMake(5, 2, 0)};
    EXPECT_EQ(rec.started, want);
    EXPECT_EQ(m.Running().size(), 5u);
    EXPECT_EQ(CountOf(log, "[I] [LIVE] Loaded (6) channels for handling"), 1) << log;
    EXPECT_NE(log.find("[I] [LIVE] Starting 6 writers"), std::string::npos) << log;
    size_t prev = 0;
    for (const char* s : {"Starting CID(0)(0)(5)", "Starting CID(0)(0)(6)", "Starting CID(0)(1)(6)",
                          "Starting CID(0)(1)(5)", "Starting CID(0)(2)(5)"}) {
        const size_t at = log.find(s);
        ASSERT_NE(at, std::string::npos) << s << "\n" << log;
        EXPECT_GE(at, prev) << s;
        prev = at;
    }
    EXPECT_EQ(log.find("CID(0)(16)(7)"), std::string::npos) << log;

    // The same list again: nothing stops, the sub-stream 16 channel is offered again but never
    // started, and the first-load message is not repeated.
    log = Captured([&] { m.Apply(loaded); });
    EXPECT_EQ(rec.started.size(), 5u);
    EXPECT_EQ(log.find("Loaded ("), std::string::npos) << log;
    EXPECT_EQ(log.find("Stopping"), std::string::npos) << log;

    log = Captured([&] { m.StopAll(); });
    EXPECT_TRUE(m.Running().empty());
    EXPECT_NE(log.find("[I] [LIVE] Stopping 5 writer threads"), std::string::npos) << log;
}

TEST_F(Manager, StopsHighestSubStreamFirstAndWaitsForEverySegmenterOfAnIndex) {
    ITGLiveInputManager m(FakeStart);
    Captured([&] {
        m.Apply({Channel(5, 0), Channel(5, 1), Channel(5, 2), Channel(6, 0), Channel(6, 1),
                 Channel(7, 0)});
    });
    const std::string log = Captured([&] { m.StopAll(); });
    std::lock_guard<std::mutex> g(rec.m);
    ASSERT_EQ(rec.events.size(), 12u);
    // Every writer of a higher index has finished before any writer of a lower index is asked
    // to stop: other bitrates go before their primary stream.
    for (size_t i = 0; i < rec.events.size(); ++i) {
        if (rec.events[i].first != 's') continue;
        for (size_t j = i + 1; j < rec.events.size(); ++j)
            if (rec.events[j].first == 'f') {
                EXPECT_LE(MvCIDSubStream(rec.events[j].second), MvCIDSubStream(rec.events[i].second))
                    << "a sub-stream " << MvCIDSubStream(rec.events[j].second)
                    << " writer finished after a lower index was asked to stop";
            }
    }
    // Writers of one index were asked to stop together, not one after another.
    EXPECT_TRUE(rec.stoppedAlone.empty());
    EXPECT_EQ(rec.finished.size(), 6u);
    EXPECT_EQ(rec.finished.front(), MvCIDMake(5, 2, 0));
    EXPECT_EQ(CountOf(log, "[I] [LIVE] Stopping thread that writes content ID = 5 ()"), 3) << log;
    EXPECT_LT(log.find("content ID = 6 ()"), log.rfind("content ID = 5 ()")) << log;
}

TEST_F(Manager, RemovedChannelsStopAndChangedRetentionUpdatesInPlace) {
    ITGLiveInputManager m(FakeStart);
    Captured([&] { m.Apply({Channel(10, 0, 60), Channel(11, 0, 60), Channel(11, 1, 60)}); });
    const HSCWriterControl* w10 = m.Running()[0];

    std::string log = Captured([&] { m.Apply({Channel(10, 0, 90), Channel(11, 0, 60)}); });
    {
        std::lock_guard<std::mutex> g(rec.m);
        EXPECT_EQ(rec.stopped, std::vector<tagMvCID>{MvCIDMake(11, 1, 0)});
        EXPECT_EQ(rec.finished, rec.stopped);
        EXPECT_EQ(rec.started.size(), 3u);  // nothing restarted
    }
    EXPECT_NE(log.find("[I] [LIVE] Stopping 1 writer threads"), std::string::npos) << log;
    EXPECT_NE(log.find("[I] [LIVE] Finished stopping requested writer threads"), std::string::npos) << log;
    EXPECT_NE(log.find("[I] [LIVE] Updating content ID = 10 () writing times"), std::string::npos) << log;
    EXPECT_EQ(log.find("Updating content ID = 11"), std::string::npos) << log;
    ASSERT_EQ(m.Running().size(), 2u);
    EXPECT_EQ(m.Running()[0], w10);
    EXPECT_EQ(w10->minutesToKeep, 90u);
    EXPECT_EQ(ITGGetTimeForContent(MvCIDMake(10, 0, 0)), 90u);
    EXPECT_EQ(ITGGetStorageForContent(MvCIDMake(10, 0, 0)), 3u);

    // A file that now holds no channel stops everything.
    log = Captured([&] { m.Apply({}); });
    EXPECT_TRUE(m.Running().empty());
    EXPECT_NE(log.find("[LIVE] Stopping 2 writer threads"), std::string::npos) << log;
}

TEST_F(Manager, ASegmenterThatNeverStartedIsNotWaitedFor) {
    rec.failStarts = true;
    ITGLiveInputManager m(FakeStart);
    Captured([&] { m.Apply({Channel(20, 0), Channel(20, 1)}); });
    EXPECT_EQ(m.Running().size(), 2u);
    const auto t0 = std::chrono::steady_clock::now();
    Captured([&] { m.StopAll(); });
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(m.Running().empty());
}

TEST(ManagerThreads, RealSegmenterThreadsStartAndStop) {
    ITGLiveInputManager m;  // HSCStartThread with the segmenter thread
    std::string log = Captured([&] { m.Apply({Channel(30, 0), Channel(30, 1)}); });
    ASSERT_EQ(m.Running().size(), 2u);
    for (const HSCWriterControl* w : m.Running()) EXPECT_NE(w->thread, pthread_t(0));
    log = Captured([&] { m.StopAll(); });
    EXPECT_TRUE(m.Running().empty());
    EXPECT_NE(log.find("[LIVE] Stopping 2 writer threads"), std::string::npos) << log;
}

}  // namespace
