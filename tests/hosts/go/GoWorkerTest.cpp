// A real worker process hosting a Go module: the worker cycle runs in a forked child against a
// channel socket the test listens on, with the real loader, and serves through a scriptable
// gateway. Checks that the worker's signals still reach its main thread with the Go runtime in
// the process, that a graceful quit waits for the loader to drain and that SIGTERM does not.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "GoLoaderHarness.h"
#include "support/FakeMaster.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::ReadFile;
using testsupport::ScriptableGateway;
using testsupport::WaitFor;
using Parts = ScriptableGateway::Parts;

namespace {

class GoWorkerTest : public ::testing::Test {
protected:
    GoWorkerTest() : master("GoWorker"), gw(ScriptableGateway::PathForApp(master.AppName())) {}

    void SetUp() override {
        std::string missing = gotest::MissingArtifacts();
        if (!missing.empty()) GTEST_SKIP() << "not built (no go toolchain?): " << missing;
        ASSERT_EQ(gw.Start(), 0);
        ASSERT_TRUE(master.Listen());
    }

    // Forks the worker the way the master does; the loader is put where the worker's dlopen
    // finds it (see PreloadLoader).
    void Spawn() {
        child = master.Spawn([] {
            if (!gotest::PreloadLoader()) _exit(98);
        });
        ASSERT_GT(child, 0);
    }

    void AcceptAndSend(const std::string& lines) {
        int conn = master.Accept();
        ASSERT_NE(conn, -1);
        ASSERT_TRUE(master.Send(conn, lines));
    }

    bool WaitExit(int& status, std::chrono::milliseconds timeout) {
        status = master.WaitExit(child, timeout);
        return status != -1;
    }

    std::string Log() { return master.WorkerLog(); }
    bool LogHas(const std::string& text) { return Log().find(text) != std::string::npos; }

    // Threads of the worker, other than the main one, that would take SIGQUIT, SIGTERM or SIGINT.
    std::vector<std::string> ThreadsTakingQuit() {
        std::vector<std::string> open;
        const std::string tasks = "/proc/" + std::to_string(child) + "/task";
        for (const std::string& tid : testsupport::ListDir(tasks)) {
            if (tid == std::to_string(child)) continue;
            for (const std::string& line : testsupport::SplitLines(ReadFile(tasks + "/" + tid + "/status"))) {
                if (line.rfind("SigBlk:", 0) != 0) continue;
                unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
                for (int s : {SIGQUIT, SIGTERM, SIGINT}) {
                    if ((blocked & (1ULL << (s - 1))) == 0) open.push_back(tid + ":" + std::to_string(s));
                }
            }
        }
        return open;
    }

    // Loads gate, hands it a request that waits for gateFile, and waits until it is taken.
    void StartGatedRequest(const std::string& gateFile) {
        Spawn();
        AcceptAndSend("addModule#gate|1.0|" + gotest::GateLocation() + "|GO|\n");
        auto pull = gw.WaitForFrame("pullreq", 15s);
        ASSERT_TRUE(pull) << Log();
        EXPECT_EQ(pull->parts, (Parts{"pullreq", "gate||1.0||" + std::to_string(child)}));
        ASSERT_TRUE(gw.Reply(pull->conn, {"message", "gate", "g1",
                                          gotest::RequestJson("/gate", "GET", "", "{\"gate\":\"" + gateFile + "\"}")}));
        ASSERT_TRUE(gw.WaitForFrame("pullreq", 10s));
    }

    testsupport::FakeMaster master;
    ScriptableGateway gw;
    pid_t child = -1;
};

}  // namespace

TEST_F(GoWorkerTest, WorkerServesGoModuleAndQuitWaitsForItsRequests) {
    const std::string gateFile = master.Home() / "open";
    StartGatedRequest(gateFile);
    // The Go runtime's threads (several by now) leave the worker's signals to the main thread.
    EXPECT_GT(testsupport::ListDir("/proc/" + std::to_string(child) + "/task").size(), 3u);
    EXPECT_TRUE(ThreadsTakingQuit().empty()) << testing::PrintToString(ThreadsTakingQuit());

    kill(child, SIGQUIT);
    // The quit reached the main thread: it stopped the loader and now waits for the request.
    ASSERT_TRUE(WaitFor([&] { return LogHas("module not stopped num:1[Stopped|GoModuleMgt.cpp|"); }, 10s)) << Log();
    EXPECT_TRUE(LogHas("gracefully shutting down[warrenWorkerProcessCycle|"));
    EXPECT_TRUE(LogHas("[GoModuleMgt::Stop]: result 0[Stop|GoModuleMgt.cpp|"));
    int status = 0;
    EXPECT_FALSE(WaitExit(status, 200ms)) << "quit before the request was answered";

    testsupport::WriteFile(gateFile, "");
    auto resp = gw.WaitForFrame("responsereq", 10s);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->parts, (Parts{"responsereq", "gate||1.0||" + std::to_string(child), "g1", "200",
                                  "opened GET /gate ", ""}));
    ASSERT_TRUE(WaitExit(status, 10s)) << Log();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = Log();
    EXPECT_NE(log.find("module not stopped num:0[Stopped|GoModuleMgt.cpp|"), std::string::npos);
    EXPECT_NE(log.find("exit[ExitWorkerProcess|"), std::string::npos);
    EXPECT_EQ(log.find("Exceeded the deadline"), std::string::npos);
}

TEST_F(GoWorkerTest, TerminateEndsWorkerWithoutWaitingForGoRequests) {
    StartGatedRequest(master.Home() / "never");
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 10s)) << Log();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = Log();
    EXPECT_NE(log.find("[GoModuleMgt::Stop]: result 0[Stop|GoModuleMgt.cpp|"), std::string::npos) << log;
    EXPECT_EQ(log.find("gracefully shutting down"), std::string::npos);
    EXPECT_TRUE(gw.FramesOf("responsereq").empty());
}
