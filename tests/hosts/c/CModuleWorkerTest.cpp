// A real worker process (the worker cycle and its connector to the master) hosting a C module:
// the master's "addModule" makes it pull from the gateway; signals stay with its main thread, and
// SIGQUIT ends it as soon as the request it runs is answered.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "CModuleHarness.h"
#include "support/FakeMaster.h"

using namespace std::chrono_literals;
using namespace cmodtest;

TEST(CModuleWorker, LeavesSignalsToTheMainThreadAndAGracefulQuitEndsOnceTheRunningRequestIsAnswered) {
    testsupport::FakeMaster master("CmodWorker");
    testsupport::ScriptableGateway gw(GetGatewayPath());
    // Forked before the gateway's threads start: a child forked while another thread holds an
    // allocator lock can hang under AddressSanitizer.
    ASSERT_TRUE(master.Listen());
    const pid_t child = master.Spawn();
    ASSERT_TRUE(child > 0 && gw.Start() == 0 && !master.AcceptHandshake().empty());
    ASSERT_TRUE(
        master.Send(master.LastConnection(), "addModule#slow|1.0|" + ModuleDir("slow") + "|C_MODULE|\n"));
    EXPECT_EQ(master.ReadLine(master.LastConnection()),
              "loadedModule#" + std::to_string(child) + "#slow|1.0\n");
    auto pull = gw.WaitForFrame("pullreq", WAIT);
    ASSERT_TRUE(pull && pull->parts == (Parts{"pullreq", ClientIdOf("slow", child)})) << master.WorkerLog();
    ASSERT_TRUE(gw.Reply(pull->conn, Message("w", RequestText("/slow", "", {{"ms", "1500"}}))));
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return master.WorkerLog().find("RequestHandler slow:1.0") != std::string::npos; }, WAIT));

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

    kill(child, SIGQUIT);
    EXPECT_EQ(master.WaitExit(child, 20s), 0)
        << master.WorkerLog();  // well before the 300 s default deadline
    auto frames = gw.FramesOf("responsereq");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].parts,
              (Parts{"responsereq", ClientIdOf("slow", child), "w", "200", "slept 1500", ""}));
    EXPECT_EQ(master.WorkerLog().find("Exceeded the deadline"), std::string::npos);
}
