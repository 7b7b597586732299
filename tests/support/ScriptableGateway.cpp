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
#include "proto/RespFrame.h"

namespace testsupport {

struct ScriptableGateway::Connection {
    explicit Connection(ConnId id, int fd) : id(id), fd(fd) {}

    const ConnId id;
    std::mutex writeMutex;
    // -1 once closed. Changed only by the thread that closes connections, under writeMutex,
    // after the connection has left the table.
    int fd;
    std::string inbuf;  // bytes of an unfinished frame; gateway thread only
};

ScriptableGateway::ScriptableGateway(std::string path) : path(std::move(path)) {}

ScriptableGateway::~ScriptableGateway() {
    Stop();
}

std::string ScriptableGateway::PathForApp(const std::string& appName) {
    std::string path = "/tmp/udsgateway-";
    for (char c : appName) {
        path.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return path;
}

int ScriptableGateway::Start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (running) {
        return 0;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        return ENAMETOOLONG;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) {
            return;
        }
        running = false;
        // Unblocks a reply stuck on a client that does not read, so the gateway thread can end.
        for (const auto& entry : conns) {
            shutdown(entry.second->fd, SHUT_RDWR);
        }
    }
    Wake();
    thread.join();
    // The gateway thread has ended: nothing else touches the descriptors now.
    CloseAllInLoop();
    std::lock_guard<std::mutex> lock(mutex);
    close(listenFd);
    close(wakeFd);
    listenFd = -1;
    wakeFd = -1;
    unlink(path.c_str());
    changed.notify_all();
}

int ScriptableGateway::Restart() {
    Stop();
    return Start();
}

bool ScriptableGateway::IsListening() const {
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

void ScriptableGateway::OnCommand(const std::string& command, Handler handler) {
    OnCommandRaw(command, [handler](ConnId conn, const Parts& parts) -> std::optional<std::string> {
        std::optional<Parts> reply = handler(conn, parts);
        if (!reply) {
            return std::nullopt;
        }
        return Serialize(*reply);
    });
}

void ScriptableGateway::OnCommandRaw(const std::string& command, RawHandler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    handlers[command] = std::move(handler);
}

void ScriptableGateway::QueueReply(const std::string& command, const Parts& reply) {
    QueueRawReply(command, Serialize(reply));
}

void ScriptableGateway::QueueRawReply(const std::string& command, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    canned[command].push_back(bytes);
}

void ScriptableGateway::HoldNext(const std::string& command, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    holds[command] += count;
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::ReleaseHeld(const std::string& command,
                                                                       const Parts& reply) {
    return ReleaseHeldBytes(command, Serialize(reply));
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::ReleaseHeldRaw(const std::string& command,
                                                                          const std::string& bytes) {
    return ReleaseHeldBytes(command, bytes);
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::ReleaseHeldBytes(const std::string& command,
                                                                            const std::string& bytes) {
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
    if (frame && !Write(frame->conn, bytes)) {
        return std::nullopt;
    }
    return frame;
}

bool ScriptableGateway::Reply(ConnId conn, const Parts& parts) {
    return Write(conn, Serialize(parts));
}

bool ScriptableGateway::SendRaw(ConnId conn, const std::string& bytes) {
    return Write(conn, bytes);
}

bool ScriptableGateway::CloseConnection(ConnId id) {
    // A descriptor is closed only after its connection has left the table (under mutex), so it
    // is open here. The gateway thread then reads end of file and releases it.
    std::lock_guard<std::mutex> lock(mutex);
    auto it = conns.find(id);
    if (it == conns.end()) {
        return false;
    }
    shutdown(it->second->fd, SHUT_RDWR);
    return true;
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::WaitForFrame(const std::string& command,
                                                                        std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    std::optional<Frame> found;
    auto next = [&] {
        size_t skip = waitCursor[command];
        for (const Frame& frame : frames) {
            if (frame.Command() == command && skip-- == 0) {
                found = frame;
                return true;
            }
        }
        return false;
    };
    if (!changed.wait_for(lock, timeout, next)) {
        return std::nullopt;
    }
    ++waitCursor[command];
    return found;
}

bool ScriptableGateway::WaitForFrameCount(const std::string& command, size_t count,
                                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (const Frame& frame : frames) {
            n += frame.Command() == command ? 1 : 0;
        }
        return n >= count;
    });
}

bool ScriptableGateway::WaitForConnections(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return static_cast<size_t>(lastId) >= count; });
}

std::vector<ScriptableGateway::Frame> ScriptableGateway::Frames() const {
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
}

std::vector<ScriptableGateway::Frame> ScriptableGateway::FramesOf(const std::string& command) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Frame> out;
    for (const Frame& frame : frames) {
        if (frame.Command() == command) {
            out.push_back(frame);
        }
    }
    return out;
}

std::vector<ScriptableGateway::Frame> ScriptableGateway::FramesOn(ConnId conn) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Frame> out;
    for (const Frame& frame : frames) {
        if (frame.conn == conn) {
            out.push_back(frame);
        }
    }
    return out;
}

std::vector<ScriptableGateway::Frame> ScriptableGateway::HeldFrames() const {
    std::lock_guard<std::mutex> lock(mutex);
    return held;
}

std::vector<ScriptableGateway::BadInput> ScriptableGateway::BadInputs() const {
    std::lock_guard<std::mutex> lock(mutex);
    return badInputs;
}

std::vector<ScriptableGateway::ConnId> ScriptableGateway::OpenConnections() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<ConnId> out;
    for (const auto& entry : conns) {
        out.push_back(entry.first);
    }
    return out;
}

size_t ScriptableGateway::AcceptedCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<size_t>(lastId);
}

void ScriptableGateway::Loop() {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Connection>> polled;
    while (true) {
        fds.clear();
        polled.clear();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!running) {
                return;
            }
            fds.push_back({wakeFd, POLLIN, 0});
            fds.push_back({listenFd, POLLIN, 0});
            for (const auto& entry : conns) {
                polled.push_back(entry.second);
            }
        }
        // Only this thread closes connection descriptors, so they stay valid while polled.
        for (const auto& conn : polled) {
            fds.push_back({conn->fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            uint64_t count = 0;
            ssize_t ignored = read(wakeFd, &count, sizeof(count));
            (void)ignored;
            continue;  // running is checked at the top
        }
        if (fds[1].revents & POLLIN) {
            AcceptOne();
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 2].revents != 0) {
                ReadFrom(polled[i]);
            }
        }
    }
}

void ScriptableGateway::AcceptOne() {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    ConnId id = ++lastId;
    conns[id] = std::make_shared<Connection>(id, fd);
    changed.notify_all();
}

void ScriptableGateway::ReadFrom(const std::shared_ptr<Connection>& conn) {
    char buf[65536];
    ssize_t n = recv(conn->fd, buf, sizeof(buf), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        CloseInLoop(conn);
        return;
    }
    conn->inbuf.append(buf, static_cast<size_t>(n));
    while (!conn->inbuf.empty()) {
        Frame frame;
        frame.conn = conn->id;
        RespFrameResult check = CheckRespFrame(conn->inbuf, &frame.parts);
        if (check.status == RespFrameStatus::INCOMPLETE) {
            return;
        }
        if (check.status == RespFrameStatus::BAD) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                badInputs.push_back({conn->id, conn->inbuf, check.error});
            }
            CloseInLoop(conn);
            return;
        }
        frame.raw = conn->inbuf.substr(0, check.length);
        conn->inbuf.erase(0, check.length);
        HandleFrame(std::move(frame));
    }
}

void ScriptableGateway::HandleFrame(Frame frame) {
    std::optional<std::string> reply;
    RawHandler handler;
    ConnId conn = frame.conn;
    Parts parts = frame.parts;
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
        auto handled = handlers.find(command);
        if (queued != canned.end() && !queued->second.empty()) {
            reply = std::move(queued->second.front());
            queued->second.erase(queued->second.begin());
        } else if (handled != handlers.end()) {
            handler = handled->second;
        }
    }
    if (handler) {
        reply = handler(conn, parts);
    }
    if (reply) {
        Write(conn, *reply);
    }
}

void ScriptableGateway::CloseInLoop(const std::shared_ptr<Connection>& conn) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        conns.erase(conn->id);
        // A held request on a closed connection can never be answered.
        for (auto it = held.begin(); it != held.end();) {
            it = it->conn == conn->id ? held.erase(it) : it + 1;
        }
        changed.notify_all();
    }
    if (conn->fd < 0) {
        return;
    }
    // Ends a write blocked on this connection, which holds the write mutex.
    shutdown(conn->fd, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(conn->writeMutex);
    close(conn->fd);
    conn->fd = -1;
}

void ScriptableGateway::CloseAllInLoop() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& entry : conns) {
            all.push_back(entry.second);
        }
    }
    for (const auto& conn : all) {
        CloseInLoop(conn);
    }
}

std::shared_ptr<ScriptableGateway::Connection> ScriptableGateway::Find(ConnId conn) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = conns.find(conn);
    return it == conns.end() ? nullptr : it->second;
}

bool ScriptableGateway::Write(ConnId id, const std::string& bytes) {
    std::shared_ptr<Connection> conn = Find(id);
    if (!conn) {
        return false;
    }
    std::lock_guard<std::mutex> lock(conn->writeMutex);
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (conn->fd < 0) {
            return false;
        }
        ssize_t n = send(conn->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void ScriptableGateway::Wake() {
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd, &one, sizeof(one));
    (void)ignored;
}

}  // namespace testsupport
