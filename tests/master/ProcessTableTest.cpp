// The process table: its size limit, slot reuse and reaping.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "base/LogMgr.h"
#include "base/ProcessFlags.h"
#include "master/WarrenProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

void IdleWorker(void*) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) pause();
}

void QuitWorker(void*) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGQUIT, [](int) { _exit(3); });
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (;;) pause();
}

void ExitWorker(void* code) { _exit(static_cast<int>(reinterpret_cast<intptr_t>(code))); }

void KillAll() {
    for (int i = 0; i < gLastProcess; ++i) {
        if (gProcesses[i].pid > 0) kill(gProcesses[i].pid, SIGKILL);
    }
    while (waitpid(-1, nullptr, 0) > 0) {
    }
}

struct TableTest : ::testing::Test {
    TempDir dir{"vessel-table"};
    ScopedEnv logDir{"_APP_LOG_DIR", dir.path()};
    ScopedEnv home{"VESSEL_HOME", dir.path()};
    void SetUp() override {
        WriteImmediateLogConfig(dir.path());
        LogMgr::InitLogFile("Vessel");
        memset(gProcesses, 0, sizeof(gProcesses));
        gLastProcess = 0;
    }
    void TearDown() override { KillAll(); }
    std::string Logs() { return ReadLogs(dir.path(), "Vessel"); }
};

}  // namespace

TEST_F(TableTest, TheTableHoldsAtMost1024AndReusesFreedSlots) {
    for (int i = 0; i < MAX_PROCESSES; ++i) {
        ASSERT_GT(warrenSpawnProcess(IdleWorker, nullptr, "warren worker "), 0) << "spawn " << i;
    }
    EXPECT_EQ(gLastProcess, MAX_PROCESSES);
    EXPECT_EQ(warrenSpawnProcess(IdleWorker, nullptr, "warren worker "), -1);
    EXPECT_EQ(LinesWith(Logs(), "no more than 1024 processes can be spawned").size(), 1u);

    // Free slot 0 by killing its worker and reaping it, then spawn again.
    pid_t first = gProcesses[0].pid;
    kill(first, SIGKILL);
    ASSERT_TRUE(WaitFor([&] {
        getAndMaintainChildProcessStatus();
        return gProcesses[0].pid == -1;
    }, 10s));
    EXPECT_TRUE(gProcesses[0].exited);
    EXPECT_TRUE(WIFSIGNALED(gProcesses[0].status));
    pid_t again = warrenSpawnProcess(IdleWorker, nullptr, "warren worker ");
    ASSERT_GT(again, 0);
    EXPECT_EQ(gProcesses[0].pid, again);
    EXPECT_FALSE(gProcesses[0].exited);
    EXPECT_EQ(gLastProcess, MAX_PROCESSES);
}

TEST_F(TableTest, ReapingRecordsExitCodesSignalsAndStrangers) {
    pid_t a = warrenSpawnProcess(ExitWorker, reinterpret_cast<void*>(intptr_t{0}), "warren worker ");
    pid_t b = warrenSpawnProcess(IdleWorker, nullptr, "warren worker ");
    pid_t stranger = fork();  // a child the table does not know
    if (stranger == 0) _exit(7);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    kill(b, SIGKILL);
    ASSERT_TRUE(WaitFor([&] {
        getAndMaintainChildProcessStatus();
        return gProcesses[0].pid == -1 && gProcesses[1].pid == -1 &&
               !LinesWith(Logs(), "pid:" + std::to_string(stranger) + ", processName: exited with code 7").empty();
    }, 10s));
    std::string logs = Logs();
    EXPECT_EQ(LinesWith(logs, "pid:" + std::to_string(a) + ", processName:warren worker  exited with code 0").size(), 1u);
    EXPECT_EQ(LinesWith(logs, "pid:" + std::to_string(b) + ", processName:warren worker  exited on signal 9").size(), 1u);
    // A slot freed below gLastProcess is reused before the range grows.
    EXPECT_EQ(gLastProcess, 2);
    ASSERT_GT(warrenSpawnProcess(IdleWorker, nullptr, "warren worker "), 0);
    EXPECT_EQ(gLastProcess, 2);
}

TEST_F(TableTest, SetProcessExitingMarksOnceAndSignalsEveryTime) {
    // The child inherits SIGQUIT blocked and unblocks it once its handler is in place.
    sigset_t quit, old;
    sigemptyset(&quit);
    sigaddset(&quit, SIGQUIT);
    sigprocmask(SIG_BLOCK, &quit, &old);
    pid_t p = warrenSpawnProcess(QuitWorker, nullptr, "warren worker ");
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ASSERT_GT(p, 0);
    int pid = p;
    setProcessExiting(&pid);
    EXPECT_TRUE(gProcesses[0].exiting);
    int status = 0;
    ASSERT_EQ(waitpid(p, &status, 0), p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);  // it got the SIGQUIT
    setProcessExiting(&pid);
    int unknown = 999999;
    setProcessExiting(&unknown);
    std::string logs = Logs();
    EXPECT_EQ(LinesWith(logs, "process exiting, pid:" + std::to_string(p)).size(), 1u);
    EXPECT_EQ(LinesWith(logs, "process already exiting, pid:" + std::to_string(p)).size(), 1u);
    EXPECT_EQ(LinesWith(logs, "kill worker process " + std::to_string(p)).size(), 2u);
    EXPECT_EQ(LinesWith(logs, "process not found,pid 999999").size(), 1u);
}
