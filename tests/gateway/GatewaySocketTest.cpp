// The real vessel-gateway binary, with the test playing Vessel's side of the gateway socket
// (master pollers, pull and reply connections, worker processes that end) and HTTP clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "DescriptorLimit.h"
#include "hosts/c/RequestPojo.h"
#include "support/GatewayProcess.h"
#include "support/HttpTestClient.h"
#include "support/UdsTestPeer.h"

using namespace std::chrono_literals;
using Parts = std::vector<std::string>;
using testsupport::WaitFor;

namespace {

const char* CONFIG =
    "{\n  \"Modules\": [\n"
    "    {\"Name\": \"calc\", \"Version\": \"1.0\", \"Location\": \"/m/calc\", \"Type\": \"C_MODULE\"},\n"
    "    {\"Name\": \"echo\", \"Version\": \"2\", \"Location\": \"/m/echo\", \"Type\": \"C_MODULE\"}\n  "
    "]\n}\n";
const std::string ME = "calc||1.0||4242";

// Pulls once; the "message" it got (empty when none came).
Parts Take(UdsTestPeer& pull) {
    Parts parts;
    if (!pull.Send({"pullreq", ME}) || !pull.Receive(parts, 5s) || parts.size() != 4 || parts[0] != "message")
        return {};
    return parts;
}
std::string UrlOf(const Parts& message) {
    RequestPojo pojo;
    std::string err;
    return message.size() == 4 && pojo.ParseGatewayRequest(message[3], err) ? pojo.reqUrl : "";
}
bool Answer(UdsTestPeer& replier, const Parts& message, const std::string& body,
            const std::string& status = "200") {
    return message.size() == 4 && replier.Send({"responsereq", ME, message[2], status, body, ""});
}

class GatewaySocketTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(gw_.Start(CONFIG, args)) << gw_.Log();
        ASSERT_TRUE(pull_.Connect(gw_.SocketPath()) && replier_.Connect(gw_.SocketPath()));
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "gateway log:\n" << gw_.Log();
        EXPECT_EQ(gw_.Stop(), 0);
        EXPECT_NE(access(gw_.SocketPath().c_str(), F_OK), 0) << "socket file left behind";
    }
    std::unique_ptr<HttpTestClient> Send(const std::string& method, const std::string& target,
                                         const std::string& body = "", const std::string& headers = "") {
        auto client = std::make_unique<HttpTestClient>();
        EXPECT_TRUE(client->Connect(gw_.Port()) && client->SendRequest(method, target, body, headers));
        return client;
    }
    // A forked worker process running body on a pull connection of its own; exits with its result.
    void Fork(testsupport::ChildProcess& worker, const std::function<int(UdsTestPeer&)>& body) {
        ASSERT_TRUE(worker.Fork([&] {
            UdsTestPeer pull;
            return pull.Connect(gw_.SocketPath()) ? body(pull) : 10;
        }));
    }

    GatewayProcess gw_;
    UdsTestPeer pull_, replier_;
};

TEST_F(GatewaySocketTest, ConfigurationAndDemandsGoToTheMasterAndRequestsThroughPullAndAnswer) {
    Start({"--config-poll", "0.05"});
    UdsTestPeer master, demands;
    ASSERT_TRUE(master.Connect(gw_.SocketPath()) && demands.Connect(gw_.SocketPath()));
    Parts parts;
    ASSERT_TRUE(master.Send({"pullappcfg", "container"}) && master.Receive(parts, 5s));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].find('\n'), std::string::npos) << "one line, as the master's reader needs";
    EXPECT_NE(parts[1].find("\"Location\":\"/m/calc\""), std::string::npos) << parts[1];
    ASSERT_TRUE(master.Send({"pullappcfgchg", "container"}) && demands.Send({"pullmodloadreq", "container"}));
    EXPECT_TRUE(master.Silent(200ms) && demands.Silent(10ms)) << "a held pull was answered without cause";

    auto client = Send("GET", "/calc/add?x=1&y=2");
    ASSERT_TRUE(demands.Receive(parts, 5s));
    EXPECT_EQ(parts, (Parts{"pullmodloadrsp", "calc||1.0"}));
    Parts message = Take(pull_);
    EXPECT_EQ(UrlOf(message), "/calc/add");
    ASSERT_TRUE(Answer(replier_, message, "3"));
    HttpTestResponse response = client->Read();
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "3");
    EXPECT_EQ(response.headers["content-type"], "text/plain; charset=utf-8");
    // A worker's failure goes through with its text; a POST body arrives whole; keep-alive holds.
    ASSERT_TRUE(client->SendRequest("POST", "/calc/div", "1\n\"2\""));
    message = Take(pull_);
    EXPECT_NE(message.at(3).find("\"ReqBody\":\"1\\n\\\"2\\\"\""), std::string::npos) << message[3];
    ASSERT_TRUE(Answer(replier_, message, "division by zero", "500"));
    response = client->Read();
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body, "division by zero");

    testsupport::WriteFile(
        gw_.ConfigPath(),
        "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"2.0\",\"Location\":\"/n\",\"Type\":\"C_MODULE\"}]}");
    ASSERT_TRUE(master.Receive(parts, 5s));
    EXPECT_NE(parts.at(1).find("\"Version\":\"2.0\""), std::string::npos) << parts[1];
    // A broken file is not passed on; the previous configuration stays in force.
    ASSERT_TRUE(master.Send({"pullappcfgchg", "container"}));
    testsupport::WriteFile(gw_.ConfigPath(), "{\"Modules\":[{\"Name\":");
    EXPECT_TRUE(WaitFor([&] { return gw_.Log().find("not loaded") != std::string::npos; }, 5s));
    EXPECT_TRUE(master.Silent(100ms));
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/echo/x").status, 404);  // echo left with 2.0
}

TEST_F(GatewaySocketTest, RefusesWhatNoModuleCanServeAndClosesOnlyAfterBrokenRequests) {
    Start({"--max-body", "16"});
    struct Case {
        std::string bytes;
        int status;
        bool closes;
    };
    const std::string post = "POST /echo/x HTTP/1.1\r\nHost: x\r\nContent-Length: ";
    const std::vector<Case> cases{{"GET /nosuch/x HTTP/1.1\r\nHost: x\r\n\r\n", 404, false},
                                  {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 404, false},
                                  {post + "2\r\n\r\n\xff\xfe", 400, false},  // not text a module can be given
                                  {post + "17\r\n\r\n" + std::string(17, 'a'), 413, true},
                                  {post + "abc\r\n\r\n", 400, true},
                                  {"THIS IS NOT HTTP\r\n\r\n", 400, true}};
    for (const Case& c : cases) {
        HttpTestClient client;
        ASSERT_TRUE(client.Connect(gw_.Port()) && client.Send(c.bytes));
        EXPECT_EQ(client.Read().status, c.status) << c.bytes;
        EXPECT_EQ(client.ClosedByServer(c.closes ? 5s : 100ms), c.closes) << c.bytes;
    }
}

TEST_F(GatewaySocketTest, TimedOutAndUnreadRequestsNeverReachTheWrongWorker) {
    Start({"--request-timeout", "1"});
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/calc/nobody").status, 504);  // queued, nobody pulls
    auto client = Send("GET", "/calc/wanted");
    Parts message = Take(pull_);
    EXPECT_EQ(UrlOf(message), "/calc/wanted");
    ASSERT_TRUE(Answer(replier_, message, "yes"));
    EXPECT_EQ(client->Read().body, "yes");

    // Handed out, answered too late: 504, the late answer dropped, and the connection carries on.
    ASSERT_TRUE(client->SendRequest("GET", "/calc/slow"));
    Parts slow = Take(pull_);
    EXPECT_EQ(client->Read().status, 504);
    ASSERT_TRUE(Answer(replier_, slow, "too late") && client->SendRequest("GET", "/calc/fast"));
    message = Take(pull_);
    EXPECT_EQ(UrlOf(message), "/calc/fast");
    ASSERT_TRUE(Answer(replier_, message, "ok"));
    EXPECT_EQ(client->Read().body, "ok");

    // A worker closed with the message unread, as a killed worker does: the next puller gets it.
    ASSERT_TRUE(pull_.Send({"pullreq", ME}));
    client = Send("GET", "/calc/once");
    ASSERT_TRUE(pull_.HasData(5s));
    pull_.Close();
    UdsTestPeer next;
    ASSERT_TRUE(next.Connect(gw_.SocketPath()));
    message = Take(next);
    EXPECT_EQ(UrlOf(message), "/calc/once");
    ASSERT_TRUE(Answer(replier_, message, "once"));
    EXPECT_EQ(client->Read().body, "once");
}

// A worker's requests belong to its process: once it ended, what it took is answered 502 at once
// (a GET goes once more to the next worker); while it lives, a reconnect changes nothing.
TEST_F(GatewaySocketTest, RequestsOfAnEndedWorkerAre502AtOnceOrSentOnceMoreWhenIdempotent) {
    Start();
    testsupport::ChildProcess worker;  // takes three and dies holding a fourth pull
    Fork(worker, [](UdsTestPeer& pull) -> int {
        _exit(!Take(pull).empty() && !Take(pull).empty() && !Take(pull).empty() && pull.Send({"pullreq", ME})
                  ? 0
                  : 1);
    });
    auto first = Send("POST", "/calc/one", "x"), second = Send("POST", "/calc/two", "x"),
         retried = Send("GET", "/calc/again");
    ASSERT_EQ(worker.Wait(15s), 0);
    for (auto* client : {first.get(), second.get()}) {
        HttpTestResponse response = client->Read(5s);
        EXPECT_EQ(response.status, 502);
        EXPECT_NE(response.body.find("ended before answering"), std::string::npos) << response.body;
    }
    EXPECT_EQ(retried->Read(300ms).status, 0) << "the GET was failed, not kept for the next worker";
    Parts message = Take(pull_);
    EXPECT_EQ(UrlOf(message), "/calc/again");
    ASSERT_TRUE(Answer(replier_, message, "again"));
    EXPECT_EQ(retried->Read(5s).body, "again");

    // Taken before a reconnect, the worker then ends holding its new connection, or none at all
    // (then only the periodic check notices).
    for (bool holdNew : {true, false}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const std::string path = gw_.SocketPath();
        testsupport::ChildProcess reconnecting;
        Fork(reconnecting, [&](UdsTestPeer& pull) {
            UdsTestPeer renewed;
            bool ok = !Take(pull).empty();
            pull.Close();
            ok = ok && (!holdNew || (renewed.Connect(path) && renewed.Send({"pullreq", ME})));
            return ok && write(ready[1], "r", 1) == 1 ? (pause(), 0) : 1;
        });
        close(ready[1]);
        auto orphan = Send("POST", "/calc/orphan", "x");
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1) << "the fake worker took nothing";
        close(ready[0]);
        EXPECT_EQ(orphan->Read(300ms).status, 0) << "answered while its worker is alive";
        reconnecting.Kill(SIGKILL);
        EXPECT_EQ(orphan->Read(5s).status, 502) << (holdNew ? "with a new connection" : "with none");
    }
}

// A client that pipelines and never reads (a small receive buffer, so one large answer fills what
// the kernels hold) has only a few of its requests taken up: the rest stay unread in the kernel.
TEST_F(GatewaySocketTest, AClientThatNeverReadsHasOnlyAFewRequestsHandedOut) {
    Start();
    int fd = socket(AF_INET, SOCK_STREAM, 0), small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(gw_.Port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::string pipelined;
    for (int i = 0; i < 40; ++i) pipelined += "GET /calc/big HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(fd, pipelined.data(), pipelined.size(), MSG_NOSIGNAL), ssize_t(pipelined.size()));
    int handed = 0;
    for (Parts m; pull_.Send({"pullreq", ME}) && pull_.Receive(m, 1s); ++handed) {
        ASSERT_TRUE(Answer(replier_, m, std::string(4 << 20, 'a')));
    }
    EXPECT_GE(handed, 1);
    EXPECT_LE(handed, 12) << "of 40 pipelined requests";
    close(fd);
}

TEST_F(GatewaySocketTest, PeersOfAnotherUserAreRefusedUnlessTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    // As user nobody: 0 when the gateway answers a configuration pull, 1 when it hangs up.
    auto pullAsNobody = [](const std::string& path) {
        testsupport::ChildProcess child;
        child.Fork([&]() {
            UdsTestPeer peer;
            Parts parts;
            if (setgid(65534) != 0 || setuid(65534) != 0 || !peer.Connect(path)) return 10;
            peer.Send({"pullappcfg", "container"});
            return peer.Receive(parts, 5s) && parts[0] == "appcfg" ? 0 : peer.ClosedByGateway(5s) ? 1 : 2;
        });
        int status = child.Wait(20s);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    Start({"--socket-mode", "0666"});
    EXPECT_EQ(pullAsNobody(gw_.SocketPath()), 1);
    GatewayProcess trusting;
    ASSERT_TRUE(trusting.Start(CONFIG, {"--socket-mode", "0666", "--trusted-user", "nobody"}))
        << trusting.Log();
    EXPECT_EQ(pullAsNobody(trusting.SocketPath()), 0);
    EXPECT_EQ(trusting.Stop(), 0);
}

// Descriptors run short (a hard limit of 64): HTTP connections beyond the cap, the default one for
// that limit or one given, are refused, so idle keep-alive clients cannot leave a worker none.
TEST(GatewayConnectionCap, ConnectionsBeyondTheCapAreRefusedAndAWorkerStillConnects) {
    const size_t limit = 64;
    for (size_t cap : {DescriptorLimit::DefaultMaxConnections(limit), size_t{5}}) {
        testsupport::TempDir dir("gwcap");
        testsupport::WriteFile(dir / "gateway.json", CONFIG);
        const int port = GatewayProcess::FreePort();
        const std::string socketPath = "/tmp/udsgateway-" + testsupport::UniqueName("cap");
        std::vector<std::string> argv{"/bin/sh",
                                      "-c",
                                      "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
                                      GatewayProcess::BinaryPath(),
                                      "--listen",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--socket",
                                      socketPath,
                                      "--config",
                                      dir / "gateway.json"};
        if (cap == 5) argv.insert(argv.end(), {"--max-connections", "5"});
        testsupport::ChildProcess gateway;
        ASSERT_TRUE(gateway.Exec(argv, {}, dir / "log"));
        std::vector<std::unique_ptr<HttpTestClient>> admitted;
        auto tryOne = [&] {  // the status a new connection gets; kept open when admitted
            auto client = std::make_unique<HttpTestClient>();
            int status =
                client->Connect(port) && client->SendRequest("GET", "/nosuch") ? client->Read(5s).status : 0;
            if (status == 404) admitted.push_back(std::move(client));
            return status;
        };
        ASSERT_TRUE(WaitFor([&] { return tryOne() == 404; }, 10s)) << testsupport::ReadFile(dir / "log");
        for (size_t i = 1; i < limit + 16; ++i) {
            int status = tryOne();
            EXPECT_TRUE(status == 404 || status == 503 || status == 0) << status;
        }
        EXPECT_EQ(admitted.size(), cap);
        UdsTestPeer pull, replier;
        ASSERT_TRUE(pull.Connect(socketPath) && replier.Connect(socketPath));
        ASSERT_TRUE(admitted[0]->SendRequest("GET", "/calc/after"));
        ASSERT_TRUE(Answer(replier, Take(pull), "served"));
        EXPECT_EQ(admitted[0]->Read().body, "served");
        gateway.Kill(SIGTERM);
        EXPECT_EQ(gateway.Wait(10s), 0);
    }
}

}  // namespace
