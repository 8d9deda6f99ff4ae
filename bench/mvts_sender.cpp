// Real-time multicast sender of the reception benchmark (bench/run_reception.sh): replays one
// transport stream file to N multicast groups at the file's own bitrate, seven packets (1316
// bytes) per datagram, from one thread with non-blocking batched sends. Channel i is sent to
// PREFIX.(i / 200).(i % 200 + 1) and starts at its own place in the file (i / N of the way in),
// so the channels' key frames do not all arrive at the same instant. SIGTERM ends it early. Meant to run inside a
// private network namespace; it prints one line of key=value figures of its own keeping-up.
//
// Usage: mvts_sender FILE PREFIX CHANNELS PORT SECONDS [BITS_PER_SECOND]
//   (stops after SECONDS or at SIGTERM, then prints its figures)
//   PREFIX is the first two bytes of the groups, e.g. 239.1. Without BITS_PER_SECOND the rate
//   comes from the stream's PCRs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kPacket = 188;
constexpr size_t kDatagram = 7 * kPacket;
constexpr int kBatch = 64;

volatile std::sig_atomic_t gStop = 0;
void OnStop(int) { gStop = 1; }

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepUntil(double t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool ReadFile(const char* path, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return true;
}

// The 27 MHz PCR of a packet, or -1 when it carries none.
int64_t PacketPCR(const uint8_t* p, uint16_t& pid) {
    if (p[0] != 0x47 || (p[3] & 0x20) == 0) return -1;
    const uint8_t afLength = p[4];
    if (afLength < 7 || (p[5] & 0x10) == 0) return -1;
    pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    const uint64_t base = (static_cast<uint64_t>(p[6]) << 25) | (static_cast<uint64_t>(p[7]) << 17) |
                          (static_cast<uint64_t>(p[8]) << 9) | (static_cast<uint64_t>(p[9]) << 1) |
                          (static_cast<uint64_t>(p[10]) >> 7);
    const uint64_t ext = (static_cast<uint64_t>(p[10] & 0x01) << 8) | p[11];
    return static_cast<int64_t>(base * 300 + ext);
}

// Bits per second between the first and the last PCR of the first PCR PID; 0 when unknown.
double RateFromPCR(const std::vector<uint8_t>& ts) {
    const size_t packets = ts.size() / kPacket;
    int64_t first = -1, last = -1;
    size_t firstAt = 0, lastAt = 0;
    uint16_t pcrPid = 0xFFFF;
    for (size_t i = 0; i < packets; ++i) {
        uint16_t pid = 0;
        const int64_t pcr = PacketPCR(&ts[i * kPacket], pid);
        if (pcr < 0) continue;
        if (pcrPid == 0xFFFF) pcrPid = pid;
        if (pid != pcrPid) continue;
        if (first < 0) {
            first = pcr;
            firstAt = i;
        }
        last = pcr;
        lastAt = i;
    }
    if (first < 0 || last <= first) return 0.0;
    return static_cast<double>((lastAt - firstAt) * kPacket * 8) * 27e6 / static_cast<double>(last - first);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s FILE PREFIX CHANNELS PORT SECONDS [BITS_PER_SECOND]\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> ts;
    if (!ReadFile(argv[1], ts)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string prefix = argv[2];
    const long channels = std::strtol(argv[3], nullptr, 10);
    const long port = std::strtol(argv[4], nullptr, 10);
    const double seconds = std::strtod(argv[5], nullptr);
    double rate = argc > 6 ? std::strtod(argv[6], nullptr) : RateFromPCR(ts);
    const size_t datagrams = ts.size() / kDatagram;
    if (channels < 1 || channels > 200 * 256 || port < 1 || port > 65535 || seconds <= 0 || rate <= 0 ||
        datagrams == 0) {
        std::fprintf(stderr, "bad arguments (channels %ld, port %ld, seconds %.1f, rate %.0f, datagrams %zu)\n",
                     channels, port, seconds, rate, datagrams);
        return 2;
    }

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    const int sndbuf = 8 << 20, ttl = 1, loop = 1;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::vector<sockaddr_in> dest(static_cast<size_t>(channels));
    std::vector<uint64_t> sent(static_cast<size_t>(channels), 0);
    std::vector<size_t> offset(static_cast<size_t>(channels));
    for (long i = 0; i < channels; ++i) {
        const std::string group = prefix + "." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
        sockaddr_in& a = dest[static_cast<size_t>(i)];
        std::memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, group.c_str(), &a.sin_addr) != 1) {
            std::fprintf(stderr, "bad group %s\n", group.c_str());
            return 2;
        }
        offset[static_cast<size_t>(i)] = datagrams * static_cast<size_t>(i) / static_cast<size_t>(channels);
    }

    // Channel i's datagram k is due at (k + i / N) / dgps seconds after the start.
    const double dgps = rate / static_cast<double>(kDatagram * 8);
    mmsghdr msgs[kBatch];
    iovec iovs[kBatch];
    size_t owner[kBatch];
    uint64_t eagain = 0, errors = 0, late = 0, batches = 0;
    double maxLate = 0.0;
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    const double start = Now();
    double now = start;
    while ((now = Now()) - start < seconds && gStop == 0) {
        const double elapsed = now - start;
        int n = 0;
        bool blocked = false;
        auto flush = [&]() {
            int done = 0;
            while (done < n) {
                const int r = sendmmsg(fd, msgs + done, static_cast<unsigned>(n - done), MSG_DONTWAIT);
                if (r > 0) {
                    for (int j = done; j < done + r; ++j) ++sent[owner[j]];
                    done += r;
                    continue;
                }
                if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    ++eagain;
                    blocked = true;
                    break;  // what is left stays due and goes out in the next round
                }
                if (r < 0 && errno == EINTR) continue;
                ++errors;  // the datagram is lost; move past it
                ++sent[owner[done]];
                ++done;
            }
            ++batches;
            n = 0;
        };
        for (size_t i = 0; i < sent.size() && !blocked; ++i) {
            const double phase = static_cast<double>(i) / static_cast<double>(channels);
            const uint64_t due = static_cast<uint64_t>(std::floor(elapsed * dgps + 1.0 - phase));
            for (uint64_t k = sent[i]; k < due && !blocked; ++k) {
                const double lateness = elapsed - (static_cast<double>(k) + phase) / dgps;
                if (lateness > maxLate) maxLate = lateness;
                if (lateness > 0.002) ++late;
                const size_t d = (offset[i] + k) % datagrams;
                iovs[n].iov_base = &ts[d * kDatagram];
                iovs[n].iov_len = kDatagram;
                std::memset(&msgs[n], 0, sizeof(msgs[n]));
                msgs[n].msg_hdr.msg_name = &dest[i];
                msgs[n].msg_hdr.msg_namelen = sizeof(sockaddr_in);
                msgs[n].msg_hdr.msg_iov = &iovs[n];
                msgs[n].msg_hdr.msg_iovlen = 1;
                owner[n] = i;
                if (++n == kBatch) flush();
            }
        }
        if (n > 0) flush();
        if (blocked) continue;
        // Sleep until the next datagram of any channel is due.
        const double slot = 1.0 / (dgps * static_cast<double>(channels));
        const double next = start + (std::floor(elapsed / slot) + 1.0) * slot;
        SleepUntil(next);
    }
    const double elapsed = Now() - start;
    uint64_t total = 0;
    for (uint64_t s : sent) total += s;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double user = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) * 1e-6;
    const double sys = static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) * 1e-6;
    std::printf("sender channels=%ld seconds=%.2f datagrams=%llu mbps=%.1f target_mbps=%.1f late2ms=%llu "
                "max_late_ms=%.2f eagain=%llu errors=%llu batches=%llu cpu_user=%.2f cpu_sys=%.2f\n",
                channels, elapsed, static_cast<unsigned long long>(total),
                static_cast<double>(total * kDatagram * 8) / elapsed / 1e6,
                rate * static_cast<double>(channels) / 1e6, static_cast<unsigned long long>(late), maxLate * 1e3,
                static_cast<unsigned long long>(eagain), static_cast<unsigned long long>(errors),
                static_cast<unsigned long long>(batches), user, sys);
    close(fd);
    return 0;
}
