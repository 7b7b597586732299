// Runs a program or a function in a child process for integration tests, and ends it by pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills the child (SIGKILL) if still running, and reaps it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the current environment plus env; stdout and stderr go to outFile.
    bool Exec(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& outFile);
    // Forks and runs body in the child, then _exit(its result).
    bool Fork(const std::function<int()>& body);

    pid_t Pid() const { return pid_; }
    bool Running();
    // Waits for the exit; returns the wait status, or -1 on timeout (the child keeps running).
    int Wait(std::chrono::milliseconds timeout);
    void Kill(int signo);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace testsupport
