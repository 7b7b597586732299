// Reads the log files a test process writes, so tests can assert on log lines: their level,
// message, function and source file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// One level line: "[time],Level,[pid:tid],message[function|file|line]".
struct LogLine {
    std::string level;    // "Info", "Warn", "Error", "Debug", "Trace" (padding removed)
    std::string message;  // for error lines including the "ErrorCode:<n>," prefix
    std::string func;
    std::string file;
    int32_t line = 0;
    std::string raw;
};

// For a forked test child only (the logging singletons then belong to it alone): makes the
// process log into root/log, every line written out at once, with settings from
// root/home/conf/containerlog.json. Returns the log directory.
std::string StartTestLogging(const std::string& root);

// Splits a level line into its parts; false for lines of another shape (the logger's own lines).
bool ParseLogLine(const std::string& raw, LogLine& out);

// All "*.log" files of one directory, read in name order.
class LogReader {
public:
    explicit LogReader(const std::string& dir) : dir_(dir) {}

    std::vector<std::string> RawLines() const;

    // Remembers how many lines exist now; NewLines() then returns only the later ones.
    void Mark();
    std::vector<LogLine> NewLines() const;

    // New lines whose message contains text.
    std::vector<LogLine> NewLinesWith(const std::string& text) const;
    size_t CountNew(const std::string& text) const { return NewLinesWith(text).size(); }

private:
    std::string dir_;
    size_t mark_ = 0;
};

// Runs body in a forked child that logs into a fresh directory (see StartTestLogging), so tests
// can assert on log lines without touching the logging state of the test process. The child's
// GoogleTest failures are printed by the child and make this test fail; so does a child that
// does not finish within the timeout (it is then killed).
void RunInChildWithLog(const std::function<void(LogReader&)>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace testsupport
