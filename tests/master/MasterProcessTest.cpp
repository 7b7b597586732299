// The process table (reaped workers' exits, slot reuse, the 1,024 limit), the master cycle, and the
// real vessel binary's stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "base/LogMgr.h"
#include "master/MasterProcessCycle.h"
#include "master/WarrenProcess.h"
#include "proto/GatewayPath.h"
#include "support/ChannelTestUtil.h"
#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

// In a forked test master with two workers placed by the test, which keep its signal mask (only
// SIGKILL ends them). SIGQUIT skips the worker marked exiting. SIGTERM then goes to both on an alarm
// whose delay doubles, until it passes a second and SIGKILL goes instead; the master ends once the
// last worker is reaped.
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
}

// Workers follow this process when it ends, whatever ends it.
TEST(ProcessTable, ReapingRecordsExitsAndFreedSlotsAreReusedUpToTheLimit) {
    channeltest::UseChannelLog();
    memset(gProcesses, 0, sizeof(gProcesses));
    gLastProcess = 0;
    SpawnProc idle = [](void*) { pause(); };  // only a signal ends it
    ASSERT_GT(warrenSpawnProcess([](void*) { _exit(7); }, nullptr, "warren worker "), 0);
    pid_t b = warrenSpawnProcess(idle, nullptr, "warren worker ");
    ASSERT_GT(b, 0);
    kill(b, SIGKILL);
    ASSERT_TRUE(WaitFor(
        [] { return getAndMaintainChildProcessStatus(), gProcesses[0].pid == -1 && gProcesses[1].pid == -1; },
        10s));
    EXPECT_TRUE(gProcesses[0].exited && WIFEXITED(gProcesses[0].status) &&
                WEXITSTATUS(gProcesses[0].status) == 7);
    EXPECT_TRUE(gProcesses[1].exited && WIFSIGNALED(gProcesses[1].status) &&
                WTERMSIG(gProcesses[1].status) == 9);

    // Every other slot taken (by pids no one signals): the two freed ones are reused, then it is full.
    for (int i = 2; i < MAX_PROCESSES; ++i) gProcesses[i].pid = INT_MAX;
    gLastProcess = MAX_PROCESSES;
    pid_t first = warrenSpawnProcess(idle, nullptr, "warren worker ");
    pid_t second = warrenSpawnProcess(idle, nullptr, "warren worker ");
    EXPECT_TRUE(gProcesses[0].pid == first && gProcesses[1].pid == second && !gProcesses[1].exited);
    EXPECT_EQ(warrenSpawnProcess(idle, nullptr, "warren worker "), -1);
    EXPECT_EQ(gLastProcess, MAX_PROCESSES);
    EXPECT_EQ(channeltest::CountLog("no more than 1024 processes can be spawned"), 1u);
    kill(first, SIGKILL), kill(second, SIGKILL);
}

// It stops on SIGTERM or SIGQUIT removing its own socket only. (Its pulls from the gateway and its
// exit status under load are checked with the whole stack.)
TEST(MasterBinary, StopsRemovingOnlyItsOwnSocket) {
    for (int signo : {SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(signo);
        TempDir home{"vessel-master"};
        WriteImmediateLogConfig(home.path());
        const std::string app = UniqueName("MasterBin");
        ScopedEnv appEnv{"APP_NAME", app};
        const std::string channel = GetMasterChannelPath();
        ChildProcess master;
        ASSERT_TRUE(
            master.Exec({std::string(VESSEL_BINARY_DIR) + "/vessel"},
                        {{"APP_NAME", app}, {"_APP_LOG_DIR", home.path()}, {"VESSEL_HOME", home.path()}},
                        home / "out.txt"));
        // Started: its cycle waits for signals, its socket bound.
        ASSERT_TRUE(
            WaitFor([&] { return !LinesWith(ReadLogs(home.path(), "Vessel"), "sigsuspend").empty(); }, 20s));
        struct stat taken {};
        ASSERT_EQ(lstat(channel.c_str(), &taken), 0);
        int foreign = -1;
        if (signo == SIGQUIT) {  // someone else's socket took the path meanwhile
            ASSERT_EQ(unlink(channel.c_str()), 0);
            foreign = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{AF_UNIX, {}};
            channel.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
            ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
            ASSERT_EQ(lstat(channel.c_str(), &taken), 0);
        }
        master.Kill(signo);
        int status = master.Wait(20s);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(ReadFile(home / "out.txt").rfind("Vessel Start\n", 0), 0u);
        struct stat now {};
        const bool present = lstat(channel.c_str(), &now) == 0;
        EXPECT_EQ(present, signo == SIGQUIT) << "the master left its own socket or removed another's";
        EXPECT_TRUE(!present || now.st_ino == taken.st_ino);
        close(foreign);
        unlink(channel.c_str());
    }
}
