// Helpers for the channel tests: a worker-side client socket with deadline-bounded reads, and
// this test program's log.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>

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
    std::string ReadLines(size_t n);
    // True when the server closed the connection before the deadline; data is discarded.
    bool WaitEof() { return testsupport::WaitClosed(fd, kDeadline); }
    int fd;
};

// Sets this process's logging up once: a directory of its own, every line written at once.
// Call before the code under test logs.
void UseChannelLog();
// Waits until this process's log holds a line containing needle.
bool WaitForLog(const std::string& needle);
size_t CountLog(const std::string& needle);

}  // namespace channeltest
