// The real vessel-gateway binary, with the test playing Vessel's side of the gateway socket
// (master pollers, a module's pull connection, a worker's reply connection) and HTTP clients.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DescriptorLimit.h"
#include "support/GatewayProcess.h"
#include "support/HttpTestClient.h"
#include "support/UdsTestPeer.h"
#include "hosts/c/RequestPojo.h"

using namespace std::chrono_literals;
using Parts = std::vector<std::string>;

namespace {

// Sanitizer allocators hold on to freed memory for a while, so resident size says little there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool PLAIN_ALLOCATOR = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool PLAIN_ALLOCATOR = false;
#else
constexpr bool PLAIN_ALLOCATOR = true;
#endif
#else
constexpr bool PLAIN_ALLOCATOR = true;
#endif

const char* CONFIG =
    "{\n  \"Modules\": [\n"
    "    {\"Name\": \"calc\", \"Version\": \"1.0\", \"Location\": \"/m/calc\", \"Type\": \"C_MODULE\"},\n"
    "    {\"Name\": \"echo\", \"Version\": \"2\", \"Location\": \"/m/echo\", \"Type\": \"C_MODULE\"}\n  ]\n}\n";

class GatewaySocketTest : public ::testing::Test {
protected:
    void StartGateway(const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(gw_.Start(CONFIG, args)) << gw_.Log();
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "gateway log:\n" << gw_.Log();
        }
        EXPECT_EQ(gw_.Stop(), 0);
        struct stat st;
        EXPECT_NE(lstat(gw_.SocketPath().c_str(), &st), 0) << "socket file left behind";
    }
    // A module's pull connection that has sent "pullreq" for calc 1.0.
    void Pull(UdsTestPeer& puller, const std::string& clientId = "calc||1.0||4242") {
        if (!puller.Send({"pullreq", clientId})) {
            ADD_FAILURE() << "pullreq not sent";
        }
    }
    // Reads one "message" and returns the request the worker would see.
    RequestPojo ReceiveMessage(UdsTestPeer& puller, std::string& requestId) {
        Parts parts;
        RequestPojo pojo;
        if (!puller.Receive(parts, 5s) || parts.size() != 4 || parts[0] != "message") {
            ADD_FAILURE() << "no message for the puller";
            return pojo;
        }
        EXPECT_EQ(parts[1], "calc");
        requestId = parts[2];
        std::string err;
        EXPECT_TRUE(pojo.ParseGatewayRequest(parts[3], err)) << err;
        return pojo;
    }
    void Reply(const std::string& requestId, const std::string& status, const std::string& body) {
        if (!replier_.Send({"responsereq", "calc||1.0||4242", requestId, status, body, ""})) {
            ADD_FAILURE() << "responsereq not sent";
        }
    }

    GatewayProcess gw_;
    UdsTestPeer replier_;
};

TEST_F(GatewaySocketTest, AnswersConfigPullsAtOnceAndChangePullsWhenTheFileChanges) {
    StartGateway({"--config-poll", "0.05"});
    UdsTestPeer master;
    ASSERT_TRUE(master.Connect(gw_.SocketPath()));
    ASSERT_TRUE(master.Send({"pullappcfg", "container"}));
    Parts parts;
    ASSERT_TRUE(master.Receive(parts, 5s));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], "appcfg");
    // One line, as the master's reader needs, with the modules as written.
    EXPECT_EQ(parts[1].find('\n'), std::string::npos);
    EXPECT_NE(parts[1].find("\"Location\":\"/m/calc\""), std::string::npos) << parts[1];

    ASSERT_TRUE(master.Send({"pullappcfgchg", "container"}));
    EXPECT_TRUE(master.Silent(300ms)) << "a change pull was answered without a change";
    testsupport::WriteFile(gw_.ConfigPath(),
                           "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"2.0\",\"Location\":\"/n\",\"Type\":\"C_MODULE\"}]}");
    ASSERT_TRUE(master.Receive(parts, 5s));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], "appcfg");
    EXPECT_NE(parts[1].find("\"Version\":\"2.0\""), std::string::npos) << parts[1];

    // A broken file is not passed on; the previous configuration stays in force.
    ASSERT_TRUE(master.Send({"pullappcfgchg", "container"}));
    testsupport::WriteFile(gw_.ConfigPath(), "{\"Modules\":[{\"Name\":");
    EXPECT_TRUE(testsupport::WaitFor([&]() { return gw_.Log().find("not loaded") != std::string::npos; }, 5s));
    EXPECT_TRUE(master.Silent(100ms));
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/echo/x").status, 404);  // echo left with 2.0
}

TEST_F(GatewaySocketTest, DemandsAnUnpulledModuleThenRoutesThroughPullAndResponse) {
    StartGateway();
    UdsTestPeer demands;
    ASSERT_TRUE(demands.Connect(gw_.SocketPath()));
    ASSERT_TRUE(demands.Send({"pullmodloadreq", "container"}));
    EXPECT_TRUE(demands.Silent(200ms));

    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("GET", "/calc/add?x=1&y=2", "", "X-Test: a\r\nX-Test: b\r\n"));
    Parts parts;
    ASSERT_TRUE(demands.Receive(parts, 5s));
    EXPECT_EQ(parts, (Parts{"pullmodloadrsp", "calc||1.0"}));

    UdsTestPeer puller;
    ASSERT_TRUE(puller.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    Pull(puller);
    std::string id;
    RequestPojo request = ReceiveMessage(puller, id);
    EXPECT_EQ(request.reqUrl, "/calc/add");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.reqQuery, (std::map<std::string, std::string>{{"x", "1"}, {"y", "2"}}));
    EXPECT_EQ(request.header["X-Test"], "a b");
    Reply(id, "200", "3");
    HttpTestResponse response = client.Read();
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "3");
    EXPECT_EQ(response.headers["content-type"], "text/plain; charset=utf-8");

    // A worker's failure status goes through with its text; a POST body arrives whole.
    Pull(puller);
    ASSERT_TRUE(client.SendRequest("POST", "/calc/div", "1\n\"2\""));
    request = ReceiveMessage(puller, id);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.reqBody, "1\n\"2\"");
    Reply(id, "500", "division by zero");
    response = client.Read();
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body, "division by zero");
}

TEST_F(GatewaySocketTest, KeepAliveServesSeveralRequestsOnOneConnectionAndSpreadsThemOverPullers) {
    StartGateway({"--threads", "2"});  // pullers and client on different event loops
    UdsTestPeer a, b;
    ASSERT_TRUE(a.Connect(gw_.SocketPath()));
    ASSERT_TRUE(b.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    Pull(a, "calc||1.0||1");
    Pull(b, "calc||1.0||2");
    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    // The two pulls reach different event loops, so either may be first in line; each gets
    // exactly one of the two requests.
    int served[2] = {0, 0};
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(client.SendRequest("GET", "/calc/n?i=" + std::to_string(round)));
        Parts parts;
        int which = -1;
        ASSERT_TRUE(testsupport::WaitFor(
            [&]() {
                for (int i = 0; i < 2 && which < 0; ++i) {
                    if ((i == 0 ? a : b).Receive(parts, 10ms)) {
                        which = i;
                    }
                }
                return which >= 0;
            },
            5s));
        ++served[which];
        ASSERT_EQ(parts.size(), 4u);
        RequestPojo request;
        std::string err;
        ASSERT_TRUE(request.ParseGatewayRequest(parts[3], err)) << err;
        EXPECT_EQ(request.reqQuery["i"], std::to_string(round));
        Reply(parts[2], "200", "r" + std::to_string(round));
        HttpTestResponse response = client.Read();
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "r" + std::to_string(round));
    }
    EXPECT_EQ(served[0], 1);
    EXPECT_EQ(served[1], 1);
    EXPECT_FALSE(client.ClosedByServer(100ms));
}

TEST_F(GatewaySocketTest, RefusesUnknownModulesLargeBodiesAndMalformedRequests) {
    StartGateway({"--max-body", "16"});
    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("GET", "/nosuch/x"));
    EXPECT_EQ(client.Read().status, 404);
    ASSERT_TRUE(client.SendRequest("GET", "/"));
    EXPECT_EQ(client.Read().status, 404);  // still the same connection
    ASSERT_TRUE(client.SendRequest("POST", "/echo/x", "\xff\xfe"));
    EXPECT_EQ(client.Read().status, 400);  // not text a module can be given

    HttpTestClient big;
    ASSERT_TRUE(big.Connect(gw_.Port()));
    ASSERT_TRUE(big.SendRequest("POST", "/echo/x", std::string(17, 'a')));
    EXPECT_EQ(big.Read().status, 413);
    EXPECT_TRUE(big.ClosedByServer(5s));

    HttpTestClient bad;
    ASSERT_TRUE(bad.Connect(gw_.Port()));
    ASSERT_TRUE(bad.Send("THIS IS NOT HTTP\r\n\r\n"));
    EXPECT_EQ(bad.Read().status, 400);
    EXPECT_TRUE(bad.ClosedByServer(5s));

    HttpTestClient badLength;
    ASSERT_TRUE(badLength.Connect(gw_.Port()));
    ASSERT_TRUE(badLength.Send("POST /echo/x HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n"));
    EXPECT_EQ(badLength.Read().status, 400);
    EXPECT_TRUE(badLength.ClosedByServer(5s));
}

TEST_F(GatewaySocketTest, TimesOutWith504AndDiscardsTheLateAnswer) {
    StartGateway({"--request-timeout", "0.3"});
    // Queued with nobody pulling.
    HttpTestResponse response = HttpTestClient::Get(gw_.Port(), "/calc/x");
    EXPECT_EQ(response.status, 504);

    // Handed out, but the worker answers too late.
    UdsTestPeer puller;
    ASSERT_TRUE(puller.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("GET", "/calc/slow"));
    Pull(puller);
    std::string id;
    ReceiveMessage(puller, id);
    EXPECT_EQ(client.Read().status, 504);
    Reply(id, "200", "too late");

    // The connection and the gateway carry on.
    Pull(puller);
    ASSERT_TRUE(client.SendRequest("GET", "/calc/fast"));
    std::string id2;
    EXPECT_EQ(ReceiveMessage(puller, id2).reqUrl, "/calc/fast");
    EXPECT_NE(id2, id);
    Reply(id2, "200", "ok");
    response = client.Read();
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "ok");
}

TEST_F(GatewaySocketTest, AClientThatLeavesHasItsRequestDropped) {
    StartGateway();
    {
        HttpTestClient leaver;
        ASSERT_TRUE(leaver.Connect(gw_.Port()));
        ASSERT_TRUE(leaver.SendRequest("GET", "/calc/abandoned"));
        // A round trip on another connection lets the gateway see the request first.
        EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/nosuch").status, 404);
    }
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/nosuch").status, 404);  // and the hang-up
    HttpTestClient stayer;
    ASSERT_TRUE(stayer.Connect(gw_.Port()));
    ASSERT_TRUE(stayer.SendRequest("GET", "/calc/wanted"));
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/nosuch").status, 404);

    UdsTestPeer puller;
    ASSERT_TRUE(puller.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    Pull(puller);
    std::string id;
    EXPECT_EQ(ReceiveMessage(puller, id).reqUrl, "/calc/wanted");
    Reply(id, "200", "yes");
    EXPECT_EQ(stayer.Read().body, "yes");
}

TEST_F(GatewaySocketTest, ARequestAWorkerNeverReadIsGivenToTheNextPuller) {
    StartGateway();
    UdsTestPeer dying;
    ASSERT_TRUE(dying.Connect(gw_.SocketPath()));
    Pull(dying);
    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("GET", "/calc/once"));
    ASSERT_TRUE(dying.HasData(5s));
    dying.Close();  // closed with the message unread, as a killed worker does

    UdsTestPeer next;
    ASSERT_TRUE(next.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    Pull(next);
    std::string id;
    EXPECT_EQ(ReceiveMessage(next, id).reqUrl, "/calc/once");
    Reply(id, "200", "once");
    EXPECT_EQ(client.Read().body, "once");
}

TEST_F(GatewaySocketTest, GarbageOnTheGatewaySocketClosesThatConnectionOnly) {
    StartGateway();
    UdsTestPeer puller;
    ASSERT_TRUE(puller.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    Pull(puller);

    const std::vector<std::string> garbage = {
        "hello\r\n",                                  // not RESP
        "*2\r\n$3\r\nfoo\r\n$1\r\nx\r\n",             // unknown command
        "*1\r\n$7\r\npullreq\r\n",                    // wrong element count
        "*2\r\n$7\r\npullreq\r\n$4\r\ncalc\r\n",      // client id without version and pid
        "*6\r\n$11\r\nresponsereq\r\n$1\r\na\r\n$1\r\n1\r\n$3\r\nabc\r\n$0\r\n\r\n$0\r\n\r\n",  // bad status
        "*2\r\n$99999999\r\n",                        // absurd length
    };
    for (const std::string& bytes : garbage) {
        UdsTestPeer bad;
        ASSERT_TRUE(bad.Connect(gw_.SocketPath()));
        ASSERT_TRUE(bad.SendRaw(bytes));
        EXPECT_TRUE(bad.ClosedByGateway(5s)) << bytes;
    }
    // Asking twice without waiting for the answer breaks the one-answer-per-request order.
    UdsTestPeer eager;
    ASSERT_TRUE(eager.Connect(gw_.SocketPath()));
    ASSERT_TRUE(eager.Send({"pullmodloadreq", "container"}));
    ASSERT_TRUE(eager.Send({"pullmodloadreq", "container"}));
    EXPECT_TRUE(eager.ClosedByGateway(5s));

    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("GET", "/calc/still"));
    std::string id;
    EXPECT_EQ(ReceiveMessage(puller, id).reqUrl, "/calc/still");
    Reply(id, "200", "alive");
    EXPECT_EQ(client.Read().body, "alive");
    EXPECT_NE(gw_.Log().find("unknown command \"foo\""), std::string::npos);
}

TEST_F(GatewaySocketTest, SocketFileIsPrivateAndAStaleOneIsReplaced) {
    // Leave a socket file nobody listens on, as a crashed gateway would.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, gw_.SocketPath().c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);

    StartGateway();
    struct stat st;
    ASSERT_EQ(lstat(gw_.SocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(gw_.Log().find("removed stale socket"), std::string::npos);

    // A second gateway on the same live socket refuses to start and leaves the first alone.
    testsupport::ChildProcess second;
    testsupport::TempDir dir("gw2");
    ASSERT_TRUE(second.Exec({GatewayProcess::BinaryPath(), "--listen", "127.0.0.1:0"},
                            {{"APP_NAME", gw_.AppName()}}, dir / "log"));
    int status = second.Wait(10s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(testsupport::ReadFile(dir / "log").find("already listens"), std::string::npos);
    UdsTestPeer still;
    EXPECT_TRUE(still.Connect(gw_.SocketPath()));
}

TEST(GatewayConnectionCap, HttpBeyondTheCapIsRefusedAndWorkersStillConnect) {
    // Descriptors run short: without a cap the idle HTTP connections would take them all and a
    // restarted worker could not connect. The gateway runs under a hard limit of 64 here.
    const size_t limit = 64;
    const size_t cap = DescriptorLimit::DefaultMaxConnections(limit);
    testsupport::TempDir dir("gwcap");
    testsupport::WriteFile(dir / "gateway.json", CONFIG);
    const int port = GatewayProcess::FreePort();
    const std::string socketPath = "/tmp/udsgateway-" + testsupport::UniqueName("cap");
    testsupport::ChildProcess gateway;
    ASSERT_TRUE(gateway.Exec({"/bin/sh", "-c", "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
                              GatewayProcess::BinaryPath(), "--listen", "127.0.0.1:" + std::to_string(port),
                              "--socket", socketPath, "--config", dir / "gateway.json"},
                             {}, dir / "log"));
    // The first client waits for the gateway to come up; a probe that left instead might not
    // have given its place back yet when the others are counted.
    std::vector<std::unique_ptr<HttpTestClient>> admitted;
    admitted.push_back(std::make_unique<HttpTestClient>());
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            return admitted[0]->Connect(port) && admitted[0]->SendRequest("GET", "/nosuch") &&
                   admitted[0]->Read().status == 404;
        },
        10s))
        << testsupport::ReadFile(dir / "log");
    size_t refused = 0;
    for (size_t i = 1; i < limit + 16; ++i) {
        auto client = std::make_unique<HttpTestClient>();
        ASSERT_TRUE(client->Connect(port));
        int status = client->SendRequest("GET", "/nosuch") ? client->Read().status : 0;
        if (status == 404) {
            admitted.push_back(std::move(client));
        } else {
            EXPECT_TRUE(status == 503 || status == 0) << status;
            ++refused;
        }
    }
    EXPECT_EQ(admitted.size(), cap);
    EXPECT_EQ(refused, limit + 16 - cap);

    // A worker that comes now is served, and so is a client that was let in.
    UdsTestPeer puller, replier;
    ASSERT_TRUE(puller.Connect(socketPath));
    ASSERT_TRUE(replier.Connect(socketPath));
    ASSERT_TRUE(puller.Send({"pullreq", "calc||1.0||1"}));
    ASSERT_FALSE(admitted.empty());
    ASSERT_TRUE(admitted[0]->SendRequest("GET", "/calc/after"));
    Parts parts;
    ASSERT_TRUE(puller.Receive(parts, 5s));
    ASSERT_EQ(parts.size(), 4u);
    ASSERT_TRUE(replier.Send({"responsereq", "calc||1.0||1", parts[2], "200", "served", ""}));
    EXPECT_EQ(admitted[0]->Read().body, "served");

    // A connection that closes gives its place back.
    admitted.pop_back();
    EXPECT_TRUE(testsupport::WaitFor([&] { return HttpTestClient::Get(port, "/nosuch").status == 404; }, 5s));
    gateway.Kill(SIGTERM);
    EXPECT_EQ(gateway.Wait(10s), 0);
    EXPECT_NE(testsupport::ReadFile(dir / "log").find("at most " + std::to_string(cap) + " HTTP connections"),
              std::string::npos);
}

TEST_F(GatewaySocketTest, AnAnswerFromAProcessThatDidNotTakeTheRequestIsRefused) {
    StartGateway();
    UdsTestPeer puller;
    ASSERT_TRUE(puller.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    Pull(puller);
    HttpTestClient client;
    ASSERT_TRUE(client.Connect(gw_.Port()));
    ASSERT_TRUE(client.SendRequest("GET", "/calc/mine"));
    std::string id;
    ReceiveMessage(puller, id);

    // Another process of the same user that knows the id (it cannot guess it) answers first.
    testsupport::ChildProcess stranger;
    const std::string path = gw_.SocketPath();
    ASSERT_TRUE(stranger.Fork([&]() {
        UdsTestPeer peer;
        return peer.Connect(path) && peer.Send({"responsereq", "calc||1.0||4242", id, "200", "stolen", ""}) ? 0 : 1;
    }));
    EXPECT_EQ(stranger.Wait(10s), 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return gw_.Log().find(id + ", which process") != std::string::npos; }, 5s));
    Reply(id, "200", "right");
    HttpTestResponse response = client.Read();
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "right");
}

TEST_F(GatewaySocketTest, PeersOfAnotherUserAreRefusedUnlessTrusted) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root";
    }
    // As user nobody: 0 when the gateway answers a configuration pull, 1 when it hangs up.
    auto pullAsNobody = [](const std::string& path) {
        testsupport::ChildProcess child;
        child.Fork([&]() {
            UdsTestPeer peer;
            Parts parts;
            if (setgid(65534) != 0 || setuid(65534) != 0 || !peer.Connect(path)) {
                return 10;
            }
            peer.Send({"pullappcfg", "container"});
            return peer.Receive(parts, 5s) && parts[0] == "appcfg" ? 0 : peer.ClosedByGateway(5s) ? 1 : 2;
        });
        int status = child.Wait(20s);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    StartGateway({"--socket-mode", "0666"});
    EXPECT_EQ(pullAsNobody(gw_.SocketPath()), 1);
    EXPECT_NE(gw_.Log().find("gateway socket peer refused: user nobody (uid 65534"), std::string::npos);
    EXPECT_NE(gw_.Log().find("--trusted-user nobody"), std::string::npos);

    GatewayProcess trusting;
    ASSERT_TRUE(trusting.Start(CONFIG, {"--socket-mode", "0666", "--trusted-user", "nobody"})) << trusting.Log();
    EXPECT_EQ(pullAsNobody(trusting.SocketPath()), 0);
    EXPECT_EQ(trusting.Stop(), 0);
}

TEST_F(GatewaySocketTest, IdleAndNonReadingClientsHoldNoMoreThanOneAnswer) {
    StartGateway();
    UdsTestPeer puller;
    ASSERT_TRUE(puller.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier_.Connect(gw_.SocketPath()));
    const std::string answer(4 << 20, 'a');
    auto residentKb = [&]() {
        std::string status = testsupport::ReadFile("/proc/" + std::to_string(gw_.Process().Pid()) + "/status");
        size_t at = status.find("VmRSS:");
        return at == std::string::npos ? 0L : std::stol(status.substr(at + 6));
    };

    // Clients that got their answer and stay connected keep none of it in the gateway.
    const long before = residentKb();
    std::vector<std::unique_ptr<HttpTestClient>> idle;
    Parts parts;
    for (int i = 0; i < 16; ++i) {
        idle.push_back(std::make_unique<HttpTestClient>());
        ASSERT_TRUE(idle.back()->Connect(gw_.Port()));
        ASSERT_TRUE(idle.back()->SendRequest("GET", "/calc/big"));
        Pull(puller);
        ASSERT_TRUE(puller.Receive(parts, 5s));
        Reply(parts[2], "200", answer);
        ASSERT_EQ(idle.back()->Read().body.size(), answer.size());
    }
    if (PLAIN_ALLOCATOR) {
        EXPECT_LT(residentKb() - before, 24 * 1024) << "16 idle connections after 4 MiB answers";
    }

    // A client that pipelines and never reads (a small receive buffer, so a few answers fill
    // what the kernels hold): the gateway waits for it to read instead of taking up every
    // request it was sent.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(gw_.Port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
    const int sent = 40;
    std::string pipelined;
    for (int i = 0; i < sent; ++i) {
        pipelined += "GET /calc/big HTTP/1.1\r\nHost: x\r\n\r\n";
    }
    ASSERT_EQ(send(fd, pipelined.data(), pipelined.size(), MSG_NOSIGNAL), static_cast<ssize_t>(pipelined.size()));
    int handed = 0;
    for (Pull(puller); puller.Receive(parts, 1s); Pull(puller)) {
        ASSERT_EQ(parts.size(), 4u);
        Reply(parts[2], "200", answer);
        ++handed;
    }
    EXPECT_GE(handed, 1);
    EXPECT_LE(handed, 12) << "of " << sent << " pipelined requests";
    close(fd);
}

}  // namespace
