#include "support/ScriptableGateway.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"
#include "support/TestSupport.h"

namespace testsupport {

struct ScriptableGateway::Connection {
    Connection(ConnId id, int fd) : id(id), fd(fd) {}

    const ConnId id;
    std::mutex writeMutex;
    // -1 once closed; changed only by the gateway thread, under writeMutex, after the connection
    // has left the table.
    int fd;
    // Gateway thread only: the reader, and the bytes of the frame it is reading.
    RespStreamParser reader{RespStreamParser::Mode::ANY};
    std::string raw;
};

ScriptableGateway::ScriptableGateway(std::string path) : path(std::move(path)) {}

ScriptableGateway::~ScriptableGateway() {
    Stop();
}

std::string ScriptableGateway::PathForApp(const std::string& appName) {
    std::string path = "/tmp/udsgateway-";
    for (char c : appName) path.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return path;
}

int ScriptableGateway::Start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (running) return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return ENAMETOOLONG;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    unlink(path.c_str());
    int wake = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0 ||
        (wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) {
        int err = errno;
        close(fd);
        unlink(path.c_str());
        return err;
    }
    listenFd = fd;
    wakeFd = wake;
    running = true;
    thread = std::thread([this] { Loop(); });
    return 0;
}

void ScriptableGateway::Stop() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) return;
        running = false;
        // Unblocks a reply stuck on a client that does not read, so the gateway thread can end.
        for (const auto& entry : conns) {
            shutdown(entry.second->fd, SHUT_RDWR);
            all.push_back(entry.second);
        }
    }
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd, &one, sizeof(one));
    (void)ignored;
    thread.join();
    // The gateway thread has ended: nothing else closes descriptors now.
    for (const auto& conn : all) CloseInLoop(conn);
    std::lock_guard<std::mutex> lock(mutex);
    close(listenFd);
    close(wakeFd);
    listenFd = wakeFd = -1;
    unlink(path.c_str());
}

int ScriptableGateway::Restart() {
    Stop();
    return Start();
}

void ScriptableGateway::QueueReply(const std::string& command, const Parts& reply) {
    std::lock_guard<std::mutex> lock(mutex);
    canned[command].push_back(reply);
}

void ScriptableGateway::AlwaysReply(const std::string& command, const Parts& reply) {
    std::lock_guard<std::mutex> lock(mutex);
    standing[command] = reply;
}

void ScriptableGateway::HoldNext(const std::string& command, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    holds[command] += count;
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::ReleaseHeld(const std::string& command,
                                                                       const Parts& reply) {
    std::optional<Frame> frame;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = held.begin(); it != held.end(); ++it) {
            if (it->Command() == command) {
                frame = std::move(*it);
                held.erase(it);
                break;
            }
        }
    }
    if (frame && !Reply(frame->conn, reply)) return std::nullopt;
    return frame;
}

bool ScriptableGateway::Reply(ConnId conn, const Parts& parts) {
    return Write(conn, Serialize(parts));
}

bool ScriptableGateway::SendRaw(ConnId conn, const std::string& bytes) {
    return Write(conn, bytes);
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::WaitForFrame(const std::string& command,
                                                                        std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    size_t& cursor = waitCursor[command];
    if (!changed.wait_for(lock, timeout, [&] { return CountOf(command) > cursor; })) return std::nullopt;
    size_t skip = cursor++;
    for (const Frame& frame : frames)
        if (frame.Command() == command && skip-- == 0) return frame;
    return std::nullopt;  // not reached: the count said it is there
}

bool ScriptableGateway::WaitForFrameCount(const std::string& command, size_t count,
                                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return CountOf(command) >= count; });
}

size_t ScriptableGateway::CountOf(const std::string& command) const {
    size_t n = 0;
    for (const Frame& frame : frames) n += frame.Command() == command ? 1 : 0;
    return n;
}

std::vector<ScriptableGateway::Frame> ScriptableGateway::FramesOf(const std::string& command) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Frame> out;
    for (const Frame& frame : frames)
        if (frame.Command() == command) out.push_back(frame);
    return out;
}

std::vector<ScriptableGateway::BadInput> ScriptableGateway::BadInputs() const {
    std::lock_guard<std::mutex> lock(mutex);
    return badInputs;
}

std::vector<ScriptableGateway::ConnId> ScriptableGateway::OpenConnections() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<ConnId> out;
    for (const auto& entry : conns) out.push_back(entry.first);
    return out;
}

void ScriptableGateway::Loop() {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Connection>> polled;
    while (true) {
        fds.clear();
        polled.clear();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!running) return;
            fds.push_back({wakeFd, POLLIN, 0});
            fds.push_back({listenFd, POLLIN, 0});
            for (const auto& entry : conns) polled.push_back(entry.second);
        }
        // Only this thread closes connection descriptors, so they stay valid while polled.
        for (const auto& conn : polled) fds.push_back({conn->fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) continue;  // Stop(): running is checked at the top
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                ++lastId;
                conns[lastId] = std::make_shared<Connection>(lastId, fd);
            }
        }
        for (size_t i = 0; i < polled.size(); ++i)
            if (fds[i + 2].revents != 0) ReadFrom(polled[i]);
    }
}

void ScriptableGateway::ReadFrom(const std::shared_ptr<Connection>& conn) {
    char buf[65536];
    ssize_t n = recv(conn->fd, buf, sizeof(buf), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        CloseInLoop(conn);
        return;
    }
    for (size_t at = 0; at < static_cast<size_t>(n);) {
        size_t used = 0;
        RespStreamParser::Result result =
            conn->reader.FeedBuffer(buf + at, static_cast<size_t>(n) - at, used);
        conn->raw.append(buf + at, used);
        at += used;
        if (result == RespStreamParser::Result::BAD) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                badInputs.push_back({conn->id, conn->reader.Error()});
            }
            CloseInLoop(conn);
            return;
        }
        if (result == RespStreamParser::Result::COMPLETE) {
            HandleFrame({conn->id, conn->reader.TakeValues(), std::move(conn->raw)});
            conn->raw.clear();
        }
    }
}

void ScriptableGateway::HandleFrame(Frame frame) {
    std::optional<Parts> reply;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string command = frame.Command();
        frames.push_back(frame);
        changed.notify_all();
        auto hold = holds.find(command);
        if (hold != holds.end() && hold->second > 0) {
            --hold->second;
            held.push_back(std::move(frame));
            return;
        }
        auto queued = canned.find(command);
        auto always = standing.find(command);
        if (queued != canned.end() && !queued->second.empty()) {
            reply = std::move(queued->second.front());
            queued->second.erase(queued->second.begin());
        } else if (always != standing.end()) {
            reply = always->second;
        }
    }
    if (reply) Reply(frame.conn, *reply);
}

void ScriptableGateway::CloseInLoop(const std::shared_ptr<Connection>& conn) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        conns.erase(conn->id);
        // A held request on a closed connection can never be answered.
        for (auto it = held.begin(); it != held.end();) it = it->conn == conn->id ? held.erase(it) : it + 1;
    }
    if (conn->fd < 0) return;
    // Ends a write blocked on this connection, which holds the write mutex.
    shutdown(conn->fd, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(conn->writeMutex);
    close(conn->fd);
    conn->fd = -1;
}

bool ScriptableGateway::Write(ConnId id, const std::string& bytes) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = conns.find(id);
        if (it == conns.end()) return false;
        conn = it->second;
    }
    std::lock_guard<std::mutex> lock(conn->writeMutex);
    return conn->fd >= 0 && SendAll(conn->fd, bytes);
}

}  // namespace testsupport
