// Turning gateway replies into module descriptions and demanded keys.
#include "master/AppConfigLoader.h"

#include <gtest/gtest.h>

#include "base/LogMgr.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace AppConfigLoader;

namespace {

class ConfigReplies : public ::testing::Test {
protected:
    TempDir dir{"vessel-appcfg"};
    ScopedEnv logDir{"_APP_LOG_DIR", dir.path()};
    ScopedEnv home{"VESSEL_HOME", dir.path()};
    void SetUp() override {
        WriteImmediateLogConfig(dir.path());
        LogMgr::InitLogFile("Vessel");
    }
    std::string Logs() { return ReadLogs(dir.path(), "Vessel"); }
};

}  // namespace

TEST_F(ConfigReplies, UpperCaseFormWithOptionalVmArgsAndNumbersAsText) {
    auto mods = parseAppCfgCmd({"appcfg",
                                R"({"Modules":[{"Name":"calc","Version":1.5,"Location":"/opt/apps/calc","Type":"C_MODULE"},)"
                                R"({"Name":"web","Version":"2","Location":"/w","Type":"TOMCAT","VmArgs":"-Xmx1g"}]})"});
    ASSERT_EQ(mods.size(), 2u);
    EXPECT_EQ(mods[0].GetName(), "calc");
    EXPECT_EQ(mods[0].GetVersion(), "1.5");
    EXPECT_EQ(mods[0].GetLocation(), "/opt/apps/calc");
    EXPECT_EQ(mods[0].GetType(), "C_MODULE");
    EXPECT_EQ(mods[0].GetVmArgs(), "");
    EXPECT_EQ(mods[1].GetVmArgs(), "-Xmx1g");
}

TEST_F(ConfigReplies, LowerCaseFormIsTheFallback) {
    auto mods = getModuleFromStr(R"({"modules":[{"name":"a","version":"1","location":"/x","type":"GO","vmArgs":"-v"}]})");
    ASSERT_EQ(mods.size(), 1u);
    EXPECT_EQ(mods[0].GetVmArgs(), "-v");
    EXPECT_EQ(LinesWith(Logs(), "parse config fail,").size(), 1u);
}

TEST_F(ConfigReplies, AMissingMemberKeepsTheModulesBeforeIt) {
    auto mods = getModuleFromStr(R"({"Modules":[{"Name":"a","Version":"1","Location":"/x","Type":"GO"},{"Name":"b"}]})");
    ASSERT_EQ(mods.size(), 1u);
    EXPECT_EQ(mods[0].GetName(), "a");
    std::string logs = Logs();
    EXPECT_EQ(LinesWith(logs, "parse config fail,").size(), 1u);
    EXPECT_TRUE(LinesWith(logs, "parse config fail again,").empty());
}

TEST_F(ConfigReplies, BadRepliesGiveNothingAndALine) {
    EXPECT_TRUE(parseAppCfgCmd({"appcfg"}).empty());
    EXPECT_TRUE(parseAppCfgCmd({"pullmodloadrsp", "{}"}).empty());
    EXPECT_TRUE(getModuleFromStr("{not json").empty());
    EXPECT_TRUE(getModuleFromStr("").empty());
    std::string logs = Logs();
    EXPECT_EQ(LinesWith(logs, "input param error").size(), 1u);
    EXPECT_EQ(LinesWith(logs, "[getModule] cmd error: pullmodloadrsp").size(), 1u);
}

// The reply comes from another process: nesting a reply may carry (up to 10 MiB) must not
// overflow the poller's stack, while brackets inside names are only text.
TEST_F(ConfigReplies, DeepNestingIsRefusedWithoutReadingIt) {
    EXPECT_TRUE(getModuleFromStr(std::string(2000000, '[')).empty());
    EXPECT_EQ(LinesWith(Logs(), "nesting deeper than 256 levels").size(), 1u);
    auto mods = getModuleFromStr(R"({"Modules":[{"Name":")" + std::string(1000, '[') +
                                 R"(","Version":"1","Location":"/x","Type":"GO"}]})");
    ASSERT_EQ(mods.size(), 1u);
    EXPECT_EQ(mods[0].GetName(), std::string(1000, '['));
}

TEST_F(ConfigReplies, DemandedKeys) {
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp", "calc||1.0"}), ModuleKey("calc", "1.0"));
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp", "calc"}), ModuleKey());
    EXPECT_EQ(ParseModuleNeedLoad({"appcfg", "calc||1.0"}), ModuleKey());
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp"}), ModuleKey());
}

TEST_F(ConfigReplies, AFailedConnectLeavesNoSocket) {
    ScopedEnv app{"APP_NAME", UniqueName("noGateway")};
    UDSClient client;
    EXPECT_EQ(connectGateway(client), -1);  // nobody listens
    EXPECT_EQ(client.GetSockFd(), -1);
    EXPECT_FALSE(client.IsConnected());
}
