#include "master/ModuleMgt.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>

#include "common/CommonUtil.h"
#include "common/IIOHandler.h"
#include "common/Log.h"
#include "common/ProcessFlags.h"
#include "common/PropertyLoader.h"
#include "gateway/AppConfigLoader.h"
#include "gateway/IModuleNeedLoadMgt.h"
#include "master/IProcessMgt.h"
#include "master/WarrenProcess.h"
#include "worker/PipeCmdPojo.h"
#include "worker/WorkerProcessCycle.h"

namespace {

bool SameModule(const ModulePojo& a, const ModulePojo& b) {
    return a.GetName() == b.GetName() && a.GetVersion() == b.GetVersion() && a.GetLocation() == b.GetLocation() &&
           a.GetType() == b.GetType() && a.GetVmArgs() == b.GetVmArgs();
}

std::string NameVer(const ModulePojo& m) { return m.GetName() + ":" + m.GetVersion(); }

}  // namespace

ModuleMgt::ModuleMgt() = default;

int ModuleMgt::SpawnWorker() {
    if (spawn) return spawn();
    return warrenSpawnProcess(warrenWorkerProcessCycle, nullptr, "warren worker ");
}

int ModuleMgt::SendUnlock(int pid, const std::string& line) {
    if (ioHandler == nullptr) return -1;
    return ioHandler->DoSyncWrite(std::to_string(pid), line);
}

int ModuleMgt::GetModuleFrmGateway() {
    bool changesOnly = false;
    int emptyCount = 0;
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
            changesOnly = false;
            continue;
        }
        LOG_INFO(std::string("getAppConfig, appCfg:") + (changesOnly ? "1" : "0"));
        std::vector<std::string> values;
        ret = AppConfigLoader::getAppConfig(gatewayClient, changesOnly ? "pullappcfgchg" : "pullappcfg", values);
        if (ret != 0 || values.empty()) {
            AppConfigLoader::ReconnectGW(gatewayClient);
            SleepSec(RETRY_SECONDS);
            changesOnly = false;
            continue;
        }
        std::vector<ModulePojo> modules = AppConfigLoader::parseAppCfgCmd(values);
        if (!changesOnly && modules.empty()) {
            LOG_INFO("getAppConfig empty " + std::to_string(emptyCount));
            SleepSec(RETRY_SECONDS);
            ++emptyCount;
            continue;
        }
        for (const auto& m : modules) {
            LOG_INFO("save:" + NameVer(m));
            SaveModule(m);
            UpdateModule(m);
        }
        ClearNonExistProcesses();
        changesOnly = true;
    }
}

void ModuleMgt::SaveModule(const ModulePojo& module) {
    std::lock_guard<std::mutex> lock(mutex);
    appConfig[module.Key()] = module;
}

int ModuleMgt::UpdateModule(const ModulePojo& configured) {
    enum class Outcome { None, Changed, Same };
    std::lock_guard<std::mutex> lock(mutex);
    Outcome outcome = Outcome::None;
    int pid = 0;
    ModulePojo placed;
    for (const auto& worker : processModules) {
        for (const auto& m : worker.second) {
            if (m.GetName() != configured.GetName()) continue;
            pid = worker.first;
            placed = m;
            bool changed = m.GetVersion() != configured.GetVersion() || m.GetVmArgs() != configured.GetVmArgs();
            outcome = changed ? Outcome::Changed : Outcome::Same;
            break;
        }
    }
    switch (outcome) {
        case Outcome::None:
            if (needLoad != nullptr && needLoad->IsNeedLoad(configured.Key())) {
                if (AddModuleUnlock(configured) == -1) {
                    LOG_INFO("addModule fail, module,version:" + NameVer(configured));
                }
            } else {
                LOG_INFO("not need load module,version:" + NameVer(configured));
            }
            break;
        case Outcome::Changed:
            if (pid > 0) {
                if (DeleteModuleUnlock(&pid, placed) == -1) {
                    LOG_INFO("deleteModule fail, module, version:" + NameVer(placed));
                }
            } else {
                LOG_INFO("deleteModule pid <= 0, module, version:" + NameVer(placed));
            }
            break;
        case Outcome::Same:
            if (ModifyModuleUnlock(&pid, placed) == -1) {
                LOG_INFO("modifyModule fail, module, version:" + NameVer(placed));
            }
            break;
    }
    return 0;
}

int ModuleMgt::CheckAndAddModule(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& worker : processModules) {
        for (const auto& m : worker.second) {
            if (m.Key() == key && m.GetStatus() != ModulePojo::STATUS_AGEING) return 0;
        }
    }
    auto it = appConfig.find(key);
    if (it == appConfig.end()) return 0;
    if (AddModuleUnlock(it->second) == -1) {
        LOG_INFO("addModule fail, module, version:" + key.ToString());
    }
    return 0;
}

int ModuleMgt::FindProcessOfLeastModuleUnlock(const std::string& type) {
    if (type == "C_SERVICE") return -1;
    int best = -1;
    uint64_t bestCount = 2147483647;
    for (const auto& worker : processModules) {
        const auto& list = worker.second;
        bool ageing = std::any_of(list.begin(), list.end(),
                                  [](const ModulePojo& m) { return m.GetStatus() == ModulePojo::STATUS_AGEING; });
        if (ageing) {
            LOG_INFO("subprocess exist ageing module, " + std::to_string(worker.first));
            continue;
        }
        bool otherType =
            std::any_of(list.begin(), list.end(), [&](const ModulePojo& m) { return m.GetType() != type; });
        if (otherType) continue;
        if (list.size() < bestCount) {
            best = worker.first;
            bestCount = list.size();
        }
    }
    // A negative limit, widened with its sign and compared unsigned, means no limit.
    uint64_t limit = static_cast<uint64_t>(static_cast<int64_t>(getProperty("maxModulePerSubprocess")));
    if (best != -1 && bestCount < limit) return best;
    return -1;
}

int ModuleMgt::AddModuleUnlock(const ModulePojo& module) {
    LOG_INFO("addModule name, ver:" + NameVer(module));
    int pid = FindProcessOfLeastModuleUnlock(module.GetType());
    if (pid == -1) {
        int newPid = SpawnWorker();
        if (newPid == -1) return -1;
        if (processMgt != nullptr) processMgt->AddPendingModules(newPid, {module});
        processModules[newPid].push_back(module);
        return newPid;
    }
    int ret = SendUnlock(pid, PipeCmdPojo::BuildAddModule(module));
    if (ret == 0) {
        processModules[pid].push_back(module);
        return 0;
    }
    LOG_INFO("sync send addModuleCmd fail," + std::to_string(pid) + ", " + module.GetVersion());
    return ret;
}

int ModuleMgt::DeleteModuleUnlock(const int* pid, const ModulePojo& module) {
    LOG_INFO("deleteModule pid:" + std::to_string(*pid) + "name, ver:" + NameVer(module));
    if (module.GetStatus() == ModulePojo::STATUS_AGEING) {
        LOG_INFO("module ageing, pid:" + std::to_string(*pid) + " module:" + module.GetName());
        return 0;
    }
    if (SendUnlock(*pid, PipeCmdPojo::BuildDeleteModule(module)) != 0) {
        LOG_INFO("deleteModule fail, pid:" + std::to_string(*pid) + " module:" + module.GetName());
        return -1;
    }
    auto it = processModules.find(*pid);
    if (it != processModules.end()) {
        auto& list = it->second;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const ModulePojo& m) { return SameModule(m, module); }),
                   list.end());
    }
    return 0;
}

int ModuleMgt::ModifyModuleUnlock(const int* pid, const ModulePojo& module) {
    LOG_INFO("modifyModule name, ver:" + NameVer(module));
    if (module.GetStatus() == ModulePojo::STATUS_AGEING) {
        LOG_INFO("module ageing, pid:" + std::to_string(*pid) + " module:" + module.GetName());
        return 0;
    }
    if (SendUnlock(*pid, PipeCmdPojo::BuildModifyModule(module)) != 0) {
        LOG_INFO("modifyModule fail, pid:" + std::to_string(*pid) + " module:" + module.GetName());
        return -1;
    }
    return 0;
}

int ModuleMgt::UnloadModule(const int* pid, const std::string& nameAndVersion) {
    std::vector<std::string> fields;
    Split(nameAndVersion, fields, '|');
    if (fields.size() < 2) {
        LOG_INFO("UnloadModule parse fail, " + nameAndVersion);
        return -1;
    }
    ModuleKey key(fields[0], fields[1]);
    std::lock_guard<std::mutex> lock(mutex);
    auto it = processModules.find(*pid);
    if (it != processModules.end()) {
        auto& list = it->second;
        auto m = std::find_if(list.begin(), list.end(), [&](const ModulePojo& p) { return p.Key() == key; });
        if (m != list.end()) list.erase(m);
    }
    if (needLoad != nullptr) needLoad->RemoveNeedLoad(key);
    return 0;
}

void ModuleMgt::ClearNonExistProcesses() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = processModules.begin(); it != processModules.end();) {
        if (kill(it->first, 0) == 0) {
            ++it;
            continue;
        }
        LOG_INFO("process not exist: " + std::to_string(it->first));
        // Its connection and any commands still queued for it go with it.
        if (processMgt != nullptr) processMgt->RemoveSubprocess(std::to_string(it->first));
        it = processModules.erase(it);
    }
}

std::vector<ModuleKey> ModuleMgt::GetLoadedModules() {
    std::vector<ModuleKey> keys;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& worker : processModules) {
        for (const auto& m : worker.second) keys.push_back(m.Key());
    }
    return keys;
}

void ModuleMgt::CheckModuleAgeing(int idleSeconds) {
    if (idleSeconds < 0 || needLoad == nullptr) return;
    std::vector<ModuleKey> idle = needLoad->GetIdleModules(idleSeconds);
    if (idle.empty()) return;
    LOG_INFO("module ageing " + std::to_string(idle.size()));
    std::set<ModuleKey> idleSet(idle.begin(), idle.end());
    std::map<int, std::vector<ModulePojo>> ageing;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& worker : processModules) {
            for (auto& m : worker.second) {
                if (idleSet.count(m.Key()) == 0) continue;
                m.SetStatus(ModulePojo::STATUS_AGEING);
                ageing[worker.first].push_back(m);
            }
        }
    }
    if (processMgt != nullptr) processMgt->SendAgeingToSubprocess(ageing);
    SleepMs(AGEING_PAUSE_MS);
    for (const auto& worker : ageing) {
        int pid = worker.first;
        setProcessExiting(&pid);
        SpawnByOldProcess(&pid);
    }
}

int ModuleMgt::SpawnByOldProcess(const int* pid) {
    std::lock_guard<std::mutex> lock(mutex);
    if (processMgt != nullptr) processMgt->RemoveSubprocess(std::to_string(*pid));
    auto it = processModules.find(*pid);
    if (it == processModules.end()) {
        LOG_INFO("not find process," + std::to_string(*pid));
        return 0;
    }
    std::vector<ModulePojo> remaining;
    for (const auto& m : it->second) {
        if (m.GetStatus() != ModulePojo::STATUS_AGEING) remaining.push_back(m);
    }
    it->second = remaining;
    if (remaining.empty()) {
        processModules.erase(it);
        LOG_INFO("not need spawn new process, " + std::to_string(*pid));
        return 0;
    }
    int newPid = SpawnWorker();
    if (newPid == -1) return -1;
    processModules.erase(*pid);
    processModules[newPid] = remaining;
    if (processMgt != nullptr) processMgt->AddPendingModules(newPid, remaining);
    return 0;
}

std::map<int, std::vector<ModulePojo>> ModuleMgt::Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return processModules;
}
