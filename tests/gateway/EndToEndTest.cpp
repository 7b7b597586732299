// vessel-gateway in front of the real Vessel and the sample C modules: the whole road of a
// request, from HTTP through the demand, the worker's pull and the module back to HTTP.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "support/GatewayProcess.h"
#include "support/HttpTestClient.h"

using namespace std::chrono_literals;

namespace {

const std::string MODULES = std::string(VESSEL_BINARY_DIR) + "/examples/c-modules";
const std::string VESSEL = std::string(VESSEL_BINARY_DIR) + "/vessel";

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Pids of the processes whose parent is pid.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    while (struct dirent* entry = readdir(proc)) {
        pid_t candidate = static_cast<pid_t>(atoi(entry->d_name));
        if (candidate <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text;
        std::getline(stat, text);
        size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        int ppid = 0;
        if (sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid && state != 'Z') {
            children.push_back(candidate);
        }
    }
    closedir(proc);
    return children;
}

class GatewayEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Exists(VESSEL) || !Exists(MODULES + "/calc/libcalc.so") || !Exists(MODULES + "/echo/libecho.so")) {
            GTEST_SKIP() << "vessel or the sample C modules are not built";
        }
        mkdir((home_ / "conf").c_str(), 0755);
        testsupport::WriteFile(home_ / "conf/container.json", "{\"maxModulePerSubprocess\":10}");
        testsupport::WriteFile(home_ / "conf/containerlog.json",
                               "{\"DevLogLevel\":3,\"LogBufferWriteRate\":1,\"LogBufferNum\":100,"
                               "\"MaxFileSize\":20,\"MaxFileNum\":20}");
        std::string config = "{\"Modules\":[";
        const char* names[] = {"calc", "echo"};
        for (int i = 0; i < 2; ++i) {
            config += std::string(i ? "," : "") + "{\"Name\":\"" + names[i] + "\",\"Version\":\"1.0\",\"Location\":\"" +
                      MODULES + "/" + names[i] + "\",\"Type\":\"C_MODULE\"}";
        }
        config += "]}";
        ASSERT_TRUE(gw_.Start(config)) << gw_.Log();
        mkdir((home_ / "logs").c_str(), 0755);
        ASSERT_TRUE(vessel_.Exec({VESSEL},
                                 {{"APP_NAME", gw_.AppName()}, {"VESSEL_HOME", home_.path()},
                                  {"_APP_LOG_DIR", home_ / "logs"}},
                                 home_ / "vessel.out"));
    }
    void TearDown() override {
        if (vessel_.Pid() > 0) {
            pid_t master = vessel_.Pid();
            vessel_.Kill(SIGTERM);
            EXPECT_NE(vessel_.Wait(20s), -1) << "vessel did not stop on SIGTERM";
            kill(-master, SIGKILL);  // whatever is left of its process group
        }
        if (HasFailure()) {
            std::cerr << "gateway log:\n" << gw_.Log();
            for (const std::string& name : testsupport::ListDir(home_ / "logs")) {
                std::cerr << "---- " << name << "\n" << testsupport::ReadFile(home_ / ("logs/" + name));
            }
        }
        gw_.Stop();
    }

    testsupport::TempDir home_{"gwe2e"};
    GatewayProcess gw_;
    testsupport::ChildProcess vessel_;
};

TEST_F(GatewayEndToEndTest, ServesCModulesThroughVesselAndRecoversWhenTheWorkerDies) {
    auto start = std::chrono::steady_clock::now();
    HttpTestResponse first = HttpTestClient::Get(gw_.Port(), "/calc/add?x=1&y=2", 30s);
    auto firstLatency = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.body, "3");
    std::cout << "first request (demand, worker start, module load): "
              << std::chrono::duration_cast<std::chrono::milliseconds>(firstLatency).count() << " ms\n";

    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("POST", "/echo/hi?lang=en", "hello \"vessel\""));
    HttpTestResponse echo = client.Read(30s);
    ASSERT_EQ(echo.status, 200);
    EXPECT_NE(echo.body.find("\"reqBody\":\"hello \\\"vessel\\\"\""), std::string::npos) << echo.body;
    EXPECT_NE(echo.body.find("\"reqQuery\":{\"lang\":\"en\"}"), std::string::npos) << echo.body;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(client.SendRequest("GET", "/calc/add?x=" + std::to_string(i) + "&y=1"));
        HttpTestResponse r = client.Read(10s);
        ASSERT_EQ(r.status, 200);
        EXPECT_EQ(r.body, std::to_string(i + 1));
    }

    // A worker that dies takes its pulls with it; the next request makes the gateway demand the
    // module again and Vessel places it in a new worker.
    std::vector<pid_t> workers = ChildrenOf(vessel_.Pid());
    ASSERT_FALSE(workers.empty());
    for (pid_t worker : workers) {
        kill(worker, SIGKILL);
    }
    // Once the worker is gone its sockets are closed; a request sent earlier could still land in
    // a dying worker's pull and wait for the request timeout.
    ASSERT_TRUE(testsupport::WaitFor([&]() { return ChildrenOf(vessel_.Pid()).empty(); }, 10s));
    HttpTestResponse again = HttpTestClient::Get(gw_.Port(), "/calc/add?x=20&y=22", 30s);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, "42");
}

}  // namespace

namespace {

TEST_F(GatewayEndToEndTest, AModuleAddedToTheConfigurationIsServedWithoutARestart) {
    HttpTestResponse before = HttpTestClient::Get(gw_.Port(), "/slow/wait?ms=1", 10s);
    EXPECT_EQ(before.status, 404);

    std::string config = testsupport::ReadFile(gw_.ConfigPath());
    size_t end = config.rfind("]}");
    ASSERT_NE(end, std::string::npos);
    config.insert(end, ",{\"Name\":\"slow\",\"Version\":\"1.0\",\"Location\":\"" + MODULES +
                           "/slow\",\"Type\":\"C_MODULE\"}");
    testsupport::WriteFile(gw_.ConfigPath() + ".new", config);
    ASSERT_EQ(rename((gw_.ConfigPath() + ".new").c_str(), gw_.ConfigPath().c_str()), 0);

    HttpTestResponse after;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        after = HttpTestClient::Get(gw_.Port(), "/slow/wait?ms=1", 30s);
        return after.status != 404;
    }, 20s)) << "the gateway never took the new module";
    EXPECT_EQ(after.status, 200) << after.body;
}

}  // namespace
