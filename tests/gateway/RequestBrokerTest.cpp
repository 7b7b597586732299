// The broker with fake peers and owners: hand-out of requests to pulls, demands, responses,
// cancellation, the queue bound and the switch between versions of a module.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "RequestBroker.h"

namespace {

using Clock = RequestBroker::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct FakePeer : IGatewayPeer {
    std::vector<std::shared_ptr<PendingRequest>> delivered;
    std::vector<uint64_t> configs;
    std::vector<std::string> demands;
    void Deliver(std::shared_ptr<PendingRequest> request) override { delivered.push_back(request); }
    void AnswerConfig(std::shared_ptr<const AppConfig> config) override { configs.push_back(config->Generation()); }
    void AnswerDemand(const std::string& key) override { demands.push_back(key); }
    const PeerProcess& Process() const override { return process; }
    PeerProcess process;
};

struct FakeOwner : IRequestOwner {
    std::vector<std::pair<unsigned, std::string>> results;
    void Complete(std::shared_ptr<PendingRequest>, unsigned status, std::string body) override {
        results.emplace_back(status, body);
    }
};

class RequestBrokerTest : public ::testing::Test {
protected:
    RequestBrokerTest() : broker_(Limits()) {
        std::string error;
        broker_.SetConfig(AppConfig::Parse(
            "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"},"
            "{\"Name\":\"echo\",\"Version\":\"2\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"}]}",
            1, error));
        owner_ = std::make_shared<FakeOwner>();
    }
    static RequestBroker::Limits Limits() {
        RequestBroker::Limits limits;
        limits.queuePerModule = 3;
        limits.demandRetry = seconds(1);
        limits.demandRefresh = seconds(10);
        return limits;
    }
    void ConfigureCalc(const std::string& version, uint64_t generation) {
        std::string error;
        broker_.SetConfig(AppConfig::Parse("{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"" + version +
                                               "\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"}]}",
                                           generation, error));
    }
    RequestBroker::RespondResult Answer(const std::shared_ptr<PendingRequest>& request, const FakePeer& by,
                                        const std::string& body) {
        return broker_.Respond(request->Id(), by.process, 200, body);
    }
    std::shared_ptr<PendingRequest> NewRequest() {
        return std::make_shared<PendingRequest>(std::to_string(nextId_++), "frame", owner_);
    }

    RequestBroker broker_;
    std::shared_ptr<FakeOwner> owner_;
    int nextId_ = 1;
    Clock::time_point t0_ = Clock::now();
};

TEST_F(RequestBrokerTest, RequestsMeetPullsInEitherOrderAndOnlyTheTakerAnswers) {
    auto a = std::make_shared<FakePeer>();
    auto b = std::make_shared<FakePeer>();
    a->process = PeerProcess(101, 7);
    b->process = PeerProcess(102, 7);
    broker_.Pull("calc||1.0", a, true);
    broker_.Pull("calc||1.0", b, true);
    auto r1 = NewRequest(), r2 = NewRequest(), r3 = NewRequest();
    ASSERT_EQ(broker_.Submit("calc", r1, t0_), RequestBroker::SubmitResult::QUEUED);
    ASSERT_EQ(broker_.Submit("calc", r2, t0_), RequestBroker::SubmitResult::QUEUED);
    ASSERT_EQ(broker_.Submit("calc", r3, t0_), RequestBroker::SubmitResult::QUEUED);
    ASSERT_EQ(a->delivered.size(), 1u);
    ASSERT_EQ(b->delivered.size(), 1u);
    EXPECT_EQ(a->delivered[0], r1);
    EXPECT_EQ(b->delivered[0], r2);
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 1u);
    broker_.Pull("calc||1.0", a, false);
    ASSERT_EQ(a->delivered.size(), 2u);
    EXPECT_EQ(a->delivered[1], r3);
    EXPECT_EQ(r3->ModuleKey(), "calc||1.0");

    using Result = RequestBroker::RespondResult;
    // Only the process it was handed to may answer (a pid reused by a later process is not it);
    // a refused answer leaves the request waiting for the right one.
    EXPECT_EQ(Answer(r2, *a, "stolen"), Result::NOT_TAKER);
    FakePeer successor;
    successor.process = PeerProcess(102, 8);
    EXPECT_EQ(Answer(r2, successor, "stolen"), Result::NOT_TAKER);
    EXPECT_EQ(Answer(r2, *b, "3"), Result::ANSWERED);
    EXPECT_EQ(Answer(r2, *b, "again"), Result::UNKNOWN);  // answered once only
    EXPECT_EQ(broker_.Respond("999", b->process, 200, "unknown"), Result::UNKNOWN);
    ASSERT_EQ(owner_->results.size(), 1u);
    EXPECT_EQ(owner_->results[0], std::make_pair(200u, std::string("3")));
    EXPECT_EQ(broker_.InFlightCount(), 2u);
}

TEST_F(RequestBrokerTest, UnknownModulesAndFullQueuesAreRefused) {
    EXPECT_EQ(broker_.Submit("nope", NewRequest(), t0_), RequestBroker::SubmitResult::UNKNOWN_MODULE);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(broker_.Submit("echo", NewRequest(), t0_), RequestBroker::SubmitResult::QUEUED);
    }
    EXPECT_EQ(broker_.Submit("echo", NewRequest(), t0_), RequestBroker::SubmitResult::QUEUE_FULL);
    // Other modules have their own bound.
    EXPECT_EQ(broker_.Submit("calc", NewRequest(), t0_), RequestBroker::SubmitResult::QUEUED);
}

TEST_F(RequestBrokerTest, CancelledRequestsLeaveTheQueueAndLateAnswersAreDropped) {
    auto queued = NewRequest();
    broker_.Submit("calc", queued, t0_);
    ASSERT_TRUE(queued->Claim());
    broker_.Cancel(queued);
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 0u);

    auto peer = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", peer, true);
    EXPECT_TRUE(peer->delivered.empty());  // nothing left for it
    auto handed = NewRequest();
    broker_.Submit("calc", handed, t0_);
    ASSERT_EQ(peer->delivered.size(), 1u);
    ASSERT_TRUE(handed->Claim());  // the client gave up
    broker_.Cancel(handed);
    EXPECT_EQ(broker_.InFlightCount(), 0u);
    EXPECT_EQ(Answer(handed, *peer, "late"), RequestBroker::RespondResult::UNKNOWN);
    EXPECT_TRUE(owner_->results.empty());
}

TEST_F(RequestBrokerTest, RequeuedRequestsGoFirstToTheNextPull) {
    auto dead = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", dead, true);
    auto r1 = NewRequest(), r2 = NewRequest();
    broker_.Submit("calc", r1, t0_);
    broker_.Submit("calc", r2, t0_);
    broker_.PeerClosed(dead.get(), "calc||1.0");
    broker_.Requeue(r1);  // the dead peer could not send it
    auto live = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", live, true);
    ASSERT_EQ(live->delivered.size(), 1u);
    EXPECT_EQ(live->delivered[0], r1);
    EXPECT_EQ(Answer(r1, *live, "boom"), RequestBroker::RespondResult::ANSWERED);
}

TEST_F(RequestBrokerTest, UnpulledModulesAreDemandedOncePerRetryWhileRequestsWait) {
    auto master = std::make_shared<FakePeer>();
    broker_.PullDemand(master);
    broker_.Submit("calc", NewRequest(), t0_);
    ASSERT_EQ(master->demands, std::vector<std::string>{"calc||1.0"});

    broker_.PullDemand(master);
    broker_.Submit("calc", NewRequest(), t0_ + milliseconds(500));
    broker_.Tick(t0_ + milliseconds(900));
    EXPECT_EQ(master->demands.size(), 1u);  // not again within the retry time
    broker_.Tick(t0_ + milliseconds(1100));
    EXPECT_EQ(master->demands.size(), 2u);  // still waiting, still nobody pulls: again

    // Once a worker pulls, the waiting requests go to it and demands slow down to the refresh.
    auto worker = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", worker, true);
    broker_.Pull("calc||1.0", worker, false);
    EXPECT_EQ(worker->delivered.size(), 2u);
    broker_.PullDemand(master);
    broker_.Submit("calc", NewRequest(), t0_ + seconds(3));
    broker_.Tick(t0_ + seconds(4));
    EXPECT_EQ(master->demands.size(), 2u);
    broker_.Submit("calc", NewRequest(), t0_ + seconds(12));
    EXPECT_EQ(master->demands.size(), 3u);  // refreshed so Vessel does not retire it as idle
}

TEST_F(RequestBrokerTest, DemandsWaitForTheMasterAndAreNotRepeatedWhileWaiting) {
    broker_.Submit("calc", NewRequest(), t0_);
    broker_.Submit("echo", NewRequest(), t0_);
    broker_.Tick(t0_ + seconds(2));
    broker_.Tick(t0_ + seconds(4));
    EXPECT_EQ(broker_.PendingDemandCount(), 2u);
    auto master = std::make_shared<FakePeer>();
    broker_.PullDemand(master);
    broker_.PullDemand(master);
    broker_.PullDemand(master);
    EXPECT_EQ(master->demands, (std::vector<std::string>{"calc||1.0", "echo||2"}));
}

TEST_F(RequestBrokerTest, ConfigChangePullsWaitForANewerConfiguration) {
    auto master = std::make_shared<FakePeer>();
    broker_.PullConfig(master);
    ASSERT_EQ(master->configs, std::vector<uint64_t>{1});
    broker_.PullConfigChange(master, 1);
    EXPECT_EQ(master->configs.size(), 1u);
    std::string error;
    broker_.SetConfig(AppConfig::Parse("{\"Modules\":[]}", 2, error));
    EXPECT_EQ(master->configs, (std::vector<uint64_t>{1, 2}));
    broker_.PullConfigChange(master, 1);  // missed a change: answered at once
    EXPECT_EQ(master->configs.size(), 3u);
    EXPECT_EQ(broker_.Submit("calc", NewRequest(), t0_), RequestBroker::SubmitResult::UNKNOWN_MODULE);
}

TEST_F(RequestBrokerTest, TheOldVersionServesUntilTheConfiguredOnePullsThenItTakesWhatWaits) {
    using Result = RequestBroker::SubmitResult;
    auto master = std::make_shared<FakePeer>();
    auto oldWorker = std::make_shared<FakePeer>();
    auto newWorker = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", oldWorker, true);
    ConfigureCalc("2.0", 2);

    broker_.PullDemand(master);
    auto r1 = NewRequest(), r2 = NewRequest(), r3 = NewRequest(), r4 = NewRequest(), r5 = NewRequest();
    ASSERT_EQ(broker_.Submit("calc", r1, t0_), Result::QUEUED);
    EXPECT_EQ(oldWorker->delivered, (std::vector<std::shared_ptr<PendingRequest>>{r1}));
    EXPECT_EQ(master->demands, std::vector<std::string>{"calc||2.0"});
    broker_.PullDemand(master);
    broker_.Submit("calc", r2, t0_ + milliseconds(500));
    broker_.Submit("calc", r3, t0_ + milliseconds(500));
    EXPECT_EQ(master->demands.size(), 1u);  // demanded at the retry pace
    broker_.Submit("calc", r4, t0_ + milliseconds(1500));
    EXPECT_EQ(master->demands, (std::vector<std::string>{"calc||2.0", "calc||2.0"}));
    // The old version's queue bound applies.
    EXPECT_EQ(broker_.Submit("calc", NewRequest(), t0_ + milliseconds(1500)), Result::QUEUE_FULL);
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 3u);
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 0u);

    // The new version's first pull takes what still waits, in order; the old one gets nothing new.
    broker_.Pull("calc||2.0", newWorker, true);
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 0u);
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 2u);
    ASSERT_TRUE(r4->Claim());
    broker_.Cancel(r4);  // found under the key it was moved to
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 1u);
    broker_.Pull("calc||1.0", oldWorker, false);
    broker_.Submit("calc", r5, t0_ + seconds(2));
    broker_.Pull("calc||2.0", newWorker, false);
    broker_.Pull("calc||2.0", newWorker, false);
    EXPECT_EQ(newWorker->delivered, (std::vector<std::shared_ptr<PendingRequest>>{r2, r3, r5}));
    EXPECT_EQ(oldWorker->delivered.size(), 1u);
    // The old version answers what it took.
    EXPECT_EQ(Answer(r1, *oldWorker, "old"), RequestBroker::RespondResult::ANSWERED);
}

TEST_F(RequestBrokerTest, RequestsLeftOnAVersionNoLongerConfiguredGoToTheServingOne) {
    auto master = std::make_shared<FakePeer>();
    auto oldWorker = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", oldWorker, true);
    auto r1 = NewRequest(), r2 = NewRequest(), r3 = NewRequest();
    broker_.Submit("calc", r1, t0_);
    broker_.Submit("calc", r2, t0_);  // waits for the busy old worker; its demand waits for a master
    ConfigureCalc("2.0", 2);
    broker_.PullDemand(master);
    EXPECT_TRUE(master->demands.empty());  // the replaced version is not asked for any more

    // While the old version is pulled for, its queue stays; the new version is demanded.
    broker_.Tick(t0_ + seconds(2));
    EXPECT_EQ(master->demands, std::vector<std::string>{"calc||2.0"});
    EXPECT_EQ(broker_.QueuedCount("calc||1.0"), 1u);
    // Retired with a request waiting: it moves to the configured version.
    broker_.PeerClosed(oldWorker.get(), "calc||1.0");
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 1u);
    EXPECT_EQ(r2->ModuleKey(), "calc||2.0");
    broker_.Submit("calc", r3, t0_ + milliseconds(2500));

    // The change is undone before 2.0 ever pulled: its requests go back, and only 1.0 is demanded.
    ConfigureCalc("1.0", 3);
    broker_.PullDemand(master);
    broker_.Tick(t0_ + seconds(4));
    EXPECT_EQ(master->demands, (std::vector<std::string>{"calc||2.0", "calc||1.0"}));
    EXPECT_EQ(broker_.PendingDemandCount(), 0u);
    EXPECT_EQ(broker_.QueuedCount("calc||2.0"), 0u);
    auto worker = std::make_shared<FakePeer>();
    broker_.Pull("calc||1.0", worker, true);
    broker_.Pull("calc||1.0", worker, false);
    EXPECT_EQ(worker->delivered, (std::vector<std::shared_ptr<PendingRequest>>{r2, r3}));
}
}  // namespace
