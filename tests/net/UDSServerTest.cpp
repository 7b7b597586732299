#include "net/UDSServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChannelTestUtil.h"
#include "proto/GatewayPath.h"
#include "support/TestSupport.h"

using channeltest::Client;
using testsupport::ScopedEnv;
using testsupport::UniqueName;
using testsupport::WaitFor;

namespace {

// Records what the server hands over, as seen from the channel thread.
class RecordingHandler : public IIOHandler {
public:
    int DoAsyncRead(int fd, const std::string& data) override
    {
        std::lock_guard<std::mutex> lock(mu);
        reads.push_back(data);
        lastFd = fd;
        return 0;
    }
    int DoSyncWrite(const std::string&, const std::string&) override { return 0; }
    void OnClose(int fd) override
    {
        std::lock_guard<std::mutex> lock(mu);
        closed.push_back(fd);
    }
    std::string All()
    {
        std::lock_guard<std::mutex> lock(mu);
        std::string all;
        for (const auto& r : reads) {
            all += r;
        }
        return all;
    }
    size_t Reads()
    {
        std::lock_guard<std::mutex> lock(mu);
        return reads.size();
    }
    size_t Closed()
    {
        std::lock_guard<std::mutex> lock(mu);
        return closed.size();
    }
    int LastFd()
    {
        std::lock_guard<std::mutex> lock(mu);
        return lastFd;
    }

    std::mutex mu;
    std::vector<std::string> reads;
    std::vector<int> closed;
    int lastFd = -1;
};

// A server on this test's own channel path, with its loop running.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        channeltest::UseChannelLog();
        path = GetMasterChannelPath();
        server.SetHandler(&handler);
        ASSERT_EQ(server.BindAndListen(path), 0);
        loop = std::thread(&UDSServer::RunEventLoop, &server);
    }
    void TearDown() override
    {
        server.Stop();
        if (loop.joinable()) {
            loop.join();
        }
        unlink(path.c_str());
    }
    bool WaitForData(const std::string& expected)
    {
        return WaitFor([&] { return handler.All() == expected; }, channeltest::kDeadline);
    }

    ScopedEnv app{"APP_NAME", UniqueName("Chan")};
    std::string path;
    RecordingHandler handler;
    UDSServer server;
    std::thread loop;
};

TEST(ChannelPathTest, FollowsAppName)
{
    {
        ScopedEnv unset("APP_NAME", "", true);
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner");
    }
    {
        ScopedEnv mixed("APP_NAME", "MyApp_X1");
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner-myapp_x1");
    }
    {
        ScopedEnv empty("APP_NAME", "");
        EXPECT_EQ(GetMasterChannelPath(), "/tmp/uds-vessel-inner-");
    }
}

TEST(UDSServerBindTest, SocketIsPrivateAndReplacesAStaleSocket)
{
    ScopedEnv app("APP_NAME", UniqueName("Bind"));
    std::string path = GetMasterChannelPath();
    struct Unlinker {
        std::string path;
        ~Unlinker() { unlink(path.c_str()); }
    } cleanup{path};
    {
        // What a crashed master leaves: a socket nobody listens on.
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a {};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof(a.sun_path) - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        close(fd);
    }
    {
        UDSServer server;
        ASSERT_EQ(server.BindAndListen(path), 0);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        Client client(path);
        EXPECT_TRUE(client.connected());
    }
}

TEST(UDSServerBindTest, TooLongPathFailsWithCopyErrorAndLeavesNoFile)
{
    channeltest::UseChannelLog();
    testsupport::TempDir dir("vessel-chan-long");
    std::string path = dir.path() + "/" + std::string(108 - dir.path().size() - 1, 's');
    ASSERT_EQ(path.size(), 108u);
    UDSServer server;
    EXPECT_EQ(server.BindAndListen(path), ERANGE);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_TRUE(channeltest::WaitForLog("get servaddr error:" + std::to_string(ERANGE) + "["));

    // 107 characters still fit.
    std::string fits = path.substr(0, 107);
    EXPECT_EQ(server.BindAndListen(fits), 0);
}

TEST_F(ServerFixture, LineWrittenInTwoPiecesIsHandedOverWhole)
{
    Client client(path);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.Write("shakehand#12"));
    // The server has read the first piece (nothing left in the socket) but must hold it back.
    ASSERT_TRUE(WaitFor([&] { return client.Unread() == 0; }, channeltest::kDeadline));
    ASSERT_TRUE(client.Write("34\n"));
    ASSERT_TRUE(WaitForData("shakehand#1234\n"));
    EXPECT_EQ(handler.Reads(), 1u);
}

TEST_F(ServerFixture, TwoLinesInOneWriteStayTwoLines)
{
    Client client(path);
    ASSERT_TRUE(client.Write("shakehand#1\nageing#1\nunloadMod"));
    ASSERT_TRUE(WaitFor([&] { return client.Unread() == 0; }, channeltest::kDeadline));
    ASSERT_TRUE(client.Write("ule#1#a|1\n"));
    ASSERT_TRUE(WaitForData("shakehand#1\nageing#1\nunloadModule#1#a|1\n"));
    std::lock_guard<std::mutex> lock(handler.mu);
    EXPECT_EQ(handler.reads, (std::vector<std::string>{"shakehand#1\nageing#1\n", "unloadModule#1#a|1\n"}));
}

TEST_F(ServerFixture, OverLongLineIsDroppedAndNextLineSurvives)
{
    Client client(path);
    std::string limit(UDSServer::kMaxLineLen, 'y');
    ASSERT_TRUE(client.Write(limit + "\n"));
    ASSERT_TRUE(WaitForData(limit + "\n"));

    // One byte over the limit, in many reads; then a normal line on the same connection.
    ASSERT_TRUE(client.Write(std::string(UDSServer::kMaxLineLen + 1, 'x') + "\nnext#1\n"));
    ASSERT_TRUE(WaitForData(limit + "\nnext#1\n"));
    std::string dropLog = "line too long, dropped, fd:" + std::to_string(handler.LastFd());
    EXPECT_EQ(channeltest::CountLog(dropLog), 1u);

    // Far over the limit and still unterminated: dropped as soon as it passes the limit, so the
    // buffer does not grow with what a peer sends.
    ASSERT_TRUE(client.Write(std::string(3 * UDSServer::kMaxLineLen, 'z')));
    EXPECT_TRUE(WaitFor([&] { return channeltest::CountLog(dropLog) == 2; }, channeltest::kDeadline));
    ASSERT_TRUE(client.Write("zz\nlast#2\n"));
    EXPECT_TRUE(WaitForData(limit + "\nnext#1\nlast#2\n"));
    EXPECT_EQ(channeltest::CountLog(dropLog), 2u);
}

TEST_F(ServerFixture, PeerCloseClosesAndTellsHandler)
{
    Client client(path);
    ASSERT_TRUE(client.Write("ping#1\n"));
    ASSERT_TRUE(WaitForData("ping#1\n"));
    int fd = handler.LastFd();
    EXPECT_GT(server.PeerPid(fd), 0);
    EXPECT_EQ(server.PeerPid(fd), getpid());
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    auto target = [&] {
        char buf[128] = {};
        return std::string(buf, std::max<ssize_t>(readlink(link.c_str(), buf, sizeof(buf) - 1), 0));
    };
    const std::string socketName = target();
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return handler.Closed() == 1; }, channeltest::kDeadline));
    EXPECT_EQ(handler.closed[0], fd);
    // The server's end is closed, not leaked (the number may already serve something else).
    EXPECT_TRUE(WaitFor([&] { return target() != socketName; }, channeltest::kDeadline));
    EXPECT_EQ(server.PeerPid(fd), -1);
    EXPECT_TRUE(channeltest::WaitForLog("accpet " + std::to_string(fd) + "["));
    EXPECT_TRUE(channeltest::WaitForLog("client close,"));
}

TEST_F(ServerFixture, CloseClientFromAnotherThreadEndsConnection)
{
    Client client(path);
    ASSERT_TRUE(client.Write("ping#1\n"));
    ASSERT_TRUE(WaitForData("ping#1\n"));
    int fd = handler.LastFd();
    server.CloseClient(fd);
    EXPECT_TRUE(client.WaitEof());
    ASSERT_TRUE(WaitFor([&] { return handler.Closed() == 1; }, channeltest::kDeadline));
    // A close request for a descriptor the server does not own touches nothing.
    server.CloseClient(fd);
    server.CloseClient(-1);
}

TEST_F(ServerFixture, SendMsgWritesWholeMessagesAndRejectsOversized)
{
    Client client(path);
    ASSERT_TRUE(client.Write("ping#1\n"));
    ASSERT_TRUE(WaitForData("ping#1\n"));
    int fd = handler.LastFd();

    std::string big(UDSServer::kMaxSendLen - 2, 'b');
    big += "\n";
    ASSERT_EQ(server.SendMsg(&fd, big), 0);
    EXPECT_EQ(client.ReadLines(1), big);

    std::string tooBig(UDSServer::kMaxSendLen, 'c');
    EXPECT_EQ(server.SendMsg(&fd, tooBig), ERANGE);
    EXPECT_TRUE(channeltest::WaitForLog("SendMsg fail, copy msg to writer buff failed, errno:" +
                                        std::to_string(ERANGE)));
    ASSERT_EQ(server.SendMsg(&fd, "after\n"), 0);
    EXPECT_EQ(client.ReadLines(1), "after\n");

    client.Close();
    ASSERT_TRUE(WaitFor([&] { return handler.Closed() == 1; }, channeltest::kDeadline));
}

TEST_F(ServerFixture, OtherUsersCannotTalkOnTheChannel)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // Runs as another user in a child; reports 0 on the expected outcome.
    auto runAsNobody = [&](bool expectConnect) {
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(10);
            }
            Client c(path);
            if (!expectConnect) {
                _exit(c.connected() ? 11 : 0);
            }
            if (!c.connected()) {
                _exit(12);
            }
            c.Write("shakehand#1\n");  // may fail: the server can hang up first
            _exit(c.WaitEof() ? 0 : 13);
        }
        int status = -1;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(runAsNobody(false), 0);  // mode 0600 keeps the socket closed to others

    // Even past the file mode, the server hangs up on a peer of another uid.
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(runAsNobody(true), 0);
    EXPECT_TRUE(channeltest::WaitForLog("peer uid mismatch, close fd:"));
    EXPECT_EQ(handler.Reads(), 0u);
}

}  // namespace

namespace {

// Sockets, epoll instances and eventfds open in this process. Files are not counted: the
// logger's housekeeping thread opens some of its own at any moment.
size_t OpenChannelFdCount()
{
    size_t count = 0;
    for (const std::string& name : testsupport::ListDir("/proc/self/fd")) {
        char target[256] = {};
        ssize_t n = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof(target) - 1);
        std::string text(target, n > 0 ? static_cast<size_t>(n) : 0);
        if (text.rfind("socket:", 0) == 0 || text.rfind("anon_inode:", 0) == 0) {
            ++count;
        }
    }
    return count;
}

TEST(UDSServerLifetimeTest, StopAndDestroyReleaseEveryDescriptor)
{
    ScopedEnv app("APP_NAME", UniqueName("Life"));
    std::string path = GetMasterChannelPath();
    size_t before = OpenChannelFdCount();
    {
        RecordingHandler handler;
        UDSServer server;
        server.SetHandler(&handler);
        ASSERT_EQ(server.BindAndListen(path), 0);
        std::thread loop(&UDSServer::RunEventLoop, &server);
        Client client(path);
        ASSERT_TRUE(client.Write("ping#1\n"));
        // The connection is still open on both ends when the loop stops.
        EXPECT_TRUE(WaitFor([&] { return handler.Reads() == 1; }, channeltest::kDeadline));
        server.Stop();
        loop.join();
    }
    EXPECT_EQ(OpenChannelFdCount(), before);
    unlink(path.c_str());
}

}  // namespace
