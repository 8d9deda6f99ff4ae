// MvNetAddr: an IPv4 address (network byte order) and port (host byte order) together with
// their text forms "a.b.c.d" and "a.b.c.d:port", ready for log lines.
#pragma once

#include <cstdint>
#include <string>

class MvNetAddr {
public:
    MvNetAddr();
    MvNetAddr(const MvNetAddr& other);
    explicit MvNetAddr(const char* ipPort);
    MvNetAddr(const char* ip, uint16_t port);
    MvNetAddr(uint32_t address, uint16_t port);
    // The peer's (peer true) or the local (peer false) address of a socket.
    MvNetAddr(int sock, bool peer);
    MvNetAddr& operator=(const MvNetAddr& other);
    virtual ~MvNetAddr();

    // "a.b.c.d:port"; without ":" (or with a bad address or port) the address is reset.
    virtual bool SetAddr(const char* ipPort);
    // Dotted (or other inet_aton) form; a text that is no address resets the address.
    virtual bool SetAddr(const char* ip, uint16_t port);
    // address in network byte order.
    virtual bool SetAddr(uint32_t address, uint16_t port);
    virtual bool SetAddr(int sock, bool peer);
    virtual bool IsValid() const;
    virtual uint32_t GetAddr() const;
    virtual uint16_t GetPort() const;
    virtual const char* GetAddrFull() const;
    virtual const char* GetAddrIP() const;
    virtual MvNetAddr* Duplicate() const;
    virtual void CopyTo(MvNetAddr* other) const;
    virtual void CopyFrom(const MvNetAddr* other);
    virtual void Reset();
    // Rebuilds both text forms from the address and port.
    virtual void Expand();

    bool m_valid = false;
    uint32_t m_address = 0;
    uint16_t m_port = 0;
    std::string m_full;
    std::string m_ip;
};
