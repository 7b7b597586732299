// A real worker process (the worker cycle with its connector to the master) hosting a C module:
// the master's "addModule" line makes it pull from the gateway and answer; SIGTERM ends it at
// once and SIGQUIT as soon as its work has drained.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "CModuleHarness.h"
#include "proto/GatewayPath.h"
#include "support/FakeMaster.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::WaitFor;
using Parts = testsupport::ScriptableGateway::Parts;

namespace {

class CModuleWorkerTest : public ::testing::Test {
protected:
    CModuleWorkerTest() : master("CmodWorker"), gw(GetGatewayPath()) {}

    // Listens as the master, forks the worker and sends it the module's "addModule" line. The
    // fork comes before the gateway's threads start: a child forked while another thread holds
    // an allocator lock can hang under AddressSanitizer.
    void StartWorkerWith(const std::string& name) {
        ASSERT_TRUE(master.Listen());
        child = master.Spawn();
        ASSERT_GT(child, 0);
        ASSERT_EQ(gw.Start(), 0);
        int conn = master.Accept();
        ASSERT_NE(conn, -1);
        ASSERT_TRUE(master.Send(conn, "addModule#" + name + "|1.0|" + cmodtest::ModuleDir(name) + "|C_MODULE|\n"));
    }

    std::string ClientId(const std::string& name) { return name + "||1.0||" + std::to_string(child); }
    int WaitExit(std::chrono::milliseconds timeout) { return master.WaitExit(child, timeout); }
    std::string Log() { return master.WorkerLog(); }

    testsupport::FakeMaster master;
    testsupport::ScriptableGateway gw;
    pid_t child = -1;
};

}  // namespace

TEST_F(CModuleWorkerTest, AddedModuleServesRequestsAndTerminationEndsTheWorkerAtOnce) {
    StartWorkerWith("calc");
    auto pull = gw.WaitForFrame("pullreq", 10s);
    ASSERT_TRUE(pull) << Log();
    EXPECT_EQ(pull->parts, (Parts{"pullreq", ClientId("calc")}));
    ASSERT_TRUE(gw.Reply(pull->conn, cmodtest::Message("w1", cmodtest::RequestText("/calc", "GET", "", {{"x", "20"}, {"y", "22"}}))));
    auto resp = gw.WaitForFrame("responsereq", 10s);
    ASSERT_TRUE(resp) << Log();
    EXPECT_EQ(resp->parts, (Parts{"responsereq", ClientId("calc"), "w1", "200", "42", ""}));
    ASSERT_TRUE(gw.WaitForFrameCount("pullreq", 2, 10s));

    kill(child, SIGTERM);
    // The puller must not hold the worker until the master's SIGKILL.
    int status = WaitExit(5s);
    ASSERT_TRUE(WIFEXITED(status)) << status << Log();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = Log();
    EXPECT_NE(log.find("IOService exist[pullGatewayReq|CModuleMgt.cpp|"), std::string::npos) << log;
    EXPECT_NE(log.find("exit[ExitWorkerProcess|"), std::string::npos);
}

TEST_F(CModuleWorkerTest, GracefulQuitEndsOnceTheRunningRequestIsAnswered) {
    StartWorkerWith("slow");
    auto pull = gw.WaitForFrame("pullreq", 10s);
    ASSERT_TRUE(pull) << Log();
    ASSERT_TRUE(gw.Reply(pull->conn, cmodtest::Message("q", cmodtest::RequestText("/slow", "GET", "", {{"ms", "1500"}}))));
    ASSERT_TRUE(WaitFor([&] { return Log().find("RequestHandler slow:1.0") != std::string::npos; }, 10s));

    kill(child, SIGQUIT);
    // Well before the 300-second default deadline: the worker ends when the answer is out.
    int status = WaitExit(20s);
    ASSERT_TRUE(WIFEXITED(status)) << status << Log();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto resp = gw.FramesOf("responsereq");
    ASSERT_EQ(resp.size(), 1u);
    EXPECT_EQ(resp[0].parts, (Parts{"responsereq", ClientId("slow"), "q", "200", "slept 1500", ""}));
    std::string log = Log();
    EXPECT_EQ(log.find("Exceeded the deadline"), std::string::npos) << log;
    EXPECT_NE(log.find("gracefully shutting down"), std::string::npos);
}
