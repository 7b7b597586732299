// The master's process layer: the fixed-size process table, signal installation, the one
// signal handler (flags and reaping), spawning a worker with fork, and marking one exiting.
#pragma once

#include <signal.h>

#include <atomic>
#include <mutex>

#include "master/ProcessSlot.h"

constexpr int MAX_PROCESSES = 1024;

extern ProcessSlot gProcesses[MAX_PROCESSES];
extern int gLastProcess;

// Set by the handler on SIGHUP (re-read the settings) and SIGUSR1 (reopen the log file); the
// master cycle acts on them and clears them.
extern std::atomic<int> gSigHup;
extern std::atomic<int> gSigUsr1;

// Guards gProcesses and gLastProcess. The signal handler takes it too: that is safe because the
// handled signals are blocked everywhere except in the main thread's sigsuspend, where the main
// thread holds no lock. Spawning holds it across fork so a child that dies at once is never
// reaped before its slot is filled.
std::mutex& ProcessTableLock();

int warrenInitSignals();
void warrenSignalHandler(int signo, siginfo_t* info, void* context);
void getAndMaintainChildProcessStatus();
int warrenSpawnProcess(SpawnProc proc, void* data, const char* name);
// What a forked worker runs. The binary sets it at start: the master knows no module host.
void warrenSetWorkerCycle(SpawnProc proc);
SpawnProc warrenWorkerCycle();
void setProcessExiting(const int* pid);
void SetProcessName(const char* name);
