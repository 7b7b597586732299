// Placement decisions: where modules go, what is sent, and how ageing replaces workers.
#include "master/ModuleMgt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "common/LogMgr.h"
#include "master/WarrenProcess.h"
#include "support/ContainerConfig.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"
#include "unit/placement/PlacementFakes.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

void SleepingWorker(void*) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGQUIT, [](int) { _exit(0); });
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (;;) pause();
}

ModulePojo Mod(const std::string& name, const std::string& type = "C_MODULE", const std::string& version = "1.0",
               const std::string& vmArgs = "") {
    return ModulePojo(name, version, "/opt/" + name, type, vmArgs);
}

class Placement : public ::testing::Test {
protected:
    TempDir home{"vessel-placement"};
    ScopedEnv logDir{"_APP_LOG_DIR", home.path()};
    ScopedEnv vesselHome{"VESSEL_HOME", home.path()};
    FakeRegistry registry;
    FakeNeedLoad needLoad;
    ModuleMgt mgt;
    int nextPid = 100000;  // fake pids: nothing is signalled through them

    void SetUp() override {
        WriteImmediateLogConfig(home.path());
        LogMgr::InitLogFile("Vessel");
        memset(gProcesses, 0, sizeof(gProcesses));
        gLastProcess = 0;
        Limit(2);
        mgt.SetNeedLoad(&needLoad);
        mgt.SetProcessMgt(&registry, &registry);
        mgt.SetSpawnFn([this] { return ++nextPid; });
    }
    void TearDown() override {
        for (int i = 0; i < gLastProcess; ++i) {
            if (gProcesses[i].pid > 0) kill(gProcesses[i].pid, SIGKILL);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    void Limit(int n) { WriteContainerConfig(home.path(), "{\"maxModulePerSubprocess\": " + std::to_string(n) + "}"); }
    void UseRealWorkers() {
        mgt.SetSpawnFn([] { return warrenSpawnProcess(SleepingWorker, nullptr, "warren worker "); });
    }
    std::vector<std::string> Names(int pid) {
        std::vector<std::string> names;
        auto snap = mgt.Snapshot();
        for (const auto& m : snap[pid]) names.push_back(m.GetName());
        return names;
    }
    std::string Logs() { return ReadLogs(home.path(), "Vessel"); }
};

}  // namespace

TEST_F(Placement, FillsWorkersUpToTheLimitThenSpawns) {
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    mgt.UpdateModule(Mod("c"));
    auto snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 2u);
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Names(100002), (std::vector<std::string>{"c"}));
    // A new worker gets its first module queued for its handshake; a running one gets it sent.
    EXPECT_EQ(registry.pending[100001].size(), 1u);
    EXPECT_EQ(registry.pending[100002].size(), 1u);
    EXPECT_EQ(registry.LinesTo(100001), (std::vector<std::string>{"addModule#b|1.0|/opt/b|C_MODULE|\n"}));
}

TEST_F(Placement, KindsAreNeverMixedAndCServiceStandsAlone) {
    Limit(10);
    mgt.UpdateModule(Mod("web", "TOMCAT"));
    mgt.UpdateModule(Mod("calc", "C_MODULE"));
    mgt.UpdateModule(Mod("svc1", "C_SERVICE"));
    mgt.UpdateModule(Mod("svc2", "C_SERVICE"));
    auto snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 4u);
    for (const auto& w : snap) EXPECT_EQ(w.second.size(), 1u);
    EXPECT_TRUE(registry.sent.empty());
}

TEST_F(Placement, TiesGoToTheLowerPid) {
    Limit(1);
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    Limit(10);
    mgt.UpdateModule(Mod("c"));
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(Names(100002), (std::vector<std::string>{"b"}));
}

TEST_F(Placement, ZeroLimitSpawnsForEachModuleAndNegativeMeansNoLimit) {
    Limit(0);
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    EXPECT_EQ(mgt.Snapshot().size(), 2u);

    // No limit: the two workers share the load, however many modules come.
    Limit(-2);
    for (int i = 0; i < 30; ++i) mgt.UpdateModule(Mod("m" + std::to_string(i)));
    auto snap = mgt.Snapshot();
    EXPECT_EQ(snap.size(), 2u);
    EXPECT_EQ(snap[100001].size(), 16u);
    EXPECT_EQ(snap[100002].size(), 16u);
}

TEST_F(Placement, ConfigurationChangesDeleteOrRefreshPlacedModules) {
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"));
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"));
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"));
    EXPECT_EQ(registry.LinesTo(100001), (std::vector<std::string>{"modifyModule#a|1.0|/opt/a|C_MODULE|\n",
                                                                   "modifyModule#a|1.0|/opt/a|C_MODULE|\n"}));
    registry.sent.clear();
    mgt.UpdateModule(Mod("a", "C_MODULE", "2.0"));
    EXPECT_EQ(registry.LinesTo(100001), (std::vector<std::string>{"deleteModule#a|1.0|/opt/a|C_MODULE|\n"}));
    EXPECT_TRUE(Names(100001).empty());  // nothing placed in the same pass
    EXPECT_EQ(nextPid, 100001);
    // A changed vmArgs counts as a change too.
    mgt.UpdateModule(Mod("j", "TOMCAT", "1", "-Xmx1g"));
    registry.sent.clear();
    mgt.UpdateModule(Mod("j", "TOMCAT", "1", "-Xmx2g"));
    ASSERT_EQ(registry.sent.size(), 1u);
    EXPECT_EQ(registry.sent[0].second.rfind("deleteModule#j|", 0), 0u);
}

TEST_F(Placement, UnwantedModulesWaitAndFailedSendsAreNotRecorded) {
    needLoad.everything = false;
    mgt.UpdateModule(Mod("a"));
    EXPECT_TRUE(mgt.Snapshot().empty());
    EXPECT_EQ(LinesWith(Logs(), "not need load module,version:a:1.0").size(), 1u);

    needLoad.needed.insert(ModuleKey("a", "1.0"));
    needLoad.needed.insert(ModuleKey("b", "1.0"));
    mgt.UpdateModule(Mod("a"));
    registry.sendResult = 32;
    mgt.UpdateModule(Mod("b"));
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"a"}));
    EXPECT_EQ(LinesWith(Logs(), "sync send addModuleCmd fail,100001, 1.0").size(), 1u);
}

TEST_F(Placement, DemandsPlaceConfiguredModulesOnce) {
    EXPECT_EQ(mgt.CheckAndAddModule(ModuleKey("a", "1.0")), 0);
    EXPECT_TRUE(mgt.Snapshot().empty());  // not configured
    mgt.SaveModule(Mod("a"));
    mgt.CheckAndAddModule(ModuleKey("a", "1.0"));
    mgt.CheckAndAddModule(ModuleKey("a", "1.0"));
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"a"}));
    EXPECT_EQ(mgt.GetLoadedModules().size(), 1u);
}

TEST_F(Placement, UnloadForgetsTheModuleAndItsDemand) {
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    int pid = 100001;
    EXPECT_EQ(mgt.UnloadModule(&pid, "a"), -1);
    EXPECT_EQ(LinesWith(Logs(), "UnloadModule parse fail, a").size(), 1u);
    EXPECT_EQ(mgt.UnloadModule(&pid, "a|1.0"), 0);
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"b"}));
    ASSERT_EQ(needLoad.removed.size(), 1u);
    EXPECT_EQ(needLoad.removed[0], ModuleKey("a", "1.0"));
}

TEST_F(Placement, AgeingRetiresIdleModulesAndMovesTheRestToANewWorker) {
    UseRealWorkers();
    Limit(10);
    mgt.UpdateModule(Mod("idle"));
    mgt.UpdateModule(Mod("busy"));
    auto snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 1u);
    int oldPid = snap.begin()->first;

    mgt.CheckModuleAgeing(-1);  // off
    EXPECT_TRUE(registry.ageingNotices.empty());

    needLoad.idle = {ModuleKey("idle", "1.0")};
    mgt.CheckModuleAgeing(60);
    ASSERT_EQ(registry.ageingNotices.size(), 1u);
    EXPECT_EQ(registry.ageingNotices[oldPid].at(0).GetName(), "idle");
    EXPECT_EQ(registry.ageingNotices[oldPid].at(0).GetStatus(), ModulePojo::STATUS_AGEING);

    snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 1u);
    int newPid = snap.begin()->first;
    EXPECT_NE(newPid, oldPid);
    EXPECT_EQ(Names(newPid), (std::vector<std::string>{"busy"}));
    EXPECT_EQ(registry.pending[newPid].at(0).GetName(), "busy");
    EXPECT_EQ(registry.removed, (std::vector<std::string>{std::to_string(oldPid)}));
    // The old worker was marked exiting and told to quit (it exits on SIGQUIT).
    int status = 0;
    ASSERT_EQ(waitpid(oldPid, &status, 0), oldPid);
    EXPECT_TRUE(WIFEXITED(status));
    std::string logs = Logs();
    EXPECT_EQ(LinesWith(logs, "process exiting, pid:" + std::to_string(oldPid)).size(), 1u);
    EXPECT_EQ(LinesWith(logs, "module ageing 1").size(), 1u);
}

TEST_F(Placement, AWorkerWithOnlyIdleModulesIsNotReplaced) {
    UseRealWorkers();
    mgt.UpdateModule(Mod("idle"));
    int oldPid = mgt.Snapshot().begin()->first;
    needLoad.idle = {ModuleKey("idle", "1.0")};
    mgt.CheckModuleAgeing(60);
    EXPECT_TRUE(mgt.Snapshot().empty());
    EXPECT_EQ(LinesWith(Logs(), "not need spawn new process, " + std::to_string(oldPid)).size(), 1u);
    EXPECT_EQ(gLastProcess, 1);
}

TEST_F(Placement, AWorkersOwnAgeingMovesAllItsModulesWithoutSignallingIt) {
    UseRealWorkers();
    Limit(10);
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    int oldPid = mgt.Snapshot().begin()->first;
    EXPECT_EQ(mgt.SpawnByOldProcess(&oldPid), 0);
    auto snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 1u);
    int newPid = snap.begin()->first;
    EXPECT_NE(newPid, oldPid);
    EXPECT_EQ(Names(newPid), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(kill(oldPid, 0), 0);  // still running: this path only closes its connection
    EXPECT_EQ(waitpid(oldPid, nullptr, WNOHANG), 0);
    int unknown = 4242424;
    EXPECT_EQ(mgt.SpawnByOldProcess(&unknown), 0);
    EXPECT_EQ(LinesWith(Logs(), "not find process,4242424").size(), 1u);
}

TEST_F(Placement, DeadWorkersAreForgottenWithTheirConnections) {
    UseRealWorkers();
    Limit(1);
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    auto snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 2u);
    int dead = snap.begin()->first;
    int alive = snap.rbegin()->first;
    kill(dead, SIGKILL);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    mgt.ClearNonExistProcesses();
    snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 1u);
    EXPECT_EQ(snap.begin()->first, alive);
    EXPECT_EQ(registry.removed, (std::vector<std::string>{std::to_string(dead)}));
    EXPECT_EQ(LinesWith(Logs(), "process not exist: " + std::to_string(dead)).size(), 1u);
}
