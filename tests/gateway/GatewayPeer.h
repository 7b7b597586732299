// Vessel's side of the gateway socket, as the gateway tests script it: one connection that sends
// frames and reads the next frame back, and what a worker makes of a "message".
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "hosts/c/RequestPojo.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Parts = std::vector<std::string>;

inline const std::string ME = "calc||1.0||4242";

// One connection of Vessel's side: frames out, and back the next frame whole, read as Vessel's
// client reads it (one at a time: what follows a frame is dropped).
struct Peer {
    int fd = -1;
    ~Peer() { Close(); }
    bool Connect(const std::string& path) { return Close(), (fd = testsupport::ConnectUnix(path)) >= 0; }
    void Close() {
        if (fd >= 0) close(std::exchange(fd, -1));
    }
    bool Send(const Parts& parts) { return testsupport::SendAll(fd, Serialize(parts)); }
    Parts Receive(std::chrono::milliseconds timeout = 5s) {  // empty when none came whole in time
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        RespStreamParser reader(RespStreamParser::Mode::ANY);
        for (std::string got; testsupport::ReadSome(fd, got, deadline) > 0; got.clear()) {
            size_t used = 0;
            auto result = reader.FeedBuffer(got.data(), got.size(), used);
            if (result != RespStreamParser::Result::NEED_MORE)
                return result == RespStreamParser::Result::COMPLETE ? reader.TakeValues() : Parts{};
        }
        return {};
    }
    Parts Take() { return Send({"pullreq", ME}) ? Receive() : Parts{}; }  // the message one pull gets
    bool Silent(std::chrono::milliseconds window) {                       // a held pull stays held
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(window.count())) == 0;
    }
};

inline RequestPojo Req(const Parts& message) {  // what a worker reads of a "message"
    RequestPojo pojo;
    std::string err;
    if (message.size() == 4 && message[0] == "message") pojo.ParseGatewayRequest(message[3], err);
    return pojo;
}
inline bool Answer(Peer& replier, const Parts& message, const std::string& body,
                   const std::string& status = "200") {
    return message.size() == 4 && replier.Send({"responsereq", ME, message[2], status, body, ""});
}
