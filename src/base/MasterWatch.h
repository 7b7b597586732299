// A worker follows its master: whatever ends the master (SIGKILL included), the kernel tells the
// worker with kSignal, and the worker then quits gracefully.
//
// The death signal is tied to the master's thread that forked the worker, not to the master
// process: it also comes when that thread ends (the gateway pollers end on SIGTERM) and again
// on every later re-parenting. It is therefore only a cue to look: the master is gone when the
// worker's parent is no longer the master's pid. SIGQUIT cannot be the cue, as the master uses
// it itself to ask for a graceful quit.
#pragma once

#include <signal.h>
#include <sys/types.h>

class MasterWatch {
public:
    static constexpr int kSignal = SIGHUP;

    // In the child, right after fork: ask for kSignal when the parent goes. False when the
    // master (masterPid) is already gone, as it may have ended between fork and here.
    static bool ArmInChild(pid_t masterPid);
    // True once armed: the worker knows which master to follow.
    static bool Armed();
    // True when the master armed for is no longer the parent.
    static bool MasterGone();
    static pid_t MasterPid();

private:
    static pid_t masterPid_;
};
