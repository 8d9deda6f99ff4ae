// Figures for the foundation's hand-off paths: queue items between two threads, and a GOP's
// transport packets sent as a scatter list against the same bytes copied into one buffer.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "itg-threadcontrol.h"
#include "mvsock.h"

namespace {
// One push and one pop per item, producer and consumer on two threads.
void BM_QueueHandOff(benchmark::State& state) {
    ITGThreadControl q(2);
    constexpr int kBatch = 10000;
    for (auto _ : state) {
        std::thread producer([&q] {
            for (int i = 0; i < kBatch; ++i) q.Push(static_cast<uint64_t>(i), nullptr);
        });
        uint64_t command;
        void* pointer;
        for (int i = 0; i < kBatch; ++i) q.Pop(command, pointer);
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_QueueHandOff)->UseRealTime();

struct Pair {
    MvTCPSock* sender = nullptr;
    int receiver = -1;
    Pair() {
        const int l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        socklen_t len = sizeof(sa);
        getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len);
        listen(l, 1);
        sender = new MvTCPSock(MvNetAddr(sa.sin_addr.s_addr, ntohs(sa.sin_port)));
        sender->Open();
        receiver = accept(l, nullptr, nullptr);
        close(l);
    }
    ~Pair() {
        delete sender;
        close(receiver);
    }
};

// A 2 MiB GOP as 188-byte packets; the receiver drains on its own thread.
constexpr size_t kPacket = 188;
constexpr size_t kPackets = 2 * 1024 * 1024 / kPacket;

void Drain(int fd, size_t total) {
    std::vector<uint8_t> sink(1 << 16);
    size_t have = 0;
    while (have < total) {
        const ssize_t n = recv(fd, sink.data(), sink.size(), 0);
        if (n <= 0) return;
        have += static_cast<size_t>(n);
    }
}

void BM_SendScatterList(benchmark::State& state) {
    Pair p;
    std::vector<uint8_t> gop(kPacket * kPackets, 0x47);
    std::vector<iovec> iov(kPackets);
    for (size_t i = 0; i < kPackets; ++i) iov[i] = {gop.data() + i * kPacket, kPacket};
    for (auto _ : state) {
        std::thread rx(Drain, p.receiver, gop.size());
        msghdr msg{};
        msg.msg_iov = iov.data();
        msg.msg_iovlen = iov.size();
        if (!p.sender->GenSend(&msg, static_cast<int>(gop.size()))) state.SkipWithError("send failed");
        rx.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gop.size()));
}
BENCHMARK(BM_SendScatterList)->UseRealTime();

void BM_SendCopiedBuffer(benchmark::State& state) {
    Pair p;
    std::vector<uint8_t> gop(kPacket * kPackets, 0x47);
    std::vector<uint8_t> joined(gop.size());
    for (auto _ : state) {
        std::thread rx(Drain, p.receiver, gop.size());
        for (size_t i = 0; i < kPackets; ++i)
            memcpy(joined.data() + i * kPacket, gop.data() + i * kPacket, kPacket);
        if (!p.sender->GenSend(joined.data(), static_cast<int>(joined.size())))
            state.SkipWithError("send failed");
        rx.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gop.size()));
}
BENCHMARK(BM_SendCopiedBuffer)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
