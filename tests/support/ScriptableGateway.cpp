#include "support/ScriptableGateway.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "proto/RespStreamParser.h"
#include "support/TestSupport.h"

namespace testsupport {

int ScriptableGateway::Start() {
    std::lock_guard<std::mutex> lock(mutex);
    sockaddr_un addr{AF_UNIX, {}};
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 64) != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    listenFd = fd;
    acceptor = std::thread([this, fd] { Accept(fd); });
    return 0;
}

void ScriptableGateway::Stop() {
    // Shut down, the listener ends the blocked accept: no connection comes after the join.
    if (!Locked([&] { return listenFd >= 0 && shutdown(listenFd, SHUT_RDWR) == 0; })) return;
    acceptor.join();
    std::vector<std::thread> ending = Locked([&] {
        for (int fd : fds) shutdown(fd, SHUT_RDWR);  // also ends a reply stuck on a client that does not read
        return std::move(readers);
    });
    for (auto& reader : ending) reader.join();
    std::lock_guard<std::mutex> lock(mutex);
    for (int fd : fds) close(fd);
    close(listenFd);
    unlink(path.c_str());
    readers.clear(), fds.clear(), open.clear();
    for (auto& entry : scripts) entry.second.held.clear();
    listenFd = -1;
}

void ScriptableGateway::Accept(int listener) {
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;) {
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex);
        fds.push_back(fd);
        open[++lastId] = fd;
        readers.emplace_back([this, id = lastId, fd] { Read(id, fd); });
    }
}

void ScriptableGateway::Read(ConnId id, int fd) {
    using Result = RespStreamParser::Result;
    RespStreamParser reader(RespStreamParser::Mode::ANY);
    std::string raw;
    char buf[65536];
    Result result = Result::NEED_MORE;  // BAD: no frame, so the connection is closed
    for (ssize_t n;
         result != Result::BAD && ((n = recv(fd, buf, sizeof(buf), 0)) > 0 || (n < 0 && errno == EINTR));) {
        for (size_t at = 0, used = 0; result != Result::BAD && n > 0 && at < static_cast<size_t>(n);
             at += used) {
            result = reader.FeedBuffer(buf + at, static_cast<size_t>(n) - at, used);
            raw.append(buf + at, used);
            if (result == Result::COMPLETE) Handle({id, reader.TakeValues(), std::exchange(raw, {})});
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    shutdown(fd, SHUT_RDWR);
    open.erase(id);
    // A held request on a closed connection can never be answered.
    for (auto& entry : scripts) {
        auto& held = entry.second.held;
        held.erase(std::remove_if(held.begin(), held.end(), [&](const Frame& f) { return f.conn == id; }),
                   held.end());
    }
}

void ScriptableGateway::Handle(Frame frame) {
    std::optional<Parts> reply = Locked([&]() -> std::optional<Parts> {
        Script& script = scripts[frame.parts.empty() ? "" : frame.parts[0]];
        script.frames.push_back(frame);
        changed.notify_all();
        if (script.holds > 0 || script.queued.empty()) {
            if (script.holds > 0) --script.holds, script.held.push_back(frame);
            return std::nullopt;
        }
        Parts answer = std::move(script.queued.front());
        script.queued.pop_front();
        return answer;
    });
    if (reply) Reply(frame.conn, *reply);
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::ReleaseHeld(const std::string& command,
                                                                       const Parts& reply) {
    std::optional<Frame> frame = Locked([&]() -> std::optional<Frame> {
        std::deque<Frame>& held = scripts[command].held;
        if (held.empty()) return std::nullopt;
        Frame oldest = std::move(held.front());
        held.pop_front();
        return oldest;
    });
    return frame && Reply(frame->conn, reply) ? frame : std::nullopt;
}

bool ScriptableGateway::SendRaw(ConnId conn, const std::string& bytes) {
    int fd = Locked([&] { return open.count(conn) != 0 ? open[conn] : -1; });
    std::lock_guard<std::mutex> lock(writeMutex);
    return fd >= 0 && SendAll(fd, bytes);
}

std::optional<ScriptableGateway::Frame> ScriptableGateway::WaitForFrame(const std::string& command,
                                                                        std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    Script& script = scripts[command];
    if (!changed.wait_for(lock, timeout, [&] { return script.frames.size() > script.waited; }))
        return std::nullopt;
    return script.frames[script.waited++];
}

bool ScriptableGateway::WaitForFrameCount(const std::string& command, size_t count,
                                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    Script& script = scripts[command];
    return changed.wait_for(lock, timeout, [&] { return script.frames.size() >= count; });
}

}  // namespace testsupport
