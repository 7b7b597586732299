// A socket at the gateway's path that belongs to another user is not our gateway: neither the
// pull connection nor any other client may send it anything.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "CModuleHarness.h"
#include "gateway/GatewayPath.h"
#include "gateway/ReqReceiverMgt.h"
#include "gateway/UDSClient.h"
#include "support/LogReader.h"
#include "support/StrangerListener.h"
#include "support/TestSupport.h"

namespace {

using cmodtest::Module;
using cmodtest::WaitLog;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;

TEST(UntrustedGateway, NothingIsSentToASocketOfAnotherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    RunInChildWithLog([](LogReader& log) {
        testsupport::ScopedEnv app("APP_NAME", testsupport::UniqueName("CmodStranger"));
        testsupport::StrangerListener stranger;
        ASSERT_TRUE(stranger.Start(GetGatewayPath()));

        ASSERT_EQ(CModuleMgt::getInstance()->LoadModule(Module("calc")), 0);
        ASSERT_TRUE(WaitLog(log, "connect fail," + std::string(strerror(EACCES))));
        auto receiver = ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"));
        ASSERT_TRUE(receiver);
        EXPECT_TRUE(testsupport::WaitFor([&] { return receiver->IsNotReceiving(); }, cmodtest::WAIT));

        UDSClient client;
        EXPECT_EQ(client.Connect(GetGatewayPath()), EACCES);
        EXPECT_NE(client.SendTo("*1\r\n$4\r\nping\r\n"), 0);
        EXPECT_GE(log.CountNew("peer not trusted, uid:65534"), 2u);
        EXPECT_EQ(stranger.Received(), "");
    });
}

}  // namespace
