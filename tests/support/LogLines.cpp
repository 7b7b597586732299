#include "support/LogLines.h"

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
    for (const auto& line : SplitLines(text))
        if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
}

void WriteImmediateLogConfig(const std::string& home, int level) {
    mkdir((home + "/conf").c_str(), 0755);
    WriteFile(
        home + "/conf/containerlog.json",
        "{\"DevLogLevel\": " + std::to_string(level) +
            ", \"LogBufferWriteRate\": 0, \"LogBufferNum\": 1, \"MaxFileSize\": 20, \"MaxFileNum\": 20}\n");
}

std::vector<std::string> LogReader::Lines() const {
    return SplitLines(ReadLogs(dir_, "Vessel"));
}

void RunInChildWithLog(const std::function<void(LogReader&)>& body, std::chrono::milliseconds timeout) {
    TempDir root("vessel-testlog");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The logging singletons now belong to this child alone: point them at root.
        const std::string logDir = root / "log", home = root / "home";
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
        LogReader log(logDir);
        body(log);
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "test child did not finish within " << timeout.count() << " ms";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "test child ended with status " << status;
}

}  // namespace testsupport
