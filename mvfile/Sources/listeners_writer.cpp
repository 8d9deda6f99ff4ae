// The channel writer pair. The front thread serves the producer: it claims the content, makes
// every GOP available in the cache at once, records it in the content's history and queues it
// for the back thread, so that neither the producer nor the cache ever waits for the disk. The
// back thread owns the content's current storage block and appends the GOPs to it, switching
// blocks when one is full or the GOP sequence breaks, so that every block holds one unbroken
// run of GOP numbers and is saved exactly when the writer leaves it.
#include "listeners.h"

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <exception>
#include <new>

#include "cfg.h"
#include "gopcache.h"
#include "mvaffinity.h"
#include "mvcommondata.h"
#include "mvlogger.h"
#include "mvsync.h"
#include "storagemgr.h"

namespace {

constexpr int kFrontPriority = 17;
constexpr int kBackPriority = 16;
constexpr useconds_t kRetryPause = 100 * 1000;  // between attempts to get or start a block
constexpr size_t kOverloadMark = 10;            // queued GOPs above which the back thread warns

bool Verbose() { return ITGGetMainConf()->VERBOSE.load(std::memory_order_relaxed); }

const char* StatusText(const HSCCIDInfo* record) {
    return record->GetWritingStatus() == 1 ? "r/w" : "r/o";
}

// Binds the calling thread to WRTCPUS and asks for FIFO scheduling; a refusal (an unprivileged
// process) is logged and the thread carries on at normal priority.
int Prioritise(int priority) {
    MvAF_UpdateMask(ITGGetCPUSet(ITGCpuSet::WRTCPUS));
    sched_param sp{};
    sp.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
}

// Starts `body` with a stack of `stack` bytes, detached or joinable. 0 or the error code of the
// first attribute call or of the start that failed.
int StartThread(void* (*body)(void*), void* arg, size_t stack, bool detached, pthread_t* out) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setstacksize(&attr, stack);
    if (rc == 0)
        rc = pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED
                                                         : PTHREAD_CREATE_JOINABLE);
    pthread_t tid;
    if (rc == 0) rc = pthread_create(&tid, &attr, body, arg);
    pthread_attr_destroy(&attr);
    if (rc == 0 && out != nullptr) *out = tid;
    return rc;
}

// Writes one count to a semaphore eventfd; errno of a failure, else 0.
int Signal(int fd) {
    const uint64_t one = 1;
    for (;;) {
        if (write(fd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) return 0;
        if (errno != EINTR) return errno;
    }
}

// Takes one count from a semaphore eventfd, blocking; errno of a failure, else 0.
int Consume(int fd) {
    uint64_t value = 0;
    for (;;) {
        if (read(fd, &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value))) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

// Shared by the two threads of one content; owned by the front thread.
struct HSCWriterContext {
    MvMutexSync sync;                 // guards queue
    std::deque<HSCGop*> queue;        // oldest first; a null entry means "stop"
    int eventFd = -1;                 // semaphore mode: one count per queued entry
    HSCStorageManager* manager = nullptr;
    HSCCIDInfo* record = nullptr;
    uint16_t storageId = 0;
    tagMvCID cid = 0;
    pthread_t back{};
    bool backStarted = false;
    // Set by the stop sequence before it queues the stop entry: a back thread that cannot get a
    // block then gives up instead of retrying for ever, so the stop never hangs.
    std::atomic<bool> stopping{false};

    bool GivingUp() const {
        return manager->IsTerminating() || stopping.load(std::memory_order_acquire);
    }
};

namespace {

struct FrontParams {
    ITCTC* control = nullptr;
    HSCWriterSetup setup;
};

// Returns a block that was taken for the writer but could not be started to its storage's
// free pool, where the next writer finds it.
void GiveBack(HSCWriterContext& ctx, HSCSingleChunk* block) {
    HSCCIDInfo* pool = ctx.manager->GetCIDInfoS(HSCFreePoolCID(block->GetStorageID()),
                                                block->GetStorageID(), false, true);
    if (pool != nullptr) pool->StartChunk(block->GetBlockID());
}

// A block for the back thread, retried every 100 ms until it is started. Null when the manager
// terminates, or when the writer is stopping and no block can be had.
HSCSingleChunk* AcquireBlock(HSCWriterContext& ctx) {
    HSCStorageManager* mgr = ctx.manager;
    HSCSingleChunk* block = nullptr;
    for (uint32_t attempt = 2;; ++attempt) {
        if (mgr->IsTerminating()) return nullptr;
        block = mgr->GetFreeChunk(ctx.record, ctx.storageId);
        if (block != nullptr) break;
        if (ctx.GivingUp()) return nullptr;
        if (Verbose())
            MVLOGW("[FM] " MV_CID_FMT " no free blocks on storage(%u), attempt(%u)",
                   MV_CID_ARGS(ctx.cid), ctx.storageId, attempt);
        usleep(kRetryPause);
    }
    for (uint32_t attempt = 2;; ++attempt) {
        if (mgr->StartChunk(ctx.record, block)) return block;
        if (ctx.GivingUp()) {
            if (!mgr->IsTerminating()) GiveBack(ctx, block);
            return nullptr;
        }
        if (Verbose())
            MVLOGW("[FM] " MV_CID_FMT " unable to start free chunk(%u) on storage(%u), attempt(%u)",
                   MV_CID_ARGS(ctx.cid), static_cast<unsigned>(block->GetBlockID()),
                   ctx.storageId, attempt);
        usleep(kRetryPause);
    }
}

// The next queued GOP (the queue's reference passes to the caller). Null when the back thread
// must end: the stop entry, or a wake-up that found the queue empty.
HSCGop* TakeQueued(HSCWriterContext& ctx) {
    if (const int err = Consume(ctx.eventFd); err != 0)
        MVLOGE("[FM] Writer thread event error/R: %d", err);
    HSCGop* gop = nullptr;
    size_t queued = 0;
    {
        MvSyncGuard guard(ctx.sync);
        queued = ctx.queue.size();
        if (queued != 0) {
            gop = ctx.queue.front();
            ctx.queue.pop_front();
        }
    }
    if (queued == 0) {
        MVLOGE("[FM] Bogus, there is no GOP after event signaling");
        return nullptr;
    }
    if (queued > kOverloadMark)
        MVLOGW("[FM] " MV_CID_FMT " writer queue is overloaded by (%u) GOPS", MV_CID_ARGS(ctx.cid),
               static_cast<unsigned>(queued));
    return gop;
}

// The back thread's loop. `block` and `pending` are the caller's so that whatever this leaves
// behind (also through an exception) is saved or released by the caller.
void BackLoop(HSCWriterContext& ctx, HSCSingleChunk*& block, HSCGop*& pending) {
    HSCStorageManager* mgr = ctx.manager;
    uint64_t lastSaved = 0;  // 0: nothing saved in the current run
    for (;;) {
        if (block == nullptr) {
            block = AcquireBlock(ctx);
            if (block == nullptr) return;
        }
        if (pending == nullptr) {
            pending = TakeQueued(ctx);
            if (pending == nullptr) return;
        }
        const uint64_t number = pending->gopId;

        // A block holds one unbroken run of GOP numbers: a gap or a step back closes it.
        if (lastSaved != 0 && number != lastSaved + 1) {
            MVLOGW("[FM] " MV_CID_FMT " sequence mismatch OLD(%u)/NEW(%u) on storage (%u)",
                   MV_CID_ARGS(ctx.cid), static_cast<unsigned>(lastSaved),
                   static_cast<unsigned>(number), ctx.storageId);
            mgr->StopChunk(block);
            block = nullptr;
            const uint64_t old = lastSaved;
            lastSaved = 0;
            if (number <= old) {
                pending->Release();
                pending = nullptr;
            }
            continue;
        }

        if (mgr->AppendGOP(ctx.record, block, pending)) {
            ctx.record->m_diskSave.fetch_add(1, std::memory_order_relaxed);
            if (Verbose())
                MVLOGI("[FM] " MV_CID_FMT " saved GOP(%u), lock count(%d)", MV_CID_ARGS(ctx.cid),
                       static_cast<unsigned>(number), pending->refCount.load());
            lastSaved = number;
            pending->Release();
            pending = nullptr;
            continue;
        }
        if (mgr->IsTerminating()) return;
        if (block->GetGOPCount() == 0) {
            // Not even an empty block takes it (a record above the block size, or a medium
            // refusing writes): a new block would fail the same way and only recycle recorded
            // data. The GOP is dropped and the empty block starts a new run.
            MVLOGE("[FM] " MV_CID_FMT " GOP(%u) could not be stored on empty chunk(%u), storage(%u):"
                   " dropped",
                   MV_CID_ARGS(ctx.cid), static_cast<unsigned>(number),
                   static_cast<unsigned>(block->GetBlockID()), ctx.storageId);
            pending->Release();
            pending = nullptr;
            lastSaved = 0;
            continue;
        }
        if (Verbose())
            MVLOGI("[FM] " MV_CID_FMT " could not append GOP(%u) on storage(%u), attempt(%u)",
                   MV_CID_ARGS(ctx.cid), static_cast<unsigned>(number), ctx.storageId, 1u);
        mgr->StopChunk(block);
        block = nullptr;
    }
}

// One GOP from the producer: the front thread takes the first reference, which either passes to
// the back thread with the queue entry or is dropped here.
void FrontTakeGop(HSCWriterContext& ctx, HSCGop* gop) {
    gop->AddRef();
    try {
        gop->extraData.Clean();  // the block rebuilds it from the fields below
        gop->cid = ctx.cid;
        if (gop->accessorVersion == 1) gop->MvBuildAccessors();
        ITGAddGopAdv(ctx.cid, gop, false);
        if (!ctx.manager->PreAppendGOP(ctx.record, gop)) {
            // Older than the content's newest GOP: it stays only in the cache (if it took it).
            gop->Release();
            return;
        }
        ctx.record->ClaimWriting();  // 0 -> 1 when something had cleared it
        if (Verbose())
            MVLOGI("[FM] " MV_CID_FMT " saving GOP(%u) / sizes (%u)/(%u), PTS(%u)",
                   MV_CID_ARGS(ctx.cid), static_cast<unsigned>(gop->gopId), gop->dataSize,
                   static_cast<unsigned>(gop->footprint), static_cast<unsigned>(gop->pts));
        {
            MvSyncGuard guard(ctx.sync);
            ctx.queue.push_back(gop);
        }
    } catch (...) {
        gop->Release();
        throw;
    }
    if (const int err = Signal(ctx.eventFd); err != 0)
        MVLOGE("[FM] Writer thread event error/W: %d", err);
}

// Ends the back thread, releases what it left queued, destroys the context and frees the
// content. The final reply is the last thing that touches `control`; `record` and the manager
// are not touched after it either.
void FrontStop(ITCTC* control, HSCWriterContext* ctx) {
    HSCCIDInfo* record = ctx->record;
    const tagMvCID cid = ctx->cid;
    const uint16_t storageId = ctx->storageId;
    MVLOGI("[FM] " MV_CID_FMT " starting termination sequence, storage (%u), status(%s)",
           MV_CID_ARGS(cid), storageId, StatusText(record));
    if (ctx->backStarted) {
        ctx->stopping.store(true, std::memory_order_release);
        try {
            MvSyncGuard guard(ctx->sync);
            ctx->queue.push_back(nullptr);
        } catch (const std::bad_alloc&) {
            // Without the stop entry the wake-up below finds no entry at the end of the queue,
            // which ends the back thread as well.
        }
        if (const int err = Signal(ctx->eventFd); err != 0)
            MVLOGE("[FM] Writer thread event error/W: %d", err);
        pthread_join(ctx->back, nullptr);
    }
    for (HSCGop* gop : ctx->queue)
        if (gop != nullptr) gop->Release();
    ctx->queue.clear();
    if (ctx->eventFd >= 0) close(ctx->eventFd);
    delete ctx;

    record->ReleaseWriting();
    MVLOGI("[FM] " MV_CID_FMT " released writing status, storage(%u)", MV_CID_ARGS(cid),
           storageId);
    const char* status = StatusText(record);
    control->m_reply->Push(0, nullptr);
    MVLOGI("[FM] " MV_CID_FMT " stopping writing, storage (%u), status(%s)", MV_CID_ARGS(cid),
           storageId, status);
}

void* FrontThread(ITCTC* control, const HSCWriterSetup& setup) {
    if (const int rc = Prioritise(kFrontPriority); rc != 0)
        MVLOGE("[%s] Catastrophic, priority setting error (%d)", "HSCWriterThreadFM", rc);

    uint64_t cidValue = 0, storageValue = 0;
    void* ignored = nullptr;
    if (!control->m_request->Pop(cidValue, ignored) ||
        !control->m_request->Pop(storageValue, ignored)) {
        control->m_reply->Push(0, nullptr);
        return nullptr;
    }
    const tagMvCID cid = cidValue;
    const uint16_t storageId = static_cast<uint16_t>(storageValue & 0xFFFF);
    HSCStorageManager* mgr = setup.manager != nullptr ? setup.manager : HSCGetChunkManager();
    HSCCIDInfo* record = mgr != nullptr ? mgr->GetCIDInfoS(cid, storageId, true, true) : nullptr;
    if (record == nullptr) {
        control->m_reply->Push(0, nullptr);
        MVLOGI("[FM] " MV_CID_FMT " error starting channel on storage(%u), probably channel is "
               "still in use",
               MV_CID_ARGS(cid), storageId);
        return nullptr;
    }

    HSCWriterContext* ctx = new (std::nothrow) HSCWriterContext();
    if (ctx != nullptr) {
        ctx->manager = mgr;
        ctx->record = record;
        ctx->storageId = storageId;
        ctx->cid = cid;
        ctx->eventFd = eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
        if (ctx->eventFd < 0) {
            MVLOGE("[WRT] New WRTX event creation error %d", errno);
        } else {
            const int rc = StartThread(HSCWriterThreadFMX, ctx, setup.backStackSize, false,
                                       &ctx->back);
            if (rc != 0)
                MVLOGE("[WRT] New WRTX creation error %d", rc);
            else
                ctx->backStarted = true;
        }
    }
    if (ctx == nullptr || !ctx->backStarted) {
        // Without a back thread nothing would ever be written: the content is refused and left
        // free for another writer.
        if (ctx != nullptr) {
            if (ctx->eventFd >= 0) close(ctx->eventFd);
            delete ctx;
        }
        record->ReleaseWriting();
        control->m_reply->Push(0, nullptr);
        MVLOGI("[FM] " MV_CID_FMT " error starting channel on storage(%u), no writer thread",
               MV_CID_ARGS(cid), storageId);
        return nullptr;
    }
    control->m_reply->Push(0, record);

    for (;;) {
        if (mgr->IsTerminating()) break;
        // Polled so that a terminating manager is noticed while the producer is silent.
        if (!control->m_request->PopCheck()) continue;
        uint64_t command = 0;
        void* pointer = nullptr;
        if (!control->m_request->Pop(command, pointer)) break;  // broken queue: logged by Pop
        HSCGop* gop = static_cast<HSCGop*>(pointer);
        if (gop == nullptr) {
            MVLOGI("[FM] " MV_CID_FMT " thread termination request received, storage(%u)",
                   MV_CID_ARGS(cid), storageId);
            break;
        }
        try {
            FrontTakeGop(*ctx, gop);
        } catch (...) {
            MVLOGI("[FM] Exception in writer thread");
            break;
        }
    }
    FrontStop(control, ctx);
    return nullptr;
}

void* FrontTrampoline(void* arg) {
    FrontParams* params = static_cast<FrontParams*>(arg);
    ITCTC* control = params->control;
    const HSCWriterSetup setup = params->setup;
    delete params;
    return FrontThread(control, setup);
}

}  // namespace

bool HSCStartWriterThread(ITCTC* control) {
    const int rc = StartThread(HSCWriterThreadFM, control, HSC_WRITER_STACK, true, nullptr);
    if (rc != 0) MVLOGE("[WRT] New FMWT creation error %d", rc);
    return rc == 0;
}

bool HSCStartWriterThreadWith(ITCTC* control, const HSCWriterSetup& setup) {
    FrontParams* params = new (std::nothrow) FrontParams{control, setup};
    if (params == nullptr) {
        MVLOGE("[WRT] New FMWT creation error %d", ENOMEM);
        return false;
    }
    const int rc = StartThread(FrontTrampoline, params, HSC_WRITER_STACK, true, nullptr);
    if (rc != 0) {
        MVLOGE("[WRT] New FMWT creation error %d", rc);
        delete params;
    }
    return rc == 0;
}

void* HSCWriterThreadFM(void* control) {
    return FrontThread(static_cast<ITCTC*>(control), HSCWriterSetup{});
}

void* HSCWriterThreadFMX(void* context) {
    HSCWriterContext& ctx = *static_cast<HSCWriterContext*>(context);
    if (const int rc = Prioritise(kBackPriority); rc != 0)
        MVLOGE("[%s] Catastrophic, priority setting error (%u)", "HSCWriterThreadFMX",
               static_cast<unsigned>(rc));
    MVLOGI("[FM] " MV_CID_FMT " starting writing to storage(%u)", MV_CID_ARGS(ctx.cid),
           ctx.storageId);
    HSCSingleChunk* block = nullptr;
    HSCGop* pending = nullptr;
    try {
        BackLoop(ctx, block, pending);
    } catch (...) {
        MVLOGE("[FM] Exception in writer/X thread");
    }
    if (pending != nullptr) pending->Release();
    if (block != nullptr) ctx.manager->StopChunk(block);
    return nullptr;
}
