// A worker process hosting the example web module end to end: the master's "addModule" starts
// Tomcat in the worker's Java VM, the Java receiver pulls from a scriptable gateway and answers
// through the servlet, and the worker quits gracefully (draining) or at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/ContainerConfig.h"
#include "support/FakeMaster.h"
#include "support/LogLines.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"
#include "model/ModulePojo.h"
#include "proto/PipeCmdPojo.h"

using namespace std::chrono_literals;
using testsupport::ScopedEnv;
using testsupport::ScriptableGateway;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

const std::string kExampleDir = std::string(VESSEL_BINARY_DIR) + "/examples/tomcat-app";

std::string RequestJson(const std::string& url, const std::string& method, const std::string& body,
                        const std::string& query)
{
    return "{\"ReqUrl\":\"" + url + "\",\"Method\":\"" + method + "\",\"ReqBody\":\"" + body +
           "\",\"ReqQuery\":{" + query + "},\"Header\":{\"X-Test\":[\"a\",\"b\"]}}";
}

class TomcatWorkerTest : public ::testing::Test {
protected:
    TomcatWorkerTest()
        : master("vessel-tcw"),
          home(master.Home()),
          appRoot("APP_ROOT", "", true),
          gateway(ScriptableGateway::PathForApp(master.AppName()))
    {
        testsupport::WriteContainerConfig(
            home.path(), R"({"moduleHealthCheckInterval": 200, "moduleRequestTimeout": 60})");
    }

    // A private copy of the example module (the worker's Catalina base goes under it) and its
    // configuration entry.
    bool PrepareModule()
    {
        boost::property_tree::ptree root;
        try {
            boost::property_tree::read_json(kExampleDir + "/app.json", root);
        } catch (const std::exception&) {
            return false;
        }
        const auto& entry = root.get_child("Modules").front().second;
        std::filesystem::copy(entry.get<std::string>("Location"), home / "tomcatdemo",
                              std::filesystem::copy_options::recursive);
        module = ModulePojo(entry.get<std::string>("Name"), entry.get<std::string>("Version"),
                            home / "tomcatdemo", entry.get<std::string>("Type"), entry.get<std::string>("VmArgs"));
        return true;
    }

    // edit, when given, changes the module's launch settings before the worker gets them.
    void StartWorker(const std::function<void(std::string&)>& edit = {})
    {
        ASSERT_TRUE(PrepareModule()) << "example module not built under " << kExampleDir;
        if (edit) {
            std::string vmArgs = module.GetVmArgs();
            edit(vmArgs);
            module.SetVmArgs(vmArgs);
        }
        ASSERT_EQ(gateway.Start(), 0);
        gateway.HoldNext("pullreq", 1000);
        ASSERT_TRUE(master.Listen());
        child = SpawnWorker();
        clientId = "tomcatdemo||1.0||" + std::to_string(child);
    }

    // Forks one more worker on the same channel and sends it the module; its pid.
    pid_t SpawnWorker()
    {
        pid_t pid = master.Spawn({}, 100);
        if (pid == -1) {
            ADD_FAILURE() << "fork failed";
            return -1;
        }
        int fd = master.Accept(std::chrono::seconds(20));
        if (fd == -1) {
            ADD_FAILURE() << "worker did not connect";
            return pid;
        }
        EXPECT_TRUE(master.Send(fd, PipeCmdPojo::BuildAddModule(module)));
        return pid;
    }

    // Answers the worker's next held pull with a request; the frame of its response.
    std::optional<ScriptableGateway::Frame> Serve(const std::string& requestId, const std::string& json)
    {
        if (!gateway.ReleaseHeld("pullreq", {"message", "tomcatdemo", requestId, json})) {
            return std::nullopt;
        }
        return gateway.WaitForFrame("responsereq", 30s);
    }

    bool WaitExit(int& status, std::chrono::milliseconds timeout)
    {
        status = master.WaitExit(child, timeout);
        return status != -1;
    }

    std::string Logs() { return testsupport::ReadLogs(home / "logs", "sub_Vessel"); }
    std::string CatalinaBase() { return home / ("tomcatdemo/warren/" + std::to_string(child)); }

    testsupport::FakeMaster master;
    const TempDir& home;
    ScopedEnv appRoot;
    ScriptableGateway gateway;
    ModulePojo module;
    std::string clientId;
    pid_t child = -1;
};

TEST_F(TomcatWorkerTest, ServesThroughTheServletAndDrainsOnGracefulQuit)
{
    StartWorker();
    auto pull = gateway.WaitForFrame("pullreq", 90s);
    ASSERT_TRUE(pull) << Logs();
    EXPECT_EQ(pull->parts.at(1), clientId);
    EXPECT_TRUE(testsupport::ReadFile(CatalinaBase() + "/conf/server.xml").size() > 0);

    auto hello = Serve("r1", RequestJson("/tomcatdemo/hello", "GET", "", "\"name\":\"vessel\""));
    ASSERT_TRUE(hello) << Logs();
    ASSERT_EQ(hello->parts.size(), 6u);
    EXPECT_EQ(hello->parts[1], clientId);
    EXPECT_EQ(hello->parts[2], "r1");
    EXPECT_EQ(hello->parts[3], "200");
    // The greeting comes from the module's envs/env.properties, through the worker's environment.
    EXPECT_EQ(hello->parts[4], "hello vessel from tomcatdemo pid " + std::to_string(child) + " (tomcatdemo 1.0)");

    auto missing = Serve("r2", RequestJson("/tomcatdemo/nothing-here", "GET", "", ""));
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->parts[3], "404");

    // A slow request is in flight when the quit comes: the worker answers it before it ends.
    ASSERT_TRUE(gateway.ReleaseHeld("pullreq", {"message", "tomcatdemo", "r3",
                                                RequestJson("/tomcatdemo/echo", "POST", "payload",
                                                            "\"delayMs\":\"1500\"")}));
    ASSERT_TRUE(gateway.WaitForFrameCount("pullreq", 4, 10s));
    kill(child, SIGQUIT);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 30s)) << Logs();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto echo = gateway.WaitForFrame("responsereq", 1s);
    ASSERT_TRUE(echo) << "the in-flight request was not answered before the exit\n" << Logs();
    EXPECT_EQ(echo->parts[2], "r3");
    EXPECT_EQ(echo->parts[4], "POST payload");

    std::string logs = Logs();
    EXPECT_FALSE(testsupport::LinesWith(logs, "TomcatSvcMgt CheckStopOver  success").empty());
    EXPECT_TRUE(testsupport::LinesWith(logs, "Exceeded the deadline").empty());
    struct stat st;
    EXPECT_NE(lstat(CatalinaBase().c_str(), &st), 0) << "Catalina base left behind";
}

// Two workers with the same server.xml at once, as when a replacement starts while the old worker
// still drains: the second Tomcat moves off the busy port and each worker answers from its own.
TEST_F(TomcatWorkerTest, OverlappingWorkersEachServeFromTheirOwnTomcat)
{
    StartWorker();
    ASSERT_TRUE(gateway.WaitForFrame("pullreq", 90s)) << Logs();
    pid_t second = SpawnWorker();
    std::string secondId = "tomcatdemo||1.0||" + std::to_string(second);
    std::optional<ScriptableGateway::Frame> pull;
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& f : gateway.HeldFrames()) {
            if (f.parts.size() > 1 && f.parts[1] == secondId) {
                pull = f;
                return true;
            }
        }
        return false;
    }, 90s)) << Logs();

    ASSERT_TRUE(gateway.Reply(pull->conn, {"message", "tomcatdemo", "s1",
                                           RequestJson("/tomcatdemo/hello", "GET", "", "")}));
    auto answer = gateway.WaitForFrame("responsereq", 30s);
    ASSERT_TRUE(answer) << Logs();
    EXPECT_EQ(answer->parts[1], secondId);
    EXPECT_EQ(answer->parts[4], "hello world from tomcatdemo pid " + std::to_string(second) + " (tomcatdemo 1.0)");
    // The first worker's Tomcat still answers for the first worker.
    auto first = Serve("f1", RequestJson("/tomcatdemo/hello", "GET", "", ""));
    ASSERT_TRUE(first) << Logs();
    EXPECT_EQ(first->parts[1], clientId);
    EXPECT_EQ(first->parts[4], "hello world from tomcatdemo pid " + std::to_string(child) + " (tomcatdemo 1.0)");
}

// A fast stop leaves the worker's Catalina base behind; the next Java worker of the module
// removes it before it makes its own.
TEST_F(TomcatWorkerTest, TerminateEndsTheWorkerAtOnceAndTheNextWorkerRemovesItsBase)
{
    StartWorker();
    ASSERT_TRUE(gateway.WaitForFrame("pullreq", 90s)) << Logs();
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 10s)) << Logs();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::string endedBase = CatalinaBase();
    struct stat st;
    ASSERT_EQ(lstat(endedBase.c_str(), &st), 0) << "a fast stop is expected to leave its base";
    child = SpawnWorker();
    std::string ownBase = CatalinaBase() + "/conf/server.xml";
    ASSERT_TRUE(WaitFor([&] { return lstat(ownBase.c_str(), &st) == 0; }, 60s)) << Logs();
    EXPECT_NE(lstat(endedBase.c_str(), &st), 0) << "the ended worker's base is still there";
}

TEST_F(TomcatWorkerTest, MissingTomcatFailsTheLoadWithClearLines)
{
    TempDir empty("vessel-notomcat");
    ScopedEnv javaHome("JAVA_HOME", empty.path());
    // Tomcat and Commons Daemon are nowhere to be found; Java itself is.
    StartWorker([&](std::string& vmArgs) {
        for (const std::string from : {"/usr/share/tomcat10", "/usr/share/java/commons-daemon.jar"}) {
            for (size_t pos = vmArgs.find(from); pos != std::string::npos; pos = vmArgs.find(from, pos + 1)) {
                vmArgs.replace(pos, from.size(), empty.path());
            }
        }
    });
    // The worker reports that it does not serve the module, and starts no receiver for it.
    int fd = master.LastConnection();
    EXPECT_EQ(master.ReadLine(fd, 90s), "shakehand#" + std::to_string(child) + "\n");
    EXPECT_EQ(master.ReadLine(fd, 90s), "unloadModule#" + std::to_string(child) + "#tomcatdemo|1.0\n") << Logs();
    std::string logs = Logs();
    EXPECT_EQ(testsupport::LinesWith(logs, "load libjvm fail," + empty.path()).size(), 1u) << logs;
    EXPECT_EQ(testsupport::LinesWith(logs, "Cannot find class org/apache/commons/daemon/support/DaemonLoader").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(logs, "start tomcat fail,11").size(), 1u);
    EXPECT_EQ(testsupport::LinesWith(logs, "StartTomcat4Module fail,tomcatdemo:1.0").size(), 1u);
    EXPECT_TRUE(gateway.FramesOf("pullreq").empty());

    kill(child, SIGQUIT);
    int status = 0;
    ASSERT_TRUE(WaitExit(status, 20s)) << Logs();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
