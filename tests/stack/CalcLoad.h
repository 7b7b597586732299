// Steady load for the stack's stories: client threads that keep sending additions to calc through
// vessel-gateway, each on its own keep-alive connection, one request at a time, and record what
// became of every request they sent.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CalcLoad {
public:
    using Clock = std::chrono::steady_clock;
    // What one request got: exactly one per request sent.
    struct Outcome {
        Clock::time_point sent;
        int status = 0;      // the HTTP status; 0 when the connection broke or nothing came in time
        bool right = false;  // 200 with the right sum (a late or duplicate answer has a wrong one)
        std::string body;
    };

    CalcLoad(int port, int clients, std::chrono::milliseconds answerLimit);
    ~CalcLoad() { Stop(); }
    // Lets every client finish the request it waits for, then joins them.
    void Stop();
    size_t Right() const { return right_.load(); }
    // Right answers to requests sent at or after t.
    size_t RightSince(Clock::time_point t) const;
    std::vector<Outcome> Outcomes() const;
    // Counts by status, for failure messages.
    std::string Summary() const;

private:
    void Client(int index);

    const int port_;
    const std::chrono::milliseconds answerLimit_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> right_{0};
    mutable std::mutex mutex_;  // guards outcomes_
    std::vector<Outcome> outcomes_;
    std::vector<std::thread> threads_;
};
