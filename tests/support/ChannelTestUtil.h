// Helpers for the channel tests: a worker-side client socket with deadline-bounded reads, and
// this test program's log.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "base/LogMgr.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace channeltest {

constexpr std::chrono::milliseconds kDeadline{5000};

// A connected Unix stream socket (fd -1 when the connect failed), closed on destruction.
struct Client {
    explicit Client(const std::string& path) : fd(testsupport::ConnectUnix(path)) {}
    ~Client() { Close(); }
    void Close() { fd >= 0 && close(fd), fd = -1; }
    bool Write(const std::string& data) { return testsupport::SendAll(fd, data); }
    // Reads until n whole lines arrived, EOF or the deadline; returns what arrived.
    std::string ReadLines(size_t n) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + kDeadline;
        while (size_t(std::count(got.begin(), got.end(), '\n')) < n &&
               testsupport::ReadSome(fd, got, end) > 0) {
        }
        return got;
    }
    // True when the server closed the connection before the deadline; data is discarded.
    bool WaitEof() { return testsupport::WaitClosed(fd, kDeadline); }
    int fd;
};

// Sets this process's logging up once, before the code under test logs (logging reads its
// directory and settings at its first use): a directory of its own, every line written at once.
inline void UseChannelLog() {
    static testsupport::TempDir home("vessel-chan-log");
    [[maybe_unused]] static const bool ready = [] {
        testsupport::WriteImmediateLogConfig(home.path());
        setenv("VESSEL_HOME", home.path().c_str(), 1);
        setenv("_APP_LOG_DIR", home.path().c_str(), 1);
        return LogMgr::InitLogFile("Vessel"), true;
    }();
}

// Lines of this process's log holding needle (wherever it logs: another fixture may have set it up).
inline size_t CountLog(const std::string& needle) {
    std::string dir = LogMgr::GetInstance()->CurrentFilePath();
    return testsupport::LinesWith(testsupport::ReadLogs(dir.erase(dir.rfind('/')), "Vessel"), needle).size();
}

inline bool WaitForLog(const std::string& needle) {
    return testsupport::WaitFor([&] { return CountLog(needle) > 0; }, kDeadline);
}

}  // namespace channeltest
