// The worker's registries (module kinds and the current manager, run by the connector; the module
// table; the request receivers), and its cycle in children forked as the master does: handshake,
// load reports, and how it ends (no master or the master gone, a quit's deadline, termination).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/FakeMaster.h"
#include "worker/ConnectorToMaster.h"
#include "worker/ModuleMgtBase.h"
#include "worker/ModuleMgtFactory.h"
#include "worker/ReqReceiverMgt.h"

using namespace std::chrono_literals;

namespace {

using Calls = std::vector<std::string>;

std::string gNotesPath;  // when set, where a forked worker's manager leaves its notes as well

// Notes what it is asked; modules named "bad" fail to load with 7, unloading answers 5; never
// drains. "spawner" notes the SIGCHLD action it finds and how a child of its own ended.
struct RecordingMgt : ModuleMgtBase {
    void Note(const std::string& text) {
        calls.push_back(text);
        if (!gNotesPath.empty()) std::ofstream(gNotesPath, std::ios::app) << text << "\n";
    }
    int32_t LoadModule(const ModulePojo& m) override {
        if (m.GetName() == "spawner") {
            struct sigaction cur {};
            sigaction(SIGCHLD, nullptr, &cur);
            pid_t pid = fork();
            if (pid == 0) _exit(7);
            int status = 0;
            Note(std::string(cur.sa_handler == SIG_DFL ? "sigchld default" : "sigchld handled") +
                 (waitpid(pid, &status, 0) == pid ? ", child-exit " + std::to_string(WEXITSTATUS(status))
                                                  : ", child-lost"));
        }
        Note("load " + m.GetName() + ":" + m.GetVersion() + " " + m.GetVmArgs());
        return m.GetName() == "bad" ? 7 : 0;
    }
    int32_t UnLoadModule(const ModulePojo& m) override { return Note("unload " + m.GetName()), 5; }
    void Stop() override { Note("stop"); }
    bool Stopped() override { return false; }
    Calls calls;
} gC, gGo;

ModulePojo Module(const std::string& name, const std::string& type = "C_MODULE", const char* version = "1") {
    return ModulePojo(name, version, "/opt/m", type, "");
}

TEST(ModuleMgtFactory, KindPicksTheCurrentManagerAndTheConnectorRunsAMessageInOrderOrNotAtAll) {
    ResetCurrentModuleMgt();
    RegisterModuleMgt("C_MODULE", [] { return static_cast<IModuleMgt*>(&gC); });
    RegisterModuleMgt("GO", [] { return static_cast<IModuleMgt*>(&gGo); });
    // Nothing hosted yet: shutdown has nothing to stop and nothing to wait for.
    EXPECT_EQ(GetModuleMgtByType(Module("a", "c_module")), nullptr);
    StopCurrentModuleMgt();
    EXPECT_TRUE(CurrentModuleMgtStopped());
    ConnectorToMaster connector;
    EXPECT_EQ(connector.DoAsyncRead(3, "addModule#A|1|/m|C_MODULE|\naddModule#B|1|/m\n"), -1);
    EXPECT_EQ(connector.ExecCmd("addModule", Module("A", "NOKIND")), -1);  // no manager yet
    EXPECT_EQ(connector.DoAsyncRead(
                  3,
                  "addModule#bad|1|/m|C_MODULE|\naddModule#B|2|/m|C_MODULE|-Xmx1g\n"
                  "deleteModule#B|2|/m|C_MODULE|\nbogus#B|2|/m|C_MODULE|\nageingModule#B|2|/m|C_MODULE|\n"),
              0);
    EXPECT_EQ(gC.calls, (Calls{"load bad:1 ", "load B:2 -Xmx1g", "unload B", "stop"}));
    EXPECT_EQ(connector.ExecCmd("addModule", Module("bad")), 7);          // the manager's result
    EXPECT_EQ(connector.ExecCmd("deleteModule", Module("A")), 0);         // its result dropped
    EXPECT_EQ(connector.ExecCmd("addModule", Module("A", "NOKIND")), 0);  // to the current manager
    EXPECT_EQ(gC.calls.back(), "load A:1 ");

    gC.calls.clear();
    EXPECT_EQ(GetModuleMgtByType(Module("b", "c_module")), &gC);  // unknown kinds keep the current one
    EXPECT_EQ(GetModuleMgtByType(Module("c", "GO")), &gGo);
    StopCurrentModuleMgt();
    EXPECT_EQ(gGo.calls, Calls{"stop"});
    EXPECT_TRUE(gC.calls.empty());
    EXPECT_FALSE(CurrentModuleMgtStopped());
    RegisterModuleMgt("C_MODULE", nullptr);
    RegisterModuleMgt("GO", nullptr);
    ResetCurrentModuleMgt();
}

TEST(ModuleMgtBase, AddModuleKeepsAnExistingRecordAndSeparatesVersions) {
    gC.AddModule(Module("calc"));
    gC.SetModuleStatus(Module("calc"), ModuleHandler::STATUS_LOADED);
    gC.AddModule(ModulePojo("calc", "1", "/elsewhere", "C_MODULE", ""));
    gC.AddModule(Module("calc", "C_MODULE", "2"));
    gC.SetModuleStatus(Module("other"), ModuleHandler::STATUS_UNLOADED);  // no record appears
    ModuleHandler h1, h2;
    ASSERT_TRUE(gC.FindModule(ModuleKey("calc", "1"), h1) && gC.FindModule(ModuleKey("calc", "2"), h2));
    EXPECT_EQ(gC.ModuleCount(), 2u);
    EXPECT_EQ(h1.status, ModuleHandler::STATUS_LOADED);
    EXPECT_EQ(h1.module.GetLocation(), "/opt/m");
    EXPECT_EQ(h2.status, ModuleHandler::STATUS_REGISTERED);
    gC.ClearModules();
}

Calls gJournal;  // the drain's calls as "<name>.<operation>"

struct ScriptedReceiver : IRequestReceiver {
    ScriptedReceiver(std::string n, bool d) : name(std::move(n)), drained(d) {}
    ~ScriptedReceiver() override { Note("destroyed"); }
    void Note(const char* op) { gJournal.push_back(name + "." + op); }
    int32_t start() override { return 0; }
    void stop() override {}
    void SetNotReceive() override {}
    bool IsNotReceiving() override { return false; }
    void reconect() override {}
    bool CheckStopOver() override { return Note("CheckStopOver"), drained; }
    bool ModuleHealthCheck() override { return true; }
    std::string name;
    bool drained;
};

TEST(ReqReceiverMgt, OneReceiverPerKeyAndADrainDropsDrainedOnesInKeyOrderUntilABusyOne) {
    auto make = [](const char* n, bool drained = true) {
        return std::make_shared<ScriptedReceiver>(n, drained);
    };
    ReqReceiverMgt& registry = ReqReceiverMgt::getInstance();
    registry.Clear();
    auto busy = make("b", false), refused = make("b2");
    EXPECT_TRUE(registry.AddRequestReceiver(ModuleKey("b", "1"), busy));
    EXPECT_FALSE(registry.AddRequestReceiver(ModuleKey("b", "1"), refused));
    for (const char* n : {"c", "a"}) EXPECT_TRUE(registry.AddRequestReceiver(ModuleKey(n, "1"), make(n)));
    EXPECT_EQ(registry.Find(ModuleKey("b", "1")), busy);
    // (Operations by key reaching their receivers are checked in the C host's tests.)
    EXPECT_FALSE(registry.CheckStopOver());
    EXPECT_EQ(gJournal, (Calls{"a.CheckStopOver", "a.destroyed", "b.CheckStopOver"}));
    gJournal.clear();
    busy->drained = true;
    busy.reset();
    EXPECT_TRUE(registry.CheckStopOver());
    EXPECT_EQ(gJournal, (Calls{"b.CheckStopOver", "b.destroyed", "c.CheckStopOver", "c.destroyed"}));
}

class WorkerProcessCycleTest : public ::testing::Test {
protected:
    WorkerProcessCycleTest() : master("WorkerCycle") { gNotesPath = master.Home() / "notes"; }

    // Forks a worker with gC as kind "K" and sends it one module: handshake and load report.
    void Start(const std::string& module, int drainPollMs = -1) {
        ASSERT_TRUE(master.Listen());
        child = master.Spawn([] { RegisterModuleMgt("K", [] { return static_cast<IModuleMgt*>(&gC); }); },
                             drainPollMs);
        ASSERT_EQ(master.AcceptHandshake(), "shakehand#" + std::to_string(child) + "\n");
        ASSERT_TRUE(master.Send(master.LastConnection(), "addModule#" + module + "|1|/opt/m|K|\n"));
        ASSERT_EQ(master.ReadLine(master.LastConnection()),
                  "loadedModule#" + std::to_string(child) + "#" + module + "|1\n");
    }
    // The child's exit status after signo; -1 when it still runs after timeout.
    int StatusAfter(int signo, std::chrono::milliseconds timeout) {
        return kill(child, signo) == 0 ? master.WaitExit(child, timeout) : -2;
    }

    testsupport::FakeMaster master;
    pid_t child = -1;
};

}  // namespace

// No master to connect to: status 1 before the loop. (Workers whose master died are followed with
// the whole stack.)
TEST_F(WorkerProcessCycleTest, WithoutAMasterToConnectToAWorkerEnds) {
    EXPECT_EQ(master.WaitExit(master.Spawn(), 10s), 1 << 8);
    EXPECT_EQ(master.WorkerLog().find("loop start"), std::string::npos);
}

TEST_F(WorkerProcessCycleTest, GracefulQuitOfWorkThatNeverDrainsEndsAtTheDeadline) {
    testsupport::WriteFile(master.Home() / "conf/container.json", "{\"moduleRequestTimeout\": 1}");
    Start("m", 50);
    auto quit = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusAfter(SIGQUIT, 15s), 0);                 // long before the default deadline of 300 s
    EXPECT_GE(std::chrono::steady_clock::now() - quit, 1s);  // not before its own
    EXPECT_EQ(testsupport::ReadFile(gNotesPath), "load m:1 \nstop\n");
}

// A module's own children are its to reap; termination stops the manager and ends without a drain
// (default poll interval and request timeout: a drain would take minutes).
TEST_F(WorkerProcessCycleTest, ChildrenOfModulesAreLeftToThemAndTerminationEndsWithoutDrain) {
    Start("spawner");
    EXPECT_EQ(StatusAfter(SIGTERM, 10s), 0);
    EXPECT_EQ(testsupport::ReadFile(gNotesPath), "sigchld default, child-exit 7\nload spawner:1 \nstop\n");
    EXPECT_EQ(master.WorkerLog().find("gracefully shutting down"), std::string::npos);
}
