// A socket at the gateway's path that belongs to another user is not our gateway: nothing is sent
// to it unless container.json names that user as trustedGatewayUser, and the master channel's
// check never admits another user.
#include <gtest/gtest.h>
#include <unistd.h>

#include "CModuleHarness.h"
#include "net/UDSClient.h"
#include "support/ContainerConfig.h"
#include "support/LogReader.h"
#include "support/StrangerListener.h"
#include "worker/ReqReceiverMgt.h"

TEST(UntrustedGateway, NothingIsSentToASocketOfAnotherUserUnlessItIsTheTrustedGatewayUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    testsupport::RunInChildWithLog([](testsupport::LogReader&) {
        testsupport::TempDir home("vessel-stranger");
        testsupport::ScopedEnv vesselHome("VESSEL_HOME", home.path());
        testsupport::ScopedEnv app("APP_NAME", testsupport::UniqueName("CmodStranger"));
        testsupport::StrangerListener stranger;  // runs as nobody
        ASSERT_TRUE(stranger.Start(GetGatewayPath()));
        testsupport::WriteContainerConfig(home.path(), R"({"trustedGatewayUser": "daemon"})");
        ASSERT_EQ(CModuleMgt::getInstance()->LoadModule(cmodtest::Module("calc")), 0);
        auto receiver = ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"));
        EXPECT_TRUE(testsupport::WaitFor([&] { return receiver && receiver->IsNotReceiving(); }, cmodtest::WAIT));
        UDSClient client;
        EXPECT_EQ(client.Connect(GetGatewayPath(), PeerTrust::Gateway), EACCES);
        EXPECT_EQ(stranger.Received(), "");

        testsupport::WriteContainerConfig(home.path(), R"({"trustedGatewayUser": "nobody"})");
        EXPECT_EQ(client.Connect(GetGatewayPath(), PeerTrust::Gateway), 0);
        UDSClient channel;
        EXPECT_EQ(channel.Connect(GetGatewayPath()), EACCES);
    });
}
