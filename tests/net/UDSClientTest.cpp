#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>

#include "net/UDSClient.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

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
    void Write(const std::string& d) { ASSERT_EQ(write(conn, d.data(), d.size()), ssize_t(d.size())); }
    std::string Read(size_t n) {  // small reads, so a sender on the other end keeps blocking
        std::string out(n, '\0');
        size_t got = 0;
        for (ssize_t r = 1; got < n && (r > 0 || errno == EINTR); got += r > 0 ? r : 0) {
            r = read(conn, &out[got], std::min<size_t>(n - got, 3000));
        }
        return out.substr(0, got);
    }
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
        EXPECT_EQ(other.GetSockFd(), -1);
        EXPECT_FALSE(other.IsConnected());
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
    timeval giveUp{1, 0};  // a sender that stopped short leaves the reads waiting for no more than this
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &giveUp, sizeof(giveUp));
    std::string big(1024 * 1024 + 17, '\0'), received;
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    std::atomic<int> result{-2};
    std::thread sender([&] { result = client.SendTo(big); });
    while (received.size() < big.size()) {
        if (result == -2) pthread_kill(sender.native_handle(), SIGUSR1);
        std::string piece = Read(std::min<size_t>(3000, big.size() - received.size()));
        if (piece.empty()) break;
        received += piece;
    }
    sender.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(received == big) << "bytes lost, duplicated or reordered; " << received.size();
}

TEST_F(UDSClientTest, AGatewayReplyIsReadWholeAcrossPiecesAndACutOneFails) {
    ASSERT_EQ(client.SendToGW({"pullappcfg", "container"}), 0);
    const std::string request = "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n";
    EXPECT_EQ(Read(request.size()), request);

    std::vector<std::string> values;
    std::atomic<int> result{-2};
    std::thread reader([&] { result = client.RecvFromGW(values); });
    Write("*2\r\n$6\r\nappcfg\r\n$2");
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {  // the first piece taken before the second is written
            int unread = -1;
            ioctl(client.GetSockFd(), FIONREAD, &unread);
            return result != -2 || unread == 0;
        },
        5s));
    Write("\r\n{}\r\n");
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(values, (std::vector<std::string>{"appcfg", "{}"}));

    values.clear();
    Write("*2\r\n$6\r\nappcfg\r\n");
    close(std::exchange(conn, -1));
    EXPECT_EQ(client.RecvFromGW(values), -1);
    EXPECT_TRUE(values.empty());
}
