// The process at the other end of a gateway connection, and whether it has ended. A process is
// known by its pid together with its start time, so a pid the system has since handed to a newer
// process is not taken for the one that connected.
#pragma once

#include <sys/types.h>

#include <cstdint>

class PeerProcess {
public:
    PeerProcess() = default;  // unknown: never counts as ended
    PeerProcess(pid_t pid, uint64_t startTime) : pid_(pid), startTime_(startTime) {}

    // The connecting process of a Unix-domain socket (SO_PEERCRED); unknown when the kernel cannot
    // say (for example a peer in another pid namespace).
    static PeerProcess OfSocket(int fd);
    // The process running now under pid.
    static PeerProcess OfPid(pid_t pid);

    pid_t Pid() const { return pid_; }
    uint64_t StartTime() const { return startTime_; }
    bool Known() const { return pid_ > 0; }
    // True once the process can no longer answer anything: it is gone, a zombie, inside its exit,
    // or its pid now names a process started later. False while it runs, and when unknown.
    bool Ended() const;

    // True when both name one process: the same pid, and the same start time where both could
    // be read. Two unknown processes (peers in another pid namespace) count as the same.
    bool SameAs(const PeerProcess& other) const {
        return pid_ == other.pid_ &&
               (startTime_ == other.startTime_ || startTime_ == 0 || other.startTime_ == 0);
    }

    bool operator==(const PeerProcess& other) const {
        return pid_ == other.pid_ && startTime_ == other.startTime_;
    }
    bool operator!=(const PeerProcess& other) const { return !(*this == other); }

private:
    struct Status {
        char state = 0;
        uint64_t flags = 0;
        uint64_t startTime = 0;
    };
    // Reads /proc/<pid>/stat. False when it cannot be read.
    static bool ReadStatus(pid_t pid, Status& status);

    pid_t pid_ = 0;
    uint64_t startTime_ = 0;  // clock ticks after boot; 0 when it could not be read
};
