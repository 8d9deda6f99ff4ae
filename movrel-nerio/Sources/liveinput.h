// Live input: the manager thread that keeps one segmenter per configured channel and
// stops them in order when the server is asked to terminate.
#pragma once

#include <atomic>
#include <cstdint>

// Set to 1 by the SIGTERM handler; cleared by the live input manager once every channel
// writer has stopped.
extern std::atomic<uint8_t> g_bTerminating;

// Starts the manager thread (detached, 256 KiB stack); false when it could not be started.
bool ITGStartLiveInput();
void* ITGLiveInputHandlerThread(void* arg);
// True from the manager thread's start until it has finished its shutdown.
bool ITGLiveInputRunning();
