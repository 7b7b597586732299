#include "JavaTestLog.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/LogMgr.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace javatest {

const std::string& Home()
{
    // Set up at first use (not for the whole program: other tests here set up logging their own way).
    static testsupport::TempDir* home = [] {
        auto* dir = new testsupport::TempDir("vessel-java-log");
        testsupport::WriteImmediateLogConfig(dir->path());
        setenv("VESSEL_HOME", dir->path().c_str(), 1);
        setenv("_APP_LOG_DIR", dir->path().c_str(), 1);
        LogMgr::InitLogFile("Vessel");
        return dir;
    }();
    return home->path();
}

std::string Logs()
{
    return testsupport::ReadLogs(Home(), "Vessel");
}

size_t CountInLogs(const std::string& needle)
{
    std::string logs = Logs();
    size_t n = 0;
    for (size_t pos = logs.find(needle); pos != std::string::npos; pos = logs.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

}  // namespace javatest
