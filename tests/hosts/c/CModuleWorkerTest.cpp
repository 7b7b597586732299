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
    // holds an allocator lock can hang under AddressSanitizer), adds the module, hands it one
    // request and returns the reply frame's parts.
    Parts StartAndSend(const std::string& name, const std::string& text) {
        EXPECT_TRUE(master.Listen());
        child = master.Spawn();
        EXPECT_TRUE(child > 0 && gw.Start() == 0 && !master.AcceptHandshake().empty());
        EXPECT_TRUE(master.Send(master.LastConnection(),
                                "addModule#" + name + "|1.0|" + ModuleDir(name) + "|C_MODULE|\n"));
        EXPECT_EQ(master.ReadLine(master.LastConnection()),
                  "loadedModule#" + std::to_string(child) + "#" + name + "|1.0\n");
        auto pull = gw.WaitForFrame("pullreq", WAIT);
        EXPECT_TRUE(pull && pull->parts == (Parts{"pullreq", ClientIdOf(name, child)})) << master.WorkerLog();
        return pull && gw.Reply(pull->conn, Message("w", text))
                   ? Parts{"responsereq", ClientIdOf(name, child), "w", "200"}
                   : Parts{};
    }

    testsupport::FakeMaster master;
    testsupport::ScriptableGateway gw;
    pid_t child = -1;
};

// The blocked-signal mask of one of the child's threads.
unsigned long long BlockedMask(pid_t pid, const std::string& tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

}  // namespace

TEST_F(CModuleWorkerTest, ServesLeavesSignalsToTheMainThreadAndEndsAtOnceOnTermination) {
    Parts reply = StartAndSend("calc", RequestText("/calc", "20+22"));
    reply.insert(reply.end(), {"42", ""});
    auto frame = gw.WaitForFrame("responsereq", WAIT);
    ASSERT_TRUE(frame && frame->parts == reply) << master.WorkerLog();
    size_t threads = 0;
    for (const std::string& tid : testsupport::ListDir("/proc/" + std::to_string(child) + "/task")) {
        threads += tid != std::to_string(child);
        for (int s : {SIGTERM, SIGQUIT, SIGINT, SIGALRM, SIGCHLD}) {
            EXPECT_TRUE(tid == std::to_string(child) || (BlockedMask(child, tid) & (1ULL << (s - 1))))
                << tid << " " << s;
        }
    }
    EXPECT_GE(threads, 3u);  // connector, event loop, dispatcher, handlers
    kill(child, SIGTERM);
    EXPECT_EQ(master.WaitExit(child, 5s), 0) << master.WorkerLog();  // the puller must not hold it
}

TEST_F(CModuleWorkerTest, GracefulQuitEndsOnceTheRunningRequestIsAnswered) {
    Parts reply = StartAndSend("slow", RequestText("/slow", "", {{"ms", "1500"}}));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return master.WorkerLog().find("RequestHandler slow:1.0") != std::string::npos; }, WAIT));
    kill(child, SIGQUIT);
    EXPECT_EQ(master.WaitExit(child, 20s), 0)
        << master.WorkerLog();  // well before the 300 s default deadline
    reply.insert(reply.end(), {"slept 1500", ""});
    ASSERT_EQ(gw.FramesOf("responsereq").size(), 1u);
    EXPECT_EQ(gw.FramesOf("responsereq")[0].parts, reply);
    EXPECT_EQ(master.WorkerLog().find("Exceeded the deadline"), std::string::npos);
}
