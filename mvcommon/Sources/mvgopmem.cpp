#include "mvgopmem.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

MvGopMemory::MvGopMemory(uint64_t keepLimit) : m_limit(keepLimit) {}

MvGopMemory::~MvGopMemory() {
    for (auto& entry : m_free) munmap(entry.second, entry.first);
}

void* MvGopMemory::Take(uint64_t bytes, uint64_t filled) {
    if (bytes == 0 || bytes % 4096 != 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (filled > bytes) filled = bytes;
    uint8_t* p = nullptr;
    uint64_t stale = 0;  // bytes at the start of p that may hold an earlier owner's data
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_free.lower_bound(bytes);
        if (it != m_free.end()) {
            const uint64_t size = it->first;
            p = it->second;
            m_free.erase(it);
            m_kept -= size;
            if (size > bytes) {
                // The rest of the range stays kept as a range of its own.
                m_free.emplace(size - bytes, p + bytes);
                m_kept += size - bytes;
            }
            stale = bytes;
            ++m_reused;
        } else if (!m_free.empty()) {
            // No kept range is large enough: the largest one is moved to a new address and grown
            // there. Its page tables move with it, so its pages need no fault; only the new tail
            // is fresh (and zero).
            auto last = std::prev(m_free.end());
            const uint64_t size = last->first;
            void* grown = mremap(last->second, size, bytes, MREMAP_MAYMOVE);
            if (grown != MAP_FAILED) {
                m_free.erase(last);
                m_kept -= size;
                p = static_cast<uint8_t*>(grown);
                stale = size;
                ++m_reused;
            }
        }
        if (p == nullptr) ++m_fresh;
    }
    if (p == nullptr) {
        void* fresh = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (fresh == MAP_FAILED) return nullptr;
        p = static_cast<uint8_t*>(fresh);
    }
    if (stale > filled) memset(p + filled, 0, stale - filled);
    // Fresh pages the caller is about to fill are faulted in with one call: far cheaper than a
    // fault per page while the load copies into them (kernels without the advice refuse it and
    // the pages fault in as they are filled).
    if (filled > stale) {
        const uint64_t from = stale / 4096 * 4096;
        const uint64_t to = (filled + 4095) / 4096 * 4096;
        (void)madvise(p + from, to - from, MADV_POPULATE_WRITE);
    }
    return p;
}

namespace {

// Bytes from `p` up to the end of its last resident page: the part of the range that has ever
// been touched (or swapped out, which the scan cannot tell apart, so that part stays included
// as long as a later page is resident). 0 when no page is resident or the scan fails.
uint64_t ResidentPrefix(uint8_t* p, uint64_t bytes) {
    constexpr uint64_t kChunkPages = 512;
    unsigned char vec[kChunkPages];
    uint64_t pages = bytes / 4096;
    while (pages > 0) {
        const uint64_t n = pages < kChunkPages ? pages : kChunkPages;
        const uint64_t first = pages - n;
        if (mincore(p + first * 4096, n * 4096, vec) != 0) return bytes;  // unknown: all of it
        for (uint64_t i = n; i > 0; --i)
            if ((vec[i - 1] & 1) != 0) return (first + i) * 4096;
        pages = first;
    }
    return 0;
}

}  // namespace

bool MvGopMemory::Give(void* p, uint64_t bytes) {
    if (p == nullptr || bytes == 0) return true;
    if (reinterpret_cast<uintptr_t>(p) % 4096 != 0 || bytes % 4096 != 0) {
        errno = EINVAL;  // not a range this pool handed out: left alone
        return false;
    }
    auto* start = static_cast<uint8_t*>(p);
    // Pages never touched are still zero and cost nothing: a range mapped large and used only at
    // its start (a live GOP's reservation) keeps only its touched part; the rest is unmapped.
    const uint64_t used = ResidentPrefix(start, bytes);
    bool ok = true;
    if (used < bytes) {
        if (munmap(start + used, bytes - used) == 0)
            bytes = used;
        else
            ok = false;  // still mapped: kept whole
    }
    if (bytes == 0) return ok;
    std::lock_guard<std::mutex> g(m_lock);
    m_free.emplace(bytes, start);
    m_kept += bytes;
    return TrimLocked() && ok;
}

bool MvGopMemory::TrimLocked() {
    bool ok = true;
    while (m_kept > m_limit && !m_free.empty()) {
        auto it = m_free.begin();  // the smallest ranges are the least likely to be reused
        if (munmap(it->second, it->first) != 0) ok = false;
        m_kept -= it->first;
        m_free.erase(it);
    }
    return ok;
}

uint64_t MvGopMemory::KeptBytes() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_kept;
}

uint64_t MvGopMemory::Reused() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_reused;
}

uint64_t MvGopMemory::Fresh() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_fresh;
}

MvGopMemory& MvGopMemoryPool() {
    // Never destroyed: GOPs may still be released while static objects are torn down.
    static MvGopMemory* pool = new MvGopMemory(MV_GOP_MEMORY_KEEP);
    return *pool;
}

void MvKeepFreedHeapMemory() {
    // Setting either value turns off the library's own adjustment of both; these are half the
    // largest values that adjustment reaches by itself (32 and 64 MiB on 64-bit systems).
    (void)mallopt(M_MMAP_THRESHOLD, 16 << 20);
    (void)mallopt(M_TRIM_THRESHOLD, 32 << 20);
}
