#include "hosts/c/RequestHandler.h"

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "base/Log.h"
#include "base/TimeGuard.h"
#include "hosts/c/CModuleMgt.h"
#include "hosts/c/RequestReply.h"
#include "model/ModuleHandler.h"
#include "model/ModuleKey.h"
#include "proto/GatewayProtocol.h"

void RequestHandler::run(const RequestPojo& request) {
    LOG_INFO("RequestHandler " + request.moduleName + ":" + request.version);
    try {
        ResponsePojo response;
        execFunc(request, response);
        int32_t rc = RequestReply::getInstance()->ReturnToGW(Serialize(BuildResponseReq(response)));
        if (rc != 0) {
            LOG_ERROR_CODE(rc, "ReturnToGW fails.");
        }
    } catch (const std::exception& e) {
        // A pool thread must survive whatever one request runs into (memory exhaustion above all).
        LOG_INFO("request failed, " + request.moduleName + ":" + request.version + "," + e.what());
    }
}

void RequestHandler::execFunc(const RequestPojo& request, ResponsePojo& response) {
    TimeGuard guard("RequestHandler::execFunc");
    ModuleKey key(request.moduleName, request.version);
    uint32_t statusCode = 200;
    std::string body;

    CModuleMgt* mgt = CModuleMgt::getInstance();
    ModuleHandler handler;
    if (mgt->GetModuleHandler(key, handler) != 0) {
        statusCode = 500;
        body = "can't find RequestFP";
    } else {
        // A module that is not running, or a request whose JSON cannot be built, comes back as
        // 500 with the body left empty.
        (void)mgt->ExecFunc(handler, request, statusCode, body);
        mgt->DecreRef(key);
    }

    response.moduleName = request.moduleName;
    response.version = request.version;
    response.requestId = request.requestId;
    response.statusCode = statusCode;
    response.body = std::move(body);
    response.reserved.clear();
}

void RequestHandler::Drop(const RequestPojo& request) {
    LOG_INFO("drop request, gateway unreachable, " + request.moduleName + ":" + request.version);
    CModuleMgt::getInstance()->DecreRef(ModuleKey(request.moduleName, request.version));
}
