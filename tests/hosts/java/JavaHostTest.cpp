// The Java host: a module's environment and Catalina base, the VM options, a real VM (in a child:
// one per process) carrying the receiver's calls to stand-in classes (fixture/), and a worker
// hosting the example web module end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/CommonUtil.h"
#include "hosts/java/JniEnvGuard.h"
#include "hosts/java/JvmMgt.h"
#include "hosts/java/TomcatRequestReceiver.h"
#include "hosts/java/TomcatSvcMgt.h"
#include "proto/PipeCmdPojo.h"
#include "support/FakeMaster.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"
#include "worker/ReqReceiverMgt.h"

using namespace std::chrono_literals;
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

TEST(TomcatEnvTest, ModuleArgsVariableReferencesAndVmOptionsAreParsed) {
    using Args = std::map<std::string, std::string>;
    for (const auto& c : std::vector<std::pair<std::string, Args>>{
             {"export->A=1|B=2;vmArgs->-Xmx1g -Dx=/o", {{"export", "A=1|B=2"}, {"vmArgs", "-Xmx1g -Dx=/o"}}},
             {"vmArgs->-Xmx1g;-Xss1m", {{"vmArgs", "-Xss1m"}}},  // a later item wins; a bare one is vmArgs
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
    // VM options: ours that the module's may override (perf data kept off /tmp), the pieces in
    // order, then the homes' jars (one each, so directory order does not matter: "xjar" has the
    // suffix, "a.jar.txt" has not), the receivers' pull connections, -Xrs.
    TempDir dir("vessel-jvmopt");
    ScopedEnv vesselHome("VESSEL_HOME", dir.path());
    WriteContainerConfig(dir.path(), R"({"modulePullConnections": 3})");
    const std::string perf = "-XX:+PerfDisableSharedMem", pulls = "-Dtomcatuds.pullConnections=3";
    const std::string tc = dir / "tc", uds = dir / "uds";
    for (const std::string& home : {tc, uds}) MakeDirs((home + "/lib").c_str(), 0755);
    for (const std::string& jar : {tc + "/lib/a.jar", tc + "/lib/a.jar.txt", uds + "/lib/xjar"})
        WriteFile(jar, "");
    for (const auto& c : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"  ", {perf, pulls, "-Xrs"}},
             {" -Xmx512m  -XX:-PerfDisableSharedMem -Da=1 ",
              {perf, "-Xmx512m", "-XX:-PerfDisableSharedMem", "-Da=1", pulls, "-Xrs"}},
             {"-Dtomcatuds.home=" + uds + " -Dcatalina.home=/nonexistent",
              {perf, "-Dtomcatuds.home=" + uds, "-Dcatalina.home=/nonexistent",
               "-Djava.class.path=:" + uds + "/lib/xjar", pulls, "-Xrs"}},
             {"-Djava.class.path=/x -Dcatalina.home=" + tc + " -Dtomcatuds.home=" + uds,
              {perf, "-Djava.class.path=/x:" + tc + "/lib/a.jar:" + uds + "/lib/xjar",
               "-Dcatalina.home=" + tc, "-Dtomcatuds.home=" + uds, pulls, "-Xrs"}}}) {
        EXPECT_EQ(JvmMgt::BuildJvmOptions(c.first), c.second) << c.first;
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
          "PROCESS_INSTANCE_ID", "COMPLETE_PROCESS_NAME", "WARREN_UDS", "VT_COMMON", "VT_EXPORTED"})
        saved.emplace_back(new ScopedEnv(name, "", true));
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
    EXPECT_EQ(Env("PROCESS_INSTANCE_ID") + " " + Env("COMPLETE_PROCESS_NAME") + " " + Env("WARREN_UDS") +
                  " " + Env("VT_EXPORTED"),
              "vessel-svc svc-7-2 svc-7-2-" + std::to_string(getpid()) + " own-x");
    ASSERT_EQ(Env("CATALINA_BASE"), b);
    EXPECT_TRUE(DirMode(b + "/conf/Catalina/localhost") == 0700 && DirMode(b + "/webapps") == 0700);
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

TEST(JvmMgtTest, VmOnItsOwnThreadCarriesReceiverCallsAndThrowingJavaLeavesNothingPending) {
    RunInChildWithLog([](LogReader&) {
        JvmMgt& jvm = JvmMgt::getInstance();
        // Before a VM exists, a receiver reports failure and a drain counts as done.
        auto ready = TomcatRequestReceiver::create("/tmp/gw", ModuleKey("ready", "2"));
        EXPECT_TRUE(ready->start() == -1 && ready->CheckStopOver());

        std::thread jvmThread(&JvmMgt::Run, &jvm);
        jvm.PushCommand("createJvm",
                        "-Xmx64m -Djava.class.path=" VESSEL_BINARY_DIR "/tests/java-fixture/classes");
        EXPECT_EQ(jvm.WaitForJvmStart(), 0);
        JavaVM* vm = jvm.GetJvmPojo().GetVm();
        ASSERT_NE(vm, nullptr);
        EXPECT_EQ(ThreadsNotBatch(), 0) << "the VM's threads and ours run under SCHED_BATCH";
        // Created on the JVM thread: this thread is attached only within a guard's scope.
        JNIEnv* env = nullptr;
        auto attached = [&] { return vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) == JNI_OK; };
        EXPECT_FALSE(attached());
        EXPECT_TRUE(JniEnvGuard().Attached() && attached());
        EXPECT_FALSE(attached());

        // Attached from here on, so an exception a call left pending would stay visible here.
        ASSERT_EQ(vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr), JNI_OK);
        auto bad = TomcatRequestReceiver::create("/tmp/gw", ModuleKey("throw", "1"));
        auto clean = [&] { return env->ExceptionCheck() == JNI_FALSE; };
        EXPECT_TRUE(bad->start() == -1 && clean());
        EXPECT_TRUE(!bad->CheckStopOver() && clean());
        EXPECT_TRUE(!bad->ModuleHealthCheck() && clean());
        EXPECT_TRUE(bad->InvokeMethod("reconnect") == -1 && clean());
        EXPECT_TRUE(bad->InvokeMethod("nosuchMethod") == -1 && clean());
        EXPECT_TRUE(ready->start() == 0 && ready->ModuleHealthCheck() && ready->CheckStopOver());
        ready->SetNotReceive();
        EXPECT_EQ(ready->State(), 1);
        ready->stop();
        ready->stop();  // once stopped, nothing more reaches Java
        ready->SetNotReceive();
        jclass cls = env->FindClass("com/quorla/brv/tomcatuds/business/ReqReceiverMgt");
        auto text = static_cast<jstring>(
            env->CallStaticObjectMethod(cls, env->GetStaticMethodID(cls, "calls", "()Ljava/lang/String;")));
        const char* calls = env->GetStringUTFChars(text, nullptr);
        const std::string pid = std::to_string(getpid()), health = "health /rest/vude/";
        EXPECT_EQ(calls, "insert throw||1 " + pid + " /tmp/gw;stopover;" + health +
                             "throw/healthcheck 32018 throw||1 /tmp/gw;reconnect throw||1;insert ready||2 " +
                             pid + " /tmp/gw;" + health +
                             "ready/healthcheck 32018 ready||2 /tmp/gw;stopover;" +
                             "clear ready||2;clear ready||2;");
        env->ReleaseStringUTFChars(text, calls);
        vm->DetachCurrentThread();

        // A second create keeps the VM: the option the VM would refuse is never tried.
        jvm.PushCommand("createJvm", "-Xthis-option-does-not-exist");
        jvm.PushCommand("stopJvm", "");
        int32_t polls = 20;
        jvm.WaitForJvmQuit(&polls);
        EXPECT_EQ(jvm.GetJvmPojo().GetVm(), nullptr);
        EXPECT_EQ(jvm.GetStatus(), JvmMgt::STATUS_OK);
        jvm.StopQueue();  // wakes the idle thread, which leaves
        jvmThread.join();
        // Nobody would create a VM now: a later load must not wait for one forever.
        jvm.PushCommand("createJvm", "-Xmx64m");
        EXPECT_EQ(jvm.WaitForJvmStart(), JvmMgt::STATUS_CREATE_FAIL);
    });
}

// The master's "addModule" starts Tomcat in the worker's Java VM, the Java receiver pulls from a
// scriptable gateway and answers through the servlet, and a graceful quit answers the request in
// flight before the worker ends.
TEST(TomcatWorkerTest, ServesThroughTheServletAndDrainsOnGracefulQuit) {
    FakeMaster master("vessel-tcw");
    ScopedEnv appRoot("APP_ROOT", "", true);
    ScriptableGateway gateway(ScriptableGateway::PathForApp(master.AppName()));
    WriteContainerConfig(master.Home().path(),
                         R"({"moduleHealthCheckInterval": 200, "modulePullConnections": 2})");
    // A private copy of the example module: the worker's Catalina base goes under it.
    boost::property_tree::ptree root;
    ASSERT_NO_THROW(boost::property_tree::read_json(VESSEL_BINARY_DIR "/examples/tomcat-app/app.json", root));
    const auto& entry = root.get_child("Modules").front().second;
    const std::string location = master.Home() / "tomcatdemo";
    std::filesystem::copy(entry.get<std::string>("Location"), location,
                          std::filesystem::copy_options::recursive);
    ASSERT_TRUE(gateway.Start() == 0 && master.Listen());
    gateway.HoldNext("pullreq", 1000);
    pid_t child = master.Spawn({}, 100);
    ASSERT_TRUE(master.Send(master.Accept(),
                            PipeCmdPojo::BuildAddModule(ModulePojo("tomcatdemo", "1.0", location, "TOMCAT",
                                                                   entry.get<std::string>("VmArgs")))));
    const std::string clientId = "tomcatdemo||1.0||" + std::to_string(child),
                      base = location + "/warren/" + std::to_string(child);
    // Two pull connections, both pulling for the module.
    ASSERT_TRUE(gateway.WaitForFrameCount("pullreq", 2, 90s)) << master.WorkerLog();
    const auto pulls = gateway.FramesOf("pullreq");
    EXPECT_NE(pulls[0].conn, pulls[1].conn);
    for (const auto& pull : pulls) EXPECT_EQ(pull.parts.at(1), clientId);
    EXPECT_FALSE(ReadFile(base + "/conf/server.xml").empty());

    // The pull after an answer may reach the gateway after the answer itself: the n-th request
    // waits for the n-th pull.
    size_t released = 0;
    auto request = [&](const std::string& id, const std::string& path, const std::string& rest) {
        return gateway.WaitForFrameCount("pullreq", ++released, 10s) &&
               gateway.ReleaseHeld("pullreq", {"message", "tomcatdemo", id,
                                               R"({"ReqUrl":"/tomcatdemo/)" + path +
                                                   R"(","Header":{"X-Test":["a","b"]},)" + rest + "}"});
    };
    ASSERT_TRUE(request("r1", "hello", R"("Method":"GET","ReqBody":"","ReqQuery":{"name":"vessel"})"));
    auto hello = gateway.WaitForFrame("responsereq", 30s);
    ASSERT_TRUE(hello) << master.WorkerLog();
    // The greeting comes from the module's envs/env.properties, through the worker's environment.
    EXPECT_EQ(hello->parts,
              (ScriptableGateway::Parts{
                  "responsereq", clientId, "r1", "200",
                  "hello vessel from tomcatdemo pid " + std::to_string(child) + " (tomcatdemo 1.0)", ""}));

    // Tomcat's answers on the kept connection to it, each read whole: a large echo comes back
    // chunked, an error page with its length, and the next answer still matches its request.
    const std::string big(20000, 'x');
    const std::tuple<std::string, std::string, std::string, std::string, std::string> answers[] = {
        {"r1b", "echo", R"("Method":"POST","ReqBody":")" + big + R"(","ReqQuery":{})", "200", "POST " + big},
        {"r1c", "echo", R"("Method":"GET","ReqBody":"","ReqQuery":{"delayMs":"x"})", "400",
         "<!doctype html>"},
        {"r1d", "hello", R"("Method":"GET","ReqBody":"","ReqQuery":{"name":"again"})", "200", "hello again"}};
    for (const auto& [id, path, rest, status, body] : answers) {
        ASSERT_TRUE(request(id, path, rest)) << id;
        auto answer = gateway.WaitForFrame("responsereq", 30s);
        ASSERT_TRUE(answer) << id << "\n" << master.WorkerLog();
        EXPECT_EQ(answer->parts.at(2) + " " + answer->parts.at(3), id + " " + status);
        EXPECT_EQ(answer->parts.at(4).substr(0, body.size()), body) << id;
    }

    // A slow request is in flight when the quit comes: the worker answers it before it ends. It
    // does not hold up its connection: another thread pulls on it long before the answer.
    ASSERT_TRUE(gateway.WaitForFrameCount("pullreq", 6, 10s));
    ASSERT_TRUE(
        request("r2", "echo", R"("Method":"POST","ReqBody":"payload","ReqQuery":{"delayMs":"1500"})"));
    ASSERT_TRUE(gateway.WaitForFrameCount("pullreq", 7, 1s));
    // The other connection answers meanwhile, and each message is pulled for once: the thread
    // that takes the slow request's connection over finds the pull that went out before it ran.
    ASSERT_TRUE(request("r3", "hello", R"("Method":"GET","ReqBody":"","ReqQuery":{"name":"meanwhile"})"));
    auto meanwhile = gateway.WaitForFrame("responsereq", 10s);
    ASSERT_TRUE(meanwhile) << master.WorkerLog();
    EXPECT_EQ(meanwhile->parts.at(2), "r3");
    EXPECT_FALSE(gateway.WaitForFrameCount("pullreq", 9, 300ms)) << "a second pull where one waited";
    EXPECT_EQ(gateway.FramesOf("responsereq").size(), 5u);
    kill(child, SIGQUIT);
    EXPECT_EQ(master.WaitExit(child, 30s), 0) << master.WorkerLog();
    auto echo = gateway.WaitForFrame("responsereq", 1s);
    ASSERT_TRUE(echo) << "the request in flight was not answered before the exit\n" << master.WorkerLog();
    EXPECT_EQ(echo->parts.at(2) + " " + echo->parts.at(4), "r2 POST payload");
    EXPECT_FALSE(std::filesystem::exists(base)) << "Catalina base left behind";
}
