#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/GatewayProtocol.h"

namespace {

using Values = std::vector<std::string>;

TEST(GatewayProtocolTest, WorkerMessagesAreByteExact) {
    std::string pull = Serialize(BuildPullReq(ModuleKey("calc", "1.0"), 4242));
    EXPECT_EQ("*2\r\n$7\r\npullreq\r\n$15\r\ncalc||1.0||4242\r\n", pull);
    EXPECT_EQ(39u, pull.size());

    std::string response = Serialize(BuildResponseReqParts(ClientId("calc", "1.0", 4242), "17", 200, "3"));
    EXPECT_EQ(
        "*6\r\n$11\r\nresponsereq\r\n$15\r\ncalc||1.0||4242\r\n$2\r\n17\r\n$3\r\n200\r\n$1\r\n3\r\n$"
        "0\r\n\r\n",
        response);
    EXPECT_EQ(74u, response.size());

    EXPECT_EQ("*0\r\n", Serialize({}));
    // Lengths count bytes, and nothing inside a part is escaped.
    EXPECT_EQ("*1\r\n$6\r\n\xc3\xa9\r\n$*\r\n", Serialize({"\xc3\xa9\r\n$*"}));
}

TEST(GatewayProtocolTest, PullOfThisProcessCarriesItsPid) {
    Values parts = BuildPullReq(ModuleKey("echo", "2"));
    ASSERT_EQ(2u, parts.size());
    EXPECT_EQ("echo||2||" + std::to_string(getpid()), parts[1]);
}

TEST(GatewayProtocolTest, KeyTextsRoundTripAndSplitAtFirstSeparator) {
    EXPECT_EQ("calc||1.0", ModuleKeyToString(ModuleKey("calc", "1.0")));
    EXPECT_EQ(ModuleKey("calc", "1.0"), SplitModuleKey("calc||1.0"));
    EXPECT_EQ(ModuleKey("a", "b||c"), SplitModuleKey("a||b||c"));
    EXPECT_EQ(ModuleKey("", "1.0"), SplitModuleKey("||1.0"));
    EXPECT_EQ(ModuleKey("calc", ""), SplitModuleKey("calc||"));
    EXPECT_EQ(ModuleKey(), SplitModuleKey("calc|1.0"));
    EXPECT_EQ(ModuleKey(), SplitModuleKey(""));
}

}  // namespace
