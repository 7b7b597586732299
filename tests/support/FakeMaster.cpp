#include "support/FakeMaster.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/HostKinds.h"
#include "base/HandledSignalsBlocked.h"
#include "master/WarrenProcess.h"
#include "proto/GatewayPath.h"
#include "worker/WorkerProcessCycle.h"

namespace testsupport {

static bool PollIn(int fd) {
    pollfd p{fd, POLLIN, 0};
    return fd != -1 && poll(&p, 1, 10000) == 1;
}

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
    for (int fd : conns_) close(fd);
    if (listenFd_ != -1) close(listenFd_), unlink(channelPath_.c_str());
}

bool FakeMaster::Listen() {
    channelPath_ = GetMasterChannelPath();
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    channelPath_.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    unlink(channelPath_.c_str());
    return listenFd_ != -1 && bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
           listen(listenFd_, 8) == 0;
}

pid_t FakeMaster::Spawn(const std::function<void()>& setup, int drainPollMs) {
    workers_.emplace_back();
    workers_.back().Fork([&] {
        warrenInitSignals();  // the master's handlers, which its workers inherit
        sigset_t set;         // blocked, as in the master's thread that spawns
        HandledSignalsBlocked::Fill(&set);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        if (setup) setup();
        if (drainPollMs >= 0) SetWorkerDrainPollIntervalMs(drainPollMs);
        RegisterHostKinds();
        warrenWorkerProcessCycle();
        return 99;  // unreachable: the cycle ends the process itself
    });
    return workers_.back().Pid();
}

int FakeMaster::Accept() {
    int fd = PollIn(listenFd_) ? accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd != -1) conns_.push_back(fd);
    return fd;
}

std::string FakeMaster::ReadLine(int fd) {
    std::string line;
    for (char c = 0; c != '\n' && line.size() < 1000 && PollIn(fd) && read(fd, &c, 1) == 1;) line += c;
    return line;
}

int FakeMaster::WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
    for (ChildProcess& worker : workers_)
        if (worker.Pid() == pid) return worker.Wait(timeout);
    return -1;
}

}  // namespace testsupport
