// The real vessel-gateway in front of the real vessel binary and the sample C modules, one
// scenario per user story. Under a steady load of additions to calc, every request sent must end
// with exactly one outcome, and only the ones a fault really touched may fail.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Load.h"
#include "support/HttpTestClient.h"
#include "support/LogLines.h"
#include "support/TmpfsMount.h"
#include "support/VesselStack.h"

using namespace std::chrono_literals;
using testsupport::TmpfsMount;
using testsupport::WaitFor;
using Clock = Load::Clock;

namespace {

// What the master logs when it reaps a worker that a signal ended.
std::string DeathLine(pid_t worker, int signo) {
    return "pid:" + std::to_string(worker) + ", processName:warren worker  exited on signal " +
           std::to_string(signo);
}

// Additions with operands of their own, so an answer meant for another request is a wrong one.
std::pair<std::string, std::string> Addition(long long n) {
    return {"/calc/add?x=" + std::to_string(n * 1000) + "&y=" + std::to_string(n % 97),
            std::to_string(n * 1000 + n % 97)};
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        const struct rlimit core = {0, 0};  // a module that crashes on purpose leaves no core file
        setrlimit(RLIMIT_CORE, &core);
        ASSERT_TRUE(VesselStack::Built({"calc", "echo", "slow", "crash"}));
    }
    void TearDown() override {
        if (load_) load_->Stop();
        if (HasFailure())
            std::cerr << (load_ ? "load: " + load_->Summary() + "\n" : "") << stack_.AllLogs()
                      << stack_.KeepLogs();
    }
    void Start(const std::vector<std::string>& modules, const std::vector<std::string>& gatewayArgs = {},
               int perWorker = 10) {
        ASSERT_TRUE(stack_.Start(modules, gatewayArgs, perWorker)) << stack_.AllLogs();
        if (modules[0] == "calc") Served("/calc/add?x=1&y=2", "3");
    }
    // The first request for a module demands it; Vessel places it and it answers.
    void Served(const std::string& target, const std::string& body) {
        HttpTestResponse response = HttpTestClient::Get(stack_.Gateway().Port(), target, 30s);
        ASSERT_EQ(response.status, 200) << target << ": " << response.body;
        ASSERT_EQ(response.body, body) << target;
    }
    void StartLoad(std::chrono::milliseconds answerLimit, int clients = 4, Load::Request request = Addition) {
        load_.reset(new Load(stack_.Gateway().Port(), clients, answerLimit, request));
        ASSERT_TRUE(WaitFor([&] { return load_->RightSince() >= 100; }, 20s)) << load_->Summary();
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
    // Runs the vessel binary as an operator does, with the stack's APP_NAME.
    struct Cli {
        int code = -1;
        std::string out, err;
    };
    Cli Vessel(const std::string& args) {
        const std::string errFile = stack_.Home() + "/cli.err";
        const std::string command = "APP_NAME=" + stack_.Gateway().AppName() + " " + VESSEL_BINARY_DIR +
                                    "/vessel " + args + " 2>" + errFile;
        Cli run;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), pipe)) > 0;) run.out.append(buf, n);
        const int status = pclose(pipe);
        run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.err = testsupport::ReadFile(errFile);
        return run;
    }

    VesselStack stack_;
    std::unique_ptr<TmpfsMount> mount_;  // on the log directory; kept for TearDown's logs
    std::unique_ptr<Load> load_;
};

// The gateway's configuration edited under load: served modules are left alone (a reload used to
// reconnect every module and could drop a request), a new one served.
TEST_F(StackTest, AConfigurationReloadUnderLoadLosesNothingAndServesTheNewModule) {
    Start({"calc"});
    EXPECT_EQ(HttpTestClient::Get(stack_.Gateway().Port(), "/slow/wait?ms=1").status, 404);
    StartLoad(10s);
    stack_.SetAppConfig(VesselStack::AppConfig({VesselStack::ModuleEntry("calc", "1.0"),
                                                VesselStack::ModuleEntry("extra", "1.0", "/nonexistent"),
                                                VesselStack::ModuleEntry("slow", "1.0")}));
    const Clock::time_point reloaded = Clock::now();
    EXPECT_TRUE(WaitFor(
        [&] { return HttpTestClient::Get(stack_.Gateway().Port(), "/slow/wait?ms=1").status == 200; }, 20s));
    ExpectLoadServedSince(reloaded);
    EXPECT_FALSE(MasterLogHas("modifyModule name, ver:calc")) << "a reload reconnected calc";
}

// The GETs of the load inside the killed worker are sent again: none of them is lost.
TEST_F(StackTest, AKilledWorkerIsReplacedAndItsLoadServedWithoutALoss) {
    Start({"calc"}, {"--request-timeout", "20"});
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u);
    StartLoad(25s);
    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    ExpectLoadServedSince(Clock::now());  // only a new worker from the master can serve it
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(workers[0], SIGKILL)); }, 5s));
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
    HttpTestClient crash;
    ASSERT_TRUE(crash.Connect(stack_.Gateway().Port()) && crash.SendRequest("POST", "/crash/now?crash=1"));
    EXPECT_EQ(crash.Read(5s).status, 502);
    const Clock::time_point crashed = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(crashWorker, SIGSEGV)); }, 10s));
    Served("/crash/again", "alive");  // demanded again, in a new worker
    ExpectLoadServedSince(crashed);
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

// Every answer a 200, from 1.0 until 2.0 first answered, from 2.0 after. The same library path in
// both versions: the dynamic loader would hand the old code back in the same worker.
TEST_F(StackTest, ASwitchedVersionServesWithoutLosingARequest) {
    Start({"echo"});
    // Longer than the gateway's own limit: its 504 is an answer, a hang is not.
    StartLoad(40s, 1, [](long long) { return std::make_pair(std::string("/echo/x"), std::string()); });
    auto from = [](const Load::Outcome& o, const std::string& version) {
        return o.body.find("\"version\":\"" + version + "\"") != std::string::npos;
    };
    const std::vector<pid_t> before = stack_.Workers();
    stack_.SetAppConfig(VesselStack::AppConfig({VesselStack::ModuleEntry("echo", "2.0")}));
    ASSERT_TRUE(WaitFor([&] { return from(load_->Outcomes().back(), "2.0"); }, 30s)) << load_->Summary();
    EXPECT_TRUE(WaitFor([&] { return !VesselStack::Alive(before.at(0)); }, 30s)) << "old worker still runs";
    load_->Stop();
    bool switched = false;
    for (const Load::Outcome& o : load_->Outcomes()) {
        ASSERT_TRUE(o.right && (from(o, "1.0") || from(o, "2.0"))) << o.status << " " << o.body;
        ASSERT_FALSE(switched && from(o, "1.0")) << "the old version answered after the new one";
        switched |= from(o, "2.0");
    }
}

// An operator's SIGHUP and SIGUSR1 go to the whole process group; the worker channel is flooded;
// then the master is killed, and its workers must not live on without it.
TEST_F(StackTest, TheMasterOutlivesHupAndUsr1AndItsWorkersFollowItsDeath) {
    Start({"calc", "slow"}, {}, 1);
    const pid_t master = stack_.Master().Pid();
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
    for (const std::string& name : testsupport::ListDir(stack_.LogDir())) {
        if (name.rfind("Vessel_", 0) == 0)
            rename((stack_.LogDir() + "/" + name).c_str(), (stack_.LogDir() + "/old-" + name).c_str());
    }
    ASSERT_EQ(stack_.MasterLog(), "");
    ASSERT_EQ(kill(-master, SIGUSR1), 0);
    ASSERT_TRUE(WaitFor([&] { return !stack_.MasterLog().empty(); }, 10s)) << "no new log file";
    Served("/calc/add?x=3&y=2", "5");
    EXPECT_EQ(stack_.Workers(), workers) << "a worker did not survive SIGHUP or SIGUSR1";

    // Out of descriptors, the master neither spins on accept nor floods its log (one line per
    // interval, counting the failures between), and a new worker reaches it once they are back.
    rlimit saved{}, low{};
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, nullptr, &saved), 0);
    low = {testsupport::ListDir("/proc/" + std::to_string(master) + "/fd").size() + 20, saved.rlim_max};
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> flood(60);
    for (int& fd : flood) ASSERT_GE(fd = testsupport::ConnectUnix(stack_.ChannelPath()), 0);
    std::vector<std::string> fails;
    ASSERT_TRUE(WaitFor(
        [&] { return (fails = testsupport::LinesWith(stack_.MasterLog(), "accpet fail:24,")).size() >= 2; },
        15s));
    std::smatch suppressed;
    ASSERT_TRUE(std::regex_search(fails[1], suppressed, std::regex(R"(\((\d+) similar lines suppressed\))")))
        << fails[1];
    EXPECT_LE(std::stol(suppressed[1]), 100) << "accept was retried without a pause";
    for (int fd : flood) close(fd);
    ASSERT_EQ(prlimit(master, RLIMIT_NOFILE, &saved, nullptr), 0);
    Served("/slow/wait?ms=0", "slept 0");
    ASSERT_EQ(stack_.Workers().size(), 2u);

    ASSERT_EQ(kill(master, SIGKILL), 0);
    ASSERT_NE(stack_.Master().Wait(10s), -1);
    EXPECT_TRUE(WaitFor([&] { return VesselStack::GroupMembers(master).empty(); }, 15s))
        << "outlived their master";
}

// The log directories below are tmpfs mounts of their own: as root, permission bits would not
// stop a write. A full one costs no request, and once it has space the logs go on.
TEST_F(StackTest, AFullLogDirectoryCostsNoRequestAndLoggingResumesWithSpace) {
    mount_ = std::make_unique<TmpfsMount>(stack_.LogDir(), 0, "size=64k");
    if (!mount_->Mounted()) GTEST_SKIP() << mount_->Why();
    const std::string filler = stack_.LogDir() + "/filler";
    ASSERT_EQ(TmpfsMount::FillUp(filler), ENOSPC);
    Start({"calc"});
    const std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u);
    auto serve = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            Served("/calc/add?x=" + std::to_string(i) + "&y=1000", std::to_string(i + 1000));
        EXPECT_EQ(stack_.Workers(), workers) << "the worker changed or died while serving";
    };
    auto workerLogged = [&] {
        return stack_.WorkerLog().find("RequestHandler calc:1.0") != std::string::npos;
    };
    serve(0, 20);
    EXPECT_FALSE(workerLogged());  // the file exists, but holds at most a torn first line
    ASSERT_EQ(unlink(filler.c_str()), 0);
    serve(20, 23);
    EXPECT_TRUE(WaitFor(workerLogged, 10s)) << "the worker did not log again once there was space";
    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(workers[0], SIGKILL)); }, 10s))
        << "the master did not log again once there was space";
}

// What runs where, as `vessel status` shows it: nothing before the master starts, then the worker
// with both modules it served, then the replacement of that worker once it was killed.
TEST_F(StackTest, StatusShowsWhichWorkerServesWhichModule) {
    Cli cli = Vessel("status");
    EXPECT_EQ(cli.code, 1);
    EXPECT_EQ(cli.err, "vessel: no vessel master is running (" + stack_.ChannelPath() + ")\n");
    cli = Vessel("--version");
    EXPECT_EQ(cli.code, 0);
    EXPECT_TRUE(std::regex_match(cli.out, std::regex("vessel [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << cli.out;
    cli = Vessel("status --bogus");
    EXPECT_TRUE(cli.code == 2 && cli.out.empty() && cli.err.find("--bogus") != std::string::npos) << cli.err;

    Start({"calc", "echo"});
    EXPECT_EQ(HttpTestClient::Get(stack_.Gateway().Port(), "/echo/x", 30s).status, 200);
    // "<pid>:calc <pid>:echo w<pid> " once both modules serve in one worker; "" while one does not.
    auto placement = [&] {
        std::istringstream json(Vessel("status --json").out);
        boost::property_tree::ptree tree;
        try {
            boost::property_tree::read_json(json, tree);
        } catch (const boost::property_tree::ptree_error&) {
            return std::string("not JSON");
        }
        std::string where;
        for (const auto& m : tree.get_child("modules")) {
            if (m.second.get<std::string>("state") != "loaded") return std::string();
            where += m.second.get<std::string>("worker") + ":" + m.second.get<std::string>("name") + " ";
        }
        for (const auto& w : tree.get_child("workers")) where += "w" + w.second.get<std::string>("pid") + " ";
        return where;
    };
    auto servedBy = [](pid_t worker) {
        const std::string pid = std::to_string(worker);
        return pid + ":calc " + pid + ":echo w" + pid + " ";
    };
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return placement() == servedBy(workers[0]); }, 10s)) << placement();
    cli = Vessel("status");
    EXPECT_EQ(cli.code, 0);
    EXPECT_TRUE(std::regex_search(
        cli.out, std::regex("\n" + std::to_string(workers[0]) +
                            " +C +[-0-9]+ [0-9:]+ +[0-9.]+ [KM]iB +no +calc:1.0, echo:1.0\n")))
        << cli.out;

    ASSERT_EQ(kill(workers[0], SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return MasterLogHas(DeathLine(workers[0], SIGKILL)); }, 10s));
    Served("/calc/add?x=1&y=1", "2");
    EXPECT_EQ(HttpTestClient::Get(stack_.Gateway().Port(), "/echo/x", 30s).status, 200);
    workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return placement() == servedBy(workers[0]); }, 10s)) << placement();
}

// What a user put where the channel socket goes is theirs: the master refuses to start (exit 1)
// and leaves it as it was; only a socket there would be replaced.
TEST_F(StackTest, AUsersFileAtTheChannelPathIsLeftAlone) {
    testsupport::WriteFile(stack_.ChannelPath(), "keep me");
    stack_.Start();  // false when the master is gone already
    const int status = stack_.Master().Wait(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_EQ(testsupport::ReadFile(stack_.ChannelPath()), "keep me");
    unlink(stack_.ChannelPath().c_str());
}

// A test process that ends without its destructors (killed at its timeout, or a forked story
// leaving by _exit) takes its stack with it: nothing of it runs on after the suite.
TEST(StackCleanup, AStackEndsWithTheProcessThatStartedIt) {
    ASSERT_TRUE(VesselStack::Built({"calc"}));
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    testsupport::ChildProcess owner;
    ASSERT_TRUE(owner.Fork([&] {
        auto* stack = new VesselStack;  // never deleted: its destructor must not be what ends it
        if (!stack->Start({"calc"})) return 1;
        if (HttpTestClient::Get(stack->Gateway().Port(), "/calc/add?x=1&y=2", 30s).body != "3") return 2;
        // Its two directories, then every pid of the stack.
        std::string report = stack->Home() + " " + stack->Gateway().ConfigPath();
        for (pid_t pid : stack->Workers()) report += " " + std::to_string(pid);
        report += " " + std::to_string(stack->Master().Pid()) + " " + std::to_string(stack->Gateway().Pid());
        return write(pipeEnds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0
                                                                                                       : 3;
    }));
    close(pipeEnds[1]);
    std::string report(4096, '\0');
    const ssize_t n = read(pipeEnds[0], report.data(), report.size());
    close(pipeEnds[0]);
    report.resize(n > 0 ? static_cast<size_t>(n) : 0);
    const int status = owner.Wait(60s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    std::istringstream in(report);
    std::string home, gatewayConfig;
    std::vector<pid_t> started;
    in >> home >> gatewayConfig;
    for (pid_t pid; in >> pid;) started.push_back(pid);
    EXPECT_GE(started.size(), 3u) << report;  // a worker, the master, the gateway
    for (pid_t pid : started) {
        EXPECT_TRUE(WaitFor([&] { return !VesselStack::Alive(pid); }, 10s)) << "pid " << pid << " runs on";
        if (pid > 1 && VesselStack::Alive(pid)) kill(pid, SIGKILL);
    }
    std::error_code ignored;
    for (const std::filesystem::path& dir :
         {std::filesystem::path(home), std::filesystem::path(gatewayConfig).parent_path()})
        if (dir.string().rfind("/tmp/", 0) == 0) std::filesystem::remove_all(dir, ignored);
}

// TERM ends the workers at once, QUIT lets them finish: either way, under load, the master exits
// and no worker outlives it. TERM with a read-only log directory (where a tmpfs can be mounted),
// so every step of its shutdown fails to log.
class MasterEndTest : public StackTest, public ::testing::WithParamInterface<int> {};

TEST_P(MasterEndTest, TheMasterEndsUnderLoadLeavingNoWorker) {
    if (GetParam() == SIGTERM) mount_ = std::make_unique<TmpfsMount>(stack_.LogDir(), MS_RDONLY, "size=64k");
    if (mount_ && !mount_->Mounted()) std::cerr << mount_->Why() << "\n";
    Start({"calc"});
    StartLoad(10s);
    const pid_t master = stack_.Master().Pid();
    ASSERT_GT(master, 1);  // never kill(-1, ...)
    ASSERT_EQ(kill(master, GetParam()), 0);
    const int status = stack_.Master().Wait(25s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(WaitFor([&] { return VesselStack::GroupMembers(master).empty(); }, 10s))
        << "a worker was left";
}

INSTANTIATE_TEST_SUITE_P(Signals, MasterEndTest, ::testing::Values(SIGTERM, SIGQUIT));

}  // namespace
