// MvBuffer: a growable byte buffer that grows in steps of 1 KiB, 32 KiB or 256 KiB
// (never by doubling) and never shrinks except through Clean.
#pragma once

#include <cstdint>
#include <vector>

class MvBuffer {
public:
    MvBuffer() = default;
    MvBuffer(const uint8_t* bytes, int n) { Add(bytes, n); }
    MvBuffer(const MvBuffer&) = delete;
    MvBuffer& operator=(const MvBuffer&) = delete;
    virtual ~MvBuffer();

    void Add(uint8_t byte);
    void Add(const uint8_t* bytes, int n);
    void Add(const MvBuffer* other);
    void Add(const std::vector<uint8_t>* bytes);
    // Removes n bytes at offset (offset + n <= length), copying them to out when given.
    bool Remove(int offset, int n, std::vector<uint8_t>* out);
    // Makes room for n bytes in total; false when memory could not be had.
    bool Allocate(int n);
    void Clean();
    void FreeSpace() { Clean(); }

    uint8_t* GetData() const { return m_data; }
    int GetLength() const { return m_length; }
    int GetCapacity() const { return m_capacity; }

    uint8_t* m_data = nullptr;
    int32_t m_capacity = 0;
    int32_t m_length = 0;
};
