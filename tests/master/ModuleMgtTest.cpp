// Placement decisions: where modules go, what is sent, version switches, failed loads, ageing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>

#include "base/IIOHandler.h"
#include "master/IModuleNeedLoadMgt.h"
#include "master/IProcessMgt.h"
#include "master/ModuleMgt.h"
#include "master/WarrenProcess.h"
#include "proto/PipeCmdPojo.h"
#include "support/ChannelTestUtil.h"
#include "support/ContainerConfig.h"

namespace {

// The registry and the demand list placement talks to, recording what it asks of them.
struct Fakes : IProcessMgt, IIOHandler, IModuleNeedLoadMgt {
    std::vector<std::pair<int, std::string>> sent;
    std::map<int, std::vector<ModulePojo>> pending, ageing;
    std::vector<int> removed;
    int sendResult = 0;
    std::set<ModuleKey> needed;
    std::vector<ModuleKey> idle, forgotten;
    bool everything = true;  // every module is demanded unless told otherwise
    int ParseProcessCmdAndAction(const int*, const std::string&) override { return 0; }
    bool RefreshSocket4Subprocess(int, const std::string&) override { return true; }
    void SendModuleToSubprocess(const std::string&) override {}
    int RemoveSubprocess(const std::string& pid) override { return removed.push_back(std::stoi(pid)), 0; }
    void AddPendingModules(int pid, const std::vector<ModulePojo>& m) override { pending[pid] = m; }
    void SendAgeingToSubprocess(const std::map<int, std::vector<ModulePojo>>& a) override { ageing = a; }
    int DoAsyncRead(int, const std::string&) override { return 0; }
    int DoSyncWrite(const std::string& pid, const std::string& msg) override {
        return sent.emplace_back(std::stoi(pid), msg), sendResult;
    }
    int32_t GetModuleNeedLoadFrmGW() override { return 0; }
    void RemoveNeedLoad(const ModuleKey& key) override { forgotten.push_back(key); }
    bool IsNeedLoad(const ModuleKey& key) override { return everything || needed.count(key) != 0; }
    std::vector<ModuleKey> GetIdleModules(int32_t) override { return idle; }
    void ClearNonExistModule() override {}
};

ModulePojo Mod(const std::string& name, const std::string& type = "C_MODULE",
               const std::string& version = "1.0", const std::string& vmArgs = "") {
    return ModulePojo(name, version, "/opt/" + name, type, vmArgs);
}

class Placement : public ::testing::Test {
protected:
    Fakes fakes;
    std::unique_ptr<ModuleMgt> mgt;
    std::vector<int> ended;
    int nextPid = 0;  // made-up pids 100001, ...: nothing is signalled through them

    void SetUp() override {
        channeltest::UseChannelLog();
        memset(gProcesses, 0, sizeof(gProcesses));
        gLastProcess = 0;
        Fresh(2);
    }
    // A new placement with empty records and this many modules per worker.
    void Fresh(int limit) {
        Limit(limit);
        fakes = Fakes();
        ended.clear();
        nextPid = 100000;
        mgt = std::make_unique<ModuleMgt>();
        mgt->SetNeedLoad(&fakes);
        mgt->SetProcessMgt(&fakes, &fakes);
        mgt->SetSpawnFn([this] { return ++nextPid; });
        mgt->SetEndFn([this](int pid) { ended.push_back(pid); });
    }
    void Limit(int n) {  // in the home the log set-up chose
        testsupport::WriteContainerConfig(getenv("VESSEL_HOME"),
                                          "{\"maxModulePerSubprocess\": " + std::to_string(n) + "}");
    }
    // Workers in pid order, each as its modules' names: "a,b | c".
    std::string Layout() {
        std::string out;
        for (const auto& w : mgt->Snapshot()) {
            out += out.empty() ? "" : " | ";
            for (size_t i = 0; i < w.second.size(); ++i) out += (i ? "," : "") + w.second[i].GetName();
        }
        return out;
    }
};

}  // namespace

TEST_F(Placement, ModulesGoToTheLeastLoadedWorkerThatMayTakeThem) {
    // "limit=N" sets maxModulePerSubprocess; "name:TYPE" places a module (C_MODULE by default).
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a", "b", "c"}, "a,b | c"},
        {{"limit=1", "a", "b", "limit=10", "c", "d"}, "a,c | b,d"},  // ties go to the lower pid
        {{"limit=0", "a", "b"}, "a | b"},
        {{"limit=0", "a", "b", "limit=-1", "c", "d", "e", "f"}, "a,c,e | b,d,f"},  // negative: no limit
        {{"limit=10", "web:TOMCAT", "shop:TOMCAT", "x", "s1:C_SERVICE", "s2:C_SERVICE", "g:GO", "y"},
         "web | shop | x,y | s1 | s2 | g"},
    };
    for (const auto& c : cases) {
        Fresh(2);
        for (const std::string& step : c.first) {
            size_t colon = step.find(':');
            if (step.rfind("limit=", 0) == 0) {
                Limit(std::stoi(step.substr(6)));
            } else {
                mgt->UpdateModule(colon == std::string::npos
                                      ? Mod(step)
                                      : Mod(step.substr(0, colon), step.substr(colon + 1)));
            }
        }
        EXPECT_EQ(Layout(), c.second) << c.first.size() << " steps";
    }
}

TEST_F(Placement, NewWorkersGetModulesAtHandshakeRunningOnesAtOnce) {
    Fresh(10);
    fakes.everything = false;
    mgt->UpdateModule(Mod("a"));
    EXPECT_EQ(Layout(), "");  // configured, not demanded
    fakes.needed = {ModuleKey("a", "1.0"), ModuleKey("b", "1.0"), ModuleKey("c", "1.0")};
    mgt->UpdateModule(Mod("a"));
    mgt->UpdateModule(Mod("b"));
    fakes.sendResult = 32;
    mgt->UpdateModule(Mod("c"));  // a send that failed is not recorded
    fakes.sendResult = 0;
    mgt->UpdateModule(Mod("a"));         // unchanged: refreshed
    mgt->UpdateModule(Mod("a"), false);  // unchanged, no refresh asked
    EXPECT_EQ(Layout(), "a,b");
    EXPECT_EQ(fakes.pending[100001].size(), 1u);
    using Line = std::pair<int, std::string>;
    EXPECT_EQ(fakes.sent, (std::vector<Line>{{100001, "addModule#b|1.0|/opt/b|C_MODULE|\n"},
                                             {100001, "addModule#c|1.0|/opt/c|C_MODULE|\n"},
                                             {100001, "modifyModule#a|1.0|/opt/a|C_MODULE|\n"}}));
}

// A changed module is placed beside the old copy, in a worker whose code cannot collide with it;
// the old copy keeps serving until the new one reports that it serves, then retires: its worker
// ends when that was all it hosted, else the module alone is deleted there.
TEST_F(Placement, VersionSwitchesPlaceTheNewCopyApartAndRetireTheOldOnceItServes) {
    struct Case {
        ModulePojo before, after;
        bool neighbour;  // the old worker hosts another module too
    };
    const Case cases[] = {
        {Mod("a"), Mod("a", "C_MODULE", "2.0"), true},
        {Mod("a"), ModulePojo("a", "2.0", "/opt/a2", "C_MODULE", ""), false},
        {Mod("g", "GO"), Mod("g", "GO", "2.0"), true},
        {Mod("j", "TOMCAT", "1", "-Xmx1g"), Mod("j", "TOMCAT", "1", "-Xmx2g"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before.GetName() + (c.neighbour ? " with neighbour" : ""));
        Fresh(10);
        int oldPid = 100001, newPid = 100002;
        const std::string both = c.before.GetName() + (c.neighbour ? ",n | " : " | ") + c.after.GetName();
        mgt->SaveModule(c.before);
        mgt->UpdateModule(c.before);
        if (c.neighbour) mgt->UpdateModule(Mod("n", c.before.GetType()));
        fakes.sent.clear();
        mgt->SaveModule(c.after);
        mgt->UpdateModule(c.after);
        mgt->CheckAndAddModule(c.after.Key());  // demands while the switch runs place nothing more
        mgt->CheckAndAddModule(c.before.Key());
        EXPECT_EQ(Layout(), both);
        EXPECT_EQ(PipeCmdPojo::BuildAddModule(fakes.pending[newPid].at(0)),
                  PipeCmdPojo::BuildAddModule(c.after));
        mgt->ModuleLoaded(&oldPid, c.before.GetName() + "|" + c.before.GetVersion());  // changes nothing
        EXPECT_EQ(Layout(), both);
        EXPECT_TRUE(fakes.sent.empty());
        mgt->ModuleLoaded(&newPid, c.after.GetName() + "|" + c.after.GetVersion());
        EXPECT_EQ(ended, c.neighbour ? std::vector<int>{} : std::vector<int>{oldPid});
        EXPECT_EQ(Layout(), (c.neighbour ? "n | " : "") + c.after.GetName());
        EXPECT_EQ(fakes.sent.size() == 1 && fakes.sent[0].second.rfind("deleteModule#", 0) == 0, c.neighbour);
        // A third version in new code: only a C library of another path may join a worker that
        // hosted the module before (a Go plugin or a Java application stays mapped).
        const ModulePojo third(c.before.GetName(), "3.0", "/opt/new", c.before.GetType(), "");
        mgt->SaveModule(third);
        mgt->UpdateModule(third);
        EXPECT_EQ(mgt->Snapshot().rbegin()->first,
                  c.neighbour && c.before.GetType() == "C_MODULE" ? 100002 : 100003);
    }
}

TEST_F(Placement, AFailedLoadIsRetriedOnDemandAfterAPauseInAnotherWorker) {
    EXPECT_EQ(mgt->CheckAndAddModule(ModuleKey("a", "1.0")), 0);
    EXPECT_EQ(Layout(), "");  // not configured
    mgt->SaveModule(Mod("a"));
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));
    mgt->UpdateModule(Mod("b"));
    EXPECT_EQ(Layout(), "a,b");
    int pid = 100001;
    EXPECT_EQ(mgt->UnloadModule(&pid, "a"), -1);
    EXPECT_EQ(mgt->UnloadModule(&pid, "a|1.0"), 0);
    EXPECT_EQ(fakes.forgotten, std::vector<ModuleKey>{ModuleKey("a", "1.0")});
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));  // the gateway demands it every second
    EXPECT_EQ(Layout(), "b");
    mgt->SetLoadRetryDelay(std::chrono::milliseconds(0));
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));
    EXPECT_EQ(Layout(), "b | a");  // the library may still be mapped in the first
    EXPECT_TRUE(ended.empty());
    pid = 100002;  // a worker left with nothing is ended
    mgt->UnloadModule(&pid, "a|1.0");
    EXPECT_EQ(ended, std::vector<int>{100002});
    EXPECT_EQ(Layout(), "b");
}

TEST_F(Placement, AgeingRetiresIdleModulesAndMovesTheRestToANewWorker) {
    // Workers inherit a SIGQUIT handler that ends them: the quit they are sent cannot come early.
    signal(SIGQUIT, [](int) { _exit(0); });
    mgt->SetSpawnFn([] { return warrenSpawnProcess([](void*) { pause(); }, nullptr, "warren worker "); });
    Limit(10);
    mgt->UpdateModule(Mod("idle"));
    mgt->UpdateModule(Mod("busy"));
    mgt->UpdateModule(Mod("alone", "C_SERVICE"));
    const int mixed = gProcesses[0].pid, onlyIdle = gProcesses[1].pid;
    fakes.idle = {ModuleKey("idle", "1.0"), ModuleKey("alone", "1.0")};
    mgt->CheckModuleAgeing(-1);  // off
    EXPECT_TRUE(fakes.ageing.empty());
    mgt->CheckModuleAgeing(60);
    ASSERT_EQ(fakes.ageing.size(), 2u);
    EXPECT_EQ(fakes.ageing[mixed].at(0).GetName(), "idle");
    EXPECT_EQ(fakes.ageing[mixed].at(0).GetStatus(), ModulePojo::STATUS_AGEING);
    // Both were told to quit; only the one with a busy module is replaced.
    for (int pid : {mixed, onlyIdle}) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_TRUE(gProcesses[pid == mixed ? 0 : 1].exiting);
    }
    EXPECT_EQ(fakes.removed, (std::vector<int>{mixed, onlyIdle}));
    EXPECT_EQ(Layout(), "busy");
    EXPECT_EQ(fakes.pending[gProcesses[2].pid].at(0).GetName(), "busy");
    EXPECT_EQ(gLastProcess, 3);

    // A worker that died is forgotten with its connection.
    kill(gProcesses[2].pid, SIGKILL);
    ASSERT_EQ(waitpid(gProcesses[2].pid, nullptr, 0), gProcesses[2].pid);
    mgt->ClearNonExistProcesses();
    EXPECT_EQ(Layout(), "");
    EXPECT_EQ(fakes.removed.back(), gProcesses[2].pid);
    signal(SIGQUIT, SIG_DFL);
}
