#include "mvbuffer.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "mvlogger.h"

MvBuffer::~MvBuffer() { Clean(); }

bool MvBuffer::Allocate(int n) {
    if (n <= 0) return true;
    int64_t size = n;
    if (size <= 32768)
        size = (size + 1023) / 1024 * 1024;
    else if (size <= 262144)
        size = (size + 32767) / 32768 * 32768;
    else
        size = (size + 262143) / 262144 * 262144;
    if (m_capacity > size) return true;
    if (size > INT32_MAX) {
        MVLOGE("[BUF] Buffer size %lld is out of range", static_cast<long long>(size));
        return false;
    }
    auto* data = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)));
    if (data == nullptr) {
        MVLOGE("[BUF] Could not allocate %lld bytes", static_cast<long long>(size));
        return false;
    }
    if (m_length > 0) memcpy(data, m_data, static_cast<size_t>(m_length));
    free(m_data);
    m_data = data;
    m_capacity = static_cast<int32_t>(size);
    return true;
}

void MvBuffer::Add(uint8_t byte) { Add(&byte, 1); }

void MvBuffer::Add(const uint8_t* bytes, int n) {
    if (bytes == nullptr || n <= 0) return;
    if (static_cast<int64_t>(m_length) + n >= m_capacity) {
        if (static_cast<int64_t>(m_length) + n > INT32_MAX - 262144) return;
        // Appending the buffer's own bytes: they move with the data when it grows.
        const bool own = m_data != nullptr && bytes >= m_data && bytes < m_data + m_length;
        const ptrdiff_t at = own ? bytes - m_data : 0;
        if (!Allocate(m_length + n)) return;
        if (own) bytes = m_data + at;
    }
    memcpy(m_data + m_length, bytes, static_cast<size_t>(n));
    m_length += n;
}

void MvBuffer::Add(const MvBuffer* other) {
    if (other != nullptr) Add(other->m_data, other->m_length);
}

void MvBuffer::Add(const std::vector<uint8_t>* bytes) {
    if (bytes != nullptr && !bytes->empty()) Add(bytes->data(), static_cast<int>(bytes->size()));
}

bool MvBuffer::Remove(int offset, int n, std::vector<uint8_t>* out) {
    if (n <= 0) return true;
    if (offset < 0 || offset > m_length || n > m_length - offset) return false;
    if (out != nullptr) out->assign(m_data + offset, m_data + offset + n);
    memmove(m_data + offset, m_data + offset + n, static_cast<size_t>(m_length - offset - n));
    m_length -= n;
    return true;
}

void MvBuffer::Clean() {
    free(m_data);
    m_data = nullptr;
    m_capacity = 0;
    m_length = 0;
}
