// The channel's sockets. The server: whole lines whatever the reads, each connection closed once,
// strangers refused. The client: refused connects leave nothing open, sends arrive whole, a reply
// is read whole across pieces.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "net/UDSClient.h"
#include "net/UDSServer.h"
#include "proto/GatewayPath.h"
#include "support/ChannelTestUtil.h"

using namespace std::chrono_literals;
using channeltest::Client;
using channeltest::kDeadline;
using testsupport::ReadSome;
using testsupport::SendAll;
using testsupport::WaitFor;

namespace {

// A server on this test's own channel path, its loop on a thread, recording what it hands over.
struct RunningServer : IIOHandler {
    template <class F>
    auto Locked(F f) {
        std::lock_guard<std::mutex> lock(mu);
        return f();
    }
    RunningServer() {
        channeltest::UseChannelLog();
        server.SetHandler(this);
        EXPECT_EQ(server.BindAndListen(path), 0);
        loop = std::thread(&UDSServer::RunEventLoop, &server);
    }
    ~RunningServer() override { server.Stop(), loop.join(), unlink(path.c_str()); }
    int DoAsyncRead(int fd, const std::string& data) override {
        return Locked([&] { reads.emplace_back(fd, data); }), 0;
    }
    int DoSyncWrite(const std::string&, const std::string&) override { return 0; }
    void OnClose(int fd) override {
        Locked([&] { closed.push_back(fd); });
    }
    // Sends one line on c and returns the server's descriptor for that connection.
    int Greet(Client& c, const std::string& line) {
        size_t n = Locked([&] { return reads.size(); });
        EXPECT_TRUE(c.Write(line));
        EXPECT_TRUE(WaitFor([&] { return Locked([&] { return reads.size() > n; }); }, kDeadline));
        return Locked([&] { return reads.empty() ? -1 : reads.back().first; });
    }
    testsupport::ScopedEnv app{"APP_NAME", testsupport::UniqueName("Chan")};
    std::string path = GetMasterChannelPath();
    UDSServer server;
    std::thread loop;
    std::mutex mu;
    std::vector<std::pair<int, std::string>> reads;
    std::vector<int> closed;
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
    std::string all;
    EXPECT_TRUE(WaitFor(
        [&] {
            all.clear();
            for (const auto& r : s.Locked([&] { return s.reads; }))
                all += r.second.back() == '\n' ? r.second : "#";
            return all == expected;
        },
        kDeadline))
        << all.size() << " bytes; a '#' where a part of a line was handed over";
}

TEST(UDSServerTest, EachConnectionIsClosedOnceAndNotLeaked) {
    int mine[2] = {-1, -1};
    {
        RunningServer s;
        Client a(s.path);
        const int fd = s.Greet(a, "ping#1\n");
        const std::string socketName = FdTarget(fd);
        a.Close();
        ASSERT_TRUE(
            WaitFor([&] { return s.Locked([&] { return s.closed == std::vector<int>{fd}; }); }, kDeadline));
        ASSERT_TRUE(WaitFor([&] { return FdTarget(fd) != socketName; }, kDeadline)) << "server's end leaked";
        EXPECT_EQ(s.server.PeerPid(fd), -1);  // forgotten with the connection

        // The number now serves a socket of ours: closing clients and stopping must not touch it.
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, mine), 0);
        if (mine[1] == fd) std::swap(mine[0], mine[1]);
        if (mine[0] != fd && dup2(mine[0], fd) == fd) close(std::exchange(mine[0], fd));  // usually it is fd
        ASSERT_EQ(mine[0], fd);
        s.server.CloseClient(fd);
        Client b(s.path);
        s.server.CloseClient(s.Greet(b, "ping#2\n"));  // from this thread, not the loop's
        EXPECT_TRUE(b.WaitEof());
        EXPECT_TRUE(WaitFor([&] { return s.Locked([&] { return s.closed.size() == 2; }); }, kDeadline));
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
    EXPECT_TRUE(s.Locked([&] { return s.reads.empty(); }));
}

// Plays the master or the gateway at a path of its own; conn is its end of client's connection.
class UDSClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        sockaddr_un addr{AF_UNIX, {}};
        path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        ASSERT_TRUE(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd, 4) == 0);
        ASSERT_EQ(client.Connect(path), 0);
        ASSERT_GE(conn = accept(fd, nullptr, nullptr), 0);
    }
    void TearDown() override { close(conn), close(fd); }
    testsupport::TempDir dir{"udsc"};
    std::string path = dir / "s.sock";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0), conn = -1;
    UDSClient client;
};

TEST_F(UDSClientTest, AFailedConnectLeavesNoSocket) {
    close(std::exchange(fd, -1));  // nobody listens at path any more
    const std::pair<std::string, int> cases[] = {
        {dir.path() + "/" + std::string(108 - dir.path().size(), 'x'), ERANGE},  // 109: does not fit
        {dir.path() + "/" + std::string(106 - dir.path().size(), 'y'), ENOENT},  // 107: fits
        {path, ECONNREFUSED},
    };
    UDSClient other;
    for (const auto& [to, rc] : cases) {
        EXPECT_EQ(other.Connect(to), rc) << to.size();
        EXPECT_TRUE(other.GetSockFd() == -1 && !other.IsConnected());
    }
}

TEST_F(UDSClientTest, SendToDeliversAllBytesThroughSignalsAndRefusesTenMiB) {
    EXPECT_EQ(client.SendTo(std::string(UDSClient::MAX_CONTENT, 'a')), -1);
    // Tiny buffers block the sender often; signals without SA_RESTART must not cut data short.
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int small = 4096;
    setsockopt(client.GetSockFd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::string big(1024 * 1024 + 17, '\0'), received;
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    std::atomic<int> result{-2};
    std::thread sender([&] { result = client.SendTo(big); });
    do {
        if (result == -2) pthread_kill(sender.native_handle(), SIGUSR1);
    } while (received.size() < big.size() &&
             ReadSome(conn, received, std::chrono::steady_clock::now() + 1s) > 0);
    sender.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(received == big) << "bytes lost, duplicated or reordered; " << received.size();
}

// (What it sends is the gateway format's writer through SendTo: both are checked on their own.)
TEST_F(UDSClientTest, AGatewayReplyIsReadWholeAcrossPiecesAndACutOneFails) {
    std::vector<std::string> values;
    std::atomic<int> result{-2};
    std::thread reader([&] { result = client.RecvFromGW(values); });
    EXPECT_TRUE(SendAll(conn, "*2\r\n$6\r\nappcfg\r\n$2"));
    int unread = -1;  // the first piece taken before the second is written
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return result != -2 || (ioctl(client.GetSockFd(), FIONREAD, &unread) == 0 && unread == 0); },
        5s));
    EXPECT_TRUE(SendAll(conn, "\r\n{}\r\n"));
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(values, (std::vector<std::string>{"appcfg", "{}"}));

    values.clear();
    ASSERT_TRUE(SendAll(conn, "*2\r\n$6\r\nappcfg\r\n"));
    close(std::exchange(conn, -1));
    EXPECT_EQ(client.RecvFromGW(values), -1);
    EXPECT_TRUE(values.empty());
}

}  // namespace
