#include "DescriptorLimit.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Descriptors never given to HTTP: a few dozen for the gateway itself, the rest for the
// connections of Vessel's master and workers (two or more per worker).
constexpr size_t MIN_RESERVE = 64;
constexpr size_t MAX_RESERVE = 4096;

}  // namespace

size_t DescriptorLimit::Raise(std::string& note) {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        note = std::string("cannot read the descriptor limit: ") + strerror(errno);
        return 1024;
    }
    const rlim_t before = limit.rlim_cur;
    if (limit.rlim_cur < limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        } else {
            note = "descriptor limit " + std::to_string(before) + " (raising it to " +
                   std::to_string(limit.rlim_max) + " failed: " + strerror(errno) + ")";
            return static_cast<size_t>(before);
        }
    }
    note = "descriptor limit " + std::to_string(limit.rlim_cur);
    if (limit.rlim_cur != before) {
        note += " (raised from " + std::to_string(before) + ")";
    }
    return static_cast<size_t>(limit.rlim_cur);
}

size_t DescriptorLimit::DefaultMaxConnections(size_t limit) {
    size_t reserve = std::clamp(limit / 4, MIN_RESERVE, MAX_RESERVE);
    return limit > 2 * reserve ? limit - reserve : std::max<size_t>(limit / 2, 1);
}

size_t DescriptorLimit::MaxConnectionsAllowed(size_t limit) {
    return limit > 2 * MIN_RESERVE ? limit - MIN_RESERVE : std::max<size_t>(limit / 2, 1);
}
