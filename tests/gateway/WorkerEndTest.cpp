// A worker that ends after taking requests from the gateway can never answer them: the gateway
// answers them at once with 502 instead of letting them wait for the request timeout. A pull
// connection that closes while its worker lives (a reconnect) is no such end. The fake workers
// here are forked processes that pull through the real vessel-gateway binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "RequestBroker.h"
#include "support/ChildProcess.h"
#include "support/GatewayProcess.h"
#include "support/HttpTestClient.h"
#include "support/UdsTestPeer.h"

using namespace std::chrono_literals;
using Parts = std::vector<std::string>;

namespace {

const char* CONFIG =
    "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m/calc\",\"Type\":\"C_MODULE\"}]}";

// A child that blocks until the parent closes its end of a pipe, then exits 0.
class PipeHeldChild {
public:
    PipeHeldChild() {
        if (pipe(fds_) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        int readEnd = fds_[0];
        int writeEnd = fds_[1];
        child_.Fork([readEnd, writeEnd]() {
            close(writeEnd);
            char c;
            return read(readEnd, &c, 1) == 0 ? 0 : 1;
        });
        close(fds_[0]);
    }
    ~PipeHeldChild() { Release(); }
    pid_t Pid() const { return child_.Pid(); }
    void Release() {
        if (fds_[1] >= 0) {
            close(fds_[1]);
            fds_[1] = -1;
        }
    }
    testsupport::ChildProcess& Process() { return child_; }

private:
    int fds_[2] = {-1, -1};
    testsupport::ChildProcess child_;
};

// True once the child has become a zombie (ended, not yet waited for).
bool IsZombie(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

TEST(GatewayPeerProcess, EndsWhenItsProcessIsAZombieGoneOrReplaced) {
    PeerProcess self = PeerProcess::OfPid(getpid());
    EXPECT_TRUE(self.Known());
    EXPECT_FALSE(self.Ended());
    EXPECT_FALSE(PeerProcess().Ended());  // unknown never counts as ended

    // The same pid with another start time is a later process that got the pid.
    PeerProcess earlier(getpid(), 1);
    EXPECT_TRUE(earlier.Ended());

    PipeHeldChild child;
    PeerProcess peer = PeerProcess::OfPid(child.Pid());
    EXPECT_FALSE(peer.Ended());
    EXPECT_EQ(peer, PeerProcess::OfPid(child.Pid()));
    child.Release();
    ASSERT_TRUE(testsupport::WaitFor([&] { return IsZombie(child.Pid()); }, 10s));
    EXPECT_TRUE(peer.Ended()) << "a zombie still has its pid but can answer nothing";
    EXPECT_EQ(child.Process().Wait(5s), 0);
    EXPECT_TRUE(peer.Ended());
}

struct FakePeer : IGatewayPeer {
    std::vector<std::shared_ptr<PendingRequest>> delivered;
    explicit FakePeer(PeerProcess p) : process(p) {}
    void Deliver(std::shared_ptr<PendingRequest> request) override { delivered.push_back(request); }
    void AnswerConfig(std::shared_ptr<const AppConfig>) override {}
    void AnswerDemand(const std::string&) override {}
    const PeerProcess& Process() const override { return process; }
    PeerProcess process;
};

struct FakeOwner : IRequestOwner {
    std::vector<std::pair<std::string, unsigned>> results;
    void Complete(std::shared_ptr<PendingRequest> request, unsigned status, std::string) override {
        results.emplace_back(request->Id(), status);
    }
};

TEST(GatewayBrokerWorkerEnd, FailsOnlyWhatTheEndedProcessTook) {
    std::string error;
    RequestBroker broker{RequestBroker::Limits()};
    broker.SetConfig(AppConfig::Parse(CONFIG, 1, error));
    auto owner = std::make_shared<FakeOwner>();
    auto request = [&](const std::string& id) {
        return std::make_shared<PendingRequest>(id, "frame", owner);
    };

    PipeHeldChild child;
    auto dying = std::make_shared<FakePeer>(PeerProcess::OfPid(child.Pid()));
    auto living = std::make_shared<FakePeer>(PeerProcess::OfPid(getpid()));
    auto taken = request("taken"), written = request("written"), other = request("other");
    for (auto& r : {taken, written}) {
        broker.Pull("calc||1.0", dying, true);
        broker.Submit("calc", r, RequestBroker::Clock::now());
    }
    broker.Pull("calc||1.0", living, true);
    broker.Submit("calc", other, RequestBroker::Clock::now());
    ASSERT_EQ(dying->delivered.size(), 2u);
    taken->MarkTaken();
    other->MarkTaken();

    const auto t = RequestBroker::Clock::now();
    broker.ProcessConnected(dying->process);
    EXPECT_TRUE(broker.ProcessDisconnected(dying->process, t));
    EXPECT_EQ(broker.FailTakenIfEnded(dying->process, t + 1s), 0u) << "the process still runs (a reconnect)";
    broker.ProcessConnected(dying->process);  // its new pull connection
    broker.ProcessConnected(dying->process);  // its reply connection
    child.Release();
    ASSERT_EQ(child.Process().Wait(10s), 0);
    EXPECT_FALSE(broker.ProcessDisconnected(dying->process, t));
    EXPECT_EQ(broker.FailTakenIfEnded(dying->process, t + 1s), 0u)
        << "its reply connection may still hold answers";
    EXPECT_TRUE(broker.ProcessDisconnected(dying->process, t));
    EXPECT_EQ(broker.FailTakenIfEnded(dying->process, t + broker.EndGrace() / 2), 0u)
        << "a connection it opened last may not be accepted yet";
    EXPECT_EQ(broker.FailTakenIfEnded(living->process, t + 1s), 0u);
    EXPECT_EQ(broker.FailTakenOfEndedWorkers(t + 1s), 1u);
    ASSERT_EQ(owner->results.size(), 1u);
    EXPECT_EQ(owner->results[0], std::make_pair(std::string("taken"), 502u));
    // Not read by the worker: its connection hands it on instead; the other worker still answers.
    EXPECT_EQ(broker.InFlightCount(), 2u);
    EXPECT_EQ(broker.Respond("other", living->process, 200, "fine"), RequestBroker::RespondResult::ANSWERED);
}

TEST(GatewayBrokerWorkerEnd, AnIdempotentRequestGoesToOneMoreWorkerThenFails) {
    std::string error;
    RequestBroker broker{RequestBroker::Limits()};
    broker.SetConfig(AppConfig::Parse(CONFIG, 1, error));
    auto owner = std::make_shared<FakeOwner>();
    auto get = std::make_shared<PendingRequest>("get", "frame", owner, true);
    const auto later = RequestBroker::Clock::now() + 1s;

    PipeHeldChild firstChild, secondChild;  // the second holds the first's pipe too: ended first
    auto first = std::make_shared<FakePeer>(PeerProcess::OfPid(firstChild.Pid()));
    auto second = std::make_shared<FakePeer>(PeerProcess::OfPid(secondChild.Pid()));
    auto third = std::make_shared<FakePeer>(PeerProcess::OfPid(getpid()));
    broker.Pull("calc||1.0", first, true);
    broker.Submit("calc", get, RequestBroker::Clock::now());
    get->MarkTaken();
    broker.Pull("calc||1.0", second, true);  // held: gets the request when the first ends
    for (PipeHeldChild* child : {&secondChild, &firstChild}) {
        child->Release();
        ASSERT_EQ(child->Process().Wait(10s), 0);
    }

    EXPECT_EQ(broker.FailTakenIfEnded(first->process, later), 0u);
    ASSERT_EQ(second->delivered.size(), 1u) << "not handed to the worker that waits";
    EXPECT_TRUE(owner->results.empty());
    EXPECT_EQ(broker.FailTakenIfEnded(second->process, later), 0u) << "not taken yet: its connection hands it on";
    get->MarkTaken();
    broker.Pull("calc||1.0", third, true);
    EXPECT_EQ(broker.FailTakenIfEnded(second->process, later), 1u);
    EXPECT_TRUE(third->delivered.empty()) << "sent a third time";
    ASSERT_EQ(owner->results.size(), 1u);
    EXPECT_EQ(owner->results[0], std::make_pair(std::string("get"), 502u));
}

class GatewayWorkerEndTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gw_.Start(CONFIG)) << gw_.Log(); }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "gateway log:\n" << gw_.Log();
        }
        EXPECT_EQ(gw_.Stop(), 0);
    }
    // A client whose request for calc is on its way. A POST by default: a GET whose worker ends
    // goes to the next worker instead of failing.
    std::unique_ptr<HttpTestClient> Send(const std::string& target, const std::string& method = "POST") {
        auto client = std::make_unique<HttpTestClient>();
        EXPECT_TRUE(client->Connect(gw_.Port()));
        EXPECT_TRUE(client->SendRequest(method, target, method == "POST" ? "x" : ""));
        return client;
    }
    // Forks a fake worker that runs body on its own pull connection and exits with its result.
    void StartWorker(testsupport::ChildProcess& worker, const std::function<int(UdsTestPeer&)>& body) {
        const std::string path = gw_.SocketPath();
        ASSERT_TRUE(worker.Fork([path, body]() {
            UdsTestPeer pull;
            if (!pull.Connect(path)) {
                return 10;
            }
            return body(pull);
        }));
    }
    static std::string ClientId() { return "calc||1.0||" + std::to_string(getpid()); }
    // One "message" for the fake worker; its request id, or "" when none came.
    static std::string Take(UdsTestPeer& pull) {
        Parts parts;
        if (!pull.Send({"pullreq", ClientId()}) || !pull.Receive(parts, 10s) || parts.size() != 4 ||
            parts[0] != "message") {
            return "";
        }
        return parts[2];
    }

    GatewayProcess gw_;
};

TEST_F(GatewayWorkerEndTest, RequestsAnEndedWorkerTookAreAnswered502AtOnceOrSentOnOnceWhenIdempotent) {
    // Takes three requests (each is read whole once it pulls again), holds a fourth pull, and
    // dies with the connection open, as a crashing worker does.
    testsupport::ChildProcess worker;
    StartWorker(worker, [](UdsTestPeer& pull) {
        if (Take(pull).empty() || Take(pull).empty() || Take(pull).empty()) {
            return 1;
        }
        _exit(pull.Send({"pullreq", ClientId()}) ? 0 : 2);
    });
    auto first = Send("/calc/one");
    auto second = Send("/calc/two");
    auto retried = Send("/calc/again", "GET");
    ASSERT_EQ(worker.Wait(15s), 0);

    // The default request timeout is 30 s; both answers must come long before it.
    for (auto* client : {first.get(), second.get()}) {
        HttpTestResponse response = client->Read(5s);
        EXPECT_EQ(response.status, 502) << "no prompt answer for a request whose worker ended";
        EXPECT_NE(response.body.find("ended before answering"), std::string::npos) << response.body;
    }
    EXPECT_EQ(retried->Read(300ms).status, 0) << "the GET was failed, not kept for the next worker";

    // The next worker gets the GET first, then a request that arrived after the end (which was
    // not failed either).
    auto fourth = Send("/calc/four");
    UdsTestPeer next, replier;
    ASSERT_TRUE(next.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier.Connect(gw_.SocketPath()));
    for (auto* client : {retried.get(), fourth.get()}) {
        std::string id = Take(next);
        ASSERT_FALSE(id.empty());
        ASSERT_TRUE(replier.Send({"responsereq", ClientId(), id, "200", "answered " + id, ""}));
        HttpTestResponse response = client->Read(5s);
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "answered " + id);
    }
}

TEST_F(GatewayWorkerEndTest, AnAnswerSentJustBeforeTheWorkerEndsStillGoesThrough) {
    // A quitting worker closes its pull connection, sends its last answer on its reply connection
    // and ends. With the gateway stopped meanwhile, it finds the closed pull connection first and
    // the worker already gone, with the answer still unread on the other connection: in the first
    // round an established one, in the second one opened after the pull connection closed, which
    // the gateway has not even accepted yet.
    for (bool replyFirst : {true, false}) {
        SCOPED_TRACE(replyFirst ? "reply connection established first" : "reply connection opened last");
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        const std::string path = gw_.SocketPath();
        testsupport::ChildProcess worker;
        StartWorker(worker, [path, &ready, &go, replyFirst](UdsTestPeer& pull) {
            close(ready[0]);
            close(go[1]);
            UdsTestPeer replier;
            if (replyFirst && !replier.Connect(path)) {
                return 1;
            }
            std::string id = Take(pull);
            char c = 'r';
            if (id.empty() || write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) {
                return 2;
            }
            pull.Close();
            if ((!replyFirst && !replier.Connect(path)) ||
                !replier.Send({"responsereq", ClientId(), id, "200", "last words", ""})) {
                return 3;
            }
            _exit(0);  // the reply connection still open
        });
        close(ready[1]);
        close(go[0]);
        auto client = Send("/calc/last");
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1) << "the fake worker took no request";
        gw_.Process().Kill(SIGSTOP);
        EXPECT_EQ(write(go[1], "g", 1), 1);
        EXPECT_EQ(worker.Wait(10s), 0);
        gw_.Process().Kill(SIGCONT);
        close(ready[0]);
        close(go[1]);
        HttpTestResponse response = client->Read(5s);
        EXPECT_EQ(response.status, 200) << response.body;
        EXPECT_EQ(response.body, "last words");
    }
}

TEST_F(GatewayWorkerEndTest, AWorkerThatReconnectsStillAnswersWhatItTook) {
    // A live worker closes the connection it took the request on and pulls on a new one, as the
    // worker's reconnect does; its answer comes later on its reply connection.
    UdsTestPeer old, fresh, replier;
    ASSERT_TRUE(old.Connect(gw_.SocketPath()));
    ASSERT_TRUE(replier.Connect(gw_.SocketPath()));
    auto client = Send("/calc/kept");
    std::string id = Take(old);
    ASSERT_FALSE(id.empty());
    old.Close();
    ASSERT_TRUE(fresh.Connect(gw_.SocketPath()));
    ASSERT_TRUE(fresh.Send({"pullreq", ClientId()}));
    EXPECT_EQ(client->Read(500ms).status, 0) << "answered while its worker is alive";

    ASSERT_TRUE(replier.Send({"responsereq", ClientId(), id, "200", "kept", ""}));
    HttpTestResponse response = client->Read(5s);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "kept");
}

TEST_F(GatewayWorkerEndTest, ARequestTakenBeforeAReconnectFailsWhenTheWorkerEndsLater) {
    // The request goes out on a connection the worker closes while alive; the worker then dies
    // with only its new connection open. The request belongs to the process, not the connection.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    testsupport::ChildProcess worker;
    const std::string path = gw_.SocketPath();
    StartWorker(worker, [path, &ready](UdsTestPeer& pull) {
        close(ready[0]);
        if (Take(pull).empty()) {
            return 1;
        }
        pull.Close();
        UdsTestPeer fresh;
        if (!fresh.Connect(path) || !fresh.Send({"pullreq", ClientId()})) {
            return 2;
        }
        // Tell the test the new pull is out, then hold it until the test kills this process.
        char c = 'r';
        if (write(ready[1], &c, 1) != 1) {
            return 3;
        }
        return fresh.ClosedByGateway(10s) ? 4 : 0;
    });
    close(ready[1]);
    auto client = Send("/calc/orphan");
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the fake worker did not reconnect";
    close(ready[0]);
    EXPECT_EQ(client->Read(500ms).status, 0) << "answered while its worker is alive";
    worker.Kill(SIGKILL);
    HttpTestResponse response = client->Read(5s);
    EXPECT_EQ(response.status, 502);
}

TEST_F(GatewayWorkerEndTest, AWorkerThatClosedItsConnectionsBeforeEndingIsNoticedAllTheSame) {
    // No connection closes when this one ends: the periodic check finds it.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    testsupport::ChildProcess worker;
    StartWorker(worker, [&go](UdsTestPeer& pull) {
        close(go[1]);
        if (Take(pull).empty()) {
            return 1;
        }
        pull.Close();
        char c;
        return read(go[0], &c, 1) == 0 ? 0 : 2;
    });
    close(go[0]);
    auto client = Send("/calc/quiet");
    EXPECT_EQ(client->Read(500ms).status, 0) << "answered while its worker is alive";
    close(go[1]);
    ASSERT_EQ(worker.Wait(10s), 0);
    HttpTestResponse response = client->Read(5s);
    EXPECT_EQ(response.status, 502);
}

}  // namespace
