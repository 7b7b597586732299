// The reply connection against a scripted gateway, in a child of its own (a process-wide
// singleton): one resend across a gateway restart, a gateway that is gone, concurrent senders.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CModuleHarness.h"
#include "hosts/c/RequestReply.h"
#include "proto/GatewayProtocol.h"
#include "support/LogReader.h"

namespace {

using namespace cmodtest;
using testsupport::LogReader;

Parts Reply(const std::string& id, const std::string& body) { return {"responsereq", "calc||1.0||1", id, "200", body, ""}; }

TEST(RequestReply, GatewayRestartIsBridgedByOneResendAndAGoneGatewayFailsTheReply) {
    testsupport::RunInChildWithLog([](LogReader& log) {
        Harness h("Reply");
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);
        ASSERT_EQ(reply->ReturnToGW(Serialize(Reply("1", "first"))), 0);
        auto first = h.gw.WaitForFrame("responsereq", WAIT);
        ASSERT_TRUE(first && first->parts == Reply("1", "first"));

        ASSERT_EQ(h.gw.Restart(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("2", "second"))), 0);
        auto second = h.gw.WaitForFrame("responsereq", WAIT);
        ASSERT_TRUE(second && second->parts == Reply("2", "second"));
        EXPECT_NE(second->conn, first->conn);
        EXPECT_EQ(log.CountNew("sendTo fails, retry:Broken pipe"), 1u);

        h.gw.Stop();
        EXPECT_NE(reply->ReturnToGW(Serialize(Reply("3", "lost"))), 0);
        EXPECT_NE(reply->ConnectToGW(), 0);
        ASSERT_EQ(h.gw.Start(), 0);
        EXPECT_EQ(reply->ConnectToGW(), 0);
        EXPECT_EQ(reply->ReturnToGW(Serialize(Reply("4", "back"))), 0);
        EXPECT_EQ(h.NextResponse(), Reply("4", "back"));
        EXPECT_EQ(h.gw.FramesOf("responsereq").size(), 3u);
    });
}

TEST(RequestReply, ConcurrentRepliesArriveAsWholeFrames) {
    testsupport::RunInChildWithLog([](LogReader&) {
        Harness h("ReplyConc");
        RequestReply* reply = RequestReply::getInstance();
        ASSERT_EQ(reply->ConnectToGW(), 0);
        // Bodies far larger than one socket write: unserialised senders would interleave chunks.
        constexpr int THREADS = 4, EACH = 3;
        std::atomic<int> ready{0}, failures{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < THREADS; ++t) {
            senders.emplace_back([&, t] {
                const std::string body(300000, static_cast<char>('a' + t));
                for (++ready; ready.load() < THREADS;) std::this_thread::yield();
                for (int i = 0; i < EACH; ++i) failures += reply->ReturnToGW(Serialize(Reply(std::to_string(t * 10 + i), body))) != 0;
            });
        }
        for (auto& s : senders) s.join();
        EXPECT_EQ(failures.load(), 0);
        ASSERT_TRUE(h.gw.WaitForFrameCount("responsereq", THREADS * EACH, WAIT));
        EXPECT_TRUE(h.gw.BadInputs().empty());
        for (const auto& f : h.gw.FramesOf("responsereq")) {
            EXPECT_EQ(f.parts.at(4), std::string(300000, static_cast<char>('a' + std::stoi(f.parts.at(2)) / 10)));
        }
    });
}

}  // namespace
