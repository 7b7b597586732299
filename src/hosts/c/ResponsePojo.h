// The answer to one request, as it goes back to the gateway in a "responsereq" message.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class ResponsePojo {
public:
    ResponsePojo() = default;
    virtual ~ResponsePojo() = default;
    ResponsePojo(const ResponsePojo&) = default;
    ResponsePojo& operator=(const ResponsePojo&) = default;

    std::string moduleName;
    std::string version;
    std::string requestId;
    uint32_t statusCode = 200;
    std::string body;
    std::string reserved;  // always empty, still sent as its own element
};

// "responsereq", client id (name||version||this pid), request id, status, body, reserved.
std::vector<std::string> BuildResponseReq(const ResponsePojo& response);
// The same with the client id of process pid.
std::vector<std::string> BuildResponseReq(const ResponsePojo& response, pid_t pid);
