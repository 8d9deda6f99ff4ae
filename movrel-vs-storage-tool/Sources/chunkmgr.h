// The storage tool's access to a medium: opening it, reading and writing its storage header,
// and reading, checking and resetting one block's info record and index (with an optional
// zero fill of the block's data region). The bytes themselves come from mvstorageformat.
#pragma once

#include <cstdint>

#include "mvstorageformat.h"

// Opens the medium read-write without access-time updates; `create` also creates a missing
// file (mode 0600). No lock is taken. Logs and returns false on failure.
bool MvOpenStorage(int& fd, const char* path, bool create);
// Reads the 48-byte header and tests signature, version and CRC, in that order.
bool MvLoadStorage(int fd, const char* path, HSCStorageInfoV3& header);
// Before formatting: a regular file shorter than `requestedSize` is extended to it (sparsely),
// so every data region lies inside the file; a block device must hold `mediumSize` bytes.
bool MvFitStorage(int fd, const char* path, uint64_t requestedSize, uint64_t mediumSize);
// Seals the header and writes it, with the rest of the 1024-byte header area zeroed.
bool MvUpdateStorage(int fd, const char* path, HSCStorageInfoV3& header);

// One block as the tool sees it (a reduced storage block): 1-based number, info and data
// offsets, its record and index, and the result of its one operation.
class HSCSingleChunk {
public:
    HSCSingleChunk(int fd, uint64_t number, uint64_t dataStart);
    HSCSingleChunk(const HSCSingleChunk&) = delete;
    HSCSingleChunk& operator=(const HSCSingleChunk&) = delete;
    virtual ~HSCSingleChunk() = default;

    // Reads record and index and checks their two CRCs.
    bool Load();
    // Zero-fills the data region when `fill` is set, then writes a free record of `storageId`
    // (marker = block number) and an empty index.
    bool Write(bool fill, uint16_t storageId);

    int m_fd;
    uint64_t m_number;      // 1-based
    uint64_t m_infoOffset;  // 1024 + (number - 1) * 6216
    uint64_t m_dataOffset;  // data start + (number - 1) * 32 MiB
    HSCChunkInfoV3 m_info;
    HSCGopIndexArrayV3 m_index{};
    bool m_result = false;
};

// One block operation: load (read and check) or write (optionally zero-filled). Returns its
// result.
bool MvChunkWorks(int fd, uint64_t number, uint64_t dataStart, bool load, bool fill,
                  uint16_t storageId);
