#include "common/LogRateLimiter.h"

#include <chrono>

LogRateLimiter::LogRateLimiter(int64_t periodMs, uint32_t burst)
    : periodMs_(periodMs > 0 ? periodMs : 1), burst_(burst > 0 ? burst : 1) {}

bool LogRateLimiter::Allow(uint64_t* suppressed) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return AllowAt(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), suppressed);
}

bool LogRateLimiter::AllowAt(int64_t nowMs, uint64_t* suppressed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || nowMs - windowStartMs_ >= periodMs_) {
        started_ = true;
        windowStartMs_ = nowMs;
        passed_ = 0;
    }
    if (passed_ >= burst_) {
        ++suppressed_;
        if (suppressed != nullptr) *suppressed = 0;
        return false;
    }
    ++passed_;
    if (suppressed != nullptr) *suppressed = suppressed_;
    suppressed_ = 0;
    return true;
}

std::string LogRateLimiter::SuppressedNote(uint64_t suppressed) {
    if (suppressed == 0) return std::string();
    return " (" + std::to_string(suppressed) + " similar lines suppressed)";
}
