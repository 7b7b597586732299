// Reading Vessel log files in tests: find them by prefix, pick lines, read their timestamps.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// Concatenated content of every "<prefix>_*.log" file in dir (oldest name first).
std::string ReadLogs(const std::string& dir, const std::string& prefix);

// Lines of text that contain needle.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle);

// Milliseconds since midnight of a line's "[MM-DD hh:mm:ss.ms]," stamp; -1 when unparsable.
long LineTimeMs(const std::string& line);

// Writes conf/containerlog.json under home so every line is written out at once.
void WriteImmediateLogConfig(const std::string& home, int level = 3);

}  // namespace testsupport
