// Plays the master for real worker processes forked from a test: the environment a worker reads
// (its own APP_NAME, a VESSEL_HOME whose log configuration writes every line at once, a log
// directory), the channel socket it connects to, and the fork with the master's signal set-up.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class FakeMaster {
public:
    // tag names the application (made unique) and the home directory.
    explicit FakeMaster(const std::string& tag);
    ~FakeMaster();  // kills and reaps the workers still running; closes and removes the socket
    FakeMaster(const FakeMaster&) = delete;
    FakeMaster& operator=(const FakeMaster&) = delete;

    const TempDir& Home() const { return home_; }
    const std::string& AppName() const { return appName_; }

    // Binds and listens on the master's channel path.
    bool Listen();
    // Forks a worker as the master does: its handlers (flags for QUIT/TERM/INT, a reaping SIGCHLD
    // handler) inherited and the handled signals blocked; then setup, then the worker cycle.
    // drainPollMs shortens the graceful quit's drain poll; a negative value keeps the default.
    pid_t Spawn(const std::function<void()>& setup = {}, int drainPollMs = 50);
    // The next worker's connection; -1 when none came in time.
    int Accept(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Accepts and reads the worker's first line (its handshake); empty when none came.
    std::string AcceptHandshake();
    // The connection Accept took last, -1 before the first.
    int LastConnection() const { return conns_.empty() ? -1 : conns_.back(); }
    // The next line a worker sends on fd ("" when none comes in time).
    static std::string ReadLine(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Writes line whole on a worker connection.
    static bool Send(int fd, const std::string& line);
    // Waits for the worker's exit: its wait status, or -1 when it still runs after timeout.
    int WaitExit(pid_t pid, std::chrono::milliseconds timeout);
    // Every worker log file (sub_Vessel*.log) of the log directory, oldest first.
    std::string WorkerLog() const;

private:
    TempDir home_;
    std::string appName_;
    ScopedEnv app_;
    ScopedEnv vesselHome_;
    ScopedEnv logDir_;
    std::string channelPath_;
    int listenFd_ = -1;
    std::vector<int> conns_;
    std::vector<pid_t> running_;
};

}  // namespace testsupport
