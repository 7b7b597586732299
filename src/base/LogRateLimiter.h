// Keeps a log line that can repeat in a tight loop (a failing accept, a failing write) from
// flooding the disk: lets it through at most `burst` times per period and counts the rest, so
// the next line let through can say how many were held back. One instance per call site,
// usually a function-local static or a member; safe from any thread.
//
//     static LogRateLimiter limit(1000, 5);
//     uint64_t dropped = 0;
//     if (limit.Allow(&dropped)) LOG_INFO("accept fails" + LogRateLimiter::SuppressedNote(dropped));
//
// Lock-free, so a process forked while another thread was inside Allow is not left with a
// held lock. Threads racing at a window's start may let a line or two more through.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>

class LogRateLimiter {
public:
    explicit LogRateLimiter(int64_t periodMs, uint32_t burst = 1);

    // True when a line may be written now. suppressed, when given, receives how many lines
    // were refused since the last one let through (0 when it returns false).
    bool Allow(uint64_t* suppressed = nullptr);
    // The same at a given steady-clock time in milliseconds.
    bool AllowAt(int64_t nowMs, uint64_t* suppressed = nullptr);

    // "" for 0, else " (<n> similar lines suppressed)": appended to the line let through.
    static std::string SuppressedNote(uint64_t suppressed);

private:
    static constexpr int64_t kNoWindow = std::numeric_limits<int64_t>::min();

    const int64_t periodMs_;
    const uint64_t burst_;
    std::atomic<int64_t> windowStartMs_{kNoWindow};
    std::atomic<uint64_t> passed_{0};  // lines asking in the current window
    std::atomic<uint64_t> suppressed_{0};
};
