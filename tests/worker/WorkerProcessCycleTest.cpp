// Runs the worker cycle in forked children against a channel socket the test listens on, the way
// the master spawns workers, and checks exit statuses, the channel traffic and the log lines.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/FakeMaster.h"
#include "support/TestSupport.h"
#include "worker/IModuleMgt.h"
#include "worker/ModuleMgtFactory.h"
#include "worker/WorkerProcessCycle.h"

using namespace std::chrono_literals;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

// Where the child's test manager leaves its notes (set before the fork, copied into the child).
std::string gNotesPath;

void Note(const std::string& text) {
    std::ofstream out(gNotesPath, std::ios::app);
    out << text << "\n";
}

bool HandledSignalsBlockedHere() {
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, nullptr, &cur);
    for (int s : {SIGQUIT, SIGTERM, SIGINT, SIGALRM, SIGCHLD}) {
        if (!sigismember(&cur, s)) return false;
    }
    return true;
}

// The test's module manager: never drains unless told to, notes every call, and can start a
// busy thread or a child process of its own.
class TestMgt : public IModuleMgt {
public:
    int32_t Start() override { return 0; }
    int32_t LoadModule(const ModulePojo& m) override {
        Note("load " + m.GetName());
        Note(std::string("connector-mask ") + (HandledSignalsBlockedHere() ? "blocked" : "open"));
        if (m.GetName() == "busy") {
            std::thread([this] {
                Note(std::string("busy-mask ") + (HandledSignalsBlockedHere() ? "blocked" : "open"));
                volatile unsigned long spin = 0;
                while (!stopped) ++spin;
            }).detach();
        }
        if (m.GetName() == "spawner") {
            struct sigaction cur {};
            sigaction(SIGCHLD, nullptr, &cur);
            Note(std::string("sigchld ") + (cur.sa_handler == SIG_DFL ? "default" : "handled"));
            pid_t pid = fork();
            if (pid == 0) _exit(7);
            int status = 0;
            pid_t got = waitpid(pid, &status, 0);
            Note(got == pid ? "child-exit " + std::to_string(WEXITSTATUS(status)) : "child-lost");
        }
        return 0;
    }
    int32_t UnLoadModule(const ModulePojo&) override { return 0; }
    void Stop() override {
        Note("stop");
        stopped = true;
    }
    bool Stopped() override { return drainsOnStop && stopped; }

    bool drainsOnStop = false;
    std::atomic<bool> stopped{false};
};

TestMgt gTestMgt;
IModuleMgt* GetTestMgt() { return &gTestMgt; }

class WorkerProcessCycleTest : public ::testing::Test {
protected:
    WorkerProcessCycleTest() : master("WorkerCycle"), home(master.Home()) { gNotesPath = home / "notes"; }

    void Listen() { ASSERT_TRUE(master.Listen()); }

    // Forks the worker with the test's manager registered; setup runs in the child first.
    void Spawn(const std::function<void()>& setup = {}) {
        child = master.Spawn(
            [setup] {
                RegisterModuleMgt("TESTKIND", &GetTestMgt);
                if (setup) setup();
            },
            -1);
        ASSERT_GT(child, 0);
    }

    // Accepts the worker's connection and reads its handshake line.
    std::string AcceptHandshake() {
        std::string line = master.AcceptHandshake();
        conn = master.LastConnection();
        return line;
    }

    void Send(const std::string& line) { ASSERT_TRUE(master.Send(conn, line)); }

    bool WaitExit(int& status, std::chrono::milliseconds timeout) {
        status = master.WaitExit(child, timeout);
        return status != -1;
    }

    std::string Log() { return master.WorkerLog(); }

    std::string Notes() { return ReadFile(gNotesPath); }
    bool NotesHave(const std::string& text) { return Notes().find(text) != std::string::npos; }

    // A log line with this message written by func of the worker cycle's file.
    static bool HasLine(const std::string& log, const std::string& msg, const std::string& func) {
        return log.find(msg + "[" + func + "|WorkerProcessCycle.cpp|") != std::string::npos;
    }

    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
        return n;
    }

    testsupport::FakeMaster master;
    const TempDir& home;
    int conn = -1;
    pid_t child = -1;
};

}  // namespace

TEST_F(WorkerProcessCycleTest, QuitWithoutModulesEndsAtOnce) {
    Listen();
    Spawn();
    EXPECT_EQ(AcceptHandshake(), "shakehand#" + std::to_string(child) + "\n");
    // A kind nobody hosts leaves the worker without a manager.
    Send("addModule#x|1|/opt/m|NOKIND|\n");
    ASSERT_TRUE(WaitFor([&] { return Log().find("unknow libtype: NOKIND[ExecCmd|ConnectorToMaster.cpp|") !=
                                       std::string::npos; }, 10s)) << Log();
    kill(child, SIGQUIT);
    int status = 0;
    // Nothing to drain: no 10-second poll may come first.
    ASSERT_TRUE(WaitExit(status, 5s));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "loop start", "warrenWorkerProcessCycle")) << log;
    EXPECT_TRUE(HasLine(log, "gracefully shutting down", "warrenWorkerProcessCycle"));
    EXPECT_TRUE(HasLine(log, "exit", "ExitWorkerProcess"));
    EXPECT_EQ(log.find("wait for graceful quit"), std::string::npos);
}

TEST_F(WorkerProcessCycleTest, WorkThatNeverDrainsEndsAtTheDeadline) {
    testsupport::WriteFile(home / "conf/container.json", "{\"moduleRequestTimeout\": 1}");
    Listen();
    Spawn([] { SetWorkerDrainPollIntervalMs(50); });
    ASSERT_FALSE(AcceptHandshake().empty());
    Send("addModule#m|1|/opt/m|TESTKIND|\n");
    ASSERT_TRUE(WaitFor([&] { return NotesHave("load m"); }, 10s));
    kill(child, SIGQUIT);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 15s));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Count(Notes(), "stop"), 1u);

    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "gracefully shutting down", "warrenWorkerProcessCycle")) << log;
    size_t exceeded = log.find("Exceeded the deadline, force exit.[warrenWorkerProcessCycle|");
    ASSERT_NE(exceeded, std::string::npos);
    EXPECT_NE(log.find("exit[ExitWorkerProcess|", exceeded), std::string::npos);
    // Every poll before the end reports the same deadline, not yet passed.
    const std::string tag = "wait for graceful quit, deadline ";
    size_t pos = log.find(tag);
    ASSERT_NE(pos, std::string::npos);
    long deadline = -1;
    for (; pos != std::string::npos; pos = log.find(tag, pos + 1)) {
        long d = 0, now = 0;
        ASSERT_EQ(sscanf(log.c_str() + pos + tag.size(), "%ld now:%ld[warrenWorkerProcessCycle|", &d, &now), 2);
        if (deadline == -1) deadline = d;
        EXPECT_EQ(d, deadline);
        EXPECT_LE(now, d);
    }
}

TEST_F(WorkerProcessCycleTest, TerminateStopsManagerAndEndsWithoutDrain) {
    Listen();
    Spawn();  // default poll interval and request timeout: a drain would take minutes
    ASSERT_FALSE(AcceptHandshake().empty());
    Send("addModule#m|1|/opt/m|TESTKIND|\n");
    ASSERT_TRUE(WaitFor([&] { return NotesHave("load m"); }, 10s));
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 10s));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(NotesHave("stop"));
    std::string log = Log();
    EXPECT_EQ(log.find("gracefully shutting down"), std::string::npos);
    EXPECT_TRUE(HasLine(log, "exit", "ExitWorkerProcess")) << log;
}

TEST_F(WorkerProcessCycleTest, SignalsReachMainThreadWhileOtherThreadsRun) {
    Listen();
    Spawn([] { gTestMgt.drainsOnStop = true; });
    ASSERT_FALSE(AcceptHandshake().empty());
    Send("addModule#busy|1|/opt/m|TESTKIND|\n");
    ASSERT_TRUE(WaitFor([&] { return NotesHave("busy-mask"); }, 10s));
    // Threads the worker starts must leave the handled signals to the main thread.
    EXPECT_TRUE(NotesHave("connector-mask blocked")) << Notes();
    EXPECT_TRUE(NotesHave("busy-mask blocked")) << Notes();

    kill(child, SIGQUIT);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 10s));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(Log().find("gracefully shutting down"), std::string::npos);
}

TEST_F(WorkerProcessCycleTest, ModuleChildrenAreNotReapedByTheWorker) {
    Listen();
    Spawn();
    ASSERT_FALSE(AcceptHandshake().empty());
    Send("addModule#spawner|1|/opt/m|TESTKIND|\n");
    ASSERT_TRUE(WaitFor([&] { return NotesHave("child-"); }, 10s));
    EXPECT_TRUE(NotesHave("sigchld default")) << Notes();
    EXPECT_TRUE(NotesHave("child-exit 7")) << Notes();
    kill(child, SIGTERM);
    int status = 0;
    EXPECT_TRUE(WaitExit(status, 10s));
}

TEST_F(WorkerProcessCycleTest, MissingMasterSocketEndsWorkerWithStatusOne) {
    Spawn();  // nothing listens on the channel path
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 10s));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string log = Log();
    EXPECT_TRUE(HasLine(log, "connect to master fail", "warrenWorkerProcessCycle")) << log;
    EXPECT_NE(log.find("connect master fail.[InitAndShakeHand|ConnectorToMaster.cpp|"), std::string::npos);
    EXPECT_EQ(log.find("loop start"), std::string::npos);
    EXPECT_EQ(log.find("exit[ExitWorkerProcess"), std::string::npos);
}
