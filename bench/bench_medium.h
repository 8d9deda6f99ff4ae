// A sparse medium of free blocks formatted the way the storage tool does, for benchmarks;
// removed when the object goes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "mvstorageformat.h"
#include "mvtime.h"

class MvBenchMedium {
public:
    MvBenchMedium(uint64_t blocks, const char* name) : m_blocks(blocks) {
        const char* dir = getenv("TMPDIR");
        path = std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") + "/" + name + ".XXXXXX";
        fd = mkstemp(path.data());
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(HSCMediumSize(blocks))) != 0) abort();
        uint8_t header[kHSCStorageInfoSize];
        HSCEncodeStorageInfo(HSCMakeStorageInfo(blocks, MvTimeNow()), header);
        if (pwrite(fd, header, sizeof(header), 0) != sizeof(header)) abort();
        ResetInfos();
    }
    ~MvBenchMedium() {
        close(fd);
        unlink(path.c_str());
    }
    // Every block's info record and index back to a free block of storage 1.
    void ResetInfos() {
        for (uint64_t i = 0; i < m_blocks; ++i) {
            HSCChunkInfoV3 info;
            HSCGopIndexArrayV3 index{};
            HSCResetChunkInfo(info, index, static_cast<uint32_t>(i + 1), 1);
            uint8_t rec[kHSCChunkInfoSize];
            std::vector<uint8_t> idx(kHSCIndexSize);
            HSCEncodeChunkInfo(info, rec);
            HSCEncodeIndex(index, std::span<uint8_t, kHSCIndexSize>(idx.data(), kHSCIndexSize));
            if (pwrite(fd, rec, sizeof(rec), static_cast<off_t>(HSCInfoOffset(i))) != sizeof(rec) ||
                pwrite(fd, idx.data(), idx.size(), static_cast<off_t>(HSCIndexOffset(i))) !=
                    static_cast<ssize_t>(idx.size()))
                abort();
        }
    }
    // Written data to the disk, then out of the page cache.
    void Cold() const {
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    const std::string& Path() const { return path; }
    int Fd() const { return fd; }
    uint64_t Blocks() const { return m_blocks; }

    MvBenchMedium(const MvBenchMedium&) = delete;
    MvBenchMedium& operator=(const MvBenchMedium&) = delete;

    std::string path;
    int fd = -1;

private:
    uint64_t m_blocks;
};
