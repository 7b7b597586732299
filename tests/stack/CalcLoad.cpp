#include "CalcLoad.h"

#include <map>

#include "support/HttpTestClient.h"

CalcLoad::CalcLoad(int port, int clients, std::chrono::milliseconds answerLimit)
    : port_(port), answerLimit_(answerLimit) {
    for (int i = 0; i < clients; ++i) threads_.emplace_back([this, i] { Client(i); });
}

void CalcLoad::Stop() {
    stop_ = true;
    for (auto& t : threads_) t.join();
    threads_.clear();
}

void CalcLoad::Client(int index) {
    HttpTestClient http;
    bool connected = false;
    // Distinct operands per request, so an answer meant for another request is a wrong answer.
    const long long base = static_cast<long long>(index) * 1000000000LL;
    for (long long n = 1; !stop_; ++n) {
        if (!connected && !(connected = http.Connect(port_))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the gateway restarts: pace
            continue;
        }
        Outcome outcome;
        outcome.sent = Clock::now();
        HttpTestResponse response;
        if (http.SendRequest("GET",
                             "/calc/add?x=" + std::to_string(base + n) + "&y=" + std::to_string(n % 97))) {
            response = http.Read(answerLimit_);
        }
        outcome.status = response.status;
        outcome.body = response.body;
        outcome.right = response.status == 200 && response.body == std::to_string(base + n + n % 97);
        right_ += outcome.right ? 1 : 0;
        if (response.status == 0 || response.headers["connection"] == "close") {
            http.Close();
            connected = false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        outcomes_.push_back(outcome);
    }
}

size_t CalcLoad::RightSince(Clock::time_point t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& o : outcomes_) count += o.right && o.sent >= t ? 1 : 0;
    return count;
}

std::vector<CalcLoad::Outcome> CalcLoad::Outcomes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
}

std::string CalcLoad::Summary() const {
    std::map<std::string, size_t> counts;
    for (const auto& o : Outcomes()) ++counts[o.right ? "right" : "status " + std::to_string(o.status)];
    std::string text;
    for (const auto& [what, n] : counts) text += what + ": " + std::to_string(n) + "; ";
    return text;
}
