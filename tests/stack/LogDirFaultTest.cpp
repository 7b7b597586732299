// A log directory that cannot be written (read-only file system) or is full: the master and its
// worker keep running and serve requests, shut down cleanly, and a full directory that gets
// space again receives log lines again. The directories are tmpfs mounts of their own, because
// as root permission bits would not stop a write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/TmpfsMount.h"
#include "support/VesselRun.h"

using namespace std::chrono_literals;
using testsupport::TmpfsMount;
using testsupport::VesselRun;
using testsupport::WaitFor;

namespace {

bool SameWorkerServes(VesselRun& run, pid_t worker, int requests, std::string& why) {
    for (int i = 0; i < requests; ++i) {
        why = run.Add(i, 1000 + i, 10s);
        if (!why.empty()) return false;
    }
    std::vector<pid_t> now = run.Workers();
    if (now.size() != 1 || now[0] != worker) {
        why = "the worker changed or died while serving";
        return false;
    }
    return true;
}

class LogDirFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!VesselRun::Built()) GTEST_SKIP() << "vessel or the calc module is not built";
    }
    // Starts gateway and master, demands calc and waits for its worker; the worker's pid.
    pid_t StartServing() {
        EXPECT_EQ(run.StartGateway(), 0);
        EXPECT_TRUE(run.StartMaster());
        EXPECT_TRUE(run.DemandCalc(20s)) << "no demand pull from the master\n" << run.Output();
        pid_t worker = -1;
        EXPECT_TRUE(WaitFor([&] { return run.Workers().size() == 1; }, 20s)) << "no worker\n" << run.Output();
        if (run.Workers().size() == 1) worker = run.Workers()[0];
        return worker;
    }

    VesselRun run{"LogDirFault"};
};

TEST_F(LogDirFaultTest, ReadOnlyLogDirectoryStillServesAndShutsDownCleanly) {
    TmpfsMount ro(run.LogDir(), MS_RDONLY, "size=64k");
    if (!ro.Mounted()) GTEST_SKIP() << ro.Why();
    ASSERT_EQ(open((run.LogDir() + "/probe").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), -1);
    ASSERT_EQ(errno, EROFS) << "the log directory must really be unwritable for this test";

    pid_t worker = StartServing();
    ASSERT_GT(worker, 0);
    std::string why;
    EXPECT_TRUE(SameWorkerServes(run, worker, 20, why)) << why;
    EXPECT_TRUE(run.MasterRunning());

    // The shutdown path logs on every step; with no file it must still end every process.
    run.SignalMaster(SIGTERM);
    int status = run.WaitMaster(20s);
    ASSERT_NE(status, -1) << "the master did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status << "\n"
                                                               << run.Output();
    EXPECT_TRUE(WaitFor([&] { return kill(worker, 0) != 0; }, 10s)) << "the worker outlived its master";
}

TEST_F(LogDirFaultTest, FullLogDirectoryStillServesAndLoggingResumesWithSpace) {
    TmpfsMount small(run.LogDir(), 0, "size=64k");
    if (!small.Mounted()) GTEST_SKIP() << small.Why();
    const std::string filler = run.LogDir() + "/filler";
    ASSERT_EQ(TmpfsMount::FillUp(filler), ENOSPC);

    pid_t worker = StartServing();
    ASSERT_GT(worker, 0);
    std::string why;
    EXPECT_TRUE(SameWorkerServes(run, worker, 20, why)) << why;
    EXPECT_TRUE(run.MasterRunning());
    // Nothing of this got to disk (the file exists, but holds at most a torn first line).
    EXPECT_EQ(run.Logs("sub_Vessel").find("RequestHandler calc:1.0"), std::string::npos);

    // Space again: both processes write their next lines, without a restart.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    EXPECT_TRUE(SameWorkerServes(run, worker, 3, why)) << why;
    EXPECT_TRUE(WaitFor(
        [&] { return run.Logs("sub_Vessel").find("RequestHandler calc:1.0") != std::string::npos; }, 10s))
        << "the worker did not log again once there was space";

    // The master logs when it reaps the worker and forgets its module; a replacement is placed
    // on the next demand.
    const int pullConn = run.Gateway().FramesOf("pullreq").back().conn;
    ASSERT_EQ(kill(worker, SIGKILL), 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            return run.Logs("Vessel").find("found NonExist module in needLoadModuleMap:calc:1.0") !=
                   std::string::npos;
        },
        10s))
        << "the master did not log again once there was space";
    // The dead worker's held pull must not take the next request.
    ASSERT_TRUE(WaitFor(
        [&] {
            for (int conn : run.Gateway().OpenConnections()) {
                if (conn == pullConn) return false;
            }
            return true;
        },
        10s));
    ASSERT_TRUE(run.DemandCalc(20s));
    EXPECT_EQ(run.Add(40, 2, 20s), "");
    EXPECT_TRUE(run.MasterRunning());
}

}  // namespace
