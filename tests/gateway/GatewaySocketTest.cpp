// The real vessel-gateway binary, with the test playing Vessel's side of the gateway socket
// (master pollers, pull and reply connections, worker processes that end) and HTTP clients.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DescriptorLimit.h"
#include "GatewayPeer.h"
#include "master/AppConfigLoader.h"
#include "support/GatewayProcess.h"
#include "support/HttpTestClient.h"

namespace {

const char* CONFIG =  // as an operator writes it, over several lines
    "{\"Modules\": [\n"
    " {\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m/calc\",\"Type\":\"C_MODULE\"},\n"
    " {\"Name\":\"echo\",\"Version\":\"2\",\"Location\":\"/e\",\"Type\":\"GO\",\"VmArgs\":\"-a b\"}\n]}\n";

class GatewaySocketTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& args = {}, int fdLimit = 0) {
        ASSERT_TRUE(gw_.Start(CONFIG, args, fdLimit)) << gw_.Log();
        ASSERT_TRUE(pull_.Connect(gw_.SocketPath()) && replier_.Connect(gw_.SocketPath()));
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "gateway log:\n" << gw_.Log();
        EXPECT_EQ(gw_.Stop(), 0);
        EXPECT_NE(access(gw_.SocketPath().c_str(), F_OK), 0) << "socket file left behind";
    }
    std::unique_ptr<HttpTestClient> Send(const std::string& method, const std::string& target,
                                         const std::string& body = "") {
        auto client = std::make_unique<HttpTestClient>();
        EXPECT_TRUE(client->Connect(gw_.Port()) && client->SendRequest(method, target, body));
        return client;
    }
    // Takes the next message, checks its path and answers "got:" and its body: what the client reads.
    HttpTestResponse Serve(HttpTestClient& client, const std::string& url,
                           const std::string& status = "200") {
        Parts message = pull_.Take();
        EXPECT_EQ(Req(message).reqUrl, url);
        return Answer(replier_, message, "got:" + Req(message).reqBody, status) ? client.Read(5s)
                                                                                : HttpTestResponse{};
    }

    GatewayProcess gw_;
    Peer pull_, replier_;
};

TEST_F(GatewaySocketTest, ConfigurationAndDemandsGoToTheMasterAndRequestsThroughPullAndAnswer) {
    Start({"--config-poll", "0.05"});
    Peer master, demands;
    ASSERT_TRUE(master.Connect(gw_.SocketPath()) && demands.Connect(gw_.SocketPath()));
    ASSERT_TRUE(master.Send({"pullappcfg", "container"}));
    Parts appcfg = master.Receive();
    EXPECT_EQ(appcfg.at(1).find('\n'), std::string::npos) << "one line, as the master's reader needs";
    auto modules = AppConfigLoader::parseAppCfgCmd(appcfg);  // the master's own reading
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules[1].GetVmArgs(), "-a b");
    ASSERT_TRUE(master.Send({"pullappcfgchg", "container"}) && demands.Send({"pullmodloadreq", "container"}));
    EXPECT_TRUE(master.Silent(200ms) && demands.Silent(10ms)) << "a held pull was answered without cause";

    auto client = Send("GET", "/calc/add?x=1&y=2");
    EXPECT_EQ(demands.Receive(), (Parts{"pullmodloadrsp", "calc||1.0"}));
    HttpTestResponse response = Serve(*client, "/calc/add");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "got:");
    EXPECT_EQ(response.headers["content-type"], "text/plain; charset=utf-8");
    // A worker's failure goes through with its text; a POST body arrives whole; keep-alive holds.
    ASSERT_TRUE(client->SendRequest("POST", "/calc/div", "1\n\"2\""));
    response = Serve(*client, "/calc/div", "500");
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body, "got:1\n\"2\"");

    testsupport::WriteFile(
        gw_.ConfigPath(),
        "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"2.0\",\"Location\":\"/n\",\"Type\":\"C_MODULE\"}]}");
    EXPECT_EQ(AppConfigLoader::parseAppCfgCmd(master.Receive()).at(0).GetVersion(), "2.0");
    // A broken file is not passed on; the previous configuration stays in force.
    ASSERT_TRUE(master.Send({"pullappcfgchg", "container"}));
    testsupport::WriteFile(gw_.ConfigPath(), "{\"Modules\":[{\"Name\":");
    EXPECT_TRUE(testsupport::WaitFor([&] { return gw_.Log().find("not loaded") != std::string::npos; }, 5s));
    EXPECT_TRUE(master.Silent(100ms));
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/echo/x").status, 404);  // echo left with 2.0
}

// Refusals, and requests that time out or stay unread never reaching the wrong worker.
TEST_F(GatewaySocketTest, RefusesWhatNoModuleCanServeAndFinishesEachRequestOnceOnly) {
    Start({"--max-body", "16", "--request-timeout", "1"});
    const std::string post = "POST /echo/x HTTP/1.1\r\nHost: x\r\nContent-Length: ";
    // The bytes sent, the status and whether the connection closes (only after a broken request).
    const std::vector<std::tuple<std::string, int, bool>> cases{
        {"GET /nosuch/x HTTP/1.1\r\nHost: x\r\n\r\n", 404, false},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 404, false},
        {post + "2\r\n\r\n\xff\xfe", 400, false},  // not text a module can be given
        {post + "17\r\n\r\n" + std::string(17, 'a'), 413, true},
        {"THIS IS NOT HTTP\r\n\r\n", 400, true}};
    for (const auto& [bytes, status, closes] : cases) {
        HttpTestClient client;
        ASSERT_TRUE(client.Connect(gw_.Port()) && client.Send(bytes));
        EXPECT_EQ(client.Read().status, status) << bytes;
        EXPECT_EQ(client.ClosedByServer(closes ? 5s : 100ms), closes) << bytes;
    }

    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/calc/nobody").status, 504);  // queued, nobody pulls
    // Handed out, answered too late: 504, the late answer dropped, and the connection carries on.
    auto client = Send("GET", "/calc/slow");
    Parts slow = pull_.Take();
    EXPECT_EQ(Req(slow).reqUrl, "/calc/slow");
    EXPECT_EQ(client->Read().status, 504);
    ASSERT_TRUE(Answer(replier_, slow, "too late") && client->SendRequest("GET", "/calc/fast"));
    EXPECT_EQ(Serve(*client, "/calc/fast").body, "got:");

    // A worker closed with the message unread, as a killed worker does: the next puller gets it.
    ASSERT_TRUE(pull_.Send({"pullreq", ME}));
    client = Send("GET", "/calc/once");
    ASSERT_FALSE(pull_.Silent(5s));
    ASSERT_TRUE(pull_.Connect(gw_.SocketPath()));
    EXPECT_EQ(Serve(*client, "/calc/once").body, "got:");
}

// A worker's requests belong to its process, not its connections: while it lives, a reconnect
// changes nothing; once it ended (holding a new connection, or none: then the periodic check
// notices), a POST it took is answered 502 and a GET goes once more to the next worker.
TEST_F(GatewaySocketTest, RequestsOfAnEndedWorkerAre502OrSentOnceMoreWhenIdempotent) {
    Start();
    for (bool holdNew : {true, false}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        testsupport::ChildProcess worker;
        worker.Fork([&] {  // a worker process: takes two on one connection
            Peer pull;
            bool ok = pull.Connect(gw_.SocketPath()) && !pull.Take().empty() && !pull.Take().empty();
            pull.Close();
            ok = ok && (!holdNew || (pull.Connect(gw_.SocketPath()) && pull.Send({"pullreq", ME})));
            return ok && write(ready[1], "r", 1) == 1 ? (pause(), 0) : 1;
        });
        close(ready[1]);
        auto post = Send("POST", "/calc/one", "x"), get = Send("GET", "/calc/again");
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1) << "the fake worker took nothing";
        close(ready[0]);
        EXPECT_EQ(post->Read(300ms).status, 0) << "answered while its worker is alive";
        worker.Kill(SIGKILL);
        HttpTestResponse response = post->Read(5s);
        EXPECT_EQ(response.status, 502) << (holdNew ? "with a new connection" : "with none");
        EXPECT_NE(response.body.find("ended before answering"), std::string::npos) << response.body;
        EXPECT_EQ(Serve(*get, "/calc/again").body, "got:");
    }
}

// A client that pipelines and never reads (a small receive buffer, so one large answer fills what
// the kernels hold) has only a few of its requests taken up: the rest stay unread in the kernel.
TEST_F(GatewaySocketTest, AClientThatNeverReadsHasOnlyAFewRequestsHandedOut) {
    Start();
    HttpTestClient client;
    std::string pipelined;
    for (int i = 0; i < 40; ++i) pipelined += "GET /calc/big HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(client.Connect(gw_.Port(), 4096) && client.Send(pipelined));
    int handed = 0;
    for (Parts m; pull_.Send({"pullreq", ME}) && !(m = pull_.Receive(1s)).empty(); ++handed)
        ASSERT_TRUE(Answer(replier_, m, std::string(4 << 20, 'a')));
    EXPECT_GE(handed, 1);
    EXPECT_LE(handed, 12) << "of 40 pipelined requests";
}

TEST_F(GatewaySocketTest, PeersOfAnotherUserAreRefusedUnlessTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    // As user uid: 0 when the gateway answers a configuration pull, 1 when it hangs up.
    auto pullAs = [this](uid_t uid) {
        testsupport::ChildProcess child;
        child.Fork([&]() {
            Peer peer;
            if (setgid(uid) != 0 || setuid(uid) != 0 || !peer.Connect(gw_.SocketPath())) return 10;
            peer.Send({"pullappcfg", "container"});
            Parts parts = peer.Receive();
            return !parts.empty() && parts[0] == "appcfg" ? 0 : testsupport::WaitClosed(peer.fd, 5s) ? 1 : 2;
        });
        int status = child.Wait(20s);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    Start({"--socket-mode", "0666", "--trusted-user", "nobody"});
    EXPECT_EQ(pullAs(65534), 0);  // nobody
    EXPECT_EQ(pullAs(65533), 1);
}

// With few descriptors (a hard limit of 64) HTTP connections beyond the default cap are refused, so
// idle keep-alive clients cannot leave a worker none.
TEST_F(GatewaySocketTest, ConnectionsBeyondTheCapAreRefusedAndAWorkerStillConnects) {
    Start({}, 64);
    std::vector<std::unique_ptr<HttpTestClient>> admitted;
    for (int i = 0; i < 80; ++i) {  // each new connection: 404 when admitted (kept open)
        auto client = std::make_unique<HttpTestClient>();
        int status = client->Connect(gw_.Port()) && client->SendRequest("GET", "/nosuch")
                         ? client->Read(2s).status
                         : 0;
        EXPECT_TRUE(status == 404 || status == 503 || status == 0) << status;
        if (status == 404) admitted.push_back(std::move(client));
    }
    ASSERT_EQ(admitted.size(), DescriptorLimit::DefaultMaxConnections(64));
    ASSERT_TRUE(admitted[0]->SendRequest("GET", "/calc/after"));
    EXPECT_EQ(Serve(*admitted[0], "/calc/after").body, "got:");
}

}  // namespace
