#include "support/HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "support/TestSupport.h"

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

HttpTestClient::~HttpTestClient() {
    Close();
}

bool HttpTestClient::Connect(int port) {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
}

bool HttpTestClient::Send(const std::string& raw) {
    return testsupport::SendAll(fd_, raw);
}

bool HttpTestClient::SendRequest(const std::string& method, const std::string& target,
                                 const std::string& body, const std::string& extraHeaders) {
    std::string raw = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders;
    if (!body.empty() || method == "POST") raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    raw += "\r\n" + body;
    return Send(raw);
}

HttpTestResponse HttpTestClient::Read(std::chrono::milliseconds timeout) {
    HttpTestResponse response;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto fill = [&] { return testsupport::ReadSome(fd_, pending_, deadline) > 0; };
    size_t headerEnd;
    while ((headerEnd = pending_.find("\r\n\r\n")) == std::string::npos)
        if (!fill()) return response;
    std::string head = pending_.substr(0, headerEnd);
    size_t lineEnd = head.find("\r\n");
    std::string statusLine = head.substr(0, lineEnd);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t next = head.find("\r\n", pos);
        if (next == std::string::npos) next = head.size();
        std::string line = head.substr(pos, next - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            response.headers[Lower(line.substr(0, colon))] = value;
        }
        pos = next + 2;
    }
    size_t length =
        response.headers.count("content-length") ? std::stoul(response.headers["content-length"]) : 0;
    while (pending_.size() < headerEnd + 4 + length)
        if (!fill()) return response;
    response.body = pending_.substr(headerEnd + 4, length);
    pending_.erase(0, headerEnd + 4 + length);
    if (statusLine.size() >= 12) response.status = std::stoi(statusLine.substr(9, 3));
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
