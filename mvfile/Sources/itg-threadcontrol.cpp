#include "itg-threadcontrol.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "mvlogger.h"

ITGThreadControl::ITGThreadControl(int32_t tag) : m_tag(tag) {
    int fds[2];
    if (pipe(fds) != 0) {
        MVLOGI("[THREAD CONTROL] Pipe creation error %d", errno);
        return;
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
}

ITGThreadControl::~ITGThreadControl() {
    if (m_readFd >= 0) close(m_readFd);
    if (m_writeFd >= 0) close(m_writeFd);
}

// The whole item goes out in one write(): a pipe write of at most PIPE_BUF bytes is
// atomic, so an item is never torn or interleaved, whatever the number of producers.
bool ITGThreadControl::Push(uint64_t command, void* pointer) {
    static_assert(sizeof(void*) <= 8, "a pointer must fit the 8-byte item field");
    uint8_t item[kItemSize] = {};
    const uint64_t address = reinterpret_cast<uintptr_t>(pointer);
    memcpy(item, &command, 8);
    memcpy(item + 8, &address, 8);

    m_count.fetch_add(1);
    int done = 0;
    while (done < kItemSize) {
        const ssize_t rc = write(m_writeFd, item + done, static_cast<size_t>(kItemSize - done));
        if (rc > 0) {
            done += static_cast<int>(rc);
            continue;
        }
        if (rc < 0 && errno == EINTR) continue;
        const int err = rc < 0 ? errno : EIO;
        if (done < 8)
            MVLOGE("[THREAD CONTROL] N1 Pipe write error %d", err);
        else
            MVLOGE("[THREAD CONTROL] N2 Pipe write error %d", err);
        // An item of which nothing went out is not queued at all.
        if (done == 0) m_count.fetch_sub(1);
        return false;
    }
    return true;
}

bool ITGThreadControl::Pop(uint64_t& command, void*& pointer) {
    m_count.fetch_sub(1);
    uint8_t item[kItemSize];
    int done = 0;
    while (done < kItemSize) {
        const ssize_t rc = read(m_readFd, item + done, static_cast<size_t>(kItemSize - done));
        if (rc > 0) {
            done += static_cast<int>(rc);
            continue;
        }
        if (rc < 0 && errno == EINTR) continue;
        const int err = rc < 0 ? errno : 0;
        if (done < 8)
            MVLOGI("[THREAD CONTROL] N1 Pipe read error %d", err);
        else
            MVLOGI("[THREAD CONTROL] N2 Pipe read error %d / %d", err, m_readFd);
        // A partial item is never handed out: its pointer could be half of two addresses.
        command = 0;
        pointer = nullptr;
        return false;
    }
    uint64_t address;
    memcpy(&command, item, 8);
    memcpy(&address, item + 8, 8);
    pointer = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    return true;
}

bool ITGThreadControl::PopCheck() {
    pollfd pfd = {m_readFd, POLLIN, 0};
    for (;;) {
        const int rc = poll(&pfd, 1, 100);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno == EINTR) continue;
        // The caller polls again on false; looping here on a lasting error would spin.
        MVLOGI("[THREAD CONTROL] N1 Pipe check/read error %d", errno);
        return false;
    }
}

int32_t ITGThreadControl::GetCount() { return m_count.load(); }

ITCTC::ITCTC() : m_reply(new ITGThreadControl(1)), m_request(new ITGThreadControl(2)) {}

ITCTC::~ITCTC() {
    delete m_reply;
    delete m_request;
}
