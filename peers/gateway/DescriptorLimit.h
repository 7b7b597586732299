// The descriptor budget of the gateway. Every HTTP connection and every connection on the
// gateway socket costs a descriptor; when HTTP clients take them all, a restarted worker cannot
// connect any more and every request times out. So the soft limit is raised to the hard one at
// start, and HTTP gets at most the limit minus a reserve that stays for the workers' (and the
// master's) connections, the event loops and the files the gateway reads.
#pragma once

#include <cstddef>
#include <string>

class DescriptorLimit {
public:
    // Raises the soft RLIMIT_NOFILE to the hard limit. Returns the limit in force afterwards;
    // note says what happened, for the start-up log line.
    static size_t Raise(std::string& note);
    // The HTTP connection cap used when --max-connections is not given.
    static size_t DefaultMaxConnections(size_t limit);
    // The largest cap that still leaves the minimum reserve.
    static size_t MaxConnectionsAllowed(size_t limit);
};
