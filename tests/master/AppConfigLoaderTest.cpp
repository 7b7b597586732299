// Reading the gateway's replies into modules and demanded keys.
#include <gtest/gtest.h>

#include "master/AppConfigLoader.h"
#include "support/ChannelTestUtil.h"

using namespace AppConfigLoader;

TEST(ConfigReplies, ModulesAreReadFromEitherFormAndBadRepliesGiveNothing) {
    channeltest::UseChannelLog();
    auto describe = [](const std::vector<ModulePojo>& mods) {
        std::string out;
        for (const auto& m : mods) {
            out += m.GetName() + "," + m.GetVersion() + "," + m.GetLocation() + "," + m.GetType() + "," +
                   m.GetVmArgs() + ";";
        }
        return out;
    };
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
        // Nesting a reply may carry (up to 10 MiB) must not overflow the stack; brackets in a name are text.
        {std::string(2000000, '['), ""},
        {R"({"Modules":[{"Name":")" + nested + R"(","Version":"1","Location":"/x","Type":"GO"}]})",
         nested + ",1,/x,GO,;"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(getModuleFromStr(c.first)), c.second) << c.first.substr(0, 80);
        EXPECT_EQ(describe(parseAppCfgCmd({"appcfg", c.first})), c.second);
    }
    EXPECT_TRUE(parseAppCfgCmd({"appcfg"}).empty());
    EXPECT_TRUE(parseAppCfgCmd({"pullmodloadrsp", cases[0].first}).empty());

    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp", "calc||1.0"}), ModuleKey("calc", "1.0"));
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp", "calc"}), ModuleKey());
    EXPECT_EQ(ParseModuleNeedLoad({"appcfg", "calc||1.0"}), ModuleKey());
    EXPECT_EQ(ParseModuleNeedLoad({"pullmodloadrsp"}), ModuleKey());
}
