// The broker with fake peers and owners: hand-out of requests to pulls, demands, answers only from
// the process that took a request, cancellation, the queue bound and the switch between versions.
#include <gtest/gtest.h>

#include "RequestBroker.h"

namespace {

using namespace std::chrono_literals;
using Submit = RequestBroker::SubmitResult;
using Result = RequestBroker::RespondResult;
using Requests = std::vector<std::shared_ptr<PendingRequest>>;
using Strings = std::vector<std::string>;

struct FakePeer : IGatewayPeer {
    explicit FakePeer(PeerProcess p = PeerProcess()) : process(p) {}
    void Deliver(std::shared_ptr<PendingRequest> request) override { delivered.push_back(request); }
    void AnswerConfig(std::shared_ptr<const AppConfig>) override {}
    void AnswerDemand(const std::string& key) override { demands.push_back(key); }
    const PeerProcess& Process() const override { return process; }
    const void* Home() const override { return home; }
    Requests delivered;
    Strings demands;
    PeerProcess process;
    const void* home = nullptr;
};

struct FakeOwner : IRequestOwner {
    Strings results;  // "<request id> <status>"
    void Complete(std::shared_ptr<PendingRequest> r, unsigned status, std::string) override {
        results.push_back(r->Id() + " " + std::to_string(status));
    }
};

class RequestBrokerTest : public ::testing::Test {
protected:
    // At most 3 queued per module; demands: retry 1 s, refresh 10 s.
    RequestBrokerTest() : broker_({3}) { Configure("1.0", true); }
    // calc in version, as the next generation of the configuration.
    void Configure(const std::string& version, bool withEcho = false) {
        std::string error, entry = "\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"}";
        broker_.SetConfig(
            AppConfig::Parse("{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"" + version + entry +
                                 (withEcho ? ",{\"Name\":\"echo\",\"Version\":\"2" + entry : "") + "]}",
                             ++generation_, error));
    }
    std::shared_ptr<PendingRequest> New() {
        return std::make_shared<PendingRequest>(std::to_string(nextId_++), "frame", owner_);
    }
    std::shared_ptr<FakePeer> Peer(PeerProcess p = PeerProcess()) { return std::make_shared<FakePeer>(p); }

    RequestBroker broker_;
    std::shared_ptr<FakeOwner> owner_ = std::make_shared<FakeOwner>();
    int nextId_ = 1;
    uint64_t generation_ = 0;
    RequestBroker::Clock::time_point t0_ = RequestBroker::Clock::now();
};

TEST_F(RequestBrokerTest, RequestsMeetPullsInOrderOnlyTheTakerAnswersAndAReturnedOneGoesFirst) {
    auto a = Peer(PeerProcess(101, 7)), b = Peer(PeerProcess(102, 7));
    broker_.Pull("calc||1.0", a, true);
    broker_.Pull("calc||1.0", b, true);
    auto r1 = New(), r2 = New(), r3 = New();
    for (auto& r : {r1, r2, r3}) ASSERT_EQ(broker_.Submit("calc", r, t0_), Submit::QUEUED);
    EXPECT_EQ(a->delivered, Requests{r1});
    EXPECT_EQ(b->delivered, Requests{r2});
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 1u);
    broker_.Pull("calc||1.0", a, false);
    EXPECT_EQ(a->delivered, (Requests{r1, r3}));

    // A refused answer (another process, or a later process with the same pid) leaves the request
    // waiting for the right one.
    const std::vector<std::pair<PeerProcess, Result>> answers{{a->process, Result::NOT_TAKER},
                                                              {PeerProcess(102, 8), Result::NOT_TAKER},
                                                              {b->process, Result::ANSWERED},
                                                              {b->process, Result::UNKNOWN}};
    for (const auto& [from, expected] : answers)
        EXPECT_EQ(broker_.Respond(r2->Id(), from, 200, "3"), expected);
    EXPECT_EQ(owner_->results, Strings{r2->Id() + " 200"});
    EXPECT_EQ(broker_.InFlightCount(), 2u);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(broker_.Submit("echo", New(), t0_), Submit::QUEUED);
    EXPECT_EQ(broker_.Submit("echo", New(), t0_), Submit::QUEUE_FULL);
    // A request the closing peer could not send goes first to the next pull; each module has its
    // own bound.
    auto peer = Peer(), live = Peer();
    auto requeued = New();
    broker_.Pull("calc||1.0", peer, true);
    broker_.Submit("calc", requeued, t0_);
    EXPECT_EQ(broker_.Submit("calc", New(), t0_), Submit::QUEUED);
    broker_.PeerClosed(peer.get(), "calc||1.0");
    broker_.Requeue(requeued);
    broker_.Pull("calc||1.0", live, true);
    EXPECT_EQ(live->delivered, Requests{requeued});
    EXPECT_EQ(broker_.InFlightCount(), 3u);
    EXPECT_EQ(owner_->results.size(), 1u);
}

// With several event loops, a request and the pull it meets are taken from one loop where they
// can be (the oldest request first, else the next few of the pull's loop); else in order.
TEST_F(RequestBrokerTest, ARequestMeetsAPullOfItsOwnEventLoopFirst) {
    const int loopA = 0, loopB = 0;
    auto a = Peer(), b = Peer();
    a->home = &loopA;
    b->home = &loopB;
    auto on = [&](const int& loop) {
        auto r = New();
        r->SetHome(&loop);
        return r;
    };
    broker_.Pull("calc||1.0", a, true);
    broker_.Pull("calc||1.0", b, true);
    auto r1 = on(loopB), r2 = on(loopA);
    for (auto& r : {r1, r2}) ASSERT_EQ(broker_.Submit("calc", r, t0_), Submit::QUEUED);
    EXPECT_EQ(a->delivered, Requests{r2});
    EXPECT_EQ(b->delivered, Requests{r1});

    auto r3 = on(loopA), r4 = on(loopB), r5 = on(loopB);
    for (auto& r : {r3, r4, r5}) ASSERT_EQ(broker_.Submit("calc", r, t0_), Submit::QUEUED);
    broker_.Pull("calc||1.0", b, false);  // passes the older r3 of the other loop
    broker_.Pull("calc||1.0", b, false);
    broker_.Pull("calc||1.0", b, false);  // none of its loop left: the oldest
    EXPECT_EQ(b->delivered, (Requests{r1, r4, r5, r3}));

    // Pulls of one loop only: a request of another is passed over twice at most.
    auto r6 = on(loopA), r7 = on(loopB), r8 = on(loopB), r9 = on(loopB);
    for (auto& r : {r6, r7, r8}) ASSERT_EQ(broker_.Submit("calc", r, t0_), Submit::QUEUED);
    for (int i = 0; i < 2; ++i) broker_.Pull("calc||1.0", b, false);
    ASSERT_EQ(broker_.Submit("calc", r9, t0_), Submit::QUEUED);
    for (int i = 0; i < 2; ++i) broker_.Pull("calc||1.0", b, false);
    EXPECT_EQ(b->delivered, (Requests{r1, r4, r5, r3, r7, r8, r6, r9}));
}

TEST_F(RequestBrokerTest, DemandsWaitForTheMasterAndComeAtTheRetryThenTheRefreshPace) {
    broker_.Submit("echo", New(), t0_);
    broker_.Tick(t0_ + 2s);  // the master is not pulling: the demand waits, once
    auto master = Peer();
    broker_.PullDemand(master);
    broker_.Submit("calc", New(), t0_);
    broker_.PullDemand(master);
    EXPECT_EQ(master->demands, (Strings{"echo||2", "calc||1.0"}));

    broker_.PullDemand(master);
    broker_.Submit("calc", New(), t0_ + 500ms);
    broker_.Tick(t0_ + 900ms);
    EXPECT_EQ(master->demands.size(), 2u);  // not again within the retry time
    broker_.Tick(t0_ + 1100ms);
    EXPECT_EQ(master->demands.size(), 3u);  // still nobody pulls: again

    // Once a worker pulls, demands slow down to the refresh, so Vessel does not retire it as idle.
    auto worker = Peer();
    broker_.Pull("calc||1.0", worker, true);
    broker_.Pull("calc||1.0", worker, false);
    EXPECT_EQ(worker->delivered.size(), 2u);
    broker_.PullDemand(master);
    broker_.Submit("calc", New(), t0_ + 3s);
    EXPECT_EQ(master->demands.size(), 3u);
    broker_.Submit("calc", New(), t0_ + 12s);
    EXPECT_EQ(master->demands.size(), 4u);
}

TEST_F(RequestBrokerTest, TheOldVersionServesUntilTheNewOnePullsThenTheNewOneTakesWhatWaitsInOrder) {
    auto master = Peer(), older = Peer(), oldWorker = Peer(), newWorker = Peer();
    broker_.Pull("calc||0.9", older, true);  // of two versions still pulled for, the last pulled serves
    broker_.Pull("calc||1.0", oldWorker, true);
    Configure("2.0");
    broker_.PullDemand(master);
    auto r1 = New(), r2 = New(), r3 = New(), r4 = New(), r5 = New();
    for (auto& r : {r1, r2, r3, r4}) ASSERT_EQ(broker_.Submit("calc", r, t0_), Submit::QUEUED);
    EXPECT_EQ(oldWorker->delivered, Requests{r1});
    EXPECT_EQ(master->demands, Strings{"calc||2.0"});
    EXPECT_EQ(broker_.Submit("calc", New(), t0_), Submit::QUEUE_FULL);  // the old version's bound
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 3u);

    broker_.Pull("calc||2.0", newWorker, true);
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 0u);
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 2u);
    ASSERT_TRUE(r4->Claim());
    broker_.Cancel(r4);  // found under the key it was moved to
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 1u);
    // The old version, still pulling, gets nothing new.
    broker_.Pull("calc||1.0", oldWorker, false);
    broker_.Submit("calc", r5, t0_ + 2s);
    broker_.Pull("calc||2.0", newWorker, false);
    broker_.Pull("calc||2.0", newWorker, false);
    EXPECT_EQ(newWorker->delivered, (Requests{r2, r3, r5}));
    EXPECT_EQ(broker_.Respond(r1->Id(), oldWorker->process, 200, "old"), Result::ANSWERED);
}

TEST_F(RequestBrokerTest, RequestsLeftOnAVersionNoLongerConfiguredGoToTheConfiguredOne) {
    auto master = Peer(), oldWorker = Peer();
    broker_.Pull("calc||1.0", oldWorker, true);
    auto r1 = New(), r2 = New(), r3 = New();
    broker_.Submit("calc", r1, t0_);
    broker_.Submit("calc", r2, t0_);  // waits for the busy old worker; its demand for a master
    Configure("2.0");
    broker_.PullDemand(master);
    EXPECT_TRUE(master->demands.empty());  // the replaced version is not asked for any more
    broker_.Tick(t0_ + 2s);
    EXPECT_EQ(master->demands, Strings{"calc||2.0"});
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 1u);  // still pulled for: its queue stays
    broker_.PeerClosed(oldWorker.get(), "calc||1.0");
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 1u);
    EXPECT_EQ(r2->ModuleKey(), "calc||2.0");
    broker_.Submit("calc", r3, t0_ + 2500ms);

    // Undone before 2.0 ever pulled: its requests go back, and only 1.0 is demanded.
    Configure("1.0");
    broker_.PullDemand(master);
    broker_.Tick(t0_ + 4s);
    EXPECT_EQ(master->demands, (Strings{"calc||2.0", "calc||1.0"}));
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 0u);
    auto worker = Peer();
    broker_.Pull("calc||1.0", worker, true);
    broker_.Pull("calc||1.0", worker, false);
    EXPECT_EQ(worker->delivered, (Requests{r2, r3}));
}

}  // namespace
