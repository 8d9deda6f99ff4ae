// Helpers of the storage tests: a small formatted medium in a sparse temporary file, blocks on
// it, test GOPs with recognisable packet bytes (and optionally a per-packet index and
// accessors), scoped configuration switches and log capture.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cfg.h"
#include <mutex>
#include <utility>
#include <vector>

#include "mvcommondata.h"
#include "mvstorageformat.h"
#include "mvtime.h"
#include "storagemgr_block.h"

namespace mvtest {

// Media created by a process that then ends through exit() (a death test's child) are removed
// when that process exits; media of the parent stay until their owner removes them.
inline void RegisterScratchMedium(const std::string& path) {
    static std::mutex s_lock;
    static std::vector<std::pair<pid_t, std::string>>* s_media = nullptr;
    std::lock_guard<std::mutex> guard(s_lock);
    if (s_media == nullptr) {
        s_media = new std::vector<std::pair<pid_t, std::string>>();
        static std::vector<std::pair<pid_t, std::string>>** s_registry = &s_media;
        atexit([] {
            for (const auto& [pid, file] : **s_registry)
                if (pid == getpid()) unlink(file.c_str());
        });
    }
    s_media->emplace_back(getpid(), path);
}

// A medium of `blocks` blocks, formatted as the storage tool does: header, and every block free
// for `formatStorageId` (marker = position + 1). The file is sparse, so its 32 MiB data regions
// cost nothing until written.
class TestMedium {
public:
    explicit TestMedium(uint64_t blocks = 2, uint16_t formatStorageId = 1) : m_blocks(blocks) {
        const char* dir = getenv("TMPDIR");
        m_path = std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") + "/mvstorage.XXXXXX";
        m_fd = mkstemp(m_path.data());
        if (m_fd < 0) {
            ADD_FAILURE() << "mkstemp failed: " << errno;
            return;
        }
        RegisterScratchMedium(m_path);
        if (ftruncate(m_fd, static_cast<off_t>(HSCMediumSize(blocks))) != 0)
            ADD_FAILURE() << "ftruncate failed: " << errno;
        uint8_t header[kHSCStorageInfoSize];
        HSCEncodeStorageInfo(HSCMakeStorageInfo(blocks, MvTimeNow()), header);
        WriteAt(0, header, sizeof(header));
        for (uint64_t i = 0; i < blocks; ++i) {
            HSCChunkInfoV3 info;
            HSCGopIndexArrayV3 index{};
            HSCResetChunkInfo(info, index, static_cast<uint32_t>(i + 1), formatStorageId);
            WriteInfo(i, info, index);
        }
    }
    ~TestMedium() {
        for (int fd : m_extraFds) close(fd);
        if (m_fd >= 0) close(m_fd);
        unlink(m_path.c_str());
    }
    TestMedium(const TestMedium&) = delete;
    TestMedium& operator=(const TestMedium&) = delete;

    const std::string& Path() const { return m_path; }
    int Fd() const { return m_fd; }
    uint64_t Blocks() const { return m_blocks; }

    // Another descriptor of the medium, read-only (writes through it fail with EBADF); closed
    // with the medium.
    int ReadOnlyFd() {
        const int fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) m_extraFds.push_back(fd);
        return fd;
    }

    HSCChunkInitParams Params(uint64_t position, uint16_t storageId = 1,
                              HSCHolderThread* holder = nullptr, int fd = -1,
                              uint64_t blockId = 0) const {
        HSCChunkInitParams p;
        p.storageId = storageId;
        p.blockId = blockId != 0 ? blockId : position + 1;
        p.position = position;
        p.holderThread = holder;
        p.fd = fd >= 0 ? fd : m_fd;
        p.blockCount = m_blocks;
        return p;
    }
    // A block object on this medium (loads its info at construction).
    std::unique_ptr<HSCSingleChunk> Block(uint64_t position, uint16_t storageId = 1,
                                          HSCHolderThread* holder = nullptr, int fd = -1) const {
        return std::make_unique<HSCSingleChunk>(Params(position, storageId, holder, fd));
    }

    void ReadInfo(uint64_t position, HSCChunkInfoV3& info, HSCGopIndexArrayV3& index) const {
        uint8_t rec[kHSCChunkInfoSize];
        std::vector<uint8_t> idx(kHSCIndexSize);
        ReadAt(HSCInfoOffset(position), rec, sizeof(rec));
        ReadAt(HSCIndexOffset(position), idx.data(), idx.size());
        info = HSCDecodeChunkInfo(rec);
        HSCDecodeIndex(std::span<const uint8_t, kHSCIndexSize>(idx.data(), kHSCIndexSize), index);
    }
    // Writes a record and index as given (the caller seals them or deliberately does not).
    void WriteInfo(uint64_t position, const HSCChunkInfoV3& info, const HSCGopIndexArrayV3& index) {
        uint8_t rec[kHSCChunkInfoSize];
        std::vector<uint8_t> idx(kHSCIndexSize);
        HSCEncodeChunkInfo(info, rec);
        HSCEncodeIndex(index, std::span<uint8_t, kHSCIndexSize>(idx.data(), kHSCIndexSize));
        WriteAt(HSCInfoOffset(position), rec, sizeof(rec));
        WriteAt(HSCIndexOffset(position), idx.data(), idx.size());
    }
    // Bytes of a block's data region.
    std::vector<uint8_t> ReadData(uint64_t position, uint64_t offset, size_t n) const {
        std::vector<uint8_t> out(n);
        ReadAt(HSCDataOffset(m_blocks, position) + offset, out.data(), n);
        return out;
    }
    void WriteData(uint64_t position, uint64_t offset, const void* bytes, size_t n) {
        WriteAt(HSCDataOffset(m_blocks, position) + offset, bytes, n);
    }

    void ReadAt(uint64_t off, void* p, size_t n) const {
        if (pread(m_fd, p, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n))
            ADD_FAILURE() << "pread at " << off;
    }
    void WriteAt(uint64_t off, const void* p, size_t n) {
        if (pwrite(m_fd, p, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n))
            ADD_FAILURE() << "pwrite at " << off;
    }

private:
    uint64_t m_blocks;
    std::string m_path;
    int m_fd = -1;
    std::vector<int> m_extraFds;
};

// A fixed local time, and times relative to it in centiseconds.
inline MvTime TestTime(uint64_t centiAfter = 0) {
    const MvTime t0 = MvTimeCreate(2024, 3, 14, 10, 20, 30, 0);
    return centiAfter == 0 ? t0 : MvTimeAddCentiSecs(t0, centiAfter);
}

// GOPs made by these helpers have refCount 0 and belong to the test.
using GopPtr = std::unique_ptr<HSCGop>;

// A closed GOP of `records` 1344-byte records whose bytes derive from its number, with PAT and
// PMT packets and a PID summary; accessorVersion 0.
inline GopPtr MakeGop(uint64_t number, MvTime time, uint32_t records) {
    GopPtr gop(new HSCGop());
    gop->gopId = number;
    gop->startTime = time;
    gop->pts = number * 3600;
    gop->dataSize = records * MV_GOP_RECORD_SIZE;
    gop->closedSize = gop->dataSize;
    if (!gop->ReAlloc()) ADD_FAILURE() << "ReAlloc";
    for (uint32_t i = 0; i < gop->dataSize; ++i)
        gop->data[i] = static_cast<uint8_t>(number * 31 + i * 7 + (i >> 9));
    uint8_t pat[188], pmt[188];
    memset(pat, 0x47, sizeof(pat));
    memset(pmt, static_cast<int>(0x50 + (number & 0xF)), sizeof(pmt));
    gop->patPackets.Add(pat, sizeof(pat));
    gop->pmtPackets.Add(pmt, sizeof(pmt));
    gop->pmtPid = 0x100;
    gop->pcrPid = 0x101;
    gop->videoPid = 0x101;
    gop->audioPids = {0x102, 0x103};
    gop->otherPids = {0x1FF};
    gop->RebuildPidSet();
    return gop;
}

// Gives the GOP a per-packet index and two accessors (ids 3 and 5) with entries and buffers;
// accessorVersion 1.
inline void AddAccessors(HSCGop* gop, uint32_t entries = 5) {
    gop->accessorVersion = 1;
    for (uint32_t i = 0; i < entries * 3; ++i) {
        MvTSInfo info;
        info.flags = static_cast<uint8_t>(i & 0x7F);
        info.recordOffset = i * MV_GOP_RECORD_SIZE;
        info.packetOffset = i * MV_GOP_RECORD_SIZE + 28;
        info.payloadOffset = static_cast<uint8_t>(4 + i % 7);
        gop->tsInfos.push_back(info);
    }
    for (uint32_t id : {3u, 5u}) {
        MvAccessor* acc = gop->MvAccessorAllocate(id, false);
        acc->headerCount = static_cast<uint8_t>(id - 1);
        for (uint32_t i = 0; i < entries; ++i) {
            MvSeqEntry e;
            e.type = static_cast<uint8_t>(id == 3 ? MV_SEQ_TIMING : MV_SEQ_AUDIOPES);
            e.a = i * 100 + id;
            e.b = 0xA0000000u + i;
            e.c = 0x12345678u ^ (i * id);
            acc->entries.push_back(e);
        }
        for (uint32_t i = 0; i < 40 * id; ++i) acc->buffer.Add(static_cast<uint8_t>(i ^ id));
    }
}

// Sets BULKWRITE and VERBOSE of the process-wide configuration for one scope.
class ScopedStorageConf {
public:
    ScopedStorageConf(bool bulkWrite, bool verbose = false) {
        ITGMainConf* conf = ITGGetMainConf();
        m_bulk = conf->BULKWRITE.exchange(bulkWrite);
        m_verbose = conf->VERBOSE.exchange(verbose);
    }
    ~ScopedStorageConf() {
        ITGMainConf* conf = ITGGetMainConf();
        conf->BULKWRITE.store(m_bulk);
        conf->VERBOSE.store(m_verbose);
    }

private:
    bool m_bulk;
    bool m_verbose;
};

// What the logger printed on the screen (stdout) while `fn` ran, from every thread.
// Failures reported by `fn` are printed into the same capture; when the test has failed they
// are shown on stderr with everything else that was captured.
inline std::string CaptureLog(const std::function<void()>& fn) {
    fflush(stdout);
    const bool failedBefore = ::testing::Test::HasFailure();
    ::testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    if (!failedBefore && ::testing::Test::HasFailure())
        fprintf(stderr, "---- captured output ----\n%s-------------------------\n", out.c_str());
    return out;
}

inline int CountOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size()))
        ++n;
    return n;
}

// Fields and packet bytes of two GOPs agree (the GOP as stored and as loaded back).
inline void ExpectSameGop(const HSCGop& want, const HSCGop& got) {
    EXPECT_EQ(got.gopId, want.gopId);
    EXPECT_EQ(got.startTime, want.startTime);
    EXPECT_EQ(got.pts, want.pts);
    EXPECT_EQ(got.closedSize, want.closedSize);
    ASSERT_EQ(got.dataSize, want.dataSize);
    if (want.dataSize != 0) {
        ASSERT_NE(got.data, nullptr);
        EXPECT_EQ(memcmp(got.data, want.data, want.dataSize), 0) << "packets of GOP " << want.gopId;
    }
    EXPECT_EQ(got.patPackets.GetLength(), want.patPackets.GetLength());
    EXPECT_EQ(got.pmtPackets.GetLength(), want.pmtPackets.GetLength());
    EXPECT_EQ(got.audioPids, want.audioPids);
    EXPECT_EQ(got.pidSet, want.pidSet);
    EXPECT_EQ(got.accessorVersion, want.accessorVersion);
}

}  // namespace mvtest
