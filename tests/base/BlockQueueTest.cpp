#include "base/BlockQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::WaitFor;

TEST(BlockQueueTest, KeepsArrivalOrderAndCount)
{
    BlockQueue<std::pair<std::string, std::string>> queue;
    queue.Push({"createJvm", "-Xmx64m"});
    queue.Push({"stopJvm", ""});
    queue.Push({"other", "x"});
    EXPECT_EQ(3u, queue.Size());

    std::pair<std::string, std::string> cmd;
    ASSERT_TRUE(queue.Pop(cmd));
    EXPECT_EQ("createJvm", cmd.first);
    EXPECT_EQ("-Xmx64m", cmd.second);
    ASSERT_TRUE(queue.TryPop(cmd));
    EXPECT_EQ("stopJvm", cmd.first);
    ASSERT_TRUE(queue.PopFor(cmd, 10ms));
    EXPECT_EQ("other", cmd.first);
    EXPECT_TRUE(queue.Empty());
    EXPECT_FALSE(queue.TryPop(cmd));
    EXPECT_FALSE(queue.PopFor(cmd, 1ms));
}

TEST(BlockQueueTest, PopWaitsForAPushFromAnotherThread)
{
    BlockQueue<int> queue;
    std::atomic<bool> started{false};
    std::atomic<int> got{0};
    std::thread consumer([&] {
        started = true;
        int v = 0;
        if (queue.Pop(v)) {
            got = v;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return started.load(); }, 5s));
    queue.Push(42);
    EXPECT_TRUE(WaitFor([&] { return got.load() == 42; }, 5s));
    consumer.join();
}

TEST(BlockQueueTest, StopReleasesWaitersButQueuedItemsAreStillTaken)
{
    BlockQueue<int> queue;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            int v = 0;
            if (!queue.Pop(v)) {
                ++released;
            }
        });
    }
    queue.Stop();
    EXPECT_TRUE(WaitFor([&] { return released.load() == 3; }, 5s));
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_TRUE(queue.Stopped());

    // A request handed back during shutdown is still delivered before Pop reports the end.
    queue.Push(7);
    int v = 0;
    EXPECT_TRUE(queue.Pop(v));
    EXPECT_EQ(7, v);
    EXPECT_FALSE(queue.Pop(v));
    EXPECT_FALSE(queue.PopFor(v, 1h));  // stopped and empty: no wait at all
}

TEST(BlockQueueTest, EveryItemReachesExactlyOneConsumer)
{
    BlockQueue<std::unique_ptr<int>> queue;  // move-only elements work too
    const int kProducers = 4;
    const int kPerProducer = 2000;
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> received(3);
    for (size_t c = 0; c < received.size(); ++c) {
        threads.emplace_back([&, c] {
            std::unique_ptr<int> item;
            while (queue.Pop(item)) {
                received[c].push_back(*item);
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                queue.Push(std::make_unique<int>(p * kPerProducer + i));
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    ASSERT_TRUE(WaitFor([&] { return queue.Empty(); }, 10s));
    queue.Stop();
    for (auto& t : threads) {
        t.join();
    }
    std::multiset<int> all;
    for (const auto& part : received) {
        all.insert(part.begin(), part.end());
    }
    ASSERT_EQ(static_cast<size_t>(kProducers * kPerProducer), all.size());
    for (int i = 0; i < kProducers * kPerProducer; ++i) {
        EXPECT_EQ(1u, all.count(i)) << i;
    }
}

}  // namespace
