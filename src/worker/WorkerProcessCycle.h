// The body of every worker process: prepares the process, connects to the master, starts the
// thread that executes the master's commands, and then waits for signals. Owns the worker's
// graceful quit (drain with a deadline) and its immediate termination.
#pragma once

#include <cstdint>

// Never returns: every way out ends the process (status 0; 1 when the master cannot be reached,
// so a child never runs on into the master's code). data is unused; the signature fits the
// spawn routine's entry type.
[[noreturn]] void warrenWorkerProcessCycle(void* data = nullptr);

// Logs "exit", closes the log file and ends the process with _exit(0).
[[noreturn]] void ExitWorkerProcess();

// The signal set-up of a worker: the handled signals (HandledSignalsBlocked::Fill) stay blocked,
// so every thread the worker starts inherits them blocked and only the main thread's sigsuspend
// takes them; SIGCHLD gets its default action back, so children that modules start are not
// reaped behind their backs; SIGUSR1 is ignored and SIGHUP only makes the cycle check whether
// the master is still there (MasterWatch).
void WarrenWorkerProcessInit();

// How often a graceful quit checks whether the work has drained; 10 s unless changed (tests).
void SetWorkerDrainPollIntervalMs(int64_t ms);
