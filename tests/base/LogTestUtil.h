// The logging tests start a fresh log in the test process itself: settings from the given
// containerlog.json, files in a temporary directory, closed again at the end of the scope.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/LogMgr.h"
#include "support/TestSupport.h"

namespace logtest {

// containerlog.json: level, write rate, lines per batch, MiB per file, archives kept.
inline std::string Settings(int level, int rate, int num, int sizeMiB, int fileNum) {
    return "{\"DevLogLevel\":" + std::to_string(level) + ",\"LogBufferWriteRate\":" + std::to_string(rate) +
           ",\"LogBufferNum\":" + std::to_string(num) + ",\"MaxFileSize\":" + std::to_string(sizeMiB) +
           ",\"MaxFileNum\":" + std::to_string(fileNum) + "}";
}

// Logs into dir with home dir/home and, unless json is null, that containerlog.json.
inline void UseSettings(const std::string& dir, const char* json) {
    mkdir((dir + "/home").c_str(), 0755);
    mkdir((dir + "/home/conf").c_str(), 0755);
    if (json != nullptr) testsupport::WriteFile(dir + "/home/conf/containerlog.json", json);
    setenv("_APP_LOG_DIR", dir.c_str(), 1);
    setenv("VESSEL_HOME", (dir + "/home").c_str(), 1);
    LogMgr::ResetForTest();
}

struct TestLog {
    // With open false only the settings are in place: the test opens the log itself.
    explicit TestLog(const std::string& json, bool open = true) {
        UseSettings(tmp.path(), json.c_str());
        if (open) LogMgr::InitLogFile("Vessel");
    }
    ~TestLog() { LogMgr::ResetForTest(); }
    LogMgr* Mgr() { return LogMgr::GetInstance(); }
    std::string Current() { return Mgr()->CurrentFilePath(); }
    std::string dir() const { return tmp.path(); }
    testsupport::TempDir tmp{"vessel-log"};
};

inline void Touch(const std::string& path, time_t mtime, const std::string& content = "x") {
    testsupport::WriteFile(path, content);
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline std::string ReadGzip(const std::string& path) {
    std::string out;
    char buf[65536];
    gzFile gz = gzopen(path.c_str(), "rb");
    for (int n; gz != nullptr && (n = gzread(gz, buf, sizeof(buf))) > 0;) out.append(buf, n);
    if (gz != nullptr) gzclose(gz);
    return out;
}

// Names in dir starting with prefix and ending with suffix, sorted.
inline std::vector<std::string> FilesIn(const std::string& dir, const std::string& prefix,
                                        const std::string& suffix = "") {
    std::vector<std::string> out;
    for (const std::string& n : testsupport::ListDir(dir)) {
        if (n.rfind(prefix, 0) == 0 && n.size() >= prefix.size() + suffix.size() &&
            n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(n);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// How often each message appears in the prefix's files, archives included; the logger's own
// lines ("LogSelf--...") count whole.
inline std::map<std::string, int> Messages(const std::string& dir, const std::string& prefix) {
    std::map<std::string, int> seen;
    for (const std::string& n : FilesIn(dir, prefix)) {
        const std::string path = dir + "/" + n;
        for (const std::string& l :
             testsupport::SplitLines(n.back() == 'z' ? ReadGzip(path) : testsupport::ReadFile(path))) {
            const size_t at =
                l.rfind("LogSelf--", 0) == 0 ? std::string::npos : l.find("],", l.find("],") + 2);
            ++seen[at == std::string::npos ? l : l.substr(at + 2, l.rfind('[') - at - 2)];
        }
    }
    return seen;
}

}  // namespace logtest
