// The gateway wire format's writers, key texts and socket paths.
#include <gtest/gtest.h>
#include <unistd.h>

#include "proto/GatewayPath.h"
#include "proto/GatewayProtocol.h"
#include "support/TestSupport.h"

namespace {

using Values = std::vector<std::string>;

TEST(GatewayProtocolTest, WorkerMessagesAreByteExact) {
    EXPECT_EQ(Serialize(BuildPullReq(ModuleKey("calc", "1.0"), 4242)),
              "*2\r\n$7\r\npullreq\r\n$15\r\ncalc||1.0||4242\r\n");
    EXPECT_EQ(Serialize(BuildResponseReqParts(ClientId("calc", "1.0", 4242), "17", 200, "3")),
              "*6\r\n$11\r\nresponsereq\r\n$15\r\ncalc||1.0||4242\r\n$2\r\n17\r\n$3\r\n200\r\n$1\r\n3\r\n$"
              "0\r\n\r\n");
    EXPECT_EQ(BuildPullReq(ModuleKey("echo", "2")),
              (Values{"pullreq", "echo||2||" + std::to_string(getpid())}));
    EXPECT_EQ(Serialize({}), "*0\r\n");
    // Lengths count bytes, and nothing inside a part is escaped.
    EXPECT_EQ(Serialize({"\xc3\xa9\r\n$*"}), "*1\r\n$6\r\n\xc3\xa9\r\n$*\r\n");
}

TEST(GatewayProtocolTest, KeyTextsRoundTripAndSplitAtFirstSeparator) {
    EXPECT_EQ(ModuleKeyToString(ModuleKey("calc", "1.0")), "calc||1.0");
    const std::pair<std::string, ModuleKey> cases[] = {
        {"calc||1.0", {"calc", "1.0"}}, {"a||b||c", {"a", "b||c"}}, {"||1.0", {"", "1.0"}},
        {"calc||", {"calc", ""}},       {"calc|1.0", {}},           {"", {}},
    };
    for (const auto& [text, key] : cases) EXPECT_EQ(SplitModuleKey(text), key) << text;
}

TEST(GatewayPathTest, SuffixFollowsAppNameAtEveryCall) {
    const std::pair<const char*, std::string> cases[] = {{nullptr, ""}, {"OrderSvc", "-ordersvc"}, {"", "-"}};
    for (const auto& [app, suffix] : cases) {  // set but empty still adds the dash
        testsupport::ScopedEnv env("APP_NAME", app ? app : "", app == nullptr);
        EXPECT_EQ(GetGatewayPath(), "/tmp/udsgateway" + suffix);
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner" + suffix);
    }
}

}  // namespace
