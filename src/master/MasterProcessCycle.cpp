#include "master/MasterProcessCycle.h"

#include <signal.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/CommonUtil.h"
#include "base/HandledSignalsBlocked.h"
#include "base/Log.h"
#include "base/LogMgr.h"
#include "base/ProcessFlags.h"
#include "base/PropertyLoader.h"
#include "master/MasterComponents.h"
#include "master/WarrenProcess.h"
#include "net/UDSServer.h"

boost::asio::io_context gMasterIOService;

namespace {

int CheckAliveChilden() {
    int live = 0;
    std::lock_guard<std::mutex> lock(ProcessTableLock());
    for (int i = 0; i < gLastProcess; ++i) {
        const ProcessSlot& slot = gProcesses[i];
        if (slot.pid == -1) continue;
        LOG_INFO("child index:" + std::to_string(i) + " pid:" + std::to_string(slot.pid) +
                 " exiting:" + std::to_string(slot.exiting) + " exited:" + std::to_string(slot.exited));
        if (!slot.exited) ++live;
    }
    return live;
}

// SIGHUP: the settings file is read now, whatever its modification time says.
void ReloadSettings() {
    const std::string path = PropertyLoader::ConfigFilePath();
    if (PropertyLoader::GetInstance().Reload() == 0) {
        LOG_INFO("settings re-read from " + path);
    } else {
        LOG_INFO("settings kept, " + path + " could not be read");
    }
}

// SIGUSR1: the current file is closed and a new one opened, so a file an operator moved away
// is no longer written to.
void ReopenLogFile() {
    LogMgr* mgr = LogMgr::GetInstance();
    mgr->RollLogFile();
    mgr->StartHousekeeping();
    LOG_INFO("log file reopened: " + mgr->CurrentFilePath());
}

}  // namespace

int BlockSignals() {
    sigset_t set;
    HandledSignalsBlocked::Fill(&set);
    return sigprocmask(SIG_BLOCK, &set, nullptr);
}

void SetTerminateAlarmSigTimer(int ms) {
    LOG_INFO("termination cycle: " + std::to_string(ms));
    struct itimerval itv {};
    itv.it_value.tv_sec = ms / 1000;
    itv.it_value.tv_usec = (ms % 1000) * 1000;
    if (setitimer(ITIMER_REAL, &itv, nullptr) == -1) {
        LOG_INFO("setitimer() failed, " + std::to_string(errno));
    }
}

void SendSignal2WorkerProcesses(int signo) {
    std::lock_guard<std::mutex> lock(ProcessTableLock());
    for (int i = 0; i < gLastProcess; ++i) {
        ProcessSlot& slot = gProcesses[i];
        LOG_INFO("child:" + std::to_string(i) + " " + std::to_string(slot.pid) +
                 " e:" + std::to_string(slot.exiting) + " t:" + std::to_string(slot.exited));
        if (slot.pid == -1 || (slot.exiting && signo == SIGQUIT)) continue;
        LOG_INFO("kill (" + std::to_string(slot.pid) + ", " + std::to_string(signo) + ")");
        if (kill(slot.pid, signo) == -1) {
            int err = errno;
            LOG_INFO("kill(" + std::to_string(slot.pid) + ", " + std::to_string(signo) + ") failed," +
                     strerror(err));
            if (err == ESRCH) {
                slot.pid = -1;
                slot.exited = 1;
                slot.exiting = 0;
            }
        }
    }
}

void RunMasterIOService() {
    auto work = boost::asio::make_work_guard(gMasterIOService);
    boost::system::error_code ec;
    gMasterIOService.run(ec);
    if (ec) throw boost::system::system_error(ec);
    while (!gMasterIOService.stopped()) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    LOG_INFO("gMasterIOService exist");
}

void ExitMasterProcess() {
    // No worker is left to connect; the next master must not find a dead socket of ours.
    UDSServer::RemoveOwnSocketFiles();
    SleepMs(2000);
    LOG_INFO("exit");
    // Write out what is still batched, then end without running static destructors: the
    // pollers and the I/O thread are still running and would use objects torn down under them.
    LogMgr::CloseLogFile();
    fflush(nullptr);
    _exit(0);
}

void MasterStartup() {
    if (BlockSignals() != 0) {
        LOG_INFO("sigprocmask() failed," + std::to_string(errno));
    }
    setpgid(getpid(), getpid());
    MasterComponents::Instance().Start();
}

void MasterCycleLoop() {
    int delay = 0;
    int sigio = 0;
    sigset_t empty;
    sigemptyset(&empty);
    for (;;) {
        LOG_INFO("sigsuspend");
        sigsuspend(&empty);
        LOG_INFO("wake up, sigio " + std::to_string(sigio));

        if (gReap.exchange(0) != 0) {
            MasterComponents::Instance().OnWorkersReaped();
        }
        if (gSigHup.exchange(0) != 0) {
            ReloadSettings();
        }
        if (gSigUsr1.exchange(0) != 0) {
            ReopenLogFile();
        }

        int live = CheckAliveChilden();
        if (live > 0 && gTerminate) {
            if (delay == 0) delay = 50;
            if (sigio > 0) {
                --sigio;
            } else {
                sigio = live;
                SendSignal2WorkerProcesses(delay > 1000 ? SIGKILL : SIGTERM);
            }
        } else if (live > 0 && gQuit) {
            SendSignal2WorkerProcesses(SIGQUIT);
        } else if (live == 0 && (gTerminate || gQuit)) {
            ExitMasterProcess();
        }

        if (delay != 0) {
            if (gSigAlrm) {
                sigio = 0;
                delay *= 2;
                gSigAlrm = 0;
            }
            SetTerminateAlarmSigTimer(delay);
        }
    }
}

void warrenMasterProcessCycle() {
    MasterStartup();
    MasterCycleLoop();
}
