#include "Load.h"

#include <map>

#include "support/HttpTestClient.h"

Load::Load(int port, int clients, std::chrono::milliseconds answerLimit, Request request)
    : port_(port), answerLimit_(answerLimit), request_(std::move(request)) {
    for (int i = 0; i < clients; ++i) threads_.emplace_back([this] { Client(); });
}

void Load::Stop() {
    stop_ = true;
    for (auto& t : threads_) t.join();
    threads_.clear();
}

void Load::Client() {
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

size_t Load::RightSince(Clock::time_point t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& o : outcomes_) count += o.right && o.sent >= t ? 1 : 0;
    return count;
}

std::vector<Load::Outcome> Load::Outcomes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
}

std::string Load::Summary() const {
    std::map<std::string, size_t> counts;
    for (const auto& o : Outcomes()) ++counts[o.right ? "right" : "status " + std::to_string(o.status)];
    std::string text;
    for (const auto& [what, n] : counts) text += what + ": " + std::to_string(n) + "; ";
    return text;
}
