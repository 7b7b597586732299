#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/UDSClient.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

// A listening Unix socket in a temp directory, standing in for the master or the gateway.
class Listener {
public:
    explicit Listener(const std::string& path, bool listening = true) : path(path) {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        if (listening) {
            EXPECT_EQ(listen(fd, 4), 0);
        }
    }
    ~Listener() {
        if (conn != -1) close(conn);
        close(fd);
        unlink(path.c_str());
    }
    int Accept() {
        conn = accept(fd, nullptr, nullptr);
        return conn;
    }
    void Write(const std::string& data) {
        ASSERT_EQ(write(conn, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    std::string path;
    int fd = -1;
    int conn = -1;
};

class RecordingHandler : public IIOHandler {
public:
    int DoAsyncRead(int, const std::string& data) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(data);
        return 0;
    }
    int DoSyncWrite(const std::string&, const std::string&) override { return 0; }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }

private:
    std::mutex mutex;
    std::vector<std::string> messages;
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

std::string ReadExactly(int fd, size_t n) {
    std::string out;
    char buf[65536];
    while (out.size() < n) {
        ssize_t r = read(fd, buf, std::min(sizeof(buf), n - out.size()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

void NoOpHandler(int) {}

// True while the thread waits in the kernel (state S in /proc).
bool ThreadSleeping(pid_t tid) {
    std::string stat = testsupport::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

}  // namespace

TEST(UDSClientTest, FailedConnectLeavesNoSocket) {
    TempDir dir("udsc");
    UDSClient client;

    // The path field holds 107 characters and the terminator; one more cannot be copied.
    std::string tooLong = dir.path() + "/" + std::string(108 - dir.path().size(), 'x');
    ASSERT_EQ(tooLong.size(), 109u);
    EXPECT_EQ(client.Connect(tooLong), ERANGE);
    EXPECT_EQ(client.GetSockFd(), -1);
    EXPECT_FALSE(client.IsConnected());

    std::string longest = dir.path() + "/" + std::string(106 - dir.path().size(), 'y');
    ASSERT_EQ(longest.size(), 107u);
    EXPECT_EQ(client.Connect(longest), ENOENT);  // copied fine, nothing there
    EXPECT_EQ(client.GetSockFd(), -1);

    Listener bound(dir / "bound.sock", /*listening=*/false);
    EXPECT_EQ(client.Connect(bound.path), ECONNREFUSED);
    EXPECT_EQ(client.GetSockFd(), -1);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.CloseAll(), 0);  // no event loop ran: nothing else to close
}

TEST(UDSClientTest, SendToDeliversWholeDataAcrossChunksAndSignals) {
    TempDir dir("udsc");
    Listener server(dir / "s.sock");
    UDSClient client;
    ASSERT_EQ(client.Connect(server.path), 0);
    ASSERT_GE(server.Accept(), 0);

    std::string small = Pattern(25000);
    ASSERT_EQ(client.SendTo(small), 0);
    EXPECT_EQ(ReadExactly(server.conn, small.size()), small);

    // A large message with tiny socket buffers blocks the sender many times; signals that
    // interrupt it (no SA_RESTART) must not cut the message short.
    struct sigaction sa {};
    sa.sa_handler = NoOpHandler;
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int small_buf = 4096;
    setsockopt(client.GetSockFd(), SOL_SOCKET, SO_SNDBUF, &small_buf, sizeof(small_buf));
    setsockopt(server.conn, SOL_SOCKET, SO_RCVBUF, &small_buf, sizeof(small_buf));

    std::string big = Pattern(1024 * 1024 + 17);
    std::atomic<int> result{-2};
    std::atomic<bool> done{false};
    std::atomic<pid_t> senderTid{0};
    std::thread sender([&] {
        senderTid = gettid();
        result = client.SendTo(big);
        done = true;
    });
    pthread_t senderHandle = sender.native_handle();
    ASSERT_TRUE(WaitFor([&] { return senderTid != 0; }, 5s));
    std::string received;
    char buf[8192];
    while (received.size() < big.size()) {
        // Interrupt the sender while it is blocked in send, before making room for more.
        if (!done && WaitFor([&] { return done || ThreadSleeping(senderTid); }, 2s) && !done) {
            pthread_kill(senderHandle, SIGUSR1);
        }
        pollfd p {server.conn, POLLIN, 0};
        if (poll(&p, 1, 1000) == 0) {
            if (done) break;  // the sender gave up: nothing more will come
            continue;
        }
        ssize_t r = read(server.conn, buf, sizeof(buf));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        received.append(buf, static_cast<size_t>(r));
    }
    sender.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(received.size(), big.size());
    EXPECT_TRUE(received == big) << "bytes lost, duplicated or reordered";
}

TEST(UDSClientTest, SendToRefusesTenMiBAndSendsNothing) {
    TempDir dir("udsc");
    Listener server(dir / "s.sock");
    UDSClient client;
    ASSERT_EQ(client.Connect(server.path), 0);
    ASSERT_GE(server.Accept(), 0);
    EXPECT_EQ(client.SendTo(std::string(UDSClient::MAX_CONTENT, 'a')), -1);
    ASSERT_EQ(client.SendTo("z"), 0);
    // The next byte on the wire is the later message: nothing of the refused one went out.
    EXPECT_EQ(ReadExactly(server.conn, 1), "z");
}

TEST(UDSClientTest, EventLoopHandsOverWholeLinesOnly) {
    TempDir dir("udsc");
    Listener server(dir / "s.sock");
    RecordingHandler handler;
    UDSClient client(&handler);
    ASSERT_EQ(client.Connect(server.path), 0);
    ASSERT_GE(server.Accept(), 0);
    std::thread loop([&] { client.Run(); });

    // One command in two pieces arrives as one line.
    server.Write("addModule#a|1|/m|C_MO");
    server.Write("DULE|\n");
    ASSERT_TRUE(WaitFor([&] { return handler.Messages().size() == 1; }, 5s));
    EXPECT_EQ(handler.Messages()[0], "addModule#a|1|/m|C_MODULE|\n");

    // Two commands and the start of a third in one write: the two go together, the third waits.
    server.Write("deleteModule#a|1|/m|C_MODULE|\nmodifyModule#b|2|/m|GO|\nageing");
    ASSERT_TRUE(WaitFor([&] { return handler.Messages().size() == 2; }, 5s));
    EXPECT_EQ(handler.Messages()[1], "deleteModule#a|1|/m|C_MODULE|\nmodifyModule#b|2|/m|GO|\n");
    server.Write("Module#c|3|/m|GO|\n");
    ASSERT_TRUE(WaitFor([&] { return handler.Messages().size() == 3; }, 5s));
    EXPECT_EQ(handler.Messages()[2], "ageingModule#c|3|/m|GO|\n");

    // A line longer than the bound is dropped whole, its tail included; the next line survives.
    // Whether the bound is crossed before or together with the line end depends on how the
    // reads fall, so both are tried.
    std::string huge(UDSClient::MAX_LINE + 5000, 'h');
    server.Write(huge);
    server.Write("tail-of-huge\naddModule#d|4|/m|GO|\n");
    ASSERT_TRUE(WaitFor([&] { return handler.Messages().size() == 4; }, 5s));
    EXPECT_EQ(handler.Messages()[3].substr(0, 200), "addModule#d|4|/m|GO|\n");
    server.Write(huge + "\naddModule#e|5|/m|GO|\n");
    ASSERT_TRUE(WaitFor([&] { return handler.Messages().size() == 5; }, 5s));
    EXPECT_EQ(handler.Messages()[4].substr(0, 200), "addModule#e|5|/m|GO|\n");

    // The peer going away closes the socket once; the loop keeps waiting until stopped.
    close(server.conn);
    server.conn = -1;
    ASSERT_TRUE(WaitFor([&] { return client.GetSockFd() == -1; }, 5s));
    EXPECT_TRUE(client.IsConnected());
    client.StopLoop();
    loop.join();
    EXPECT_EQ(handler.Messages().size(), 5u);
}

TEST(UDSClientTest, StopBeforeRunEndsLoopAtOnce) {
    TempDir dir("udsc");
    Listener server(dir / "s.sock");
    RecordingHandler handler;
    UDSClient client(&handler);
    ASSERT_EQ(client.Connect(server.path), 0);
    client.StopLoop();
    EXPECT_EQ(client.Run(), 0);
}

TEST(UDSClientTest, GatewayRequestAndReplyInPieces) {
    TempDir dir("udsc");
    Listener server(dir / "s.sock");
    UDSClient client;
    ASSERT_EQ(client.Connect(server.path), 0);
    ASSERT_GE(server.Accept(), 0);

    ASSERT_EQ(client.SendToGW({"pullappcfg", "container"}), 0);
    const std::string request = "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n";
    EXPECT_EQ(ReadExactly(server.conn, request.size()), request);

    // The reply comes in two pieces; it is read until whole, not parsed from its first piece.
    std::vector<std::string> values;
    std::atomic<int> result{-2};
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&] {
        readerTid = gettid();
        result = client.RecvFromGW(values);
    });
    server.Write("*2\r\n$6\r\nappcfg\r\n$2");
    // The second piece is written only once the client has taken the first and waits again.
    EXPECT_TRUE(WaitFor([&] {
        int unread = -1;
        ioctl(client.GetSockFd(), FIONREAD, &unread);
        return result != -2 || (unread == 0 && readerTid != 0 && ThreadSleeping(readerTid));
    }, 5s));
    server.Write("\r\n{}\r\n");
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(values, (std::vector<std::string>{"appcfg", "{}"}));

    // A reply cut off by the peer is a failure, not a short answer.
    values.clear();
    server.Write("*2\r\n$6\r\nappcfg\r\n");
    close(server.conn);
    server.conn = -1;
    EXPECT_EQ(client.RecvFromGW(values), -1);
    EXPECT_TRUE(values.empty());
}
