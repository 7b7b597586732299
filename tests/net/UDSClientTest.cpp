// The client end of a Unix socket: refused connects leave nothing open, sends arrive whole, a
// reply is read whole across pieces.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <thread>
#include <utility>

#include "net/UDSClient.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::ReadSome;
using testsupport::SendAll;

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
    // Reads until n bytes came, or nothing did for a second (a sender that stopped short).
    std::string Read(size_t n) {
        std::string got;
        while (got.size() < n && ReadSome(conn, got, std::chrono::steady_clock::now() + 1s) > 0) {
        }
        return got;
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

TEST_F(UDSClientTest, AGatewayReplyIsReadWholeAcrossPiecesAndACutOneFails) {
    ASSERT_EQ(client.SendToGW({"pullappcfg", "container"}), 0);
    const std::string request = "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n";
    EXPECT_EQ(Read(request.size()), request);

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
