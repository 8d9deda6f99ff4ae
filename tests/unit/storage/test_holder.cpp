// Prioritised storage I/O: requests and their completion, routing of request codes to the four
// queues, the threads serving real blocks with the storage counters, the Write thread's flood
// reporting, and stopping a set without leaving a waiter blocked.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <unistd.h>

#include "storage_fixture.h"
#include "storagemgr_holder.h"

using namespace mvtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr tagMvCID kCid = MvCIDMake(31, 0, 0);

// Which queue of an idle set holds the one request queued.
const char* QueueOf(HSCHolderThread& set) {
    uint32_t pending = 0;
    if (set.GetHolderUpdate(pending) != nullptr) return "Update";
    if (set.GetHolderWrite(pending) != nullptr) return "Write";
    if (set.GetHolderReadBulk(pending) != nullptr) return "ReadBulk";
    if (set.GetHolderReadDirect(pending) != nullptr) return "ReadDirect";
    return "none";
}

// Waits at most ~5 s.
bool WaitDone(HSCPriorityHolder& h) {
    for (int i = 0; i < 50; ++i)
        if (h.WaitAsync()) return true;
    return false;
}

}  // namespace

TEST(StorageRequest, CompletionWaitAndCount) {
    const uint64_t before = HSCPriorityHolderCount();
    {
        HSCPriorityHolder a(HSC_REQ_APPEND);
        HSCPriorityHolder b(HSC_REQ_READ);
        EXPECT_EQ(HSCPriorityHolderCount(), before + 2);
        EXPECT_EQ(a.code, 1u);
        EXPECT_EQ(a.flagA, 0);
        EXPECT_EQ(a.flagB, 1);
        EXPECT_EQ(a.result, 0);
        EXPECT_EQ(a.payload, nullptr);
        EXPECT_GE(a.GetFD(), 0);

        // Not completed: WaitAsync gives up after about 100 ms.
        const auto t0 = Clock::now();
        EXPECT_FALSE(a.WaitAsync());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        EXPECT_GE(ms, 95);
        EXPECT_LT(ms, 1000);

        // Completed from another thread: Wait returns, and the completion is consumed.
        std::thread t([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            a.result = 1;
            a.SetDone();
        });
        EXPECT_TRUE(a.Wait());
        t.join();
        EXPECT_EQ(a.result, 1);
        EXPECT_FALSE(a.WaitAsync());
        b.SetDone();
        EXPECT_TRUE(b.WaitAsync());
    }
    EXPECT_EQ(HSCPriorityHolderCount(), before);
}

TEST(StorageRequest, RoutingByCode) {
    HSCHolderThread set(1, nullptr, nullptr);  // threads not started: requests stay queued
    struct Case {
        uint32_t code;
        uint64_t gop;
        uint8_t flagA, flagB;
        const char* queue;
    } cases[] = {
        {HSC_REQ_APPEND, 0, 0, 1, "Write"},
        {HSC_REQ_RESET, 0, 0, 1, "Update"},
        {HSC_REQ_SAVEINFO, 0, 1, 1, "Update"},
        {HSC_REQ_READBULK, 0, 0, 0, "ReadBulk"},
        {HSC_REQ_READBULK, 7, 1, 1, "ReadBulk"},
        {HSC_REQ_READ, 5, 0, 0, "ReadDirect"},
        {HSC_REQ_READ, 5, 0, 1, "ReadDirect"},
        {HSC_REQ_READ, 0, 1, 0, "ReadDirect"},
        {HSC_REQ_READ, 0, 0, 1, "ReadDirect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " gop " << c.gop);
        HSCPriorityHolder h(c.code);
        h.gopNumber = c.gop;
        h.flagA = c.flagA;
        h.flagB = c.flagB;
        EXPECT_TRUE(set.AddHolder(&h));
        EXPECT_STREQ(QueueOf(set), c.queue);
        EXPECT_FALSE(h.WaitAsync()) << "queued, not completed";
    }
}

TEST(StorageRequest, InvalidRequestsAreCompletedAsFailed) {
    HSCHolderThread set(1, nullptr, nullptr);
    HSCPriorityHolder bad(7);
    bad.result = 1;
    std::string log = CaptureLog([&] { EXPECT_FALSE(set.AddHolder(&bad)); });
    EXPECT_NE(log.find("AddHolder invalid command (7)"), std::string::npos) << log;
    EXPECT_TRUE(bad.WaitAsync());
    EXPECT_EQ(bad.result, 0);

    // A read of GOP 0 with both flags clear would reach the bulk reader with a GOP for a list.
    HSCPriorityHolder zero(HSC_REQ_READ);
    zero.flagB = 0;
    zero.result = 1;
    log = CaptureLog([&] { EXPECT_FALSE(set.AddHolder(&zero)); });
    EXPECT_NE(log.find("[CHUNK] AddHolder refused"), std::string::npos) << log;
    EXPECT_TRUE(zero.WaitAsync());
    EXPECT_EQ(zero.result, 0);
    EXPECT_STREQ(QueueOf(set), "none");
}

// The four threads serving real requests on a block of a medium.
TEST(StorageThreads, ServeRequestsOnABlockAndCount) {
    ScopedStorageConf conf(false);
    TestMedium medium(2);
    tagITGStorageInfo counters;
    HSCHolderThread set(1, &counters, nullptr);
    ASSERT_TRUE(set.StartHolderThreads());
    auto block = medium.Block(0, 1, &set);
    auto readOnly = medium.Block(1, 1, &set, medium.ReadOnlyFd());

    auto run = [&](HSCSingleChunk& b, HSCPriorityHolder& h) {
        EXPECT_TRUE(b.AddHolder(&h));
        EXPECT_TRUE(h.Wait());
        return h.result;
    };

    {  // code 3: reset and save
        HSCPriorityHolder h(HSC_REQ_RESET);
        EXPECT_EQ(run(*block, h), 1);
        block->SetContentID(kCid);
    }
    auto gops = std::vector<GopPtr>();
    for (uint64_t n = 1; n <= 3; ++n) {  // code 1: append
        gops.push_back(MakeGop(n, TestTime(n * 100), 4));
        HSCPriorityHolder h(HSC_REQ_APPEND);
        h.payload = gops.back().get();
        EXPECT_EQ(run(*block, h), 1);
    }
    {  // code 4: save
        HSCPriorityHolder h(HSC_REQ_SAVEINFO);
        EXPECT_EQ(run(*block, h), 1);
    }
    {  // code 2: one GOP, footprint stored
        HSCGop got;
        HSCPriorityHolder h(HSC_REQ_READ);
        h.gopNumber = 2;
        h.payload = &got;
        EXPECT_EQ(run(*block, h), 1);
        ExpectSameGop(*gops[1], got);
        EXPECT_EQ(got.footprint, got.ComputeFootprint());
    }
    {  // code 5: whole block from GOP 2
        std::vector<HSCGop*> list;
        HSCPriorityHolder h(HSC_REQ_READBULK);
        h.gopNumber = 2;
        h.payload = &list;
        EXPECT_EQ(run(*block, h), 1);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0]->gopId, 2u);
        for (HSCGop* g : list) g->Release();
    }
    {  // code 4 with flag A: true without touching the medium (the read-only block could not
       // save); without it the save fails.
        HSCPriorityHolder skip(HSC_REQ_SAVEINFO);
        skip.flagA = 1;
        EXPECT_EQ(run(*readOnly, skip), 1);
        HSCPriorityHolder save(HSC_REQ_SAVEINFO);
        std::string log = CaptureLog([&] { EXPECT_EQ(run(*readOnly, save), 0); });
        EXPECT_NE(log.find("[CHUNK] Info write error: (-1)(9)"), std::string::npos) << log;
    }
    EXPECT_EQ(counters.countU.load(), 3u);  // reset, save, failed save
    EXPECT_EQ(counters.countI.load(), 1u);
    EXPECT_EQ(counters.countW.load(), 3u);
    EXPECT_EQ(counters.countR.load(), 2u);
    EXPECT_NE(block->GetLastAccess(), 0u);
    set.StopHolderThreads();
}

// 300 GOPs waiting on one Write queue: two write floods (after 129 and 258 requests) and an
// overflow message for every request taken while more than 128 were queued.
TEST(StorageThreads, WriteFloodIsReported) {
    ScopedStorageConf conf(false);
    TestMedium medium(1);
    HSCHolderThread set(4, nullptr, nullptr);
    auto block = medium.Block(0, 4, &set);
    block->SetContentID(kCid);
    std::vector<GopPtr> gops;
    std::vector<std::unique_ptr<HSCPriorityHolder>> requests;
    for (uint64_t n = 1; n <= 300; ++n) {
        gops.push_back(MakeGop(n, TestTime(n), 1));
        requests.push_back(std::make_unique<HSCPriorityHolder>(HSC_REQ_APPEND));
        requests.back()->payload = gops.back().get();
        ASSERT_TRUE(block->AddHolder(requests.back().get()));
    }
    const std::string log = CaptureLog([&] {
        ASSERT_TRUE(set.StartHolderThreads());
        for (auto& r : requests) ASSERT_TRUE(WaitDone(*r));
    });
    for (auto& r : requests) EXPECT_EQ(r->result, 1);
    EXPECT_EQ(block->GetGOPCount(), 300u);
    EXPECT_EQ(CountOf(log, "[UPDATER THREAD] Write flood on storage ("), 2) << log;
    EXPECT_NE(log.find("Write flood on storage (4)(0)(172)..."), std::string::npos) << log;
    EXPECT_NE(log.find("Write flood on storage (4)(1)(43)..."), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, "[DBG] Block writer overflow, queued ("), 300 - 128) << log;
    EXPECT_NE(log.find("queued (300) GOPs to write"), std::string::npos);
    EXPECT_EQ(log.find("queued (128) GOPs to write"), std::string::npos);
    set.StopHolderThreads();
}

TEST(StorageThreads, StoppingCompletesEveryWaiter) {
    TestMedium medium(1);
    {
        // Queued on a set whose threads never ran: completed as failed by the stop.
        HSCHolderThread idle(1, nullptr, nullptr);
        auto block = medium.Block(0, 1, &idle);
        HSCPriorityHolder queued(HSC_REQ_RESET);
        queued.result = 1;
        ASSERT_TRUE(block->AddHolder(&queued));
        idle.StopHolderThreads();
        EXPECT_TRUE(queued.WaitAsync());
        EXPECT_EQ(queued.result, 0);
    }
    auto set = std::make_unique<HSCHolderThread>(1, nullptr, nullptr);
    auto block = medium.Block(0, 1, set.get());
    ASSERT_TRUE(set->StartHolderThreads());
    std::string log = CaptureLog([&] { set->StopHolderThreads(); });
    EXPECT_EQ(CountOf(log, "[PRIORITY THREAD] Finished handling requests, exiting..."), 4) << log;
    EXPECT_EQ(set->m_running.load(), 0);

    // After the stop a request is refused at once.
    HSCPriorityHolder late(HSC_REQ_READ);
    late.gopNumber = 1;
    late.result = 1;
    EXPECT_FALSE(block->AddHolder(&late));
    EXPECT_TRUE(late.WaitAsync());
    EXPECT_EQ(late.result, 0);
    set->StopHolderThreads();  // a second stop does nothing
    set.reset();
}

// Without the right to real-time scheduling each thread logs the refusal and serves anyway. The
// child drops root (when it has it) and sends its screen log to stderr for the death test.
[[noreturn]] static void ServeWithoutPriority() {
    dup2(2, 1);
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    HSCHolderThread set(9, nullptr, nullptr);
    if (!set.StartHolderThreads()) _exit(4);
    std::vector<HSCGop*> list;
    HSCGop gop;
    HSCPriorityHolder update(HSC_REQ_RESET), write(HSC_REQ_APPEND), bulk(HSC_REQ_READBULK),
        direct(HSC_REQ_READ);
    bulk.payload = &list;
    direct.gopNumber = 1;
    direct.payload = &gop;
    for (HSCPriorityHolder* h : {&update, &write, &bulk, &direct}) {
        h->result = 1;  // requests without a block complete as failed
        if (!set.AddHolder(h) || !h->Wait() || h->result != 0) _exit(5);
    }
    set.StopHolderThreads();
    fflush(stdout);
    _exit(0);
}

TEST(StorageThreadsDeathTest, RefusedPriorityIsLoggedAndIgnored) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ServeWithoutPriority(), ::testing::ExitedWithCode(0),
                "\\[PriorityThreadUpdate\\] Catastrophic, priority setting error \\(1\\)");
}
