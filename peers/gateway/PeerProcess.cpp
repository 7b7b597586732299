#include "PeerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The kernel's PF_EXITING task flag: set first thing in the exit path, before the process's
// descriptors are closed. A connection closed by a dying process therefore always finds it set
// (or the process already a zombie, or gone).
constexpr uint64_t TASK_FLAG_EXITING = 0x4;

// Fields of /proc/<pid>/stat, counted from the state (field 3) after the command name.
constexpr int FIELD_FLAGS = 9 - 3;
constexpr int FIELD_START_TIME = 22 - 3;

}  // namespace

PeerProcess PeerProcess::OfSocket(int fd) {
    struct ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) {
        return PeerProcess();
    }
    return OfPid(cred.pid);
}

PeerProcess PeerProcess::OfPid(pid_t pid) {
    Status status;
    // Without a start time the pid alone is kept; only reuse of the pid then goes unnoticed.
    return PeerProcess(pid, ReadStatus(pid, status) ? status.startTime : 0);
}

bool PeerProcess::ReadStatus(pid_t pid, Status& status) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buf[4096];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof(buf) - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) {
        return false;
    }
    buf[n] = '\0';
    // The command name may hold blanks and parentheses; the fields start after the last ')'.
    char* p = strrchr(buf, ')');
    if (p == nullptr) {
        return false;
    }
    ++p;
    int field = 0;
    bool haveStart = false;
    char* save = nullptr;
    for (char* token = strtok_r(p, " \n", &save); token != nullptr; token = strtok_r(nullptr, " \n", &save)) {
        if (field == 0) {
            status.state = token[0];
        } else if (field == FIELD_FLAGS) {
            status.flags = strtoull(token, nullptr, 10);
        } else if (field == FIELD_START_TIME) {
            status.startTime = strtoull(token, nullptr, 10);
            haveStart = true;
            break;
        }
        ++field;
    }
    return haveStart;
}

bool PeerProcess::Ended() const {
    if (!Known()) {
        return false;
    }
    Status status;
    if (!ReadStatus(pid_, status)) {
        // No entry means gone, unless /proc is not available at all: ask the kernel directly.
        return kill(pid_, 0) == -1 && errno == ESRCH;
    }
    if (status.state == 'Z' || status.state == 'X' || status.state == 'x') {
        return true;  // a zombie answers nothing, and its descriptors are closed
    }
    if ((status.flags & TASK_FLAG_EXITING) != 0) {
        return true;
    }
    return startTime_ != 0 && status.startTime != startTime_;
}
