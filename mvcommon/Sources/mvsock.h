// MvTCPSock: one IPv4 stream socket with whole-buffer sends and receives (optionally bounded
// by a poll time-out), the socket options the listeners use, and the little-endian typed
// values of the VOD ingest protocol. Every I/O or option failure records the error, closes
// the socket and returns false; callers test IsOpen to see whether the connection survived.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/socket.h>

#include "mvsock_addr.h"

// Negative values of GetError (positive values are errno values).
enum : int {
    MV_SOCK_ERR_PEER_CLOSED = -1,    // the peer closed during a receive
    MV_SOCK_ERR_RECV_POLL = -2,      // poll failed while receiving
    MV_SOCK_ERR_RECV_TIMEOUT = -3,   // receive time-out
    MV_SOCK_ERR_RECV_NOTHING = -4,   // poll reported input but nothing was there (peer closed)
    MV_SOCK_ERR_SEND_ZERO = -5,      // send() returned 0
    MV_SOCK_ERR_SEND_POLL = -6,      // poll failed while sending
    MV_SOCK_ERR_SEND_TIMEOUT = -7,   // send time-out, or send() returned 0 in a timed send
};

class MvTCPSock {
public:
    MvTCPSock();
    // Closed socket that Open connects to address.
    explicit MvTCPSock(const MvNetAddr& address);
    // Adopts a connected (accepted) descriptor; bounds become its local address.
    explicit MvTCPSock(int sock);
    MvTCPSock(const MvTCPSock&) = delete;
    MvTCPSock& operator=(const MvTCPSock&) = delete;
    virtual ~MvTCPSock();

    virtual const MvNetAddr& GetBounds() const;
    // The connected peer's address (reset when there is none).
    virtual MvNetAddr GetPeer() const;
    virtual bool Open();
    virtual void Close();
    // Swaps in a new descriptor, returns the old one; bounds become its local address.
    virtual int SetSock(int sock);
    virtual int GetSock() const;
    virtual bool IsOpen() const;

    virtual bool GenRecv(void* bytes, int n);
    virtual bool GenRecvTimed(void* bytes, int n, int timeoutMs);
    virtual bool GenSend(const void* bytes, int n);
    virtual bool GenSendTimed(const void* bytes, int n, int timeoutMs);
    // Sends the n bytes described by the scatter list of header. The caller's list is
    // left as it was given.
    virtual bool GenSend(const msghdr* header, int n);
    // One recv() of at most n bytes; its raw result.
    virtual int GenRecvSimple(void* bytes, int n);

    virtual void SetTimeOut(int32_t ms);
    virtual int32_t GetTimeOut() const;
    virtual void SetTimed(bool timed);
    virtual bool GetTimed() const;

    virtual bool SetNodelay(bool on);
    virtual bool SetCork(bool on);
    virtual bool SetHWKA();
    virtual bool SetOTTBuffers();
    virtual bool SetBuffers(int receive, int send);
    virtual bool SetNB(bool on);
    // Negative seconds turn lingering off.
    virtual bool SetLinger(int seconds);
    // False (and closed) when the peer hung up or the socket failed.
    virtual bool CheckConnect();
    virtual bool GetInputSize(int& size);
    virtual bool GetOutputSize(int& size);

    virtual bool SendByte(uint8_t value);
    virtual bool SendWord(uint16_t value);
    virtual bool SendDWord(uint32_t value);
    virtual bool SendQWord(uint64_t value);
    // 2-byte length (characters + 1), then the text with its terminating zero.
    virtual bool SendString(const char* text);
    virtual bool SendBool(bool value);
    virtual bool SendFloat(float value);
    // 2-byte length, then the bytes without a terminating zero.
    virtual bool SendStr(const std::string& text);
    virtual bool RecvByte(uint8_t& value);
    virtual bool RecvWord(uint16_t& value);
    virtual bool RecvDWord(uint32_t& value);
    virtual bool RecvQWord(uint64_t& value);
    // Receives a SendString text into buffer (size bytes). A length above size is refused:
    // the receive fails, the socket is closed and nothing is written. The text is always
    // zero-terminated within the buffer.
    virtual bool RecvString(char* buffer, int size);
    virtual bool RecvBool(bool& value);
    virtual bool RecvFloat(float& value);
    virtual bool RecvStr(std::string& text);
    virtual int GetError() const;

    static constexpr int kRecvFloatBuffer = 40;

    std::atomic<int> m_sock{-1};
    MvNetAddr m_bounds;
    int m_lastError = 0;
    bool m_timed = false;
    int32_t m_timeout = 60000;
    int32_t m_sendChunk = 32768;
    int32_t m_recvChunk = 32768;

private:
    bool Fail(int error);
    bool OptionFailed(const char* message);
    bool SetIntOption(int level, int name, int value, const char* message);
};
