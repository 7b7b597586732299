#include "support/ChannelTestUtil.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "base/LogMgr.h"

#include "support/LogLines.h"
#include "support/TestSupport.h"

namespace channeltest {

void UseChannelLog()
{
    // Logging reads its directory and settings once, at its first use: point it at a directory
    // of this process's own with every line written out at once.
    static testsupport::TempDir* home = [] {
        auto* dir = new testsupport::TempDir("vessel-chan-log");
        testsupport::WriteImmediateLogConfig(dir->path());
        setenv("VESSEL_HOME", dir->path().c_str(), 1);
        setenv("_APP_LOG_DIR", dir->path().c_str(), 1);
        LogMgr::InitLogFile("Vessel");
        return dir;
    }();
    (void)home;
}

Client::Client(const std::string& path)
{
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
    }
}

Client::~Client()
{
    Close();
}

void Client::Close()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

bool Client::Write(const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int Client::Unread() const
{
    int n = -1;
    ioctl(fd_, SIOCOUTQ, &n);
    return n;
}

std::string Client::ReadLines(size_t lines)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (static_cast<size_t>(std::count(got.begin(), got.end(), '\n')) < lines) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        struct pollfd pfd {fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool Client::WaitEof()
{
    auto end = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        struct pollfd pfd {fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof(buf));
        if (n <= 0) {
            return true;
        }
    }
}

std::string Logs()
{
    // Wherever this process logs (another fixture may have set logging up first).
    std::string file = LogMgr::GetInstance()->CurrentFilePath();
    return testsupport::ReadLogs(file.substr(0, file.rfind('/')), "Vessel");
}

bool WaitForLog(const std::string& needle)
{
    return testsupport::WaitFor([&] { return Logs().find(needle) != std::string::npos; }, kDeadline);
}

size_t CountLog(const std::string& needle)
{
    return testsupport::LinesWith(Logs(), needle).size();
}

}  // namespace channeltest
