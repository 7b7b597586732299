// Process-wide flags written by the signal handler and read by the process cycles and their
// threads. Lock-free atomics: safe to touch from a handler and from any thread.
#pragma once

#include <atomic>

extern std::atomic<int> gTerminate;  // SIGINT, SIGTERM; never cleared
extern std::atomic<int> gQuit;       // SIGQUIT; cleared by the worker cycle when it acts on it
extern std::atomic<int> gReap;       // SIGCHLD; cleared by the master cycle
extern std::atomic<int> gSigAlrm;    // SIGALRM; cleared by the master cycle

// Set once by a worker's main thread when its graceful quit starts; other threads stop taking work.
extern std::atomic<int> workerExiting;

static_assert(std::atomic<int>::is_always_lock_free, "flags are read inside a signal handler");
