// The reply connection against a scriptable gateway: restarts, a gateway that is gone, and
// handlers that reply at the same moment.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/LogCfg.h"
#include "proto/GatewayProtocol.h"
#include "hosts/c/RequestReply.h"
#include "support/LogReader.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::LogReader;
using testsupport::ScopedEnv;
using testsupport::ScriptableGateway;

std::vector<std::string> Reply(const std::string& requestId, const std::string& body) {
    return {"responsereq", "calc||1.0||4242", requestId, "200", body, ""};
}

// Every test runs in its own child: RequestReply is a process-wide singleton with a connection.
TEST(RequestReplyTest, GatewayRestartBetweenRepliesIsBridgedByOneResend) {
    testsupport::RunInChildWithLog([](LogReader& log) {
        std::string app = testsupport::UniqueName("reqreply");
        ScopedEnv env("APP_NAME", app);
        ScriptableGateway gw(ScriptableGateway::PathForApp(app));
        ASSERT_EQ(gw.Start(), 0);
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);

        ASSERT_EQ(reply->ReturnToGW(Serialize(Reply("1", "first"))), 0);
        auto first = gw.WaitForFrame("responsereq", 5s);
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->parts, Reply("1", "first"));

        ASSERT_EQ(gw.Restart(), 0);
        log.Mark();
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("2", "second"))), 0);
        auto second = gw.WaitForFrame("responsereq", 5s);
        ASSERT_TRUE(second.has_value());
        EXPECT_EQ(second->parts, Reply("2", "second"));
        EXPECT_NE(second->conn, first->conn);

        auto retry = log.NewLinesWith("sendTo fails, retry:");
        ASSERT_EQ(retry.size(), 1u);
        EXPECT_EQ(retry[0].message, std::string("sendTo fails, retry:") + strerror(EPIPE));
        EXPECT_EQ(retry[0].level, "Info");
        EXPECT_EQ(retry[0].func, "ReturnToGW");
        EXPECT_EQ(retry[0].file, "RequestReply.cpp");
    });
}

TEST(RequestReplyTest, GatewayGoneFailsTheReplyAfterOneReconnect) {
    testsupport::RunInChildWithLog([](LogReader& log) {
        std::string app = testsupport::UniqueName("reqreply");
        ScopedEnv env("APP_NAME", app);
        ScriptableGateway gw(ScriptableGateway::PathForApp(app));
        ASSERT_EQ(gw.Start(), 0);
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->Init(), 0);
        gw.Stop();

        log.Mark();
        int32_t rc = reply->ReturnToGW(Serialize(Reply("1", "lost")));
        EXPECT_NE(rc, 0);
        auto fails = log.NewLinesWith("reconnect fails");
        ASSERT_EQ(fails.size(), 1u);
        EXPECT_EQ(fails[0].level, "Error");
        EXPECT_EQ(fails[0].message, "ErrorCode:" + std::to_string(rc) + ",reconnect fails");
        EXPECT_EQ(fails[0].func, "ReSend");
        EXPECT_EQ(log.CountNew("sendTo fails, retry:"), 1u);

        // The dispatcher's check now reports the gateway as unreachable, and recovers with it.
        EXPECT_NE(reply->ConnectToGW(), 0);
        EXPECT_EQ(log.CountNew("connectGateway fail"), 1u);
        ASSERT_EQ(gw.Start(), 0);
        EXPECT_EQ(reply->ConnectToGW(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("2", "back"))), 0);
        auto frame = gw.WaitForFrame("responsereq", 5s);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->parts, Reply("2", "back"));
    });
}

TEST(RequestReplyTest, ConcurrentRepliesArriveAsWholeFrames) {
    testsupport::RunInChildWithLog([](LogReader&) {
        std::string app = testsupport::UniqueName("reqreply");
        ScopedEnv env("APP_NAME", app);
        ScriptableGateway gw(ScriptableGateway::PathForApp(app));
        ASSERT_EQ(gw.Start(), 0);
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);

        // Bodies far larger than one socket write: unserialised senders would interleave chunks.
        constexpr int THREADS = 4;
        constexpr int PER_THREAD = 3;
        std::atomic<int> ready{0};
        std::atomic<int> failures{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < THREADS; ++t) {
            senders.emplace_back([&, t] {
                std::string body(300000, static_cast<char>('a' + t));
                ++ready;
                while (ready.load() < THREADS) {
                    std::this_thread::yield();
                }
                for (int i = 0; i < PER_THREAD; ++i) {
                    if (reply->ReturnToGW(Serialize(Reply(std::to_string(t * 10 + i), body))) != 0) {
                        ++failures;
                    }
                }
            });
        }
        for (auto& s : senders) {
            s.join();
        }
        EXPECT_EQ(failures.load(), 0);
        ASSERT_TRUE(gw.WaitForFrameCount("responsereq", THREADS * PER_THREAD, 10s));
        EXPECT_TRUE(gw.BadInputs().empty());
        std::vector<std::string> ids;
        for (const auto& frame : gw.FramesOf("responsereq")) {
            ASSERT_EQ(frame.parts.size(), 6u);
            int id = std::stoi(frame.parts[2]);
            EXPECT_EQ(frame.parts[4], std::string(300000, static_cast<char>('a' + id / 10)));
            ids.push_back(frame.parts[2]);
        }
        EXPECT_EQ(ids.size(), static_cast<size_t>(THREADS * PER_THREAD));
    });
}

}  // namespace
