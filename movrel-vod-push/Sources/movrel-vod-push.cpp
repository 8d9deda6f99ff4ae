// movrel-vod-push: pushes a transport-stream file to the server's VOD ingest port as a VOD
// title. The file is cut into GOPs at video key frames, then streamed as the title header, the
// initial data, 7-packet data messages and the end message; the title is complete once the
// server has taken the end message and closed the connection.
//
//   movrel-vod-push <file.ts> <server:port> <content id> [options]
//
// Exit status: 0 title sent, 1 bad command line, 2 unusable file, 3 no connection to the VOD
// ingest port, 4 transfer broken off (the server discards an incomplete title).
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "mvlogger.h"
#include "mvsock.h"
#include "mvsock_addr.h"
#include "mvver.h"
#include "vodpush.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;
constexpr int kExitConnect = 3;
constexpr int kExitTransfer = 4;

constexpr uint64_t kDefaultStorage = 1;
constexpr uint64_t kDefaultFirstGop = 1;
constexpr uint64_t kDefaultTimeout = 30;
constexpr uint64_t kMaxTimeout = 3600;
constexpr double kTtyInterval = 0.2;   // seconds between updates of the progress line
constexpr double kLineInterval = 5.0;  // seconds between progress lines when not on a terminal

struct Options {
    const char* file = nullptr;
    const char* server = nullptr;
    uint32_t content = 0;
    uint64_t storage = kDefaultStorage;
    uint64_t firstGop = kDefaultFirstGop;
    uint64_t subStream = 0;
    uint64_t timeout = kDefaultTimeout;
    bool idr = false;
};

void PrintUsage() {
    printf(
        "Usage: movrel-vod-push <file.ts> <server:port> <content id> [options]\n"
        "\n"
        "Pushes an MPEG transport stream file to the VOD ingest port of a movrel-nerio server\n"
        "as a VOD title. The file is cut into GOPs at the video key frames of its first program.\n"
        "\n"
        "  <file.ts>          transport stream file (188-byte packets)\n"
        "  <server:port>      the server's VOD ingest address (VODINGEST), name or a.b.c.d\n"
        "  <content id>       VOD content number, 100000000 to 999999999\n"
        "\n"
        "Options:\n"
        "  --storage N        storage id to record the title on (1 to 65535, default 1)\n"
        "  --first-gop N      number of the title's first GOP (default 1)\n"
        "  --substream N      bitrate variant of the title (0 to 255, default 0)\n"
        "  --idr              H.264: IDR slices start GOPs too (as the server's IDR key)\n"
        "  --timeout S        give up when the server takes no data for S seconds\n"
        "                     (1 to 3600, default 30)\n"
        "  -h, --help         this text\n"
        "\n"
        "Exit status: 0 title sent, 1 bad command line, 2 unusable file,\n"
        "3 no connection to the VOD ingest port, 4 transfer broken off.\n");
}

[[noreturn]] void UsageError(const char* format, const char* arg) {
    MVLOGE(format, arg);
    MVLOGI("[VODPUSH] Use --help for the usage");
    exit(kExitUsage);
}

// Option value: "--name value" or "--name=value".
const char* OptionValue(int argc, char** argv, int& i, const char* name) {
    const size_t n = strlen(name);
    if (argv[i][n] == '=') return argv[i] + n + 1;
    if (i + 1 >= argc) UsageError("[VODPUSH] Option %s needs a value", name);
    return argv[++i];
}

bool IsOption(const char* arg, const char* name) {
    const size_t n = strlen(name);
    return strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

void ParseNumberOption(const char* name, const char* text, uint64_t min, uint64_t max,
                       uint64_t& value) {
    if (!MvVodParseNumber(text, min, max, value)) {
        char what[160];
        snprintf(what, sizeof(what), "%s %.64s", name, text);
        MVLOGE("[VODPUSH] Invalid value: %s (expected %" PRIu64 " to %" PRIu64 ")", what, min, max);
        MVLOGI("[VODPUSH] Use --help for the usage");
        exit(kExitUsage);
    }
}

Options ParseCommandLine(int argc, char** argv) {
    Options o;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            PrintUsage();
            exit(kExitOk);
        } else if (IsOption(a, "--storage")) {
            ParseNumberOption("--storage", OptionValue(argc, argv, i, "--storage"), 1, UINT16_MAX,
                              o.storage);
        } else if (IsOption(a, "--first-gop")) {
            ParseNumberOption("--first-gop", OptionValue(argc, argv, i, "--first-gop"), 1,
                              INT64_MAX, o.firstGop);
        } else if (IsOption(a, "--substream")) {
            ParseNumberOption("--substream", OptionValue(argc, argv, i, "--substream"), 0, 255,
                              o.subStream);
        } else if (IsOption(a, "--timeout")) {
            ParseNumberOption("--timeout", OptionValue(argc, argv, i, "--timeout"), 1, kMaxTimeout,
                              o.timeout);
        } else if (strcmp(a, "--idr") == 0) {
            o.idr = true;
        } else if (strcmp(a, "--") == 0) {
            for (++i; i < argc; ++i) positional.push_back(argv[i]);
        } else if (a[0] == '-' && a[1] != '\0') {
            UsageError("[VODPUSH] Unknown option %s", a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 3) {
        MVLOGE("[VODPUSH] Expected a file, a server address and a content id");
        MVLOGI("[VODPUSH] Use --help for the usage");
        exit(kExitUsage);
    }
    o.file = positional[0];
    o.server = positional[1];
    if (!MvVodParseContentId(positional[2], o.content)) {
        MVLOGE("[VODPUSH] Content id (%.64s) is not a VOD content id: VOD titles are numbered "
               "100000000 to 999999999",
               positional[2]);
        exit(kExitUsage);
    }
    return o;
}

// "host:port" with a host name or dotted address; false (with the reason) otherwise.
bool ResolveServer(const char* text, MvNetAddr& address, std::string& why) {
    const char* colon = strrchr(text, ':');
    uint64_t port = 0;
    if (colon == nullptr || colon == text || !MvVodParseNumber(colon + 1, 1, 65535, port)) {
        why = "expected host:port with a port from 1 to 65535";
        return false;
    }
    const std::string host(text, static_cast<size_t>(colon - text));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        why = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
        return false;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address.SetAddr(in->sin_addr.s_addr, static_cast<uint16_t>(port));
    freeaddrinfo(found);
    return true;
}

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// What a socket failure means for the operator.
std::string SocketFailure(const MvTCPSock& sock, uint64_t timeout) {
    const int err = sock.GetError();
    char text[200];
    switch (err) {
        case MV_SOCK_ERR_SEND_TIMEOUT:
            snprintf(text, sizeof(text), "the server took no data for %" PRIu64 " s (write time-out)",
                     timeout);
            return text;
        case MV_SOCK_ERR_RECV_TIMEOUT:
            snprintf(text, sizeof(text), "no answer from the server for %" PRIu64 " s", timeout);
            return text;
        case 0:
        case MV_SOCK_ERR_PEER_CLOSED:
        case MV_SOCK_ERR_RECV_NOTHING:
        case MV_SOCK_ERR_SEND_ZERO:
            return "the server closed the connection";
        case EPIPE:
        case ECONNRESET:
            snprintf(text, sizeof(text), "the server closed the connection (%s)", strerror(err));
            return text;
        default:
            if (err > 0) return strerror(err);
            snprintf(text, sizeof(text), "socket error %d", err);
            return text;
    }
}

// Progress of the transfer: one line rewritten in place on a terminal, a plain line every few
// seconds otherwise.
class Progress {
public:
    Progress(uint64_t total, double start)
        : m_total(total), m_start(start), m_tty(isatty(1) != 0), m_lastShown(start) {}

    void Update(uint64_t gops, uint64_t bytes, bool last) {
        const double now = Now();
        if (!last && now - m_lastShown < (m_tty ? kTtyInterval : kLineInterval)) return;
        m_lastShown = now;
        const double elapsed = now - m_start > 1e-6 ? now - m_start : 1e-6;
        char text[200];
        snprintf(text, sizeof(text), "Sent %" PRIu64 "/%" PRIu64 " GOPs (%.0f%%), %.1f GOP/s, %.2f Mbit/s",
                 gops, m_total, m_total > 0 ? 100.0 * static_cast<double>(gops) / static_cast<double>(m_total) : 100.0,
                 static_cast<double>(gops) / elapsed, static_cast<double>(bytes) * 8.0 / elapsed / 1e6);
        if (m_tty) {
            printf("\r%s\33[K", text);
            fflush(stdout);
            m_open = true;
            if (last) EndLine();
        } else if (!last) {
            MVLOGI("[VODPUSH] %s", text);
        }
    }

    // Ends the rewritten line before any other output.
    void EndLine() {
        if (!m_open) return;
        fputc('\n', stdout);
        fflush(stdout);
        m_open = false;
    }

private:
    uint64_t m_total;
    double m_start;
    bool m_tty;
    double m_lastShown;
    bool m_open = false;
};

// The file's bytes, mapped read-only.
class MappedFile {
public:
    ~MappedFile() {
        if (m_data != nullptr) munmap(m_data, m_length);
        if (m_fd >= 0) close(m_fd);
    }
    bool Open(const char* path, std::string& why) {
        m_fd = open(path, O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            why = strerror(errno);
            return false;
        }
        struct stat st {};
        if (fstat(m_fd, &st) != 0) {
            why = strerror(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            why = "not a regular file";
            return false;
        }
        m_length = static_cast<size_t>(st.st_size);
        if (m_length == 0) return true;
        void* p = mmap(nullptr, m_length, PROT_READ, MAP_PRIVATE, m_fd, 0);
        if (p == MAP_FAILED) {
            why = strerror(errno);
            return false;
        }
        m_data = static_cast<uint8_t*>(p);
        madvise(m_data, m_length, MADV_SEQUENTIAL);
        return true;
    }
    const uint8_t* Data() const { return m_data; }
    size_t Length() const { return m_length; }

private:
    int m_fd = -1;
    uint8_t* m_data = nullptr;
    size_t m_length = 0;
};

std::string PidList(const std::vector<uint16_t>& pids) {
    if (pids.empty()) return "none";
    std::string s;
    for (uint16_t p : pids) {
        if (!s.empty()) s += ",";
        s += std::to_string(p);
    }
    return s;
}

// After the end message: the server closes the connection once it has stored the last GOP.
// Anything it sends before is read and ignored. False on a reset or when it does not close
// within the time-out.
bool WaitServerClose(MvTCPSock& sock, uint64_t timeout, std::string& why) {
    shutdown(sock.GetSock(), SHUT_WR);
    const double deadline = Now() + static_cast<double>(timeout);
    uint8_t byte;
    for (;;) {
        const double left = deadline - Now();
        if (left > 0 && sock.GenRecvTimed(&byte, 1, static_cast<int>(left * 1000) + 1)) continue;
        const int err = sock.GetError();
        if (left > 0 && (err == MV_SOCK_ERR_RECV_NOTHING || err == MV_SOCK_ERR_PEER_CLOSED))
            return true;
        if (left <= 0 || err == MV_SOCK_ERR_RECV_TIMEOUT) {
            char text[160];
            snprintf(text, sizeof(text),
                     "the server did not close the connection within %" PRIu64 " s after the end "
                     "of the title", timeout);
            why = text;
        } else {
            why = SocketFailure(sock, timeout);
        }
        return false;
    }
}

[[noreturn]] void TransferFailed(Progress& progress, const std::string& why, uint64_t sent,
                                 uint64_t total) {
    progress.EndLine();
    MVLOGE("[VODPUSH] Transfer failed after %" PRIu64 " of %" PRIu64 " GOPs: %s", sent, total,
           why.c_str());
    MVLOGE("[VODPUSH] The title is incomplete; the server discards it");
    exit(kExitTransfer);
}

}  // namespace

int main(int argc, char** argv) {
    MvSetFlavour(MvFlavour::Tool);
    MvLogInit(true, false, "");
    // Progress lines must come out as they are written when the output is a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const Options o = ParseCommandLine(argc, argv);
    MVLOGI("[VODPUSH] movrel-vod-push %s", MvGetVersion());

    MvNetAddr server;
    std::string why;
    if (!ResolveServer(o.server, server, why)) {
        MVLOGE("[VODPUSH] Invalid server address (%.200s): %s", o.server, why.c_str());
        return why.rfind("cannot resolve", 0) == 0 ? kExitConnect : kExitUsage;
    }

    // The file.
    MappedFile file;
    if (!file.Open(o.file, why)) {
        MVLOGE("[VODPUSH] Cannot read %s: %s", o.file, why.c_str());
        return kExitInput;
    }
    MvVodTitle title;
    MvVodScanOptions scanOptions;
    scanOptions.idr = o.idr;
    const MvVodScanResult scanned = MvVodScan(file.Data(), file.Length(), scanOptions, title, why);
    if (scanned != MvVodScanResult::Ok) {
        MVLOGE("[VODPUSH] Cannot push %s: %s%s%s", o.file, MvVodScanResultText(scanned),
               why.empty() ? "" : ": ", why.c_str());
        return kExitInput;
    }
    const HSCPIDData& pids = title.pids;
    const char* codec = title.h264 ? "H.264" : title.hevc ? "HEVC" : "MPEG-2";
    MVLOGI("[VODPUSH] File %s: %" PRIu64 " packets, program %u, PMT PID %u, video PID %u (%s), "
           "PCR PID %u, audio PIDs %s",
           o.file, title.filePackets, title.programNumber, pids.pmtPid, pids.videoPid, codec,
           pids.pcrPid, PidList(pids.audioPids).c_str());
    if (title.trailingBytes != 0)
        MVLOGW("[VODPUSH] The file ends with %u bytes that are not a whole packet; they are left out",
               title.trailingBytes);
    if (title.badPackets != 0)
        MVLOGW("[VODPUSH] %" PRIu64 " packets cannot be parsed; they are left out", title.badPackets);
    const uint64_t gopCount = title.gops.size();
    const uint64_t messages = title.MessageCount();
    const tagMvCID cid = MvCIDMake(o.content, static_cast<uint32_t>(o.subStream), 0);
    std::vector<uint8_t> out;
    MvVodEncodeHeader(out, cid, o.storage, static_cast<uint32_t>(gopCount));
    MvVodEncodeInitialData(out, o.firstGop, title);
    const uint64_t totalBytes = out.size() + messages * MV_VOD_DATA_MSG_SIZE + MV_VOD_END_MSG_SIZE;
    MVLOGI("[VODPUSH] Title %u: %" PRIu64 " GOPs, %" PRIu64 " packets in %" PRIu64 " messages, "
           "%" PRIu64 " bytes (%" PRIu64 " packets before the first key frame and %" PRIu64
           " other packets left out)",
           o.content, gopCount, title.SentPackets(), messages, totalBytes, title.leadingPackets,
           title.skippedPackets);

    // The connection.
    MvTCPSock sock(server);
    if (!sock.Open()) {
        const int err = sock.GetError();
        MVLOGE("[VODPUSH] Cannot connect to %s: %s", server.GetAddrFull(),
               err > 0 ? strerror(err) : "socket error");
        return kExitConnect;
    }
    sock.SetTimed(true);
    sock.SetTimeOut(static_cast<int32_t>(o.timeout * 1000));
    MVLOGI("[VODPUSH] Connected to %s", server.GetAddrFull());
    uint32_t ready = 0;
    if (!sock.RecvDWord(ready)) {
        MVLOGE("[VODPUSH] No greeting from %s: %s; is it the server's VOD ingest port?",
               server.GetAddrFull(), SocketFailure(sock, o.timeout).c_str());
        return kExitConnect;
    }
    if (ready != MV_VOD_READY) {
        MVLOGE("[VODPUSH] Unexpected greeting (%u) from %s; is it the server's VOD ingest port?",
               ready, server.GetAddrFull());
        return kExitConnect;
    }

    const double start = Now();
    Progress progress(gopCount, start);
    uint64_t bytes = 0;
    if (!sock.GenSend(out.data(), static_cast<int>(out.size())))
        TransferFailed(progress, SocketFailure(sock, o.timeout), 0, gopCount);
    bytes += out.size();

    const timespec base = MvVodTimeBase();
    for (size_t g = 0; g < gopCount; ++g) {
        out.clear();
        MvVodEncodeGop(out, title, file.Data(), g, MvVodTimeAdd(base, title.gops[g].offsetNs));
        if (!sock.GenSend(out.data(), static_cast<int>(out.size())) || !sock.CheckConnect())
            TransferFailed(progress, SocketFailure(sock, o.timeout), g, gopCount);
        bytes += out.size();
        progress.Update(g + 1, bytes, false);
    }
    out.clear();
    MvVodEncodeEnd(out);
    if (!sock.GenSend(out.data(), static_cast<int>(out.size())))
        TransferFailed(progress, SocketFailure(sock, o.timeout), gopCount, gopCount);
    bytes += out.size();
    if (!WaitServerClose(sock, o.timeout, why)) TransferFailed(progress, why, gopCount, gopCount);
    progress.Update(gopCount, bytes, true);
    sock.Close();

    const double elapsed = Now() - start > 1e-6 ? Now() - start : 1e-6;
    MVLOGI("[VODPUSH] Title %u sent: %" PRIu64 " GOPs, %" PRIu64 " bytes in %.2f s (%.1f GOP/s, "
           "%.2f Mbit/s)",
           o.content, gopCount, bytes, elapsed, static_cast<double>(gopCount) / elapsed,
           static_cast<double>(bytes) * 8.0 / elapsed / 1e6);
    return kExitOk;
}
