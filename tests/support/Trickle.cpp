#include "support/Trickle.h"

#include <map>

#include "support/HttpTestClient.h"
#include "support/TestSupport.h"

Trickle::Trickle(int port, std::string target, std::chrono::milliseconds every)
    : port_(port), target_(std::move(target)), every_(every) {}

Trickle::~Trickle() {
    Stop();
}

void Trickle::Start() {
    thread_ = std::thread([this] { Run(); });
}

void Trickle::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Trickle::Run() {
    while (!stop_) {
        auto next = std::chrono::steady_clock::now() + every_;
        // Longer than the gateway's own limit: its 504 is an answer, a hang is not.
        HttpTestResponse response = HttpTestClient::Get(port_, target_, std::chrono::seconds(40));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answers_.push_back(Answer{response.status, response.body});
        }
        std::this_thread::sleep_until(next);
    }
}

std::vector<Trickle::Answer> Trickle::Answers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
}

bool Trickle::WaitForBody(const std::string& text, std::chrono::milliseconds timeout) const {
    size_t from = Answers().size();
    return testsupport::WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t i = from; i < answers_.size(); ++i) {
                if (answers_[i].body.find(text) != std::string::npos) return true;
            }
            return false;
        },
        timeout);
}

std::string Trickle::Summary() const {
    std::map<int, size_t> counts;
    for (const Answer& a : Answers()) ++counts[a.status];
    std::string text;
    for (const auto& c : counts) {
        text += (text.empty() ? "" : ", ") + std::to_string(c.first) + " x " + std::to_string(c.second);
    }
    return text;
}

std::string Trickle::SwitchFault(const std::string& oldMark, const std::string& newMark) const {
    bool switched = false;
    size_t n = 0;
    for (const Answer& a : Answers()) {
        const std::string where =
            "answer " + std::to_string(n++) + " (" + std::to_string(a.status) + " " + a.body + ")";
        bool isNew = a.body.find(newMark) != std::string::npos;
        if (a.status != 200) return where + ": not 200";
        if (!isNew && a.body.find(oldMark) == std::string::npos) return where + ": from neither version";
        if (switched && !isNew) return where + ": the old version answered after the new one";
        switched = switched || isNew;
    }
    return switched ? "" : "the new version never answered";
}
