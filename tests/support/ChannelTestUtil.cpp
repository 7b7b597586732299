#include "support/ChannelTestUtil.h"

#include <algorithm>
#include <cstdlib>

#include "base/LogMgr.h"
#include "support/LogLines.h"

namespace channeltest {

void UseChannelLog() {
    // Logging reads its directory and settings once, at its first use.
    static testsupport::TempDir home("vessel-chan-log");
    static const bool ready = [] {
        testsupport::WriteImmediateLogConfig(home.path());
        setenv("VESSEL_HOME", home.path().c_str(), 1);
        setenv("_APP_LOG_DIR", home.path().c_str(), 1);
        return LogMgr::InitLogFile("Vessel"), true;
    }();
    (void)ready;
}

std::string Client::ReadLines(size_t n) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (size_t(std::count(got.begin(), got.end(), '\n')) < n && testsupport::ReadSome(fd, got, end) > 0) {
    }
    return got;
}

static std::string Logs() {  // wherever this process logs: another fixture may have set it up first
    std::string file = LogMgr::GetInstance()->CurrentFilePath();
    return testsupport::ReadLogs(file.substr(0, file.rfind('/')), "Vessel");
}

bool WaitForLog(const std::string& needle) {
    return testsupport::WaitFor([&] { return Logs().find(needle) != std::string::npos; }, kDeadline);
}

size_t CountLog(const std::string& needle) {
    return testsupport::LinesWith(Logs(), needle).size();
}

}  // namespace channeltest
