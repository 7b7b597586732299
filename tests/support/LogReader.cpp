#include "support/LogReader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/LogCfg.h"
#include "base/LogMgr.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace testsupport {

namespace {

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string StartTestLogging(const std::string& root)
{
    std::string logDir = root + "/log";
    std::string home = root + "/home";
    mkdir(logDir.c_str(), 0755);
    mkdir(home.c_str(), 0755);
    WriteImmediateLogConfig(home);
    {
        // The settings are read once; VESSEL_HOME is only borrowed for that.
        ScopedEnv vesselHome("VESSEL_HOME", home);
        setenv("_APP_LOG_DIR", logDir.c_str(), 1);
        LogCfg::ResetForTest();
        LogCfg::GetInstance();
        LogMgr::GetInstance(true);
    }
    LogMgr::InitLogFile("Vessel");
    return logDir;
}

void RunInChildWithLog(const std::function<void(LogReader&)>& body, std::chrono::milliseconds timeout)
{
    TempDir root("vessel-testlog");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        LogReader log(StartTestLogging(root.path()));
        body(log);
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "test child did not finish within " << timeout.count() << " ms";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "test child ended with status " << status;
}

bool ParseLogLine(const std::string& raw, LogLine& out)
{
    // "[MM-DD hh:mm:ss.ms]," then a five-character level, ",[pid:tid],", message, location.
    if (raw.empty() || raw[0] != '[') {
        return false;
    }
    size_t timeEnd = raw.find("],");
    if (timeEnd == std::string::npos || raw.size() < timeEnd + 2 + 5 + 2) {
        return false;
    }
    size_t levelPos = timeEnd + 2;
    std::string level = raw.substr(levelPos, 5);
    if (raw.compare(levelPos + 5, 2, ",[") != 0) {
        return false;
    }
    size_t idEnd = raw.find("],", levelPos + 7);
    if (idEnd == std::string::npos) {
        return false;
    }
    std::string rest = raw.substr(idEnd + 2);
    if (rest.empty() || rest.back() != ']') {
        return false;
    }
    size_t locStart = rest.rfind('[');
    if (locStart == std::string::npos) {
        return false;
    }
    std::string loc = rest.substr(locStart + 1, rest.size() - locStart - 2);
    size_t bar1 = loc.find('|');
    size_t bar2 = loc.rfind('|');
    if (bar1 == std::string::npos || bar2 == bar1) {
        return false;
    }
    while (!level.empty() && level.back() == ' ') {
        level.pop_back();
    }
    out.level = level;
    out.message = rest.substr(0, locStart);
    out.func = loc.substr(0, bar1);
    out.file = loc.substr(bar1 + 1, bar2 - bar1 - 1);
    out.line = std::atoi(loc.substr(bar2 + 1).c_str());
    out.raw = raw;
    return true;
}

std::vector<std::string> LogReader::RawLines() const
{
    std::vector<std::string> names = ListDir(dir_);
    std::sort(names.begin(), names.end());
    std::vector<std::string> lines;
    for (const std::string& name : names) {
        if (!EndsWith(name, ".log")) {
            continue;
        }
        for (std::string& line : SplitLines(ReadFile(dir_ + "/" + name))) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

void LogReader::Mark()
{
    mark_ = RawLines().size();
}

std::vector<LogLine> LogReader::NewLines() const
{
    std::vector<std::string> raw = RawLines();
    std::vector<LogLine> lines;
    for (size_t i = std::min(mark_, raw.size()); i < raw.size(); ++i) {
        LogLine parsed;
        if (ParseLogLine(raw[i], parsed)) {
            lines.push_back(parsed);
        }
    }
    return lines;
}

std::vector<LogLine> LogReader::NewLinesWith(const std::string& text) const
{
    std::vector<LogLine> all = NewLines();
    std::vector<LogLine> hits;
    for (const LogLine& line : all) {
        if (line.message.find(text) != std::string::npos) {
            hits.push_back(line);
        }
    }
    return hits;
}

}  // namespace testsupport
