// Steady load for the stack's stories: client threads that keep sending requests through
// vessel-gateway, each on its own keep-alive connection, one request at a time, and record what
// became of every request they sent.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Load {
public:
    using Clock = std::chrono::steady_clock;
    // The n-th request (n unique across clients): its target and the exact body a right answer
    // has, or "" when any 200 is right.
    using Request = std::function<std::pair<std::string, std::string>(long long n)>;
    struct Outcome {  // exactly one per request sent
        Clock::time_point sent;
        int status = 0;  // 0 when the connection broke or nothing came in time
        bool right = false;
        std::string body;
    };

    Load(int port, int clients, std::chrono::milliseconds answerLimit, Request request);
    ~Load() { Stop(); }
    // Lets every client finish the request it waits for, then joins them.
    void Stop();
    size_t RightSince(Clock::time_point t = {}) const;
    std::vector<Outcome> Outcomes() const;
    // Counts by status, for failure messages.
    std::string Summary() const;

private:
    void Client();

    const int port_;
    const std::chrono::milliseconds answerLimit_;
    const Request request_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> next_{0};
    mutable std::mutex mutex_;  // guards outcomes_
    std::vector<Outcome> outcomes_;
    std::vector<std::thread> threads_;
};
