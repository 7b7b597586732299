#include "LogTestUtil.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "base/LogCfg.h"
#include "support/TestSupport.h"

namespace logtest {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string RunInChild(const std::function<std::string()>& fn, int timeoutMs) {
    Pipe result;
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        result.CloseRead();
        std::string outcome;
        try {
            outcome = fn();
        } catch (const std::exception& e) {
            outcome = std::string("exception: ") + e.what();
        }
        result.Send(outcome.empty() ? "OK" : outcome);
        fflush(stdout);
        _exit(outcome.empty() ? 0 : 1);
    }
    result.CloseWrite();
    std::string outcome = result.Receive(timeoutMs);
    int status = WaitChild(pid, outcome.empty() ? 1 : 10000);
    if (outcome.empty()) return status == -1 ? "child timed out" : "child died without a result";
    if (outcome != "OK") return outcome;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child exited abnormally";
    return "";
}

void UseSettings(const std::string& logDir, const std::string& home, const char* json) {
    setenv("_APP_LOG_DIR", logDir.c_str(), 1);
    setenv("VESSEL_HOME", home.c_str(), 1);
    if (json != nullptr) {
        mkdir((home + "/conf").c_str(), 0755);
        testsupport::WriteFile(home + "/conf/containerlog.json", json);
    }
    LogCfg::ResetForTest();
}

std::string ReadGzip(const std::string& path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr) return "";
    std::string out;
    char buf[65536];
    int n;
    while ((n = gzread(gz, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    gzclose(gz);
    return out;
}

std::vector<std::string> FilesIn(const std::string& dir, const std::string& prefix,
                                 const std::string& suffix) {
    std::vector<std::string> out;
    for (const std::string& n : testsupport::ListDir(dir)) {
        if (n.size() >= prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
            n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0) {
            out.push_back(n);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    return testsupport::SplitLines(text);
}

Pipe::Pipe() {
    if (pipe(fds_) != 0) throw std::runtime_error("pipe failed");
}

Pipe::~Pipe() {
    CloseRead();
    CloseWrite();
}

void Pipe::CloseRead() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
}

void Pipe::CloseWrite() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
}

void Pipe::Send(const std::string& line) {
    std::string data = line + "\n";
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(fds_[1], p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

bool Pipe::Ready(int timeoutMs) {
    if (buffered_.find('\n') != std::string::npos) return true;
    pollfd pfd{fds_[0], POLLIN, 0};
    return poll(&pfd, 1, timeoutMs) > 0;
}

std::string Pipe::Receive(int timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0) return "";
        pollfd pfd{fds_[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fds_[0], buf, sizeof(buf));
        if (n <= 0) return "";
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

int WaitChild(pid_t pid, int timeoutMs) {
    int status = 0;
    pid_t done = 0;
    testsupport::WaitFor([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; },
                         std::chrono::milliseconds(timeoutMs));
    if (done == pid) return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

}  // namespace logtest
