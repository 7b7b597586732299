// Faults through the whole stack under load: clients keep sending additions to calc through the
// real vessel-gateway while a worker is killed, a module crashes its worker, the gateway restarts,
// or the master is told to end. Every request sent must end with exactly one outcome, and only
// the ones the fault really touched may fail. And the master itself attacked: operators' signals,
// a flood on its worker channel, SIGKILL.
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
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "CalcLoad.h"
#include "support/VesselStack.h"
#include "support/HttpTestClient.h"
#include "support/LogLines.h"

using namespace std::chrono_literals;
using testsupport::WaitFor;
using Clock = CalcLoad::Clock;

namespace {

constexpr int CLIENTS = 4;

std::string Pids(const std::vector<pid_t>& pids) {
    std::string text;
    for (pid_t pid : pids) {
        text += (text.empty() ? "" : " ") + std::to_string(pid);
    }
    return text;
}

long long Ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// What the master logs when it reaps a worker that a signal ended.
std::string DeathLine(pid_t worker, int signo) {
    return "pid:" + std::to_string(worker) + ", processName:warren worker  exited on signal " +
           std::to_string(signo);
}

std::string ChannelPath(const std::string& appName) {
    std::string lower = appName;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return "/tmp/uds-vessel-inner-" + lower;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Connections to a Unix socket that are closed when this goes.
struct Connections {
    std::vector<int> fds;
    ~Connections() { CloseAll(); }
    bool Add(const std::string& path) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        fds.push_back(fd);
        return true;
    }
    void CloseAll() {
        for (int fd : fds) close(fd);
        fds.clear();
    }
};

// The number in "(<n> similar lines suppressed)", -1 when the line has none.
long SuppressedCount(const std::string& line) {
    static const std::regex pattern(R"(\((\d+) similar lines suppressed\))");
    std::smatch m;
    return std::regex_search(line, m, pattern) ? std::stol(m[1]) : -1;
}

class StackFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A module that crashes on purpose must not leave core files behind (children inherit this).
        struct rlimit core;
        if (getrlimit(RLIMIT_CORE, &core) == 0) {
            core.rlim_cur = 0;
            setrlimit(RLIMIT_CORE, &core);
        }
    }
    void TearDown() override {
        if (load_) {
            load_->Stop();
        }
        if (HasFailure()) {
            if (load_) {
                std::cerr << "load: " << load_->Summary() << "\n";
            }
            std::cerr << stack_.AllLogs();
        }
        stack_.Stop();
    }

    void StartStack(const VesselStack::Options& options) {
        if (!VesselStack::Built(options.modules)) {
            GTEST_SKIP() << "vessel, vessel-gateway or the sample C modules are not built";
        }
        ASSERT_TRUE(stack_.Start(options)) << stack_.AllLogs();
    }
    HttpTestResponse Get(const std::string& target, std::chrono::milliseconds timeout = 30s) {
        return HttpTestClient::Get(stack_.Gateway().Port(), target, timeout);
    }
    // The first request for a module demands it; Vessel places it and it answers.
    void ExpectServed(const std::string& target, const std::string& body) {
        HttpTestResponse response = Get(target);
        ASSERT_EQ(response.status, 200) << target << ": " << response.body;
        ASSERT_EQ(response.body, body) << target;
    }
    void StartLoad(std::chrono::milliseconds answerLimit, size_t warmup = 100) {
        load_.reset(new CalcLoad(stack_.Gateway().Port(), CLIENTS, answerLimit));
        load_->Start();
        ASSERT_TRUE(WaitFor([&] { return load_->Right() >= warmup; }, 20s)) << load_->Summary();
    }
    bool MasterLogHas(const std::string& text) { return stack_.MasterLog().find(text) != std::string::npos; }
    std::string Channel() { return ChannelPath(stack_.Gateway().AppName()); }

    VesselStack stack_;
    std::unique_ptr<CalcLoad> load_;
};

TEST_F(StackFaultTest, AKilledWorkerCostsOnlyTheRequestsInsideIt) {
    VesselStack::Options options;
    options.modules = {"calc", "slow"};
    options.gatewayArgs = {"--request-timeout", "20"};
    StartStack(options);
    ExpectServed("/calc/add?x=1&y=2", "3");
    ExpectServed("/slow/wait?ms=0", "slept 0");
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u) << "both modules share one worker: " << Pids(workers);
    const pid_t victim = workers[0];
    StartLoad(20s + 5s);

    // Requests parked in the worker, so that some surely are inside it when it dies: a POST,
    // which cannot be sent again, and a GET, which the next worker answers.
    HttpTestClient parkedPost, parkedGet;
    ASSERT_TRUE(parkedPost.Connect(stack_.Gateway().Port()));
    ASSERT_TRUE(parkedPost.SendRequest("POST", "/slow/park?ms=60000", "x"));
    ASSERT_TRUE(parkedGet.Connect(stack_.Gateway().Port()));
    ASSERT_TRUE(parkedGet.SendRequest("GET", "/slow/park?ms=4000"));
    ASSERT_TRUE(WaitFor(
        [&] { return testsupport::LinesWith(stack_.WorkerLog(), "parseRequest, slow").size() >= 3; }, 10s))
        << "the worker never took the parked requests";

    ASSERT_EQ(kill(victim, SIGKILL), 0);
    const Clock::time_point killedAt = Clock::now();
    HttpTestResponse lost = parkedPost.Read(5s);
    EXPECT_EQ(lost.status, 502) << "the POST inside the killed worker waited for the timeout";
    HttpTestResponse retried = parkedGet.Read(15s);
    EXPECT_EQ(retried.status, 200) << "the GET inside the killed worker was not sent again";
    EXPECT_EQ(retried.body, "slept 4000");

    // The next demand places calc in a new worker, and it serves again.
    ASSERT_TRUE(WaitFor([&] { return load_->RightSince(killedAt) >= 200; }, 20s)) << load_->Summary();
    EXPECT_TRUE(stack_.Master().Running()) << "the master went down with its worker";
    workers = stack_.Workers();
    EXPECT_TRUE(std::find(workers.begin(), workers.end(), victim) == workers.end()) << Pids(workers);
    EXPECT_EQ(workers.size(), 1u) << Pids(workers);
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(victim, SIGKILL)); }, 5s));

    load_->Stop();
    for (const auto& o : load_->Outcomes()) {
        EXPECT_TRUE(o.right) << "request sent " << Ms(o.sent - killedAt) << " ms after the kill: status "
                             << o.status << " after " << Ms(o.done - o.sent) << " ms, body \""
                             << o.body.substr(0, 80) << "\"";
    }
    std::cout << "load: " << load_->Summary() << "\n";
}

// Every reload of the gateway's configuration used to reconnect every module, and a reconnect
// could drop the request the worker had just been handed.
TEST_F(StackFaultTest, ConfigurationReloadsUnderLoadLeaveServedModulesAlone) {
    VesselStack::Options options;
    StartStack(options);
    ExpectServed("/calc/add?x=1&y=2", "3");
    StartLoad(10s);
    for (int i = 0; i < 5; ++i) {
        // A real change each time: another module is added.
        std::vector<std::string> entries{VesselStack::ModuleEntry("calc", "1.0", VesselStack::CModuleDir("calc"), "C_MODULE")};
        for (int j = 0; j <= i; ++j) {
            entries.push_back(VesselStack::ModuleEntry("extra" + std::to_string(j), "1.0", "/nonexistent", "C_MODULE"));
        }
        stack_.SetAppConfig(VesselStack::AppConfig(entries));
        const std::string saved = "save:extra" + std::to_string(i) + ":1.0";
        ASSERT_TRUE(WaitFor([&] { return MasterLogHas(saved); }, 10s)) << "reload " << i << " not seen";
    }
    const Clock::time_point reloaded = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return load_->RightSince(reloaded) >= 50; }, 10s)) << load_->Summary();
    load_->Stop();
    for (const auto& o : load_->Outcomes()) {
        EXPECT_TRUE(o.right) << "status " << o.status << ", body \"" << o.body.substr(0, 80) << "\"";
    }
    EXPECT_FALSE(MasterLogHas("modifyModule name, ver:calc")) << "a reload reconnected calc";
}

TEST_F(StackFaultTest, AModuleThatCrashesTakesDownOnlyItsOwnWorker) {
    VesselStack::Options options;
    options.modules = {"calc", "crash"};
    options.maxModulePerSubprocess = 1;  // each module in a worker of its own
    options.gatewayArgs = {"--request-timeout", "20"};
    StartStack(options);
    ExpectServed("/calc/add?x=1&y=2", "3");
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u) << Pids(workers);
    const pid_t calcWorker = workers[0];
    ExpectServed("/crash/hello", "alive");
    workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 2u) << Pids(workers);
    const pid_t crashWorker = workers[0] == calcWorker ? workers[1] : workers[0];
    StartLoad(20s + 5s);

    // A POST: a GET would be sent to a second worker (and crash it too) before it fails.
    HttpTestClient crasher;
    ASSERT_TRUE(crasher.Connect(stack_.Gateway().Port()));
    ASSERT_TRUE(crasher.SendRequest("POST", "/crash/now?crash=1", "x"));
    HttpTestResponse crashed = crasher.Read(5s);
    EXPECT_EQ(crashed.status, 502) << "no prompt answer for the request that crashed its worker";
    const std::string death = DeathLine(crashWorker, SIGSEGV);
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(death); }, 10s))
        << "the master did not log \"" << death << "\"";
    EXPECT_TRUE(stack_.Master().Running());
    EXPECT_TRUE(VesselStack::Alive(calcWorker));

    // Demanded again, the module gets a new worker.
    HttpTestResponse again;
    EXPECT_TRUE(WaitFor(
        [&] {
            again = Get("/crash/again", 20s);
            return again.status == 200;
        },
        20s))
        << again.status << " " << again.body;
    EXPECT_EQ(again.body, "alive");
    const size_t before = load_->Right();
    EXPECT_TRUE(WaitFor([&] { return load_->Right() >= before + 100; }, 10s)) << load_->Summary();

    load_->Stop();
    EXPECT_TRUE(VesselStack::Alive(calcWorker)) << "calc's worker was touched by the crash";
    for (const auto& o : load_->Outcomes()) {
        EXPECT_TRUE(o.right) << "a calc request got status " << o.status << " after " << Ms(o.done - o.sent)
                             << " ms, body \"" << o.body.substr(0, 80) << "\"";
    }
    std::cout << "load: " << load_->Summary() << "\n";
}

TEST_F(StackFaultTest, AfterAGatewayRestartRequestsAreServedAgain) {
    VesselStack::Options options;
    options.gatewayArgs = {"--request-timeout", "25"};
    StartStack(options);
    ExpectServed("/calc/add?x=1&y=2", "3");
    const std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u) << Pids(workers);
    StartLoad(25s + 5s);

    ASSERT_EQ(stack_.Gateway().Stop(), 0);
    ASSERT_TRUE(stack_.Gateway().Restart()) << stack_.Gateway().Log();
    const Clock::time_point restarted = Clock::now();
    // Vessel's pollers find the new gateway after their retry pause and have the worker pull
    // again; until then requests wait in the new gateway.
    ASSERT_TRUE(WaitFor([&] { return load_->RightSince(restarted) >= 100; }, 25s)) << load_->Summary();
    Clock::time_point firstRight = Clock::time_point::max();
    for (const auto& o : load_->Outcomes()) {
        if (o.right && o.sent >= restarted) {
            firstRight = std::min(firstRight, o.done);
        }
    }
    std::cout << "first right answer " << Ms(firstRight - restarted) << " ms after the restart\n";
    EXPECT_TRUE(stack_.Master().Running());
    EXPECT_EQ(stack_.Workers(), workers) << "the worker did not survive the gateway restart";

    load_->Stop();
    for (const auto& o : load_->Outcomes()) {
        // A request the old gateway held is lost with its connection; nothing else may fail.
        EXPECT_TRUE(o.right || o.status == CalcLoad::CONNECTION_LOST)
            << "request sent " << Ms(o.sent - restarted) << " ms after the restart: status " << o.status
            << " after " << Ms(o.done - o.sent) << " ms, body \"" << o.body.substr(0, 80) << "\"";
    }
    std::cout << "load: " << load_->Summary() << "\n";
}

class MasterEndTest : public StackFaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(MasterEndTest, TheMasterEndsWithItsWorkersAndNoRequestHangs) {
    const int signo = GetParam();
    VesselStack::Options options;
    options.moduleRequestTimeout = 5;
    options.gatewayArgs = {"--request-timeout", "2"};
    StartStack(options);
    ExpectServed("/calc/add?x=1&y=2", "3");
    const std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u) << Pids(workers);
    StartLoad(2s + 5s);

    const pid_t master = stack_.MasterPid();
    ASSERT_EQ(kill(master, signo), 0);
    // SIGTERM ends workers at once; SIGQUIT lets them drain, polling every 10 s.
    int status = stack_.Master().Wait(signo == SIGQUIT ? 25s : 15s);
    ASSERT_NE(status, -1) << "the master did not end; its group: " << Pids(VesselStack::GroupMembers(master));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(WaitFor([&] { return VesselStack::GroupMembers(master).empty(); }, 10s))
        << "left behind: " << Pids(VesselStack::GroupMembers(master));
    for (pid_t worker : workers) {
        EXPECT_TRUE(MasterLogHas("kill (" + std::to_string(worker) + ", " + std::to_string(signo) + ")"));
    }
    if (signo == SIGQUIT) {
        EXPECT_FALSE(testsupport::LinesWith(stack_.WorkerLog(), "gracefully shutting down").empty());
    }
    EXPECT_FALSE(Exists(Channel())) << "the master left its channel socket behind";

    // With no Vessel behind it, the gateway still ends every request.
    const Clock::time_point ended = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return load_->DoneSince(ended) >= CLIENTS; }, 15s)) << load_->Summary();
    load_->Stop();
    for (const auto& o : load_->Outcomes()) {
        bool allowed = o.right || o.status == 504 || o.status == CalcLoad::CONNECTION_LOST ||
                       // A fast end may cut requests short inside a worker; a graceful one may not.
                       (o.status == 502 && signo == SIGTERM);
        EXPECT_TRUE(allowed) << "request sent " << Ms(o.sent - ended) << " ms after the master ended: status "
                             << o.status << " after " << Ms(o.done - o.sent) << " ms, body \""
                             << o.body.substr(0, 80) << "\"";
    }
    std::cout << "load: " << load_->Summary() << "\n";
}

// An operator's SIGHUP and SIGUSR1 go to the whole process group, as `kill -HUP -<pgid>` sends
// them; then the channel is flooded past the master's descriptor limit; then the master is
// killed, and its workers must not live on without it.
TEST_F(StackFaultTest, TheMasterOutlivesSignalsAndAChannelFloodAndItsWorkersFollowItsDeath) {
    VesselStack::Options options;
    options.modules = {"calc", "slow"};
    options.maxModulePerSubprocess = 1;  // "slow" then needs a new worker, which needs the channel
    StartStack(options);
    const pid_t master = stack_.MasterPid();
    const std::string logs = stack_.Home() + "/logs";
    ExpectServed("/calc/add?x=1&y=2", "3");
    const std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u) << Pids(workers);

    // SIGHUP re-reads the settings, even an edit that kept the file's modification time.
    const std::string settings = stack_.Home() + "/conf/container.json";
    struct stat before {};
    ASSERT_EQ(stat(settings.c_str(), &before), 0);
    testsupport::WriteFile(settings, "{\"maxModulePerSubprocess\":1,\"moduleRequestTimeout\":300,\"hupProbe\":7}");
    struct timeval times[2] = {{before.st_mtime, 0}, {before.st_mtime, 0}};
    ASSERT_EQ(utimes(settings.c_str(), times), 0);
    ASSERT_EQ(kill(-master, SIGHUP), 0);
    ASSERT_TRUE(WaitFor([&] { return MasterLogHas("config:hupProbe,7"); }, 10s)) << "settings not re-read";
    ExpectServed("/calc/add?x=2&y=2", "4");

    // SIGUSR1 after the log file was moved away: the master writes to a new one.
    const std::string moved = stack_.Home() + "/moved";
    ASSERT_EQ(mkdir(moved.c_str(), 0755), 0);
    for (const std::string& name : testsupport::ListDir(logs)) {
        if (name.rfind("Vessel_", 0) == 0) {
            ASSERT_EQ(rename((logs + "/" + name).c_str(), (moved + "/" + name).c_str()), 0);
        }
    }
    ASSERT_EQ(stack_.MasterLog(), "");
    ASSERT_EQ(kill(-master, SIGUSR1), 0);
    ASSERT_TRUE(WaitFor([&] { return !stack_.MasterLog().empty(); }, 10s)) << "no new log file";
    ExpectServed("/calc/add?x=3&y=2", "5");
    EXPECT_TRUE(stack_.Master().Running());
    EXPECT_EQ(stack_.Workers(), workers) << "a worker did not survive SIGHUP or SIGUSR1";

    // Descriptors exhausted: the master must neither spin on accept nor flood its log.
    const size_t open = testsupport::ListDir("/proc/" + std::to_string(master) + "/fd").size();
    struct rlimit saved {};
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, nullptr, &saved), 0);
    struct rlimit low {open + 30, saved.rlim_max};  // the soft limit only: it can be raised again
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, &low, nullptr), 0);
    Connections flood;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(flood.Add(Channel())) << "connection " << i;
    }
    ASSERT_TRUE(WaitFor([&] { return MasterLogHas("accpet fail:24,"); }, 10s)) << "descriptors not exhausted";
    const size_t sizeAtFirst = stack_.MasterLog().size();
    // The next line is due one interval (5 s) later, with the count of failures in between.
    std::vector<std::string> fails;
    ASSERT_TRUE(WaitFor(
        [&] {
            fails = testsupport::LinesWith(stack_.MasterLog(), "accpet fail:");
            return fails.size() >= 2;
        },
        15s));
    const size_t grown = stack_.MasterLog().size() - sizeAtFirst;
    const long suppressed = SuppressedCount(fails[1]);
    EXPECT_GT(suppressed, 0) << fails[1];
    EXPECT_LE(suppressed, 100) << "accept was retried without a pause";
    EXPECT_LT(grown, 16u * 1024) << "the log grew under exhaustion";
    std::cout << "one interval of exhaustion: " << suppressed << " failures suppressed, log +" << grown << " bytes\n";

    // Once the connections close, a new worker reaches the master again.
    flood.CloseAll();
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, &saved, nullptr), 0);
    ExpectServed("/slow/wait?ms=0", "slept 0");
    const std::vector<pid_t> all = stack_.Workers();
    ASSERT_EQ(all.size(), 2u) << Pids(all);

    // SIGKILL: the master does nothing more, yet its workers end by themselves.
    ASSERT_EQ(kill(master, SIGKILL), 0);
    const Clock::time_point killedAt = Clock::now();
    ASSERT_NE(stack_.Master().Wait(10s), -1);
    EXPECT_TRUE(WaitFor([&] { return VesselStack::GroupMembers(master).empty(); }, 15s))
        << "outlived their master: " << Pids(VesselStack::GroupMembers(master));
    std::cout << "workers ended " << Ms(Clock::now() - killedAt) << " ms after the master's SIGKILL\n";
    EXPECT_EQ(testsupport::LinesWith(stack_.WorkerLog(), "gracefully shutting down").size(), all.size());
    unlink(Channel().c_str());  // a killed master cannot remove its socket
}

INSTANTIATE_TEST_SUITE_P(Signals, MasterEndTest, ::testing::Values(SIGTERM, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "Sigterm" : "Sigquit");
                         });

}  // namespace
