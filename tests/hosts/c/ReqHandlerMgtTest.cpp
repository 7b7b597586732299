// The dispatcher, the handler pool and the reply connection with real C modules and a scripted
// gateway, each test in a child of its own (process-wide singletons, a wake flag never cleared):
// the answers, the counts of requests in flight, an unreachable gateway, a wake, the pool's width,
// one resend across a gateway restart, concurrent senders.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
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

bool Drained() {
    return WaitFor([] { return ReqHandlerMgt::getInstance()->InFlight() == 0; }, WAIT) &&
           ReqHandlerMgt::getInstance()->QueueEmpty();
}

// Status and body of every reply by request id.
std::map<std::string, std::string> Replies(testsupport::ScriptableGateway& gw) {
    std::map<std::string, std::string> out;
    for (const auto& f : gw.FramesOf("responsereq")) out[f.parts.at(2)] = f.parts.at(3) + " " + f.parts.at(4);
    return out;
}

TEST(ReqHandlerMgt, AnswersEveryKindOfRequestAndReleasesItsCounts) {
    RunInChildWithLog([](LogReader&) {
        Harness h("ReqAll");
        Load("calc");
        Load("nullresult");
        h.Mgt()->AddModule(Module("slow"));  // registered, never loaded
        Queue("calc", "ok", {{"x", "40"}, {"y", "2"}});
        Queue("calc", "badkeys", {{"a", "1"}, {"a.b", "2"}});
        Queue("nullresult", "null");
        Queue("nope", "unknown");
        Queue("slow", "notloaded");
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", 5, WAIT));
        EXPECT_EQ(Replies(h.gw),
                  (std::map<std::string, std::string>{{"ok", "200 42"},
                                                      {"badkeys", "500 "},
                                                      {"null", "200 "},
                                                      {"unknown", "500 can't find RequestFP"},
                                                      {"notloaded", "500 can't find RequestFP"}}));
        EXPECT_TRUE(Drained());
        EXPECT_EQ(RefCount("calc") + RefCount("nullresult"), 0);
        EXPECT_EQ(RefCount("slow"), 1);  // never ran: keeps what its receiver counted
    });
}

TEST(ReqHandlerMgt, UnreachableGatewayKeepsTheRequestQueuedUntilItComesBack) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("ReqRetry");
        h.gw.Stop();
        ReqHandlerMgt::SetRetryPause(20ms);
        Load("calc");
        Queue("calc", "waits", {{"x", "2"}, {"y", "3"}});
        // Several attempts fail; the request is neither answered nor lost meanwhile.
        ASSERT_TRUE(WaitFor([&] { return log.Count("connectGateway fail") >= 3; }, WAIT));
        EXPECT_EQ(ReqHandlerMgt::getInstance()->InFlight(), 1u);
        ASSERT_EQ(h.gw.Start(), 0);
        EXPECT_EQ(h.NextResponse(), Response("calc", "waits", "200", "5"));
        EXPECT_TRUE(Drained());
        EXPECT_EQ(h.gw.FramesOf("responsereq").size(), 1u);
    });
}

TEST(ReqHandlerMgt, WakeWithTheGatewayGoneDropsQueuedRequestsInsteadOfHanging) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("ReqDrop");
        h.gw.Stop();
        ReqHandlerMgt::SetRetryPause(60s);  // far beyond the deadlines: the wake has to cut it short
        Load("calc");
        Queue("calc", "a");
        Queue("calc", "b");
        ASSERT_TRUE(WaitFor([&] { return log.Count("connectGateway fail") >= 1; }, WAIT));
        ReqHandlerMgt::getInstance()->Wake();
        EXPECT_TRUE(Drained());
        EXPECT_EQ(RefCount("calc"), 0);
    });
}

TEST(ReqHandlerMgt, SixteenRequestsRunAtOnceAndTheSeventeenthWaitsForAFreeThread) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("ReqPool");
        Load("slow");
        // Sixteen long calls, then a short one: with sixteen threads the short one can only start
        // once a long one has ended, whatever the machine's speed.
        for (int i = 0; i < 16; ++i) Queue("slow", std::to_string(i), {{"ms", "1000"}});
        Queue("slow", "last");
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", 17, 30s));
        size_t startedBeforeFirstEnd = 0;
        for (const auto& line : log.Lines()) {
            if (line.find("],RequestHandler::execFunc cost ms:") != std::string::npos) break;
            startedBeforeFirstEnd += line.find("],RequestHandler slow:1.0[") != std::string::npos;
        }
        EXPECT_EQ(startedBeforeFirstEnd, 16u);
        EXPECT_EQ(Replies(h.gw)["last"], "200 slept 0");
    });
}

Parts Reply(const std::string& id, const std::string& body) {
    return {"responsereq", "calc||1.0||1", id, "200", body, ""};
}

TEST(RequestReply, GatewayRestartIsBridgedByOneResendAndAGoneGatewayFailsTheReply) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("Reply");
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);
        ASSERT_EQ(reply->ReturnToGW(Serialize(Reply("1", "first"))), 0);
        EXPECT_EQ(h.NextResponse(), Reply("1", "first"));

        h.gw.Stop();
        ASSERT_EQ(h.gw.Start(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("2", "second"))), 0);
        EXPECT_EQ(h.NextResponse(), Reply("2", "second"));
        EXPECT_EQ(log.Count("sendTo fails, retry:Broken pipe"), 1u);

        h.gw.Stop();
        EXPECT_NE(reply->ReturnToGW(Serialize(Reply("3", "lost"))), 0);
        EXPECT_NE(reply->ConnectToGW(), 0);
        ASSERT_EQ(h.gw.Start(), 0);
        EXPECT_EQ(reply->ConnectToGW(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("4", "back"))), 0);
        EXPECT_EQ(h.NextResponse(), Reply("4", "back"));
    });
}

// Bodies far larger than one socket write: unserialised senders would interleave chunks.
TEST(RequestReply, ConcurrentRepliesArriveAsWholeFrames) {
    RunInChildWithLog([](LogReader&) {
        Harness h("ReplyConc");
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);
        std::atomic<int> ready{0}, failures{0};
        std::vector<std::thread> senders;
        for (char t = 0; t < 4; ++t) {
            senders.emplace_back([&, t] {
                for (++ready; ready.load() < 4;) std::this_thread::yield();
                for (int i = 0; i < 3; ++i)
                    failures += reply->ReturnToGW(
                        Serialize(Reply(std::string(1, 'a' + t), std::string(300000, 'a' + t))));
            });
        }
        for (auto& s : senders) s.join();
        EXPECT_EQ(failures.load(), 0);
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", 12, WAIT));
        for (const auto& f : h.gw.FramesOf("responsereq"))
            EXPECT_EQ(f.parts.at(4), std::string(300000, f.parts.at(2)[0]));
    });
}

}  // namespace
