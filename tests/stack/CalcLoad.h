// Steady load for fault tests: client threads that keep sending additions to the calc module
// through vessel-gateway, each on its own keep-alive connection with one request at a time, and
// record what became of every request they sent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CalcLoad {
public:
    using Clock = std::chrono::steady_clock;

    // What one request got. Every request sent has exactly one outcome.
    struct Outcome {
        Clock::time_point sent;
        Clock::time_point done;
        int status = 0;      // the HTTP status; CONNECTION_LOST or NO_ANSWER when there was none
        bool right = false;  // 200 with the right sum (a late or duplicate answer has a wrong one)
        std::string body;
    };
    static constexpr int CONNECTION_LOST = 0;  // the connection broke before a whole answer came
    static constexpr int NO_ANSWER = -1;       // nothing within the answer limit: it hung

    // answerLimit: how long a client waits for one answer before counting it as hung.
    CalcLoad(int port, int clients, std::chrono::milliseconds answerLimit);
    ~CalcLoad();
    CalcLoad(const CalcLoad&) = delete;
    CalcLoad& operator=(const CalcLoad&) = delete;

    void Start();
    // Lets every client finish the request it is waiting for, then joins them.
    void Stop();

    // Live counts, for waiting on progress.
    size_t Sent() const { return sent_.load(); }
    size_t Right() const { return right_.load(); }
    // Right answers to requests sent at or after t.
    size_t RightSince(Clock::time_point t) const;
    // Requests sent at or after t that have their outcome, whatever it is.
    size_t DoneSince(Clock::time_point t) const;

    // After Stop(): every outcome, in no particular order.
    std::vector<Outcome> Outcomes() const;
    // Counts by status and the clients' refused connections, for failure messages.
    std::string Summary() const;

private:
    void Client(int index);
    void Record(const Outcome& outcome);

    const int port_;
    const int clients_;
    const std::chrono::milliseconds answerLimit_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> sent_{0};
    std::atomic<size_t> right_{0};
    std::atomic<size_t> refused_{0};
    // Lock: mutex_ guards outcomes_; stopCv_ waits on it. No other lock is taken while holding it.
    mutable std::mutex mutex_;
    std::condition_variable stopCv_;
    std::vector<Outcome> outcomes_;
};
