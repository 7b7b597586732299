#include "proto/GatewayProtocol.h"

#include <unistd.h>

namespace {

const char* const KEY_SEPARATOR = "||";

}  // namespace

std::string Serialize(const std::vector<std::string>& parts) {
    size_t total = 16;
    for (const auto& part : parts) {
        total += part.size() + 24;
    }
    std::string text;
    text.reserve(total);
    text += "*" + std::to_string(parts.size()) + "\r\n";
    for (const auto& part : parts) {
        text += "$" + std::to_string(part.size()) + "\r\n";
        text += part;
        text += "\r\n";
    }
    return text;
}

std::string ModuleKeyToString(const ModuleKey& key) {
    return key.GetName() + KEY_SEPARATOR + key.GetVersion();
}

std::string ClientId(const std::string& name, const std::string& version, pid_t pid) {
    return name + KEY_SEPARATOR + version + KEY_SEPARATOR + std::to_string(pid);
}

ModuleKey SplitModuleKey(const std::string& keyText) {
    size_t pos = keyText.find(KEY_SEPARATOR);
    if (pos == std::string::npos) {
        return ModuleKey();
    }
    return ModuleKey(keyText.substr(0, pos), keyText.substr(pos + 2));
}

std::vector<std::string> BuildPullReq(const ModuleKey& key) {
    return BuildPullReq(key, getpid());
}

std::vector<std::string> BuildPullReq(const ModuleKey& key, pid_t pid) {
    return {"pullreq", ClientId(key.GetName(), key.GetVersion(), pid)};
}

std::vector<std::string> BuildResponseReqParts(const std::string& clientId, const std::string& requestId,
                                               uint32_t status, const std::string& body) {
    return {"responsereq", clientId, requestId, std::to_string(status), body, ""};
}
