#include "mvsock_addr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

MvNetAddr::MvNetAddr() { Reset(); }
MvNetAddr::MvNetAddr(const MvNetAddr& other) { CopyFrom(&other); }
MvNetAddr::MvNetAddr(const char* ipPort) { SetAddr(ipPort); }
MvNetAddr::MvNetAddr(const char* ip, uint16_t port) { SetAddr(ip, port); }
MvNetAddr::MvNetAddr(uint32_t address, uint16_t port) { SetAddr(address, port); }
MvNetAddr::MvNetAddr(int sock, bool peer) { SetAddr(sock, peer); }
MvNetAddr::~MvNetAddr() = default;

MvNetAddr& MvNetAddr::operator=(const MvNetAddr& other) {
    if (this != &other) CopyFrom(&other);
    return *this;
}

bool MvNetAddr::SetAddr(uint32_t address, uint16_t port) {
    m_address = address;
    m_port = port;
    m_valid = true;
    Expand();
    return true;
}

bool MvNetAddr::SetAddr(const char* ip, uint16_t port) {
    // inet_aton takes the same forms as inet_addr but tells a bad text apart from
    // 255.255.255.255, so garbage never becomes a valid broadcast address.
    in_addr a{};
    if (ip == nullptr || inet_aton(ip, &a) == 0) {
        Reset();
        return false;
    }
    return SetAddr(static_cast<uint32_t>(a.s_addr), port);
}

bool MvNetAddr::SetAddr(const char* ipPort) {
    const char* colon = ipPort != nullptr ? strchr(ipPort, ':') : nullptr;
    if (colon == nullptr) {
        Reset();
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long port = strtol(colon + 1, &end, 10);
    // A port that is missing or does not fit 16 bits is refused rather than truncated.
    if (end == colon + 1 || errno != 0 || port < 0 || port > 65535) {
        Reset();
        return false;
    }
    const std::string ip(ipPort, static_cast<size_t>(colon - ipPort));
    return SetAddr(ip.c_str(), static_cast<uint16_t>(port));
}

bool MvNetAddr::SetAddr(int sock, bool peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    const int rc = sock < 0 ? -1
                   : peer   ? getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len)
                            : getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len);
    if (rc != 0 || sa.sin_family != AF_INET) {
        Reset();
        return false;
    }
    return SetAddr(static_cast<uint32_t>(sa.sin_addr.s_addr), ntohs(sa.sin_port));
}

bool MvNetAddr::IsValid() const { return m_valid; }
uint32_t MvNetAddr::GetAddr() const { return m_address; }
uint16_t MvNetAddr::GetPort() const { return m_port; }
const char* MvNetAddr::GetAddrFull() const { return m_full.c_str(); }
const char* MvNetAddr::GetAddrIP() const { return m_ip.c_str(); }

MvNetAddr* MvNetAddr::Duplicate() const { return new MvNetAddr(*this); }

void MvNetAddr::CopyTo(MvNetAddr* other) const {
    if (other != nullptr) other->CopyFrom(this);
}

void MvNetAddr::CopyFrom(const MvNetAddr* other) {
    if (other == nullptr || other == this) return;
    m_valid = other->m_valid;
    m_address = other->m_address;
    m_port = other->m_port;
    m_full = other->m_full;
    m_ip = other->m_ip;
}

void MvNetAddr::Reset() {
    m_valid = false;
    m_address = 0;
    m_port = 0;
    m_full = "0.0.0.0:0";
    m_ip = "0.0.0.0";
}

void MvNetAddr::Expand() {
    char text[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = m_address;
    if (inet_ntop(AF_INET, &a, text, sizeof(text)) != nullptr)
        m_ip = text;
    else
        m_ip = "<undefined>";
    m_full = m_ip + ":" + std::to_string(m_port);
}
