// ITGThreadControl: a one-producer, one-consumer queue of (command, pointer) items carried
// over an anonymous pipe, so the consumer can block in Pop or wait with PopCheck.
// ITCTC: the pair of queues handed to a worker thread (replies out, requests in).
#pragma once

#include <atomic>
#include <cstdint>

class ITGThreadControl {
public:
    // Tag 1 marks a reply queue, tag 2 a request queue; the queue itself ignores it.
    explicit ITGThreadControl(int32_t tag);
    ITGThreadControl(const ITGThreadControl&) = delete;
    ITGThreadControl& operator=(const ITGThreadControl&) = delete;
    virtual ~ITGThreadControl();

    // Queues one item; the pointed-to object now belongs to the consumer. False when the
    // item could not be written whole.
    virtual bool Push(uint64_t command, void* pointer);
    // Blocks until an item arrives. False (command 0, pointer null) when no whole item
    // could be read.
    virtual bool Pop(uint64_t& command, void*& pointer);
    // Waits at most 100 ms for an item: true when one is waiting.
    virtual bool PopCheck();
    virtual int32_t GetCount();

    // Bytes of one item on the pipe: command, then pointer, each 8 bytes in host order.
    static constexpr int kItemSize = 16;

    int32_t m_tag;
    std::atomic<int32_t> m_count{0};
    int m_readFd = -1;
    int m_writeFd = -1;
};

// A worker's queue pair: the worker pushes on m_reply (tag 1) and pops m_request (tag 2).
class ITCTC {
public:
    ITCTC();
    ITCTC(const ITCTC&) = delete;
    ITCTC& operator=(const ITCTC&) = delete;
    virtual ~ITCTC();

    ITGThreadControl* m_reply;
    ITGThreadControl* m_request;
};
