// The master's pulls from the gateway: connecting its poller clients, sending a pull and reading
// the one reply, and turning replies into module descriptions or a module key. Stateless: each
// poller passes its own client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/ModuleKey.h"
#include "model/ModulePojo.h"
#include "net/UDSClient.h"

namespace AppConfigLoader {

int32_t connectGateway(UDSClient& client);
int32_t ReconnectGW(UDSClient& client);
int32_t CloseGW(UDSClient& client);
// Sends command "container" and reads the reply's values into values.
int32_t getAppConfig(UDSClient& client, const std::string& command, std::vector<std::string>& values);
std::vector<ModulePojo> parseAppCfgCmd(const std::vector<std::string>& values);
ModuleKey ParseModuleNeedLoad(const std::vector<std::string>& values);
std::vector<ModulePojo> getModuleFromStr(const std::string& text);

}  // namespace AppConfigLoader
