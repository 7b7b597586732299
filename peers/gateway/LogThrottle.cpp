#include "LogThrottle.h"

bool LogThrottle::Allow(size_t& heldBack, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (now < next_) {
        ++held_;
        return false;
    }
    next_ = now + interval_;
    heldBack = held_;
    held_ = 0;
    return true;
}

std::string LogThrottle::More(size_t heldBack) {
    if (heldBack == 0) {
        return "";
    }
    return " (" + std::to_string(heldBack) + " more since the last such line)";
}
