#include "master/ProcessMgt.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChannelTestUtil.h"
#include "proto/GatewayPath.h"
#include "support/TestSupport.h"
#include "proto/PipeCmdPojo.h"

using channeltest::Client;
using channeltest::CountLog;
using channeltest::kDeadline;
using testsupport::ScopedEnv;
using testsupport::UniqueName;
using testsupport::WaitFor;

namespace {

// Placement stand-in that records what the registry asks of it.
class FakeModuleMgt : public IModuleMgtForMaster {
public:
    int GetModuleFrmGateway() override { return 0; }
    int CheckAndAddModule(const ModuleKey&) override { return 0; }
    int UnloadModule(const int* pid, const std::string& nameAndVersion) override
    {
        Record("unload:" + std::to_string(*pid) + ":" + nameAndVersion);
        return 0;
    }
    int ModuleLoaded(const int* pid, const std::string& nameAndVersion) override
    {
        Record("loaded:" + std::to_string(*pid) + ":" + nameAndVersion);
        return 0;
    }
    int SpawnByOldProcess(const int* pid) override
    {
        Record("spawn:" + std::to_string(*pid));
        return spawnResult;
    }
    void CheckModuleAgeing(int) override {}
    std::vector<ModuleKey> GetLoadedModules() override { return {}; }

    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
    int spawnResult = 0;

private:
    void Record(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mu);
        calls.push_back(call);
    }
    std::mutex mu;
    std::vector<std::string> calls;
};

const std::string kPid = std::to_string(getpid());
const ModulePojo kModA("a", "1", "/m/a", "C_MODULE", "");
const ModulePojo kModB("b", "2", "/m/b", "C_MODULE", "-x");

class ProcessMgtTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        channeltest::UseChannelLog();
        path = GetMasterChannelPath();
        ASSERT_EQ(mgt.Init(&fake), 0);
    }
    void TearDown() override { unlink(path.c_str()); }

    // Lines of one connection are handled in order: once a later marker line has been handled,
    // everything written before it on that connection has been too.
    void Sync(Client& client)
    {
        std::string marker = "sync#" + UniqueName("m");
        ASSERT_TRUE(client.Write(marker + "\n"));
        ASSERT_TRUE(channeltest::WaitForLog("unknown cmd, ParseContent:" + marker + "["));
    }
    // Proves nothing else was queued on the connection: the next bytes are a fresh marker.
    void ExpectNothingPending(Client& client)
    {
        std::string marker = "marker#" + UniqueName("m") + "\n";
        ASSERT_EQ(mgt.DoSyncWrite(kPid, marker), 0);
        EXPECT_EQ(client.ReadLines(1), marker);
    }

    ScopedEnv app{"APP_NAME", UniqueName("Reg")};
    std::string path;
    FakeModuleMgt fake;
    ProcessMgt mgt;
};

TEST_F(ProcessMgtTest, QueuedModulesFollowHandshakeOnceInOrder)
{
    mgt.AddPendingModules(getpid(), {kModA});
    mgt.AddPendingModules(getpid(), {kModB});
    Client first(path);
    ASSERT_TRUE(first.Write("shakehand#" + kPid + "\n"));
    EXPECT_EQ(first.ReadLines(2), PipeCmdPojo::BuildAddModule(kModA) + PipeCmdPojo::BuildAddModule(kModB));

    // A second handshake on the same connection sends nothing.
    size_t sameFd = CountLog("fd not exist for process " + kPid + "[");
    ASSERT_TRUE(first.Write("shakehand#" + kPid + "\n"));
    Sync(first);
    EXPECT_EQ(CountLog("fd not exist for process " + kPid + "["), sameFd + 1);

    // Reconnecting moves the worker to the new connection, closes the old one, and does not
    // send the emptied queue again.
    size_t emptyQueue = CountLog("fail to add module," + kPid + "[");
    Client second(path);
    ASSERT_TRUE(second.Write("shakehand#" + kPid + "\n"));
    Sync(second);
    EXPECT_TRUE(first.WaitEof());
    EXPECT_EQ(CountLog("fail to add module," + kPid + "["), emptyQueue + 1);
    ExpectNothingPending(second);
}

TEST_F(ProcessMgtTest, ClaimsForAnotherPidChangeNothing)
{
    std::string other = std::to_string(getpid() + 100000);
    mgt.AddPendingModules(getpid() + 100000, {kModA});
    size_t mismatches = CountLog("pid mismatch, peer pid:" + kPid);

    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#" + other + "\nageing#" + other + "\nunloadModule#" + other +
                             "#a|1\nshakehand#0" + kPid + "\n"));
    Sync(client);
    EXPECT_EQ(CountLog("pid mismatch, peer pid:" + kPid), mismatches + 4);
    EXPECT_TRUE(fake.Calls().empty());

    // The foreign pid got no connection: a command for it still waits for its own handshake,
    // and the queued module was not sent anywhere.
    size_t waiting = CountLog("queued until handshake, pid:" + other);
    EXPECT_EQ(mgt.DoSyncWrite(other, "x\n"), 0);
    EXPECT_EQ(CountLog("queued until handshake, pid:" + other), waiting + 1);
    ASSERT_TRUE(client.Write("shakehand#" + kPid + "\n"));
    Sync(client);
    ExpectNothingPending(client);
}

TEST_F(ProcessMgtTest, AgeingAndModuleReportsReachPlacementInLineOrder)
{
    mgt.AddPendingModules(getpid(), {kModA});
    fake.spawnResult = -1;
    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#" + kPid + "\nageing#" + kPid + "\nunloadModule#" + kPid +
                             "#demo|1.0\nloadedModule#" + kPid + "#demo|2.0\n"));
    EXPECT_EQ(client.ReadLines(1), PipeCmdPojo::BuildAddModule(kModA));
    ASSERT_TRUE(WaitFor([&] { return fake.Calls().size() == 3; }, kDeadline));
    EXPECT_EQ(fake.Calls()[0], "spawn:" + kPid);
    EXPECT_EQ(fake.Calls()[1], "unload:" + kPid + ":demo|1.0");
    EXPECT_EQ(fake.Calls()[2], "loaded:" + kPid + ":demo|2.0");
    EXPECT_TRUE(channeltest::WaitForLog("SpawnByOldProcess fail, -1["));
}

TEST_F(ProcessMgtTest, MalformedLinesAreLoggedAndIgnored)
{
    size_t failed = CountLog("ParseProcessCmdAndAction fail,shakehand,-1[");
    Client client(path);
    ASSERT_TRUE(client.Write("shakehand\nageing\nunloadModule#" + kPid + "\nhello#" + kPid + "\n\n"));
    Sync(client);
    EXPECT_EQ(CountLog("ParseProcessCmdAndAction fail,shakehand,-1["), failed + 1);
    EXPECT_GE(CountLog("shakehand param error["), 1u);
    EXPECT_GE(CountLog("ageing param error["), 1u);
    EXPECT_GE(CountLog("unloadModule param error["), 1u);
    EXPECT_GE(CountLog("unknown cmd, ParseContent:hello#" + kPid + "["), 1u);
    EXPECT_TRUE(fake.Calls().empty());
    // The connection still works.
    ASSERT_TRUE(client.Write("ageing#" + kPid + "\n"));
    EXPECT_TRUE(WaitFor([&] { return fake.Calls().size() == 1; }, kDeadline));
}

TEST_F(ProcessMgtTest, SendsFollowTheWorkersConnection)
{
    EXPECT_EQ(mgt.DoSyncWrite("999999999", "x\n"), 0);
    EXPECT_TRUE(channeltest::WaitForLog("not find process 999999999["));

    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#" + kPid + "\n"));
    Sync(client);
    mgt.SendAgeingToSubprocess({{getpid(), {kModB, kModA}}, {getpid() + 100000, {}}});
    EXPECT_EQ(client.ReadLines(1), PipeCmdPojo::BuildAgeingModule(kModB));
    ExpectNothingPending(client);

    // A worker whose connection went away is not reported as reached.
    client.Close();
    ASSERT_TRUE(channeltest::WaitForLog("connection closed, pid:" + kPid + ", fd:"));
    EXPECT_EQ(mgt.DoSyncWrite(kPid, "y\n"), EPIPE);

    // Its next handshake binds it again.
    Client again(path);
    ASSERT_TRUE(again.Write("shakehand#" + kPid + "\n"));
    Sync(again);
    ExpectNothingPending(again);

    // Removed: the connection is closed and later sends go nowhere.
    EXPECT_EQ(mgt.RemoveSubprocess(kPid), 0);
    EXPECT_TRUE(again.WaitEof());
    size_t unknown = CountLog("not find process " + kPid + "[");
    EXPECT_EQ(mgt.DoSyncWrite(kPid, "z\n"), 0);
    EXPECT_EQ(CountLog("not find process " + kPid + "["), unknown + 1);
}

TEST(ProcessMgtInitTest, BindFailureIsReturned)
{
    channeltest::UseChannelLog();
    ScopedEnv app("APP_NAME", std::string(100, 'n'));
    FakeModuleMgt fake;
    ProcessMgt mgt;
    EXPECT_EQ(mgt.Init(&fake), ERANGE);
    EXPECT_TRUE(channeltest::WaitForLog("ErrorCode:" + std::to_string(ERANGE) + ",BindAndListen fail.["));
}

}  // namespace

TEST_F(ProcessMgtTest, CommandsForAWorkerThatHasNotShakenHandsWaitForIt)
{
    mgt.AddPendingModules(getpid(), {kModA});
    // Sent between spawn and handshake: queued behind the pending module, not dropped.
    size_t dropped = CountLog("not find process " + kPid + "[");
    ASSERT_EQ(mgt.DoSyncWrite(kPid, PipeCmdPojo::BuildAddModule(kModB)), 0);
    ASSERT_EQ(mgt.DoSyncWrite(kPid, PipeCmdPojo::BuildModifyModule(kModA)), 0);
    EXPECT_EQ(CountLog("not find process " + kPid + "["), dropped);

    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#" + kPid + "\n"));
    EXPECT_EQ(client.ReadLines(3), PipeCmdPojo::BuildAddModule(kModA) + PipeCmdPojo::BuildAddModule(kModB) +
                                       PipeCmdPojo::BuildModifyModule(kModA));

    // Once connected, modules queued for it late are sent at once.
    mgt.AddPendingModules(getpid(), {kModB});
    EXPECT_EQ(client.ReadLines(1), PipeCmdPojo::BuildAddModule(kModB));
    ExpectNothingPending(client);
}

TEST_F(ProcessMgtTest, RemovingAWorkerDropsWhatWaitedForItsHandshake)
{
    mgt.AddPendingModules(getpid(), {kModA});
    ASSERT_EQ(mgt.DoSyncWrite(kPid, PipeCmdPojo::BuildAddModule(kModB)), 0);
    mgt.RemoveSubprocess(kPid);
    size_t empty = CountLog("fail to add module," + kPid + "[");
    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#" + kPid + "\n"));
    Sync(client);
    EXPECT_EQ(CountLog("fail to add module," + kPid + "["), empty + 1);
    ExpectNothingPending(client);
}
