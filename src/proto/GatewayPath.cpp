#include "proto/GatewayPath.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string AppNameSuffix() {
    const char* app = getenv("APP_NAME");
    if (app == nullptr) {
        return "";
    }
    std::string suffix = "-";
    for (const char* c = app; *c != '\0'; ++c) {
        suffix += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return suffix;
}

}  // namespace

std::string GetGatewayPath() {
    return "/tmp/udsgateway" + AppNameSuffix();
}

std::string GetMasterChannelPath() {
    return "/tmp/uds-vessel-inner" + AppNameSuffix();
}
