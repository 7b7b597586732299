#include <gtest/gtest.h>
#include <unistd.h>

#include "proto/PipeCmdPojo.h"
#include "support/ChannelTestUtil.h"

namespace {

void ExpectModule(const ModulePojo& m, const std::string& name, const std::string& version,
                  const std::string& location, const std::string& type, const std::string& vmArgs) {
    EXPECT_EQ(m.GetName(), name);
    EXPECT_EQ(m.GetVersion(), version);
    EXPECT_EQ(m.GetLocation(), location);
    EXPECT_EQ(m.GetType(), type);
    EXPECT_EQ(m.GetVmArgs(), vmArgs);
}

TEST(PipeCmdPojoTest, AddModuleWithEmptyVmArgsRoundTrips) {
    channeltest::UseChannelLog();
    ModulePojo demo("demo", "1.0", "/opt/m", "C_MODULE", "");
    std::string line = PipeCmdPojo::BuildAddModule(demo);
    EXPECT_EQ(line, "addModule#demo|1.0|/opt/m|C_MODULE|\n");

    std::vector<PipeCmdPojo> cmds;
    ASSERT_EQ(PipeCmdPojo::parse(line, cmds), 0);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].GetCommand(), "addModule");
    ExpectModule(cmds[0].GetModule(), "demo", "1.0", "/opt/m", "C_MODULE", "");
}

TEST(PipeCmdPojoTest, EveryBuilderNamesItsCommandAndSeveralLinesParseInOrder) {
    channeltest::UseChannelLog();
    ModulePojo web("web", "2", "/srv/web", "TOMCAT", "-Xmx64m -Dx=1");
    std::string text = PipeCmdPojo::BuildAddModule(web) + PipeCmdPojo::BuildDeleteModule(web) +
                       PipeCmdPojo::BuildModifyModule(web) + PipeCmdPojo::BuildAgeingModule(web);
    EXPECT_EQ(PipeCmdPojo::BuildAgeingModule(web), "ageingModule#web|2|/srv/web|TOMCAT|-Xmx64m -Dx=1\n");

    std::vector<PipeCmdPojo> cmds;
    ASSERT_EQ(PipeCmdPojo::parse(text, cmds), 0);
    ASSERT_EQ(cmds.size(), 4u);
    const char* names[] = {"addModule", "deleteModule", "modifyModule", "ageingModule"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(cmds[i].GetCommand(), names[i]);
        ExpectModule(cmds[i].GetModule(), "web", "2", "/srv/web", "TOMCAT", "-Xmx64m -Dx=1");
    }
}

TEST(PipeCmdPojoTest, ProcessCommandsCarryOwnPid) {
    channeltest::UseChannelLog();
    std::string pid = std::to_string(getpid());
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("shakehand"), "shakehand#" + pid + "\n");
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("ageing"), "ageing#" + pid + "\n");
    ModulePojo demo("demo", "1.0", "/opt/m", "C_MODULE", "");
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("unloadModule", &demo), "unloadModule#" + pid + "#demo|1.0\n");

    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("hello"), "");
    EXPECT_TRUE(channeltest::WaitForLog("unknown cmd,hello"));
}

TEST(PipeCmdPojoTest, TooFewModuleFieldsFailTheWholeMessage) {
    channeltest::UseChannelLog();
    std::vector<PipeCmdPojo> cmds;
    std::string text = "addModule#a|1|/a|C_MODULE|\naddModule#demo|1.0|/opt/m\naddModule#b|1|/b|C_MODULE|\n";
    EXPECT_EQ(PipeCmdPojo::parse(text, cmds), -1);
    EXPECT_TRUE(cmds.empty());
    EXPECT_TRUE(channeltest::WaitForLog("[switchAction] parse fail:demo|1.0|/opt/m["));
}

TEST(PipeCmdPojoTest, LineWithExtraHashIsSkippedOthersKept) {
    channeltest::UseChannelLog();
    std::vector<PipeCmdPojo> cmds;
    std::string bad = "addModule#web|2|/srv/web|TOMCAT|-Dcolor=#fff";
    std::string text = "addModule#a|1|/a|C_MODULE|\n" + bad + "\n\naddModule#b|1|/b|C_MODULE|\n";
    ASSERT_EQ(PipeCmdPojo::parse(text, cmds), 0);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].GetModule().GetName(), "a");
    EXPECT_EQ(cmds[1].GetModule().GetName(), "b");
    EXPECT_TRUE(channeltest::WaitForLog("parse failed: " + bad + "["));
}

TEST(PipeCmdPojoTest, PipeInVmArgsCutsThem) {
    channeltest::UseChannelLog();
    std::vector<PipeCmdPojo> cmds;
    ModulePojo web("web", "2", "/srv/web", "TOMCAT", "-Da=1|-Db=2");
    ASSERT_EQ(PipeCmdPojo::parse(PipeCmdPojo::BuildAddModule(web), cmds), 0);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].GetModule().GetVmArgs(), "-Da=1");
}

}  // namespace
