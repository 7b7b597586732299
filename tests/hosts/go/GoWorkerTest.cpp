// A worker process hosting Go modules through the real loader, forked from the test against a
// channel socket it listens on and a scriptable gateway: a module that cannot load is reported to
// the master, one that loads serves, and a graceful quit waits for its request in flight.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/FakeMaster.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Parts = testsupport::ScriptableGateway::Parts;

namespace {

const std::string kBuild = VESSEL_BINARY_DIR;
const std::string kGate = kBuild + "/tests/hosts/go/gate";

std::string Request(const std::string& query) {
    return R"({"ReqUrl":"/gate","Method":"GET","ReqBody":"","ReqQuery":)" + query +
           R"(,"Header":{"X-Test":["a"]}})";
}

}  // namespace

TEST(GoWorkerTest, FailedLoadIsReportedAndAGracefulQuitWaitsForTheRequestInFlight) {
    if (access((kGate + "/gate.so").c_str(), R_OK) != 0)
        GTEST_SKIP() << "Go modules not built (no go toolchain?)";
    testsupport::FakeMaster master("GoWorker");
    testsupport::ScriptableGateway gw(testsupport::ScriptableGateway::PathForApp(master.AppName()));
    ASSERT_EQ(gw.Start(), 0);
    ASSERT_TRUE(master.Listen());
    // The worker finds the loader by its soname once it is loaded, as the installed one would be;
    // loaded with the handled signals blocked, as a worker thread has them.
    pid_t child = master.Spawn([&] {
        if (dlopen((kBuild + "/peers/goloader/libgoloader.so").c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr)
            _exit(98);
    });
    int fd = master.Accept();
    const std::string pid = std::to_string(child);
    ASSERT_TRUE(master.Send(fd, "addModule#gate|1.0|" + master.Home().path() + "|GO|\n"));
    EXPECT_EQ(master.ReadLine(fd), "shakehand#" + pid + "\n");
    EXPECT_EQ(master.ReadLine(fd), "unloadModule#" + pid + "#gate|1.0\n");
    EXPECT_NE(master.WorkerLog().find("go module gate:1.0 not loaded: plugin " + master.Home().path() +
                                      "/gate.so does not exist"),
              std::string::npos)
        << master.WorkerLog();

    ASSERT_TRUE(master.Send(fd, "addModule#gate|1.0|" + kGate + "|GO|\n"));
    auto pull = gw.WaitForFrame("pullreq", 15s);
    ASSERT_TRUE(pull) << master.WorkerLog();
    EXPECT_EQ(pull->parts, (Parts{"pullreq", "gate||1.0||" + pid}));
    const std::string gateFile = master.Home() / "open";
    ASSERT_TRUE(
        gw.Reply(pull->conn, {"message", "gate", "g1", Request(R"({"gate":")" + gateFile + R"("})")}));
    ASSERT_TRUE(gw.WaitForFrame("pullreq", 10s));  // taken

    kill(child, SIGQUIT);
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            return master.WorkerLog().find("module not stopped num:1[Stopped|GoModuleMgt.cpp|") !=
                   std::string::npos;
        },
        10s))
        << master.WorkerLog();
    EXPECT_EQ(master.WaitExit(child, 200ms), -1) << "quit before the request was answered";
    testsupport::WriteFile(gateFile, "");
    auto resp = gw.WaitForFrame("responsereq", 10s);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->parts,
              (Parts{"responsereq", "gate||1.0||" + pid, "g1", "200", "opened GET /gate a", ""}));
    int status = master.WaitExit(child, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << master.WorkerLog();
}
