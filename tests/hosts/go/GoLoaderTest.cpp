// The real libgoloader.so behind the Go module manager, with the sample module and a test module,
// against a scriptable gateway. Each test runs in a child process (the Go runtime stays loaded
// for good and must not be in the process that forks the other tests' children).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "GoLoaderHarness.h"
#include "hosts/go/GoModuleMgt.h"
#include "support/LogReader.h"
#include "support/ScriptableGateway.h"
#include "support/StrangerListener.h"
#include "support/TestSupport.h"
#include "model/ModulePojo.h"

using namespace std::chrono_literals;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;
using testsupport::ScriptableGateway;
using testsupport::WaitFor;
using Parts = ScriptableGateway::Parts;

namespace {

class GoLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = gotest::MissingArtifacts();
        if (!missing.empty()) GTEST_SKIP() << "not built (no go toolchain?): " << missing;
    }
};

// Child-side set-up: own APP_NAME and gateway, loader in place, manager started.
struct GoChild {
    GoChild()
        : app(testsupport::UniqueName("GoLoader")),
          gw((setenv("APP_NAME", app.c_str(), 1), ScriptableGateway::PathForApp(app))) {}
    GoModuleMgt* Open() {
        EXPECT_EQ(gw.Start(), 0);
        EXPECT_TRUE(gotest::PreloadLoader());
        return GoModuleMgt::getInstance();
    }
    std::string ClientId(const std::string& name) { return name + "||1.0||" + std::to_string(getpid()); }

    std::string app;
    ScriptableGateway gw;
};

}  // namespace

TEST_F(GoLoaderTest, ModulePullsAndAnswersThroughTheGateway) {
    RunInChildWithLog([](LogReader&) {
        GoChild c;
        GoModuleMgt* mgt = c.Open();
        ASSERT_NE(mgt, nullptr);
        ASSERT_EQ(mgt->LoadModule(ModulePojo("hello", "1.0", gotest::HelloLocation(), "GO", "")), 0);

        auto pull = c.gw.WaitForFrame("pullreq", 10s);
        ASSERT_TRUE(pull);
        EXPECT_EQ(pull->parts, (Parts{"pullreq", c.ClientId("hello")}));
        ASSERT_TRUE(c.gw.Reply(pull->conn, {"message", "hello", "17",
                                            gotest::RequestJson("/hello/greet", "GET", "", R"({"name":"Ann"})")}));
        auto resp = c.gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->parts, (Parts{"responsereq", c.ClientId("hello"), "17", "200", "Hello, Ann! (hello 1.0)", ""}));
        // Responses go on a connection of their own; the pull connection asks for the next request.
        EXPECT_NE(resp->conn, pull->conn);
        auto next = c.gw.WaitForFrame("pullreq", 10s);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->conn, pull->conn);

        // Lengths are counted: a body with CR LF in it arrives whole.
        ASSERT_TRUE(c.gw.Reply(next->conn, {"message", "hello", "18",
                                            gotest::RequestJson("/hello", "POST", "a\\r\\nb", "{}")}));
        resp = c.gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->parts[2], "18");
        EXPECT_EQ(resp->parts[4], "Hello, world! You sent 4 bytes. (hello 1.0)");

        // A request text without "Header" is refused with 500, not left unanswered.
        next = c.gw.WaitForFrame("pullreq", 10s);
        ASSERT_TRUE(next);
        ASSERT_TRUE(c.gw.Reply(next->conn, {"message", "hello", "19",
                                            R"({"ReqUrl":"/h","Method":"GET","ReqBody":"","ReqQuery":{}})"}));
        resp = c.gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->parts[2], "19");
        EXPECT_EQ(resp->parts[3], "500");

        // The gateway goes away and comes back: the module pulls again on a new connection.
        ASSERT_TRUE(c.gw.WaitForFrame("pullreq", 10s));
        ASSERT_EQ(c.gw.Restart(), 0);
        next = c.gw.WaitForFrame("pullreq", 15s);
        ASSERT_TRUE(next);
        EXPECT_NE(next->conn, pull->conn);
        EXPECT_TRUE(c.gw.Reply(next->conn, {"message", "hello", "20",
                                            gotest::RequestJson("/hello", "GET", "", R"({"name":"Bo"})")}));
        resp = c.gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->parts, (Parts{"responsereq", c.ClientId("hello"), "20", "200", "Hello, Bo! (hello 1.0)", ""}));
        EXPECT_TRUE(c.gw.BadInputs().empty());
    });
}

TEST_F(GoLoaderTest, UnloadedModuleCountsUntilItsRequestsAreAnswered) {
    RunInChildWithLog([](LogReader&) {
        testsupport::TempDir dir("gogate");
        GoChild c;
        GoModuleMgt* mgt = c.Open();
        ASSERT_NE(mgt, nullptr);
        EXPECT_TRUE(mgt->Stopped()) << "nothing loaded yet";
        ModulePojo gate("gate", "1.0", gotest::GateLocation(), "GO", "");
        ASSERT_EQ(mgt->LoadModule(gate), 0);
        EXPECT_FALSE(mgt->Stopped());

        auto pull = c.gw.WaitForFrame("pullreq", 10s);
        ASSERT_TRUE(pull);
        const std::string gateFile = dir / "open";
        ASSERT_TRUE(c.gw.Reply(pull->conn, {"message", "gate", "r1",
                                            gotest::RequestJson("/gate/x", "GET", "", "{\"gate\":\"" + gateFile + "\"}",
                                                                R"({"X-Test":["a","b"],"Skip":[]})")}));
        // The next pull shows the request was taken.
        ASSERT_TRUE(c.gw.WaitForFrame("pullreq", 10s));

        EXPECT_EQ(mgt->UnLoadModule(gate), 0);
        // It stops pulling at once: its pull connection goes.
        EXPECT_TRUE(WaitFor([&] {
            for (int id : c.gw.OpenConnections()) {
                if (id == pull->conn) return false;
            }
            return true;
        }, 10s));
        EXPECT_FALSE(mgt->Stopped()) << "a request is still in flight";
        EXPECT_TRUE(c.gw.FramesOf("responsereq").empty());

        testsupport::WriteFile(gateFile, "");
        auto resp = c.gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->parts, (Parts{"responsereq", c.ClientId("gate"), "r1", "200", "opened GET /gate/x a b", ""}));
        EXPECT_TRUE(WaitFor([&] { return mgt->Stopped(); }, 10s));

        // Unloading a module the loader does not know still counts as done.
        EXPECT_EQ(mgt->UnLoadModule(ModulePojo("nosuch", "1.0", "", "GO", "")), 0);
        // Loaded again, it serves again.
        ASSERT_EQ(mgt->LoadModule(gate), 0);
        auto again = c.gw.WaitForFrame("pullreq", 10s);
        ASSERT_TRUE(again);
        EXPECT_NE(again->conn, pull->conn);
        // A module that panics answers 500 and the loader lives on.
        ASSERT_TRUE(c.gw.Reply(again->conn, {"message", "gate", "r2",
                                             gotest::RequestJson("/gate", "GET", "", R"({"panic":"1"})")}));
        resp = c.gw.WaitForFrame("responsereq", 10s);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->parts[2], "r2");
        EXPECT_EQ(resp->parts[3], "500");
    });
}

TEST_F(GoLoaderTest, StopEndsEveryModuleAndRefusesNewOnes) {
    RunInChildWithLog([](LogReader& log) {
        testsupport::TempDir dir("gogate");
        GoChild c;
        GoModuleMgt* mgt = c.Open();
        ASSERT_NE(mgt, nullptr);
        // No plugin at the location: a failure the worker sees.
        EXPECT_NE(mgt->LoadModule(ModulePojo("hello", "1.0", dir.path(), "GO", "")), 0);
        EXPECT_TRUE(mgt->Stopped());

        ASSERT_EQ(mgt->LoadModule(ModulePojo("hello", "1.0", gotest::HelloLocation(), "GO", "")), 0);
        ASSERT_EQ(mgt->LoadModule(ModulePojo("gate", "1.0", gotest::GateLocation(), "GO", "")), 0);
        ASSERT_TRUE(c.gw.WaitForFrameCount("pullreq", 2, 10s));
        std::optional<ScriptableGateway::Frame> gatePull;
        for (const auto& f : c.gw.FramesOf("pullreq")) {
            if (f.parts.size() == 2 && f.parts[1] == c.ClientId("gate")) gatePull = f;
        }
        ASSERT_TRUE(gatePull);
        const std::string gateFile = dir / "open";
        ASSERT_TRUE(c.gw.Reply(gatePull->conn, {"message", "gate", "r1",
                                                gotest::RequestJson("/g", "GET", "", "{\"gate\":\"" + gateFile + "\"}")}));
        ASSERT_TRUE(c.gw.WaitForFrameCount("pullreq", 3, 10s));

        mgt->Stop();
        EXPECT_EQ(log.CountNew("[GoModuleMgt::Stop]: result 0"), 1u);
        EXPECT_FALSE(mgt->Stopped()) << "the gate request is still in flight";
        EXPECT_NE(mgt->LoadModule(ModulePojo("hello", "2.0", gotest::HelloLocation(), "GO", "")), 0);

        testsupport::WriteFile(gateFile, "");
        ASSERT_TRUE(c.gw.WaitForFrame("responsereq", 10s));
        EXPECT_TRUE(WaitFor([&] { return mgt->Stopped(); }, 10s));
        EXPECT_GE(log.CountNew("module not stopped num:0"), 1u);
    });
}

TEST_F(GoLoaderTest, ASocketOfAnotherUserAtTheGatewayPathGetsNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    RunInChildWithLog([](LogReader&) {
        GoChild c;
        {
            testsupport::StrangerListener stranger;
            ASSERT_TRUE(stranger.Start(ScriptableGateway::PathForApp(c.app)));
            ASSERT_TRUE(gotest::PreloadLoader());
            GoModuleMgt* mgt = GoModuleMgt::getInstance();
            ASSERT_EQ(mgt->LoadModule(ModulePojo("hello", "1.0", gotest::HelloLocation(), "GO", "")), 0);
            // A pull would arrive within milliseconds; give it ample time not to.
            EXPECT_FALSE(testsupport::WaitFor([&] { return !stranger.Received().empty(); }, 2s))
                << stranger.Received();
        }
        // Our own gateway at the path: the module keeps trying and pulls from it.
        ASSERT_EQ(c.gw.Start(), 0);
        EXPECT_TRUE(c.gw.WaitForFrame("pullreq", 20s));
    });
}
