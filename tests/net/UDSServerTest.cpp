#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <mutex>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "net/UDSServer.h"
#include "proto/GatewayPath.h"
#include "support/ChannelTestUtil.h"

using channeltest::Client;
using channeltest::kDeadline;
using testsupport::WaitFor;

namespace {

// A server on this test's own channel path, its loop on a thread, recording what it hands over.
struct RunningServer : IIOHandler {
    RunningServer() {
        channeltest::UseChannelLog();
        server.SetHandler(this);
        EXPECT_EQ(server.BindAndListen(path), 0);
        loop = std::thread(&UDSServer::RunEventLoop, &server);
    }
    ~RunningServer() override {
        server.Stop();
        loop.join();
        unlink(path.c_str());
    }
    int DoAsyncRead(int fd, const std::string& data) override {
        std::lock_guard<std::mutex> lock(mu);
        return reads.push_back(data), lastFd = fd, 0;
    }
    int DoSyncWrite(const std::string&, const std::string&) override { return 0; }
    void OnClose(int fd) override {
        std::lock_guard<std::mutex> lock(mu);
        closed.push_back(fd);
    }
    template <class T>
    T Get(const T& field) {
        std::lock_guard<std::mutex> lock(mu);
        return field;
    }
    // Sends one line on c and returns the server's descriptor for that connection.
    int Greet(Client& c, const std::string& line) {
        size_t n = Get(reads).size();
        EXPECT_TRUE(c.Write(line));
        EXPECT_TRUE(WaitFor([&] { return Get(reads).size() == n + 1; }, kDeadline));
        return Get(lastFd);
    }
    testsupport::ScopedEnv app{"APP_NAME", testsupport::UniqueName("Chan")};
    std::string path = GetMasterChannelPath();
    UDSServer server;
    std::thread loop;
    std::mutex mu;
    std::vector<std::string> reads;
    std::vector<int> closed;
    int lastFd = -1;
};

std::string FdTarget(int fd) {
    char buf[128] = {};
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof(buf) - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

TEST(UDSServerTest, LinesAreWholeAcrossReadsAndAnOverlongLineIsDroppedAlone) {
    RunningServer s;
    Client client(s.path);
    // Each piece waits until the server has drained the socket, so every piece is its own read.
    const std::string y(UDSServer::kMaxLineLen, 'y');
    for (const std::string& piece : {std::string("shakehand#12"), std::string("34\nageing#1\nunload"),
                                     "Module#1\n" + y + "\n" + std::string(y.size() + 1, 'x') + "\nnext#1\n",
                                     std::string(3 * y.size(), 'z'), std::string("zz\nlast#2\n")}) {
        ASSERT_TRUE(client.Write(piece));
        int unread = -1;
        ASSERT_TRUE(
            WaitFor([&] { return ioctl(client.fd, SIOCOUTQ, &unread) == 0 && unread == 0; }, kDeadline));
    }
    const std::string expected = "shakehand#1234\nageing#1\nunloadModule#1\n" + y + "\nnext#1\nlast#2\n";
    auto all = [&] {
        auto r = s.Get(s.reads);
        return std::accumulate(r.begin(), r.end(), std::string());
    };
    EXPECT_TRUE(WaitFor([&] { return all() == expected; }, kDeadline)) << all().size();
    for (const auto& r : s.Get(s.reads)) EXPECT_EQ(r.back(), '\n') << "a part of a line handed over";
}

TEST(UDSServerTest, EachConnectionIsClosedOnceAndNotLeaked) {
    int mine[2] = {-1, -1};
    {
        RunningServer s;
        Client a(s.path);
        const int fd = s.Greet(a, "ping#1\n");
        const std::string socketName = FdTarget(fd);
        a.Close();
        ASSERT_TRUE(WaitFor([&] { return s.Get(s.closed) == std::vector<int>{fd}; }, kDeadline));
        ASSERT_TRUE(WaitFor([&] { return FdTarget(fd) != socketName; }, kDeadline)) << "server's end leaked";
        EXPECT_EQ(s.server.PeerPid(fd), -1);  // forgotten with the connection

        // The number now serves a socket of ours: closing clients and stopping must not touch it.
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, mine), 0);
        if (mine[1] == fd) std::swap(mine[0], mine[1]);
        if (mine[0] != fd && dup2(mine[0], fd) == fd) close(std::exchange(mine[0], fd));  // usually it is fd
        ASSERT_EQ(mine[0], fd);
        s.server.CloseClient(fd);
        Client b(s.path);
        int fdB = s.Greet(b, "ping#2\n");
        s.server.CloseClient(fdB);  // from this thread, not the loop's
        EXPECT_TRUE(b.WaitEof());
        EXPECT_TRUE(WaitFor([&] { return s.Get(s.closed).size() == 2; }, kDeadline));
    }
    char got = 0;
    EXPECT_EQ(send(mine[1], "k", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(read(mine[0], &got, 1), 1) << "the server closed or shut down a number it no longer owned";
    close(mine[0]), close(mine[1]);
}

TEST(UDSServerTest, APeerOfAnotherUserIsHungUpOn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    RunningServer s;
    ASSERT_EQ(chmod(s.path.c_str(), 0666), 0);  // past the file mode, the peer check still holds
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        Client c(s.path);
        c.Write("shakehand#1\n");  // may fail: the server can hang up first
        _exit(c.fd >= 0 && c.WaitEof() ? 0 : 1);
    }
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0) == child ? status : -1, 0);
    EXPECT_TRUE(s.Get(s.reads).empty());
}

}  // namespace
