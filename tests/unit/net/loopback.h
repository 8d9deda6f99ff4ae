// Connected MvTCPSock pairs on 127.0.0.1 for the socket and line-reader tests.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "mvsock.h"

namespace mvtest {

// Every blocking call in a test gives up after this long instead of hanging.
inline void BoundBlockingCalls(int fd, int seconds = 10) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// A bound, listening socket on 127.0.0.1 with an ephemeral port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(bool listening = true) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) return;
        socklen_t len = sizeof(sa);
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        if (listening) listen(fd, 4);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    int Accept(int timeoutMs = 5000) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) != 1) return -1;
        return accept(fd, nullptr, nullptr);
    }
};

// client: opened with MvTCPSock::Open; server: the accepted descriptor adopted by MvTCPSock.
struct SockPair {
    std::unique_ptr<MvTCPSock> client;
    std::unique_ptr<MvTCPSock> server;
    static SockPair Make() {
        SockPair p;
        Listener l;
        p.client = std::make_unique<MvTCPSock>(MvNetAddr("127.0.0.1", l.port));
        if (!p.client->Open()) return p;
        const int fd = l.Accept();
        if (fd < 0) return p;
        p.server = std::make_unique<MvTCPSock>(fd);
        BoundBlockingCalls(p.client->GetSock());
        BoundBlockingCalls(fd);
        return p;
    }
    bool Ok() const { return client && server && client->IsOpen() && server->IsOpen(); }
};

// Waits (bounded) until at least n bytes are waiting on sock.
inline bool WaitForInput(MvTCPSock& sock, int n, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int waiting = 0;
        if (!sock.GetInputSize(waiting)) return false;
        if (waiting >= n) return true;
        pollfd pfd = {sock.GetSock(), POLLIN, 0};
        poll(&pfd, 1, 10);
        if (waiting > 0) usleep(1000);
    }
    return false;
}

// Waits (bounded) until the peer's close is visible on sock.
inline bool WaitForHangup(MvTCPSock& sock, int timeoutMs = 5000) {
    pollfd pfd = {sock.GetSock(), POLLRDHUP, 0};
    return poll(&pfd, 1, timeoutMs) == 1;
}

inline int64_t MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
        .count();
}

}  // namespace mvtest
