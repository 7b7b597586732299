#include "support/TestSupport.h"

#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

TempDir::TempDir(const std::string& tag) {
    std::string tmpl = "/tmp/" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value, bool unset) : name_(name) {
    const char* old = getenv(name.c_str());
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (unset) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void WriteContainerConfig(const std::string& home, const std::string& json) {
    static time_t stamp = time(nullptr) - 100000;
    mkdir((home + "/conf").c_str(), 0755);
    const std::string path = home + "/conf/container.json";
    WriteFile(path, json);
    struct timeval times[2] = {{++stamp, 0}, {stamp, 0}};
    utimes(path.c_str(), times);
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int ConnectUnix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool SendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

long ReadSome(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, std::max(0, static_cast<int>(left.count()))) != 1) return -1;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return 0;
    if (n < 0) return -1;
    into.append(buf, static_cast<size_t>(n));
    return n;
}

bool WaitClosed(int fd, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::string dropped;; dropped.clear()) {
        long n = ReadSome(fd, dropped, deadline);
        if (n <= 0) return n == 0;
    }
}

int ThreadsNotBatch() {
    int count = 0;
    for (const std::string& tid : ListDir("/proc/self/task")) {
        const int policy = sched_getscheduler(std::stoi(tid));
        count += policy >= 0 && policy != SCHED_BATCH ? 1 : 0;  // < 0: the thread has ended
    }
    return count;
}

std::string UniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    return tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

}  // namespace testsupport
