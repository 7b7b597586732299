// The C module manager, each test in a child process of its own: loading and its failure codes,
// serving, unloading, and a graceful stop that still answers what the event loop was handling.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "CModuleHarness.h"
#include "base/CommonUtil.h"
#include "base/ProcessFlags.h"
#include "base/PropertyLoader.h"
#include "hosts/c/ReqHandlerMgt.h"
#include "support/LogLines.h"
#include "worker/ReqReceiverMgt.h"

namespace {

using namespace cmodtest;
using testsupport::LogReader;

TEST(CModuleMgt, LoadFailsWithItsCodeClosesTheLibraryAndLeavesNoReceiverUntilALoadSucceeds) {
    testsupport::RunInChildWithLog([](LogReader&) {
        Harness h("CmodLoad");
        CModuleMgt* mgt = h.Mgt();
        testsupport::TempDir dir("cmod-missing");
        const std::pair<ModulePojo, int32_t> failures[] = {{Module("calc", dir.path()), 3},
                                                           {Module("noinit"), 5},
                                                           {Module("initfail"), 6},
                                                           {Module("notask"), 9}};
        for (const auto& [module, code] : failures) {
            EXPECT_EQ(mgt->LoadModule(module), code) << module.GetName();
            void* lib = dlopen(module.LibFilePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
            EXPECT_EQ(lib, nullptr) << module.GetName() << " still mapped";
            EXPECT_EQ(ReqReceiverMgt::getInstance().Find(module.Key()), nullptr) << module.GetName();
        }
        // The library turns up: the next load serves it.
        CopyFile(Module("calc").LibFilePath(), dir / "libcalc.so");
        ASSERT_EQ(mgt->LoadModule(Module("calc", dir.path())), 0);
        ASSERT_TRUE(h.Answer(Serialize(Message("2", RequestText("/calc", "1+2")))));
        EXPECT_EQ(h.NextResponse(), Response("calc", "2", "200", "3"));

        // Unloaded: the pull connection closes, but a request accepted before is still run.
        auto pull = h.gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(pull && mgt->UnLoadModule(Module("calc")) == 0);
        EXPECT_TRUE(h.Closed(pull->conn));
        mgt->IncreRef(ModuleKey("calc", "1.0"));
        RequestPojo late;
        late.moduleName = "calc", late.version = "1.0", late.requestId = "late", late.reqBody = "2+2";
        ReqHandlerMgt::getInstance()->addToMsgQueue(late);
        EXPECT_EQ(h.NextResponse(), Response("calc", "late", "200", "4"));
        ModuleHandler out;
        ASSERT_EQ(mgt->GetModuleHandler(ModuleKey("calc", "1.0"), out), 0);
        EXPECT_EQ(out.status, ModuleHandler::STATUS_UNLOADED);
        EXPECT_EQ(out.refCount, 0);
    });
}

// With several pull connections a module's receivers serve side by side, and reconnect and
// unload reach every one of them.
TEST(CModuleMgt, SeveralPullConnectionsServeTogetherAndAreHandledTogether) {
    testsupport::RunInChildWithLog([](LogReader&) {
        Harness h("CmodPulls", 3);
        // A setting holds for every kind of module; without one each kind has its own default.
        testsupport::WriteContainerConfig(h.home.path(), "{}");
        EXPECT_EQ(ModulePullConnections(8), 8);
        EXPECT_EQ(ModulePullConnections(16), 16);
        for (const auto& [setting, n] : {std::pair{"0", 1}, {"40", 16}, {"3", 3}}) {
            testsupport::WriteContainerConfig(h.home.path(),
                                              std::string("{\"modulePullConnections\":") + setting + "}");
            EXPECT_EQ(ModulePullConnections(16), n) << setting;
        }
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        auto pullConns = [&](size_t from) {
            std::set<int> conns;
            for (const auto& f : h.gw.FramesOf("pullreq")) conns.insert(f.conn);
            return std::vector<int>(std::next(conns.begin(), from), conns.end());
        };
        ASSERT_TRUE(h.gw.WaitForFrameCount("pullreq", 3, WAIT));
        const std::vector<int> first = pullConns(0);
        ASSERT_EQ(first.size(), 3u);
        for (int conn : first) {  // each connection's held pull takes a request
            const std::string id = std::to_string(conn);
            ASSERT_TRUE(h.gw.SendRaw(conn, Serialize(Message(id, RequestText("/calc", id + "+1")))));
            EXPECT_EQ(h.NextResponse(), Response("calc", id, "200", std::to_string(conn + 1)));
        }
        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        for (int conn : first) EXPECT_TRUE(h.Closed(conn)) << conn;
        ASSERT_TRUE(testsupport::WaitFor([&] { return pullConns(3).size() == 3; }, WAIT));
        ASSERT_EQ(h.Mgt()->UnLoadModule(Module("calc")), 0);
        for (int conn : pullConns(3)) EXPECT_TRUE(h.Closed(conn)) << conn;
    });
}

// A request runs on the thread that read it; one that takes long gets the loop handed to another
// thread, so a neighbour's request is read and answered meanwhile.
TEST(CModuleMgt, ASlowRequestOnTheLoopHandsTheLoopOverAndHoldsNoNeighbourUp) {
    testsupport::RunInChildWithLog([](LogReader& log) {
        Harness h("CmodHandOver");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("slow")), 0);
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        ASSERT_TRUE(h.gw.WaitForFrameCount("pullreq", 2, WAIT));
        auto connOf = [&](const std::string& name) {
            for (const auto& f : h.gw.FramesOf("pullreq"))
                if (f.parts[1] == ClientIdOf(name)) return f.conn;
            return -1;
        };
        const int slowConn = connOf("slow");
        const int calcConn = connOf("calc");
        ASSERT_TRUE(h.gw.SendRaw(calcConn, Serialize(Message("fast", RequestText("/calc", "1+1")))));
        EXPECT_EQ(h.NextResponse(), Response("calc", "fast", "200", "2"));
        ASSERT_TRUE(
            h.gw.SendRaw(slowConn, Serialize(Message("long", RequestText("/slow", "", {{"ms", "3000"}})))));
        ASSERT_TRUE(testsupport::WaitFor([&] { return log.Count("loop handed over, slow:1.0") == 1; }, WAIT));
        ASSERT_TRUE(h.gw.WaitForFrameCount("pullreq", 4, WAIT));  // each receiver pulled again
        ASSERT_TRUE(h.gw.SendRaw(calcConn, Serialize(Message("next", RequestText("/calc", "2+2")))));
        EXPECT_EQ(h.NextResponse(), Response("calc", "next", "200", "4"));
        EXPECT_EQ(h.NextResponse(), Response("slow", "long", "200", "slept 3000"));
    });
}

// A message the event loop is still handling when the quit comes (here: the module it loads takes
// its time to start) is queued after the stop began; the dispatcher must still send it.
TEST(CModuleMgt, GracefulStopDispatchesTheMessageTheLoopWasHandling) {
    testsupport::RunInChildWithLog([](LogReader&) {
        testsupport::TempDir dir("cmod-slowinit");
        Harness h("CmodSlowInit");
        ModulePojo slow = Module("slow", dir.path());
        h.Mgt()->AddModule(slow);  // registered with a receiver, not loaded: the first message loads it
        ASSERT_EQ(h.Mgt()->StartReceiver(slow), 0);
        CopyFile(Module("slow").LibFilePath(), dir / "libslow.so");
        testsupport::ScopedEnv initMs("SLOW_INIT_MS", "1500"), mark("SLOW_INIT_MARK", dir / "started");
        ASSERT_TRUE(h.Answer(Serialize(Message("late", RequestText("/slow", "")))));
        ASSERT_TRUE(testsupport::WaitFor([&] { return access((dir / "started").c_str(), F_OK) == 0; }, WAIT));

        workerExiting = 1;
        h.Mgt()->Stop();
        EXPECT_EQ(h.NextResponse(), Response("slow", "late", "200", "slept 0"));
        EXPECT_TRUE(testsupport::WaitFor([&] { return h.Mgt()->Stopped(); }, WAIT));
    });
}

}  // namespace
