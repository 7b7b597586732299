#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace testsupport {

namespace {

// A child ends with the test process that started it, however that ends: a test killed at its
// timeout, or a forked story leaving by _exit, must not leave a gateway or a master (and so its
// workers) running after the suite.
void EndWithParent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent was gone before the signal was armed
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::Exec(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                        const std::string& outFile) {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        EndWithParent(parent);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return true;
}

bool ChildProcess::Fork(const std::function<int()>& body) {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        EndWithParent(parent);
        _exit(body());
    }
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = st;
        return false;
    }
    return true;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void ChildProcess::Kill(int signo) {
    if (pid_ > 0 && status_ == -1) kill(pid_, signo);
}

}  // namespace testsupport
