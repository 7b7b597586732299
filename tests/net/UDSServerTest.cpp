#include "net/UDSServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "proto/GatewayPath.h"
#include "support/ChannelTestUtil.h"
#include "support/TestSupport.h"

using channeltest::Client;
using channeltest::kDeadline;
using testsupport::WaitFor;

namespace {

struct Recorder : IIOHandler {
    int DoAsyncRead(int fd, const std::string& data) override {
        std::lock_guard<std::mutex> lock(mu);
        reads.push_back(data);
        lastFd = fd;
        return 0;
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
    std::mutex mu;
    std::vector<std::string> reads;
    std::vector<int> closed;
    int lastFd = -1;
};

// A server on this test's own channel path, its loop on a thread.
struct RunningServer {
    RunningServer() {
        channeltest::UseChannelLog();
        server.SetHandler(&handler);
        EXPECT_EQ(server.BindAndListen(path), 0);
        loop = std::thread(&UDSServer::RunEventLoop, &server);
    }
    ~RunningServer() {
        server.Stop();
        loop.join();
        unlink(path.c_str());
    }
    // Connects, sends one line and returns the server's descriptor for the connection.
    int Greet(Client& c, const std::string& line) {
        size_t n = handler.Get(handler.reads).size();
        EXPECT_TRUE(c.Write(line));
        EXPECT_TRUE(WaitFor([&] { return handler.Get(handler.reads).size() == n + 1; }, kDeadline));
        return handler.Get(handler.lastFd);
    }
    testsupport::ScopedEnv app{"APP_NAME", testsupport::UniqueName("Chan")};
    std::string path = GetMasterChannelPath();
    Recorder handler;
    UDSServer server;
    std::thread loop;
};

std::string FdTarget(int fd) {
    char buf[128] = {};
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof(buf) - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// Sockets, epoll instances and eventfds open here (the logger opens files at any moment).
size_t OpenChannelFdCount() {
    size_t count = 0;
    for (const std::string& name : testsupport::ListDir("/proc/self/fd")) {
        std::string target = FdTarget(std::atoi(name.c_str()));
        count += target.rfind("socket:", 0) == 0 || target.rfind("anon_inode:", 0) == 0;
    }
    return count;
}

TEST(UDSServerTest, LinesAreWholeAcrossReadsAndAnOverlongLineIsDroppedAlone) {
    RunningServer s;
    Client client(s.path);
    // Each piece waits until the server has drained the socket, so every piece is its own read.
    for (const std::string& piece :
         {std::string("shakehand#12"), std::string("34\nageing#1\nunload"),
          "Module#1\n" + std::string(UDSServer::kMaxLineLen, 'y') + "\n" +
              std::string(UDSServer::kMaxLineLen + 1, 'x') + "\nnext#1\n",
          std::string(3 * UDSServer::kMaxLineLen, 'z'), std::string("zz\nlast#2\n")}) {
        ASSERT_TRUE(client.Write(piece));
        ASSERT_TRUE(WaitFor([&] { return client.Unread() == 0; }, kDeadline));
    }
    const std::string expected = "shakehand#1234\nageing#1\nunloadModule#1\n" +
                                 std::string(UDSServer::kMaxLineLen, 'y') + "\nnext#1\nlast#2\n";
    std::string all;
    EXPECT_TRUE(WaitFor([&] {
        all.clear();
        for (const auto& r : s.handler.Get(s.handler.reads)) {
            EXPECT_EQ(r.back(), '\n') << "a part of a line was handed over";
            all += r;
        }
        return all == expected;
    }, kDeadline)) << all.size();
}

TEST(UDSServerTest, EachConnectionIsClosedOnceAndNothingLeaks) {
    size_t before = OpenChannelFdCount();
    int mine[2] = {-1, -1};
    {
        RunningServer s;
        Client a(s.path);
        const int fd = s.Greet(a, "ping#1\n");
        EXPECT_EQ(s.server.PeerPid(fd), getpid());
        const std::string socketName = FdTarget(fd);
        a.Close();
        ASSERT_TRUE(WaitFor([&] { return s.handler.Get(s.handler.closed) == std::vector<int>{fd}; }, kDeadline));
        ASSERT_TRUE(WaitFor([&] { return FdTarget(fd) != socketName; }, kDeadline)) << "server's end leaked";
        EXPECT_EQ(s.server.PeerPid(fd), -1);

        // The number now serves a socket of ours: closing clients and stopping must not touch it.
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, mine), 0);
        if (mine[1] == fd) std::swap(mine[0], mine[1]);
        if (mine[0] != fd) {  // it usually got the freed number already
            ASSERT_EQ(dup2(mine[0], fd), fd);
            close(mine[0]);
            mine[0] = fd;
        }
        s.server.CloseClient(fd);
        Client b(s.path), c(s.path);  // c is still open when the server stops
        int fdB = s.Greet(b, "ping#2\n");
        const std::string big = std::string(UDSServer::kMaxSendLen - 2, 'b') + "\n";
        EXPECT_EQ(s.server.SendMsg(&fdB, std::string(UDSServer::kMaxSendLen, 'c')), ERANGE);
        ASSERT_EQ(s.server.SendMsg(&fdB, big), 0);
        EXPECT_EQ(b.ReadLines(1), big);
        s.server.CloseClient(fdB);  // from this thread, not the loop's
        EXPECT_TRUE(b.WaitEof());
        EXPECT_TRUE(WaitFor([&] { return s.handler.Get(s.handler.closed).size() == 2; }, kDeadline));
        s.Greet(c, "ping#3\n");
    }
    char got = 0;
    EXPECT_EQ(write(mine[1], "k", 1), 1);
    EXPECT_EQ(read(mine[0], &got, 1), 1) << "the server closed or shut down a number it no longer owned";
    close(mine[0]);
    close(mine[1]);
    EXPECT_EQ(OpenChannelFdCount(), before);
}

TEST(UDSServerTest, APeerOfAnotherUserIsHungUpOn) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    RunningServer s;
    ASSERT_EQ(chmod(s.path.c_str(), 0666), 0);  // past the file mode, the peer check still holds
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        Client c(s.path);
        c.Write("shakehand#1\n");  // may fail: the server can hang up first
        _exit(c.connected() && c.WaitEof() ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(s.handler.Get(s.handler.reads).empty());
}

}  // namespace
