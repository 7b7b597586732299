// A minimal HTTP/1.1 client over one TCP connection for the gateway tests: sends raw request
// text and reads responses (the gateway always sends Content-Length) with a deadline.
#pragma once

#include <chrono>
#include <map>
#include <string>

struct HttpTestResponse {
    int status = 0;                              // 0: no (complete) response
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

class HttpTestClient {
public:
    HttpTestClient() = default;
    ~HttpTestClient() { Close(); }
    HttpTestClient(const HttpTestClient&) = delete;
    HttpTestClient& operator=(const HttpTestClient&) = delete;

    // receiveBuffer > 0: SO_RCVBUF, set before the connection is made.
    bool Connect(int port, int receiveBuffer = 0);
    bool Send(const std::string& raw);
    // "<method> <target>" with Host and, for a body or a POST, Content-Length.
    bool SendRequest(const std::string& method, const std::string& target, const std::string& body = "");
    HttpTestResponse Read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool ClosedByServer(std::chrono::milliseconds timeout);
    void Close();

    // One GET on a fresh connection.
    static HttpTestResponse Get(int port, const std::string& target,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int fd_ = -1;
    std::string pending_;
};
