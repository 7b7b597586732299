#include "support/HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "support/TestSupport.h"

bool HttpTestClient::Connect(int port, int receiveBuffer) {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

bool HttpTestClient::Send(const std::string& raw) {
    return testsupport::SendAll(fd_, raw);
}

bool HttpTestClient::SendRequest(const std::string& method, const std::string& target,
                                 const std::string& body) {
    std::string raw = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty() || method == "POST") raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return Send(raw + "\r\n" + body);
}

HttpTestResponse HttpTestClient::Read(std::chrono::milliseconds timeout) {
    HttpTestResponse response;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto fill = [&] { return testsupport::ReadSome(fd_, pending_, deadline) > 0; };
    size_t headEnd;
    while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos)
        if (!fill()) return response;
    // Header lines after the status line; names lower-cased.
    for (size_t pos = pending_.find("\r\n") + 2; pos < headEnd + 2;) {
        const size_t next = pending_.find("\r\n", pos);
        std::string line = pending_.substr(pos, next - pos);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            response.headers[name] =
                line.substr(std::min(line.find_first_not_of(' ', colon + 1), line.size()));
        }
        pos = next + 2;
    }
    const size_t length =
        response.headers.count("content-length") ? std::stoul(response.headers["content-length"]) : 0;
    while (pending_.size() < headEnd + 4 + length)
        if (!fill()) return response;
    response.body = pending_.substr(headEnd + 4, length);
    if (headEnd >= 12) response.status = std::stoi(pending_.substr(9, 3));
    pending_.erase(0, headEnd + 4 + length);
    return response;
}

bool HttpTestClient::ClosedByServer(std::chrono::milliseconds timeout) {
    return testsupport::WaitClosed(fd_, timeout);
}

void HttpTestClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}

HttpTestResponse HttpTestClient::Get(int port, const std::string& target, std::chrono::milliseconds timeout) {
    HttpTestClient client;
    if (!client.Connect(port) || !client.SendRequest("GET", target)) return HttpTestResponse();
    return client.Read(timeout);
}
