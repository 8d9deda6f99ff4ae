// Page memory for GOP data blocks. Every GOP owns a page-aligned anonymous mapping; mapping fresh
// memory for each GOP makes the kernel fault in and zero every page on first touch, which on a
// virtual machine costs far more than the data itself. This pool keeps the pages of released
// GOPs (zeroed, still resident) and hands them to the next GOP, up to a byte limit.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

class MvGopMemory {
public:
    // Keeps at most `keepLimit` bytes of released pages; anything beyond goes back to the kernel.
    explicit MvGopMemory(uint64_t keepLimit);
    ~MvGopMemory();
    MvGopMemory(const MvGopMemory&) = delete;
    MvGopMemory& operator=(const MvGopMemory&) = delete;

    // A page-aligned range of `bytes` (a non-zero multiple of 4096), zeroed except its first
    // `filled` bytes, which the caller overwrites at once (a load reading into it): kept pages
    // are zeroed here, not when given back, so a load pays for no zeroing it does not need.
    // From kept pages when there are any: the smallest kept range that is large enough (its rest
    // stays kept), else the largest kept range moved and grown to the size (its pages are not
    // faulted again), else a fresh mapping. nullptr when the kernel refuses the memory (errno).
    void* Take(uint64_t bytes, uint64_t filled = 0);
    // Gives back a range obtained from Take, or a page-aligned part of one. Its pages never
    // touched are unmapped at once (they hold nothing); when more than the limit is kept, the
    // smallest ranges are unmapped. False when an unmap failed or the range is not page-aligned
    // (then it is left untouched; errno set).
    bool Give(void* p, uint64_t bytes);

    uint64_t KeptBytes() const;
    uint64_t Reused() const;   // Takes served, wholly or partly, from kept pages
    uint64_t Fresh() const;    // Takes served by a fresh mapping

private:
    bool TrimLocked();

    mutable std::mutex m_lock;
    std::multimap<uint64_t, uint8_t*> m_free;  // size -> start of a kept range
    uint64_t m_limit;
    uint64_t m_kept = 0;
    uint64_t m_reused = 0;
    uint64_t m_fresh = 0;
};

// The process-wide pool used by every HSCGop (keeps up to MV_GOP_MEMORY_KEEP bytes).
constexpr uint64_t MV_GOP_MEMORY_KEEP = 256ull << 20;
MvGopMemory& MvGopMemoryPool();

// Makes the C library keep freed heap memory (up to 32 MiB at the top of each arena) and serve
// requests below 16 MiB from its heaps instead of fresh mappings. Its defaults return free heap
// tops above 128 KiB to the kernel, so the buffers of every loaded or received GOP (extra data,
// per-packet index, accessors) landed on fresh pages again and again; on a virtual machine each
// such page costs about 10 microseconds to fault in. Called once at start-up, before threads.
void MvKeepFreedHeapMemory();
