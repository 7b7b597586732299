// The worker cycle in forked children against a channel socket the test listens on, the way the
// master spawns workers: handshake, load reports, graceful quit with drain and deadline,
// termination at once, a master that is not there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>

#include "support/FakeMaster.h"
#include "support/TestSupport.h"
#include "worker/ModuleMgtFactory.h"
#include "worker/WorkerProcessCycle.h"

using namespace std::chrono_literals;

namespace {

std::string gNotesPath;  // where the child's manager leaves its notes (set before the fork)
void Note(const std::string& text) {
    std::ofstream(gNotesPath, std::ios::app) << text << "\n";
}

// Never drains; notes its calls; "spawner" notes the SIGCHLD action it finds and how a child of its
// own ended.
struct TestMgt : IModuleMgt {
    int32_t Start() override { return 0; }
    int32_t LoadModule(const ModulePojo& m) override {
        if (m.GetName() == "spawner") {
            struct sigaction cur {};
            sigaction(SIGCHLD, nullptr, &cur);
            Note(cur.sa_handler == SIG_DFL ? "sigchld default" : "sigchld handled");
            pid_t pid = fork();
            if (pid == 0) _exit(7);
            int status = 0;
            Note(waitpid(pid, &status, 0) == pid ? "child-exit " + std::to_string(WEXITSTATUS(status))
                                                 : "child-lost");
        }
        Note("load " + m.GetName());
        return 0;
    }
    int32_t UnLoadModule(const ModulePojo&) override { return 0; }
    void Stop() override { Note("stop"); }
    bool Stopped() override { return false; }
} gTestMgt;

class WorkerProcessCycleTest : public ::testing::Test {
protected:
    WorkerProcessCycleTest() : master("WorkerCycle") { gNotesPath = master.Home() / "notes"; }

    // Forks the worker with the test's manager, reads its handshake, sends it one module and reads
    // the load report.
    void Start(const std::string& module, int drainPollMs = -1, const std::string& kind = "K",
               const std::string& report = "loadedModule") {
        ASSERT_TRUE(master.Listen());
        child = master.Spawn(
            [] { RegisterModuleMgt("K", [] { return static_cast<IModuleMgt*>(&gTestMgt); }); }, drainPollMs);
        ASSERT_EQ(master.AcceptHandshake(), "shakehand#" + std::to_string(child) + "\n");
        ASSERT_TRUE(
            master.Send(master.LastConnection(), "addModule#" + module + "|1|/opt/m|" + kind + "|\n"));
        ASSERT_EQ(master.ReadLine(master.LastConnection()),
                  report + "#" + std::to_string(child) + "#" + module + "|1\n");
    }
    // The child's exit status after signo; -1 when it still runs after timeout.
    int StatusAfter(int signo, std::chrono::milliseconds timeout) {
        kill(child, signo);
        return master.WaitExit(child, timeout);
    }
    std::string Notes() { return testsupport::ReadFile(gNotesPath); }

    testsupport::FakeMaster master;
    pid_t child = -1;
};

}  // namespace

TEST_F(WorkerProcessCycleTest, QuitWithNothingHostedEndsAtOnceAndAnUnknownKindIsReportedUnloaded) {
    Start("x", -1, "NOKIND", "unloadModule");  // default drain poll: a poll before the end would take 10 s
    EXPECT_EQ(StatusAfter(SIGQUIT, 5s), 0) << master.WorkerLog();
}

TEST_F(WorkerProcessCycleTest, GracefulQuitOfWorkThatNeverDrainsEndsAtTheDeadline) {
    testsupport::WriteFile(master.Home() / "conf/container.json", "{\"moduleRequestTimeout\": 1}");
    Start("m", 50);
    auto quit = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusAfter(SIGQUIT, 15s), 0);                 // long before the default deadline of 300 s
    EXPECT_GE(std::chrono::steady_clock::now() - quit, 1s);  // not before its own
    EXPECT_EQ(Notes(), "load m\nstop\n");
}

// A module's own children are its to reap; termination stops the manager and ends without a drain
// (default poll interval and request timeout: a drain would take minutes).
TEST_F(WorkerProcessCycleTest, ChildrenOfModulesAreLeftToThemAndTerminationEndsWithoutDrain) {
    Start("spawner");
    EXPECT_EQ(StatusAfter(SIGTERM, 10s), 0);
    EXPECT_EQ(Notes(), "sigchld default\nchild-exit 7\nload spawner\nstop\n");
    EXPECT_EQ(master.WorkerLog().find("gracefully shutting down"), std::string::npos);
}

TEST_F(WorkerProcessCycleTest, NoMasterToConnectToEndsTheWorkerWithStatusOne) {
    child = master.Spawn();  // nothing listens on the channel path
    int status = master.WaitExit(child, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(master.WorkerLog().find("loop start"), std::string::npos);
}
