// A worker process hosting the example web module end to end: the master's "addModule" starts
// Tomcat in the worker's Java VM, the Java receiver pulls from a scriptable gateway and answers
// through the servlet, and a graceful quit answers the request in flight before the worker ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <boost/property_tree/json_parser.hpp>
#include <filesystem>
#include <string>

#include "model/ModulePojo.h"
#include "proto/PipeCmdPojo.h"
#include "support/FakeMaster.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

std::string Request(const std::string& url, const std::string& method, const std::string& body,
                    const std::string& query) {
    return R"({"ReqUrl":")" + url + R"(","Method":")" + method + R"(","ReqBody":")" + body +
           R"(","ReqQuery":{)" + query + R"(},"Header":{"X-Test":["a","b"]}})";
}

}  // namespace

TEST(TomcatWorkerTest, ServesThroughTheServletAndDrainsOnGracefulQuit) {
    FakeMaster master("vessel-tcw");
    ScopedEnv appRoot("APP_ROOT", "", true);
    ScriptableGateway gateway(ScriptableGateway::PathForApp(master.AppName()));
    WriteContainerConfig(master.Home().path(), R"({"moduleHealthCheckInterval": 200})");
    // A private copy of the example module: the worker's Catalina base goes under it.
    boost::property_tree::ptree root;
    ASSERT_NO_THROW(boost::property_tree::read_json(VESSEL_BINARY_DIR "/examples/tomcat-app/app.json", root));
    const auto& entry = root.get_child("Modules").front().second;
    std::filesystem::copy(entry.get<std::string>("Location"), master.Home() / "tomcatdemo",
                          std::filesystem::copy_options::recursive);
    ModulePojo module("tomcatdemo", "1.0", master.Home() / "tomcatdemo", "TOMCAT",
                      entry.get<std::string>("VmArgs"));

    ASSERT_EQ(gateway.Start(), 0);
    gateway.HoldNext("pullreq", 1000);
    ASSERT_TRUE(master.Listen());
    pid_t child = master.Spawn({}, 100);
    int fd = master.Accept(20s);
    ASSERT_TRUE(master.Send(fd, PipeCmdPojo::BuildAddModule(module)));
    const std::string clientId = "tomcatdemo||1.0||" + std::to_string(child),
                      base = master.Home() / ("tomcatdemo/warren/" + std::to_string(child));
    auto pull = gateway.WaitForFrame("pullreq", 90s);
    ASSERT_TRUE(pull) << master.WorkerLog();
    EXPECT_EQ(pull->parts.at(1), clientId);
    EXPECT_FALSE(ReadFile(base + "/conf/server.xml").empty());

    ASSERT_TRUE(gateway.ReleaseHeld(
        "pullreq",
        {"message", "tomcatdemo", "r1", Request("/tomcatdemo/hello", "GET", "", R"("name":"vessel")")}));
    auto hello = gateway.WaitForFrame("responsereq", 30s);
    ASSERT_TRUE(hello) << master.WorkerLog();
    // The greeting comes from the module's envs/env.properties, through the worker's environment.
    EXPECT_EQ(hello->parts,
              (ScriptableGateway::Parts{
                  "responsereq", clientId, "r1", "200",
                  "hello vessel from tomcatdemo pid " + std::to_string(child) + " (tomcatdemo 1.0)", ""}));

    // A slow request is in flight when the quit comes: the worker answers it before it ends.
    ASSERT_TRUE(gateway.ReleaseHeld("pullreq",
                                    {"message", "tomcatdemo", "r2",
                                     Request("/tomcatdemo/echo", "POST", "payload", R"("delayMs":"1500")")}));
    ASSERT_TRUE(gateway.WaitForFrameCount("pullreq", 3, 10s));
    kill(child, SIGQUIT);
    int status = master.WaitExit(child, 30s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << master.WorkerLog();
    auto echo = gateway.WaitForFrame("responsereq", 1s);
    ASSERT_TRUE(echo) << "the request in flight was not answered before the exit\n" << master.WorkerLog();
    EXPECT_EQ(echo->parts.at(2) + " " + echo->parts.at(4), "r2 POST payload");
    EXPECT_FALSE(std::filesystem::exists(base)) << "Catalina base left behind";
}
