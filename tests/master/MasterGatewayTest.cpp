// The real vessel binary against a scriptable gateway: the master's pulls, placement of demanded
// modules into real worker processes, recovery from gateway failures, ageing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "support/ChildProcess.h"
#include "support/ContainerConfig.h"
#include "support/LogLines.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// C modules that load: each name is the echo sample under a directory of its own in home.
std::string ModulesJson(const std::string& home, const std::vector<std::string>& names) {
    const std::string echo = std::string(VESSEL_BINARY_DIR) + "/examples/c-modules/echo/libecho.so";
    std::string json = "{\"Modules\":[";
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string dir = home + "/" + names[i];
        mkdir(dir.c_str(), 0755);
        symlink(echo.c_str(), (dir + "/lib" + names[i] + ".so").c_str());
        if (i) json += ",";
        json += "{\"Name\":\"" + names[i] + "\",\"Version\":\"1.0\",\"Location\":\"" + dir +
                "\",\"Type\":\"C_MODULE\"}";
    }
    return json + "]}";
}

class MasterGateway : public ::testing::Test {
protected:
    TempDir home{"vessel-mg"};
    std::string app = UniqueName("MG");
    std::string logDir = home / "log";
    ScriptableGateway gateway{ScriptableGateway::PathForApp(app)};
    ChildProcess master;

    void SetUp() override {
        mkdir(logDir.c_str(), 0755);
        WriteImmediateLogConfig(home.path());
        WriteContainerConfig(home.path(), "{\"maxModulePerSubprocess\": 2}");
        gateway.HoldNext("pullmodloadreq", 1000);
        gateway.HoldNext("pullappcfgchg", 1000);
    }
    void TearDown() override {
        for (pid_t pid : WorkerPids()) kill(pid, SIGKILL);
        master.Kill(SIGKILL);
        master.Wait(5s);
        std::string lower = app;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        unlink(("/tmp/uds-vessel-inner-" + lower).c_str());
    }
    void ServeConfig(const std::vector<std::string>& names) {
        std::string json = ModulesJson(home.path(), names);
        gateway.OnCommand("pullappcfg",
                          [json](ScriptableGateway::ConnId, const ScriptableGateway::Parts&) {
                              return std::optional<ScriptableGateway::Parts>({"appcfg", json});
                          });
    }
    void StartMaster() {
        ASSERT_TRUE(master.Exec({std::string(VESSEL_BINARY_DIR) + "/vessel"},
                                {{"APP_NAME", app}, {"_APP_LOG_DIR", logDir}, {"VESSEL_HOME", home.path()}},
                                home / "out.txt"));
    }
    bool DemandPending() {
        for (const auto& f : gateway.HeldFrames()) {
            if (f.Command() == "pullmodloadreq") return true;
        }
        return false;
    }
    // Answers the master's next held demand with key name||1.0.
    void Demand(const std::string& name) {
        ASSERT_TRUE(WaitFor([&] { return DemandPending(); }, 20s)) << "no demand pull pending";
        ASSERT_TRUE(gateway.ReleaseHeld("pullmodloadreq", {"pullmodloadrsp", name + "||1.0"}).has_value());
    }
    std::string Logs() { return ReadLogs(logDir, "Vessel"); }
    std::string WorkerLogs() { return ReadLogs(logDir, "sub_Vessel"); }
    size_t Count(const std::string& needle) { return LinesWith(Logs(), needle).size(); }
    bool WaitLog(const std::string& needle, size_t n = 1, std::chrono::milliseconds t = 20s) {
        return WaitFor([&] { return Count(needle) >= n; }, t);
    }
    std::vector<pid_t> WorkerPids() {
        std::vector<pid_t> pids;
        for (const auto& line : LinesWith(Logs(), "start a new subprocess name:warren worker  pid:")) {
            pids.push_back(atoi(line.substr(line.find(" pid:") + 5).c_str()));
        }
        return pids;
    }
    // "exec cmd:<cmd>, Module: <name>" lines the worker with this pid wrote.
    size_t WorkerExec(pid_t pid, const std::string& cmd, const std::string& name) {
        size_t n = 0;
        for (const auto& line : LinesWith(WorkerLogs(), "exec cmd:" + cmd + ", Module: " + name + "[")) {
            if (line.find("[" + std::to_string(pid) + ":") != std::string::npos) ++n;
        }
        return n;
    }
};

}  // namespace

TEST_F(MasterGateway, PullsAreByteExactAndDemandedModulesFillRealWorkers) {
    ServeConfig({"a", "b", "c"});
    ASSERT_EQ(gateway.Start(), 0);
    StartMaster();

    auto cfg = gateway.WaitForFrame("pullappcfg", 20s);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->raw, "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n");
    auto chg = gateway.WaitForFrame("pullappcfgchg", 20s);
    ASSERT_TRUE(chg);
    EXPECT_EQ(chg->raw, "*2\r\n$13\r\npullappcfgchg\r\n$9\r\ncontainer\r\n");
    EXPECT_EQ(chg->conn, cfg->conn);
    auto demand = gateway.WaitForFrame("pullmodloadreq", 20s);
    ASSERT_TRUE(demand);
    EXPECT_EQ(demand->raw, "*2\r\n$14\r\npullmodloadreq\r\n$9\r\ncontainer\r\n");
    EXPECT_EQ(Count("not need load module,version:a:1.0"), 1u);  // configured, not demanded yet

    // a and a again: one placement. Then b joins a's worker; c needs a second worker.
    Demand("a");
    Demand("a");
    Demand("b");
    Demand("c");
    ASSERT_TRUE(WaitLog("addModule name, ver:c:1.0"));
    EXPECT_EQ(Count("addModule name, ver:a:1.0"), 1u);
    ASSERT_TRUE(WaitFor([&] { return WorkerPids().size() >= 2; }, 10s));
    std::vector<pid_t> workers = WorkerPids();
    ASSERT_EQ(workers.size(), 2u);
    // Each worker receives its modules, whether they were queued for its handshake or sent after.
    ASSERT_TRUE(WaitFor([&] { return WorkerExec(workers[0], "addModule", "a") == 1 &&
                                     WorkerExec(workers[0], "addModule", "b") == 1 &&
                                     WorkerExec(workers[1], "addModule", "c") == 1; }, 20s))
        << WorkerLogs();
    EXPECT_EQ(WorkerExec(workers[1], "addModule", "a"), 0u);

    // A worker killed from outside is forgotten with its demands, and the next demand for its
    // module places it again in a new worker.
    kill(workers[1], SIGKILL);
    ASSERT_TRUE(WaitLog("found NonExist module in needLoadModuleMap:c:1.0"));
    Demand("c");
    ASSERT_TRUE(WaitFor([&] { return WorkerPids().size() == 3; }, 20s));
    pid_t third = WorkerPids()[2];
    ASSERT_TRUE(WaitFor([&] { return WorkerExec(third, "addModule", "c") == 1; }, 20s));

    master.Kill(SIGTERM);
    int status = master.Wait(20s);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(MasterGateway, IdleModulesAreRetiredAndTheirNeighboursMove) {
    WriteContainerConfig(home.path(),
                         "{\"maxModulePerSubprocess\": 10, \"moduleIdleTime\": 2, \"moduleLifeCheckDelay\": 1}");
    ServeConfig({"idle", "busy"});
    ASSERT_EQ(gateway.Start(), 0);
    StartMaster();
    Demand("idle");
    Demand("busy");
    ASSERT_TRUE(WaitLog("addModule name, ver:busy:1.0"));
    ASSERT_TRUE(WaitFor([&] { return WorkerPids().size() >= 1; }, 10s));
    std::vector<pid_t> workers = WorkerPids();
    ASSERT_EQ(workers.size(), 1u);
    pid_t old = workers[0];

    // Keep asking for busy only, until the master retires idle.
    ASSERT_TRUE(WaitFor([&] {
        if (DemandPending()) gateway.ReleaseHeld("pullmodloadreq", {"pullmodloadrsp", "busy||1.0"});
        return Count("process exiting, pid:" + std::to_string(old)) == 1;
    }, 30s));
    EXPECT_GE(Count("write msg:ageingModule#idle|1.0|"), 1u);
    ASSERT_TRUE(WaitFor([&] { return WorkerPids().size() == 2; }, 20s));
    pid_t replacement = WorkerPids()[1];
    ASSERT_TRUE(WaitFor([&] { return WorkerExec(replacement, "addModule", "busy") == 1; }, 20s));
    EXPECT_EQ(WorkerExec(replacement, "addModule", "idle"), 0u);
    // The old worker was told to quit and is gone.
    ASSERT_TRUE(WaitLog("pid:" + std::to_string(old) + ", processName:warren worker  exited"));
}

TEST_F(MasterGateway, ALargeConfigurationArrivesWhole) {
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i) names.push_back("module" + std::to_string(i));
    ServeConfig(names);
    ASSERT_GT(ModulesJson(home.path(), names).size(), 10240u);  // more than one receive buffer
    ASSERT_EQ(gateway.Start(), 0);
    StartMaster();
    ASSERT_TRUE(WaitLog("save:module", 200));
    EXPECT_EQ(Count("save:module199:1.0"), 1u);
    Demand("module199");
    ASSERT_TRUE(WaitLog("addModule name, ver:module199:1.0"));
}

TEST_F(MasterGateway, BadDemandRepliesAreLoggedAndPollingGoesOn) {
    ServeConfig({"a"});
    ASSERT_EQ(gateway.Start(), 0);
    StartMaster();
    auto release = [&](const ScriptableGateway::Parts& reply) {
        ASSERT_TRUE(WaitFor([&] { return DemandPending(); }, 20s));
        gateway.ReleaseHeld("pullmodloadreq", reply);
    };
    release({"appcfg", "a||1.0"});
    release({"pullmodloadrsp", "a"});
    release({"pullmodloadrsp"});
    ASSERT_TRUE(WaitLog("[getModule] cmd error: appcfg"));
    ASSERT_TRUE(WaitLog("input param error"));
    // Bytes that are no reply: the poller reconnects and pulls again on a new connection.
    ASSERT_TRUE(WaitFor([&] { return DemandPending(); }, 20s));
    ASSERT_TRUE(gateway.ReleaseHeldRaw("pullmodloadreq", "*x\r\n"));
    release({"pullmodloadrsp", "a||1.0"});
    ASSERT_TRUE(WaitLog("addModule name, ver:a:1.0", 1, 30s));
    EXPECT_TRUE(WaitFor([&] { return WorkerPids().size() == 1; }, 10s));
    EXPECT_TRUE(master.Running());
}

TEST_F(MasterGateway, PollersWaitForAnAbsentGatewayAndSurviveItsRestart) {
    ServeConfig({"a"});
    StartMaster();
    ASSERT_TRUE(WaitLog("connectGateway fail, -1", 2));
    ASSERT_EQ(gateway.Start(), 0);
    ASSERT_TRUE(gateway.WaitForFrame("pullappcfg", 25s));
    ASSERT_TRUE(gateway.WaitForFrame("pullmodloadreq", 25s));
    // Retries are paced, not a busy loop: a handful of attempts over that wait.
    EXPECT_LE(Count("connectGateway fail, -1"), 6u);

    gateway.Restart();
    // Both pollers come back on new connections and the configuration is pulled in full again.
    ASSERT_TRUE(gateway.WaitForFrame("pullappcfg", 30s));
    ASSERT_TRUE(gateway.WaitForFrame("pullmodloadreq", 30s));
    Demand("a");
    ASSERT_TRUE(WaitLog("addModule name, ver:a:1.0"));
}

TEST_F(MasterGateway, AnEmptyFirstConfigurationIsAskedForAgain) {
    ServeConfig({});
    ASSERT_EQ(gateway.Start(), 0);
    StartMaster();
    ASSERT_TRUE(WaitLog("getAppConfig empty 0"));
    ASSERT_TRUE(WaitLog("getAppConfig empty 1", 1, 25s));
    // Still the full pull, never the change pull, until something arrived.
    EXPECT_EQ(gateway.FramesOf("pullappcfgchg").size(), 0u);
    EXPECT_GE(gateway.FramesOf("pullappcfg").size(), 2u);
}
