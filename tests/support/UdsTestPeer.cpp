#include "support/UdsTestPeer.h"

#include <poll.h>
#include <unistd.h>

#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"
#include "support/TestSupport.h"

UdsTestPeer::~UdsTestPeer() {
    Close();
}

bool UdsTestPeer::Connect(const std::string& path) {
    Close();
    fd_ = testsupport::ConnectUnix(path);
    return fd_ >= 0;
}

bool UdsTestPeer::Send(const std::vector<std::string>& parts) {
    return SendRaw(Serialize(parts));
}

bool UdsTestPeer::SendRaw(const std::string& bytes) {
    return testsupport::SendAll(fd_, bytes);
}

bool UdsTestPeer::Receive(std::vector<std::string>& parts, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Whatever is pending is read afresh each time: it begins at a frame's start.
        RespStreamParser reader(RespStreamParser::Mode::ANY);
        size_t used = 0;
        RespStreamParser::Result result = reader.FeedBuffer(pending_.data(), pending_.size(), used);
        if (result == RespStreamParser::Result::COMPLETE) {
            pending_.erase(0, used);
            parts = reader.TakeValues();
            return true;
        }
        if (result == RespStreamParser::Result::BAD || testsupport::ReadSome(fd_, pending_, deadline) <= 0)
            return false;
    }
}

bool UdsTestPeer::HasData(std::chrono::milliseconds timeout) {
    struct pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

bool UdsTestPeer::Silent(std::chrono::milliseconds window) {
    return pending_.empty() && !HasData(window);
}

bool UdsTestPeer::ClosedByGateway(std::chrono::milliseconds timeout) {
    return testsupport::WaitClosed(fd_, timeout);
}

void UdsTestPeer::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}
