// Feeds arbitrary bytes, in arbitrary segment sizes, through MvReadSocketLine over a local
// socket pair and percent-decodes every line, checking the reader's invariants.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "mvbuffer.h"
#include "mvsock.h"
#include "mvsockreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 32768) return 0;
    const size_t segment = 1 + data[0] * 64u;
    ++data;
    --size;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    int big = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    MvTCPSock reader(fds[1]);
    MvReadSockParams params;
    params.m_idlePause = 0;
    MvBuffer buffer;
    std::string line;
    size_t linesBytes = 0;

    for (size_t at = 0; at < size && reader.IsOpen();) {
        const size_t n = segment < size - at ? segment : size - at;
        if (write(fds[0], data + at, n) != static_cast<ssize_t>(n)) break;
        at += n;
        // Drain everything that is waiting before the next segment.
        for (int guard = 0; guard < 100000 && reader.IsOpen(); ++guard) {
            int waiting = 0;
            if (!reader.GetInputSize(waiting)) break;
            const bool got = MvReadSocketLine(buffer, line, reader, &params);
            if (got) {
                if (line.find("\r\n") != std::string::npos) abort();
                linesBytes += line.size() + 2;
                std::string decoded = line;
                MvURLDecode(decoded);
                if (decoded.size() > line.size()) abort();
            } else if (waiting == 0) {
                break;
            }
            if (buffer.GetLength() > params.m_maxLine + params.m_readSize) abort();
        }
    }
    if (reader.IsOpen() && linesBytes + static_cast<size_t>(buffer.GetLength()) > size) abort();
    close(fds[0]);
    return 0;
}
