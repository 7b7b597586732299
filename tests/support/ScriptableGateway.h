// A gateway for tests: listens on a Unix socket, records every request frame of every connection
// and answers as the test scripts it (canned or standing replies, held requests answered later,
// raw bytes), and can go away and come back on the same path.
//
// Locking: `mutex` guards the listener state, the connection table, the records and the scripts.
// Each connection's write mutex guards its descriptor for writing and closing. Writers look a
// connection up under `mutex`, let go of it and then take the write mutex, never both at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptableGateway {
public:
    using ConnId = int;  // 1, 2, ... in accept order, never reused, also across Restart()
    using Parts = std::vector<std::string>;

    struct Frame {
        ConnId conn = 0;
        Parts parts;      // its elements, empty ones kept
        std::string raw;  // its bytes as received
        std::string Command() const { return parts.empty() ? std::string() : parts[0]; }
    };

    // Bytes a connection sent that are no frame; the connection is closed after them.
    struct BadInput {
        ConnId conn = 0;
        std::string error;
    };

    explicit ScriptableGateway(std::string path);
    // Where Vessel looks for the gateway when APP_NAME is appName: "/tmp/udsgateway-" and the
    // name in lower case.
    static std::string PathForApp(const std::string& appName);
    ~ScriptableGateway();
    ScriptableGateway(const ScriptableGateway&) = delete;
    ScriptableGateway& operator=(const ScriptableGateway&) = delete;

    // Listens on the path (a stale socket file there is replaced). 0 or an errno value.
    int Start();
    // Closes every connection and the listener and removes the socket file. Records and scripts
    // stay. Safe to call twice.
    void Stop();
    // Stop, then Start on the same path: what clients see when the gateway restarts.
    int Restart();

    // How a request is answered, first match wins: a pending hold for its command word, then the
    // oldest queued reply for it, then its standing reply. Otherwise it stays unanswered.
    void QueueReply(const std::string& command, const Parts& reply);
    void AlwaysReply(const std::string& command, const Parts& reply);
    // The next count requests with this command word get no answer until the test gives one.
    void HoldNext(const std::string& command, size_t count = 1);
    // Answers the oldest held request with this command word; the frame it answered, if any.
    std::optional<Frame> ReleaseHeld(const std::string& command, const Parts& reply);
    bool Reply(ConnId conn, const Parts& parts);
    bool SendRaw(ConnId conn, const std::string& bytes);

    // The next frame with this command word that no earlier WaitForFrame for it returned.
    std::optional<Frame> WaitForFrame(const std::string& command, std::chrono::milliseconds timeout);
    // True once at least count frames with this command word have arrived in all.
    bool WaitForFrameCount(const std::string& command, size_t count, std::chrono::milliseconds timeout);

    std::vector<Frame> FramesOf(const std::string& command) const;
    std::vector<BadInput> BadInputs() const;
    std::vector<ConnId> OpenConnections() const;

private:
    struct Connection;

    void Loop();
    void ReadFrom(const std::shared_ptr<Connection>& conn);
    void HandleFrame(Frame frame);
    void CloseInLoop(const std::shared_ptr<Connection>& conn);
    bool Write(ConnId conn, const std::string& bytes);
    size_t CountOf(const std::string& command) const;  // under mutex

    const std::string path;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    int listenFd = -1;
    int wakeFd = -1;
    ConnId lastId = 0;
    std::map<ConnId, std::shared_ptr<Connection>> conns;
    std::vector<Frame> frames;
    std::vector<BadInput> badInputs;
    std::map<std::string, std::vector<Parts>> canned;
    std::map<std::string, Parts> standing;
    std::map<std::string, size_t> holds;
    std::vector<Frame> held;
    std::map<std::string, size_t> waitCursor;

    std::thread thread;
};

}  // namespace testsupport
