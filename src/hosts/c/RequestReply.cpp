#include "hosts/c/RequestReply.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/Log.h"
#include "proto/GatewayPath.h"

namespace {

std::mutex& ReplyMutex() {
    static std::mutex replyMutex;
    return replyMutex;
}

std::atomic<RequestReply*> instance{nullptr};

}  // namespace

RequestReply* RequestReply::getInstance() {
    RequestReply* existing = instance.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return existing;
    }
    std::lock_guard<std::mutex> lock(ReplyMutex());
    existing = instance.load(std::memory_order_relaxed);
    if (existing == nullptr) {
        existing = new RequestReply();
        instance.store(existing, std::memory_order_release);
    }
    return existing;
}

int32_t RequestReply::Init() {
    std::lock_guard<std::mutex> lock(ReplyMutex());
    return client.Connect(GetGatewayPath(), PeerTrust::Gateway);
}

int32_t RequestReply::ConnectToGW() {
    // The dispatcher asks this for every request: an up connection is seen without queueing
    // behind the handlers' sends (the flag is atomic).
    if (client.IsConnected()) {
        return 0;
    }
    // Connecting is under the reply mutex: a connect on the dispatcher thread must not swap the
    // socket under a handler that is sending or resending on it.
    std::lock_guard<std::mutex> lock(ReplyMutex());
    if (client.IsConnected()) {
        return 0;
    }
    int32_t rc = client.Connect(GetGatewayPath(), PeerTrust::Gateway);
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "connectGateway fail");
        return rc;
    }
    return 0;
}

int32_t RequestReply::ReturnToGW(const std::string& msg) {
    // Held until the reply (and its one resend) is out, so replies never interleave.
    std::lock_guard<std::mutex> lock(ReplyMutex());
    int32_t rc = client.SendTo(msg);
    if (rc == EPIPE) {
        LOG_INFO(std::string("sendTo fails, retry:") + strerror(EPIPE));
        rc = ReSend(msg);
    } else if (rc != 0) {
        LOG_ERROR_CODE(rc, "UDSClient::sendTo fails");
    }
    return rc;
}

int32_t RequestReply::ReSend(const std::string& msg) {
    int32_t rc = client.Reconnect(GetGatewayPath(), PeerTrust::Gateway);
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "reconnect fails");
        return rc;
    }
    rc = client.SendTo(msg);
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "UDSClient::sendTo fails again");
        return rc;
    }
    return 0;
}
