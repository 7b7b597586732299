// The process table: exit codes and signals of reaped workers, slot reuse and the 1,024 limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "master/WarrenProcess.h"
#include "support/ChannelTestUtil.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

void IdleWorker(void*) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) pause();
}

void ExitWorker(void*) {
    _exit(0);
}

struct TableTest : ::testing::Test {
    std::vector<pid_t> real;  // only these are ever signalled: the other slots hold made-up pids
    void SetUp() override {
        channeltest::UseChannelLog();
        memset(gProcesses, 0, sizeof(gProcesses));
        gLastProcess = 0;
    }
    void TearDown() override {
        for (pid_t pid : real) kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
    }
    pid_t Spawn(SpawnProc proc) {
        pid_t pid = warrenSpawnProcess(proc, nullptr, "warren worker ");
        if (pid > 0) real.push_back(pid);
        return pid;
    }
};

}  // namespace

TEST_F(TableTest, ReapingRecordsExitsAndFreedSlotsAreReusedUpToTheLimit) {
    pid_t a = Spawn(ExitWorker);
    pid_t b = Spawn(IdleWorker);
    pid_t stranger = fork();  // a child the table does not know
    if (stranger == 0) _exit(7);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    kill(b, SIGKILL);
    const std::string strangerLine = "pid:" + std::to_string(stranger) + ", processName: exited with code 7";
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            getAndMaintainChildProcessStatus();
            return gProcesses[0].pid == -1 && gProcesses[1].pid == -1 &&
                   channeltest::CountLog(strangerLine) == 1;
        },
        10s));
    EXPECT_TRUE(gProcesses[0].exited && WIFEXITED(gProcesses[0].status) &&
                WEXITSTATUS(gProcesses[0].status) == 0);
    EXPECT_TRUE(gProcesses[1].exited && WIFSIGNALED(gProcesses[1].status) &&
                WTERMSIG(gProcesses[1].status) == 9);
    EXPECT_EQ(
        channeltest::CountLog("pid:" + std::to_string(b) + ", processName:warren worker  exited on signal 9"),
        1u);

    // Every other slot taken: the two freed ones are reused, then the table is full.
    for (int i = 2; i < MAX_PROCESSES; ++i) gProcesses[i].pid = INT_MAX;
    gLastProcess = MAX_PROCESSES;
    pid_t first = Spawn(IdleWorker), second = Spawn(IdleWorker);
    EXPECT_EQ(gProcesses[0].pid, first);
    EXPECT_EQ(gProcesses[1].pid, second);
    EXPECT_FALSE(gProcesses[1].exited);
    EXPECT_EQ(Spawn(IdleWorker), -1);
    EXPECT_EQ(gLastProcess, MAX_PROCESSES);
    EXPECT_EQ(channeltest::CountLog("no more than 1024 processes can be spawned"), 1u);
    for (int i = 2; i < MAX_PROCESSES; ++i) gProcesses[i].pid = -1;
}
