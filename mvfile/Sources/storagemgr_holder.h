// The prioritised storage I/O threads: a storage request (HSCPriorityHolder) completed through its
// own eventfd, the request queues, and the thread sets serving them, so that block writes are
// strictly serialised and no writer, reader or delivery thread ever blocks on the disk itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <vector>

#include "mvsync.h"

class HSCGop;
class HSCSingleChunk;
class HSCStorageManager;
class tagITGStorageInfo;

// Request codes.
enum : uint32_t {
    HSC_REQ_APPEND = 1,     // append the payload GOP to the block           (Write queue)
    HSC_REQ_READ = 2,       // load GOP `gopNumber` into the payload GOP     (ReadDirect queue)
    HSC_REQ_RESET = 3,      // reset the block to free and save it           (Update queue)
    HSC_REQ_SAVEINFO = 4,   // save the block's info and index (and data copy) (Update queue)
    HSC_REQ_READBULK = 5,   // load the block from `gopNumber` on into the payload list
                            //                                               (ReadBulk queue)
};

// Fixed real-time FIFO priorities of the four threads of a set.
constexpr int HSC_PRIO_UPDATE = 19;
constexpr int HSC_PRIO_WRITE = 18;
constexpr int HSC_PRIO_READBULK = 14;
constexpr int HSC_PRIO_READDIRECT = 13;

// Backlog limits above which each thread logs its overflow message, and the Write thread's
// round length after which it logs a write flood.
constexpr uint32_t HSC_UPDATE_BACKLOG = 256;
constexpr uint32_t HSC_WRITE_BACKLOG = 128;
constexpr uint32_t HSC_READ_BACKLOG = 256;
constexpr uint32_t HSC_WRITE_ROUND = 129;

constexpr size_t HSC_IO_THREAD_STACK = 256 * 1024;
constexpr int HSC_WAIT_ASYNC_MS = 100;

// ---------------------------------------------------------------------------------------------
// One request. Usually lives on the caller's stack for the duration of one call: construct, fill,
// queue it on the block (HSCSingleChunk::AddHolder), Wait (or loop on WaitAsync), read `result`,
// destroy. A request must not be destroyed while it is queued or being served: a caller that
// loops on WaitAsync keeps looping until it returns true.
//
// Event-loop callers (asynchronous bulk reads) allocate the request on the heap, watch GetFD()
// for readability in their own loop and call Wait() once it is readable to consume the count.
class HSCPriorityHolder {
public:
    // Creates the eventfd (semaphore mode, count 0) and counts the request in the process-wide
    // request count. When the eventfd cannot be created it logs "[DBG] Error creating event file
    // descriptor, errno(%d)" and throws std::bad_alloc; callers catch it and fail the operation.
    explicit HSCPriorityHolder(uint32_t requestCode);
    HSCPriorityHolder(const HSCPriorityHolder&) = delete;
    HSCPriorityHolder& operator=(const HSCPriorityHolder&) = delete;
    // Closes the eventfd and uncounts the request.
    virtual ~HSCPriorityHolder();

    // Completion, called once by the serving thread after `result` is set: writes 1 to the
    // eventfd (failure logs "[PTH_EFD] EFD write error %d").
    void SetDone();
    // Blocks until the request is complete and consumes the completion. Retries when interrupted
    // by a signal; another read failure logs "[PTH_EFD] EFD read error %d" and returns false.
    bool Wait();
    // Polls for completion for up to 100 ms: complete -> Wait() and true; timeout -> false;
    // interrupted by a signal -> polls again; other poll error logs "[PTH_EFD] EFD check/read
    // error %d" and returns false.
    bool WaitAsync();

    int GetFD() const { return eventFd; }
    // Typed views of the payload: the GOP of codes 1 and 2, the list of code 5.
    HSCGop* GetGop() const { return static_cast<HSCGop*>(payload); }
    std::vector<HSCGop*>* GetList() const { return static_cast<std::vector<HSCGop*>*>(payload); }

    // Not owned by the request: the GOP to write or to fill (codes 1, 2), or the list of GOP
    // pointers to fill (code 5; the list receives one reference per GOP).
    void* payload = nullptr;
    HSCSingleChunk* block = nullptr;  // set by HSCSingleChunk::AddHolder
    uint32_t code = 0;                // HSC_REQ_*
    uint64_t gopNumber = 0;           // code 2: the GOP to read; code 5: first GOP (0 = block's first)
    uint8_t flagA = 0;                // code 4: save skipped (completes true, nothing written);
                                      // code 2: queue selection
    uint8_t flagB = 1;                // code 2: queue selection
    uint8_t result = 0;               // the operation's result, valid after completion
    int eventFd = -1;                 // eventfd, semaphore mode
};

// Number of requests in existence (constructed and not yet destroyed): the statistics report's
// "LL queue length".
uint64_t HSCPriorityHolderCount();

// ---------------------------------------------------------------------------------------------
// One FIFO of request pointers with a semaphore eventfd whose count equals the number of queued
// requests. The mutex is held only to push or pop one pointer; the eventfd is written and read
// outside it.
class HSCHolderQueue {
public:
    // Creates the eventfd; failure logs "[CHUNK] Priority Manager creation error (%d)" and ends
    // the process with status 1.
    HSCHolderQueue();
    HSCHolderQueue(const HSCHolderQueue&) = delete;
    HSCHolderQueue& operator=(const HSCHolderQueue&) = delete;
    virtual ~HSCHolderQueue();  // closes the eventfd; queued requests are not touched

    // Appends under the mutex, then writes 1 to the eventfd (failure logs "[CHUNK] Catastrophic,
    // EFD write error (%d)").
    void AddHolderCommon(HSCPriorityHolder* holder);
    // Under the mutex: pending = number of queued requests; null when 0, else removes the oldest.
    // After unlocking, when one was removed, reads 8 bytes from the eventfd (failure logs
    // "[CHUNK] Catastrophic, EFD read error (%d)").
    HSCPriorityHolder* GetHolder(uint32_t& pending);

    int GetFD() const { return m_eventFd; }

    MvMutexSync m_sync;
    std::deque<HSCPriorityHolder*> m_queue;
    int m_eventFd = -1;
};

// ---------------------------------------------------------------------------------------------
// A thread set: four queues and the four threads that serve them. The storage manager creates
// READERSLOTS sets per storage (GetThreadForBlockID) and assigns each block to one of them, so
// all requests of one block are served by the threads of one set.
//
// A set stops when the storage manager it was given is terminating or when StopHolderThreads is
// called (tests, orderly teardown). A stopping thread completes every request still in its queue
// with result 0, and a request queued on a stopped set is completed at once with result 0, so
// no waiter is ever left blocked.
class HSCHolderThread {
public:
    // `counters`: the storage's entry in the configuration whose countU/countI/countW/countR the
    // threads increment (null: not counted). `manager`: whose IsTerminating() stops the threads
    // (null: only StopHolderThreads stops them). Neither is owned. Threads are not started here.
    HSCHolderThread(uint16_t storageId, tagITGStorageInfo* counters,
                    const HSCStorageManager* manager);
    HSCHolderThread(const HSCHolderThread&) = delete;
    HSCHolderThread& operator=(const HSCHolderThread&) = delete;
    // Stops and waits for the threads when they were started.
    virtual ~HSCHolderThread();

    // Routes by code: 1 -> Write; 3, 4 -> Update; 5 -> ReadBulk; 2 -> ReadDirect when the GOP
    // number is non-zero or either flag is set. Refused, logged and completed at once with result
    // 0 (return false): any other code ("AddHolder invalid command (%d)"), a code 2 request for
    // GOP 0 with both flags clear (it would reach ReadBulk, which reads its payload as a list),
    // and any request once the set is stopped. True when queued.
    bool AddHolder(HSCPriorityHolder* holder);

    // Pop the oldest request of one queue (see HSCHolderQueue::GetHolder).
    HSCPriorityHolder* GetHolderUpdate(uint32_t& pending) { return m_update.GetHolder(pending); }
    HSCPriorityHolder* GetHolderWrite(uint32_t& pending) { return m_write.GetHolder(pending); }
    HSCPriorityHolder* GetHolderReadBulk(uint32_t& pending) { return m_readBulk.GetHolder(pending); }
    HSCPriorityHolder* GetHolderReadDirect(uint32_t& pending) {
        return m_readDirect.GetHolder(pending);
    }

    // Serve one request of each kind on the calling thread: do the block operation, count it in
    // the storage counters, set the block's last access to now and SetDone. The thread bodies
    // call these; tests may call them directly.
    //   Update:     code 3 ResetChunkDirect (U + 1); code 4 with flag A: result true (I + 1);
    //               code 4 otherwise SaveInfo (U + 1)
    //   Write:      AppendGOP(payload GOP) (W + 1)
    //   ReadBulk:   LoadBulk(payload list, gopNumber) (R + 1)
    //   ReadDirect: LoadGOPDirect(gopNumber, payload GOP), then the GOP's footprint when it has
    //               none (R + 1)
    void ServeUpdate(HSCPriorityHolder* holder);
    void ServeWrite(HSCPriorityHolder* holder);
    void ServeReadBulk(HSCPriorityHolder* holder);
    void ServeReadDirect(HSCPriorityHolder* holder);

    // Starts the four threads detached with 256 KiB stacks; failure logs "[CHUNK] Could not start
    // storage threads (%d)" and returns false (threads already started keep running).
    bool StartHolderThreads();
    // Sets the stop flag, wakes the four threads and waits until every started thread has left
    // its loop. Safe to call more than once and on a set whose threads never started.
    void StopHolderThreads();
    // True when the threads should end: stop flag set or the manager terminating.
    bool IsStopping() const;

    uint16_t GetStorageID() const { return m_storageId; }

    uint16_t m_storageId = 0;
    tagITGStorageInfo* m_counters = nullptr;     // not owned
    const HSCStorageManager* m_manager = nullptr;  // not owned
    HSCHolderQueue m_update;
    HSCHolderQueue m_write;
    HSCHolderQueue m_readBulk;
    HSCHolderQueue m_readDirect;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_running{0};  // threads started and not yet out of their loop
};

// ---------------------------------------------------------------------------------------------
// Thread bodies; the argument is the HSCHolderThread. Each binds itself to its CPU set (Update,
// Write: WRTCPUS; ReadBulk, ReadDirect: SNDCPUS), asks for real-time FIFO scheduling at its
// priority (a refusal logs "[%s] Catastrophic, priority setting error (%d)" with the thread's
// name and is otherwise ignored), then polls its queue's eventfd without timeout and serves:
//   PriorityThreadUpdate      one request per wake-up
//   PriorityThreadWrite       drains the queue, logging "[UPDATER THREAD] Write flood on storage
//                             (%u)(%d)(%u)..." after every 129 requests served in a row
//   PriorityThreadReadBulk    drains the queue
//   PriorityThreadReadDirect  drains the queue
// When stopping they log "[PRIORITY THREAD] Finished handling requests, exiting..." and return.
void* PriorityThreadUpdate(void* threadSet);
void* PriorityThreadWrite(void* threadSet);
void* PriorityThreadReadBulk(void* threadSet);
void* PriorityThreadReadDirect(void* threadSet);
