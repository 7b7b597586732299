// The dispatcher and the handler pool with real C modules and a scriptable gateway: what the
// gateway gets back, retries while it is away, shutdown, and the width of the pool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/LogCfg.h"
#include "base/ProcessFlags.h"
#include "hosts/c/ReqHandlerMgt.h"
#include "support/LogReader.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"
#include "hosts/c/CModuleMgt.h"
#include "model/ModulePojo.h"

namespace {

using namespace std::chrono_literals;
using testsupport::LogReader;
using testsupport::ScopedEnv;
using testsupport::ScriptableGateway;
using testsupport::WaitFor;

ModulePojo Module(const std::string& name) {
    return ModulePojo(name, "1.0", std::string(VESSEL_BINARY_DIR) + "/examples/c-modules/" + name, "C_MODULE", "");
}

// Registers and loads a sample module without a receiver: the tests queue requests themselves.
void Load(const std::string& name) {
    ModulePojo m = Module(name);
    ASSERT_EQ(access(m.LibFilePath().c_str(), R_OK), 0) << m.LibFilePath() << " missing: build target " << name;
    CModuleMgt::getInstance()->AddModule(m);
    ASSERT_EQ(CModuleMgt::getInstance()->LoadCModuleLib(m), 0);
}

RequestPojo Request(const std::string& module, const std::string& id, std::map<std::string, std::string> query = {}) {
    RequestPojo r;
    r.reqUrl = "/" + module;
    r.method = "GET";
    r.moduleName = module;
    r.version = "1.0";
    r.requestId = id;
    r.reqQuery = std::move(query);
    return r;
}

int32_t RefCount(const std::string& module) {
    ModuleHandler h;
    EXPECT_TRUE(CModuleMgt::getInstance()->FindModule(ModuleKey(module, "1.0"), h));
    return h.refCount;
}

// The replies by request id: status and body.
std::map<std::string, std::pair<std::string, std::string>> Replies(const ScriptableGateway& gw) {
    std::map<std::string, std::pair<std::string, std::string>> out;
    for (const auto& f : gw.FramesOf("responsereq")) {
        EXPECT_EQ(f.parts.size(), 6u);
        EXPECT_EQ(f.parts[1], f.parts[1].substr(0, f.parts[1].rfind("||")) + "||" + std::to_string(getpid()));
        out[f.parts[2]] = {f.parts[3], f.parts[4]};
    }
    return out;
}

// Every test runs in its own child: the managers are process-wide singletons, the wake flag is
// never cleared, and workerExiting is a process flag.
class ReqHandlerMgtTest : public testing::Test {
protected:
    void InChild(const std::function<void(LogReader&, ScriptableGateway&)>& body, bool gatewayUp = true) {
        testsupport::RunInChildWithLog([&](LogReader& log) {
            std::string app = testsupport::UniqueName("reqhandler");
            ScopedEnv env("APP_NAME", app);
            ScriptableGateway gw(ScriptableGateway::PathForApp(app));
            if (gatewayUp) {
                ASSERT_EQ(gw.Start(), 0);
            }
            body(log, gw);
        });
    }
};

TEST_F(ReqHandlerMgtTest, AnswersEveryKindOfRequestAndReleasesItsCounts) {
    InChild([](LogReader&, ScriptableGateway& gw) {
        Load("calc");
        Load("nullresult");
        CModuleMgt::getInstance()->AddModule(Module("slow"));  // registered, never loaded
        CModuleMgt* mgt = CModuleMgt::getInstance();
        ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();

        std::vector<RequestPojo> requests{
            Request("calc", "ok", {{"x", "40"}, {"y", "2"}}),
            Request("calc", "badkeys", {{"a", "1"}, {"a.b", "2"}}),
            Request("nullresult", "null"),
            Request("nope", "unknown"),
            Request("slow", "notloaded"),
        };
        for (const auto& r : requests) {
            mgt->IncreRef(ModuleKey(r.moduleName, r.version));
            handlers->addToMsgQueue(r);
        }
        ASSERT_TRUE(gw.WaitForFrameCount("responsereq", requests.size(), 10s));
        auto replies = Replies(gw);
        EXPECT_EQ(replies["ok"], std::make_pair(std::string("200"), std::string("42")));
        EXPECT_EQ(replies["badkeys"], std::make_pair(std::string("500"), std::string()));
        EXPECT_EQ(replies["null"], std::make_pair(std::string("200"), std::string()));
        EXPECT_EQ(replies["unknown"], std::make_pair(std::string("500"), std::string("can't find RequestFP")));
        EXPECT_EQ(replies["notloaded"], std::make_pair(std::string("500"), std::string("can't find RequestFP")));

        EXPECT_TRUE(WaitFor([&] { return handlers->InFlight() == 0; }, 5s));
        EXPECT_TRUE(handlers->QueueEmpty());
        EXPECT_EQ(RefCount("calc"), 0);
        EXPECT_EQ(RefCount("nullresult"), 0);
        EXPECT_EQ(RefCount("slow"), 1);  // a module that never ran keeps what its receiver counted
    });
}

TEST_F(ReqHandlerMgtTest, UnreachableGatewayKeepsTheRequestQueuedUntilItComesBack) {
    InChild(
        [](LogReader& log, ScriptableGateway& gw) {
            ReqHandlerMgt::SetRetryPause(20ms);
            Load("calc");
            ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
            log.Mark();
            handlers->addToMsgQueue(Request("calc", "waits", {{"x", "2"}, {"y", "3"}}));

            // Several attempts fail, and the request is neither answered nor lost meanwhile.
            ASSERT_TRUE(WaitFor([&] { return log.CountNew("connectGateway fail") >= 3; }, 10s));
            EXPECT_EQ(handlers->InFlight(), 1u);
            EXPECT_EQ(log.CountNew("next calc:1.0"), 0u);

            ASSERT_EQ(gw.Start(), 0);
            ASSERT_TRUE(gw.WaitForFrameCount("responsereq", 1, 10s));
            EXPECT_EQ(Replies(gw)["waits"], std::make_pair(std::string("200"), std::string("5")));
            EXPECT_EQ(log.CountNew("next calc:1.0"), 1u);
            EXPECT_TRUE(WaitFor([&] { return handlers->InFlight() == 0; }, 5s));
        },
        false);
}

TEST_F(ReqHandlerMgtTest, WakeWithNothingQueuedEndsTheDispatcher) {
    InChild([](LogReader& log, ScriptableGateway& gw) {
        ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
        CModuleMgt::getInstance();
        // One request through first: once its "next" line is out, the dispatcher's only way on
        // is back to waiting on the empty queue.
        log.Mark();
        handlers->addToMsgQueue(Request("nope", "1"));
        ASSERT_TRUE(gw.WaitForFrameCount("responsereq", 1, 10s));
        ASSERT_TRUE(WaitFor([&] { return log.CountNew("next nope:1.0") == 1; }, 5s));
        ASSERT_TRUE(WaitFor([&] { return handlers->InFlight() == 0; }, 5s));

        log.Mark();
        handlers->Wake();
        ASSERT_TRUE(WaitFor([&] { return log.CountNew("handler exist ") == 1; }, 5s));
        auto lines = log.NewLines();
        std::vector<std::string> seen;
        for (const auto& l : lines) {
            if (l.file == "ReqHandlerMgt.cpp") {
                seen.push_back(l.message);
            }
        }
        EXPECT_EQ(seen, (std::vector<std::string>{"force wake up :", "handler exist 1:0"}));

        // The flag stays: nothing is dispatched any more.
        handlers->addToMsgQueue(Request("nope", "2"));
        EXPECT_FALSE(gw.WaitForFrameCount("responsereq", 2, 300ms));
        EXPECT_FALSE(handlers->QueueEmpty());
    });
}

TEST_F(ReqHandlerMgtTest, GracefulQuitStillDispatchesWhatIsQueuedThenEnds) {
    InChild([](LogReader& log, ScriptableGateway& gw) {
        Load("calc");
        ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
        handlers->addToMsgQueue(Request("calc", "before", {{"x", "1"}, {"y", "1"}}));
        ASSERT_TRUE(gw.WaitForFrameCount("responsereq", 1, 10s));

        log.Mark();
        workerExiting = 1;
        handlers->addToMsgQueue(Request("calc", "during", {{"x", "2"}, {"y", "2"}}));
        ASSERT_TRUE(gw.WaitForFrameCount("responsereq", 2, 10s));
        EXPECT_EQ(Replies(gw)["during"], std::make_pair(std::string("200"), std::string("4")));
        ASSERT_TRUE(WaitFor([&] { return log.CountNew("handler exist 0:1") == 1; }, 5s));
        EXPECT_EQ(log.CountNew("force wake up"), 0u);
    });
}

TEST_F(ReqHandlerMgtTest, StoppingWithTheGatewayGoneDropsQueuedRequestsInsteadOfHanging) {
    InChild(
        [](LogReader& log, ScriptableGateway&) {
            // A pause far beyond the deadlines below: the wake has to cut it short.
            ReqHandlerMgt::SetRetryPause(60s);
            Load("calc");
            CModuleMgt* mgt = CModuleMgt::getInstance();
            ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
            log.Mark();
            for (const char* id : {"a", "b"}) {
                mgt->IncreRef(ModuleKey("calc", "1.0"));
                handlers->addToMsgQueue(Request("calc", id));
            }
            ASSERT_TRUE(WaitFor([&] { return log.CountNew("connectGateway fail") >= 1; }, 10s));

            handlers->Wake();
            ASSERT_TRUE(WaitFor([&] { return log.CountNew("handler exist 1:0") == 1; }, 10s));
            EXPECT_EQ(log.CountNew("drop request, gateway unreachable, calc:1.0"), 2u);
            EXPECT_EQ(handlers->InFlight(), 0u);
            EXPECT_TRUE(handlers->QueueEmpty());
            EXPECT_EQ(RefCount("calc"), 0);
        },
        false);
}

TEST_F(ReqHandlerMgtTest, SixteenRequestsRunAtOnceAndTheSeventeenthWaitsForAFreeThread) {
    InChild([](LogReader& log, ScriptableGateway& gw) {
        Load("slow");
        ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
        log.Mark();
        // Sixteen long calls, then a short one: with sixteen threads the short one can only start
        // once a long one has ended, whatever the machine's speed.
        for (int i = 0; i < 16; ++i) {
            handlers->addToMsgQueue(Request("slow", std::to_string(i), {{"ms", "1000"}}));
        }
        handlers->addToMsgQueue(Request("slow", "last", {{"ms", "0"}}));
        ASSERT_TRUE(gw.WaitForFrameCount("responsereq", 17, 30s));

        size_t startedBeforeFirstEnd = 0;
        for (const auto& line : log.NewLines()) {
            if (line.message.find("RequestHandler::execFunc cost ms:") == 0) {
                break;
            }
            if (line.message == "RequestHandler slow:1.0") {
                ++startedBeforeFirstEnd;
            }
        }
        EXPECT_EQ(startedBeforeFirstEnd, ReqHandlerMgt::POOL_THREADS);
        auto replies = Replies(gw);
        EXPECT_EQ(replies["last"], std::make_pair(std::string("200"), std::string("slept 0")));
        EXPECT_EQ(replies["15"], std::make_pair(std::string("200"), std::string("slept 1000")));
    });
}

}  // namespace
