#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "proto/GatewayPath.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespFrame.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ScriptableGateway;
using testsupport::TempDir;
using testsupport::WaitFor;
using Values = std::vector<std::string>;

constexpr auto DEADLINE = 5000ms;

// A plain blocking Unix-socket client, as unlike the code under test as possible.
class Client {
public:
    explicit Client(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        connectError = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno;
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Close() {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }

    bool Send(const std::string& bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The next reply frame; nullopt at end of file or when the deadline passes.
    std::optional<Values> ReadReply() {
        while (true) {
            Values parts;
            RespFrameResult check = CheckRespFrame(buffer, &parts);
            if (check.status == RespFrameStatus::COMPLETE) {
                buffer.erase(0, check.length);
                return parts;
            }
            if (check.status == RespFrameStatus::BAD || !ReadMore()) {
                return std::nullopt;
            }
        }
    }

    std::string ReadBytes(size_t count) {
        while (buffer.size() < count && ReadMore()) {
        }
        std::string out = buffer.substr(0, count);
        buffer.erase(0, out.size());
        return out;
    }

    // True when the peer closed the connection (after any bytes still buffered).
    bool ReadsEof() {
        while (ReadMore()) {
        }
        return eof;
    }

    int connectError = 0;

private:
    bool ReadMore() {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(DEADLINE.count())) <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            eof = true;
            return false;
        }
        buffer.append(buf, static_cast<size_t>(n));
        return true;
    }

    int fd = -1;
    std::string buffer;
    bool eof = false;
};

class ScriptableGatewayTest : public testing::Test {
protected:
    TempDir dir{"gwtest"};
    std::string path = dir / "gw.sock";
};

TEST_F(ScriptableGatewayTest, AnswersCannedRepliesFirstThenTheHandler) {
    ScriptableGateway gw(path);
    ASSERT_EQ(0, gw.Start());
    std::mutex handlerMutex;  // the handler runs on the gateway's thread
    std::vector<ScriptableGateway::ConnId> handlerConns;
    gw.OnCommand("pullappcfg", [&](ScriptableGateway::ConnId conn, const Values& parts) {
        std::lock_guard<std::mutex> lock(handlerMutex);
        handlerConns.push_back(conn);
        return std::optional<Values>(Values{"appcfg", "handled:" + parts[1]});
    });
    gw.QueueReply("pullappcfg", {"appcfg", "first"});
    gw.QueueReply("pullappcfg", {"appcfg", "second"});

    Client client(path);
    ASSERT_EQ(0, client.connectError);
    for (const char* expected : {"first", "second", "handled:container"}) {
        ASSERT_TRUE(client.Send(Serialize({"pullappcfg", "container"})));
        EXPECT_EQ((Values{"appcfg", expected}), client.ReadReply());
    }
    // An unscripted command stays unanswered: the next reply is the one to the later request.
    ASSERT_TRUE(client.Send(Serialize({"pullappcfgchg", "container"}) + Serialize({"pullappcfg", "x"})));
    EXPECT_EQ((Values{"appcfg", "handled:x"}), client.ReadReply());

    EXPECT_EQ(4u, gw.FramesOf("pullappcfg").size());
    EXPECT_EQ(1u, gw.FramesOf("pullappcfgchg").size());
    std::lock_guard<std::mutex> lock(handlerMutex);
    ASSERT_EQ(2u, handlerConns.size());
    EXPECT_EQ(gw.FramesOf("pullappcfg")[0].conn, handlerConns[0]);
}

TEST_F(ScriptableGatewayTest, RecordsEveryFrameExactlyHoweverItArrives) {
    ScriptableGateway gw(path);
    ASSERT_EQ(0, gw.Start());
    Client client(path);
    std::string response = Serialize({"responsereq", "calc||1.0||4242", "17", "200", "3", ""});
    for (char byte : response) {
        ASSERT_TRUE(client.Send(std::string(1, byte)));
    }
    std::string pull = Serialize({"pullreq", "calc||1.0||4242"});
    ASSERT_TRUE(client.Send(pull + pull));
    ASSERT_TRUE(gw.WaitForFrameCount("pullreq", 2, DEADLINE));

    std::optional<ScriptableGateway::Frame> frame = gw.WaitForFrame("responsereq", DEADLINE);
    ASSERT_TRUE(frame);
    EXPECT_EQ(response, frame->raw);
    EXPECT_EQ((Values{"responsereq", "calc||1.0||4242", "17", "200", "3", ""}), frame->parts);

    std::vector<ScriptableGateway::Frame> frames = gw.FramesOn(frame->conn);
    ASSERT_EQ(3u, frames.size());
    EXPECT_EQ("responsereq", frames[0].Command());
    EXPECT_EQ(pull, frames[1].raw);
    EXPECT_EQ(pull, frames[2].raw);
    // WaitForFrame hands out each frame once.
    EXPECT_TRUE(gw.WaitForFrame("pullreq", DEADLINE));
    EXPECT_TRUE(gw.WaitForFrame("pullreq", DEADLINE));
    EXPECT_FALSE(gw.WaitForFrame("pullreq", 0ms));
}

TEST_F(ScriptableGatewayTest, HeldRequestsAreAnsweredWhenReleased) {
    ScriptableGateway gw(path);
    ASSERT_EQ(0, gw.Start());
    gw.OnCommand("pullmodloadreq", [](ScriptableGateway::ConnId, const Values&) {
        return std::optional<Values>(Values{"pullmodloadrsp", "auto||1"});
    });
    gw.HoldNext("pullmodloadreq");

    Client client(path);
    ASSERT_TRUE(client.Send(Serialize({"pullmodloadreq", "container"})));
    ASSERT_TRUE(gw.WaitForFrame("pullmodloadreq", DEADLINE));
    ASSERT_EQ(1u, gw.HeldFrames().size());
    ASSERT_TRUE(gw.ReleaseHeld("pullmodloadreq", {"pullmodloadrsp", "calc||1.0"}));
    EXPECT_EQ((Values{"pullmodloadrsp", "calc||1.0"}), client.ReadReply());
    EXPECT_TRUE(gw.HeldFrames().empty());

    // The hold is used up: the handler answers the next one.
    ASSERT_TRUE(client.Send(Serialize({"pullmodloadreq", "container"})));
    EXPECT_EQ((Values{"pullmodloadrsp", "auto||1"}), client.ReadReply());

    // A held request whose connection goes away is forgotten.
    gw.HoldNext("pullmodloadreq");
    Client leaving(path);
    ASSERT_TRUE(leaving.Send(Serialize({"pullmodloadreq", "container"})));
    ASSERT_TRUE(gw.WaitForFrame("pullmodloadreq", DEADLINE));
    leaving.Close();
    EXPECT_TRUE(WaitFor([&] { return gw.HeldFrames().empty(); }, DEADLINE));
    EXPECT_FALSE(gw.ReleaseHeld("pullmodloadreq", {"pullmodloadrsp", "late||1"}));
}

TEST_F(ScriptableGatewayTest, SendsRawBytesAndClosesConnectionsOnDemand) {
    ScriptableGateway gw(path);
    ASSERT_EQ(0, gw.Start());
    gw.QueueRawReply("pullappcfg", "*x\r\n");
    Client client(path);
    ASSERT_TRUE(client.Send(Serialize({"pullappcfg", "container"})));
    EXPECT_EQ("*x\r\n", client.ReadBytes(4));

    std::optional<ScriptableGateway::Frame> frame = gw.WaitForFrame("pullappcfg", DEADLINE);
    ASSERT_TRUE(frame);
    ASSERT_TRUE(gw.SendRaw(frame->conn, "$-1\r\nnot resp"));
    EXPECT_EQ("$-1\r\nnot resp", client.ReadBytes(13));
    ASSERT_TRUE(gw.Reply(frame->conn, {"message", "t", "1", "{"}));
    EXPECT_EQ((Values{"message", "t", "1", "{"}), client.ReadReply());

    ASSERT_TRUE(gw.CloseConnection(frame->conn));
    EXPECT_TRUE(client.ReadsEof());
    EXPECT_TRUE(WaitFor([&] { return gw.OpenConnections().empty(); }, DEADLINE));
    EXPECT_FALSE(gw.Reply(frame->conn, {"late"}));
    EXPECT_FALSE(gw.CloseConnection(frame->conn));
}

TEST_F(ScriptableGatewayTest, BadInputClosesOnlyItsOwnConnection) {
    ScriptableGateway gw(path);
    ASSERT_EQ(0, gw.Start());
    gw.OnCommand("pullreq", [](ScriptableGateway::ConnId, const Values&) {
        return std::optional<Values>(Values{"message", "t", "1", "{}"});
    });
    Client good(path);
    Client bad(path);
    ASSERT_TRUE(gw.WaitForConnections(2, DEADLINE));
    ASSERT_TRUE(bad.Send("hello\r\n"));
    EXPECT_TRUE(bad.ReadsEof());
    std::vector<ScriptableGateway::BadInput> inputs = gw.BadInputs();
    ASSERT_EQ(1u, inputs.size());
    EXPECT_EQ("hello\r\n", inputs[0].bytes);
    EXPECT_EQ(0u, inputs[0].error.find("bad frame"));

    ASSERT_TRUE(good.Send(Serialize({"pullreq", "a||1||2"})));
    EXPECT_EQ((Values{"message", "t", "1", "{}"}), good.ReadReply());
}

TEST_F(ScriptableGatewayTest, StopDropsClientsAndRestartListensAgain) {
    ScriptableGateway gw(path);
    ASSERT_EQ(0, gw.Start());
    gw.QueueReply("pullappcfg", {"appcfg", "after restart"});
    Client before(path);
    ASSERT_TRUE(gw.WaitForConnections(1, DEADLINE));

    gw.Stop();
    EXPECT_FALSE(gw.IsListening());
    EXPECT_TRUE(before.ReadsEof());
    Client refused(path);
    EXPECT_NE(0, refused.connectError);
    gw.Stop();  // a second Stop is harmless

    ASSERT_EQ(0, gw.Restart());
    Client after(path);
    ASSERT_EQ(0, after.connectError);
    ASSERT_TRUE(after.Send(Serialize({"pullappcfg", "container"})));
    EXPECT_EQ((Values{"appcfg", "after restart"}), after.ReadReply());
    EXPECT_EQ(2u, gw.AcceptedCount());
    EXPECT_EQ(2, gw.FramesOf("pullappcfg").at(0).conn);
}

TEST_F(ScriptableGatewayTest, ListensWhereVesselLooksForItsApplication) {
    std::string app = testsupport::UniqueName("GwPath");
    std::string appPath = ScriptableGateway::PathForApp(app);
    testsupport::ScopedEnv appName("APP_NAME", app);
    EXPECT_EQ(GetGatewayPath(), appPath);
    ScriptableGateway gw(appPath);
    ASSERT_EQ(0, gw.Start());
    Client client(GetGatewayPath());
    EXPECT_EQ(0, client.connectError);
}

size_t OpenDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return count;
}

TEST_F(ScriptableGatewayTest, LeavesNoDescriptorsOrSocketFileBehind) {
    size_t before = OpenDescriptors();
    {
        ScriptableGateway gw(path);
        ASSERT_EQ(0, gw.Start());
        gw.HoldNext("pullreq");
        Client a(path);
        Client b(path);
        ASSERT_TRUE(a.Send(Serialize({"pullreq", "x||1||1"})));
        ASSERT_TRUE(gw.WaitForFrame("pullreq", DEADLINE));
        ASSERT_EQ(0, gw.Restart());
        Client c(path);
        ASSERT_TRUE(gw.WaitForConnections(3, DEADLINE));
    }
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_NE(0, access(path.c_str(), F_OK));
}

}  // namespace
