#include "worker/ModuleMgtBase.h"

#include <ctime>

#include "base/Log.h"

int32_t ModuleMgtBase::AddModule(const ModulePojo& module) {
    const std::string text = module.GetName() + ":" + module.GetVersion();
    LOG_INFO("[ModuleMgtBase::AddModule]: begin " + text);
    std::lock_guard<std::mutex> lock(mapMutex);
    ModuleKey key = module.Key();
    if (moduleMap.find(key) != moduleMap.end()) {
        return 0;
    }
    ModuleHandler handler;
    handler.lastUseTime = time(nullptr);
    handler.status = ModuleHandler::STATUS_REGISTERED;
    handler.module = module;
    moduleMap.emplace(std::move(key), std::move(handler));
    LOG_INFO("[ModuleMgtBase::AddModule]: end " + text);
    return 0;
}

void ModuleMgtBase::SetModuleStatus(const ModulePojo& module, int32_t status) {
    std::lock_guard<std::mutex> lock(mapMutex);
    auto it = moduleMap.find(module.Key());
    if (it != moduleMap.end()) {
        it->second.status = status;
    }
}

void ModuleMgtBase::ClearModules() {
    std::lock_guard<std::mutex> lock(mapMutex);
    moduleMap.clear();
}

bool ModuleMgtBase::FindModule(const ModuleKey& key, ModuleHandler& out) {
    std::lock_guard<std::mutex> lock(mapMutex);
    auto it = moduleMap.find(key);
    if (it == moduleMap.end()) {
        return false;
    }
    out = it->second;
    return true;
}

size_t ModuleMgtBase::ModuleCount() {
    std::lock_guard<std::mutex> lock(mapMutex);
    return moduleMap.size();
}
