// Steady load for the stack's stories: client threads that keep sending requests through
// vessel-gateway, each on its own keep-alive connection, one request at a time, and record what
// became of every request they sent.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/HttpTestClient.h"

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

    Load(int port, int clients, std::chrono::milliseconds answerLimit, Request request)
        : port_(port), answerLimit_(answerLimit), request_(std::move(request)) {
        for (int i = 0; i < clients; ++i) threads_.emplace_back([this] { Client(); });
    }
    ~Load() { Stop(); }
    // Lets every client finish the request it waits for, then joins them.
    void Stop() {
        stop_ = true;
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    size_t RightSince(Clock::time_point t = {}) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t count = 0;
        for (const auto& o : outcomes_) count += o.right && o.sent >= t ? 1 : 0;
        return count;
    }
    std::vector<Outcome> Outcomes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return outcomes_;
    }
    // Counts by status, for failure messages.
    std::string Summary() const {
        std::map<std::string, size_t> counts;
        for (const auto& o : Outcomes()) ++counts[o.right ? "right" : "status " + std::to_string(o.status)];
        std::string text;
        for (const auto& [what, n] : counts) text += what + ": " + std::to_string(n) + "; ";
        return text;
    }

private:
    void Client() {
        HttpTestClient http;
        bool connected = false;
        while (!stop_) {
            if (!connected && !(connected = http.Connect(port_))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the gateway restarts: pace
                continue;
            }
            const auto [target, want] = request_(++next_);
            Outcome o;
            o.sent = Clock::now();
            HttpTestResponse response;
            if (http.SendRequest("GET", target)) response = http.Read(answerLimit_);
            o.status = response.status;
            o.body = response.body;
            o.right = o.status == 200 && (want.empty() || o.body == want);
            if (o.status == 0 || response.headers["connection"] == "close") {
                http.Close();
                connected = false;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            outcomes_.push_back(o);
        }
    }

    const int port_;
    const std::chrono::milliseconds answerLimit_;
    const Request request_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> next_{0};
    mutable std::mutex mutex_;  // guards outcomes_
    std::vector<Outcome> outcomes_;
    std::vector<std::thread> threads_;
};
