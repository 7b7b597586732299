#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/GatewayProtocol.h"

namespace {

using Values = std::vector<std::string>;

Values Parse(const std::string& text) {
    Values out;
    parseSchema(text, out);
    return out;
}

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

TEST(GatewayProtocolTest, ParseIntNullShortAndNumbers) {
    EXPECT_EQ(0, ParseInt("$-1"));
    EXPECT_EQ(0, ParseInt("*-1"));
    EXPECT_EQ(12, ParseInt("*12"));
    EXPECT_EQ(-5, ParseInt("$-5"));
    EXPECT_EQ(0, ParseInt("$0"));
    bool ok = false;
    EXPECT_EQ(9223372036854775807LL, ParseInt("*9223372036854775807", &ok));
    EXPECT_TRUE(ok);

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ParseInt("*", &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(-1, ParseInt(""));
    EXPECT_EQ("[ParseInt] b[] < 4\n[ParseInt] b[] < 4\n", testing::internal::GetCapturedStdout());
}

TEST(GatewayProtocolTest, ParseIntRejectsWhatIsNotADecimalNumber) {
    for (const char* header : {"*x", "$y", "*12abc", "* 12", "*1 ", "*-", "$9223372036854775808",
                               "*99999999999999999999", "*0x10"}) {
        bool ok = true;
        EXPECT_EQ(-1, ParseInt(header, &ok)) << header;
        EXPECT_FALSE(ok) << header;
    }
}

TEST(GatewayProtocolTest, ParseSchemaReadsArraysAndBulkStrings) {
    EXPECT_EQ((Values{"appcfg", "{}"}), Parse("*2\r\n$6\r\nappcfg\r\n$2\r\n{}\r\n"));
    EXPECT_EQ((Values{"pullmodloadrsp", "calc||1.0"}),
              Parse("*2\r\n$14\r\npullmodloadrsp\r\n$9\r\ncalc||1.0\r\n"));
    EXPECT_EQ((Values{"hello"}), Parse("$5\r\nhello\r\n"));
    // Bare LFs are accepted as well: only the line structure counts.
    EXPECT_EQ((Values{"a", "b"}), Parse("*2\n$1\na\n$1\nb\n"));

    Values out{"kept"};
    parseSchema("*1\r\n$1\r\nz\r\n", out);
    EXPECT_EQ((Values{"kept", "z"}), out);
}

TEST(GatewayProtocolTest, ParseSchemaQuirksCallersRelyOn) {
    EXPECT_TRUE(Parse("$-1\r\n").empty());
    EXPECT_TRUE(Parse("*-1\r\n").empty());
    EXPECT_TRUE(Parse("*0\r\n").empty());
    // An empty element vanishes: the request id moves up to position 2.
    EXPECT_EQ((Values{"message", "17"}), Parse("*3\r\n$7\r\nmessage\r\n$0\r\n\r\n$2\r\n17\r\n"));
    // CRs are removed inside values too.
    EXPECT_EQ((Values{"ab"}), Parse("*1\r\n$3\r\na\rb\r\n"));
    // The count does not limit the pairs, and lengths are not compared with values.
    EXPECT_EQ((Values{"a", "b", "ccc"}), Parse("*1\r\n$1\r\na\r\n$1\r\nb\r\n$1\r\nccc\r\n"));
    // An LF inside a value splits it; its second half is taken as the next header.
    EXPECT_EQ((Values{"ab", "$1"}), Parse("*2\r\n$5\r\nab\ncd\r\n$1\r\nx\r\n"));
    // A pair without its value line ends the walk.
    EXPECT_EQ((Values{"a"}), Parse("*2\r\n$1\r\na\r\n$1"));
}

TEST(GatewayProtocolTest, ParseSchemaRejectsUnknownAndNonNumericReplies) {
    for (const char* reply : {"+OK\r\n", "hello", "", "\r\n*1\r\n$1\r\na\r\n", "*x\r\n$1\r\na\r\n",
                              "*2\r\n$1\r\na\r\n$y\r\nb\r\n", "$y\r\nvalue\r\n", "$\r\nvalue\r\n",
                              "*99999999999999999999\r\n$1\r\na\r\n"}) {
        Values out{"before"};
        EXPECT_EQ(-1, parseSchema(reply, out)) << reply;
        EXPECT_EQ((Values{"before"}), out) << reply;
    }
    Values out;
    EXPECT_EQ(0, parseSchema("*1\r\n$1\r\na\r\n", out));
}

TEST(GatewayProtocolTest, ParseSchemaSurvivesArbitraryBytes) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    const char alphabet[] = {'*', '$', '-', '1', '0', '9', '\r', '\n', 'a', '\0'};
    testing::internal::CaptureStdout();  // short headers print a notice
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        size_t len = next() % 40;
        for (size_t i = 0; i < len; ++i) {
            text.push_back(alphabet[next() % sizeof(alphabet)]);
        }
        Values out;
        int32_t rc = parseSchema(text, out);
        EXPECT_TRUE(rc == 0 || out.empty());
        for (const auto& value : out) {
            EXPECT_EQ(std::string::npos, value.find_first_of("\r\n"));
            EXPECT_FALSE(value.empty());
        }
    }
    testing::internal::GetCapturedStdout();
}

}  // namespace
