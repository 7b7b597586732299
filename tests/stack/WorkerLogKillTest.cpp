// A worker killed with SIGKILL gets no chance to write out the lines it batched, so the log's
// timer must already have written them: with the usual batching (LogBufferWriteRate 1,
// LogBufferNum 100), a request's worker-side line is in the shared worker log within about a
// second, with no later line to push it out, and stays there once the worker is killed.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/LogLines.h"
#include "support/VesselRun.h"

using namespace std::chrono_literals;
using testsupport::VesselRun;
using testsupport::WaitFor;

namespace {

TEST(WorkerLogKillTest, LinesLoggedASecondBeforeKillAreInTheFile) {
    if (!VesselRun::Built()) GTEST_SKIP() << "vessel or the calc module is not built";
    VesselRun run("WorkerLogKill");
    testsupport::WriteFile(run.Home() + "/conf/containerlog.json",
                           R"({"DevLogLevel":3,"LogBufferWriteRate":1,"LogBufferNum":100,)"
                           R"("MaxFileSize":20,"MaxFileNum":20})");
    ASSERT_EQ(run.StartGateway(), 0);
    ASSERT_TRUE(run.StartMaster());
    ASSERT_TRUE(run.DemandCalc(20s)) << run.Output();
    ASSERT_TRUE(WaitFor([&] { return run.Workers().size() == 1; }, 20s)) << run.Output();
    const pid_t worker = run.Workers()[0];
    ASSERT_EQ(run.Add(20, 22, 10s), "");

    // The handler's line, from this worker; the idle worker logs nothing after it.
    const std::string tag = ",[" + std::to_string(worker) + ":";
    auto handled = [&] {
        for (const std::string& l : testsupport::LinesWith(run.Logs("sub_Vessel"), "RequestHandler calc:1.0")) {
            if (l.find(tag) != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(WaitFor(handled, 2500ms)) << "the worker's line waited in memory\n" << run.Logs("sub_Vessel");

    ASSERT_EQ(kill(worker, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return run.Workers().empty(); }, 10s));
    const std::string log = run.Logs("sub_Vessel");
    EXPECT_TRUE(handled()) << log;
    EXPECT_TRUE(!log.empty() && log.back() == '\n') << "a torn line at the end of the worker log";
}

}  // namespace
