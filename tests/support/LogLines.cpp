#include "support/LogLines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "base/LogCfg.h"
#include "base/LogMgr.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace testsupport {

std::string ReadLogs(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names = ListDir(dir);
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& n : names) {
        if (n.rfind(prefix + "_", 0) == 0 && n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0)
            all += ReadFile(dir + "/" + n);
    }
    return all;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> out;
    for (const std::string& line : SplitLines(text))
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

void RunInChildWithLog(const std::function<void(LogReader&)>& body, std::chrono::milliseconds timeout) {
    TempDir root("vessel-testlog");
    fflush(stdout);
    fflush(stderr);
    ChildProcess child;  // killed if still running when this returns
    ASSERT_TRUE(child.Fork([&] {
        // The logging singletons now belong to this child alone: point them at root.
        LogReader log{root / "log"};
        mkdir(log.dir.c_str(), 0755);
        mkdir((root / "home").c_str(), 0755);
        WriteImmediateLogConfig(root / "home");
        {
            // The settings are read once; VESSEL_HOME is only borrowed for that.
            ScopedEnv vesselHome("VESSEL_HOME", root / "home");
            setenv("_APP_LOG_DIR", log.dir.c_str(), 1);
            LogCfg::ResetForTest();
            LogCfg::GetInstance();
            LogMgr::GetInstance(true);
        }
        LogMgr::InitLogFile("Vessel");
        body(log);
        fflush(stdout);
        return ::testing::Test::HasFailure() ? 1 : 0;
    }));
    const int status = child.Wait(timeout);
    ASSERT_NE(status, -1) << "test child did not finish within " << timeout.count() << " ms";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "test child ended with status " << status;
}

}  // namespace testsupport
