#include "mvsock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "mvlogger.h"

namespace {
// Largest text SendString/SendStr can describe with their 2-byte length.
constexpr size_t kMaxTypedLength = 65535;
// Typed values up to this size go out in one send, so the length word and the text do not
// travel as two small segments.
constexpr size_t kTypedStackBuffer = 512;
}  // namespace

MvTCPSock::MvTCPSock() = default;

MvTCPSock::MvTCPSock(const MvNetAddr& address) : m_bounds(address) {}

MvTCPSock::MvTCPSock(int sock) : m_sock(sock) { m_bounds.SetAddr(sock, false); }

MvTCPSock::~MvTCPSock() {
    if (IsOpen()) Close();
}

const MvNetAddr& MvTCPSock::GetBounds() const { return m_bounds; }

MvNetAddr MvTCPSock::GetPeer() const { return MvNetAddr(GetSock(), true); }

int MvTCPSock::GetSock() const { return m_sock.load(); }

bool MvTCPSock::IsOpen() const { return GetSock() >= 0; }

int MvTCPSock::SetSock(int sock) {
    const int old = m_sock.exchange(sock);
    m_bounds.SetAddr(sock, false);
    return old;
}

void MvTCPSock::Close() {
    const int sock = m_sock.exchange(-1);
    if (sock < 0) return;
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

bool MvTCPSock::Fail(int error) {
    m_lastError = error;
    Close();
    return false;
}

bool MvTCPSock::OptionFailed(const char* message) {
    const int err = errno;
    m_lastError = err;
    MVLOGE(message, err);
    Close();
    return false;
}

bool MvTCPSock::SetIntOption(int level, int name, int value, const char* message) {
    if (setsockopt(GetSock(), level, name, &value, sizeof(value)) != 0) return OptionFailed(message);
    return true;
}

bool MvTCPSock::Open() {
    if (IsOpen()) {
        m_lastError = 0;
        MVLOGW("Trying to open already opened socket, ignored");
        return true;
    }
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        m_lastError = errno;
        MVLOGE("Can not open socket: %d", m_lastError);
        return false;
    }
    m_sock.store(sock);

    if (!SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1, "Can not set SO_REUSEADDR on socket: %d"))
        return false;
    // Lingering on with 0 seconds: closing resets the connection instead of a slow FIN.
    linger lg = {1, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) != 0)
        return OptionFailed("Can not set SO_LINGER on socket: %d");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
        return OptionFailed("Can not set bind socket: %d");
    // One SYN retry: an unreachable peer fails in seconds, not minutes.
    if (!SetIntOption(IPPROTO_TCP, TCP_SYNCNT, 1, "Can not set TCP_SYNCNT on socket: %d"))
        return false;

    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = m_bounds.GetAddr();
    remote.sin_port = htons(m_bounds.GetPort());
    if (connect(sock, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0) {
        if (errno != EINTR) return OptionFailed("Can not connect to remote socket: %d");
        // An interrupted connect goes on in the background: wait for its outcome.
        pollfd pfd = {sock, POLLOUT, 0};
        int rc;
        do {
            rc = poll(&pfd, 1, -1);
        } while (rc < 0 && errno == EINTR);
        int soError = 0;
        socklen_t len = sizeof(soError);
        if (rc < 0 || getsockopt(sock, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
            return OptionFailed("Can not connect to remote socket: %d");
        if (soError != 0) {
            errno = soError;
            return OptionFailed("Can not connect to remote socket: %d");
        }
    }
    m_lastError = 0;
    return true;
}

bool MvTCPSock::GenSend(const void* bytes, int n) {
    if (m_timed) return GenSendTimed(bytes, n, m_timeout);
    if (n < 0 || (n > 0 && bytes == nullptr)) {
        m_lastError = EINVAL;
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    int left = n;
    const int chunk = m_sendChunk > 0 ? m_sendChunk : INT_MAX;
    while (left > 0) {
        const ssize_t rc = send(GetSock(), p, static_cast<size_t>(std::min(chunk, left)), MSG_NOSIGNAL);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        if (rc == 0) return Fail(MV_SOCK_ERR_SEND_ZERO);
        p += rc;
        left -= static_cast<int>(rc);
    }
    return true;
}

bool MvTCPSock::GenSendTimed(const void* bytes, int n, int timeoutMs) {
    if (n < 0 || (n > 0 && bytes == nullptr)) {
        m_lastError = EINVAL;
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    int left = n;
    const int chunk = m_sendChunk > 0 ? m_sendChunk : INT_MAX;
    while (left > 0) {
        pollfd pfd = {GetSock(), POLLOUT | POLLERR, 0};
        const int prc = poll(&pfd, 1, timeoutMs);
        if (prc < 0) {
            if (errno == EINTR) continue;
            return Fail(MV_SOCK_ERR_SEND_POLL);
        }
        if (prc == 0) return Fail(MV_SOCK_ERR_SEND_TIMEOUT);
        const ssize_t rc = send(GetSock(), p, static_cast<size_t>(std::min(chunk, left)), MSG_NOSIGNAL);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        if (rc == 0) return Fail(MV_SOCK_ERR_SEND_TIMEOUT);
        p += rc;
        left -= static_cast<int>(rc);
    }
    return true;
}

bool MvTCPSock::GenRecv(void* bytes, int n) {
    if (m_timed) return GenRecvTimed(bytes, n, m_timeout);
    if (n < 0 || (n > 0 && bytes == nullptr)) {
        m_lastError = EINVAL;
        return false;
    }
    auto* p = static_cast<uint8_t*>(bytes);
    int left = n;
    const int chunk = m_recvChunk > 0 ? m_recvChunk : INT_MAX;
    while (left > 0) {
        const ssize_t rc = recv(GetSock(), p, static_cast<size_t>(std::min(chunk, left)), MSG_NOSIGNAL);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        if (rc == 0) return Fail(MV_SOCK_ERR_PEER_CLOSED);
        p += rc;
        left -= static_cast<int>(rc);
    }
    return true;
}

bool MvTCPSock::GenRecvTimed(void* bytes, int n, int timeoutMs) {
    if (n < 0 || (n > 0 && bytes == nullptr)) {
        m_lastError = EINVAL;
        return false;
    }
    auto* p = static_cast<uint8_t*>(bytes);
    int left = n;
    while (left > 0) {
        pollfd pfd = {GetSock(), POLLIN | POLLERR, 0};
        const int prc = poll(&pfd, 1, timeoutMs);
        if (prc < 0) {
            if (errno == EINTR) continue;
            return Fail(MV_SOCK_ERR_RECV_POLL);
        }
        if (prc == 0) return Fail(MV_SOCK_ERR_RECV_TIMEOUT);
        int waiting = 0;
        if (!GetInputSize(waiting)) return false;
        // With nothing waiting, a one-byte receive tells a closed peer (0) from a reset
        // connection (its errno).
        const int want = waiting > 0 ? std::min(waiting, left) : 1;
        const ssize_t rc = recv(GetSock(), p, static_cast<size_t>(want), MSG_NOSIGNAL);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        if (rc == 0) return Fail(MV_SOCK_ERR_RECV_NOTHING);
        p += rc;
        left -= static_cast<int>(rc);
    }
    return true;
}

// The scatter list is walked in place: only the entry being sent part-way is changed, and
// it is put back as soon as it is done, so the caller gets its list back unchanged.
bool MvTCPSock::GenSend(const msghdr* header, int n) {
    if (header == nullptr || n < 0) {
        m_lastError = EINVAL;
        return false;
    }
    if (n == 0) return true;
    msghdr msg = *header;
    iovec* const iov = header->msg_iov;
    const size_t count = iov != nullptr ? header->msg_iovlen : 0;
    size_t index = 0;
    bool patched = false;
    iovec saved{};
    auto restore = [&]() {
        if (patched) iov[index] = saved;
        patched = false;
    };

    int64_t sent = 0;
    while (sent < n) {
        while (index < count && iov[index].iov_len == 0) ++index;
        if (index == count) {
            // The list holds fewer bytes than the caller announced.
            restore();
            MVLOGE("[DBG] Bogus!");
            return Fail(EINVAL);
        }
        msg.msg_iov = iov + index;
        msg.msg_iovlen = std::min<size_t>(count - index, IOV_MAX);
        const ssize_t rc = sendmsg(GetSock(), &msg, MSG_NOSIGNAL | MSG_MORE);
        if (rc < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            restore();
            return Fail(err);
        }
        if (rc == 0) {
            restore();
            return Fail(MV_SOCK_ERR_SEND_ZERO);
        }
        if (rc > n - sent) {
            // More went out than was asked for: the stream is out of step with the peer.
            restore();
            MVLOGE("[DBG] Bogus!");
            return Fail(EPROTO);
        }
        sent += rc;
        size_t advance = static_cast<size_t>(rc);
        while (advance > 0) {
            if (advance >= iov[index].iov_len) {
                advance -= iov[index].iov_len;
                restore();
                ++index;
            } else {
                if (!patched) {
                    saved = iov[index];
                    patched = true;
                }
                iov[index].iov_base = static_cast<uint8_t*>(iov[index].iov_base) + advance;
                iov[index].iov_len -= advance;
                advance = 0;
            }
        }
    }
    restore();
    return true;
}

int MvTCPSock::GenRecvSimple(void* bytes, int n) {
    ssize_t rc;
    do {
        rc = recv(GetSock(), bytes, n > 0 ? static_cast<size_t>(n) : 0, MSG_NOSIGNAL);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) Fail(errno);
    return static_cast<int>(rc);
}

void MvTCPSock::SetTimeOut(int32_t ms) { m_timeout = ms; }
int32_t MvTCPSock::GetTimeOut() const { return m_timeout; }
void MvTCPSock::SetTimed(bool timed) { m_timed = timed; }
bool MvTCPSock::GetTimed() const { return m_timed; }
int MvTCPSock::GetError() const { return m_lastError; }

bool MvTCPSock::SetNodelay(bool on) {
    return SetIntOption(IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0, "Can not set TCP_NODELAY on socket: %d");
}

bool MvTCPSock::SetCork(bool on) {
    return SetIntOption(IPPROTO_TCP, TCP_CORK, on ? 1 : 0, "Can not set TCP_CORK on socket: %d");
}

bool MvTCPSock::SetHWKA() {
    if (!IsOpen()) {
        m_lastError = EBADF;
        return false;
    }
    return SetIntOption(SOL_SOCKET, SO_KEEPALIVE, 1,
                        "Could not set SO_KEEPALIVE on incoming socket: %d") &&
           SetIntOption(IPPROTO_TCP, TCP_KEEPCNT, 5,
                        "Could not set TCP_KEEPCNT on incoming socket: %d") &&
           SetIntOption(IPPROTO_TCP, TCP_KEEPIDLE, 30,
                        "Could not set TCP_KEEPIDLE on incoming socket: %d") &&
           SetIntOption(IPPROTO_TCP, TCP_KEEPINTVL, 5,
                        "Could not set TCP_KEEPINTVL on incoming socket: %d");
}

bool MvTCPSock::SetOTTBuffers() { return SetBuffers(16384, 16384); }

bool MvTCPSock::SetBuffers(int receive, int send) {
    if (receive > 0 &&
        !SetIntOption(SOL_SOCKET, SO_RCVBUF, receive, "Error setting receive buffer %d"))
        return false;
    if (send > 0 && !SetIntOption(SOL_SOCKET, SO_SNDBUF, send, "Error setting send buffer %d"))
        return false;
    return true;
}

bool MvTCPSock::SetNB(bool on) {
    const char* message = on ? "Can not set NOBLOCK on socket: %d" : "Can not set BLOCK on socket: %d";
    const int flags = fcntl(GetSock(), F_GETFL);
    if (flags < 0) return OptionFailed(message);
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(GetSock(), F_SETFL, wanted) != 0) return OptionFailed(message);
    return true;
}

bool MvTCPSock::SetLinger(int seconds) {
    linger lg{};
    lg.l_onoff = seconds < 0 ? 0 : 1;
    lg.l_linger = seconds < 0 ? 0 : seconds;
    if (setsockopt(GetSock(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) != 0)
        return OptionFailed("Can not set SO_LINGER on socket: %d");
    return true;
}

bool MvTCPSock::CheckConnect() {
    // poll() skips a negative descriptor and would report a closed socket as alive.
    if (!IsOpen()) return false;
    pollfd pfd = {GetSock(), POLLRDHUP, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return true;
    if (rc > 0) return Fail(0);
    return Fail(errno);
}

bool MvTCPSock::GetInputSize(int& size) {
    int value = 0;
    if (ioctl(GetSock(), FIONREAD, &value) != 0) return OptionFailed("Can not FIONREAD on socket: %d");
    size = value;
    return true;
}

bool MvTCPSock::GetOutputSize(int& size) {
    int value = 0;
    if (ioctl(GetSock(), TIOCOUTQ, &value) != 0) return OptionFailed("Can not TIOCOUTQ on socket: %d");
    size = value;
    return true;
}

// Typed values: explicit little-endian encoding.

bool MvTCPSock::SendByte(uint8_t value) { return GenSend(&value, 1); }

bool MvTCPSock::SendWord(uint16_t value) {
    const uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return GenSend(b, 2);
}

bool MvTCPSock::SendDWord(uint32_t value) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    return GenSend(b, 4);
}

bool MvTCPSock::SendQWord(uint64_t value) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    return GenSend(b, 8);
}

bool MvTCPSock::SendBool(bool value) { return SendWord(value ? 1 : 0); }

// Sends the 2-byte length L and then L bytes of data; L must fit 16 bits.
static bool SendCounted(MvTCPSock& sock, const char* data, size_t length) {
    if (length > kMaxTypedLength) {
        sock.m_lastError = EMSGSIZE;
        return false;
    }
    if (length + 2 <= kTypedStackBuffer) {
        uint8_t b[kTypedStackBuffer];
        b[0] = static_cast<uint8_t>(length);
        b[1] = static_cast<uint8_t>(length >> 8);
        if (length > 0) memcpy(b + 2, data, length);
        return sock.GenSend(b, static_cast<int>(length + 2));
    }
    return sock.SendWord(static_cast<uint16_t>(length)) &&
           sock.GenSend(data, static_cast<int>(length));
}

bool MvTCPSock::SendString(const char* text) {
    if (text == nullptr) text = "";
    return SendCounted(*this, text, strlen(text) + 1);
}

bool MvTCPSock::SendStr(const std::string& text) { return SendCounted(*this, text.data(), text.size()); }

bool MvTCPSock::SendFloat(float value) {
    char text[64];  // "%f" of the largest float takes 47 characters
    snprintf(text, sizeof(text), "%f", static_cast<double>(value));
    return SendString(text);
}

bool MvTCPSock::RecvByte(uint8_t& value) { return GenRecv(&value, 1); }

bool MvTCPSock::RecvWord(uint16_t& value) {
    uint8_t b[2];
    if (!GenRecv(b, 2)) return false;
    value = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool MvTCPSock::RecvDWord(uint32_t& value) {
    uint8_t b[4];
    if (!GenRecv(b, 4)) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(b[i]) << (8 * i);
    return true;
}

bool MvTCPSock::RecvQWord(uint64_t& value) {
    uint8_t b[8];
    if (!GenRecv(b, 8)) return false;
    value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(b[i]) << (8 * i);
    return true;
}

bool MvTCPSock::RecvBool(bool& value) {
    uint16_t word;
    if (!RecvWord(word)) return false;
    value = word != 0;
    return true;
}

bool MvTCPSock::RecvString(char* buffer, int size) {
    uint16_t length;
    if (!RecvWord(length)) return false;
    if (length == 0) {
        if (buffer != nullptr && size > 0) buffer[0] = '\0';
        return true;
    }
    // A text longer than the caller's buffer is refused; its bytes stay unread, so the
    // stream is out of step and the connection is closed.
    if (buffer == nullptr || length > size) return Fail(EMSGSIZE);
    if (!GenRecv(buffer, length)) return false;
    if (length < size)
        buffer[length] = '\0';
    else
        buffer[size - 1] = '\0';
    return true;
}

bool MvTCPSock::RecvFloat(float& value) {
    char text[kRecvFloatBuffer];
    if (!RecvString(text, sizeof(text))) return false;
    float parsed = 0.0f;
    value = sscanf(text, "%f", &parsed) == 1 ? parsed : 0.0f;
    return true;
}

bool MvTCPSock::RecvStr(std::string& text) {
    uint16_t length;
    if (!RecvWord(length)) return false;
    text.assign(length, '\0');
    if (length > 0 && !GenRecv(text.data(), length)) {
        text.clear();
        return false;
    }
    const size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return true;
}
