#include "GatewayLog.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

std::atomic<int> gOutput{STDERR_FILENO};

}  // namespace

void GatewayLog::SetOutput(int fd) {
    gOutput.store(fd, std::memory_order_relaxed);
}

void GatewayLog::Info(const std::string& msg) {
    Write("INFO", msg);
}
void GatewayLog::Warn(const std::string& msg) {
    Write("WARN", msg);
}
void GatewayLog::Error(const std::string& msg) {
    Write("ERROR", msg);
}

void GatewayLog::Write(const char* level, const std::string& msg) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    snprintf(stamp + n, sizeof(stamp) - n, ".%03ld", static_cast<long>(now.tv_usec / 1000));
    std::string line;
    line.reserve(msg.size() + 48);
    line += stamp;
    line += " vessel-gateway[";
    line += std::to_string(getpid());
    line += "] ";
    line += level;
    line += ' ';
    line += msg;
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(gOutput.load(std::memory_order_relaxed), p, left);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return;  // nowhere else to report a failing stderr
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
}
