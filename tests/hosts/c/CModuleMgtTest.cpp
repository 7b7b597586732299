// The C module manager in a child process of its own: library loading and its failure codes,
// retries per request, unloading, the answers for modules that cannot run, the signal mask of its
// threads, and stopping (twice, and under termination).
#include <dlfcn.h>
#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "CModuleHarness.h"
#include "base/CommonUtil.h"
#include "base/ProcessFlags.h"
#include "worker/ReqReceiverMgt.h"
#include "hosts/c/ReqHandlerMgt.h"
#include "support/LogReader.h"
#include "support/TestSupport.h"

namespace {

using cmodtest::ClientIdOf;
using cmodtest::Harness;
using cmodtest::Message;
using cmodtest::Module;
using cmodtest::ModuleDir;
using cmodtest::RequestText;
using cmodtest::WaitLog;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;
using Parts = testsupport::ScriptableGateway::Parts;

// True while the library is mapped in this process.
bool Mapped(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return false;
    dlclose(h);
    return true;
}

std::string LibOf(const std::string& name) { return ModuleDir(name) + "/lib" + name + ".so"; }

RequestPojo QueuedRequest(const std::string& name, const std::string& id) {
    RequestPojo r;
    r.reqUrl = "/" + name;
    r.method = "POST";
    r.reqBody = "1+2";
    r.requestId = id;
    r.moduleName = name;
    r.version = "1.0";
    return r;
}

TEST(CModuleMgt, LoadFailuresGiveTheirCodesAndCloseTheLibrary) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodLoad");
        CModuleMgt* mgt = h.Mgt();
        EXPECT_EQ(mgt->LoadCModuleLib(Module("calc", "/nonexistent")), 3);
        EXPECT_EQ(log.CountNew("dlopen  failed! path:/nonexistent/libcalc.so"), 1u);

        EXPECT_EQ(mgt->LoadCModuleLib(Module("noinit")), 5);
        auto warn = log.NewLinesWith("can't find symbol fcn! ");
        ASSERT_EQ(warn.size(), 1u);
        EXPECT_EQ(warn[0].level, "Warn");
        EXPECT_FALSE(Mapped(LibOf("noinit")));

        EXPECT_EQ(mgt->LoadCModuleLib(Module("initfail")), 6);
        EXPECT_EQ(log.CountNew("init dll fails"), 1u);
        EXPECT_FALSE(Mapped(LibOf("initfail")));

        EXPECT_EQ(mgt->LoadCModuleLib(Module("notask")), 9);
        EXPECT_EQ(log.CountNew("can't find taskEntry! "), 1u);
        EXPECT_FALSE(Mapped(LibOf("notask")));
        EXPECT_EQ(log.CountNew("dlclose failed! "), 0u);

        // A library that loads is stored only for a registered module.
        EXPECT_EQ(mgt->LoadCModuleLib(Module("calc")), 0);
        EXPECT_EQ(log.CountNew("UpdateModuleHandler failcalc:1.0"), 1u);
        ModuleHandler out;
        EXPECT_EQ(mgt->GetModuleHandler(ModuleKey("calc", "1.0"), out), 1);

        ASSERT_EQ(mgt->LoadModule(Module("calc")), 0);
        EXPECT_EQ(log.CountNew("UpdateModuleHandler status:0calc:1.0"), 1u);
        ASSERT_EQ(mgt->GetModuleHandler(ModuleKey("calc", "1.0"), out), 0);
        EXPECT_EQ(out.status, ModuleHandler::STATUS_LOADED);
        EXPECT_NE(out.taskEntry, nullptr);
        EXPECT_TRUE(Mapped(LibOf("calc")));
    });
}

// Nothing could answer a module that does not load: it gets no receiver, so the gateway keeps
// its requests for a later load (the master's retry) instead of handing them to a dead end.
TEST(CModuleMgt, AModuleThatFailsToLoadGetsNoReceiverUntilALaterLoadSucceeds) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodMissing");
        testsupport::TempDir dir("cmod-missing");
        ModulePojo m = Module("calc", dir.path());
        EXPECT_EQ(h.Mgt()->LoadModule(m), 3);
        auto loadFail = log.NewLinesWith("load module fail.calc:1.0");
        ASSERT_EQ(loadFail.size(), 1u);
        EXPECT_EQ(loadFail[0].message, "ErrorCode:3,load module fail.calc:1.0");
        EXPECT_EQ(log.NewLinesWith("cannot open module library: ").at(0).level, "Warn");
        EXPECT_EQ(h.Mgt()->LoadModule(Module("notask")), 9);
        EXPECT_EQ(ReqReceiverMgt::getInstance().Find(m.Key()), nullptr);
        EXPECT_EQ(ReqReceiverMgt::getInstance().Find(ModuleKey("notask", "1.0")), nullptr);

        // The library turns up: the next load serves it.
        CopyFile(LibOf("calc"), dir.path() + "/libcalc.so");
        ASSERT_EQ(h.Mgt()->LoadModule(m), 0);
        ASSERT_TRUE(h.Answer(Message("2", RequestText("/calc", "POST", "1+2"))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "2", "200", "3", ""}));
        for (const auto& pull : h.Gateway().FramesOf("pullreq")) EXPECT_EQ(pull.parts[1], ClientIdOf("calc"));
    });
}

TEST(CModuleMgt, UnloadedUnknownAndNullAnsweringModulesGetTheirAnswers) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodUnload");
        CModuleMgt* mgt = h.Mgt();
        ASSERT_EQ(mgt->LoadModule(Module("calc")), 0);
        ASSERT_EQ(mgt->LoadModule(Module("nullresult")), 0);
        auto calcPull = h.Gateway().WaitForFrame("pullreq", cmodtest::WAIT);
        auto nullPull = h.Gateway().WaitForFrame("pullreq", cmodtest::WAIT);
        ASSERT_TRUE(calcPull && nullPull);
        if (calcPull->parts[1] != ClientIdOf("calc")) std::swap(calcPull, nullPull);

        // A module that answers with no text gives an empty body.
        ASSERT_TRUE(h.Gateway().Reply(nullPull->conn, Message("n", RequestText("/n", "GET", ""))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("nullresult"), "n", "200", "", ""}));

        ASSERT_EQ(mgt->UnLoadModule(Module("calc")), 0);
        ModuleHandler out;
        ASSERT_EQ(mgt->GetModuleHandler(ModuleKey("calc", "1.0"), out), 0);
        EXPECT_EQ(out.status, ModuleHandler::STATUS_UNLOADED);
        EXPECT_TRUE(ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"))->IsNotReceiving());
        // The stopped receiver closes its pull connection.
        EXPECT_TRUE(testsupport::WaitFor(
            [&] {
                for (auto c : h.Gateway().OpenConnections()) {
                    if (c == calcPull->conn) return false;
                }
                return true;
            },
            cmodtest::WAIT));

        // A request it accepted before is still run: the library stays mapped.
        mgt->IncreRef(ModuleKey("calc", "1.0"));
        ReqHandlerMgt::getInstance()->addToMsgQueue(QueuedRequest("calc", "late"));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "late", "200", "3", ""}));

        ReqHandlerMgt::getInstance()->addToMsgQueue(QueuedRequest("ghost", "g"));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("ghost"), "g", "500", "can't find RequestFP", ""}));

        // Reference counts came back to zero.
        ASSERT_EQ(mgt->GetModuleHandler(ModuleKey("calc", "1.0"), out), 0);
        EXPECT_EQ(out.refCount, 0);
        // Unloading a module the worker does not know changes nothing.
        EXPECT_EQ(mgt->UnLoadModule(Module("nope")), 0);
        EXPECT_EQ(log.CountNew("can't find module,nope:1.0"), 1u);
    });
}

// Threads of this process that are not in before, with their blocked-signal masks.
std::set<std::string> TaskIds() {
    std::set<std::string> ids;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ids.insert(e->d_name);
    }
    closedir(d);
    return ids;
}

unsigned long long BlockedMask(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

TEST(CModuleMgt, ThreadsItStartsKeepTheHandledSignalsBlocked) {
    RunInChildWithLog([](LogReader&) {
        Harness h("CmodMask");
        sigset_t none;
        sigemptyset(&none);
        ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &none, nullptr), 0);
        std::set<std::string> before = TaskIds();
        h.Mgt();
        std::set<std::string> after = TaskIds();
        size_t started = 0;
        for (const std::string& tid : after) {
            if (before.count(tid) != 0) continue;
            ++started;
            unsigned long long mask = BlockedMask(tid);
            for (int s : {SIGCHLD, SIGALRM, SIGIO, SIGINT, SIGTERM, SIGQUIT}) {
                EXPECT_TRUE(mask & (1ULL << (s - 1))) << "thread " << tid << " signal " << s;
            }
        }
        EXPECT_GE(started, 2u);
        // The caller's own mask is given back.
        sigset_t cur;
        pthread_sigmask(SIG_SETMASK, nullptr, &cur);
        EXPECT_FALSE(sigismember(&cur, SIGTERM));
    });
}

TEST(CModuleMgt, GracefulStopWaitsForNothingButReportsDrainOnlyOnceTheAnswerIsSent) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodStop");
        CModuleMgt* mgt = h.Mgt();
        ASSERT_EQ(mgt->LoadModule(Module("slow")), 0);
        auto pull = h.NextPull();
        ASSERT_TRUE(pull);
        ASSERT_TRUE(h.Gateway().Reply(pull->conn, Message("s", RequestText("/slow", "GET", "", {{"ms", "3000"}}))));
        ASSERT_TRUE(WaitLog(log, "RequestHandler slow:1.0"));
        EXPECT_FALSE(mgt->Stopped());

        workerExiting = 1;
        mgt->Stop();
        EXPECT_EQ(log.CountNew("wait for reqHandlerTask quit"), 1u);
        EXPECT_EQ(log.CountNew("wait for pullGatewayReqTask quit"), 1u);
        EXPECT_EQ(log.CountNew("IOService exist"), 1u);
        // The pull connection was closed by the stop.
        EXPECT_TRUE(testsupport::WaitFor([&] { return h.Gateway().OpenConnections().size() == 1; }, cmodtest::WAIT));

        EXPECT_TRUE(testsupport::WaitFor([&] { return mgt->Stopped(); }, cmodtest::WAIT));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("slow"), "s", "200", "slept 3000", ""}));

        mgt->Stop();  // a second stop finds nothing left to join
        EXPECT_EQ(log.CountNew("wait for pullGatewayReqTask quit"), 2u);
        EXPECT_TRUE(mgt->Stopped());
    });
}

// A message the event loop is still handling when the quit comes (here: the module it loads
// takes its time to start) is queued after the stop began; the dispatcher must still send it.
TEST(CModuleMgt, GracefulStopDispatchesTheMessageTheLoopWasHandling) {
    RunInChildWithLog([](LogReader& log) {
        testsupport::TempDir dir("cmod-slowinit");
        Harness h("CmodSlowInit");
        CModuleMgt* mgt = h.Mgt();
        // Registered with a receiver but not loaded yet: the first message loads it.
        ModulePojo slow = Module("slow", dir.path());
        mgt->AddModule(slow);
        ASSERT_EQ(mgt->StartReceiver(slow), 0);
        CopyFile(LibOf("slow"), dir.path() + "/libslow.so");
        testsupport::ScopedEnv initMs("SLOW_INIT_MS", "1500");
        testsupport::ScopedEnv mark("SLOW_INIT_MARK", dir / "init-started");
        ASSERT_TRUE(h.Answer(Message("late", RequestText("/slow", "GET", ""))));
        ASSERT_TRUE(testsupport::WaitFor([&] { return access((dir / "init-started").c_str(), F_OK) == 0; },
                                         cmodtest::WAIT));

        workerExiting = 1;
        mgt->Stop();
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("slow"), "late", "200", "slept 0", ""}));
        EXPECT_TRUE(testsupport::WaitFor([&] { return mgt->Stopped(); }, cmodtest::WAIT));
        EXPECT_EQ(log.CountNew("wait for reqHandlerTask quit"), 1u);
    });
}

TEST(CModuleMgt, StopForAgeingWaitsUntilTerminationAndASecondStopEndsBoth) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodAgeing");
        CModuleMgt* mgt = h.Mgt();
        ASSERT_EQ(mgt->LoadModule(Module("calc")), 0);
        ASSERT_TRUE(h.NextPull());

        std::atomic<bool> firstDone{false};
        std::thread ageing([&] {
            mgt->Stop();
            firstDone = true;
        });
        // Without a quit or termination the puller keeps waiting and the first Stop() with it.
        ASSERT_TRUE(WaitLog(log, "pullGatewayReq waiting"));
        EXPECT_FALSE(firstDone.load());

        gTerminate = 1;
        mgt->Stop();
        EXPECT_TRUE(testsupport::WaitFor([&] { return firstDone.load(); }, cmodtest::WAIT));
        ageing.join();
        EXPECT_EQ(log.CountNew("IOService exist"), 1u);
        EXPECT_EQ(log.CountNew("wait for pullGatewayReqTask quit"), 2u);
        gTerminate = 0;
    });
}

}  // namespace
