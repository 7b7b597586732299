// Helpers for the logging tests. Settings and the log manager are process singletons, so every
// case that depends on them runs in a forked child that sets its environment first and reports
// back through a pipe.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace logtest {

// Runs fn in a forked child; fn returns "" on success or what went wrong. Returns "" or the
// failure, including a crash or not finishing within timeoutMs (the child is then killed).
std::string RunInChild(const std::function<std::string()>& fn, int timeoutMs = 60000);

// In a child: points _APP_LOG_DIR at logDir and VESSEL_HOME at home, writes
// home/conf/containerlog.json (unless json is null) and makes the settings be read afresh.
void UseSettings(const std::string& logDir, const std::string& home, const char* json);

// Decompressed content of a gzip file ("" when it cannot be read).
std::string ReadGzip(const std::string& path);

// Names in dir that start with prefix and end with suffix, sorted.
std::vector<std::string> FilesIn(const std::string& dir, const std::string& prefix,
                                 const std::string& suffix);

// Lines of text without their line feeds.
std::vector<std::string> Lines(const std::string& text);

// A one-way pipe carrying short text lines between test processes.
class Pipe {
public:
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void CloseRead();
    void CloseWrite();
    void Send(const std::string& line);
    // Next line, or "" when the writer closed or timeoutMs passed.
    std::string Receive(int timeoutMs);
    // True when a line or end of file is waiting (does not consume it).
    bool Ready(int timeoutMs);

private:
    int fds_[2];
    std::string buffered_;
};

// Waits for pid until timeoutMs, killing it after that. Returns its wait status or -1.
int WaitChild(pid_t pid, int timeoutMs);

}  // namespace logtest

#define LOG_CHILD_CHECK(cond, what)                                                                 \
    do {                                                                                            \
        if (!(cond)) return std::string(what) + " [" #cond "] at line " + std::to_string(__LINE__); \
    } while (0)
