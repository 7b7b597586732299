// The master's registry of worker connections, driven over a real channel socket by a test client
// that claims this test's own pid.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>

#include "master/ProcessMgt.h"
#include "proto/GatewayPath.h"
#include "proto/PipeCmdPojo.h"
#include "support/ChannelTestUtil.h"

using channeltest::Client;
using testsupport::UniqueName;

namespace {

// Placement stand-in that records the reports the registry passes on (from the server's thread).
struct FakePlacement : IModuleMgtForMaster {
    int GetModuleFrmGateway() override { return 0; }
    int CheckAndAddModule(const ModuleKey&) override { return 0; }
    int UnloadModule(const int* pid, const std::string& key) override { return Record("unload", *pid, key); }
    int ModuleLoaded(const int* pid, const std::string& key) override { return Record("loaded", *pid, key); }
    int SpawnByOldProcess(const int* pid) override { return Record("spawn", *pid, ""); }
    void CheckModuleAgeing(int) override {}
    std::vector<ModuleKey> GetLoadedModules() override { return {}; }
    int Record(const std::string& what, int pid, const std::string& key) {
        std::lock_guard<std::mutex> lock(mu);
        return calls.push_back(what + ":" + std::to_string(pid) + (key.empty() ? "" : ":" + key)), 0;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
    std::mutex mu;
    std::vector<std::string> calls;
};

const int kPid = getpid();
const std::string kMe = std::to_string(kPid), kOther = std::to_string(kPid + 100000);
const ModulePojo kModA("a", "1", "/m/a", "C_MODULE", ""), kModB("b", "2", "/m/b", "C_MODULE", "-x");

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
    FakePlacement fake;
    ProcessMgt mgt;
};

}  // namespace

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

    // Removed before its handshake: what was queued for it is dropped.
    mgt.AddPendingModules(kPid, {kModA});
    ASSERT_EQ(mgt.DoSyncWrite(kMe, PipeCmdPojo::BuildAddModule(kModB)), 0);
    mgt.RemoveSubprocess(kMe);
    Client third(GetMasterChannelPath());
    Shake(third);
    ExpectNothingPending(third);
}

TEST_F(ProcessMgtTest, ReportsReachPlacementInOrderAndBadOrForeignLinesChangeNothing) {
    mgt.AddPendingModules(kPid + 100000, {kModA});
    Client client(GetMasterChannelPath());
    ASSERT_TRUE(client.Write("shakehand#" + kOther + "\nageing#" + kOther + "\nunloadModule#" + kOther +
                             "#a|1\nshakehand#0" + kMe + "\nshakehand\nageing\nunloadModule#" + kMe +
                             "\nhello#" + kMe + "\n\n"));
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
