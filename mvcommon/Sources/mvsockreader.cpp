#include "mvsockreader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "mvlogger.h"

const MvReadSockParams& MvReadSockDefaultParams() {
    static const MvReadSockParams defaults;
    return defaults;
}

bool MvReadSocketLine(MvBuffer& buffer, std::string& line, MvTCPSock& sock,
                      const MvReadSockParams* params) {
    const MvReadSockParams& p = params != nullptr ? *params : MvReadSockDefaultParams();

    int waiting = 0;
    if (!sock.GetInputSize(waiting)) return false;
    bool readNothing = false;
    if (waiting <= 0) {
        if (!sock.CheckConnect()) return false;
        readNothing = true;
    } else {
        const int want = std::min(waiting, std::max(p.m_readSize, 1));
        // Receive straight into the buffer's free tail.
        const int64_t needed = static_cast<int64_t>(buffer.m_length) + want + 1;
        if (needed > INT32_MAX / 2 || !buffer.Allocate(static_cast<int>(needed))) {
            sock.Close();
            return false;
        }
        if (!sock.GenRecv(buffer.m_data + buffer.m_length, want)) return false;
        buffer.m_length += want;
    }

    line.clear();
    if (buffer.m_length > p.m_maxLine) {
        if (p.m_verbose)
            MVLOGI("HTTP line length from source (%s) is too long, closing connection",
                   sock.GetPeer().GetAddrIP());
        buffer.Clean();
        sock.Close();
        return false;
    }

    const uint8_t* data = buffer.m_data;
    for (int i = 0; i + 1 < buffer.m_length; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n') {
            line.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(i));
            buffer.Remove(0, i + 2, nullptr);
            if (p.m_verbose) MVLOGD("--> New line (%s)", line.c_str());
            return true;
        }
    }

    if (p.m_idlePause > 0 && line.empty() && readNothing) usleep(100000);
    return false;
}

bool MvURLIsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int MvURLCharToNumber(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void MvURLDecode(std::string& s) {
    std::string out;
    out.reserve(s.size());
    const size_t n = s.size();
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '%' && i + 2 < n && MvURLIsHex(s[i + 1]) && MvURLIsHex(s[i + 2])) {
            out.push_back(static_cast<char>(MvURLCharToNumber(s[i + 1]) * 16 + MvURLCharToNumber(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    s.swap(out);
}
