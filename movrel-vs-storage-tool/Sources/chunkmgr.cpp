// The storage tool's medium and block access.
#include "chunkmgr.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mvlogger.h"

namespace {

// Positional I/O of a whole buffer; false on an error or a short transfer (errno is then 0
// unless the system reported one).
bool WriteAll(int fd, const uint8_t* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = 0;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {  // end of the medium
            errno = 0;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// 32 MiB of zeros for filling data regions, made on first use and kept. The pages are
// populated up front so that direct I/O can take them as they are.
const uint8_t* ZeroRegion() {
    static const uint8_t* zeros = nullptr;
    if (zeros == nullptr) {
        void* p = mmap(nullptr, kHSCBlockDataSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p != MAP_FAILED) zeros = static_cast<const uint8_t*>(p);
    }
    return zeros;
}

// Direct I/O needs offsets, lengths and memory aligned to the device's logical block; 4096
// covers 512-byte and 4 KiB sectors.
constexpr uint64_t kDirectAlign = 4096;
bool g_directUnavailable = false;

// Writes `size` zero bytes at `offset` bypassing the page cache: the data goes to the device
// once, without a copy into cache pages that would then have to be written back. Media that
// refuse direct I/O (for example tmpfs) get the same bytes through the page cache.
bool WriteZerosDirect(int fd, const uint8_t* zeros, uint64_t size, uint64_t offset) {
    if (!g_directUnavailable) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_DIRECT) == 0) {
            bool ok = WriteAll(fd, zeros, size, offset);
            const int writeErrno = errno;
            fcntl(fd, F_SETFL, flags);
            if (ok) return true;
            if (writeErrno != EINVAL) {
                errno = writeErrno;
                return false;
            }
        }
        g_directUnavailable = true;  // refused by this medium: use the page cache from now on
    }
    return WriteAll(fd, zeros, size, offset);
}

// Zero-fills one data region: its unaligned head and tail through the page cache, the aligned
// middle directly.
bool WriteZeros(int fd, uint64_t size, uint64_t offset) {
    const uint8_t* zeros = ZeroRegion();
    if (zeros == nullptr) return false;
    const uint64_t end = offset + size;
    const uint64_t first = (offset + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
    const uint64_t last = end / kDirectAlign * kDirectAlign;
    if (first >= last) return WriteAll(fd, zeros, size, offset);
    if (first > offset && !WriteAll(fd, zeros, first - offset, offset)) return false;
    if (!WriteZerosDirect(fd, zeros, last - first, first)) return false;
    return end == last || WriteAll(fd, zeros, end - last, last);
}

}  // namespace

bool MvOpenStorage(int& fd, const char* path, bool create) {
    MVLOGI("[CHUNK] Storage (%s) : accessing", path);
    const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    fd = open(path, flags | O_NOATIME, 0600);
    // O_NOATIME is only allowed to the file's owner; a device owned by root but writable by
    // the operator's group is opened without it.
    if (fd < 0 && errno == EPERM) fd = open(path, flags, 0600);
    if (fd < 0) {
        MVLOGI("[CHUNK] Storage (%s) : could not access media, error (%d)", path, errno);
        return false;
    }
    MVLOGI("[CHUNK] Storage (%s) : info is opened", path);
    return true;
}

bool MvLoadStorage(int fd, const char* path, HSCStorageInfoV3& header) {
    MVLOGI("[CHUNK] Storage (%s) : loading info", path);
    uint8_t bytes[kHSCStorageInfoSize];
    if (!ReadAll(fd, bytes, sizeof bytes, 0)) {
        MVLOGI("[CHUNK] Storage (%s) : could not read to media, error (%d)", path, errno);
        return false;
    }
    header = HSCDecodeStorageInfo(bytes);
    switch (HSCCheckStorageInfo(header)) {
        case HSCHeaderCheck::Signature:
            MVLOGI("[CHUNK] Storage (%s) : info signature is wrong", path);
            return false;
        case HSCHeaderCheck::Version:
            MVLOGI("[CHUNK] Storage (%s) : info version is unknown", path);
            return false;
        case HSCHeaderCheck::CRC:
            MVLOGI("[CHUNK] Storage (%s) : info is damaged", path);
            return false;
        case HSCHeaderCheck::Ok:
            break;
    }
    MVLOGI("[CHUNK] Storage (%s) : info is ok", path);
    return true;
}

bool MvFitStorage(int fd, const char* path, uint64_t requestedSize, uint64_t mediumSize) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        MVLOGI("[CHUNK] Storage (%s) : could not access media, error (%d)", path, errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) >= requestedSize) return true;
        if (requestedSize > static_cast<uint64_t>(INT64_MAX) ||
            ftruncate(fd, static_cast<off_t>(requestedSize)) != 0) {
            MVLOGE("[CHUNK] Storage (%s) : could not resize media to (%llu), error (%d)", path,
                   static_cast<unsigned long long>(requestedSize), errno);
            return false;
        }
        MVLOGI("[CHUNK] Storage (%s) : file size set to (%llu)", path,
               static_cast<unsigned long long>(requestedSize));
        return true;
    }
    if (S_ISBLK(st.st_mode)) {
        uint64_t deviceSize = 0;
        if (ioctl(fd, BLKGETSIZE64, &deviceSize) != 0) {
            MVLOGE("[CHUNK] Storage (%s) : could not read device size, error (%d)", path, errno);
            return false;
        }
        if (deviceSize < mediumSize) {
            MVLOGE("[CHUNK] Storage (%s) : device size (%llu) is below the formatted size (%llu)",
                   path, static_cast<unsigned long long>(deviceSize),
                   static_cast<unsigned long long>(mediumSize));
            return false;
        }
    }
    return true;
}

bool MvUpdateStorage(int fd, const char* path, HSCStorageInfoV3& header) {
    HSCSealStorageInfo(header);
    MVLOGI("[CHUNK] Storage (%s) : saving info", path);
    // The reserved rest of the header area is written as zeros, so a formatted medium has no
    // left-over bytes there.
    uint8_t area[kHSCHeaderArea] = {};
    HSCEncodeStorageInfo(header, std::span<uint8_t, kHSCStorageInfoSize>(area, kHSCStorageInfoSize));
    if (!WriteAll(fd, area, sizeof area, 0)) {
        MVLOGI("[CHUNK] Storage (%s) : could not write to media, error (%d)", path, errno);
        return false;
    }
    MVLOGI("[CHUNK] Storage (%s) : info is ok", path);
    return true;
}

HSCSingleChunk::HSCSingleChunk(int fd, uint64_t number, uint64_t dataStart)
    : m_fd(fd),
      m_number(number),
      m_infoOffset(HSCInfoOffset(number - 1)),
      m_dataOffset(dataStart + (number - 1) * kHSCBlockDataSize) {}

bool HSCSingleChunk::Load() {
    // Record and index lie back to back: one read fetches both.
    uint8_t bytes[kHSCInfoStride];
    if (!ReadAll(m_fd, bytes, sizeof bytes, m_infoOffset)) {
        MVLOGW("[CHUNK] Block (%llu) : read error at (%llu), error (%d)",
               static_cast<unsigned long long>(m_number), static_cast<unsigned long long>(m_infoOffset),
               errno);
        return m_result = false;
    }
    m_info = HSCDecodeChunkInfo(std::span<const uint8_t, kHSCChunkInfoSize>(bytes, kHSCChunkInfoSize));
    HSCDecodeIndex(std::span<const uint8_t, kHSCIndexSize>(bytes + kHSCChunkInfoSize, kHSCIndexSize),
                   m_index);
    switch (HSCCheckChunkCRCs(m_info, m_index)) {
        case HSCInfoCheck::InfoCRC:
            MVLOGW("[DBG] Integrity failure N0A");
            return m_result = false;
        case HSCInfoCheck::IndexCRC:
            MVLOGW("[DBG] Integrity failure N0B");
            return m_result = false;
        default:
            break;
    }
    return m_result = true;
}

bool HSCSingleChunk::Write(bool fill, uint16_t storageId) {
    if (fill) {
        if (!WriteZeros(m_fd, kHSCBlockDataSize, m_dataOffset)) {
            MVLOGW("[CHUNK] Block (%llu) : data write error at (%llu), error (%d)",
                   static_cast<unsigned long long>(m_number),
                   static_cast<unsigned long long>(m_dataOffset), errno);
            return m_result = false;
        }
    }
    HSCResetChunkInfo(m_info, m_index, static_cast<uint32_t>(m_number), storageId);
    uint8_t bytes[kHSCInfoStride];
    HSCEncodeChunkInfo(m_info, std::span<uint8_t, kHSCChunkInfoSize>(bytes, kHSCChunkInfoSize));
    HSCEncodeIndex(m_index, std::span<uint8_t, kHSCIndexSize>(bytes + kHSCChunkInfoSize, kHSCIndexSize));
    if (!WriteAll(m_fd, bytes, sizeof bytes, m_infoOffset)) {
        MVLOGW("[CHUNK] Block (%llu) : info write error at (%llu), error (%d)",
               static_cast<unsigned long long>(m_number), static_cast<unsigned long long>(m_infoOffset),
               errno);
        return m_result = false;
    }
    return m_result = true;
}

bool MvChunkWorks(int fd, uint64_t number, uint64_t dataStart, bool load, bool fill,
                  uint16_t storageId) {
    HSCSingleChunk chunk(fd, number, dataStart);
    return load ? chunk.Load() : chunk.Write(fill, storageId);
}
