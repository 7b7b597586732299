// Runs the real vessel binary: banner, log file, channel socket, exit paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>

#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

struct MasterHome {
    TempDir dir{"vessel-master"};
    std::string app = UniqueName("MasterBin");
    std::string logDir = dir / "log";
    std::string out = dir / "stdout.txt";

    MasterHome() {
        mkdir(logDir.c_str(), 0755);
        WriteImmediateLogConfig(dir.path());
    }
    std::string SocketPath() const {
        std::string lower = app;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        return "/tmp/uds-vessel-inner-" + lower;
    }
    bool Start(ChildProcess& p) {
        return p.Exec({std::string(VESSEL_BINARY_DIR) + "/vessel"},
                      {{"APP_NAME", app}, {"_APP_LOG_DIR", logDir}, {"VESSEL_HOME", dir.path()}}, out);
    }
    std::string Logs() const { return ReadLogs(logDir, "Vessel"); }
};

bool IsSocket(const std::string& path, mode_t* mode = nullptr) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    if (mode) *mode = st.st_mode & 07777;
    return true;
}

}  // namespace

TEST(MasterBinary, StartsReplacesStaleSocketAndExitsOnSigterm) {
    MasterHome home;
    {
        // A socket left behind by an earlier run: bound, then nobody listens.
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        home.SocketPath().copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        close(fd);
    }

    ChildProcess master;
    ASSERT_TRUE(home.Start(master));
    // The stale socket is a socket too: look once the master is up.
    ASSERT_TRUE(WaitFor([&] { return home.Logs().find("sigsuspend") != std::string::npos; }, 10s));
    mode_t mode = 0;
    ASSERT_TRUE(IsSocket(home.SocketPath(), &mode));
    EXPECT_EQ(mode, 0600u);

    bool namedByTime = false;
    for (const auto& n : ListDir(home.logDir)) {
        namedByTime |= std::regex_match(n, std::regex(R"(Vessel_\d{8}_\d{6}\.log)"));
    }
    EXPECT_TRUE(namedByTime);

    master.Kill(SIGTERM);
    int status = master.Wait(15s);
    ASSERT_NE(status, -1) << "master did not exit";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string logs = home.Logs();
    EXPECT_EQ(ReadFile(home.out).rfind("Vessel Start\n", 0), 0u);
    EXPECT_EQ(LinesWith(logs, "wake up, sigio ").size(), 1u);
    auto signalLines = LinesWith(logs, "warrenSignalHandler , exiting:15");
    auto exitLines = LinesWith(logs, "exit[ExitMasterProcess|");
    ASSERT_EQ(signalLines.size(), 1u);
    ASSERT_EQ(exitLines.size(), 1u);
    long pause = LineTimeMs(exitLines[0]) - LineTimeMs(signalLines[0]);
    if (pause < 0) pause += 24L * 3600 * 1000;
    EXPECT_GE(pause, 1990);  // the 2-second pause before "exit"
    EXPECT_FALSE(IsSocket(home.SocketPath())) << "the channel socket outlived the master";
    unlink(home.SocketPath().c_str());
}

TEST(MasterBinary, ChannelPathTooLongExitsWithOneAndLeavesNoSocket) {
    MasterHome home;
    home.app = std::string(100, 'L') + UniqueName("x");
    ChildProcess master;
    ASSERT_TRUE(home.Start(master));
    int status = master.Wait(10s);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(home.out).rfind("Vessel Start\n", 0), 0u);
    struct stat st;
    EXPECT_NE(lstat(home.SocketPath().c_str(), &st), 0);
    EXPECT_FALSE(LinesWith(home.Logs(), "ProcessMgt init failed.").empty());
}

// The channel path was taken over (here by a socket of someone else's) while the master ran:
// on its way out the master removes its own socket only, never what is there now.
TEST(MasterBinary, OnQuitLeavesAChannelPathThatIsNoLongerItsSocket) {
    MasterHome home;
    ChildProcess master;
    ASSERT_TRUE(home.Start(master));
    ASSERT_TRUE(WaitFor([&] { return home.Logs().find("sigsuspend") != std::string::npos; }, 10s));
    ASSERT_EQ(unlink(home.SocketPath().c_str()), 0);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    home.SocketPath().copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    struct stat ours {};
    ASSERT_EQ(lstat(home.SocketPath().c_str(), &ours), 0);

    master.Kill(SIGQUIT);
    int status = master.Wait(15s);
    ASSERT_NE(status, -1) << "master did not exit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat now {};
    EXPECT_EQ(lstat(home.SocketPath().c_str(), &now), 0) << "the master removed a socket not its own";
    EXPECT_EQ(now.st_ino, ours.st_ino);
    close(fd);
    unlink(home.SocketPath().c_str());
}
