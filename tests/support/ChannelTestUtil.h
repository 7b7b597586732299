// Helpers for the channel tests: a worker-side client socket with deadline-bounded reads, and
// access to this test program's log file.
#pragma once

#include <chrono>
#include <string>

namespace channeltest {

constexpr std::chrono::milliseconds kDeadline{5000};

// A connected Unix stream socket, closed on destruction.
class Client {
public:
    explicit Client(const std::string& path);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool Write(const std::string& data);
    // Bytes written but not yet read by the server.
    int Unread() const;
    // Reads until lines complete lines have arrived, EOF or the deadline; returns what arrived.
    std::string ReadLines(size_t lines);
    // True when the server closed the connection (EOF) before the deadline; data is discarded.
    bool WaitEof();
    void Close();

private:
    int fd_ = -1;
};

// Sets this process's logging up (once): a directory of its own, every line written at once.
// Call before the code under test logs.
void UseChannelLog();
// Everything this process has logged so far.
std::string Logs();
// Waits until the log holds a line containing needle.
bool WaitForLog(const std::string& needle);
size_t CountLog(const std::string& needle);

}  // namespace channeltest
