#include "support/FakeMaster.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/HostKinds.h"
#include "base/ProcessFlags.h"
#include "proto/GatewayPath.h"
#include "support/LogLines.h"
#include "worker/WorkerProcessCycle.h"

namespace testsupport {

namespace {

void FlagHandler(int signo) {
    if (signo == SIGQUIT) gQuit = 1;
    if (signo == SIGTERM || signo == SIGINT) gTerminate = 1;
}

// Reaps any child, as the master's SIGCHLD handler does; a worker must not keep it.
void ReapingHandler(int) {
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

void InstallMasterLikeHandlers() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = FlagHandler;
    for (int s : {SIGQUIT, SIGTERM, SIGINT}) sigaction(s, &sa, nullptr);
    sa.sa_handler = ReapingHandler;
    sigaction(SIGCHLD, &sa, nullptr);
    // The master spawns from a thread that has the handled signals blocked.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGCHLD, SIGALRM, SIGIO, SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

FakeMaster::FakeMaster(const std::string& tag)
    : home_(tag),
      appName_(UniqueName(tag)),
      app_("APP_NAME", appName_),
      vesselHome_("VESSEL_HOME", home_.path()),
      logDir_("_APP_LOG_DIR", home_ / "logs") {
    mkdir((home_ / "logs").c_str(), 0755);
    WriteImmediateLogConfig(home_.path());
}

FakeMaster::~FakeMaster() {
    for (pid_t pid : running_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int fd : conns_) close(fd);
    if (listenFd_ != -1) {
        close(listenFd_);
        unlink(channelPath_.c_str());
    }
}

bool FakeMaster::Listen() {
    channelPath_ = GetMasterChannelPath();
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    channelPath_.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    unlink(channelPath_.c_str());
    return listenFd_ != -1 && bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
           listen(listenFd_, 8) == 0;
}

pid_t FakeMaster::Spawn(const std::function<void()>& setup, int drainPollMs) {
    pid_t pid = fork();
    if (pid == 0) {
        InstallMasterLikeHandlers();
        if (setup) setup();
        if (drainPollMs >= 0) SetWorkerDrainPollIntervalMs(drainPollMs);
        RegisterHostKinds();
        warrenWorkerProcessCycle();
        _exit(99);  // unreachable: the cycle ends the process itself
    }
    if (pid > 0) running_.push_back(pid);
    return pid;
}

int FakeMaster::Accept(std::chrono::milliseconds timeout) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return -1;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd != -1) conns_.push_back(fd);
    return fd;
}

std::string FakeMaster::AcceptHandshake() {
    return ReadLine(Accept());
}

std::string FakeMaster::ReadLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    char c;
    while (fd != -1 && line.size() < 1000) {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, static_cast<int>(timeout.count())) != 1 || read(fd, &c, 1) != 1) break;
        line += c;
        if (c == '\n') break;
    }
    return line;
}

bool FakeMaster::Send(int fd, const std::string& line) {
    return SendAll(fd, line);
}

int FakeMaster::WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
    int status = -1;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) return -1;
    running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
    return status;
}

std::string FakeMaster::WorkerLog() const {
    return ReadLogs(home_ / "logs", "sub_Vessel");
}

}  // namespace testsupport
