// Channel writers: the front thread takes GOPs from a producer (live segmenter or VOD
// ingest) over an ITCTC pair, caches them and records them in the content's history; the
// back thread appends them block by block to storage.
#pragma once

#include <cstddef>

#include "itg-threadcontrol.h"

class HSCStorageManager;

// Producer protocol over the ITCTC (each item a (u64 command, pointer) pair):
//   request: (content id, -) then (storage id, -)
//   reply:   (0, HSCCIDInfo* or null)   null: another writer already records the content, or
//                                       the writer could not start its back thread
//   request: (any, HSCGop*) per GOP, in GOP-number order, without a reference kept
//   request: (any, null)                stop
//   reply:   (0, null)                  stopped, the content released
// After the null record the writer has ended: no GOP and no stop request may follow. The
// writer also stops by itself (and sends the final reply) once the storage manager terminates.
// Starts HSCWriterThreadFM detached with a 256 KiB stack; false when it could not be started.
bool HSCStartWriterThread(ITCTC* control);
void* HSCWriterThreadFM(void* control);   // front thread, argument: ITCTC*
void* HSCWriterThreadFMX(void* context);  // back thread, argument: its writer context

// Stack size of each writer thread.
constexpr size_t HSC_WRITER_STACK = 256 * 1024;

// What a writer pair works with. The server's writers use the process-wide storage manager;
// tests hand their own manager (which must outlive the writer) and may give the back thread a
// stack it cannot be started with.
struct HSCWriterSetup {
    HSCStorageManager* manager = nullptr;     // null: HSCGetChunkManager()
    size_t backStackSize = HSC_WRITER_STACK;  // stack of the back thread
};
// Starts a front thread with this setup, detached with a 256 KiB stack; the protocol is the one
// above. False (logged as for HSCStartWriterThread) when it could not be started.
bool HSCStartWriterThreadWith(ITCTC* control, const HSCWriterSetup& setup);
