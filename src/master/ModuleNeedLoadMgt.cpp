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
    Demand demand{now, ++demandCount};
    auto it = needLoadModuleMap.find(key);
    if (it != needLoadModuleMap.end()) {
        it->second = demand;
        return false;
    }
    needLoadModuleMap.emplace(key, demand);
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
        if (entry.second.at + idleSeconds < now) idle.push_back(entry.first);
    }
    return idle;
}

void ModuleNeedLoadMgt::ClearNonExistModule() {
    // A demand recorded after this point may have been placed after placement was read: only
    // older ones are forgotten, or a module placed meanwhile would have no demand to age by.
    uint64_t before = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        before = demandCount;
    }
    std::vector<ModuleKey> loaded;
    if (placement != nullptr) loaded = placement->GetLoadedModules();
    std::sort(loaded.begin(), loaded.end());
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = needLoadModuleMap.begin(); it != needLoadModuleMap.end();) {
        if (it->second.seq > before || std::binary_search(loaded.begin(), loaded.end(), it->first)) {
            ++it;
            continue;
        }
        LOG_INFO("found NonExist module in needLoadModuleMap:" + it->first.ToString());
        it = needLoadModuleMap.erase(it);
    }
}

std::map<ModuleKey, time_t> ModuleNeedLoadMgt::GetDemandTimes() {
    std::map<ModuleKey, time_t> times;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : needLoadModuleMap) times.emplace_hint(times.end(), entry.first, entry.second.at);
    return times;
}
