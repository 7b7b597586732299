// The dispatcher, the handler pool and the reply connection with real C modules and a scripted
// gateway, each test in a child of its own (process-wide singletons, a wake flag never cleared).
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CModuleHarness.h"
#include "hosts/c/ReqHandlerMgt.h"
#include "hosts/c/RequestReply.h"
#include "support/LogLines.h"

namespace {

using namespace std::chrono_literals;
using namespace cmodtest;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;
using testsupport::WaitFor;

// Registers and loads a sample module without a receiver: the tests queue requests themselves.
void Load(const std::string& name) {
    CModuleMgt::getInstance()->AddModule(Module(name));
    ASSERT_EQ(CModuleMgt::getInstance()->LoadCModuleLib(Module(name)), 0);
}

// Counted against its module as the receiver does, and queued.
void Queue(const std::string& module, const std::string& id, std::map<std::string, std::string> query = {}) {
    RequestPojo r;
    r.reqUrl = "/" + module, r.method = "GET", r.moduleName = module, r.version = "1.0", r.requestId = id;
    r.reqQuery = std::move(query);
    CModuleMgt::getInstance()->IncreRef(ModuleKey(module, "1.0"));
    ReqHandlerMgt::getInstance()->addToMsgQueue(r);
}

int32_t RefCount(const std::string& module) {
    ModuleHandler h;
    EXPECT_TRUE(CModuleMgt::getInstance()->FindModule(ModuleKey(module, "1.0"), h));
    return h.refCount;
}

// Status and body of every reply by request id.
std::map<std::string, std::string> Replies(testsupport::ScriptableGateway& gw) {
    std::map<std::string, std::string> out;
    for (const auto& f : gw.FramesOf("responsereq")) out[f.parts.at(2)] = f.parts.at(3) + " " + f.parts.at(4);
    return out;
}

TEST(ReqHandlerMgt, KeepsRequestsWhileTheGatewayIsAwayAnswersEveryKindSharesTheHandlersAndDropsOnAWake) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("ReqAll");
        h.gw.Stop();
        ReqHandlerMgt::SetRetryPause(20ms);
        Load("calc");
        Load("nullresult");
        Load("slow");
        h.Mgt()->AddModule(Module("echo"));  // registered, never loaded
        const std::tuple<std::string, std::string, std::map<std::string, std::string>, std::string> cases[] =
            {{"calc", "ok", {{"x", "40"}, {"y", "2"}}, "200 42"},
             {"calc", "badkeys", {{"a", "1"}, {"a.b", "2"}}, "500 "},
             {"nullresult", "null", {}, "200 "},
             {"nope", "unknown", {}, "500 can't find RequestFP"},
             {"echo", "notloaded", {}, "500 can't find RequestFP"}};
        for (const auto& [module, id, query, reply] : cases) Queue(module, id, query);
        // Several attempts fail; the requests are neither answered nor lost meanwhile.
        ASSERT_TRUE(WaitFor([&] { return log.Count("connectGateway fail") >= 3; }, WAIT));
        EXPECT_EQ(ReqHandlerMgt::getInstance()->InFlight(), 5u);
        ASSERT_EQ(h.gw.Start(), 0);
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", 5, WAIT));
        for (const auto& [module, id, query, reply] : cases) EXPECT_EQ(Replies(h.gw)[id], reply) << id;
        EXPECT_TRUE(WaitFor([] { return ReqHandlerMgt::getInstance()->InFlight() == 0; }, WAIT));
        EXPECT_EQ(RefCount("calc") + RefCount("nullresult"), 0);
        EXPECT_EQ(RefCount("echo"), 1);  // never ran: keeps what its receiver counted

        // A module whose calls are all long holds twelve of the sixteen handlers, never all: a
        // neighbour's request is answered meanwhile, and the thirteenth long call starts only once
        // one of the twelve has ended.
        const auto started = [&] { return log.Count("],RequestHandler slow:1.0["); };
        for (int i = 0; i < 13; ++i) Queue("slow", std::to_string(i), {{"ms", "1500"}});
        ASSERT_TRUE(WaitFor([&] { return started() == 12; }, WAIT));
        Queue("calc", "neighbour", {{"x", "1"}, {"y", "2"}});
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", 5 + 1, WAIT));
        EXPECT_EQ(Replies(h.gw)["neighbour"], "200 3");
        EXPECT_EQ(h.gw.FramesOf("responsereq").size(), 6u);  // no long call has ended yet
        EXPECT_EQ(started(), 12u);
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", 6 + 13, 30s));
        EXPECT_EQ(started(), 13u);
        EXPECT_EQ(Replies(h.gw)["12"], "200 slept 1500");
        EXPECT_EQ(h.gw.FramesOf("responsereq").size(), 6u + 13u);  // none twice

        // The gateway goes: the reply in hand fails after one resend, the next request waits for the
        // gateway, and a wake drops it instead of hanging; either way the counts are released.
        h.gw.Stop();
        ReqHandlerMgt::SetRetryPause(60s);  // far beyond the deadlines: the wake has to cut it short
        const size_t fails = log.Count("connectGateway fail");
        Queue("calc", "lost");
        ASSERT_TRUE(WaitFor([&] { return log.Count("reconnect fails") == 1; }, WAIT));
        Queue("calc", "dropped");
        ASSERT_TRUE(WaitFor([&] { return log.Count("connectGateway fail") > fails; }, WAIT));
        ReqHandlerMgt::getInstance()->Wake();
        EXPECT_TRUE(WaitFor([] { return ReqHandlerMgt::getInstance()->InFlight() == 0; }, WAIT));
        EXPECT_TRUE(ReqHandlerMgt::getInstance()->QueueEmpty());
        EXPECT_EQ(RefCount("calc"), 0);
    });
}

Parts Reply(const std::string& id, const std::string& body) {
    return {"responsereq", "calc||1.0||1", id, "200", body, ""};
}

// Replies of all handlers share one connection. Bodies far larger than one socket write: unserialised
// senders would interleave chunks.
TEST(RequestReply, ConcurrentRepliesArriveWholeAndAGatewayRestartIsBridgedByOneResend) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("Reply");
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);
        std::atomic<int> ready{0}, failures{0};
        std::vector<std::thread> senders;
        for (char t = 0; t < 4; ++t) {
            senders.emplace_back([&, t] {
                for (++ready; ready.load() < 4;) std::this_thread::yield();
                for (int i = 0; i < 3; ++i)
                    failures += reply->ReturnToGW(Serialize(
                                    Reply(std::string(1, 'a' + t), std::string(300000, 'a' + t)))) != 0;
            });
        }
        for (auto& s : senders) s.join();
        EXPECT_EQ(failures.load(), 0);
        for (int i = 0; i < 12; ++i) {
            auto f = h.gw.WaitForFrame("responsereq", WAIT);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->parts.at(4), std::string(300000, f->parts.at(2)[0]));
        }

        h.gw.Stop();
        ASSERT_EQ(h.gw.Start(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("2", "second"))), 0);
        EXPECT_EQ(h.NextResponse(), Reply("2", "second"));
        EXPECT_EQ(log.Count("sendTo fails, retry:Broken pipe"), 1u);
        // Gone: the reply fails, and so does a connect until the gateway is back.
        h.gw.Stop();
        EXPECT_NE(reply->ReturnToGW(Serialize(Reply("3", "lost"))), 0);
        EXPECT_NE(reply->ConnectToGW(), 0);
        ASSERT_EQ(h.gw.Start(), 0);
        EXPECT_EQ(reply->ConnectToGW(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("4", "back"))), 0);
        EXPECT_EQ(h.NextResponse(), Reply("4", "back"));
    });
}

}  // namespace
