// The master's pulls from the gateway and the reading of its replies into modules and keys.
#include <gtest/gtest.h>

#include "master/AppConfigLoader.h"
#include "support/ChannelTestUtil.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace AppConfigLoader;
using namespace std::chrono_literals;

namespace {

std::string Describe(const std::vector<ModulePojo>& mods) {
    std::string out;
    for (const auto& m : mods) {
        out += m.GetName() + "," + m.GetVersion() + "," + m.GetLocation() + "," + m.GetType() + "," +
               m.GetVmArgs() + ";";
    }
    return out;
}

}  // namespace

TEST(ConfigReplies, ModulesAreReadFromEitherFormAndBadRepliesGiveNothing) {
    channeltest::UseChannelLog();
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
        {"", ""},
        // Nesting a reply may carry (up to 10 MiB) must not overflow the stack; brackets in a name are text.
        {std::string(2000000, '['), ""},
        {R"({"Modules":[{"Name":")" + nested + R"(","Version":"1","Location":"/x","Type":"GO"}]})",
         nested + ",1,/x,GO,;"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Describe(getModuleFromStr(c.first)), c.second) << c.first.substr(0, 80);
        EXPECT_EQ(Describe(parseAppCfgCmd({"appcfg", c.first})), c.second);
    }
    EXPECT_TRUE(parseAppCfgCmd({"appcfg"}).empty());
    EXPECT_TRUE(parseAppCfgCmd({"pullmodloadrsp", cases[0].first}).empty());
    EXPECT_EQ(channeltest::CountLog("nesting deeper than 256 levels"), 2u);

    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp", "calc||1.0"}), ModuleKey("calc", "1.0"));
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp", "calc"}), ModuleKey());
    EXPECT_EQ(ParseModuleNeedLoad({"appcfg", "calc||1.0"}), ModuleKey());
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp"}), ModuleKey());
}

TEST(ConfigPulls, APullIsOneFrameAndALargeReplyArrivesWhole) {
    channeltest::UseChannelLog();
    const std::string name = UniqueName("Pull");
    ScopedEnv app{"APP_NAME", name};
    UDSClient client;
    EXPECT_EQ(connectGateway(client), -1);  // nobody listens: no socket is left open
    EXPECT_EQ(client.GetSockFd(), -1);

    ScriptableGateway gateway(ScriptableGateway::PathForApp(name));
    std::string json = "{\"Modules\":[";
    for (int i = 0; i < 300; ++i) {
        json += std::string(i ? "," : "") + "{\"Name\":\"m" + std::to_string(i) +
                "\",\"Version\":\"1.0\",\"Location\":\"/opt/m\",\"Type\":\"C_MODULE\"}";
    }
    json += "]}";
    ASSERT_GT(json.size(), 10240u);  // more than one receive buffer
    gateway.QueueReply("pullappcfg", {"appcfg", json});
    ASSERT_EQ(gateway.Start(), 0);
    ASSERT_EQ(connectGateway(client), 0);
    std::vector<std::string> values;
    ASSERT_EQ(getAppConfig(client, "pullappcfg", values), 0);
    EXPECT_EQ(values, (std::vector<std::string>{"appcfg", json}));
    EXPECT_EQ(parseAppCfgCmd(values).size(), 300u);
    auto frame = gateway.WaitForFrame("pullappcfg", 5s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->raw, "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n");
    CloseGW(client);
}
