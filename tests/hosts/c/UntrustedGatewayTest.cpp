// A socket at the gateway's path that belongs to another user is not our gateway: neither the
// pull connection nor any other client may send it anything, unless container.json names that
// user as trustedGatewayUser. The master channel never admits another user.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>

#include "CModuleHarness.h"
#include "proto/GatewayPath.h"
#include "worker/ReqReceiverMgt.h"
#include "net/UDSClient.h"
#include "support/ContainerConfig.h"
#include "support/LogReader.h"
#include "support/StrangerListener.h"
#include "support/TestSupport.h"

namespace {

using cmodtest::Module;
using cmodtest::WaitLog;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;

// The stranger runs as nobody (uid 65534); daemon is some other user.
constexpr const char* kRefusedNobody = "gateway peer not trusted: user nobody (uid 65534, pid ";

void RunWithStranger(const std::function<void(LogReader&, testsupport::StrangerListener&,
                                              const std::string& home)>& body) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    RunInChildWithLog([&](LogReader& log) {
        testsupport::TempDir home("vessel-stranger");
        testsupport::ScopedEnv vesselHome("VESSEL_HOME", home.path());
        testsupport::ScopedEnv app("APP_NAME", testsupport::UniqueName("CmodStranger"));
        testsupport::StrangerListener stranger;
        ASSERT_TRUE(stranger.Start(GetGatewayPath()));
        body(log, stranger, home.path());
    });
}

TEST(UntrustedGateway, NothingIsSentToASocketOfAnotherUser) {
    RunWithStranger([](LogReader& log, testsupport::StrangerListener& stranger, const std::string& home) {
        testsupport::WriteContainerConfig(home, "{}");
        ASSERT_EQ(CModuleMgt::getInstance()->LoadModule(Module("calc")), 0);
        ASSERT_TRUE(WaitLog(log, kRefusedNobody));
        EXPECT_GE(log.CountNew("is neither our user nor root; set trustedGatewayUser in container.json to allow it"),
                  1u);
        auto receiver = ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"));
        ASSERT_TRUE(receiver);
        EXPECT_TRUE(testsupport::WaitFor([&] { return receiver->IsNotReceiving(); }, cmodtest::WAIT));

        UDSClient client;
        EXPECT_EQ(client.Connect(GetGatewayPath(), PeerTrust::Gateway), EACCES);
        EXPECT_NE(client.SendTo("*1\r\n$4\r\nping\r\n"), 0);
        // A setting that names someone else admits nobody else.
        testsupport::WriteContainerConfig(home, R"({"trustedGatewayUser": "daemon"})");
        EXPECT_EQ(client.Connect(GetGatewayPath(), PeerTrust::Gateway), EACCES);
        EXPECT_EQ(log.CountNew("is neither our user, root nor the trustedGatewayUser daemon of container.json"), 1u);
        EXPECT_EQ(stranger.Received(), "");
    });
}

TEST(UntrustedGateway, TheTrustedGatewayUserIsServedButNeverAsMaster) {
    RunWithStranger([](LogReader& log, testsupport::StrangerListener& stranger, const std::string& home) {
        testsupport::WriteContainerConfig(home, R"({"trustedGatewayUser": "nobody"})");
        ASSERT_EQ(CModuleMgt::getInstance()->LoadModule(Module("calc")), 0);
        EXPECT_TRUE(testsupport::WaitFor([&] { return stranger.Received().find("pullreq") != std::string::npos; },
                                         cmodtest::WAIT))
            << stranger.Received();

        UDSClient client;
        EXPECT_EQ(client.Connect(GetGatewayPath(), PeerTrust::Gateway), 0);
        // The check the master channel makes: own user or root only, whatever the setting says.
        UDSClient channel;
        EXPECT_EQ(channel.Connect(GetGatewayPath()), EACCES);
        EXPECT_EQ(log.CountNew("peer not trusted, uid:65534"), 1u);
        EXPECT_EQ(log.CountNew("gateway peer not trusted"), 0u);
    });
}

}  // namespace
