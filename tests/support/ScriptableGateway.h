// A gateway for tests: listens on a Unix socket, records every frame each connection sends (read
// with the product's stream reader) and answers as the test scripts it. A connection is read by a
// thread of its own; descriptors stay open until Stop(), so a number is never reused under a
// writer. `mutex` guards the tables, `writeMutex` serialises writes.
#pragma once

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/GatewayProtocol.h"

namespace testsupport {

class ScriptableGateway {
public:
    using ConnId = int;  // 1, 2, ... in accept order, never reused
    using Parts = std::vector<std::string>;
    struct Frame {
        ConnId conn = 0;
        Parts parts;      // its elements, empty ones kept
        std::string raw;  // its bytes as received
    };

    explicit ScriptableGateway(std::string path) : path(std::move(path)) {}
    ~ScriptableGateway() { Stop(); }
    // Where Vessel looks for the gateway when APP_NAME is app.
    static std::string PathForApp(std::string app) {
        for (char& c : app) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return "/tmp/udsgateway-" + app;
    }

    // Listens on the path (a stale socket file there is replaced): 0 or an errno value.
    int Start();
    // Closes every connection and the listener and removes the socket file; records and scripts
    // stay, and Start() opens it again as a restarted gateway would.
    void Stop();

    // A request is held for ReleaseHeld while holds for its command word are left, else answered by
    // the oldest reply queued for that word, else not at all.
    void QueueReply(const std::string& command, const Parts& reply) {
        Locked([&] { scripts[command].queued.push_back(reply); });
    }
    void HoldNext(const std::string& command, size_t count = 1) {
        Locked([&] { scripts[command].holds += count; });
    }
    // Answers the oldest held request with this command word; the frame it answered, if any.
    std::optional<Frame> ReleaseHeld(const std::string& command, const Parts& reply);
    bool Reply(ConnId conn, const Parts& parts) { return SendRaw(conn, Serialize(parts)); }
    bool SendRaw(ConnId conn, const std::string& bytes);

    // The next frame with this command word that no earlier WaitForFrame for it returned.
    std::optional<Frame> WaitForFrame(const std::string& command, std::chrono::milliseconds timeout);
    // True once count frames with this command word have arrived in all.
    bool WaitForFrameCount(const std::string& command, size_t count, std::chrono::milliseconds timeout);
    std::vector<Frame> FramesOf(const std::string& command) {
        return Locked([&] { return scripts[command].frames; });
    }
    bool IsOpen(ConnId conn) {
        return Locked([&] { return open.count(conn) != 0; });
    }

private:
    struct Script {  // all about one command word
        std::vector<Frame> frames;
        size_t waited = 0;  // of frames, by WaitForFrame
        std::deque<Parts> queued;
        size_t holds = 0;
        std::deque<Frame> held;
    };

    template <class F>
    auto Locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }
    void Accept(int listener);
    void Read(ConnId id, int fd);
    void Handle(Frame frame);

    const std::string path;
    std::mutex mutex, writeMutex;
    std::condition_variable changed;
    int listenFd = -1;
    std::thread acceptor;
    std::vector<std::thread> readers;
    std::vector<int> fds;        // every connection since Start()
    std::map<ConnId, int> open;  // connections whose peer has not gone
    ConnId lastId = 0;
    std::map<std::string, Script> scripts;
};

}  // namespace testsupport
