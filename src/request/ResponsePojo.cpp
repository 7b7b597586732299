#include "request/ResponsePojo.h"

#include <unistd.h>

#include "gateway/GatewayProtocol.h"

std::vector<std::string> BuildResponseReq(const ResponsePojo& response) {
    return BuildResponseReq(response, getpid());
}

std::vector<std::string> BuildResponseReq(const ResponsePojo& response, pid_t pid) {
    std::vector<std::string> parts =
        BuildResponseReqParts(ClientId(response.moduleName, response.version, pid), response.requestId,
                              response.statusCode, response.body);
    parts.back() = response.reserved;
    return parts;
}
