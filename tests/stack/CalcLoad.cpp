#include "CalcLoad.h"

#include <map>

#include "support/HttpTestClient.h"

CalcLoad::CalcLoad(int port, int clients, std::chrono::milliseconds answerLimit)
    : port_(port), clients_(clients), answerLimit_(answerLimit) {}

CalcLoad::~CalcLoad() {
    Stop();
}

void CalcLoad::Start() {
    stop_ = false;
    for (int i = 0; i < clients_; ++i) {
        threads_.emplace_back([this, i] { Client(i); });
    }
}

void CalcLoad::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    for (auto& t : threads_) {
        t.join();
    }
    threads_.clear();
}

void CalcLoad::Record(const Outcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(outcome);
}

void CalcLoad::Client(int index) {
    HttpTestClient http;
    bool connected = false;
    // Distinct operands per request, so an answer meant for another request is a wrong answer.
    long long x = static_cast<long long>(index) * 1000000000LL;
    for (long long n = 1; !stop_; ++n) {
        if (!connected) {
            if (!http.Connect(port_)) {
                // The gateway is not there (a restart): not a request. Pace the retries rather
                // than spin on refused connections; Stop() cuts the pause short.
                ++refused_;
                std::unique_lock<std::mutex> lock(mutex_);
                stopCv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_.load(); });
                continue;
            }
            connected = true;
        }
        const long long a = x + n;
        const long long b = n % 97;
        Outcome outcome;
        outcome.sent = Clock::now();
        ++sent_;
        bool sentWhole =
            http.SendRequest("GET", "/calc/add?x=" + std::to_string(a) + "&y=" + std::to_string(b));
        HttpTestResponse response;
        if (sentWhole) {
            response = http.Read(answerLimit_);
        }
        outcome.done = Clock::now();
        if (response.status != 0) {
            outcome.status = response.status;
            outcome.body = response.body;
            outcome.right = response.status == 200 && response.body == std::to_string(a + b);
        } else {
            outcome.status =
                sentWhole && outcome.done - outcome.sent >= answerLimit_ ? NO_ANSWER : CONNECTION_LOST;
        }
        if (outcome.right) {
            ++right_;
        }
        if (response.status == 0 || response.headers["connection"] == "close") {
            http.Close();
            connected = false;
        }
        Record(outcome);
    }
}

size_t CalcLoad::RightSince(Clock::time_point t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& o : outcomes_) {
        if (o.right && o.sent >= t) {
            ++count;
        }
    }
    return count;
}

size_t CalcLoad::DoneSince(Clock::time_point t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& o : outcomes_) {
        if (o.sent >= t) {
            ++count;
        }
    }
    return count;
}

std::vector<CalcLoad::Outcome> CalcLoad::Outcomes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
}

std::string CalcLoad::Summary() const {
    std::map<int, size_t> byStatus;
    size_t wrong = 0;
    std::string firstWrong;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& o : outcomes_) {
            ++byStatus[o.status];
            if (o.status == 200 && !o.right) {
                if (wrong++ == 0) {
                    firstWrong = o.body;
                }
            }
        }
    }
    std::string text = "sent " + std::to_string(sent_.load()) + ", right " + std::to_string(right_.load());
    for (const auto& entry : byStatus) {
        std::string name = entry.first == CONNECTION_LOST ? "connection lost"
                           : entry.first == NO_ANSWER     ? "no answer"
                                                          : "status " + std::to_string(entry.first);
        text += ", " + name + ": " + std::to_string(entry.second);
    }
    if (wrong > 0) {
        text +=
            ", wrong 200 answers: " + std::to_string(wrong) + " (first \"" + firstWrong.substr(0, 80) + "\")";
    }
    text += ", refused connects: " + std::to_string(refused_.load());
    return text;
}
