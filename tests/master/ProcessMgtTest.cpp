// The master's registry of worker connections, driven over a real channel socket by a test client
// that claims this test's own pid.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "master/ProcessMgt.h"
#include "proto/GatewayPath.h"
#include "proto/PipeCmdPojo.h"
#include "support/ChannelTestUtil.h"
#include "support/TestSupport.h"

using channeltest::Client;
using testsupport::UniqueName;

namespace {

// Placement stand-in that records the reports the registry passes on.
struct FakePlacement : IModuleMgtForMaster {
    int GetModuleFrmGateway() override { return 0; }
    int CheckAndAddModule(const ModuleKey&) override { return 0; }
    int UnloadModule(const int* pid, const std::string& key) override { return Record("unload", *pid, key); }
    int ModuleLoaded(const int* pid, const std::string& key) override { return Record("loaded", *pid, key); }
    int SpawnByOldProcess(const int* pid) override { return Record("spawn", *pid, ""); }
    void CheckModuleAgeing(int) override {}
    std::vector<ModuleKey> GetLoadedModules() override { return {}; }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
    int Record(const std::string& what, int pid, const std::string& key) {
        std::lock_guard<std::mutex> lock(mu);
        calls.push_back(what + ":" + std::to_string(pid) + (key.empty() ? "" : ":" + key));
        return 0;
    }
    std::mutex mu;
    std::vector<std::string> calls;
};

const std::string kPid = std::to_string(getpid());
const std::string kOther = std::to_string(getpid() + 100000);
const ModulePojo kModA("a", "1", "/m/a", "C_MODULE", "");
const ModulePojo kModB("b", "2", "/m/b", "C_MODULE", "-x");

class ProcessMgtTest : public ::testing::Test {
protected:
    void SetUp() override {
        channeltest::UseChannelLog();
        path = GetMasterChannelPath();
        ASSERT_EQ(mgt.Init(&fake), 0);
    }
    void TearDown() override { unlink(path.c_str()); }

    // Shakes hands for this pid. Lines of one connection are handled in order: once the marker
    // line after it has been handled, everything written before has been too.
    void Shake(Client& client) {
        std::string marker = "sync#" + UniqueName("m");
        ASSERT_TRUE(client.Write("shakehand#" + kPid + "\n" + marker + "\n"));
        ASSERT_TRUE(channeltest::WaitForLog("unknown cmd, ParseContent:" + marker + "["));
    }
    // Proves nothing else was queued on the connection: the next bytes are a fresh marker.
    void ExpectNothingPending(Client& client) {
        std::string marker = "marker#" + UniqueName("m") + "\n";
        ASSERT_EQ(mgt.DoSyncWrite(kPid, marker), 0);
        EXPECT_EQ(client.ReadLines(1), marker);
    }

    testsupport::ScopedEnv app{"APP_NAME", UniqueName("Reg")};
    std::string path;
    FakePlacement fake;
    ProcessMgt mgt;
};

}  // namespace

TEST_F(ProcessMgtTest, WhatWaitedForTheHandshakeFollowsItOnceInOrder) {
    mgt.AddPendingModules(getpid(), {kModA});
    mgt.AddPendingModules(getpid(), {kModB});
    // A command sent between spawn and handshake waits behind the queued modules.
    ASSERT_EQ(mgt.DoSyncWrite(kPid, PipeCmdPojo::BuildModifyModule(kModA)), 0);
    Client first(path);
    ASSERT_TRUE(first.Write("shakehand#" + kPid + "\n"));
    EXPECT_EQ(first.ReadLines(3), PipeCmdPojo::BuildAddModule(kModA) + PipeCmdPojo::BuildAddModule(kModB) +
                                      PipeCmdPojo::BuildModifyModule(kModA));
    // Once connected, what is queued or sent for it goes out at once, to it alone.
    mgt.AddPendingModules(getpid(), {kModB});
    mgt.SendAgeingToSubprocess({{getpid(), {kModB, kModA}}, {getpid() + 100000, {}}});
    EXPECT_EQ(first.ReadLines(2), PipeCmdPojo::BuildAddModule(kModB) + PipeCmdPojo::BuildAgeingModule(kModB));

    // A handshake on a new connection moves the worker there, closes the old one and sends the
    // emptied queue nowhere again; removed, the worker loses that connection too.
    Client second(path);
    Shake(second);
    EXPECT_TRUE(first.WaitEof());
    ExpectNothingPending(second);
    EXPECT_EQ(mgt.RemoveSubprocess(kPid), 0);
    EXPECT_TRUE(second.WaitEof());

    // Removed before its handshake: what was queued for it is dropped.
    mgt.AddPendingModules(getpid(), {kModA});
    ASSERT_EQ(mgt.DoSyncWrite(kPid, PipeCmdPojo::BuildAddModule(kModB)), 0);
    mgt.RemoveSubprocess(kPid);
    Client third(path);
    Shake(third);
    ExpectNothingPending(third);
}

TEST_F(ProcessMgtTest, ReportsReachPlacementInOrderAndBadOrForeignLinesChangeNothing) {
    mgt.AddPendingModules(getpid() + 100000, {kModA});
    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#" + kOther + "\nageing#" + kOther + "\nunloadModule#" + kOther +
                             "#a|1\nshakehand#0" + kPid + "\nshakehand\nageing\nunloadModule#" + kPid +
                             "\nhello#" + kPid + "\n\n"));
    Shake(client);
    EXPECT_TRUE(fake.Calls().empty());
    ExpectNothingPending(client);  // the foreign pid got no connection: its module went nowhere

    ASSERT_TRUE(client.Write("ageing#" + kPid + "\nunloadModule#" + kPid + "#demo|1.0\nloadedModule#" + kPid +
                             "#demo|2.0\n"));
    ASSERT_TRUE(testsupport::WaitFor([&] { return fake.Calls().size() == 3; }, channeltest::kDeadline));
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"spawn:" + kPid, "unload:" + kPid + ":demo|1.0",
                                                      "loaded:" + kPid + ":demo|2.0"}));
    // A worker whose connection went away is not reported as reached.
    client.Close();
    ASSERT_TRUE(channeltest::WaitForLog("connection closed, pid:" + kPid + ", fd:"));
    EXPECT_EQ(mgt.DoSyncWrite(kPid, "y\n"), EPIPE);
}
