// A real worker process (the worker cycle and its connector to the master) hosting a C module:
// the master's "addModule" makes it pull from the gateway and answer; SIGTERM ends it at once and
// SIGQUIT as soon as its work has drained.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "CModuleHarness.h"
#include "support/FakeMaster.h"

using namespace std::chrono_literals;
using namespace cmodtest;

namespace {

class CModuleWorkerTest : public ::testing::Test {
protected:
    CModuleWorkerTest() : master("CmodWorker"), gw(GetGatewayPath()) {}

    // Forks the worker (before the gateway's threads start: a child forked while another thread
    // holds an allocator lock can hang under AddressSanitizer), adds the module and hands it one
    // request.
    void StartAndSend(const std::string& name, const std::string& text) {
        ASSERT_TRUE(master.Listen());
        child = master.Spawn();
        ASSERT_TRUE(child > 0 && gw.Start() == 0 && !master.AcceptHandshake().empty());
        ASSERT_TRUE(master.Send(master.LastConnection(),
                                "addModule#" + name + "|1.0|" + ModuleDir(name) + "|C_MODULE|\n"));
        EXPECT_EQ(master.ReadLine(master.LastConnection()),
                  "loadedModule#" + std::to_string(child) + "#" + name + "|1.0\n");
        auto pull = gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(pull && pull->parts == (Parts{"pullreq", ClientIdOf(name, child)})) << master.WorkerLog();
        ASSERT_TRUE(gw.Reply(pull->conn, Message("w", text)));
    }
    Parts Answer(const std::string& name, const std::string& body) {
        return {"responsereq", ClientIdOf(name, child), "w", "200", body, ""};
    }

    testsupport::FakeMaster master;
    testsupport::ScriptableGateway gw;
    pid_t child = -1;
};

TEST_F(CModuleWorkerTest, ServesLeavesSignalsToTheMainThreadAndEndsAtOnceOnTermination) {
    ASSERT_NO_FATAL_FAILURE(StartAndSend("calc", RequestText("/calc", "20+22")));
    auto frame = gw.WaitForFrame("responsereq", WAIT);
    ASSERT_TRUE(frame && frame->parts == Answer("calc", "42")) << master.WorkerLog();
    const std::string proc = "/proc/" + std::to_string(child) + "/task/";
    size_t threads = 0;
    for (const std::string& tid : testsupport::ListDir(proc)) {
        if (tid == std::to_string(child)) continue;
        ++threads;
        std::ifstream status(proc + tid + "/status");
        std::string line;
        while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {
        }
        const unsigned long long blocked = line.empty() ? 0 : std::stoull(line.substr(7), nullptr, 16);
        for (int s : {SIGTERM, SIGQUIT, SIGINT, SIGALRM, SIGCHLD})
            EXPECT_TRUE(blocked & (1ULL << (s - 1))) << "thread " << tid << " takes signal " << s;
    }
    EXPECT_GE(threads, 3u);  // connector, event loop, dispatcher, handlers
    kill(child, SIGTERM);
    EXPECT_EQ(master.WaitExit(child, 5s), 0) << master.WorkerLog();  // the puller must not hold it
}

TEST_F(CModuleWorkerTest, GracefulQuitEndsOnceTheRunningRequestIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartAndSend("slow", RequestText("/slow", "", {{"ms", "1500"}})));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return master.WorkerLog().find("RequestHandler slow:1.0") != std::string::npos; }, WAIT));
    kill(child, SIGQUIT);
    // Well before the 300 s default deadline.
    EXPECT_EQ(master.WaitExit(child, 20s), 0) << master.WorkerLog();
    auto frames = gw.FramesOf("responsereq");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].parts, Answer("slow", "slept 1500"));
    EXPECT_EQ(master.WorkerLog().find("Exceeded the deadline"), std::string::npos);
}

}  // namespace
