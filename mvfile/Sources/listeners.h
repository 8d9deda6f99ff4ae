// Channel writers: the front thread takes GOPs from a producer (live segmenter or VOD
// ingest) over an ITCTC pair, caches them and records them in the content's history; the
// back thread appends them block by block to storage.
#pragma once

#include "itg-threadcontrol.h"

// Producer protocol over the ITCTC (each item a (u64 command, pointer) pair):
//   request: (content id, -) then (storage id, -)
//   reply:   (0, HSCCIDInfo* or null)   null: another writer already records the content
//   request: (any, HSCGop*) per GOP, in GOP-number order, without a reference kept
//   request: (any, null)                stop
//   reply:   (0, null)                  stopped, the content released
// Starts HSCWriterThreadFM detached with a 256 KiB stack; false when it could not be started.
bool HSCStartWriterThread(ITCTC* control);
void* HSCWriterThreadFM(void* control);   // front thread, argument: ITCTC*
void* HSCWriterThreadFMX(void* context);  // back thread, argument: its writer context
