// The real vessel-gateway in front of the real vessel binary and the sample C modules, one
// scenario per user story. Under a steady load of additions to calc, every request sent must end
// with exactly one outcome, and only the ones a fault really touched may fail.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "CalcLoad.h"
#include "support/HttpTestClient.h"
#include "support/LogLines.h"
#include "support/Trickle.h"
#include "support/VesselStack.h"

using namespace std::chrono_literals;
using testsupport::WaitFor;
using Clock = CalcLoad::Clock;

namespace {

// What the master logs when it reaps a worker that a signal ended.
std::string DeathLine(pid_t worker, int signo) {
    return "pid:" + std::to_string(worker) + ", processName:warren worker  exited on signal " +
           std::to_string(signo);
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        const struct rlimit core = {0, 0};  // a module that crashes on purpose leaves no core file
        setrlimit(RLIMIT_CORE, &core);
        ASSERT_TRUE(VesselStack::Built({"calc", "echo", "slow", "crash"}));  // a missing binary fails
    }
    void TearDown() override {
        if (load_) load_->Stop();
        if (HasFailure()) std::cerr << (load_ ? "load: " + load_->Summary() + "\n" : "") << stack_.AllLogs();
        stack_.Stop();
    }
    void Start(std::vector<std::string> modules, std::vector<std::string> gatewayArgs = {},
               int perWorker = 10) {
        VesselStack::Options options;
        options.modules = modules;
        options.gatewayArgs = gatewayArgs;
        options.maxModulePerSubprocess = perWorker;
        ASSERT_TRUE(stack_.Start(options)) << stack_.AllLogs();
        if (modules[0] == "calc") Served("/calc/add?x=1&y=2", "3");
    }
    // The first request for a module demands it; Vessel places it and it answers.
    void Served(const std::string& target, const std::string& body) {
        HttpTestResponse response = HttpTestClient::Get(stack_.Gateway().Port(), target, 30s);
        ASSERT_EQ(response.status, 200) << target << ": " << response.body;
        ASSERT_EQ(response.body, body) << target;
    }
    void StartLoad(std::chrono::milliseconds answerLimit) {
        load_.reset(new CalcLoad(stack_.Gateway().Port(), 4, answerLimit));
        ASSERT_TRUE(WaitFor([&] { return load_->Right() >= 100; }, 20s)) << load_->Summary();
    }
    // After a fault at t: the load is served again, then every outcome passes allowed.
    void ExpectLoadServedSince(Clock::time_point t, bool allowLost = false) {
        ASSERT_TRUE(WaitFor([&] { return load_->RightSince(t) >= 100; }, 25s)) << load_->Summary();
        load_->Stop();
        for (const auto& o : load_->Outcomes()) {
            EXPECT_TRUE(o.right || (allowLost && o.status == 0))
                << "request sent " << (o.sent - t) / 1ms << " ms after the fault: status " << o.status
                << ", body \"" << o.body.substr(0, 80) << "\"";
        }
    }
    bool MasterLogHas(const std::string& text) { return stack_.MasterLog().find(text) != std::string::npos; }
    std::unique_ptr<HttpTestClient> Send(const std::string& method, const std::string& target) {
        auto client = std::make_unique<HttpTestClient>();
        EXPECT_TRUE(client->Connect(stack_.Gateway().Port()) && client->SendRequest(method, target, "x"));
        return client;
    }

    VesselStack stack_;
    std::unique_ptr<CalcLoad> load_;
};

// The README's demo path, then the gateway's configuration edited under load: served modules are
// left alone (a reload used to reconnect every module and could drop a request), a new one served.
TEST_F(StackTest, ServesThroughTheGatewayAndConfigurationReloadsUnderLoadLoseNothing) {
    Start({"calc", "echo"});
    HttpTestClient client;
    ASSERT_TRUE(client.Connect(stack_.Gateway().Port()));
    ASSERT_TRUE(client.SendRequest("POST", "/echo/hi?lang=en", "hello \"vessel\""));
    HttpTestResponse echo = client.Read(30s);
    ASSERT_EQ(echo.status, 200);
    EXPECT_NE(echo.body.find("\"reqBody\":\"hello \\\"vessel\\\"\""), std::string::npos) << echo.body;
    EXPECT_NE(echo.body.find("\"reqQuery\":{\"lang\":\"en\"}"), std::string::npos) << echo.body;
    EXPECT_EQ(HttpTestClient::Get(stack_.Gateway().Port(), "/slow/wait?ms=1").status, 404);

    StartLoad(10s);
    std::vector<std::string> entries{
        VesselStack::ModuleEntry("calc", "1.0", VesselStack::CModuleDir("calc"), "C_MODULE")};
    for (int i = 0; i < 3; ++i) {
        entries.push_back(
            VesselStack::ModuleEntry("extra" + std::to_string(i), "1.0", "/nonexistent", "C_MODULE"));
        stack_.SetAppConfig(VesselStack::AppConfig(entries));
        ASSERT_TRUE(WaitFor([&] { return MasterLogHas("save:extra" + std::to_string(i) + ":1.0"); }, 10s));
    }
    entries.push_back(VesselStack::ModuleEntry("slow", "1.0", VesselStack::CModuleDir("slow"), "C_MODULE"));
    stack_.SetAppConfig(VesselStack::AppConfig(entries));
    const Clock::time_point reloaded = Clock::now();
    EXPECT_TRUE(WaitFor(
        [&] { return HttpTestClient::Get(stack_.Gateway().Port(), "/slow/wait?ms=1").status == 200; }, 20s));
    ExpectLoadServedSince(reloaded);
    EXPECT_FALSE(MasterLogHas("modifyModule name, ver:calc")) << "a reload reconnected calc";
}

TEST_F(StackTest, AKilledWorkerCostsOnlyThePostsInsideIt) {
    Start({"calc", "slow"}, {"--request-timeout", "20"});
    Served("/slow/wait?ms=0", "slept 0");
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u) << "both modules share one worker";
    StartLoad(25s);
    // Requests parked in the worker when it dies: a POST cannot be sent again, a GET can.
    auto post = Send("POST", "/slow/park?ms=60000"), get = Send("GET", "/slow/park?ms=4000");
    ASSERT_TRUE(WaitFor(
        [&] { return testsupport::LinesWith(stack_.WorkerLog(), "parseRequest, slow").size() >= 3; }, 10s));
    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    const Clock::time_point killed = Clock::now();
    EXPECT_EQ(post->Read(5s).status, 502) << "the POST inside the killed worker waited for the timeout";
    EXPECT_EQ(get->Read(15s).body, "slept 4000") << "the GET inside the killed worker was not sent again";
    ExpectLoadServedSince(killed);
    EXPECT_TRUE(stack_.Master().Running());
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(workers[0], SIGKILL)); }, 5s));
    EXPECT_NE(stack_.Workers(), workers);
}

TEST_F(StackTest, AModuleThatCrashesTakesDownOnlyItsOwnWorker) {
    Start({"calc", "crash"}, {"--request-timeout", "20"}, 1);  // each module in a worker of its own
    const pid_t calcWorker = stack_.Workers().at(0);
    Served("/crash/hello", "alive");
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 2u);
    const pid_t crashWorker = workers[0] == calcWorker ? workers[1] : workers[0];
    StartLoad(25s);
    // A POST: a GET would be sent to a second worker (and crash it too) before it fails.
    EXPECT_EQ(Send("POST", "/crash/now?crash=1")->Read(5s).status, 502);
    const Clock::time_point crashed = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(crashWorker, SIGSEGV)); }, 10s));
    Served("/crash/again", "alive");  // demanded again, in a new worker
    ExpectLoadServedSince(crashed);
    EXPECT_TRUE(stack_.Master().Running());
    EXPECT_TRUE(VesselStack::Alive(calcWorker)) << "calc's worker was touched by the crash";
}

TEST_F(StackTest, AfterAGatewayRestartRequestsAreServedAgain) {
    Start({"calc"}, {"--request-timeout", "25"});
    const std::vector<pid_t> workers = stack_.Workers();
    StartLoad(30s);
    ASSERT_EQ(stack_.Gateway().Stop(), 0);
    ASSERT_TRUE(stack_.Gateway().Restart()) << stack_.Gateway().Log();
    // Vessel's pollers find the new gateway and the worker pulls again; a request the old gateway
    // held is lost with its connection, nothing else.
    ExpectLoadServedSince(Clock::now(), true);
    EXPECT_EQ(stack_.Workers(), workers) << "the worker did not survive the gateway restart";
}

TEST_F(StackTest, ASwitchedVersionServesWithoutLosingARequest) {
    Start({"echo"});
    // The same library path in both versions: the dynamic loader would hand the old code back in
    // the same worker.
    auto config = [](const char* version) {
        return VesselStack::AppConfig(
            {VesselStack::ModuleEntry("echo", version, VesselStack::CModuleDir("echo"), "C_MODULE")});
    };
    Trickle trickle(stack_.Gateway().Port(), "/echo/x", 50ms);
    trickle.Start();
    ASSERT_TRUE(trickle.WaitForBody("\"version\":\"1.0\"", 30s)) << trickle.Summary();
    const std::vector<pid_t> before = stack_.Workers();
    stack_.SetAppConfig(config("2.0"));
    ASSERT_TRUE(trickle.WaitForBody("\"version\":\"2.0\"", 30s)) << trickle.Summary();
    EXPECT_TRUE(WaitFor([&] { return !VesselStack::Alive(before.at(0)); }, 30s)) << "old worker still runs";
    trickle.Stop();
    EXPECT_EQ(trickle.SwitchFault("\"version\":\"1.0\"", "\"version\":\"2.0\""), "");
}

// An operator's SIGHUP and SIGUSR1 go to the whole process group; the worker channel is flooded;
// then the master is killed, and its workers must not live on without it.
TEST_F(StackTest, TheMasterOutlivesHupAndUsr1AndItsWorkersFollowItsDeath) {
    Start({"calc", "slow"}, {}, 1);
    const pid_t master = stack_.MasterPid();
    ASSERT_GT(master, 1);  // the signals below go to its group: never to -1
    const std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u);
    // SIGHUP re-reads the settings, even an edit that kept the file's modification time.
    const std::string settings = stack_.Home() + "/conf/container.json";
    struct stat before {};
    ASSERT_EQ(stat(settings.c_str(), &before), 0);
    testsupport::WriteFile(settings,
                           "{\"maxModulePerSubprocess\":1,\"moduleRequestTimeout\":300,\"hupProbe\":7}");
    struct timeval times[2] = {{before.st_mtime, 0}, {before.st_mtime, 0}};
    ASSERT_EQ(utimes(settings.c_str(), times), 0);
    ASSERT_EQ(kill(-master, SIGHUP), 0);
    ASSERT_TRUE(WaitFor([&] { return MasterLogHas("config:hupProbe,7"); }, 10s)) << "settings not re-read";
    // SIGUSR1 after the log file was moved away: the master writes to a new one.
    const std::string logs = stack_.Home() + "/logs";
    for (const std::string& name : testsupport::ListDir(logs)) {
        if (name.rfind("Vessel_", 0) == 0)
            rename((logs + "/" + name).c_str(), (logs + "/old-" + name).c_str());
    }
    ASSERT_EQ(stack_.MasterLog(), "");
    ASSERT_EQ(kill(-master, SIGUSR1), 0);
    ASSERT_TRUE(WaitFor([&] { return !stack_.MasterLog().empty(); }, 10s)) << "no new log file";
    Served("/calc/add?x=3&y=2", "5");
    EXPECT_EQ(stack_.Workers(), workers) << "a worker did not survive SIGHUP or SIGUSR1";

    // Out of descriptors, the master neither spins on accept nor floods its log (one line per
    // interval, counting the failures between), and a new worker reaches it once they are back.
    std::string channel = "/tmp/uds-vessel-inner-" + stack_.Gateway().AppName();
    std::transform(channel.begin(), channel.end(), channel.begin(), ::tolower);
    struct rlimit saved {
    }, low{};
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, nullptr, &saved), 0);
    low = {testsupport::ListDir("/proc/" + std::to_string(master) + "/fd").size() + 20, saved.rlim_max};
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> flood(60);
    for (int& fd : flood) {
        sockaddr_un addr{AF_UNIX, {}};
        channel.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    }
    std::vector<std::string> fails;
    ASSERT_TRUE(WaitFor(
        [&] {
            fails = testsupport::LinesWith(stack_.MasterLog(), "accpet fail:24,");
            return fails.size() >= 2;
        },
        15s));
    std::smatch suppressed;
    const std::regex note(R"(\((\d+) similar lines suppressed\))");
    ASSERT_TRUE(std::regex_search(fails[1], suppressed, note)) << fails[1];
    EXPECT_LE(std::stol(suppressed[1]), 100) << "accept was retried without a pause";
    for (int fd : flood) close(fd);
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, &saved, nullptr), 0);
    Served("/slow/wait?ms=0", "slept 0");
    ASSERT_EQ(stack_.Workers().size(), 2u);

    ASSERT_EQ(kill(master, SIGKILL), 0);
    ASSERT_NE(stack_.Master().Wait(10s), -1);
    EXPECT_TRUE(WaitFor([&] { return VesselStack::GroupMembers(master).empty(); }, 15s))
        << "outlived their master";
    EXPECT_EQ(testsupport::LinesWith(stack_.WorkerLog(), "gracefully shutting down").size(), 2u);
    unlink(channel.c_str());  // a killed master cannot remove its channel socket
}

// TERM ends the workers at once, QUIT lets them finish: either way, under load, the master exits
// and no worker outlives it.
class MasterEndTest : public StackTest, public ::testing::WithParamInterface<int> {};

TEST_P(MasterEndTest, TheMasterEndsUnderLoadLeavingNoWorker) {
    Start({"calc"});
    StartLoad(10s);
    const pid_t master = stack_.MasterPid();
    ASSERT_GT(master, 1);  // never kill(-1, ...)
    ASSERT_EQ(kill(master, GetParam()), 0);
    int status = stack_.Master().Wait(25s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(WaitFor([&] { return VesselStack::GroupMembers(master).empty(); }, 10s))
        << "a worker was left";
}

INSTANTIATE_TEST_SUITE_P(Signals, MasterEndTest, ::testing::Values(SIGTERM, SIGQUIT));

}  // namespace
