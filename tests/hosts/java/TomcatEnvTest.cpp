// Preparing a Java module's environment and private Catalina base, on temporary directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/CommonUtil.h"
#include "hosts/java/TomcatSvcMgt.h"
#include "support/TestSupport.h"
#include "worker/ReqReceiverMgt.h"

using namespace testsupport;

namespace {

std::string Env(const char* name) {
    return getenv(name) != nullptr ? getenv(name) : "<unset>";
}

std::string LinkTarget(const std::string& path) {
    return std::filesystem::is_symlink(path) ? std::filesystem::read_symlink(path).string() : "";
}

// The permission bits of a directory (not through a link); 0 for anything else or nothing.
mode_t DirMode(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? st.st_mode & 0777 : 0;
}

}  // namespace

TEST(TomcatEnvTest, ModuleArgsSplitAndVariableReferencesAreReplaced) {
    using Args = std::map<std::string, std::string>;
    for (const auto& c : std::vector<std::pair<std::string, Args>>{
             {"export->A=1|B=2;vmArgs->-Xmx1g -Dx=/o", {{"export", "A=1|B=2"}, {"vmArgs", "-Xmx1g -Dx=/o"}}},
             {"-Xmx1g", {{"vmArgs", "-Xmx1g"}}},
             {"vmArgs->-Xmx1g;-Xss1m", {{"vmArgs", "-Xss1m"}}},  // a later item wins
             {"export->A=export->x", {{"export", "A=x"}}},       // every "export->" goes
             {"", {}}}) {
        EXPECT_EQ(TomcatSvcMgt::ParseModuleArgs(c.first), c.second) << c.first;
    }
    ScopedEnv a("VA", "x"), ab("VAB", "y"), home("VHOME", "/h"), dotted("V.D", "d"),
        unset("VT_UNSET", "", true);
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"a ${VHOME} b $VHOME c $VT_UNSET", "a /h b /h c $VT_UNSET"},
             {"$VHOME2 ${V.D}/z", "/h2 d/z"},  // a digit ends a name
             {"$VAB $VA", "xB x"},             // $VA sorts first and is replaced inside $VAB too
             {"just $ and ${}", "just $ and ${}"}}) {
        std::string text = c.first;
        TomcatSvcMgt::ReplaceEnvVarByValue(text);
        EXPECT_EQ(text, c.second) << c.first;
    }
}

// Settings files, then node, then names, then the base (an ended worker's removed), then exports;
// with no web application in the repository the load fails there, before any VM or receiver.
// The process name is the member with "vessel" (else the first); node and slot the last member's.
TEST(TomcatEnvTest, LoadPreparesEnvironmentAndCatalinaBaseAndFailsWithoutWebApplication) {
    TempDir loc("vessel-mod");  // the module's conf/ files, lib/, etc/ and settings directories
    for (const char* d : {"conf", "lib", "etc", "envs", "pub"}) MakeDirs((loc / d).c_str(), 0755);
    for (const char* f : {"catalina.policy", "context.xml", "web.xml"}) WriteFile(loc / "conf/" + f, f);
    WriteFile(loc / "lib/keep.jar", "jar");
    const std::string appConf = loc / "pub/app_conf.json";
    WriteFile(loc / "pub/app_define.json", R"({"processes":{"a-1":{},"vessel-svc":{},"b-2":{}}})");
    WriteFile(appConf,
              R"({"processes":{"a-1":{"nodeId":"3","slot":"1"},"vessel-svc":{"nodeId":7,"slot":2}}})");
    WriteFile(loc / "envs/env.properties", "APP_CONF_FILE=" + appConf + "\nVT_COMMON=c\n");
    WriteFile(loc / "envs/vessel-svc.properties", "PROCESS_NAME=svc\nVT_COMMON=own\n");
    std::vector<std::unique_ptr<ScopedEnv>> saved;
    for (const char* name :
         {"APP_ROOT", "CATALINA_BASE", "APP_CONF_FILE", "PROCESS_NAME", "NODE_ID", "PROCESS_SLOT",
          "PROCESS_INSTANCE_ID", "COMPLETE_PROCESS_NAME", "WARREN_UDS", "VT_COMMON", "VT_EXPORTED"}) {
        saved.emplace_back(new ScopedEnv(name, "", true));
    }
    pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::string endedBase = loc / ("warren/" + std::to_string(ended)),
                      b = loc / ("warren/" + std::to_string(getpid()));
    MakeDirs((endedBase + "/conf").c_str(), 0700);

    ModulePojo module("demo", "1.0", loc.path(), "TOMCAT",
                      "export->VT_EXPORTED=${VT_COMMON}-x|VT_SECOND=2;-Xmx1g");
    EXPECT_EQ(TomcatSvcMgt::getInstance()->LoadModule(module), TomcatSvcMgt::RESULT_PREPARE_FAIL);
    EXPECT_EQ(ReqReceiverMgt::getInstance().Find(module.Key()), nullptr);
    EXPECT_EQ(DirMode(endedBase), 0u);
    EXPECT_EQ(Env("PROCESS_INSTANCE_ID") + " " + Env("COMPLETE_PROCESS_NAME") + " " + Env("WARREN_UDS"),
              "vessel-svc svc-7-2 svc-7-2-" + std::to_string(getpid()));
    EXPECT_EQ(Env("VT_EXPORTED"), "own-x");
    ASSERT_EQ(Env("CATALINA_BASE"), b);
    EXPECT_EQ(DirMode(b + "/conf/Catalina/localhost"), 0700u);
    EXPECT_EQ(DirMode(b + "/webapps"), 0700u);
    EXPECT_EQ(ReadFile(b + "/conf/web.xml") + ReadFile(b + "/conf/catalina.policy"),
              "web.xmlcatalina.policy");
    EXPECT_EQ(LinkTarget(b + "/lib") + " " + LinkTarget(b + "/etc"), loc / "lib " + loc / "etc");
    EXPECT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(loc.path()), 0);  // again: its links are in place

    const std::string repo = module.RepositoryPath();
    MakeDirs((repo + "/demo").c_str(), 0755);
    EXPECT_EQ(TomcatSvcMgt::LinkWarDir(repo, "demo"), 0);
    EXPECT_EQ(LinkTarget(b + "/webapps/ROOT"), repo + "/demo");
    EXPECT_EQ(TomcatSvcMgt::LinkWarDir(repo, "demo"), -1);  // one root application per base

    EXPECT_EQ(TomcatSvcMgt::CleanTomcatEnv(), 0);
    EXPECT_EQ(DirMode(b), 0u);
    EXPECT_EQ(ReadFile(loc / "lib/keep.jar"), "jar");
    EXPECT_NE(DirMode(repo + "/demo"), 0u);
    setenv("CATALINA_BASE", (loc / "lib/keep.jar/base").c_str(), 1);  // cannot be made
    EXPECT_EQ(TomcatSvcMgt::CopyCatalinaBaseEnv(loc.path()), -1);
}
