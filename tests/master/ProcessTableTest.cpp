// The process table: exit codes and signals of reaped workers, slot reuse and the 1,024 limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "master/WarrenProcess.h"
#include "support/ChannelTestUtil.h"
#include "support/TestSupport.h"

// Workers follow this process when it ends, whatever ends it.
TEST(ProcessTable, ReapingRecordsExitsAndFreedSlotsAreReusedUpToTheLimit) {
    channeltest::UseChannelLog();
    memset(gProcesses, 0, sizeof(gProcesses));
    gLastProcess = 0;
    SpawnProc idle = [](void*) { pause(); };  // only a signal ends it
    pid_t a = warrenSpawnProcess([](void*) { _exit(7); }, nullptr, "warren worker ");
    pid_t b = warrenSpawnProcess(idle, nullptr, "warren worker ");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    kill(b, SIGKILL);
    ASSERT_TRUE(testsupport::WaitFor(
        [] {
            getAndMaintainChildProcessStatus();
            return gProcesses[0].pid == -1 && gProcesses[1].pid == -1;
        },
        std::chrono::seconds(10)));
    EXPECT_TRUE(gProcesses[0].exited && WIFEXITED(gProcesses[0].status) &&
                WEXITSTATUS(gProcesses[0].status) == 7);
    EXPECT_TRUE(gProcesses[1].exited && WIFSIGNALED(gProcesses[1].status) &&
                WTERMSIG(gProcesses[1].status) == 9);
    EXPECT_EQ(
        channeltest::CountLog("pid:" + std::to_string(b) + ", processName:warren worker  exited on signal 9"),
        1u);

    // Every other slot taken (by pids no one signals): the two freed ones are reused, then it is full.
    for (int i = 2; i < MAX_PROCESSES; ++i) gProcesses[i].pid = INT_MAX;
    gLastProcess = MAX_PROCESSES;
    pid_t first = warrenSpawnProcess(idle, nullptr, "warren worker ");
    pid_t second = warrenSpawnProcess(idle, nullptr, "warren worker ");
    EXPECT_TRUE(gProcesses[0].pid == first && gProcesses[1].pid == second && !gProcesses[1].exited);
    EXPECT_EQ(warrenSpawnProcess(idle, nullptr, "warren worker "), -1);
    EXPECT_EQ(gLastProcess, MAX_PROCESSES);
    EXPECT_EQ(channeltest::CountLog("no more than 1024 processes can be spawned"), 1u);
    kill(first, SIGKILL);
    kill(second, SIGKILL);
}
