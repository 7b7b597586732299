#include "AccessLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "GatewayLog.h"
#include "LocalTime.h"

namespace {

constexpr size_t FLUSH_BYTES = 64 * 1024;

void AppendOr(std::string& out, boost::string_view text) {
    if (text.empty()) {
        out += '-';
    } else {
        AccessLog::AppendEscaped(out, text);
    }
}

}  // namespace

AccessLog::AccessLog(std::string path) : path_(std::move(path)) {}

AccessLog::~AccessLog() {
    Flush();
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool AccessLog::Open(std::string& error) {
    int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "cannot open access log " + path_ + ": " + strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(fileMutex_);
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fd;
    return true;
}

void AccessLog::AppendEscaped(std::string& out, boost::string_view text) {
    static const char HEX[] = "0123456789abcdef";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || byte == '\\') {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 15];
        } else {
            out += c;
        }
    }
}

void AccessLog::Write(const Entry& entry, std::chrono::system_clock::time_point now) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const auto second = static_cast<time_t>(ms / 1000);
    const double took = std::chrono::duration<double, std::milli>(entry.took).count();
    char numbers[96];
    int n = snprintf(numbers, sizeof(numbers), " %u %zu %.3f ", entry.status, entry.bytes, took);
    std::string flush;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (second != cachedSecond_) {
            cachedSecond_ = second;
            cachedDate_.clear();
            cachedOffset_.clear();
            LocalTime::Split(second, cachedDate_, cachedOffset_);
        }
        std::string& out = pending_;
        out += cachedDate_;
        char frac[8];
        snprintf(frac, sizeof(frac), ".%03d", static_cast<int>(ms % 1000));
        out += frac;
        out += cachedOffset_;
        out += ' ';
        AppendOr(out, entry.client);
        out += ' ';
        AppendOr(out, entry.method);
        out += ' ';
        AppendOr(out, entry.target);
        out.append(numbers, static_cast<size_t>(n));
        AppendOr(out, entry.module);
        out += ' ';
        AppendOr(out, entry.version);
        out += ' ';
        if (entry.worker > 0) {
            out += std::to_string(entry.worker);
        } else {
            out += '-';
        }
        out += '\n';
        if (out.size() >= FLUSH_BYTES) {
            flush.swap(out);
        }
    }
    if (!flush.empty()) {
        WriteOut(flush);
    }
}

void AccessLog::Flush() {
    std::string lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(pending_);
    }
    if (!lines.empty()) {
        WriteOut(lines);
    }
}

void AccessLog::Reopen() {
    Flush();
    std::string error;
    if (Open(error)) {
        GatewayLog::Info("access log reopened: " + path_);
    } else {
        GatewayLog::Error(error + "; still writing to the file opened before");
    }
}

void AccessLog::WriteOut(const std::string& lines) {
    std::lock_guard<std::mutex> lock(fileMutex_);
    const char* p = lines.data();
    size_t left = lines.size();
    while (left > 0) {
        ssize_t w = fd_ >= 0 ? ::write(fd_, p, left) : -1;
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            if (!failing_) {
                failing_ = true;
                GatewayLog::Error("cannot write access log " + path_ + ": " +
                                  (w == 0 ? std::string("nothing written") : std::string(strerror(errno))) +
                                  "; its lines are dropped until a write succeeds");
            }
            return;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (failing_) {
        failing_ = false;
        GatewayLog::Info("access log " + path_ + " is written again");
    }
}
