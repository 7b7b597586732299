// The master cycle in a forked test master with workers placed by the test: the termination
// schedule, the SIGQUIT broadcast, and reaping of workers killed from outside.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

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
    prctl(PR_SET_PDEATHSIG, SIGKILL);
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
    std::string logDir = dir / "log";
    std::unique_ptr<ScopedEnv> app, logEnv, home;
    ChildProcess master;

    void SetUp() override {
        mkdir(logDir.c_str(), 0755);
        WriteImmediateLogConfig(dir.path());
        app = std::make_unique<ScopedEnv>("APP_NAME", UniqueName("cycle"));
        logEnv = std::make_unique<ScopedEnv>("_APP_LOG_DIR", logDir);
        home = std::make_unique<ScopedEnv>("VESSEL_HOME", dir.path());
    }
    void TearDown() override {
        for (pid_t pid : WorkerPids()) kill(pid, SIGKILL);
    }

    // Starts a test master that spawns n stubborn workers, marks the first `exiting` of them
    // exiting, and enters the cycle.
    void StartMaster(int n, int exiting = 0) {
        ASSERT_TRUE(master.Fork([n, exiting] {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            LogMgr::InitLogFile("Vessel");
            if (warrenInitSignals() != 0) return 3;
            MasterStartup();
            std::vector<int> pids;
            for (int i = 0; i < n; ++i) pids.push_back(warrenSpawnProcess(StubbornWorker, nullptr, "warren worker "));
            for (int i = 0; i < exiting; ++i) setProcessExiting(&pids[i]);
            MasterCycleLoop();
        }));
        ASSERT_TRUE(WaitFor([&] { return Count("start a new subprocess") == static_cast<size_t>(n) && Count("sigsuspend") > 0; }, 10s));
    }

    std::string Logs() { return ReadLogs(logDir, "Vessel"); }
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

TEST_F(MasterCycle, TerminationEscalatesOnTheDoublingAlarm) {
    StartMaster(2);
    master.Kill(SIGTERM);
    int status = master.Wait(20s);
    ASSERT_NE(status, -1) << "master did not finish the termination";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string logs = Logs();
    // Broadcast times, one entry per broadcast (two kill lines each).
    std::map<int, std::vector<long>> times;  // signo -> times
    for (const auto& line : LinesWith(logs, "kill (")) {
        int signo = line.find(", 15)") != std::string::npos ? 15 : (line.find(", 9)") != std::string::npos ? 9 : 0);
        ASSERT_NE(signo, 0) << line;
        times[signo].push_back(LineTimeMs(line));
    }
    ASSERT_EQ(times[15].size(), 10u) << logs;
    ASSERT_GE(times[9].size(), 2u);
    long t0 = times[15][0];
    const long expectedTerm[] = {0, 150, 350, 750, 1550};
    for (int i = 0; i < 5; ++i) {
        long at = times[15][2 * i] - t0;
        EXPECT_NEAR(at, expectedTerm[i], 40 + expectedTerm[i] / 5) << "SIGTERM broadcast " << i;
    }
    EXPECT_NEAR(times[9][0] - t0, 3150, 300);

    std::vector<int> delays;
    for (const auto& line : LinesWith(logs, "termination cycle: ")) {
        delays.push_back(atoi(line.substr(line.find("termination cycle: ") + 19).c_str()));
    }
    const std::vector<int> doubling = {50, 100, 200, 400, 800, 1600};
    ASSERT_GE(delays.size(), doubling.size());
    EXPECT_TRUE(std::equal(doubling.begin(), doubling.end(), delays.begin()));
    EXPECT_EQ(LinesWith(logs, "exited on signal 9").size(), 2u);
}

TEST_F(MasterCycle, QuitSkipsExitingWorkersAndEndsAfterTheLastReap) {
    StartMaster(2, 1);
    std::vector<pid_t> pids = WorkerPids();
    ASSERT_EQ(pids.size(), 2u);
    const std::string killA = "kill (" + std::to_string(pids[0]) + ", 3)";
    const std::string killB = "kill (" + std::to_string(pids[1]) + ", 3)";

    master.Kill(SIGQUIT);
    ASSERT_TRUE(WaitFor([&] { return Count(killB) >= 1; }, 10s));
    EXPECT_EQ(Count(killA), 0u) << "a worker marked exiting was told to quit again";

    // A worker killed from outside is reaped, logged and not replaced; the rest is told again.
    size_t before = Count(killB);
    kill(pids[0], SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return Count("pid:" + std::to_string(pids[0]) + ", processName:warren worker  exited on signal 9") == 1; }, 10s));
    ASSERT_TRUE(WaitFor([&] { return Count(killB) > before; }, 10s));
    EXPECT_TRUE(master.Running());

    kill(pids[1], SIGKILL);
    int status = master.Wait(15s);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Count("start a new subprocess"), 2u);
    EXPECT_EQ(Count(killA), 0u);
    EXPECT_EQ(Count("exit[ExitMasterProcess|"), 1u);
}
