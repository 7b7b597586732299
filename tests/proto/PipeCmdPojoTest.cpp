// The master channel's command lines: built exactly, parsed back; bad lines logged and skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include "proto/PipeCmdPojo.h"
#include "support/ChannelTestUtil.h"

namespace {

// "rc:" then "command=name,version,location,type,vmArgs;" per parsed command.
std::string Parsed(const std::string& text) {
    std::vector<PipeCmdPojo> cmds;
    std::string out = std::to_string(PipeCmdPojo::parse(text, cmds)) + ":";
    for (const auto& c : cmds) {
        const ModulePojo& m = c.GetModule();
        out += c.GetCommand() + "=" + m.GetName() + "," + m.GetVersion() + "," + m.GetLocation() + "," +
               m.GetType() + "," + m.GetVmArgs() + ";";
    }
    return out;
}

TEST(PipeCmdPojoTest, LinesAreBuiltExactlyAndParseBackInOrder) {
    channeltest::UseChannelLog();
    const ModulePojo demo("demo", "1.0", "/opt/m", "C_MODULE", ""),
        web("web", "2", "/srv/web", "TOMCAT", "-Xmx64m -Dx=1");
    EXPECT_EQ(PipeCmdPojo::BuildAddModule(demo), "addModule#demo|1.0|/opt/m|C_MODULE|\n");
    EXPECT_EQ(PipeCmdPojo::BuildAgeingModule(web), "ageingModule#web|2|/srv/web|TOMCAT|-Xmx64m -Dx=1\n");
    const std::string w = "web,2,/srv/web,TOMCAT,-Xmx64m -Dx=1;";
    EXPECT_EQ(Parsed(PipeCmdPojo::BuildAddModule(demo) + PipeCmdPojo::BuildDeleteModule(web) +
                     PipeCmdPojo::BuildModifyModule(web) + PipeCmdPojo::BuildAgeingModule(web)),
              "0:addModule=demo,1.0,/opt/m,C_MODULE,;deleteModule=" + w + "modifyModule=" + w +
                  "ageingModule=" + w);
    // A '|' in the arguments cuts them.
    EXPECT_EQ(Parsed(PipeCmdPojo::BuildAddModule(ModulePojo("w", "2", "/w", "TOMCAT", "-Da=1|-Db=2"))),
              "0:addModule=w,2,/w,TOMCAT,-Da=1;");

    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("shakehand"), "shakehand#" + pid + "\n");
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("ageing"), "ageing#" + pid + "\n");
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("unloadModule", &demo), "unloadModule#" + pid + "#demo|1.0\n");
    EXPECT_EQ(PipeCmdPojo::BuildProcessCmd("hello"), "");
    EXPECT_TRUE(channeltest::WaitForLog("unknown cmd,hello"));
}

TEST(PipeCmdPojoTest, TooFewFieldsFailTheMessageAndAnExtraHashSkipsItsLine) {
    channeltest::UseChannelLog();
    const std::string a = "addModule#a|1|/a|C_MODULE|\n", b = "addModule#b|1|/b|C_MODULE|\n",
                      bad = "addModule#web|2|/srv/web|TOMCAT|-Dcolor=#fff";
    EXPECT_EQ(Parsed(a + "addModule#demo|1.0|/opt/m\n" + b), "-1:");
    EXPECT_TRUE(channeltest::WaitForLog("[switchAction] parse fail:demo|1.0|/opt/m["));
    EXPECT_EQ(Parsed(a + bad + "\n\n" + b), "0:addModule=a,1,/a,C_MODULE,;addModule=b,1,/b,C_MODULE,;");
    EXPECT_TRUE(channeltest::WaitForLog("parse failed: " + bad + "["));
}

}  // namespace
