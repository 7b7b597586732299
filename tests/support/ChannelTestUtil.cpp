#include "support/ChannelTestUtil.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "base/LogMgr.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace channeltest {

void UseChannelLog() {
    // Logging reads its directory and settings once, at its first use: point it at a directory
    // of this process's own with every line written out at once.
    static testsupport::TempDir home("vessel-chan-log");
    static const bool ready = [] {
        testsupport::WriteImmediateLogConfig(home.path());
        setenv("VESSEL_HOME", home.path().c_str(), 1);
        setenv("_APP_LOG_DIR", home.path().c_str(), 1);
        LogMgr::InitLogFile("Vessel");
        return true;
    }();
    (void)ready;
}

Client::Client(const std::string& path) : fd_(testsupport::ConnectUnix(path)) {}

Client::~Client() {
    Close();
}

void Client::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool Client::Write(const std::string& data) {
    return testsupport::SendAll(fd_, data);
}

int Client::Unread() const {
    int n = -1;
    ioctl(fd_, SIOCOUTQ, &n);
    return n;
}

std::string Client::ReadLines(size_t lines) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (static_cast<size_t>(std::count(got.begin(), got.end(), '\n')) < lines &&
           testsupport::ReadSome(fd_, got, end) > 0) {
    }
    return got;
}

bool Client::WaitEof() {
    return testsupport::WaitClosed(fd_, kDeadline);
}

std::string Logs() {
    // Wherever this process logs (another fixture may have set logging up first).
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
