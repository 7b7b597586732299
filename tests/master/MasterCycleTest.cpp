// The master cycle in a forked test master with workers placed by the test: the order of the
// termination schedule and the SIGQUIT broadcast.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "base/LogMgr.h"
#include "master/MasterProcessCycle.h"
#include "master/WarrenProcess.h"
#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A worker that ignores SIGTERM and SIGQUIT: only SIGKILL ends it.
void StubbornWorker(void*) {
    signal(SIGTERM, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (;;) pause();
}

class MasterCycle : public ::testing::Test {
protected:
    TempDir dir{"vessel-cycle"};
    ScopedEnv app{"APP_NAME", UniqueName("cycle")}, logEnv{"_APP_LOG_DIR", dir.path()},
        home{"VESSEL_HOME", dir.path()};
    ChildProcess master;

    void TearDown() override {
        for (pid_t pid : WorkerPids()) kill(pid, SIGKILL);
    }
    // A test master with two stubborn workers, the first marked exiting when asked.
    void StartMaster(bool firstExiting) {
        WriteImmediateLogConfig(dir.path());
        ASSERT_TRUE(master.Fork([firstExiting] {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            LogMgr::InitLogFile("Vessel");
            if (warrenInitSignals() != 0) return 3;
            MasterStartup();
            int first = warrenSpawnProcess(StubbornWorker, nullptr, "warren worker ");
            warrenSpawnProcess(StubbornWorker, nullptr, "warren worker ");
            if (firstExiting) setProcessExiting(&first);
            MasterCycleLoop();
        }));
        ASSERT_TRUE(WaitFor([&] { return WorkerPids().size() == 2 && Count("sigsuspend") > 0; }, 10s));
    }
    int Exit() {
        int status = master.Wait(20s);
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Logs() { return ReadLogs(dir.path(), "Vessel"); }
    size_t Count(const std::string& needle) { return LinesWith(Logs(), needle).size(); }
    std::vector<pid_t> WorkerPids() {
        std::vector<pid_t> pids;
        for (const auto& line : LinesWith(Logs(), "start a new subprocess name:warren worker  pid:")) {
            pids.push_back(atoi(line.substr(line.find(" pid:") + 5).c_str()));
        }
        return pids;
    }
};

}  // namespace

// SIGTERM goes out on an alarm whose delay doubles; once it passes a second, SIGKILL does.
TEST_F(MasterCycle, TerminationEscalatesFromTermToKillOnTheDoublingAlarm) {
    StartMaster(false);
    master.Kill(SIGTERM);
    ASSERT_EQ(Exit(), 0);
    std::vector<int> sent;  // signal of each "kill (pid, signo)" line, in order
    std::string delays;
    for (const auto& line : LinesWith(Logs(), "kill ("))
        sent.push_back(atoi(line.c_str() + line.find(", ", line.find("kill (")) + 2));
    for (const auto& line : LinesWith(Logs(), "termination cycle: ")) {
        delays += std::to_string(atoi(line.c_str() + line.find("cycle: ") + 7)) + " ";
    }
    EXPECT_EQ(delays.rfind("50 100 200 400 800 1600 ", 0), 0u) << delays;
    // Five SIGTERM broadcasts to the two workers, then SIGKILL only.
    auto firstKill = std::find(sent.begin(), sent.end(), SIGKILL);
    EXPECT_EQ(std::count(sent.begin(), firstKill, SIGTERM), 10);
    EXPECT_EQ(firstKill - sent.begin(), 10);
    EXPECT_GE(std::count(firstKill, sent.end(), SIGKILL), 2);
    EXPECT_EQ(std::count(firstKill, sent.end(), SIGKILL), sent.end() - firstKill);
    EXPECT_EQ(Count("exited on signal 9"), 2u);
}

TEST_F(MasterCycle, QuitSkipsExitingWorkersAndEndsAfterTheLastReap) {
    StartMaster(true);
    std::vector<pid_t> pids = WorkerPids();
    const std::string killA = "kill (" + std::to_string(pids[0]) + ", 3)";
    const std::string killB = "kill (" + std::to_string(pids[1]) + ", 3)";
    master.Kill(SIGQUIT);
    ASSERT_TRUE(WaitFor([&] { return Count(killB) >= 1; }, 10s));
    // A worker killed from outside is reaped, not replaced; the master ends after the last one.
    kill(pids[0], SIGKILL);
    ASSERT_TRUE(WaitFor(
        [&] {
            return Count("pid:" + std::to_string(pids[0]) +
                         ", processName:warren worker  exited on signal 9") == 1;
        },
        10s));
    EXPECT_TRUE(master.Running());
    kill(pids[1], SIGKILL);
    ASSERT_EQ(Exit(), 0);
    EXPECT_EQ(Count(killA), 0u) << "a worker marked exiting was told to quit again";
    EXPECT_EQ(Count("start a new subprocess"), 2u);
    EXPECT_EQ(Count("exit[ExitMasterProcess|"), 1u);
}
