#include "JavaTestLog.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/LogMgr.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace javatest {
namespace {

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        testsupport::WriteImmediateLogConfig(home.path());
        setenv("VESSEL_HOME", home.path().c_str(), 1);
        setenv("_APP_LOG_DIR", home.path().c_str(), 1);
        LogMgr::InitLogFile("Vessel");
    }
    testsupport::TempDir home{"vessel-java-log"};
};

LogEnvironment* const kEnvironment =
    static_cast<LogEnvironment*>(::testing::AddGlobalTestEnvironment(new LogEnvironment));

}  // namespace

const std::string& Home()
{
    return kEnvironment->home.path();
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
