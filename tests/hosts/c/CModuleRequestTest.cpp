// A C module's request receiver against a scripted gateway, each scenario in a child of its own
// with the worker's real C module manager.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "CModuleHarness.h"
#include "net/UDSClient.h"
#include "support/LogLines.h"
#include "worker/ReqReceiverMgt.h"

namespace {

using namespace std::chrono_literals;
using namespace cmodtest;
using testsupport::LogReader;
using testsupport::RunInChildWithLog;

std::string Add(const std::string& id, const std::string& x, const std::string& y) {
    return Serialize(Message(id, RequestText("/calc/add", "", {{"x", x}, {"y", y}})));
}

TEST(CModuleRequest, MessagesArriveWholeWhateverTheirReadsAndEachIsFollowedByAPull) {
    RunInChildWithLog([](LogReader&) {
        Harness h("CmodFraming");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("echo")), 0);
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        auto p1 = h.gw.WaitForFrame("pullreq", WAIT), p2 = h.gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(p1 && p2);
        if (p1->parts[1] != ClientIdOf("echo")) std::swap(p1, p2);
        EXPECT_EQ(p1->raw, Serialize({"pullreq", ClientIdOf("echo")}));

        // Line breaks inside the id and the JSON (lengths are counted), and an element longer
        // than one read.
        const std::string id = "id\r\nwith\nbreaks", big(15000, 'b');
        ASSERT_TRUE(h.gw.Reply(p1->conn, Message(id,
                                                 "{\"ReqUrl\":\"/e\",\r\n\"Method\":\"POST\",\n\"ReqBody\":"
                                                 "\"a\\nb\",\"ReqQuery\":{},\"Header\":{}}")));
        EXPECT_EQ(h.NextResponse(), Response("echo", id, "200",
                                             "{\"reqUrl\":\"\\/e\",\"method\":\"POST\",\"reqBody\":"
                                             "\"a\\nb\",\"moduleName\":\"echo\",\"version\":\"1.0\"}\n"));
        ASSERT_TRUE(h.Answer(Serialize(Message("big", RequestText("/e", big)))));
        EXPECT_NE(h.NextResponse().at(4).find("\"reqBody\":\"" + big + "\""), std::string::npos);

        // Two messages in one write: both answered, each followed by its own pull on the same
        // connection; replies never travel on the pull connection.
        ASSERT_TRUE(h.gw.SendRaw(p2->conn, Add("first", "1", "2") + Add("second", "30", "4")));
        EXPECT_EQ((std::set<Parts>{h.NextResponse(), h.NextResponse()}),
                  (std::set<Parts>{Response("calc", "first", "200", "3"),
                                   Response("calc", "second", "200", "34")}));
        ASSERT_TRUE(h.gw.WaitForFrameCount("pullreq", 6, WAIT));
        for (const auto& f : h.gw.FramesOf("pullreq"))
            EXPECT_EQ(f.parts[1], ClientIdOf(f.conn == p2->conn ? "calc" : "echo"));
        for (const auto& f : h.gw.FramesOf("responsereq"))
            EXPECT_TRUE(f.conn != p1->conn && f.conn != p2->conn);
    });
}

TEST(CModuleRequest, BadMessagesAreDroppedAndPullsGoOnUntilTheReceiverIsToldToStopTakingRequests) {
    RunInChildWithLog([](LogReader&) {
        Harness h("CmodBad");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        // Not a frame, too few elements, an unknown command, no JSON, no Header.
        const std::string bad[] = {
            "*x\r\n", Serialize({"message", "t", "1"}), Serialize({"hello", "t", "2", "{}"}),
            Serialize(Message("3", "not json")),
            Serialize(Message("4", R"({"ReqUrl":"/","Method":"GET","ReqBody":"","ReqQuery":{}})"))};
        for (const std::string& bytes : bad) ASSERT_TRUE(h.Answer(bytes)) << bytes;
        ASSERT_TRUE(h.Answer(Serialize(Message("good", RequestText("/calc", "40+2")))));
        EXPECT_EQ(h.NextResponse(), Response("calc", "good", "200", "42"));
        // Told to stop taking requests: the message of the pull still out is answered, no pull follows.
        auto pull = h.gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(pull);
        ReqReceiverMgt::getInstance().SetNotReceiveNewRequest(ModuleKey("calc", "1.0"));
        ASSERT_TRUE(h.gw.Reply(pull->conn, Message("last", RequestText("/calc", "2+2"))));
        EXPECT_EQ(h.NextResponse(), Response("calc", "last", "200", "4"));
        EXPECT_FALSE(h.gw.WaitForFrameCount("pullreq", std::size(bad) + 3, 300ms));
        EXPECT_EQ(h.gw.FramesOf("responsereq").size(), 2u);
    });
}

TEST(CModuleRequest, ReconnectPullsOnANewConnectionAndAnswersAMessageAlreadyDelivered) {
    RunInChildWithLog([](LogReader&) {
        Harness h("CmodReconn");
        ASSERT_EQ(h.Mgt()->LoadModule(Module("calc")), 0);
        auto first = h.gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(first);
        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        auto second = h.gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(second && second->conn != first->conn);
        EXPECT_TRUE(h.Closed(first->conn));
        ASSERT_TRUE(h.gw.Reply(second->conn, Message("r", RequestText("/calc", "1+1"))));
        EXPECT_EQ(h.NextResponse(), Response("calc", "r", "200", "2"));
        second = h.gw.WaitForFrame("pullreq", WAIT);
        ASSERT_TRUE(second);

        // The message arrives while the loop is held up and is not read yet when the reconnect
        // comes: it is answered, not dropped with the connection.
        std::promise<void> release;
        boost::asio::post(CModuleMgt::IoContext(),
                          [released = release.get_future().share()] { released.wait(); });
        ASSERT_TRUE(h.gw.Reply(second->conn, Message("late", RequestText("/calc", "2+3"))));
        ReqReceiverMgt::getInstance().ReconnectRequestReceiver(ModuleKey("calc", "1.0"));
        release.set_value();
        EXPECT_EQ(h.NextResponse(), Response("calc", "late", "200", "5"));
    });
}

// A socket of another user at the gateway's path is not our gateway unless container.json names
// that user as trustedGatewayUser.
TEST(UntrustedGateway, NothingIsSentToASocketOfAnotherUserUnlessItIsTheTrustedGatewayUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    RunInChildWithLog([](LogReader&) {
        testsupport::TempDir home("vessel-stranger");
        testsupport::ScopedEnv vesselHome("VESSEL_HOME", home.path()),
            app("APP_NAME", testsupport::UniqueName("CmodStranger"));
        // A squatter at the gateway's path: a socket set listening by a thread that alone is nobody.
        const std::string path = GetGatewayPath();
        std::shared_ptr<void> unlinked(nullptr, [&](void*) { unlink(path.c_str()); });
        int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        bool listening = false;
        std::thread([&] {
            sockaddr_un addr{AF_UNIX, {}};
            path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
            listening = syscall(SYS_setresgid, 65534, 65534, 65534) == 0 &&
                        syscall(SYS_setresuid, 65534, 65534, 65534) == 0 &&
                        bind(squatter, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                        listen(squatter, 16) == 0;
        }).join();
        ASSERT_TRUE(listening);
        testsupport::WriteContainerConfig(home.path(), R"({"trustedGatewayUser": "daemon"})");
        ASSERT_EQ(CModuleMgt::getInstance()->LoadModule(Module("calc")), 0);
        auto receiver = ReqReceiverMgt::getInstance().Find(ModuleKey("calc", "1.0"));
        EXPECT_TRUE(testsupport::WaitFor([&] { return receiver && receiver->IsNotReceiving(); }, WAIT));
        UDSClient client;
        EXPECT_EQ(client.Connect(path, PeerTrust::Gateway), EACCES);
        char byte;
        int taken = 0;
        for (int c; (c = accept4(squatter, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; ++taken)
            EXPECT_LE(recv(c, &byte, 1, 0), 0) << "the squatter was sent something";
        EXPECT_GE(taken, 2) << "the reply connection and the receiver's";

        testsupport::WriteContainerConfig(home.path(), R"({"trustedGatewayUser": "nobody"})");
        EXPECT_EQ(client.Connect(path, PeerTrust::Gateway), 0);
        UDSClient channel;
        EXPECT_EQ(channel.Connect(path), EACCES);
    });
}

}  // namespace
