// Line reading for the plain-text HTTP services: MvReadSocketLine collects what a socket
// has waiting in a caller-kept MvBuffer and hands out one CRLF-terminated line per call;
// MvURLDecode undoes percent escapes in request targets.
#pragma once

#include <cstdint>
#include <string>

#include "mvbuffer.h"
#include "mvsock.h"

// A caller's reading policy.
class MvReadSockParams {
public:
    virtual ~MvReadSockParams() = default;

    int32_t m_readSize = 1024;     // bytes fetched from the socket per call
    int32_t m_maxLine = 8192;      // most unread bytes kept while looking for a line end
    int32_t m_reserved = 1;        // not used by the reader
    int32_t m_idlePause = 100000;  // when positive, an idle call pauses 100 ms
    bool m_verbose = false;        // log extracted lines and overlong input
};

// The shared default policy (never written).
const MvReadSockParams& MvReadSockDefaultParams();

// Reads what is waiting on sock into buffer and extracts one line (without CR LF) into
// line. True when a line was extracted. False otherwise: no complete line yet, or the
// connection is gone (sock closed). The caller keeps buffer across calls.
bool MvReadSocketLine(MvBuffer& buffer, std::string& line, MvTCPSock& sock,
                      const MvReadSockParams* params = nullptr);

// Replaces s by its percent-decoded form; "+" stays as it is.
void MvURLDecode(std::string& s);
bool MvURLIsHex(char c);
// 0-15 for a hexadecimal digit, -1 otherwise.
int MvURLCharToNumber(char c);
