// Preparation of a Java module's environment and Catalina base, on temporary directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

#include "JavaTestLog.h"
#include "base/CommonUtil.h"
#include "hosts/java/TomcatSvcMgt.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

using Args = std::map<std::string, std::string>;

std::string Env(const char* name)
{
    const char* v = getenv(name);
    return v != nullptr ? v : "<unset>";
}

std::string LinkTarget(const std::string& path)
{
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

bool IsDir(const std::string& path, mode_t* mode = nullptr)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    if (mode != nullptr) {
        *mode = st.st_mode & 0777;
    }
    return true;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(ParseModuleArgsTest, SplitsExportAndVmArgsAndLaterItemsWin)
{
    javatest::Home();
    EXPECT_EQ(TomcatSvcMgt::ParseModuleArgs("export->A=1|B=2;vmArgs->-Xmx512m -Dcatalina.home=/opt/tc"),
              (Args{{"export", "A=1|B=2"}, {"vmArgs", "-Xmx512m -Dcatalina.home=/opt/tc"}}));
    EXPECT_EQ(TomcatSvcMgt::ParseModuleArgs("-Xmx1g"), (Args{{"vmArgs", "-Xmx1g"}}));
    EXPECT_EQ(TomcatSvcMgt::ParseModuleArgs("vmArgs->-Xmx1g;vmArgs->-Xmx2g"), (Args{{"vmArgs", "-Xmx2g"}}));
    // Every "export->" in an export item goes, not only the leading one.
    EXPECT_EQ(TomcatSvcMgt::ParseModuleArgs("export->A=export->x"), (Args{{"export", "A=x"}}));
    // A plain item after an explicit one replaces it.
    EXPECT_EQ(TomcatSvcMgt::ParseModuleArgs("vmArgs->-Xmx1g;-Xss1m"), (Args{{"vmArgs", "-Xss1m"}}));
    EXPECT_TRUE(TomcatSvcMgt::ParseModuleArgs("").empty());
}

TEST(ReplaceEnvVarByValueTest, BothReferenceFormsAreReplacedAndUnsetOnesKept)
{
    javatest::Home();
    ScopedEnv opts("JAVA_OPTS", "-Xmx1g");
    ScopedEnv unset("VESSEL_NOT_SET_ANYWHERE", "", true);
    std::string text = "a ${JAVA_OPTS} b $JAVA_OPTS c $VESSEL_NOT_SET_ANYWHERE";
    TomcatSvcMgt::ReplaceEnvVarByValue(text);
    EXPECT_EQ(text, "a -Xmx1g b -Xmx1g c $VESSEL_NOT_SET_ANYWHERE");
    EXPECT_GE(javatest::CountInLogs("GetEnvStr fail, VESSEL_NOT_SET_ANYWHERE"), 1u);
}

TEST(ReplaceEnvVarByValueTest, DigitsEndANameAndShorterPrefixesAreReplacedFirst)
{
    javatest::Home();
    ScopedEnv home("VHOME", "/h");
    ScopedEnv a("VA", "x");
    ScopedEnv ab("VAB", "y");
    ScopedEnv dotted("V.D", "dot");
    std::string text = "$VHOME2 $VAB $VA ${V.D}/z";
    TomcatSvcMgt::ReplaceEnvVarByValue(text);
    // $VA sorts before $VAB and is replaced inside it as well.
    EXPECT_EQ(text, "/h2 xB x dot/z");

    std::string plain = "no references, just $ and ${}";
    TomcatSvcMgt::ReplaceEnvVarByValue(plain);
    EXPECT_EQ(plain, "no references, just $ and ${}");
}

TEST(GetProcessNameTest, LastVesselMemberOrElseTheFirst)
{
    javatest::Home();
    TempDir loc("vessel-loc");
    MakeDirs((loc / "pub").c_str(), 0755);
    WriteFile(loc / "pub/app_define.json",
              R"({"processes":{"a-1":{},"vessel-main":{},"b-2":{}}})");
    EXPECT_EQ(TomcatSvcMgt::GetProcessName(loc.path()), "vessel-main");
    WriteFile(loc / "pub/app_define.json", R"({"processes":{"a-1":{},"b-2":{}}})");
    EXPECT_EQ(TomcatSvcMgt::GetProcessName(loc.path()), "a-1");
    WriteFile(loc / "pub/app_define.json", R"({"other":{}})");
    EXPECT_EQ(TomcatSvcMgt::GetProcessName(loc.path()), "");
    WriteFile(loc / "pub/app_define.json", "{not json");
    EXPECT_EQ(TomcatSvcMgt::GetProcessName(loc.path()), "");
    EXPECT_GE(javatest::CountInLogs("parse file fail,"), 2u);
}

struct NodeEnv {
    ScopedEnv conf{"APP_CONF_FILE", "", true};
    ScopedEnv node{"NODE_ID", "", true};
    ScopedEnv slot{"PROCESS_SLOT", "", true};
    ScopedEnv inst{"PROCESS_INSTANCE_ID", "", true};
};

TEST(PutNodeIdSlotEnvTest, LastMembersValuesAndTheInstanceRule)
{
    javatest::Home();
    NodeEnv env;
    EXPECT_EQ(TomcatSvcMgt::PutNodeIdSlotEnv(), -1);
    EXPECT_GE(javatest::CountInLogs("get APP_CONF_FILE value fail"), 1u);

    TempDir dir("vessel-node");
    std::string file = dir / "app.json";
    setenv("APP_CONF_FILE", file.c_str(), 1);
    WriteFile(file, R"({"processes":{"a-1":{"nodeId":3,"slot":"1"},"b-2":{"nodeId":"4","slot":2}}})");
    EXPECT_EQ(TomcatSvcMgt::PutNodeIdSlotEnv(), 0);
    EXPECT_EQ(Env("NODE_ID"), "4");
    EXPECT_EQ(Env("PROCESS_SLOT"), "2");
    EXPECT_EQ(Env("PROCESS_INSTANCE_ID"), "a-1");
    EXPECT_GE(javatest::CountInLogs("NODE_ID=4"), 1u);
}

TEST(PutNodeIdSlotEnvTest, MissingOrEmptyValuesFail)
{
    javatest::Home();
    NodeEnv env;
    TempDir dir("vessel-node");
    std::string file = dir / "app.json";
    setenv("APP_CONF_FILE", file.c_str(), 1);
    WriteFile(file, R"({"processes":{"vessel-x":{"nodeId":"3"}}})");
    EXPECT_EQ(TomcatSvcMgt::PutNodeIdSlotEnv(), -1);
    EXPECT_EQ(Env("NODE_ID"), "<unset>");

    // An empty node id fails the call but the slot and instance are still set.
    WriteFile(file, R"({"processes":{"vessel-x":{"nodeId":"","slot":"5"}}})");
    EXPECT_EQ(TomcatSvcMgt::PutNodeIdSlotEnv(), -1);
    EXPECT_EQ(Env("NODE_ID"), "<unset>");
    EXPECT_EQ(Env("PROCESS_SLOT"), "5");
    EXPECT_EQ(Env("PROCESS_INSTANCE_ID"), "vessel-x");
    EXPECT_GE(javatest::CountInLogs("get nodeId fails"), 1u);
}

// A module location with the configuration files, lib/ and etc/ of a Java module.
struct ModuleLocation {
    TempDir loc{"vessel-mod"};
    ModuleLocation()
    {
        MakeDirs((loc / "conf").c_str(), 0755);
        MakeDirs((loc / "lib").c_str(), 0755);
        MakeDirs((loc / "etc").c_str(), 0755);
        for (const char* f : {"catalina.policy", "catalina.properties", "context.xml", "web.xml"}) {
            WriteFile(loc / (std::string("conf/") + f), std::string("content of ") + f + "\n\x01\x02");
        }
        WriteFile(loc / "lib/keep.jar", "jar");
    }
};

TEST(CatalinaBaseTest, CopyLinksAndCleanWithoutTouchingTheModule)
{
    javatest::Home();
    ModuleLocation m;
    ScopedEnv appRoot("APP_ROOT", "", true);
    ScopedEnv base("CATALINA_BASE", "", true);
    EXPECT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(m.loc.path()), -1);
    EXPECT_EQ(TomcatSvcMgt::LinkWarDir(m.loc / "repo", "demo"), -1);
    EXPECT_EQ(TomcatSvcMgt::CleanTomcatEnv(), -1);

    EXPECT_EQ(TomcatSvcMgt::PutCatalinaBase(m.loc.path()), 0);
    std::string b = m.loc / ("warren/" + std::to_string(getpid()));
    ASSERT_EQ(Env("CATALINA_BASE"), b);

    ASSERT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(m.loc.path()), 0);
    mode_t mode = 0;
    ASSERT_TRUE(IsDir(b + "/conf/Catalina/localhost", &mode));
    EXPECT_EQ(mode, 0700u);
    ASSERT_TRUE(IsDir(b + "/webapps", &mode));
    EXPECT_EQ(mode, 0700u);
    EXPECT_EQ(ReadFile(b + "/conf/web.xml"), ReadFile(m.loc / "conf/web.xml"));
    EXPECT_EQ(ReadFile(b + "/conf/catalina.policy"), ReadFile(m.loc / "conf/catalina.policy"));
    EXPECT_EQ(LinkTarget(b + "/lib"), m.loc / "lib");
    EXPECT_EQ(LinkTarget(b + "/etc"), m.loc / "etc");
    // A second preparation finds its links in place and still succeeds.
    EXPECT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(m.loc.path()), 0);

    std::string repo = m.loc / "warren/repository/demo@1.0";
    MakeDirs((repo + "/other").c_str(), 0755);
    EXPECT_EQ(TomcatSvcMgt::LinkWarDir(repo, "demo"), -1);
    EXPECT_GE(javatest::CountInLogs("get war dir empty," + repo), 1u);
    MakeDirs((repo + "/demo").c_str(), 0755);
    EXPECT_EQ(TomcatSvcMgt::LinkWarDir(repo, "demo"), 0);
    EXPECT_EQ(LinkTarget(b + "/webapps/ROOT"), repo + "/demo");
    // The ROOT link exists: a second module in the same base fails here.
    EXPECT_EQ(TomcatSvcMgt::LinkWarDir(repo, "demo"), -1);

    EXPECT_EQ(TomcatSvcMgt::CleanTomcatEnv(), 0);
    EXPECT_FALSE(Exists(b));
    EXPECT_EQ(ReadFile(m.loc / "lib/keep.jar"), "jar");
    EXPECT_TRUE(IsDir(repo + "/demo"));
}

TEST(CatalinaBaseTest, AppRootSuppliesTheBaseAndTheFilesToCopy)
{
    javatest::Home();
    ModuleLocation root;
    TempDir other("vessel-loc");
    ScopedEnv appRoot("APP_ROOT", root.loc.path());
    ScopedEnv base("CATALINA_BASE", "", true);
    TomcatSvcMgt::PutCatalinaBase(other.path());
    std::string b = root.loc / ("warren/" + std::to_string(getpid()));
    EXPECT_EQ(Env("CATALINA_BASE"), b);
    ASSERT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(other.path()), 0);
    EXPECT_EQ(ReadFile(b + "/conf/context.xml"), ReadFile(root.loc / "conf/context.xml"));
    EXPECT_EQ(LinkTarget(b + "/lib"), root.loc / "lib");
    TomcatSvcMgt::CleanTomcatEnv();
}

TEST(CatalinaBaseTest, ABaseThatCannotBeCreatedFailsThePreparation)
{
    javatest::Home();
    ModuleLocation m;
    WriteFile(m.loc / "file", "not a directory");
    ScopedEnv base("CATALINA_BASE", m.loc / "file/base");
    EXPECT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(m.loc.path()), -1);
    EXPECT_GE(javatest::CountInLogs("create catalina_base dir fail"), 1u);
}

TEST(PrepareTomcatEnvTest, FilesThenNodeThenNamesThenBaseThenExports)
{
    javatest::Home();
    ModuleLocation m;
    MakeDirs((m.loc / "envs").c_str(), 0755);
    MakeDirs((m.loc / "pub").c_str(), 0755);
    std::string appConf = m.loc / "pub/app_conf.json";
    WriteFile(m.loc / "pub/app_define.json", R"({"processes":{"vessel-svc":{}}})");
    WriteFile(appConf, R"({"processes":{"vessel-svc":{"nodeId":"7","slot":"2"}}})");
    // APP_CONF_FILE comes from the common file, PROCESS_NAME from the process's own file.
    WriteFile(m.loc / "envs/env.properties", "APP_CONF_FILE=" + appConf + "\nVT_COMMON=c\n");
    WriteFile(m.loc / "envs/vessel-svc.properties", "PROCESS_NAME=svc\nVT_COMMON=own\n");
    ScopedEnv e1("APP_ROOT", "", true), e2("CATALINA_BASE", "", true), e3("APP_CONF_FILE", "", true),
        e4("PROCESS_NAME", "", true), e5("NODE_ID", "", true), e6("PROCESS_SLOT", "", true),
        e7("COMPLETE_PROCESS_NAME", "", true), e8("WARREN_UDS", "", true), e9("VT_COMMON", "", true),
        e10("VT_EXPORTED", "", true), e11("VT_SECOND", "", true), e12("PROCESS_INSTANCE_ID", "", true);

    // The base of a worker that ended without a graceful quit.
    pid_t ended = fork();
    if (ended == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    std::string endedBase = m.loc / ("warren/" + std::to_string(ended));
    MakeDirs((endedBase + "/conf").c_str(), 0700);

    ASSERT_EQ(TomcatSvcMgt::getInstance()->PrepareTomcatEnv(m.loc.path(), "VT_EXPORTED=${VT_COMMON}-x|VT_SECOND=2"), 0);
    EXPECT_FALSE(Exists(endedBase));
    EXPECT_EQ(Env("VT_COMMON"), "own");
    EXPECT_EQ(Env("NODE_ID"), "7");
    EXPECT_EQ(Env("COMPLETE_PROCESS_NAME"), "svc-7-2");
    EXPECT_EQ(Env("WARREN_UDS"), "svc-7-2-" + std::to_string(getpid()));
    std::string b = m.loc / ("warren/" + std::to_string(getpid()));
    EXPECT_EQ(Env("CATALINA_BASE"), b);
    EXPECT_TRUE(IsDir(b + "/webapps"));
    EXPECT_EQ(Env("VT_EXPORTED"), "own-x");
    EXPECT_EQ(Env("VT_SECOND"), "2");
    TomcatSvcMgt::CleanTomcatEnv();
}

}  // namespace
