// Reading Vessel log files in tests: find them by prefix, pick lines; and a forked child with a
// log of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Concatenated content of every "<prefix>_*.log" file in dir (oldest name first).
std::string ReadLogs(const std::string& dir, const std::string& prefix);

// Lines of text that contain needle.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle);

// Writes conf/containerlog.json under home so every line is written out at once.
void WriteImmediateLogConfig(const std::string& home, int level = 3);

// The log a RunInChildWithLog child writes ("[time],Level,[pid:tid],message[function|file|line]").
class LogReader {
public:
    explicit LogReader(std::string dir) : dir_(std::move(dir)) {}
    std::vector<std::string> Lines() const;
    size_t Count(const std::string& needle) const {
        return LinesWith(ReadLogs(dir_, "Vessel"), needle).size();
    }

private:
    std::string dir_;
};

// Runs body in a forked child that logs into a fresh directory, every line written at once, so
// tests can assert on log lines without touching the logging state of the test process. The
// child's GoogleTest failures are printed by the child and make this test fail; so does a child
// that does not finish within the timeout (it is then killed).
void RunInChildWithLog(const std::function<void(LogReader&)>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace testsupport
