// Storage requests and the four prioritised I/O threads of a thread set: Update (reset, save),
// Write (append), ReadBulk (whole block) and ReadDirect (one GOP), each fed by its own FIFO and
// semaphore eventfd, so that writes to a block are serialised and waiters block only on their
// own request's eventfd.
#include "storagemgr_holder.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "cfg.h"
#include "mvaffinity.h"
#include "mvlogger.h"
#include "storagemgr.h"
#include "storagemgr_block.h"

namespace {

std::atomic<uint64_t> g_holderCount{0};

bool Verbose() { return ITGGetMainConf()->VERBOSE.load(std::memory_order_relaxed); }

void Count(tagITGStorageInfo* counters, std::atomic<uint64_t> tagITGStorageInfo::*field) {
    if (counters != nullptr) (counters->*field).fetch_add(1, std::memory_order_relaxed);
}

// Completes a request that will not be served.
void Refuse(HSCPriorityHolder* holder) {
    holder->result = 0;
    holder->SetDone();
}

}  // namespace

uint64_t HSCPriorityHolderCount() { return g_holderCount.load(std::memory_order_relaxed); }

// ---- one request ----

HSCPriorityHolder::HSCPriorityHolder(uint32_t requestCode) : code(requestCode) {
    eventFd = eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
    if (eventFd < 0) {
        MVLOGE("[DBG] Error creating event file descriptor, errno(%d)", errno);
        throw std::bad_alloc();
    }
    g_holderCount.fetch_add(1, std::memory_order_relaxed);
}

HSCPriorityHolder::~HSCPriorityHolder() {
    if (eventFd >= 0) close(eventFd);
    g_holderCount.fetch_sub(1, std::memory_order_relaxed);
}

void HSCPriorityHolder::SetDone() {
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = write(eventFd, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(sizeof(one))) MVLOGE("[PTH_EFD] EFD write error %d", errno);
}

bool HSCPriorityHolder::Wait() {
    uint64_t value = 0;
    ssize_t r;
    do {
        r = read(eventFd, &value, sizeof(value));
    } while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(sizeof(value))) {
        MVLOGE("[PTH_EFD] EFD read error %d", errno);
        return false;
    }
    return true;
}

bool HSCPriorityHolder::WaitAsync() {
    pollfd p{eventFd, POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, HSC_WAIT_ASYNC_MS);
        if (r > 0) {
            if ((p.revents & POLLIN) == 0) return false;
            return Wait();
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        MVLOGE("[PTH_EFD] EFD check/read error %d", errno);
        return false;
    }
}

// ---- request queue ----

HSCHolderQueue::HSCHolderQueue() {
    m_eventFd = eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
    if (m_eventFd < 0) {
        MVLOGE("[CHUNK] Priority Manager creation error (%d)", errno);
        exit(1);
    }
}

HSCHolderQueue::~HSCHolderQueue() {
    if (m_eventFd >= 0) close(m_eventFd);
}

void HSCHolderQueue::AddHolderCommon(HSCPriorityHolder* holder) {
    {
        MvSyncGuard g(m_sync);
        m_queue.push_back(holder);
    }
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = write(m_eventFd, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(sizeof(one)))
        MVLOGE("[CHUNK] Catastrophic, EFD write error (%d)", errno);
}

HSCPriorityHolder* HSCHolderQueue::GetHolder(uint32_t& pending) {
    HSCPriorityHolder* holder = nullptr;
    {
        MvSyncGuard g(m_sync);
        pending = static_cast<uint32_t>(m_queue.size());
        if (pending == 0) return nullptr;
        holder = m_queue.front();
        m_queue.pop_front();
    }
    // One count per queued request; the producer may still be about to write its count, in
    // which case this read waits for it.
    uint64_t value = 0;
    ssize_t r;
    do {
        r = read(m_eventFd, &value, sizeof(value));
    } while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(sizeof(value)))
        MVLOGE("[CHUNK] Catastrophic, EFD read error (%d)", errno);
    return holder;
}

// ---- thread set ----

HSCHolderThread::HSCHolderThread(uint16_t storageId, tagITGStorageInfo* counters,
                                 const HSCStorageManager* manager)
    : m_storageId(storageId), m_counters(counters), m_manager(manager) {}

HSCHolderThread::~HSCHolderThread() { StopHolderThreads(); }

// The manager is only asked for its terminating flag; the dynamic-type check of the sanitizer
// build is left out here so that a thread set does not need the manager's type information
// (tests build sets without any manager).
__attribute__((no_sanitize("vptr"))) static bool ManagerTerminating(const HSCStorageManager* m) {
    return m != nullptr && m->IsTerminating();
}

bool HSCHolderThread::IsStopping() const {
    return m_stop.load(std::memory_order_acquire) || ManagerTerminating(m_manager);
}

// The stop flag and every push are ordered by the Update queue's mutex (taken before any other
// queue's mutex, never after): once a thread has seen the flag set, no request can still arrive
// behind its final drain.
static MvMutexSync& StopGuard(HSCHolderThread* set) { return set->m_update.m_sync; }

bool HSCHolderThread::AddHolder(HSCPriorityHolder* holder) {
    if (holder == nullptr) return false;
    HSCHolderQueue* queue = nullptr;
    switch (holder->code) {
        case HSC_REQ_APPEND:
            queue = &m_write;
            break;
        case HSC_REQ_RESET:
        case HSC_REQ_SAVEINFO:
            queue = &m_update;
            break;
        case HSC_REQ_READBULK:
            queue = &m_readBulk;
            break;
        case HSC_REQ_READ:
            if (holder->gopNumber != 0 || holder->flagA != 0 || holder->flagB != 0) {
                queue = &m_readDirect;
            } else {
                // It would reach the bulk reader, which takes its payload for a list.
                MVLOGE("[CHUNK] AddHolder refused: read of GOP 0 without a queue flag");
                Refuse(holder);
                return false;
            }
            break;
        default:
            MVLOGE("AddHolder invalid command (%d)", static_cast<int>(holder->code));
            Refuse(holder);
            return false;
    }
    {
        MvSyncGuard g(StopGuard(this));
        if (!IsStopping()) {
            if (queue == &m_update) {
                m_update.m_queue.push_back(holder);
            } else {
                queue->AddHolderCommon(holder);
                return true;
            }
        } else {
            queue = nullptr;
        }
    }
    if (queue == nullptr) {
        Refuse(holder);
        return false;
    }
    // The Update request was pushed under the guard (which is its own queue mutex); its count
    // is written now, outside the lock, as AddHolderCommon does.
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = write(m_update.m_eventFd, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(sizeof(one)))
        MVLOGE("[CHUNK] Catastrophic, EFD write error (%d)", errno);
    return true;
}

void HSCHolderThread::ServeUpdate(HSCPriorityHolder* holder) {
    HSCSingleChunk* block = holder->block;
    bool result = false;
    try {
        if (block != nullptr) {
            if (holder->code == HSC_REQ_RESET) {
                if (Verbose()) {
                    const tagMvCID cid = block->GetContentID();
                    MVLOGW("[DBG] " MV_CID_FMT " resetting block(%u) on storage(%u)",
                           MV_CID_ARGS(cid), static_cast<unsigned>(block->GetBlockID()),
                           static_cast<unsigned>(m_storageId));
                }
                result = block->ResetChunkDirect();
                Count(m_counters, &tagITGStorageInfo::countU);
            } else if (holder->code == HSC_REQ_SAVEINFO && holder->flagA != 0) {
                result = true;
                Count(m_counters, &tagITGStorageInfo::countI);
            } else if (holder->code == HSC_REQ_SAVEINFO) {
                result = block->SaveInfo();
                Count(m_counters, &tagITGStorageInfo::countU);
            }
        }
    } catch (...) {
        result = false;
    }
    holder->result = result ? 1 : 0;
    if (block != nullptr) block->UpdateLastAccess();
    holder->SetDone();
}

namespace {

// Runs one request's operation (an exception counts as failure), counts it in `after` when that
// is given, stores its result, marks the block's last access and completes the request.
template <typename Op>
void Complete(HSCPriorityHolder* holder, Op&& op, tagITGStorageInfo* counters = nullptr,
              std::atomic<uint64_t> tagITGStorageInfo::*after = nullptr) {
    HSCSingleChunk* block = holder->block;
    bool result = false;
    try {
        if (block != nullptr) result = op(block);
    } catch (...) {
        result = false;
    }
    if (after != nullptr) Count(counters, after);
    holder->result = result ? 1 : 0;
    if (block != nullptr) block->UpdateLastAccess();
    holder->SetDone();
}

}  // namespace

void HSCHolderThread::ServeWrite(HSCPriorityHolder* holder) {
    Count(m_counters, &tagITGStorageInfo::countW);
    Complete(holder, [&](HSCSingleChunk* block) { return block->AppendGOP(holder->GetGop()); });
}

void HSCHolderThread::ServeReadBulk(HSCPriorityHolder* holder) {
    Complete(
        holder,
        [&](HSCSingleChunk* block) {
            return holder->GetList() != nullptr &&
                   block->LoadBulk(*holder->GetList(), holder->gopNumber);
        },
        m_counters, &tagITGStorageInfo::countR);
}

void HSCHolderThread::ServeReadDirect(HSCPriorityHolder* holder) {
    // LoadGOPDirect stores the loaded GOP's footprint itself.
    Complete(
        holder,
        [&](HSCSingleChunk* block) { return block->LoadGOPDirect(holder->gopNumber, holder->GetGop()); },
        m_counters, &tagITGStorageInfo::countR);
}

// ---- threads ----

namespace {

enum class Kind { Update, Write, ReadBulk, ReadDirect };

struct KindInfo {
    const char* name;
    int priority;
    ITGCpuSet cpus;
};

KindInfo InfoOf(Kind kind) {
    switch (kind) {
        case Kind::Update: return {"PriorityThreadUpdate", HSC_PRIO_UPDATE, ITGCpuSet::WRTCPUS};
        case Kind::Write: return {"PriorityThreadWrite", HSC_PRIO_WRITE, ITGCpuSet::WRTCPUS};
        case Kind::ReadBulk:
            return {"PriorityThreadReadBulk", HSC_PRIO_READBULK, ITGCpuSet::SNDCPUS};
        case Kind::ReadDirect:
            return {"PriorityThreadReadDirect", HSC_PRIO_READDIRECT, ITGCpuSet::SNDCPUS};
    }
    return {"PriorityThread", 0, ITGCpuSet::GENCPUS};
}

HSCHolderQueue& QueueOf(HSCHolderThread* set, Kind kind) {
    switch (kind) {
        case Kind::Update: return set->m_update;
        case Kind::Write: return set->m_write;
        case Kind::ReadBulk: return set->m_readBulk;
        case Kind::ReadDirect: break;
    }
    return set->m_readDirect;
}

// Closes the set to new requests (when the manager stopped it) and completes everything still
// queued with result 0, so that no waiter is left blocked.
void DrainOnStop(HSCHolderThread* set, HSCHolderQueue& queue) {
    {
        MvSyncGuard g(StopGuard(set));
        set->m_stop.store(true, std::memory_order_release);
    }
    for (;;) {
        HSCPriorityHolder* h = nullptr;
        {
            MvSyncGuard g(queue.m_sync);
            if (queue.m_queue.empty()) break;
            h = queue.m_queue.front();
            queue.m_queue.pop_front();
        }
        Refuse(h);
    }
}

void ServeWakeUp(HSCHolderThread* set, Kind kind) {
    uint32_t pending = 0;
    switch (kind) {
        case Kind::Update: {
            HSCPriorityHolder* h = set->GetHolderUpdate(pending);
            if (pending > HSC_UPDATE_BACKLOG)
                MVLOGE("[DBG] Data state updater overflow, queued (%u) operations", pending);
            if (h != nullptr) set->ServeUpdate(h);
            return;
        }
        case Kind::Write: {
            uint32_t served = 0;
            int rounds = 0;
            while (!set->IsStopping()) {
                HSCPriorityHolder* h = set->GetHolderWrite(pending);
                if (h == nullptr) break;
                if (pending > HSC_WRITE_BACKLOG)
                    MVLOGE("[DBG] Block writer overflow, queued (%u) GOPs to write", pending);
                set->ServeWrite(h);
                if (++served == HSC_WRITE_ROUND) {
                    MVLOGE("[UPDATER THREAD] Write flood on storage (%u)(%d)(%u)...",
                           static_cast<unsigned>(set->GetStorageID()), rounds, pending);
                    ++rounds;
                    served = 0;
                }
            }
            return;
        }
        case Kind::ReadBulk:
            while (!set->IsStopping()) {
                HSCPriorityHolder* h = set->GetHolderReadBulk(pending);
                if (h == nullptr) break;
                if (pending > HSC_READ_BACKLOG)
                    MVLOGW("[DBG] Block reader overflow, queued (%u) blocks to read", pending);
                set->ServeReadBulk(h);
            }
            return;
        case Kind::ReadDirect:
            while (!set->IsStopping()) {
                HSCPriorityHolder* h = set->GetHolderReadDirect(pending);
                if (h == nullptr) break;
                if (pending > HSC_READ_BACKLOG)
                    MVLOGW("[DBG] Block reader overflow, queued (%u) GOPs to read", pending);
                set->ServeReadDirect(h);
            }
            return;
    }
}

void* RunThread(HSCHolderThread* set, Kind kind) {
    const KindInfo info = InfoOf(kind);
    MvAF_UpdateMask(ITGGetCPUSet(info.cpus));
    sched_param sp{};
    sp.sched_priority = info.priority;
    const int pr = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    if (pr != 0) MVLOGE("[%s] Catastrophic, priority setting error (%d)", info.name, pr);

    HSCHolderQueue& queue = QueueOf(set, kind);
    for (;;) {
        if (set->IsStopping()) {
            DrainOnStop(set, queue);
            MVLOGI("[PRIORITY THREAD] Finished handling requests, exiting...");
            set->m_running.fetch_sub(1, std::memory_order_acq_rel);
            return nullptr;
        }
        pollfd p{queue.GetFD(), POLLIN, 0};
        const int r = poll(&p, 1, -1);
        if (r < 0) {
            if (errno != EINTR) MVLOGE("[CHUNK] Catastrophic, poll error (%d)", errno);
            continue;
        }
        if ((p.revents & POLLIN) == 0) continue;
        if (set->IsStopping()) continue;
        ServeWakeUp(set, kind);
    }
}

}  // namespace

void* PriorityThreadUpdate(void* threadSet) {
    return RunThread(static_cast<HSCHolderThread*>(threadSet), Kind::Update);
}
void* PriorityThreadWrite(void* threadSet) {
    return RunThread(static_cast<HSCHolderThread*>(threadSet), Kind::Write);
}
void* PriorityThreadReadBulk(void* threadSet) {
    return RunThread(static_cast<HSCHolderThread*>(threadSet), Kind::ReadBulk);
}
void* PriorityThreadReadDirect(void* threadSet) {
    return RunThread(static_cast<HSCHolderThread*>(threadSet), Kind::ReadDirect);
}

bool HSCHolderThread::StartHolderThreads() {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) rc = pthread_attr_setstacksize(&attr, HSC_IO_THREAD_STACK);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc != 0) {
        MVLOGE("[CHUNK] Could not start storage threads (%d)", rc);
        pthread_attr_destroy(&attr);
        return false;
    }
    void* (*const bodies[])(void*) = {PriorityThreadUpdate, PriorityThreadWrite,
                                      PriorityThreadReadBulk, PriorityThreadReadDirect};
    bool ok = true;
    for (auto* body : bodies) {
        m_running.fetch_add(1, std::memory_order_acq_rel);
        pthread_t tid;
        rc = pthread_create(&tid, &attr, body, this);
        if (rc != 0) {
            m_running.fetch_sub(1, std::memory_order_acq_rel);
            MVLOGE("[CHUNK] Could not start storage threads (%d)", rc);
            ok = false;
            break;
        }
    }
    pthread_attr_destroy(&attr);
    return ok;
}

void HSCHolderThread::StopHolderThreads() {
    {
        MvSyncGuard g(StopGuard(this));
        m_stop.store(true, std::memory_order_release);
    }
    // Wake the four threads: an extra count on each queue's eventfd. A stopping thread no longer
    // pairs counts with requests, so the surplus is harmless.
    const uint64_t one = 1;
    for (HSCHolderQueue* q : {&m_update, &m_write, &m_readBulk, &m_readDirect}) {
        const ssize_t w = write(q->m_eventFd, &one, sizeof(one));
        (void)w;
    }
    while (m_running.load(std::memory_order_acquire) > 0) usleep(1000);
    // Requests queued on a set whose threads never ran are completed here.
    for (HSCHolderQueue* q : {&m_update, &m_write, &m_readBulk, &m_readDirect}) {
        for (;;) {
            HSCPriorityHolder* h = nullptr;
            {
                MvSyncGuard g(q->m_sync);
                if (q->m_queue.empty()) break;
                h = q->m_queue.front();
                q->m_queue.pop_front();
            }
            Refuse(h);
        }
    }
}
