// Lets one log line of a kind through per interval and counts the rest, so that a flood (a peer
// spraying answers, an accept loop out of descriptors, a stream of refused connections) cannot
// fill the log. The first line always goes out at once.
//
// Lock: mutex_ guards next_ and held_; it is never held while logging.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration interval) : interval_(interval) {}
    // True when a line may be written now; then heldBack tells how many were dropped since the
    // last one written.
    bool Allow(size_t& heldBack, Clock::time_point now = Clock::now());
    // " (N more since the last such line)" when heldBack is not 0, else "".
    static std::string More(size_t heldBack);

private:
    const Clock::duration interval_;
    std::mutex mutex_;
    Clock::time_point next_{};
    size_t held_ = 0;
};
