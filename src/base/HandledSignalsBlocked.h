// Blocks, in the calling thread, the signals a process's main thread waits for in sigsuspend,
// and restores the previous mask on destruction. Threads started (or runtimes loaded) inside its
// scope inherit the blocked set, so those signals always reach the main thread.
#pragma once

#include <pthread.h>
#include <signal.h>

class HandledSignalsBlocked {
public:
    // The one list of handled signals, for master and workers alike: every thread but the main
    // one keeps them blocked. A signal taken by another thread would set its flag without waking
    // the cycle (SIGHUP in a worker is how it learns that its master is gone).
    static void Fill(sigset_t* set) {
        sigemptyset(set);
        for (int signo : {SIGCHLD, SIGALRM, SIGIO, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1}) {
            sigaddset(set, signo);
        }
    }

    HandledSignalsBlocked() {
        sigset_t set;
        Fill(&set);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~HandledSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
    HandledSignalsBlocked(const HandledSignalsBlocked&) = delete;
    HandledSignalsBlocked& operator=(const HandledSignalsBlocked&) = delete;

private:
    sigset_t old;
};
