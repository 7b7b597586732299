// The master's registry of worker connections, driven over a real channel socket by a test client
// that claims this test's own pid; placement decisions (where modules go, what is sent, failed
// loads, ageing) and what feeds them: the demand list and the gateway's configuration replies;
// the status answer built from all of them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "master/AppConfigLoader.h"
#include "master/IProcessMgt.h"
#include "master/MasterStatus.h"
#include "master/ModuleMgt.h"
#include "master/ModuleNeedLoadMgt.h"
#include "master/ProcessMgt.h"
#include "master/WarrenProcess.h"
#include "proto/GatewayPath.h"
#include "proto/PipeCmdPojo.h"
#include "support/ChannelTestUtil.h"

using channeltest::Client;
using testsupport::UniqueName;

namespace {

// The registry and the demand list placement talks to, and placement as the registry sees it,
// recording what they are asked (placement's reports come from the channel server's thread).
struct Fakes : IProcessMgt, IIOHandler, IModuleNeedLoadMgt, IModuleMgtForMaster {
    std::vector<std::string> sent;  // "pid:line"
    std::map<int, std::vector<ModulePojo>> pending, ageing;
    std::vector<int> removed;
    int sendResult = 0;
    std::set<ModuleKey> needed;
    std::vector<ModuleKey> idle, forgotten;
    std::map<ModuleKey, time_t> demandTimes;
    bool everything = true;  // every module is demanded unless told otherwise
    int ParseProcessCmdAndAction(const int*, const std::string&) override { return 0; }
    bool RefreshSocket4Subprocess(int, const std::string&) override { return true; }
    void SendModuleToSubprocess(const std::string&) override {}
    int RemoveSubprocess(const std::string& pid) override { return removed.push_back(std::stoi(pid)), 0; }
    void AddPendingModules(int pid, const std::vector<ModulePojo>& m) override { pending[pid] = m; }
    void SendAgeingToSubprocess(const std::map<int, std::vector<ModulePojo>>& a) override { ageing = a; }
    int DoAsyncRead(int, const std::string&) override { return 0; }
    int DoSyncWrite(const std::string& pid, const std::string& msg) override {
        return sent.push_back(pid + ":" + msg), sendResult;
    }
    int32_t GetModuleNeedLoadFrmGW() override { return 0; }
    void RemoveNeedLoad(const ModuleKey& key) override { forgotten.push_back(key); }
    bool IsNeedLoad(const ModuleKey& key) override { return everything || needed.count(key) != 0; }
    std::vector<ModuleKey> GetIdleModules(int32_t) override { return idle; }
    void ClearNonExistModule() override {}
    std::map<ModuleKey, time_t> GetDemandTimes() override { return demandTimes; }
    int GetModuleFrmGateway() override { return 0; }
    int CheckAndAddModule(const ModuleKey&) override { return 0; }
    int UnloadModule(const int* pid, const std::string& key) override { return Record("unload", *pid, key); }
    int ModuleLoaded(const int* pid, const std::string& key) override { return Record("loaded", *pid, key); }
    int SpawnByOldProcess(const int* pid) override { return Record("spawn", *pid, ""); }
    void CheckModuleAgeing(int) override {}
    std::vector<ModuleKey> placedKeys;
    std::function<void()> whilePlacementRead;  // what another thread does meanwhile
    std::vector<ModuleKey> GetLoadedModules() override {
        if (whilePlacementRead) whilePlacementRead();
        return placedKeys;
    }
    void GetStatus(MasterStatus&) override {}
    int Record(const std::string& what, int pid, const std::string& key) {
        std::lock_guard<std::mutex> lock(mu);
        return calls.push_back(what + ":" + std::to_string(pid) + (key.empty() ? "" : ":" + key)), 0;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
    static inline std::mutex mu;
    std::vector<std::string> calls;
};

ModulePojo Mod(const std::string& name, const std::string& type = "C_MODULE") {
    return ModulePojo(name, "1.0", "/opt/" + name, type, "");
}

const int kPid = getpid();
const std::string kMe = std::to_string(kPid), kOther = std::to_string(kPid + 100000);
const ModulePojo kModA = Mod("a"), kModB = Mod("b");

class ProcessMgtTest : public ::testing::Test {
protected:
    void SetUp() override {
        channeltest::UseChannelLog();
        ASSERT_EQ(mgt.Init(&fake), 0);
    }
    void TearDown() override { unlink(GetMasterChannelPath().c_str()); }
    // Shakes hands for this pid. Lines of one connection are handled in order: once the marker
    // line after it has been handled, everything written before has been too.
    void Shake(Client& client) {
        std::string marker = "sync#" + UniqueName("m");
        ASSERT_TRUE(client.Write("shakehand#" + kMe + "\n" + marker + "\n"));
        ASSERT_TRUE(channeltest::WaitForLog("unknown cmd, ParseContent:" + marker + "["));
    }
    // Proves nothing else was queued on the connection: the next bytes are a fresh marker.
    void ExpectNothingPending(Client& client) {
        std::string marker = "marker#" + UniqueName("m") + "\n";
        ASSERT_EQ(mgt.DoSyncWrite(kMe, marker), 0);
        EXPECT_EQ(client.ReadLines(1), marker);
    }
    testsupport::ScopedEnv app{"APP_NAME", UniqueName("Reg")};
    Fakes fake;
    ProcessMgt mgt;
};

TEST_F(ProcessMgtTest, WhatWaitedForTheHandshakeFollowsItOnceInOrder) {
    mgt.AddPendingModules(kPid, {kModA});
    mgt.AddPendingModules(kPid, {kModB});
    // A command sent between spawn and handshake waits behind the queued modules.
    ASSERT_EQ(mgt.DoSyncWrite(kMe, PipeCmdPojo::BuildModifyModule(kModA)), 0);
    Client first(GetMasterChannelPath());
    ASSERT_TRUE(first.Write("shakehand#" + kMe + "\n"));
    EXPECT_EQ(first.ReadLines(3), PipeCmdPojo::BuildAddModule(kModA) + PipeCmdPojo::BuildAddModule(kModB) +
                                      PipeCmdPojo::BuildModifyModule(kModA));
    // Once connected, what is queued or sent for it goes out at once, to it alone.
    mgt.AddPendingModules(kPid, {kModB});
    mgt.SendAgeingToSubprocess({{kPid, {kModB, kModA}}, {kPid + 100000, {}}});
    EXPECT_EQ(first.ReadLines(2), PipeCmdPojo::BuildAddModule(kModB) + PipeCmdPojo::BuildAgeingModule(kModB));

    // A handshake on a new connection moves the worker there, closes the old one and sends the
    // emptied queue nowhere again; removed, the worker loses that connection too.
    Client second(GetMasterChannelPath());
    Shake(second);
    EXPECT_TRUE(first.WaitEof());
    ExpectNothingPending(second);
    EXPECT_EQ(mgt.RemoveSubprocess(kMe), 0);
    EXPECT_TRUE(second.WaitEof());
}

TEST_F(ProcessMgtTest, ReportsReachPlacementInOrderAndBadOrForeignLinesChangeNothing) {
    mgt.AddPendingModules(kPid + 100000, {kModA});
    Client client(GetMasterChannelPath());
    ASSERT_TRUE(client.Write("shakehand#" + kOther + "\nageing#" + kOther + "\nunloadModule#" + kOther +
                             "#a|1\nshakehand#0" + kMe + "\nshakehand\nageing\nunloadModule#" + kMe +
                             "\nhello#" + kMe + "\nstatus\nstatus#" + kOther + "\nstatus#" + kMe + "#x\n\n"));
    Shake(client);
    EXPECT_TRUE(fake.Calls().empty());
    ExpectNothingPending(client);  // the foreign pid got no connection: its module went nowhere

    ASSERT_TRUE(client.Write("ageing#" + kMe + "\nunloadModule#" + kMe + "#demo|1.0\nloadedModule#" + kMe +
                             "#demo|2.0\n"));
    const std::vector<std::string> reports{"spawn:" + kMe, "unload:" + kMe + ":demo|1.0",
                                           "loaded:" + kMe + ":demo|2.0"};
    EXPECT_TRUE(testsupport::WaitFor([&] { return fake.Calls() == reports; }, channeltest::kDeadline));
    // A worker whose connection went away is not reported as reached.
    client.Close();
    ASSERT_TRUE(channeltest::WaitForLog("connection closed, pid:" + kMe + ", fd:"));
    EXPECT_EQ(mgt.DoSyncWrite(kMe, "y\n"), EPIPE);
}

class Placement : public ::testing::Test {
protected:
    void SetUp() override {
        channeltest::UseChannelLog();
        memset(gProcesses, 0, sizeof(gProcesses));
        gLastProcess = 0;
        Fresh(2);
    }
    // A new placement with empty records and this many modules per worker; pids 100001, ... are
    // made up: nothing is signalled through them.
    void Fresh(int limit) {
        Limit(limit);
        fakes = Fakes();
        ended.clear();
        mgt = std::make_unique<ModuleMgt>();
        mgt->SetNeedLoad(&fakes);
        mgt->SetProcessMgt(&fakes, &fakes);
        mgt->SetSpawnFn([pid = 100000]() mutable { return ++pid; });
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
    Fakes fakes;
    std::unique_ptr<ModuleMgt> mgt;
    std::vector<int> ended;
};

TEST_F(Placement, ModulesGoToTheLeastLoadedWorkerThatMayTakeThem) {
    // "limit=N" sets maxModulePerSubprocess; "name:TYPE" places a module (C_MODULE by default).
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a", "b", "c"}, "a,b | c"},
        {{"limit=1", "a", "b", "limit=10", "c", "d"}, "a,c | b,d"},  // ties go to the lower pid
        {{"limit=0", "a", "b", "limit=-1", "c", "d", "e", "f"},
         "a,c,e | b,d,f"},  // 0: one each; <0: no limit
        {{"limit=10", "web:TOMCAT", "shop:TOMCAT", "x", "s1:C_SERVICE", "s2:C_SERVICE", "g:GO", "y"},
         "web | shop | x,y | s1 | s2 | g"},
    };
    for (const auto& c : cases) {
        Fresh(2);
        for (const std::string& step : c.first) {
            size_t colon = step.find(':');
            if (step.rfind("limit=", 0) == 0)
                Limit(std::stoi(step.substr(6)));
            else
                mgt->UpdateModule(Mod(step.substr(0, colon),
                                      colon == std::string::npos ? "C_MODULE" : step.substr(colon + 1)));
        }
        EXPECT_EQ(Layout(), c.second) << c.first.size() << " steps";
    }
}

// Placed once on demand: queued for a new worker's handshake, sent to a running one at once.
TEST_F(Placement, ModulesArePlacedOnDemandAndAFailedLoadIsRetriedAfterAPause) {
    Fresh(10);
    fakes.everything = false;
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));  // not configured
    mgt->SaveModule(Mod("a"));
    mgt->UpdateModule(Mod("a"));  // configured, not demanded
    EXPECT_EQ(Layout(), "");
    fakes.needed = {ModuleKey("a", "1.0"), ModuleKey("b", "1.0"), ModuleKey("c", "1.0")};
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));
    mgt->CheckAndAddModule(ModuleKey("a", "1.0"));
    mgt->UpdateModule(Mod("b"));
    fakes.sendResult = 32;
    mgt->UpdateModule(Mod("c"));  // a send that failed is not recorded
    fakes.sendResult = 0;
    mgt->UpdateModule(Mod("a"));         // unchanged: refreshed
    mgt->UpdateModule(Mod("a"), false);  // unchanged, no refresh asked
    EXPECT_EQ(Layout(), "a,b");
    EXPECT_EQ(fakes.pending[100001].size(), 1u);
    EXPECT_EQ(fakes.sent, (std::vector<std::string>{"100001:addModule#b|1.0|/opt/b|C_MODULE|\n",
                                                    "100001:addModule#c|1.0|/opt/c|C_MODULE|\n",
                                                    "100001:modifyModule#a|1.0|/opt/a|C_MODULE|\n"}));

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

// A switch goes ahead only once the new version serves; one taken back before that (or before its
// grace ran out) leaves the version that serves and retires the abandoned one. Late reports from
// a copy's former worker change nothing.
TEST_F(Placement, ASwitchTakenBackAndAMovedCopyLeaveOnlyTheConfiguredOne) {
    Fresh(10);
    const ModulePojo v1("a", "1.0", "/opt/a", "C_MODULE", ""), v2("a", "2.0", "/opt/a2", "C_MODULE", "");
    int first = 100001, second = 100002;
    mgt->ConfigureModule(v1, false);
    mgt->ModuleLoaded(&first, "a|1.0");
    mgt->ConfigureModule(v2, false);  // placed beside 1.0, which serves meanwhile
    EXPECT_EQ(Layout(), "a | a");
    mgt->ConfigureModule(v2, false);  // listed again before it serves: nothing retired yet
    EXPECT_TRUE(ended.empty());
    mgt->ConfigureModule(v1, false);
    EXPECT_EQ(ended, std::vector<int>{second});
    mgt->ModuleLoaded(&second, "a|2.0");  // its late report changes nothing
    EXPECT_EQ(Layout(), "a");
    EXPECT_EQ(mgt->Snapshot().begin()->first, first);

    // Moved to a new worker (its old one ageing); the old one's late failure report is not the
    // new copy's.
    mgt->SpawnByOldProcess(&first);
    mgt->UnloadModule(&first, "a|1.0");
    EXPECT_EQ(Layout(), "a");
    EXPECT_TRUE(fakes.forgotten.empty());
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
    signal(SIGQUIT, SIG_DFL);
}

// Real placement behind the registry; workers are real children that never shake hands.
TEST_F(Placement, StatusIsAnsweredFromTheTablesAndOnlyToOurOwnUser) {
    testsupport::ScopedEnv app{"APP_NAME", UniqueName("St")};
    Limit(1);
    ProcessMgt registry;
    mgt->SetProcessMgt(&registry, &registry);
    mgt->SetSpawnFn([] { return warrenSpawnProcess([](void*) { pause(); }, nullptr, "warren worker "); });
    ASSERT_EQ(registry.Init(mgt.get()), 0);
    const time_t before = time(nullptr);
    const ModulePojo odd = Mod("q\"\\\n");  // names are the gateway's: quoted, escaped
    for (const ModulePojo& m : {Mod("a"), Mod("b"), Mod("c"), odd}) mgt->SaveModule(m);
    mgt->UpdateModule(Mod("a"));
    mgt->UpdateModule(Mod("b"));
    const int w1 = gProcesses[0].pid, w2 = gProcesses[1].pid;
    mgt->ModuleLoaded(&w1, "a|1.0");
    mgt->UnloadModule(&w2, "c|1.0");  // c failed to load
    fakes.demandTimes = {{ModuleKey("a", "1.0"), 1234}};

    Client client(GetMasterChannelPath());
    ASSERT_TRUE(client.Write("status#" + kMe + "\n"));
    boost::property_tree::ptree tree;
    std::istringstream answer(client.ReadLines(1));
    ASSERT_NO_THROW(boost::property_tree::read_json(answer, tree)) << answer.str();
    std::string workers, modules;
    for (const auto& w : tree.get_child("workers")) {
        const std::string pid = w.second.get<std::string>("pid");
        workers += (pid == std::to_string(w1)   ? "w1 "
                    : pid == std::to_string(w2) ? "w2 "
                                                : pid + " ") +
                   w.second.get<std::string>("kind") + " " +
                   w.second.get_child("modules").front().second.data() + ";";
        EXPECT_GT(w.second.get<long>("rssKb"), 0);
        EXPECT_GE(w.second.get<time_t>("started"), before);
    }
    for (const auto& m : tree.get_child("modules"))
        modules += m.second.get<std::string>("name") + " " + m.second.get<std::string>("worker") + " " +
                   m.second.get<std::string>("state") + " " + m.second.get<std::string>("lastDemand") + ";";
    EXPECT_EQ(workers, "w1 C a:1.0;w2 C b:1.0;");
    EXPECT_EQ(modules, "a " + std::to_string(w1) + " loaded 1234;b " + std::to_string(w2) +
                           " queued null;c null failed null;" + odd.GetName() + " null configured null;");
    EXPECT_EQ(tree.get<int>("master.pid"), kPid);

    if (geteuid() == 0) {  // a stranger is hung up on, unanswered, whatever it asks
        ASSERT_EQ(chmod(GetMasterChannelPath().c_str(), 0666), 0);
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            Client stranger(GetMasterChannelPath());
            stranger.Write("status#" + std::to_string(getpid()) + "\n");
            _exit(stranger.fd >= 0 && stranger.ReadLines(1).empty() ? 0 : 1);
        }
        int status = -1;
        EXPECT_EQ(waitpid(child, &status, 0) == child ? status : -1, 0);
    }
    for (int pid : {w1, w2}) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    unlink(GetMasterChannelPath().c_str());

    // However many modules, the answer fits the channel's line and says it was cut.
    MasterStatus big;
    big.modules.resize(5000, {ModuleKey("module-with-a-long-name", "1.0"), 0, "configured", 0});
    const std::string json = big.ToJson(UDSServer::kMaxSendLen - 2);
    EXPECT_LE(json.size(), UDSServer::kMaxSendLen - 2);
    std::istringstream in(json);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, tree));
    EXPECT_EQ(tree.get<std::string>("truncated"), "true");
}

// (Demands of modules whose worker died are forgotten, so they are placed again: the whole stack
// checks that with a killed and a crashed worker.)
TEST(ModuleNeedLoad, IdleCountsFromTheLatestDemandAndDemandsRecordedDuringACleanUpStay) {
    ModuleNeedLoadMgt mgt;
    const ModuleKey calc("calc", "1.0"), a1("a", "1"), a2("a", "2");
    EXPECT_TRUE(mgt.RecordDemand(calc, 1000));
    EXPECT_FALSE(mgt.RecordDemand(calc, 2000));
    EXPECT_TRUE(mgt.RecordDemand(a2, 1000));
    EXPECT_TRUE(mgt.RecordDemand(a1, 2050));
    EXPECT_EQ(mgt.GetIdleModulesAt(60, 2060), std::vector<ModuleKey>{a2});  // idle only past 60 s
    EXPECT_EQ(mgt.GetIdleModulesAt(60, 2061), (std::vector<ModuleKey>{a2, calc}));
    mgt.RemoveNeedLoad(calc);
    EXPECT_FALSE(mgt.IsNeedLoad(calc));
    EXPECT_TRUE(mgt.RecordDemand(calc, 3000));  // new again

    // Only demands of unplaced modules recorded before placement was read are forgotten: one
    // recorded meanwhile (new, or again in the same second) may have been placed after the read.
    Fakes placement;
    const ModuleKey fresh("fresh", "1");
    placement.placedKeys = {calc};
    placement.whilePlacementRead = [&] {
        mgt.RecordDemand(a1, 2050);
        mgt.RecordDemand(fresh, 3000);
    };
    mgt.SetModuleMgt(&placement);
    mgt.ClearNonExistModule();
    std::string kept;
    for (const auto& demand : mgt.GetDemandTimes())
        kept += demand.first.GetName() + demand.first.GetVersion() + " ";
    EXPECT_EQ(kept, "a1 calc1.0 fresh1 ");  // a2 forgotten
}

TEST(ConfigReplies, ModulesAreReadFromEitherFormAndBadRepliesGiveNothing) {
    channeltest::UseChannelLog();
    auto describe = [](const std::vector<ModulePojo>& mods) {
        std::string out;
        for (const auto& m : mods)
            out += m.GetName() + "," + m.GetVersion() + "," + m.GetLocation() + "," + m.GetType() + "," +
                   m.GetVmArgs() + ";";
        return out;
    };
    const std::string nested(1000, '[');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"Modules":[{"Name":"calc","Version":1.5,"Location":"/c","Type":"C_MODULE"},)"
         R"({"Name":"web","Version":"2","Location":"/w","Type":"TOMCAT","VmArgs":"-Xmx1g"}]})",
         "calc,1.5,/c,C_MODULE,;web,2,/w,TOMCAT,-Xmx1g;"},
        {R"({"modules":[{"name":"a","version":"1","location":"/x","type":"GO","vmArgs":"-v"}]})",
         "a,1,/x,GO,-v;"},
        // A missing member ends the list, keeping the modules before it.
        {R"({"Modules":[{"Name":"a","Version":"1","Location":"/x","Type":"GO"},{"Name":"b"}]})",
         "a,1,/x,GO,;"},
        {"{not json", ""},
        // Nesting a reply may carry (up to 10 MiB) must not overflow the stack; brackets in a name are text.
        {std::string(2000000, '['), ""},
        {R"({"Modules":[{"Name":")" + nested + R"(","Version":"1","Location":"/x","Type":"GO"}]})",
         nested + ",1,/x,GO,;"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(AppConfigLoader::parseAppCfgCmd({"appcfg", c.first})), c.second)
            << c.first.substr(0, 80);
    EXPECT_TRUE(AppConfigLoader::parseAppCfgCmd({"appcfg"}).empty());
    EXPECT_TRUE(AppConfigLoader::parseAppCfgCmd({"pullmodloadrsp", cases[0].first}).empty());

    EXPECT_EQ(AppConfigLoader::ParseModuleNeedLoad({"pullmodloadrsp", "calc||1.0"}),
              ModuleKey("calc", "1.0"));
    EXPECT_EQ(AppConfigLoader::ParseModuleNeedLoad({"appcfg", "calc||1.0"}), ModuleKey());
    EXPECT_EQ(AppConfigLoader::ParseModuleNeedLoad({"pullmodloadrsp"}), ModuleKey());
}

}  // namespace
