#include "base/LogRateLimiter.h"

#include <chrono>

LogRateLimiter::LogRateLimiter(int64_t periodMs, uint32_t burst)
    : periodMs_(periodMs > 0 ? periodMs : 1), burst_(burst > 0 ? burst : 1) {}

bool LogRateLimiter::Allow(uint64_t* suppressed) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return AllowAt(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), suppressed);
}

bool LogRateLimiter::AllowAt(int64_t nowMs, uint64_t* suppressed) {
    int64_t start = windowStartMs_.load(std::memory_order_relaxed);
    if ((start == kNoWindow || nowMs - start >= periodMs_) &&
        windowStartMs_.compare_exchange_strong(start, nowMs, std::memory_order_relaxed)) {
        passed_.store(0, std::memory_order_relaxed);
    }
    if (passed_.fetch_add(1, std::memory_order_relaxed) >= burst_) {
        suppressed_.fetch_add(1, std::memory_order_relaxed);
        if (suppressed != nullptr) *suppressed = 0;
        return false;
    }
    const uint64_t held = suppressed_.exchange(0, std::memory_order_relaxed);
    if (suppressed != nullptr) *suppressed = held;
    return true;
}

std::string LogRateLimiter::SuppressedNote(uint64_t suppressed) {
    if (suppressed == 0) return std::string();
    return " (" + std::to_string(suppressed) + " similar lines suppressed)";
}
