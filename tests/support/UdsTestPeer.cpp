#include "support/UdsTestPeer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "proto/GatewayProtocol.h"
#include "proto/RespFrame.h"

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

UdsTestPeer::~UdsTestPeer() { Close(); }

bool UdsTestPeer::Connect(const std::string& path) {
    Close();
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    return fd_ >= 0 && connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
}

bool UdsTestPeer::Send(const std::vector<std::string>& parts) { return SendRaw(Serialize(parts)); }

bool UdsTestPeer::SendRaw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool UdsTestPeer::Receive(std::vector<std::string>& parts, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<std::string> found;
        RespFrameResult frame = CheckRespFrame(pending_, &found);
        if (frame.status == RespFrameStatus::COMPLETE) {
            pending_.erase(0, frame.length);
            parts = std::move(found);
            return true;
        }
        if (frame.status == RespFrameStatus::BAD) {
            return false;
        }
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0) {
            return false;
        }
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) {
            return false;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

bool UdsTestPeer::HasData(std::chrono::milliseconds timeout) {
    struct pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

bool UdsTestPeer::Silent(std::chrono::milliseconds window) {
    struct pollfd p = {fd_, POLLIN, 0};
    return pending_.empty() && poll(&p, 1, static_cast<int>(window.count())) == 0;
}

bool UdsTestPeer::ClosedByGateway(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return true;
        }
        if (n < 0) {
            return false;
        }
    }
}

void UdsTestPeer::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    pending_.clear();
}
