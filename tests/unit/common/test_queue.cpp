// ITGThreadControl / ITCTC: items cross threads whole, in order, with ownership.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <vector>

#include "itg-threadcontrol.h"

namespace {
using Clock = std::chrono::steady_clock;

// Pop with a bounded wait, so a lost item fails the test instead of hanging it.
bool PopWithin(ITGThreadControl& q, uint64_t& command, void*& pointer, int seconds = 10) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!q.PopCheck())
        if (Clock::now() > deadline) return false;
    return q.Pop(command, pointer);
}
}  // namespace

TEST(ITGThreadControl, PopCheckWaitsAboutOneTenthOfASecondThenSeesAPush) {
    ITGThreadControl q(2);
    EXPECT_EQ(q.m_tag, 2);
    const auto t0 = Clock::now();
    EXPECT_FALSE(q.PopCheck());
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_GE(waited.count(), 90);
    EXPECT_LT(waited.count(), 1000);

    int object = 7;
    ASSERT_TRUE(q.Push(0xDEADBEEFCAFEF00Dull, &object));
    EXPECT_EQ(q.GetCount(), 1);
    EXPECT_TRUE(q.PopCheck());
    uint64_t command = 0;
    void* pointer = nullptr;
    ASSERT_TRUE(q.Pop(command, pointer));
    EXPECT_EQ(command, 0xDEADBEEFCAFEF00Dull);
    EXPECT_EQ(pointer, &object);
    EXPECT_EQ(q.GetCount(), 0);
    EXPECT_FALSE(q.PopCheck());
}

TEST(ITGThreadControl, ItemIsSixteenBytesCommandFirstInHostOrder) {
    ITGThreadControl q(1);
    int object = 0;
    ASSERT_TRUE(q.Push(0x0102030405060708ull, &object));
    uint8_t raw[32];
    ASSERT_EQ(read(q.m_readFd, raw, sizeof(raw)), 16);
    uint64_t command, address;
    memcpy(&command, raw, 8);
    memcpy(&address, raw + 8, 8);
    EXPECT_EQ(command, 0x0102030405060708ull);
    EXPECT_EQ(address, reinterpret_cast<uintptr_t>(&object));
}

// More items than the pipe holds (about 4096), so the producer blocks and resumes.
TEST(ITGThreadControl, ManyItemsArriveInOrderAcrossThreads) {
    constexpr uint64_t kItems = 20000;
    ITGThreadControl q(2);
    std::vector<uint64_t> values(kItems);
    std::thread producer([&] {
        for (uint64_t i = 0; i < kItems; ++i) {
            values[i] = i * 3;
            // The last item carries a null pointer, a valid item of its own.
            q.Push(i, i + 1 == kItems ? nullptr : &values[i]);
        }
    });
    uint64_t received = 0;
    for (; received < kItems; ++received) {
        uint64_t command = 0;
        void* pointer = nullptr;
        if (!PopWithin(q, command, pointer)) break;
        ASSERT_EQ(command, received);
        if (received + 1 == kItems) {
            EXPECT_EQ(pointer, nullptr);
        } else {
            ASSERT_EQ(pointer, &values[received]);
            ASSERT_EQ(*static_cast<uint64_t*>(pointer), received * 3);
        }
    }
    producer.join();
    EXPECT_EQ(received, kItems);
    EXPECT_EQ(q.GetCount(), 0);
}

// One item is one pipe write, so even two producers never tear or interleave items.
TEST(ITGThreadControl, ItemsOfTwoProducersStayWhole) {
    constexpr uint64_t kPerProducer = 10000;
    ITGThreadControl q(2);
    auto produce = [&q](uint64_t id) {
        for (uint64_t i = 0; i < kPerProducer; ++i) {
            const uint64_t command = (id << 32) | i;
            q.Push(command, reinterpret_cast<void*>(static_cast<uintptr_t>(~command)));
        }
    };
    std::thread a(produce, 1), b(produce, 2);
    uint64_t next[3] = {0, 0, 0};
    for (uint64_t n = 0; n < 2 * kPerProducer; ++n) {
        uint64_t command = 0;
        void* pointer = nullptr;
        if (!PopWithin(q, command, pointer)) {
            ADD_FAILURE() << "item " << n << " never arrived";
            break;
        }
        ASSERT_EQ(reinterpret_cast<uintptr_t>(pointer), static_cast<uintptr_t>(~command));
        const uint64_t id = command >> 32;
        ASSERT_TRUE(id == 1 || id == 2);
        ASSERT_EQ(command & 0xFFFFFFFFu, next[id]++);
    }
    a.join();
    b.join();
    EXPECT_EQ(next[1], kPerProducer);
    EXPECT_EQ(next[2], kPerProducer);
}

// The worker pattern: requests in on m_request, answers back on m_reply, objects change hands.
TEST(ITCTC, WorkerAnswersEachRequestOnTheReplyQueue) {
    struct Job {
        int in;
        int out;
    };
    ITCTC tc;
    EXPECT_EQ(tc.m_reply->m_tag, 1);
    EXPECT_EQ(tc.m_request->m_tag, 2);
    std::thread worker([&tc] {
        for (;;) {
            uint64_t command = 0;
            void* pointer = nullptr;
            if (!PopWithin(*tc.m_request, command, pointer) || command == 0) return;
            auto* job = static_cast<Job*>(pointer);
            job->out = job->in * 2;
            tc.m_reply->Push(command, job);
        }
    });
    for (int i = 1; i <= 50; ++i) {
        auto* job = new Job{i, 0};
        ASSERT_TRUE(tc.m_request->Push(static_cast<uint64_t>(i), job));
        uint64_t command = 0;
        void* pointer = nullptr;
        ASSERT_TRUE(PopWithin(*tc.m_reply, command, pointer));
        EXPECT_EQ(command, static_cast<uint64_t>(i));
        ASSERT_EQ(pointer, job);
        EXPECT_EQ(static_cast<Job*>(pointer)->out, 2 * i);
        delete static_cast<Job*>(pointer);
    }
    tc.m_request->Push(0, nullptr);
    worker.join();
}

TEST(ITGThreadControl, UnusableQueueFailsWithoutBlocking) {
    ITGThreadControl q(1);
    close(q.m_readFd);
    close(q.m_writeFd);
    q.m_readFd = q.m_writeFd = -1;
    EXPECT_FALSE(q.Push(1, nullptr));
    EXPECT_EQ(q.GetCount(), 0);
    uint64_t command = 5;
    void* pointer = &command;
    EXPECT_FALSE(q.Pop(command, pointer));
    EXPECT_EQ(command, 0u);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_FALSE(q.PopCheck());
}
