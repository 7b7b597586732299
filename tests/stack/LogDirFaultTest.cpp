// A log directory that cannot be written (read-only file system) or is full: the master and its
// worker keep serving; a read-only one still shuts down cleanly, a full one that gets space again
// receives log lines again. A user's file at the channel path is left alone. The directories are tmpfs mounts
// of their own, because as root permission bits would not stop a write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "support/TmpfsMount.h"
#include "support/VesselRun.h"

using namespace std::chrono_literals;
using testsupport::TmpfsMount;
using testsupport::VesselRun;
using testsupport::WaitFor;

namespace {

class LogDirFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VesselRun::Built());  // a missing binary fails: a skip once hid that nothing ran
    }
    // Starts both, demands calc and has its worker answer requests; the worker's pid.
    void Serve(int requests) {
        if (worker_ < 0) {
            ASSERT_EQ(run_.StartGateway(), 0);
            ASSERT_TRUE(run_.StartMaster() && run_.DemandCalc(20s)) << run_.Output();
            ASSERT_TRUE(WaitFor([&] { return run_.Workers().size() == 1; }, 20s)) << run_.Output();
            worker_ = run_.Workers()[0];
        }
        for (int i = 0; i < requests; ++i) ASSERT_EQ(run_.Add(i, 1000, 10s), "");
        EXPECT_EQ(run_.Workers(), std::vector<pid_t>{worker_}) << "the worker changed or died while serving";
        EXPECT_TRUE(run_.MasterRunning());
    }
    bool WorkerLogged() {
        return run_.Logs("sub_Vessel").find("RequestHandler calc:1.0") != std::string::npos;
    }

    VesselRun run_{"LogDirFault"};
    pid_t worker_ = -1;
};

TEST_F(LogDirFaultTest, ReadOnlyLogDirectoryStillServesAndShutsDownCleanly) {
    TmpfsMount ro(run_.LogDir(), MS_RDONLY, "size=64k");
    if (!ro.Mounted()) GTEST_SKIP() << ro.Why();
    ASSERT_EQ(open((run_.LogDir() + "/probe").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), -1);
    ASSERT_EQ(errno, EROFS) << "the log directory must really be unwritable for this test";
    Serve(20);
    // The shutdown path logs on every step; with no file it must still end every process.
    run_.SignalMaster(SIGTERM);
    int status = run_.WaitMaster(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status << "\n"
                                                               << run_.Output();
    EXPECT_TRUE(WaitFor([&] { return kill(worker_, 0) != 0; }, 10s)) << "the worker outlived its master";
}

TEST_F(LogDirFaultTest, FullLogDirectoryStillServesAndLoggingResumesWithSpace) {
    TmpfsMount small(run_.LogDir(), 0, "size=64k");
    if (!small.Mounted()) GTEST_SKIP() << small.Why();
    const std::string filler = run_.LogDir() + "/filler";
    ASSERT_EQ(TmpfsMount::FillUp(filler), ENOSPC);
    Serve(20);
    EXPECT_FALSE(WorkerLogged());  // the file exists, but holds at most a torn first line
    ASSERT_EQ(unlink(filler.c_str()), 0);
    Serve(3);
    EXPECT_TRUE(WaitFor([&] { return WorkerLogged(); }, 10s))
        << "the worker did not log again once there was space";
    // The master logs again too: it reaps the killed worker and forgets its module.
    ASSERT_EQ(kill(worker_, SIGKILL), 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            return run_.Logs("Vessel").find("found NonExist module in needLoadModuleMap:calc:1.0") !=
                   std::string::npos;
        },
        10s));
}

// What a user put where the channel socket goes is theirs: the master refuses to start (exit 1)
// and leaves it as it was; only a socket there would be replaced.
TEST_F(LogDirFaultTest, AUsersFileAtTheChannelPathIsLeftAlone) {
    testsupport::WriteFile(run_.ChannelPath(), "keep me");
    ASSERT_EQ(run_.StartGateway(), 0);
    ASSERT_TRUE(run_.StartMaster());
    int status = run_.WaitMaster(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status << "\n"
                                                               << run_.Output();
    EXPECT_EQ(testsupport::ReadFile(run_.ChannelPath()), "keep me");
    unlink(run_.ChannelPath().c_str());
}

}  // namespace
