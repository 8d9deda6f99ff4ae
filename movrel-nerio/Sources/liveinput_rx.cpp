// UDP reception of live channels and the cut of datagrams into queued packet records.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "liveinput_rx.h"
#include "mvlogger.h"

#ifndef SO_RXQ_OVFL
#define SO_RXQ_OVFL 40
#endif

void MvFreePacketX(MvDVBTSPacketX* p) {
    if (p == nullptr) return;
    if (p->ownsBuffer) free(p->buffer);
    free(p);
}

namespace {

int FailSocket(int fd) {
    close(fd);
    return -1;
}

bool IsMulticast(uint32_t groupNetOrder) { return (ntohl(groupNetOrder) & 0xF0000000u) == 0xE0000000u; }

}  // namespace

int MvSTBCreateSocket(uint32_t group, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        MVLOGE("BAD SOCKET (%d): %d", fd, errno);
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        MVLOGE("Can not set REUSE parameters");
        return FailSocket(fd);
    }
    int rcvbuf = MV_STB_RCVBUF;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf)) != 0) {
        MVLOGE("Can not set UDP socket buffer size");
        return FailSocket(fd);
    }
    socklen_t len = sizeof(rcvbuf);
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0) {
        MVLOGE("Can not get UDP socket buffer size");
        return FailSocket(fd);
    }
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one)) != 0) {
        MVLOGE("Can not set SO_TIMESTAMP");
        return FailSocket(fd);
    }
    // Bound to the group itself, the socket receives only that group's datagrams on the port.
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = group;
    addr.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        MVLOGE("Can not bind UDP socket");
        return FailSocket(fd);
    }
    // A source address outside 224.0.0.0/4 is a unicast stream sent to this host: bound to
    // that address and port, nothing to join.
    if (IsMulticast(group)) {
        ip_mreq mreq = {};
        mreq.imr_multiaddr.s_addr = group;
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
            MVLOGE("Can not join multicast, errno(%d)", errno);
            return FailSocket(fd);
        }
    }
    timeval tv = {};
    tv.tv_sec = MV_STB_TIMEOUT_SEC;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
        MVLOGE("Can not set SO_RCVTIMEO");
        return FailSocket(fd);
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof(one)) != 0) {
        MVLOGE("Can not set SO_RXQ_OVFL");
        return FailSocket(fd);
    }
    return fd;
}

int MvAXReceiveStatic(int sock, timespec& rxTime, uint8_t* buffer, int capacity,
                      uint32_t& dropCount, bool* truncated) {
    if (truncated != nullptr) *truncated = false;
    if (capacity < 0) capacity = 0;
    alignas(cmsghdr) uint8_t control[4096];
    iovec iov = {buffer, static_cast<size_t>(capacity)};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(sock, &msg, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return static_cast<int>(n);
    }
    if (truncated != nullptr) *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    bool stamped = false;
    if (msg.msg_controllen >= 16) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
                c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
                memcpy(&rxTime, CMSG_DATA(c), sizeof(timespec));
                stamped = true;
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
                       c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
                memcpy(&dropCount, CMSG_DATA(c), sizeof(uint32_t));
            } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
                MVLOGE("[LIVE] IP receive error!");
            }
        }
    }
    if (!stamped) clock_gettime(CLOCK_REALTIME, &rxTime);
    return static_cast<int>(n);
}

bool MvSTBReceiveData(uint8_t* buffer, int& length, int sock, bool rtp, timespec& rxTime,
                      bool& timedOut, uint32_t& dropCount, int capacity) {
    length = 0;
    timedOut = false;
    int room = rtp ? MV_STB_RTP_DATAGRAM : MV_STB_PLAIN_DATAGRAM;
    if (capacity < room) room = capacity;
    bool truncated = false;
    const int n = MvAXReceiveStatic(sock, rxTime, buffer, room, dropCount, &truncated);
    if (n == 0) {
        timedOut = true;
        return false;
    }
    if (n < 0) return false;
    length = n;
    // A datagram that did not fit is refused rather than cut into misaligned packets; so are
    // seven packets behind a header shorter than the 12 bytes of RTP.
    if (truncated || (rtp && n >= MV_STB_REFUSED_MIN && n <= MV_STB_REFUSED_MAX)) {
        errno = EMSGSIZE;
        return false;
    }
    return true;
}

bool MvSTBCheckDrops(tagMvCID cid, uint32_t dropCount, uint32_t& lastSeen) {
    // The kernel's count is cumulative and wraps at 2^32: any change is an increase.
    if (dropCount == lastSeen) return false;
    MVLOGE("[LIVE] " MV_CID_FMT " dropped (%u) UDP datagrams", MV_CID_ARGS(cid), dropCount - lastSeen);
    lastSeen = dropCount;
    return true;
}

int MvSTBQueueDatagram(tagMvCID cid, uint8_t* buffer, int capacity, int length,
                       const timespec& rxTime, std::deque<MvDVBTSPacketX*>& queue, int* problems) {
    if (problems != nullptr) *problems = 0;
    if (length <= 0 || length > capacity) {
        free(buffer);
        return 0;
    }
    const int h = length % kMvTSPacketSize;
    const int rounded = length - h;
    const int n = rounded / kMvTSPacketSize;
    int bad = 0;
    MvDVBTSPacketX* last = nullptr;
    const size_t first = queue.size();
    for (int i = 0; i < n; ++i) {
        const uint8_t* p = buffer + h + i * kMvTSPacketSize;
        if (p[0] != kMvTSSyncByte) {
            MVLOGW("[LIVE] " MV_CID_FMT " not a TS stream (%d / %d)(%d)", MV_CID_ARGS(cid), rounded, n, i);
            ++bad;
            continue;
        }
        const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        if (pid == kMvTSNullPID) continue;
        MvDVBTSPacketX* x = static_cast<MvDVBTSPacketX*>(malloc(sizeof(MvDVBTSPacketX)));
        if (x == nullptr) {
            ++bad;
            continue;
        }
        memset(x, 0, sizeof(*x));
        x->rxSec = rxTime.tv_sec;
        x->rxNsec = rxTime.tv_nsec;
        x->raw = p;
        x->buffer = buffer;
        x->ownsBuffer = 0;
        if (!MvDVBParseTS(p, &x->packet)) {
            free(x);
            MVLOGW("[LIVE] " MV_CID_FMT " TS parsing failed (%d / %d)", MV_CID_ARGS(cid), length, n);
            ++bad;
            continue;
        }
        queue.push_back(x);
        last = x;
    }
    if (problems != nullptr) *problems = bad;
    if (last == nullptr) {
        free(buffer);
        return 0;
    }
    last->ownsBuffer = 1;
    return static_cast<int>(queue.size() - first);
}
