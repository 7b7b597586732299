// A steady trickle of requests through vessel-gateway, one at a time, each on a fresh connection:
// what a user's client does while an operator changes a module. Records every answer in order.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Trickle {
public:
    struct Answer {
        int status = 0;  // 0: no answer (connection lost or nothing within the limit)
        std::string body;
    };

    Trickle(int port, std::string target, std::chrono::milliseconds every);
    ~Trickle();  // Stop()
    Trickle(const Trickle&) = delete;
    Trickle& operator=(const Trickle&) = delete;

    void Start();
    // Lets the request in flight finish, then joins.
    void Stop();

    std::vector<Answer> Answers() const;
    // Waits until an answer that arrives from now on has text in its body.
    bool WaitForBody(const std::string& text, std::chrono::milliseconds timeout) const;
    // "200 x N, 504 x M", for failure messages.
    std::string Summary() const;
    // Empty when every answer was 200 from one of two versions, the old one (oldMark in its
    // body) until the new one (newMark) answered first, the new one from then on; else what broke
    // that.
    std::string SwitchFault(const std::string& oldMark, const std::string& newMark) const;

private:
    void Run();

    const int port_;
    const std::string target_;
    const std::chrono::milliseconds every_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    // Lock: mutex_ guards answers_.
    mutable std::mutex mutex_;
    std::vector<Answer> answers_;
};
