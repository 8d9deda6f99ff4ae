// Helpers of the channel writer tests: a storage manager with media scanned as at start-up, a
// producer that drives a writer pair through its ITCTC queues with counted test GOPs, and
// readers of what the writer left on the medium.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../storage/storage_fixture.h"
#include "cfg.h"
#include "gopcache.h"
#include "listeners.h"
#include "storageinit.h"
#include "storagemgr.h"

namespace wrtest {

using mvtest::CaptureLog;
using mvtest::CountOf;
using mvtest::TestMedium;
using mvtest::TestTime;

// GOPs alive right now among those the tests made: every reference the writer takes must be
// given back, so after a writer stops (with a cache that keeps nothing) this returns to 0.
inline std::atomic<int> g_liveGops{0};

class TrackedGop : public HSCGop {
public:
    TrackedGop() { g_liveGops.fetch_add(1); }
    ~TrackedGop() override { g_liveGops.fetch_sub(1); }
};

// What a test GOP was made from, to rebuild the expected GOP when its block is read back.
struct GopSpec {
    MvTime time = 0;
    uint32_t records = 2;
    uint32_t accessorVersion = 0;
};

// The fixture's test GOP as a counted GOP (refCount 0, owned by the caller).
inline HSCGop* NewGop(uint64_t number, const GopSpec& spec) {
    mvtest::GopPtr src = mvtest::MakeGop(number, spec.time, spec.records);
    TrackedGop* g = new TrackedGop();
    g->gopId = src->gopId;
    g->startTime = src->startTime;
    g->pts = src->pts;
    std::swap(g->data, src->data);
    std::swap(g->mappedSize, src->mappedSize);
    g->dataSize = src->dataSize;
    g->closedSize = src->closedSize;
    g->patPackets.Add(&src->patPackets);
    g->pmtPackets.Add(&src->pmtPackets);
    g->pmtPid = src->pmtPid;
    g->pcrPid = src->pcrPid;
    g->videoPid = src->videoPid;
    g->audioPids = src->audioPids;
    g->otherPids = src->otherPids;
    g->RebuildPidSet();
    g->accessorVersion = spec.accessorVersion;
    return g;
}

// One run of consecutive GOPs in one block of the medium.
struct GopRun {
    uint64_t first = 0;
    uint64_t last = 0;
    friend bool operator==(const GopRun&, const GopRun&) = default;
    friend bool operator<(const GopRun& a, const GopRun& b) { return a.first < b.first; }
};
inline std::ostream& operator<<(std::ostream& os, const GopRun& r) {
    return os << "[" << r.first << "-" << r.last << "]";
}

// Polls `cond` every 10 ms for at most `seconds`.
inline bool WaitFor(const std::function<bool()>& cond, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A producer's end of one writer pair.
struct Producer {
    ITCTC ctc;
    HSCCIDInfo* record = nullptr;
    bool running = false;
};

// Waits at most `seconds` for a reply of the writer.
inline bool WaitReply(ITCTC& ctc, uint64_t& command, void*& pointer, int seconds = 20) {
    for (int i = 0; i < seconds * 10; ++i)
        if (ctc.m_reply->PopCheck()) return ctc.m_reply->Pop(command, pointer);
    return false;
}

class WriterTest : public ::testing::Test {
protected:
    static constexpr uint16_t kStorage = 1;
    static constexpr tagMvCID kCid = MvCIDMake(4321, 0, 0);  // logs as "CID(0)(0)(4321)"

    static void SetUpTestSuite() { ITGCacheInit(0); }

    void SetUp() override {
        ITGMainConf* conf = ITGGetMainConf();
        savedSlots_ = conf->READERSLOTS;
        conf->READERSLOTS = 2;
        ITGSetCacheSize(0);
        mgr_ = std::make_unique<HSCStorageManager>(false);
    }
    void TearDown() override {
        // A writer still running uses the manager: stop it first.
        for (auto& p : producers_)
            if (p->running) Stop(*p);
        Shutdown();
        FlushCache();
        EXPECT_EQ(g_liveGops.load(), 0) << "GOP references left behind";
        ITGGetMainConf()->READERSLOTS = savedSlots_;
    }

    // The manager goes first (it stops the I/O threads), then its blocks and the descriptors.
    void Shutdown() {
        if (!mgr_) return;
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : mgr_->m_blocks) blocks.push_back(b);
        mgr_.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : media_)
            if (m.descriptor >= 0) close(m.descriptor);
        for (auto& [id, m] : media_) m.descriptor = -1;
    }
    // A fresh manager over the same media, scanned as at start-up.
    void Restart() {
        Shutdown();
        mgr_ = std::make_unique<HSCStorageManager>(false);
        ASSERT_EQ(Scan(), static_cast<int>(media_.size()));
    }

    // Evicts everything from the process-wide cache: with a limit of 0, one add evicts all.
    static void FlushCache() {
        ITGSetCacheSize(0);
        HSCGop* dummy = NewGop(1, GopSpec{TestTime(), 1, 0});
        dummy->AddRef();
        ITGAddGopAdv(MvCIDMake(99999999, 255, 0), dummy, false);
        dummy->Release();
    }

    // A new medium of `blocks` free blocks configured as storage 1, and a new manager that has
    // scanned it (any earlier manager and medium are dropped).
    TestMedium& FreshMedium(uint64_t blocks) {
        Shutdown();
        medium_ = std::make_unique<TestMedium>(blocks, kStorage);
        media_[kStorage].path = medium_->Path();
        mgr_ = std::make_unique<HSCStorageManager>(false);
        EXPECT_EQ(Scan(), 1);
        return *medium_;
    }
    int Scan() { return MvLoadStorages(*mgr_, media_); }

    // A producer owned by the fixture, so that its queues outlive a writer a failing test
    // leaves running until TearDown stops it.
    Producer& NewProducer() {
        producers_.push_back(std::make_unique<Producer>());
        return *producers_.back();
    }
    // Starts a writer and sends it the content and the storage; the replied record (null when
    // refused) is kept in the producer.
    void Start(Producer& p, tagMvCID cid, HSCWriterSetup setup = {}) {
        setup.manager = mgr_.get();
        ASSERT_TRUE(HSCStartWriterThreadWith(&p.ctc, setup));
        ASSERT_TRUE(p.ctc.m_request->Push(cid, nullptr));
        ASSERT_TRUE(p.ctc.m_request->Push(kStorage, nullptr));
        uint64_t command = 1;
        void* reply = nullptr;
        ASSERT_TRUE(WaitReply(p.ctc, command, reply)) << "no reply to the start";
        EXPECT_EQ(command, 0u);
        p.record = static_cast<HSCCIDInfo*>(reply);
        p.running = p.record != nullptr;
    }
    // Hands one GOP over without keeping a reference. It carries stale extra data and a wrong
    // content id, both of which the writer must replace.
    void Send(Producer& p, uint64_t number, const GopSpec& spec) {
        specs_[number] = spec;
        HSCGop* gop = NewGop(number, spec);
        const uint8_t junk[] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3};
        gop->extraData.Add(junk, sizeof(junk));
        gop->cid = MvCIDMake(1, 2, 3);
        ASSERT_TRUE(p.ctc.m_request->Push(7, gop));
    }
    // GOP n at n seconds after the base time.
    void SendAll(Producer& p, std::initializer_list<uint64_t> numbers, uint32_t accessorVersion = 0) {
        for (uint64_t n : numbers) Send(p, n, GopSpec{TestTime(n * 100), 2, accessorVersion});
    }
    // Stop request, then the final reply (0, null).
    void Stop(Producer& p) {
        p.running = false;
        ASSERT_TRUE(p.ctc.m_request->Push(0, nullptr));
        uint64_t command = 1;
        void* reply = reinterpret_cast<void*>(1);
        ASSERT_TRUE(WaitReply(p.ctc, command, reply)) << "no final reply";
        EXPECT_EQ(command, 0u);
        EXPECT_EQ(reply, nullptr);
    }

    // Runs of the content on the medium, read through fresh block objects (each validates the
    // block's info and index as the start-up scan does); every GOP of them is loaded and
    // compared with the GOP that was sent.
    std::vector<GopRun> Runs(tagMvCID cid) {
        std::vector<GopRun> runs;
        for (uint64_t pos = 0; pos < medium_->Blocks(); ++pos) {
            auto block = medium_->Block(pos, kStorage);
            if (!block->IsValid() || block->IsFree() || block->GetContentID() != cid ||
                block->GetGOPCount() == 0)
                continue;
            const GopRun run{block->GetStartGOPID(), block->GetEndGOPID()};
            EXPECT_EQ(block->GetGOPCount(), run.last - run.first + 1) << "block at " << pos;
            for (uint64_t n = run.first; n <= run.last; ++n) ExpectStored(*block, n);
            runs.push_back(run);
        }
        std::sort(runs.begin(), runs.end());
        return runs;
    }
    // The run held by the block at `pos` ({0, 0} when it holds none of the content).
    GopRun RunAt(uint64_t pos, tagMvCID cid) {
        auto block = medium_->Block(pos, kStorage);
        if (!block->IsValid() || block->GetContentID() != cid || block->GetGOPCount() == 0)
            return GopRun{};
        return GopRun{block->GetStartGOPID(), block->GetEndGOPID()};
    }
    void ExpectStored(HSCSingleChunk& block, uint64_t n) {
        SCOPED_TRACE("GOP " + std::to_string(n));
        auto it = specs_.find(n);
        ASSERT_NE(it, specs_.end()) << "a GOP that was never sent";
        HSCGop loaded;
        ASSERT_TRUE(block.LoadGOPDirect(n, &loaded));
        mvtest::GopPtr want = mvtest::MakeGop(n, it->second.time, it->second.records);
        want->accessorVersion = it->second.accessorVersion;
        mvtest::ExpectSameGop(*want, loaded);
    }

    std::unique_ptr<HSCStorageManager> mgr_;
    std::map<uint16_t, tagITGStorageInfo> media_;
    std::unique_ptr<TestMedium> medium_;
    std::map<uint64_t, GopSpec> specs_;
    std::vector<std::unique_ptr<Producer>> producers_;

private:
    int32_t savedSlots_ = 0;
};

inline bool Has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

}  // namespace wrtest
