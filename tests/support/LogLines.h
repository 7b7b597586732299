// Reading Vessel log files in tests: find them by prefix, pick lines; and a forked child with a
// log of its own.
#pragma once

#include <chrono>
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
struct LogReader {
    std::string dir;
    std::vector<std::string> Lines() const { return LinesWith(ReadLogs(dir, "Vessel"), ""); }
    size_t Count(const std::string& needle) const {
        return LinesWith(ReadLogs(dir, "Vessel"), needle).size();
    }
};

// Runs body in a forked child that logs into a fresh directory, every line written at once, so
// tests can assert on log lines without touching the test process's logging. The child's
// failures, or its not finishing within the timeout (it is then killed), fail this test.
void RunInChildWithLog(const std::function<void(LogReader&)>& body,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace testsupport
