#include "master/ModuleNeedLoadMgt.h"

#include <algorithm>

#include "base/CommonUtil.h"
#include "base/Log.h"
#include "base/ProcessFlags.h"
#include "master/AppConfigLoader.h"
#include "master/IModuleMgtForMaster.h"

namespace {

constexpr int64_t BAD_REPLY_PAUSE_MS = 1000;

}  // namespace

int32_t ModuleNeedLoadMgt::GetModuleNeedLoadFrmGW() {
    for (;;) {
        if (gTerminate) {
            AppConfigLoader::CloseGW(gatewayClient);
            return 0;
        }
        int ret = AppConfigLoader::connectGateway(gatewayClient);
        if (ret == -1) {
            LOG_INFO("connectGateway fail, " + std::to_string(ret));
            SleepSec(RETRY_SECONDS);
            AppConfigLoader::ReconnectGW(gatewayClient);
            continue;
        }
        LOG_INFO("get module need load");
        std::vector<std::string> values;
        ret = AppConfigLoader::getAppConfig(gatewayClient, "pullmodloadreq", values);
        if (ret != 0) {
            AppConfigLoader::ReconnectGW(gatewayClient);
            SleepSec(RETRY_SECONDS);
            continue;
        }
        ModuleKey key = AppConfigLoader::ParseModuleNeedLoad(values);
        if (key.GetName().empty()) {
            // The gateway holds a pull until a module is wanted; one that answers at once with no
            // module would have this loop spin and log without end.
            SleepMs(BAD_REPLY_PAUSE_MS);
            continue;
        }
        (void)RecordDemand(key, time(nullptr));
        // Every demand, not only the first: a module whose load failed is placed again by a later
        // one (placement paces the retries and ignores a module it has placed).
        if (placement != nullptr) placement->CheckAndAddModule(key);
    }
}

bool ModuleNeedLoadMgt::RecordDemand(const ModuleKey& key, time_t now) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = needLoadModuleMap.find(key);
    if (it != needLoadModuleMap.end()) {
        it->second = now;
        return false;
    }
    needLoadModuleMap.emplace(key, now);
    return true;
}

void ModuleNeedLoadMgt::RemoveNeedLoad(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    needLoadModuleMap.erase(key);
}

bool ModuleNeedLoadMgt::IsNeedLoad(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    return needLoadModuleMap.count(key) != 0;
}

std::vector<ModuleKey> ModuleNeedLoadMgt::GetIdleModules(int32_t idleSeconds) {
    return GetIdleModulesAt(idleSeconds, time(nullptr));
}

std::vector<ModuleKey> ModuleNeedLoadMgt::GetIdleModulesAt(int32_t idleSeconds, time_t now) {
    std::vector<ModuleKey> idle;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : needLoadModuleMap) {
        if (entry.second + idleSeconds < now) idle.push_back(entry.first);
    }
    return idle;
}

void ModuleNeedLoadMgt::ClearNonExistModule() {
    std::vector<ModuleKey> loaded;
    if (placement != nullptr) loaded = placement->GetLoadedModules();
    std::sort(loaded.begin(), loaded.end());
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = needLoadModuleMap.begin(); it != needLoadModuleMap.end();) {
        if (std::binary_search(loaded.begin(), loaded.end(), it->first)) {
            ++it;
            continue;
        }
        LOG_INFO("found NonExist module in needLoadModuleMap:" + it->first.ToString());
        it = needLoadModuleMap.erase(it);
    }
}

std::map<ModuleKey, time_t> ModuleNeedLoadMgt::GetDemandTimes() {
    std::lock_guard<std::mutex> lock(mutex);
    return needLoadModuleMap;
}
