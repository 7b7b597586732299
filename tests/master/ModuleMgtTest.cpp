// Placement decisions: where modules go, what is sent, and how ageing replaces workers.
#include "master/ModuleMgt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "base/LogMgr.h"
#include "master/WarrenProcess.h"
#include "support/ContainerConfig.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"
#include "master/PlacementFakes.h"

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

TEST_F(Placement, UnchangedModulesAreRefreshedOnlyWhenAsked) {
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"));
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"));
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"), false);
    mgt.UpdateModule(Mod("a", "C_MODULE", "1.0"));
    EXPECT_EQ(registry.LinesTo(100001), (std::vector<std::string>{"modifyModule#a|1.0|/opt/a|C_MODULE|\n",
                                                                   "modifyModule#a|1.0|/opt/a|C_MODULE|\n"}));
}

// A changed module is placed beside the old copy, in a worker whose code cannot collide with it;
// the old copy keeps serving until the new one reports that it serves, then retires: its worker
// ends when that was all it hosted, else the module alone is deleted there.
TEST_F(Placement, VersionSwitchesPlaceTheNewCopyApartAndRetireTheOldOnceItServes) {
    struct Case {
        const char* what;
        ModulePojo before, after;
        bool neighbour;  // the old worker hosts another module too
    };
    const Case cases[] = {
        {"C, same library", Mod("a"), Mod("a", "C_MODULE", "2.0"), true},
        {"C, new library", Mod("a"), ModulePojo("a", "2.0", "/opt/a2", "C_MODULE", ""), false},
        {"Go", Mod("g", "GO"), Mod("g", "GO", "2.0"), true},
        {"Java launch settings", Mod("j", "TOMCAT", "1", "-Xmx1g"), Mod("j", "TOMCAT", "1", "-Xmx2g"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModuleMgt m;
        FakeRegistry reg;
        std::vector<int> ended;
        int pids = 200000;
        m.SetNeedLoad(&needLoad);
        m.SetProcessMgt(&reg, &reg);
        m.SetSpawnFn([&pids] { return ++pids; });
        m.SetEndFn([&ended](int pid) { ended.push_back(pid); });
        Limit(10);
        m.SaveModule(c.before);
        m.UpdateModule(c.before);
        if (c.neighbour) m.UpdateModule(Mod("n", c.before.GetType()));
        reg.sent.clear();
        m.SaveModule(c.after);
        m.UpdateModule(c.after);
        auto snap = m.Snapshot();
        ASSERT_EQ(snap.size(), 2u);
        ASSERT_EQ(snap[200002].size(), 1u);
        EXPECT_EQ(snap[200002][0].GetVersion(), c.after.GetVersion());
        EXPECT_EQ(snap[200001][0].GetVersion(), c.before.GetVersion());  // still serving
        EXPECT_TRUE(reg.sent.empty());
        // A demand for the configured module while the switch runs places nothing more; a late
        // demand for the old version places nothing either.
        m.CheckAndAddModule(c.after.Key());
        m.CheckAndAddModule(ModuleKey(c.before.GetName(), "0.9"));
        EXPECT_EQ(m.Snapshot().size(), 2u);

        // The old copy's own report changes nothing; the new copy's retires the old.
        int oldPid = 200001, newPid = 200002;
        m.ModuleLoaded(&oldPid, c.before.GetName() + "|" + c.before.GetVersion());
        EXPECT_EQ(m.Snapshot()[200001].size(), c.neighbour ? 2u : 1u);
        m.ModuleLoaded(&newPid, c.after.GetName() + "|" + c.after.GetVersion());
        snap = m.Snapshot();
        if (c.neighbour) {
            EXPECT_TRUE(ended.empty());
            ASSERT_EQ(reg.LinesTo(200001).size(), 1u);
            EXPECT_EQ(reg.LinesTo(200001)[0].rfind("deleteModule#" + c.before.GetName() + "|", 0), 0u);
            ASSERT_EQ(snap[200001].size(), 1u);
            EXPECT_EQ(snap[200001][0].GetName(), "n");
        } else {
            EXPECT_EQ(ended, std::vector<int>{200001});
            EXPECT_EQ(snap.count(200001), 0u);
            EXPECT_TRUE(reg.sent.empty());
        }
    }
}

TEST_F(Placement, JavaModulesGetWorkersOfTheirOwnAndNoWorkerHostsTwoVersions) {
    Limit(10);
    mgt.SetEndFn([](int) {});
    mgt.UpdateModule(Mod("web", "TOMCAT"));
    mgt.UpdateModule(Mod("shop", "TOMCAT"));
    EXPECT_EQ(mgt.Snapshot().size(), 2u);
    // A Go module that left a worker does not come back to it (its plugin stays mapped), even as
    // the configuration goes back and forth.
    mgt.UpdateModule(Mod("g", "GO"));
    mgt.UpdateModule(Mod("h", "GO"));  // shares g's worker 100003
    mgt.SaveModule(Mod("g", "GO", "2.0"));
    mgt.UpdateModule(Mod("g", "GO", "2.0"));  // 100004
    int p4 = 100004;
    mgt.ModuleLoaded(&p4, "g|2.0");
    EXPECT_EQ(Names(100003), (std::vector<std::string>{"h"}));
    mgt.SaveModule(Mod("g", "GO", "1.0"));
    mgt.UpdateModule(Mod("g", "GO", "1.0"));
    auto snap = mgt.Snapshot();
    ASSERT_EQ(snap.size(), 5u);
    EXPECT_EQ(Names(100005), (std::vector<std::string>{"g"}));
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

TEST_F(Placement, AFailedLoadIsForgottenAndRetriedOnDemandAfterAPause) {
    std::vector<int> ended;
    mgt.SetEndFn([&ended](int pid) { ended.push_back(pid); });
    mgt.SaveModule(Mod("a"));
    mgt.UpdateModule(Mod("a"));
    mgt.UpdateModule(Mod("b"));
    int pid = 100001;
    EXPECT_EQ(mgt.UnloadModule(&pid, "a"), -1);
    EXPECT_EQ(LinesWith(Logs(), "UnloadModule parse fail, a").size(), 1u);
    EXPECT_EQ(mgt.UnloadModule(&pid, "a|1.0"), 0);
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"b"}));
    ASSERT_EQ(needLoad.removed.size(), 1u);
    EXPECT_EQ(needLoad.removed[0], ModuleKey("a", "1.0"));
    EXPECT_TRUE(ended.empty());
    // The gateway demands it every second: not placed again before the pause is over.
    mgt.CheckAndAddModule(ModuleKey("a", "1.0"));
    EXPECT_EQ(mgt.Snapshot().size(), 1u);
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"b"}));
    mgt.SetLoadRetryDelay(std::chrono::milliseconds(0));
    mgt.CheckAndAddModule(ModuleKey("a", "1.0"));
    EXPECT_EQ(Names(100001), (std::vector<std::string>{"b"}));  // the library may still be mapped
    EXPECT_EQ(Names(100002), (std::vector<std::string>{"a"}));
    // A worker left with nothing is ended.
    pid = 100002;
    mgt.UnloadModule(&pid, "a|1.0");
    EXPECT_EQ(ended, std::vector<int>{100002});
    EXPECT_EQ(mgt.Snapshot().count(100002), 0u);
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
