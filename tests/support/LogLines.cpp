#include "support/LogLines.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "support/TestSupport.h"

namespace testsupport {

std::string ReadLogs(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& n : ListDir(dir)) {
        if (n.rfind(prefix + "_", 0) == 0 && n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0) {
            names.push_back(n);
        }
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const auto& n : names) all += ReadFile(dir + "/" + n);
    return all;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> out;
    for (const auto& line : SplitLines(text)) {
        if (line.find(needle) != std::string::npos) out.push_back(line);
    }
    return out;
}

long LineTimeMs(const std::string& line) {
    int mon, day, h, m, s, ms;
    if (sscanf(line.c_str(), "[%d-%d %d:%d:%d.%d]", &mon, &day, &h, &m, &s, &ms) != 6) return -1;
    return ((h * 60L + m) * 60L + s) * 1000L + ms;
}

void WriteImmediateLogConfig(const std::string& home, int level) {
    mkdir((home + "/conf").c_str(), 0755);
    WriteFile(home + "/conf/containerlog.json",
              "{\"DevLogLevel\": " + std::to_string(level) +
                  ", \"LogBufferWriteRate\": 0, \"LogBufferNum\": 1, \"MaxFileSize\": 20, \"MaxFileNum\": 20}\n");
}

}  // namespace testsupport
