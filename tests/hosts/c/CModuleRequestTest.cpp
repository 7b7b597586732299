// The pull cycle of a C module's request receiver against a scripted gateway, each scenario in a
// fresh child process with the worker's real C module manager: requests round-trip through the
// module, bad input never stops the cycle, and drain, stop and reconnect behave.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include <boost/asio/post.hpp>

#include "CModuleHarness.h"
#include "base/ProcessFlags.h"
#include "proto/GatewayProtocol.h"
#include "worker/ReqReceiverMgt.h"
#include "support/LogReader.h"
#include "support/TestSupport.h"

namespace {

using cmodtest::ClientIdOf;
using cmodtest::Harness;
using cmodtest::Message;
using cmodtest::Module;
using cmodtest::RequestText;
using cmodtest::WaitLog;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;
using Parts = testsupport::ScriptableGateway::Parts;

TEST(CModuleRequest, CalcRequestsRoundTripAndEachIsFollowedByTheNextPull) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodCalc");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        auto pull = h.NextPull();
        ASSERT_TRUE(pull);
        EXPECT_EQ(pull->parts, (Parts{"pullreq", ClientIdOf("calc")}));
        EXPECT_EQ(pull->raw, Serialize({"pullreq", ClientIdOf("calc")}));

        ASSERT_TRUE(h.Gateway().Reply(pull->conn, Message("17", RequestText("/calc/add", "GET", "", {{"x", "5"}, {"y", "7"}}))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "17", "200", "12", ""}));

        auto next = h.NextPull();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->conn, pull->conn);
        ASSERT_TRUE(h.Gateway().Reply(next->conn, Message("req-2", RequestText("/calc/add", "POST", "1+2"))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "req-2", "200", "3", ""}));
        // Responses travel on the reply connection, never on the pull connection.
        for (const auto& f : h.Gateway().FramesOf("responsereq")) {
            EXPECT_NE(f.conn, pull->conn);
        }
        EXPECT_TRUE(WaitLog(log, "CModuleRequestReceiver::parseRequest, tag-17"));
    });
}

TEST(CModuleRequest, ValuesWithLineBreaksAndLinesLongerThanOneReadArriveWhole) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodEcho");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("echo")), 0);

        // Line breaks inside the request id and between the JSON members: lengths are counted.
        const std::string id = "id\r\nwith\nbreaks";
        const std::string text = "{\"ReqUrl\":\"/e\",\r\n\"Method\":\"POST\",\n\"ReqBody\":\"a\\nb\","
                                 "\"ReqQuery\":{},\"Header\":{}}";
        ASSERT_TRUE(h.Answer(Message(id, text)));
        Parts resp = h.NextResponse();
        ASSERT_EQ(resp.size(), 6u);
        EXPECT_EQ(resp[2], id);
        EXPECT_EQ(resp[3], "200");
        EXPECT_EQ(resp[4], "{\"reqUrl\":\"\\/e\",\"method\":\"POST\",\"reqBody\":\"a\\nb\",\"moduleName\":\"echo\","
                           "\"version\":\"1.0\"}\n");

        // A 15000-byte element takes two reads of the line reader.
        const std::string big(15000, 'b');
        ASSERT_TRUE(h.Answer(Message("big", RequestText("/e", "POST", big))));
        resp = h.NextResponse();
        ASSERT_EQ(resp.size(), 6u);
        EXPECT_EQ(resp[2], "big");
        EXPECT_NE(resp[4].find("\"reqBody\":\"" + big + "\""), std::string::npos);
        EXPECT_EQ(log.CountNew("reach max msg"), 1u);
        EXPECT_EQ(log.CountNew("msg trunc, 1024010240"), 1u);
    });
}

TEST(CModuleRequest, BadMessagesAreDroppedWithTheirLogLineAndTheNextPullFollows) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodBad");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        const std::string noHeader = "{\"ReqUrl\":\"/\",\"Method\":\"GET\",\"ReqBody\":\"\",\"ReqQuery\":{}}";
        struct Case {
            std::string bytes;
            std::string line;
        };
        const Case cases[] = {
            {"$0\r\n", "parseOneMsg fail,-1"},
            {"$-1\r\n", "parseOneMsg fail,-1"},
            {"*x\r\n", "parseOneMsg fail,-1"},
            {"*1\r\n$0\r\n", "parseOneMsg fail,-1"},
            {"*2\r\n$-1\r\n", "parseOneMsg fail,-1"},
            {Serialize({"message", "t", "1"}), "CModuleRequestReceiver::parseRequest input param error"},
            {Serialize({"hello", "t", "2", "{}"}), "cmd not okhello"},
            {Serialize(Message("3", "not json")), "parse requestStr fail,"},
            {Serialize(Message("4", noHeader)), "parse requestStr fail,"},
        };
        size_t parseFailures = 0;
        for (const Case& c : cases) {
            size_t before = log.CountNew(c.line);
            ASSERT_TRUE(h.AnswerRaw(c.bytes)) << c.bytes;
            EXPECT_TRUE(WaitLog(log, c.line, before + 1)) << c.bytes;
            if (c.line.find("parseOneMsg") == std::string::npos) {
                ++parseFailures;
                EXPECT_TRUE(WaitLog(log, "parseRequest fail,-1", parseFailures)) << c.bytes;
            }
        }
        // Still pulling, and nothing of the bad input reached the module.
        ASSERT_TRUE(h.Answer(Message("good", RequestText("/calc", "POST", "40+2"))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "good", "200", "42", ""}));
        EXPECT_EQ(h.Gateway().FramesOf("responsereq").size(), 1u);
        // One pull at the start, one after each bad message and one after the good one.
        EXPECT_TRUE(h.Gateway().WaitForFrameCount("pullreq", std::size(cases) + 2, cmodtest::WAIT));
        EXPECT_EQ(h.Gateway().FramesOf("pullreq").size(), std::size(cases) + 2);
    });
}

TEST(CModuleRequest, AfterSetNotReceiveTheNextMessageIsStillHandledButNoPullFollows) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodDrain");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        auto pull = h.NextPull();
        ASSERT_TRUE(pull);
        ReqReceiverMgt::getInstance().SetNotReceiveNewRequest(ModuleKey("calc", "1.0"));
        EXPECT_TRUE(ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"))->IsNotReceiving());

        ASSERT_TRUE(h.Gateway().Reply(pull->conn, Message("last", RequestText("/calc", "POST", "2+2"))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "last", "200", "4", ""}));
        ASSERT_TRUE(WaitLog(log, "not start, exiting status:0"));
        EXPECT_EQ(h.Gateway().FramesOf("pullreq").size(), 1u);
    });
}

TEST(CModuleRequest, ReconnectDropsTheConnectionAndPullsOnANewOne) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodReconn");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        auto first = h.NextPull();
        ASSERT_TRUE(first);

        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        auto second = h.NextPull();
        ASSERT_TRUE(second);
        EXPECT_NE(second->conn, first->conn);
        EXPECT_TRUE(testsupport::WaitFor(
            [&] {
                for (auto c : h.Gateway().OpenConnections()) {
                    if (c == first->conn) return false;
                }
                return true;
            },
            cmodtest::WAIT));
        EXPECT_EQ(log.CountNew("reconnect"), 1u);

        ASSERT_TRUE(h.Gateway().Reply(second->conn, Message("r", RequestText("/calc", "POST", "1+1"))));
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "r", "200", "2", ""}));

        // A message that has arrived but is not read yet when the reconnect runs (the loop is held
        // up meanwhile) is answered, not dropped with the connection.
        auto third = h.NextPull();
        ASSERT_TRUE(third);
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        boost::asio::post(CModuleMgt::IoContext(), [released] { released.wait(); });
        ASSERT_TRUE(h.Gateway().Reply(third->conn, Message("late", RequestText("/calc", "POST", "2+3"))));
        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        release.set_value();
        EXPECT_EQ(h.NextResponse(), (Parts{"responsereq", ClientIdOf("calc"), "late", "200", "5", ""}));

        // During a graceful quit the connection is left alone.
        workerExiting = 1;
        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        EXPECT_EQ(log.CountNew("reconnect, exiting status:1"), 1u);
        workerExiting = 0;
    });
}

TEST(CModuleRequest, ConnectFailureStopsTheReceiverAndReconnectDoesNotRestartThePulls) {
    RunInChildWithLog([](LogReader& log) {
        Harness h("CmodNoGw");
        h.Gateway().Stop();
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        ASSERT_TRUE(WaitLog(log, "connect fail,"));
        auto receiver = ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"));
        ASSERT_TRUE(receiver);
        EXPECT_TRUE(testsupport::WaitFor([&] { return receiver->IsNotReceiving(); }, cmodtest::WAIT));

        ASSERT_EQ(h.Gateway().Start(), 0);
        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        ASSERT_TRUE(WaitLog(log, "onConnect"));
        ASSERT_TRUE(WaitLog(log, "not start, exiting status:0"));
        EXPECT_TRUE(h.Gateway().FramesOf("pullreq").empty());
    });
}

TEST(CModuleRequest, GatewayPathTooLongForASocketAddressFailsTheStart) {
    RunInChildWithLog([](LogReader& log) {
        testsupport::ScopedEnv app("APP_NAME", std::string(120, 'x'));
        CModuleMgt* mgt = CModuleMgt::getInstance();
        EXPECT_NE(mgt->LoadModule(Module("calc")), 0);
        EXPECT_EQ(log.CountNew("requestreceiver start fail, calc:1.0"), 1u);
        EXPECT_EQ(log.CountNew("gateway path too long"), 1u);
    });
}

}  // namespace
