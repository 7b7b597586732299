// One request for a C module on its way through a worker: filled by the request receiver from
// the gateway's message, copied between the dispatcher and the handlers, rendered as JSON for
// the module.
#pragma once

#include <map>
#include <string>

class RequestPojo {
public:
    RequestPojo() = default;
    virtual ~RequestPojo() = default;
    RequestPojo(const RequestPojo&) = default;
    RequestPojo& operator=(const RequestPojo&) = default;
    RequestPojo(RequestPojo&&) = default;
    RequestPojo& operator=(RequestPojo&&) = default;

    // Fills reqUrl, method, reqBody, reqQuery and header from the gateway's request JSON text.
    // False when it is not JSON or misses a required member; err gets the reader's error text.
    bool ParseGatewayRequest(const std::string& text, std::string& err);

    // The JSON text the module's taskEntry receives. False when the query keys cannot form a
    // tree (empty key or part, a key that is a prefix path of another); out is then untouched.
    bool toJson(std::string& out) const;
    // The key check of toJson alone, without rendering anything: whether the query keys form a tree.
    bool QueryKeysTreeable() const;

    std::string reqUrl;
    std::map<std::string, std::string> reqQuery;
    std::string reqBody;
    std::map<std::string, std::string> header;
    std::string method;
    std::string requestId;
    std::string moduleName;
    std::string version;
    std::string requestStr;
};
