#include "master/WarrenProcess.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "base/Log.h"
#include "base/MasterWatch.h"
#include "base/ProcessFlags.h"
#include "base/SafeString.h"

ProcessSlot gProcesses[MAX_PROCESSES];
int gLastProcess = 0;
std::atomic<int> gSigHup{0};
std::atomic<int> gSigUsr1{0};

namespace {

std::mutex gProcessTableLock;

struct SignalRow {
    int signo;
    const char* text;
    bool handled;  // false: SIG_IGN
};

// SIGHUP and SIGUSR1 are handled too: with their default action an operator's reload or
// log-rotation signal would end the master and leave its workers unsupervised.
const SignalRow kSignals[] = {
    {SIGTERM, "SIGTERM", true}, {SIGQUIT, "SIGQUIT", true},         {SIGALRM, "SIGALRM", true},
    {SIGINT, "SIGINT", true},   {SIGCHLD, "SIGCHLD", true},         {SIGHUP, "SIGHUP", true},
    {SIGUSR1, "SIGUSR1", true}, {SIGSYS, "SIGSYS, SIG_IGN", false}, {SIGPIPE, "SIGPIPE, SIG_IGN", false},
    {0, nullptr, false},
};

}  // namespace

std::mutex& ProcessTableLock() {
    return gProcessTableLock;
}

int warrenInitSignals() {
    for (const SignalRow* row = kSignals; row->signo != 0; ++row) {
        struct sigaction sa;
        memset_s(&sa, sizeof(sa), 0, sizeof(sa));
        if (row->handled) {
            sa.sa_sigaction = warrenSignalHandler;
            sa.sa_flags = SA_SIGINFO;
        } else {
            sa.sa_handler = SIG_IGN;
        }
        sigemptyset(&sa.sa_mask);
        if (sigaction(row->signo, &sa, nullptr) == -1) {
            LOG_WARN("sigaction failed, err:" + std::to_string(errno) + ":" + row->text);
            return -1;
        }
    }
    return 0;
}

void warrenSignalHandler(int signo, siginfo_t* /*info*/, void* /*context*/) {
    int savedErrno = errno;
    std::string action;
    switch (signo) {
        case SIGINT:
        case SIGTERM:
            gTerminate = 1;
            action = ", exiting";
            break;
        case SIGQUIT:
            gQuit = 1;
            action = ", shutting down";
            break;
        case SIGALRM:
            gSigAlrm = 1;
            break;
        case SIGCHLD:
            gReap = 1;
            break;
        case SIGHUP:
            gSigHup = 1;
            action = ", reloading settings";
            break;
        case SIGUSR1:
            gSigUsr1 = 1;
            action = ", reopening the log file";
            break;
        default:
            break;
    }
    LOG_INFO("warrenSignalHandler " + action + ":" + std::to_string(signo));
    if (signo == SIGCHLD) {
        getAndMaintainChildProcessStatus();
    }
    errno = savedErrno;
}

void getAndMaintainChildProcessStatus() {
    bool first = true;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid == 0) return;
        if (pid == -1) {
            int err = errno;
            if (err == EINTR) continue;
            if (err == ECHILD && !first) return;
            if (err == ECHILD) {
                LOG_INFO(std::to_string(err) + " waitpid() failed");
            } else {
                LOG_INFO(std::to_string(err) + "waitpid() failed");
            }
            return;
        }
        std::string name;
        {
            std::lock_guard<std::mutex> lock(gProcessTableLock);
            for (int i = 0; i < gLastProcess; ++i) {
                ProcessSlot& slot = gProcesses[i];
                if (slot.pid != pid) continue;
                slot.exited = 1;
                slot.status = status;
                slot.pid = -1;
                name = slot.name;
                break;
            }
        }
        if ((status & 0x7f) != 0) {
            LOG_INFO("pid:" + std::to_string(pid) + ", processName:" + name + " exited on signal " +
                     std::to_string(status & 0x7f));
        } else {
            LOG_INFO("pid:" + std::to_string(pid) + ", processName:" + name + " exited with code " +
                     std::to_string((status >> 8) & 0xff));
        }
        first = false;
    }
}

namespace {
std::atomic<SpawnProc> gWorkerCycle{nullptr};
}  // namespace

void warrenSetWorkerCycle(SpawnProc proc) {
    gWorkerCycle.store(proc);
}

SpawnProc warrenWorkerCycle() {
    return gWorkerCycle.load();
}

int warrenSpawnProcess(SpawnProc proc, void* data, const char* name) {
    std::unique_lock<std::mutex> lock(gProcessTableLock);
    // Once the master is ending, the pollers may still be asked to place a module. A worker born
    // then would miss the broadcasts (or be orphaned by the exit). Tested under the table lock:
    // a spawn that passed this test fills its slot before the cycle can count or signal the table.
    if (gTerminate || gQuit) {
        LOG_INFO(std::string("master is ending, not spawning:") + name);
        return -1;
    }
    int index = gLastProcess;
    if (gLastProcess == 0 || gProcesses[0].pid == -1) {
        index = 0;
    } else {
        for (int i = 1; i < gLastProcess; ++i) {
            if (gProcesses[i].pid == -1) {
                index = i;
                break;
            }
        }
    }
    if (index == MAX_PROCESSES) {
        LOG_INFO("no more than " + std::to_string(MAX_PROCESSES) + " processes can be spawned");
        return -1;
    }

    const pid_t masterPid = getpid();
    pid_t pid = fork();
    if (pid == -1) {
        LOG_INFO(std::string("fork() failed while spawning:") + name);
        return -1;
    }
    if (pid == 0) {
        // The child owns a copy of the table's lock in whatever state the fork caught it.
        new (&gProcessTableLock) std::mutex();
        lock.release();
        // Follow the master: a worker must not outlive it, whatever ends it.
        if (!MasterWatch::ArmInChild(masterPid)) {
            _exit(1);
        }
        // A worker must not hold the master's listening socket, its epoll set or other workers'
        // connections: it would keep them alive after the master closed them. It reopens its
        // own log file first thing.
        close_range(3, ~0U, 0);
        proc(data);
        _exit(1);  // proc never returns; should it, the child must not run master code
    }

    setpgid(pid, getpid());
    LOG_INFO(std::string("start a new subprocess name:") + name + " pid:" + std::to_string(pid));
    ProcessSlot& slot = gProcesses[index];
    slot.pid = pid;
    slot.proc = proc;
    slot.data = data;
    strncpy_s(slot.name, sizeof(slot.name), name, sizeof(slot.name) - 1);
    slot.started = time(nullptr);
    slot.exiting = 0;
    slot.exited = 0;
    if (index == gLastProcess) ++gLastProcess;
    return pid;
}

void setProcessExiting(const int* pid) {
    {
        std::lock_guard<std::mutex> lock(gProcessTableLock);
        ProcessSlot* found = nullptr;
        for (int i = 0; i < MAX_PROCESSES; ++i) {
            if (gProcesses[i].pid == *pid) {
                found = &gProcesses[i];
                break;
            }
        }
        if (found == nullptr) {
            LOG_INFO("process not found,pid " + std::to_string(*pid));
            return;
        }
        if (found->exiting) {
            LOG_INFO("process already exiting, pid:" + std::to_string(*pid));
        } else {
            LOG_INFO("process exiting, pid:" + std::to_string(*pid));
            found->exiting = 1;
        }
    }
    LOG_INFO("kill worker process " + std::to_string(*pid));
    if (kill(*pid, SIGQUIT) == -1) {
        int err = errno;
        LOG_INFO("kill worker process, " + std::string(strerror(err)) + ":" + std::to_string(err));
    }
}

void SetProcessName(const char* name) {
    prctl(PR_SET_NAME, name, 0, 0, 0);
}
