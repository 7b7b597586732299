// Something other than a socket where Vessel expects one: a regular file, a directory or a
// symbolic link at the master's channel path or at the gateway path. No process crashes, the
// error is logged with the path, and nothing Vessel did not create is deleted. The master does not
// start over such a file at its own listen path (only a stale socket is replaced); a gateway path
// that is blocked is retried until the real gateway is there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include "support/LogLines.h"
#include "support/VesselRun.h"

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::VesselRun;
using testsupport::WaitFor;

namespace {

enum class Kind { RegularFile, Directory, Symlink };

const char* KindText(Kind kind) {
    switch (kind) {
        case Kind::RegularFile:
            return "a regular file";
        case Kind::Directory:
            return "a directory";
        case Kind::Symlink:
            return "a symbolic link";
    }
    return "";
}

void PrintTo(Kind kind, std::ostream* os) {
    *os << KindText(kind);
}

// Something a user left at a path: a file with content, a directory holding a file, or a link to
// a file elsewhere. Removed on destruction; Intact() tells whether it is still there unchanged.
class Obstacle {
public:
    Obstacle(const std::string& path, Kind kind) : path_(path), kind_(kind), elsewhere_("obstacle") {
        switch (kind) {
            case Kind::RegularFile:
                testsupport::WriteFile(path, "keep me");
                break;
            case Kind::Directory:
                mkdir(path.c_str(), 0755);
                testsupport::WriteFile(path + "/inside", "keep me");
                break;
            case Kind::Symlink:
                testsupport::WriteFile(elsewhere_ / "target", "keep me");
                symlink((elsewhere_ / "target").c_str(), path.c_str());
                break;
        }
    }
    ~Obstacle() { Remove(); }
    Obstacle(const Obstacle&) = delete;
    Obstacle& operator=(const Obstacle&) = delete;

    bool Intact() const {
        struct stat st {};
        if (lstat(path_.c_str(), &st) != 0) return false;
        switch (kind_) {
            case Kind::RegularFile:
                return S_ISREG(st.st_mode) && testsupport::ReadFile(path_) == "keep me";
            case Kind::Directory:
                return S_ISDIR(st.st_mode) && testsupport::ReadFile(path_ + "/inside") == "keep me";
            case Kind::Symlink:
                return S_ISLNK(st.st_mode) && testsupport::ReadFile(elsewhere_ / "target") == "keep me";
        }
        return false;
    }
    void Remove() {
        unlink((path_ + "/inside").c_str());
        if (rmdir(path_.c_str()) != 0) unlink(path_.c_str());
    }

private:
    std::string path_;
    Kind kind_;
    TempDir elsewhere_;
};

// A socket file nobody listens on any more, as a master that was killed leaves behind.
bool MakeStaleSocket(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

bool IsSocket(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
    switch (info.param) {
        case Kind::RegularFile:
            return "RegularFile";
        case Kind::Directory:
            return "Directory";
        case Kind::Symlink:
            return "Symlink";
    }
    return "Unknown";
}

class SocketPathFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!VesselRun::Built()) GTEST_SKIP() << "vessel or the calc module is not built";
    }
    std::string MasterLog() const { return run.Logs("Vessel"); }
    std::string WorkerLog() const { return run.Logs("sub_Vessel"); }

    VesselRun run{"SockPath"};
};

class ChannelPathObstructed : public SocketPathFaultTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(ChannelPathObstructed, MasterRefusesToStartAndLeavesItAlone) {
    Obstacle obstacle(run.ChannelPath(), GetParam());
    ASSERT_TRUE(obstacle.Intact());
    ASSERT_EQ(run.StartGateway(), 0);
    ASSERT_TRUE(run.StartMaster());

    int status = run.WaitMaster(20s);
    ASSERT_NE(status, -1) << "the master kept running over a channel path it cannot use";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_TRUE(obstacle.Intact()) << KindText(GetParam()) << " at the channel path was changed or removed";
    std::string log = MasterLog();
    EXPECT_EQ(
        testsupport::LinesWith(log, "ErrorCode:" + std::to_string(EEXIST) + ",channel path " +
                                        run.ChannelPath() + " is " + KindText(GetParam()) + ", not a socket")
            .size(),
        1u)
        << log;
    EXPECT_NE(log.find("ProcessMgt init failed."), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChannelPathObstructed,
                         ::testing::Values(Kind::RegularFile, Kind::Directory, Kind::Symlink), KindName);

TEST_F(SocketPathFaultTest, StaleSocketAtTheChannelPathIsReplaced) {
    ASSERT_TRUE(MakeStaleSocket(run.ChannelPath()));
    ASSERT_EQ(run.StartGateway(), 0);
    ASSERT_TRUE(run.StartMaster());
    ASSERT_TRUE(run.DemandCalc(20s)) << run.Output();
    // The worker reached the master over the new socket, or it would not serve.
    EXPECT_EQ(run.Add(20, 22, 20s), "") << WorkerLog();
    EXPECT_TRUE(run.MasterRunning());
    EXPECT_TRUE(IsSocket(run.ChannelPath()));
}

class GatewayPathObstructed : public SocketPathFaultTest, public ::testing::WithParamInterface<Kind> {};

// The master's pollers log the failed connect with the path and retry; once the path holds the
// gateway's socket they connect and the module is served. The blocking file is not Vessel's to
// remove. (One retry pause of the pollers, about 10 s.)
TEST_P(GatewayPathObstructed, MasterLogsRetriesAndRecoversOnceTheGatewayIsThere) {
    {
        Obstacle obstacle(run.GatewayPath(), GetParam());
        ASSERT_TRUE(obstacle.Intact());
        ASSERT_TRUE(run.StartMaster());
        const std::string failed = "ErrorCode:" + std::to_string(ECONNREFUSED) +
                                   ",uds client connect fails, " + run.GatewayPath() + "[";
        // Both pollers: the configuration and the modules to load.
        ASSERT_TRUE(WaitFor([&] { return testsupport::LinesWith(MasterLog(), failed).size() >= 2; }, 20s))
            << MasterLog();
        EXPECT_TRUE(run.MasterRunning());
        EXPECT_TRUE(obstacle.Intact())
            << KindText(GetParam()) << " at the gateway path was changed or removed";
    }
    ASSERT_EQ(run.StartGateway(), 0);
    ASSERT_TRUE(run.DemandCalc(30s)) << "the master never came back to the gateway\n" << MasterLog();
    EXPECT_EQ(run.Add(1, 2, 20s), "") << WorkerLog();
    EXPECT_TRUE(run.MasterRunning());
}

INSTANTIATE_TEST_SUITE_P(Kinds, GatewayPathObstructed, ::testing::Values(Kind::RegularFile, Kind::Directory),
                         KindName);

// The gateway's socket is replaced by a regular file after the master connected: the worker
// spawned for the next demand cannot reach the gateway. It logs the failed connect and stays up,
// and so does the master.
TEST_F(SocketPathFaultTest, WorkerThatCannotReachTheGatewayLogsItAndStaysUp) {
    ASSERT_EQ(run.StartGateway(), 0);
    ASSERT_TRUE(run.StartMaster());
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const auto& frame : run.Gateway().HeldFrames()) {
                if (frame.Command() == "pullmodloadreq") return true;
            }
            return false;
        },
        20s));
    // The listener keeps its open connections; only the path no longer leads to it.
    ASSERT_EQ(unlink(run.GatewayPath().c_str()), 0);
    Obstacle obstacle(run.GatewayPath(), Kind::RegularFile);
    ASSERT_TRUE(run.DemandCalc(5s));

    ASSERT_TRUE(WaitFor([&] { return run.Workers().size() == 1; }, 20s)) << MasterLog();
    pid_t worker = run.Workers()[0];
    ASSERT_TRUE(WaitFor(
        [&] { return WorkerLog().find("connect fail,Connection refused[onConnect|") != std::string::npos; },
        20s))
        << WorkerLog();
    EXPECT_NE(WorkerLog().find("create " + run.GatewayPath() + ":calc:1.0"), std::string::npos)
        << "the log does not say which path the worker tried";
    EXPECT_TRUE(obstacle.Intact());
    EXPECT_EQ(run.Workers(), std::vector<pid_t>{worker});
    EXPECT_TRUE(run.MasterRunning());

    // The worker is still whole: it ends normally when its master terminates.
    run.SignalMaster(SIGTERM);
    int status = run.WaitMaster(20s);
    ASSERT_NE(status, -1) << "the master did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    std::vector<std::string> reaped =
        testsupport::LinesWith(MasterLog(), "pid:" + std::to_string(worker) + ", processName:");
    ASSERT_EQ(reaped.size(), 1u) << MasterLog();
    EXPECT_NE(reaped[0].find(" exited with code 0["), std::string::npos) << reaped[0];
}

}  // namespace
