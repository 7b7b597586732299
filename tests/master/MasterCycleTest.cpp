// The master cycle in a forked test master with two workers placed by the test. They keep the
// master's signal mask, so SIGTERM and SIGQUIT stay pending in them and only SIGKILL ends them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "base/LogMgr.h"
#include "master/MasterProcessCycle.h"
#include "master/WarrenProcess.h"
#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

// SIGQUIT skips the worker already marked exiting. SIGTERM then goes to both on an alarm whose
// delay doubles, until the delay passes a second and SIGKILL goes instead; the master ends once
// the last worker is reaped.
TEST(MasterCycle, QuitSkipsExitingWorkersAndTerminationEscalatesToKill) {
    TempDir dir{"vessel-cycle"};
    ScopedEnv app{"APP_NAME", UniqueName("cycle")}, logs{"_APP_LOG_DIR", dir.path()},
        home{"VESSEL_HOME", dir.path()};
    WriteImmediateLogConfig(dir.path());
    ChildProcess master;
    ASSERT_TRUE(master.Fork([] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        LogMgr::InitLogFile("Vessel");
        if (warrenInitSignals() != 0) return 3;
        MasterStartup();
        SpawnProc stubborn = [](void*) { pause(); };
        int first = warrenSpawnProcess(stubborn, nullptr, "warren worker ");
        warrenSpawnProcess(stubborn, nullptr, "warren worker ");
        setProcessExiting(&first);
        MasterCycleLoop();
    }));
    auto lines = [&](const std::string& needle) { return LinesWith(ReadLogs(dir.path(), "Vessel"), needle); };
    ASSERT_TRUE(WaitFor(
        [&] { return lines("start a new subprocess").size() == 2 && !lines("sigsuspend").empty(); }, 10s));
    const std::string first = lines("start a new subprocess")[0];
    const int exiting = atoi(first.c_str() + first.find(" pid:") + 5);
    master.Kill(SIGQUIT);
    ASSERT_TRUE(WaitFor([&] { return !lines(", 3)").empty(); }, 10s));
    master.Kill(SIGTERM);
    int status = master.Wait(20s);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Each "kill (pid, signo)" line as one letter: Q a quit, T a term, K a kill; q a quit to the
    // worker marked exiting.
    std::string sent;
    for (const auto& line : lines("kill (")) {
        const char* p = line.c_str() + line.find("kill (") + 6;
        int signo = atoi(strchr(p, ',') + 2);
        sent += signo == SIGKILL ? 'K' : signo == SIGTERM ? 'T' : exiting == atoi(p) ? 'q' : 'Q';
    }
    EXPECT_TRUE(std::regex_match(sent, std::regex("Q+T{10}K{2,}"))) << sent;
    EXPECT_EQ(lines("exited on signal 9").size(), 2u);
    EXPECT_EQ(lines("exit[ExitMasterProcess|").size(), 1u);
}
