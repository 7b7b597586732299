// The Go host: the module manager against stand-in loaders (fakeloader.c) that record every call
// (loaded first by full path, a stand-in is what the manager's dlopen("libgoloader.so") finds by
// soname); and a worker process hosting Go modules through the real loader.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/HostKinds.h"
#include "hosts/go/GoModuleMgt.h"
#include "proto/GatewayPath.h"
#include "support/FakeMaster.h"
#include "support/ScriptableGateway.h"
#include "worker/ModuleMgtFactory.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

const std::string kStandIns = std::string(VESSEL_BINARY_DIR) + "/tests/hosts/go/";

void* StandIn(const char* variant, int flags = RTLD_NOW | RTLD_GLOBAL) {
    return dlopen((kStandIns + variant + "/libgoloader.so").c_str(), flags);
}

// A Go string as the stand-in records it: " <length>:<hex bytes>".
std::string Go(const std::string& bytes) {
    std::string out = " " + std::to_string(bytes.size()) + ":";
    for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
    return out;
}

}  // namespace

// A library lacking an export, then none at all: no manager, and the next Go module tries again.
// Then every call goes to the loader in order, as exact Go strings, with the signals blocked. The
// whole process, a thread started before the manager included, runs under SCHED_BATCH.
TEST(GoModuleMgtTest, NoManagerUntilACompleteLoaderIsThereThenEveryCallReachesItExactly) {
    struct Waiting {
        std::promise<void> release;
        std::thread thread{[done = release.get_future()]() mutable { done.wait(); }};
        ~Waiting() {
            release.set_value();
            thread.join();
        }
    } earlier;
    const int normalBefore = ThreadsNotBatch();
    TempDir dir("gomodule");
    ScopedEnv record("FAKELOADER_RECORD", dir / "calls"), app("APP_NAME", UniqueName("GoMgt"));
    RegisterHostKinds();
    ResetCurrentModuleMgt();
    // Worker threads run with the handled signals blocked already; the manager must not rely on it.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ModulePojo hello("hello", "2.10", "/m", "GO", "");
    void* nostop = StandIn("nostop");
    ASSERT_NE(nostop, nullptr) << dlerror();
    EXPECT_EQ(GetModuleMgtByType(hello), nullptr);
    // The manager let go of its handle: once the test lets go of its own, the library is gone.
    ASSERT_EQ(dlclose(nostop), 0);
    EXPECT_EQ(StandIn("nostop", RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(GetModuleMgtByType(hello), nullptr);
    EXPECT_EQ(ReadFile(dir / "calls"), "");

    void* full = StandIn("full");
    ASSERT_NE(full, nullptr) << dlerror();
    IModuleMgt* mgt = GetModuleMgtByType(hello);
    ASSERT_NE(mgt, nullptr);
    EXPECT_TRUE(mgt == GoModuleMgt::getInstance() && mgt == GetCurrentModuleMgt());
    EXPECT_TRUE(normalBefore > 1 && ThreadsNotBatch() == 0) << normalBefore << " before";
    const std::string name("he\0lo", 5);  // five bytes with a NUL: length 5; blanks and UTF-8 whole
    EXPECT_EQ(mgt->LoadModule(ModulePojo(name, "1.0", "/opt/go mods/h\xC3\xA9", "GO", "")), 0);
    setenv("FAKELOADER_RESULT", "7", 1);
    EXPECT_EQ(mgt->LoadModule(hello), 7);
    setenv("FAKELOADER_RESULT", "4294967296", 1);  // beyond int32: must not wrap to 0 (success)
    EXPECT_EQ(mgt->LoadModule(hello), -1);
    setenv("FAKELOADER_RESULT", "-3", 1);  // the loader's verdict on an unload is only logged
    EXPECT_EQ(mgt->UnLoadModule(hello), 0);
    mgt->Stop();
    for (const char* count : {"2", "-1", "4294967296", "0"}) {  // stopped at exactly 0
        setenv("FAKELOADER_RESULT", count, 1);
        EXPECT_EQ(mgt->Stopped(), std::string(count) == "0") << count;
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &none);
    EXPECT_FALSE(sigismember(&none, SIGQUIT)) << "the caller's signal mask must come back";

    std::vector<std::string> expected{"Start" + Go(GetGatewayPath()),
                                      "LoadModule" + Go(name) + Go("1.0") + Go("/opt/go mods/h\xC3\xA9"),
                                      "LoadModule" + Go("hello") + Go("2.10") + Go("/m"),
                                      "LoadModule" + Go("hello") + Go("2.10") + Go("/m"),
                                      "UnloadModule" + Go("hello"),
                                      "Stop"};
    expected.insert(expected.end(), 4, "GetLoadedModuleNum");
    for (auto& call : expected) call += " blocked";
    EXPECT_EQ(SplitLines(ReadFile(dir / "calls")), expected);
    ResetCurrentModuleMgt(), GoModuleMgt::ResetForTest(), unsetenv("FAKELOADER_RESULT");
    dlclose(full);  // a worker forked later must find the real loader by its soname
}

// A module that cannot load is reported to the master, one that loads serves, a slow request
// leaves its connection to others, and a graceful quit waits for the requests in flight.
TEST(GoWorkerTest, FailedLoadIsReportedAndAGracefulQuitWaitsForTheRequestInFlight) {
    const std::string build = VESSEL_BINARY_DIR, gate = build + "/tests/hosts/go/gate";
    if (access((gate + "/gate.so").c_str(), R_OK) != 0)
        GTEST_SKIP() << "Go modules not built (no go toolchain?)";
    FakeMaster master("GoWorker");
    ScriptableGateway gw(ScriptableGateway::PathForApp(master.AppName()));
    ASSERT_TRUE(gw.Start() == 0 && master.Listen());
    // The worker finds the loader by its soname once it is loaded, as the installed one would be.
    pid_t child = master.Spawn([&] {
        if (dlopen((build + "/peers/goloader/libgoloader.so").c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr)
            _exit(98);
    });
    int fd = master.Accept();
    const std::string pid = std::to_string(child), client = "gate||1.0||" + pid, home = master.Home().path();
    ASSERT_TRUE(master.Send(fd, "addModule#gate|1.0|" + home + "|GO|\n"));
    EXPECT_EQ(master.ReadLine(fd), "shakehand#" + pid + "\n");
    EXPECT_EQ(master.ReadLine(fd), "unloadModule#" + pid + "#gate|1.0\n");
    EXPECT_NE(
        master.WorkerLog().find("go module gate:1.0 not loaded: plugin " + home + "/gate.so does not exist"),
        std::string::npos)
        << master.WorkerLog();

    // Two pull connections: both pull, and a graceful quit ends both loops.
    testsupport::WriteContainerConfig(home, R"({"modulePullConnections":2})");
    ASSERT_TRUE(master.Send(fd, "addModule#gate|1.0|" + gate + "|GO|\n"));
    ASSERT_TRUE(gw.WaitForFrameCount("pullreq", 2, 15s)) << master.WorkerLog();
    const auto pulls = gw.FramesOf("pullreq");
    EXPECT_NE(pulls[0].conn, pulls[1].conn);
    for (const auto& pull : pulls) EXPECT_EQ(pull.parts, (ScriptableGateway::Parts{"pullreq", client}));
    // A request held at the gate on each connection: neither holds up its connection's pulling.
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(
            gw.Reply(pulls[i].conn, {"message", "gate", "g" + std::to_string(i + 1),
                                     R"({"ReqUrl":"/gate","Method":"GET","ReqBody":"","ReqQuery":{"gate":")" +
                                         home + R"(/open"},"Header":{"X-Test":["a"]}})"}));
        ASSERT_TRUE(gw.WaitForFrameCount("pullreq", 3 + i, 10s)) << "a slow request held up its connection";
    }

    // The first connection's loop is taken over from its slow request: the next messages there are
    // answered meanwhile, and each is pulled for once (the goroutine taking over finds the pull
    // that went out before the slow request ran).
    for (const char* id : {"f1", "f2"}) {
        ASSERT_TRUE(
            gw.Reply(pulls[0].conn, {"message", "gate", id,
                                     R"({"ReqUrl":"/gate","Method":"GET","ReqBody":"","ReqQuery":{"gate":")" +
                                         home + R"("},"Header":{"X-Test":["a"]}})"}));
        auto resp = gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp) << id;
        EXPECT_EQ(resp->parts.at(2), id);
    }
    EXPECT_FALSE(gw.WaitForFrameCount("pullreq", 7, 300ms)) << "a second pull where one waited";

    kill(child, SIGQUIT);
    EXPECT_EQ(master.WaitExit(child, 1s), -1) << "quit before the requests were answered";
    WriteFile(home + "/open", "");
    for (const char* id : {"g1", "g2"}) {
        auto resp = gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp) << id;
        EXPECT_EQ(resp->parts.at(1) + " " + resp->parts.at(3) + " " + resp->parts.at(4),
                  client + " 200 opened GET /gate a");
    }
    std::vector<std::string> ids;
    for (const auto& resp : gw.FramesOf("responsereq")) ids.push_back(resp.parts.at(2));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"f1", "f2", "g1", "g2"}));

    EXPECT_EQ(master.WaitExit(child, 10s), 0) << master.WorkerLog();
}
