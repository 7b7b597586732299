// A real worker process (the worker cycle with its connector to the master) hosting a C module:
// the master's "addModule" line makes it pull from the gateway and answer; SIGTERM ends it at
// once and SIGQUIT as soon as its work has drained.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "CModuleHarness.h"
#include "common/ProcessFlags.h"
#include "gateway/GatewayPath.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"
#include "worker/WorkerProcessCycle.h"

using namespace std::chrono_literals;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WaitFor;
using Parts = testsupport::ScriptableGateway::Parts;

namespace {

void FlagHandler(int signo) {
    if (signo == SIGQUIT) gQuit = 1;
    if (signo == SIGTERM || signo == SIGINT) gTerminate = 1;
}

class CModuleWorkerTest : public ::testing::Test {
protected:
    CModuleWorkerTest()
        : home("cmod-worker"),
          app("APP_NAME", testsupport::UniqueName("CmodWorker")),
          vesselHome("VESSEL_HOME", home.path()),
          logDir("_APP_LOG_DIR", home / "logs"),
          gw(GetGatewayPath()) {
        mkdir((home / "conf").c_str(), 0755);
        mkdir((home / "logs").c_str(), 0755);
        testsupport::WriteFile(home / "conf/containerlog.json",
                               "{\"DevLogLevel\": 3, \"LogBufferWriteRate\": 1, \"LogBufferNum\": 1, "
                               "\"MaxFileSize\": 20, \"MaxFileNum\": 10}");
    }

    ~CModuleWorkerTest() override {
        if (child > 0 && !reaped) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (conn != -1) close(conn);
        if (listenFd != -1) {
            close(listenFd);
            unlink(channelPath.c_str());
        }
    }

    // Listens as the master, forks the worker and sends it the module's "addModule" line.
    void StartWorkerWith(const std::string& name) {
        ASSERT_EQ(gw.Start(), 0);
        channelPath = GetMasterChannelPath();
        listenFd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        channelPath.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        unlink(channelPath.c_str());
        ASSERT_EQ(bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(listen(listenFd, 4), 0);

        child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            struct sigaction sa {};
            sigemptyset(&sa.sa_mask);
            sa.sa_handler = FlagHandler;
            for (int s : {SIGQUIT, SIGTERM, SIGINT}) sigaction(s, &sa, nullptr);
            SetWorkerDrainPollIntervalMs(50);
            warrenWorkerProcessCycle();
            _exit(99);
        }
        pollfd p {listenFd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        conn = accept(listenFd, nullptr, nullptr);
        ASSERT_NE(conn, -1);
        const std::string line = "addModule#" + name + "|1.0|" + cmodtest::ModuleDir(name) + "|C_MODULE|\n";
        ASSERT_EQ(write(conn, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    std::string ClientId(const std::string& name) { return name + "||1.0||" + std::to_string(child); }

    int WaitExit(std::chrono::milliseconds timeout) {
        int status = -1;
        reaped = WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, timeout);
        return reaped ? status : -1;
    }

    std::string Log() {
        std::string all;
        for (const std::string& name : testsupport::ListDir(home / "logs")) {
            if (name.rfind("sub_Vessel", 0) == 0) all += testsupport::ReadFile(home / "logs/" + name);
        }
        return all;
    }

    TempDir home;
    ScopedEnv app;
    ScopedEnv vesselHome;
    ScopedEnv logDir;
    testsupport::ScriptableGateway gw;
    std::string channelPath;
    int listenFd = -1;
    int conn = -1;
    pid_t child = -1;
    bool reaped = false;
};

}  // namespace

TEST_F(CModuleWorkerTest, AddedModuleServesRequestsAndTerminationEndsTheWorkerAtOnce) {
    StartWorkerWith("calc");
    auto pull = gw.WaitForFrame("pullreq", 10s);
    ASSERT_TRUE(pull) << Log();
    EXPECT_EQ(pull->parts, (Parts{"pullreq", ClientId("calc")}));
    ASSERT_TRUE(gw.Reply(pull->conn, cmodtest::Message("w1", cmodtest::RequestText("/calc", "GET", "", {{"x", "20"}, {"y", "22"}}))));
    auto resp = gw.WaitForFrame("responsereq", 10s);
    ASSERT_TRUE(resp) << Log();
    EXPECT_EQ(resp->parts, (Parts{"responsereq", ClientId("calc"), "w1", "200", "42", ""}));
    ASSERT_TRUE(gw.WaitForFrameCount("pullreq", 2, 10s));

    kill(child, SIGTERM);
    // The puller must not hold the worker until the master's SIGKILL.
    int status = WaitExit(5s);
    ASSERT_TRUE(WIFEXITED(status)) << status << Log();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = Log();
    EXPECT_NE(log.find("IOService exist[pullGatewayReq|CModuleMgt.cpp|"), std::string::npos) << log;
    EXPECT_NE(log.find("exit[ExitWorkerProcess|"), std::string::npos);
}

TEST_F(CModuleWorkerTest, GracefulQuitEndsOnceTheRunningRequestIsAnswered) {
    StartWorkerWith("slow");
    auto pull = gw.WaitForFrame("pullreq", 10s);
    ASSERT_TRUE(pull) << Log();
    ASSERT_TRUE(gw.Reply(pull->conn, cmodtest::Message("q", cmodtest::RequestText("/slow", "GET", "", {{"ms", "1500"}}))));
    ASSERT_TRUE(WaitFor([&] { return Log().find("RequestHandler slow:1.0") != std::string::npos; }, 10s));

    kill(child, SIGQUIT);
    // Well before the 300-second default deadline: the worker ends when the answer is out.
    int status = WaitExit(20s);
    ASSERT_TRUE(WIFEXITED(status)) << status << Log();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto resp = gw.FramesOf("responsereq");
    ASSERT_EQ(resp.size(), 1u);
    EXPECT_EQ(resp[0].parts, (Parts{"responsereq", ClientId("slow"), "q", "200", "slept 1500", ""}));
    std::string log = Log();
    EXPECT_EQ(log.find("Exceeded the deadline"), std::string::npos) << log;
    EXPECT_NE(log.find("gracefully shutting down"), std::string::npos);
}
