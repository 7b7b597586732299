// Small helpers shared by the tests: temporary directories, environment overrides, file
// reading and waiting for a condition with a deadline (tests never sleep "a bit").
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "vessel");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (or, with unset, removes) an environment variable and restores it on destruction.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value, bool unset = false);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_;
    std::string old_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::vector<std::string> ListDir(const std::string& dir);
std::vector<std::string> SplitLines(const std::string& text);

// Writes <home>/conf/container.json with the given JSON object text and a modification time of
// its own, so the settings cache (which re-reads on a changed time) always notices the new content.
void WriteContainerConfig(const std::string& home, const std::string& json);

// Polls pred every few milliseconds until it holds or the timeout passes; returns its last value.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// Sockets for the test peers. A connected Unix stream socket, or -1.
int ConnectUnix(const std::string& path);
// Writes bytes whole (no SIGPIPE); false when the peer is gone.
bool SendAll(int fd, const std::string& bytes);
// Appends what one read returns to into: its byte count, 0 at end of file (or a reset), -1 when
// nothing came before the deadline.
long ReadSome(int fd, std::string& into, std::chrono::steady_clock::time_point deadline);
// Reads and drops data until end of file: true when the peer closed before the deadline.
bool WaitClosed(int fd, std::chrono::milliseconds timeout);

// How many threads of this process run under another scheduling policy than SCHED_BATCH.
int ThreadsNotBatch();

// A name unique to this process and call, usable as APP_NAME so socket paths never collide.
std::string UniqueName(const std::string& tag);

}  // namespace testsupport
