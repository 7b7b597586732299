// Plays the master for worker processes forked from a test: the environment a worker reads
// (APP_NAME, a VESSEL_HOME whose log configuration writes every line at once, a log directory),
// the channel socket, and the fork with the master's signal set-up.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace testsupport {

class FakeMaster {
public:
    explicit FakeMaster(const std::string& tag);  // tag names the application and the home
    ~FakeMaster();

    const TempDir& Home() const { return home_; }
    const std::string& AppName() const { return appName_; }
    bool Listen();
    // Forks a worker as the master does (its handlers, the handled signals blocked), runs setup,
    // then the worker cycle; drainPollMs < 0 keeps the default poll.
    pid_t Spawn(const std::function<void()>& setup = {}, int drainPollMs = 50);
    int Accept();  // the next worker's connection; -1 when none came in time
    std::string AcceptHandshake() { return ReadLine(Accept()); }
    int LastConnection() const { return conns_.empty() ? -1 : conns_.back(); }
    static std::string ReadLine(int fd);  // what came of the next line in time
    static bool Send(int fd, const std::string& line) { return SendAll(fd, line); }
    // The worker's wait status; -1 when it still runs after timeout.
    int WaitExit(pid_t pid, std::chrono::milliseconds timeout);
    std::string WorkerLog() const { return ReadLogs(home_ / "logs", "sub_Vessel"); }

private:
    TempDir home_;
    std::string appName_;
    ScopedEnv app_, vesselHome_, logDir_;
    std::string channelPath_;
    int listenFd_ = -1;
    std::vector<int> conns_;
    std::list<ChildProcess> workers_;  // killed and reaped with the master when still running
};

}  // namespace testsupport
