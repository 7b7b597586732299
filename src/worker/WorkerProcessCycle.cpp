#include "worker/WorkerProcessCycle.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include "base/CommonUtil.h"
#include "base/HandledSignalsBlocked.h"
#include "base/Log.h"
#include "base/LogMgr.h"
#include "base/MasterWatch.h"
#include "base/PeerTrust.h"
#include "base/ProcessFlags.h"
#include "base/PropertyLoader.h"
#include "worker/ConnectorToMaster.h"
#include "worker/ModuleMgtFactory.h"
#include "worker/ReqReceiverMgt.h"

namespace {

constexpr int64_t DEFAULT_DRAIN_POLL_MS = 10000;
std::atomic<int64_t> gDrainPollMs{DEFAULT_DRAIN_POLL_MS};

// Set on MasterWatch::kSignal: the master may be gone; the cycle looks.
std::atomic<int> gMasterCue{0};

void OnMasterCue(int /*signo*/) {
    gMasterCue = 1;
}

void SetAction(int signo, void (*handler)(int), const char* what) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    if (sigaction(signo, &sa, nullptr) != 0) {
        int err = errno;
        LOG_ERROR_CODE(err, std::string("sigaction(") + what + ") failed" + strerror(err));
    }
}

// True when the master this worker follows has ended; the worker then quits as on SIGQUIT.
bool MasterGoneOnCue() {
    if (gMasterCue.exchange(0) == 0) return false;
    if (!MasterWatch::MasterGone()) {
        LOG_INFO("SIGHUP, master " + std::to_string(MasterWatch::MasterPid()) + " is still there");
        return false;
    }
    LOG_INFO("master " + std::to_string(MasterWatch::MasterPid()) + " is gone, parent now " +
             std::to_string(getppid()));
    return true;
}

// The fork copied the master's request-receiver registry; the worker drops those entries without
// stopping them (they belong to the master).
void DropInheritedReceivers() {
    ReqReceiverMgt::getInstance().Clear();
}

[[noreturn]] void ExitAfterFailedStart() {
    LogMgr::CloseLogFile();
    _exit(1);
}

}  // namespace

void SetWorkerDrainPollIntervalMs(int64_t ms) {
    gDrainPollMs = ms > 0 ? ms : DEFAULT_DRAIN_POLL_MS;
}

void WarrenWorkerProcessInit() {
    sigset_t set;
    HandledSignalsBlocked::Fill(&set);
    if (sigprocmask(SIG_SETMASK, &set, nullptr) != 0) {
        int err = errno;
        LOG_ERROR_CODE(err, std::string("sigprocmask() failed") + strerror(err));
    }
    SetAction(SIGCHLD, SIG_DFL, "SIGCHLD");
    // The master's log-file signal; a worker has nothing to reopen.
    SetAction(SIGUSR1, SIG_IGN, "SIGUSR1");
    // Never fatal here: it only makes the worker look whether its master is still there.
    SetAction(MasterWatch::kSignal, OnMasterCue, "SIGHUP");
}

void ExitWorkerProcess() {
    LOG_INFO("exit");
    LogMgr::CloseLogFile();
    _exit(0);
}

void warrenWorkerProcessCycle(void* data) {
    (void)data;
    LogMgr::ReopenLogFile("sub_Vessel");
    WarrenWorkerProcessInit();
    // Spawned by the master, the worker already follows it; started some other way, it follows
    // the process that started it.
    if (!MasterWatch::Armed()) {
        (void)MasterWatch::ArmInChild(getppid());
    }
    setpgid(getpid(), getppid());
    DropInheritedReceivers();
    // Still single-threaded: the environment is changed before any thread could read it, and
    // before a Java VM or the Go runtime takes its copy.
    ExportTrustedGatewayUser();

    // Lives as long as the process: this function never returns.
    ConnectorToMaster connector;
    int rc = connector.InitAndShakeHand();
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "connect to master fail");
        ExitAfterFailedStart();
    }
    try {
        // Started with the handled signals blocked, so the thread (and every thread it starts)
        // keeps them blocked.
        std::thread reader([&connector] { connector.Run(); });
        reader.detach();
    } catch (const std::system_error& e) {
        LOG_ERROR_CODE(e.code().value(), std::string("start reader thread fail, ") + e.what());
        ExitAfterFailedStart();
    }
    LOG_INFO("loop start");
    const int32_t requestTimeout = getProperty("moduleRequestTimeout");

    time_t quitStart = 0;
    sigset_t waitMask;
    sigemptyset(&waitMask);
    for (;;) {
        // Drain wait: signals are not looked at any more; the work or the deadline ends it.
        while (workerExiting != 0) {
            if (CurrentModuleMgtStopped()) {
                ExitWorkerProcess();
            }
            SleepMs(gDrainPollMs);
            time_t now = time(nullptr);
            time_t deadline = quitStart + requestTimeout;
            if (now > deadline) {
                LOG_INFO("Exceeded the deadline, force exit.");
                ExitWorkerProcess();
            }
            LOG_INFO("wait for graceful quit, deadline " + std::to_string(deadline) +
                     " now:" + std::to_string(now));
        }

        LOG_INFO("sigsuspend worker process");
        sigsuspend(&waitMask);

        if (MasterGoneOnCue()) {
            gQuit = 1;
        }
        if (gTerminate != 0) {
            StopCurrentModuleMgt();
            ExitWorkerProcess();
        }
        if (gQuit == 0) {
            continue;
        }
        gQuit = 0;
        LOG_INFO("gracefully shutting down");
        prctl(PR_SET_NAME, "worker process is shutting down", 0, 0, 0);
        if (workerExiting == 0) {
            workerExiting = 1;
            quitStart = time(nullptr);
        }
        StopCurrentModuleMgt();
    }
}
