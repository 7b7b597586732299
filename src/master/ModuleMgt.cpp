#include "master/ModuleMgt.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <memory>
#include <set>

#include "base/CatalinaBaseDir.h"
#include "base/CommonUtil.h"
#include "base/IIOHandler.h"
#include "base/Log.h"
#include "base/ProcessFlags.h"
#include "base/PropertyLoader.h"
#include "master/AppConfigLoader.h"
#include "master/IModuleNeedLoadMgt.h"
#include "master/IProcessMgt.h"
#include "master/MasterStatus.h"
#include "master/WarrenProcess.h"
#include "proto/PipeCmdPojo.h"

namespace {

bool SameModule(const ModulePojo& a, const ModulePojo& b) {
    return a.GetName() == b.GetName() && a.GetVersion() == b.GetVersion() &&
           a.GetLocation() == b.GetLocation() && a.GetType() == b.GetType() && a.GetVmArgs() == b.GetVmArgs();
}

std::string NameVer(const ModulePojo& m) {
    return m.GetName() + ":" + m.GetVersion();
}

bool IsAgeing(const ModulePojo& m) {
    return m.GetStatus() == ModulePojo::STATUS_AGEING;
}

// Whether a worker that hosted `before` may have code in memory that `module` would collide with:
// a Java VM runs one root application and cannot start another; a Go plugin cannot be unloaded;
// the dynamic loader hands back a library of the same path that is still mapped.
bool MayCollide(const ModulePojo& before, const ModulePojo& module) {
    if (module.GetType() == "TOMCAT" && before.GetType() == "TOMCAT") return true;
    if (before.GetName() != module.GetName()) return false;
    return module.GetType() != "C_MODULE" || before.GetLocation() == module.GetLocation();
}

// "name|version" of a worker's report as a key; false (logged) when it does not split in two.
bool ParseReportedKey(const std::string& what, const std::string& nameAndVersion, ModuleKey& key) {
    std::vector<std::string> fields;
    Split(nameAndVersion, fields, '|');
    if (fields.size() < 2) {
        LOG_INFO(what + " parse fail, " + nameAndVersion);
        return false;
    }
    key = ModuleKey(fields[0], fields[1]);
    return true;
}

}  // namespace

ModuleMgt::ModuleMgt() = default;

int ModuleMgt::SpawnWorker() {
    if (spawn) return spawn();
    SpawnProc cycle = warrenWorkerCycle();
    if (cycle == nullptr) {
        LOG_ERROR_CODE(EINVAL, "no worker cycle set: cannot start a worker");
        return -1;
    }
    return warrenSpawnProcess(cycle, nullptr, "warren worker ");
}

void ModuleMgt::EndWorker(int pid) {
    if (endWorker) {
        endWorker(pid);
        return;
    }
    LOG_INFO("worker hosts no module any more, ending it, pid:" + std::to_string(pid));
    setProcessExiting(&pid);
    if (processMgt != nullptr) processMgt->RemoveSubprocess(std::to_string(pid));
}

void ModuleMgt::RecordUnlock(int pid, const ModulePojo& module) {
    processModules[pid].push_back(module);
    hostedModules[pid].push_back(module);
}

bool ModuleMgt::LoadRetryPendingUnlock(const ModuleKey& key) {
    auto it = failedLoads.find(key);
    if (it == failedLoads.end()) return false;
    if (Clock::now() - it->second >= loadRetry) {
        failedLoads.erase(it);
        return false;
    }
    LOG_DEBUG("load failed recently, placed again later: " + key.ToString());
    return true;
}

void ModuleMgt::AddConfiguredUnlock(const ModulePojo& module) {
    if (LoadRetryPendingUnlock(module.Key())) return;
    if (AddModuleUnlock(module) == -1) {
        LOG_INFO("addModule fail, module,version:" + NameVer(module));
    }
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
        ret = AppConfigLoader::getAppConfig(gatewayClient, changesOnly ? "pullappcfgchg" : "pullappcfg",
                                            values);
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
        if (modules.empty()) {
            // A gateway that answers every change pull at once with nothing usable must not
            // turn this loop into a busy one.
            SleepSec(1);
        }
        std::set<std::string> names;
        for (const auto& m : modules) {
            // The gateway routes a module listed twice to its first entry; so does placement.
            if (!names.insert(m.GetName()).second) {
                LOG_INFO("module listed twice, first entry kept: " + NameVer(m));
                continue;
            }
            LOG_INFO("save:" + NameVer(m));
            // After a (re)connect the workers' gateway connections are refreshed; a change notice
            // leaves unchanged modules alone (a reconnect costs them the request in flight).
            ConfigureModule(m, !changesOnly);
        }
        ClearNonExistProcesses();
        changesOnly = true;
    }
}

void ModuleMgt::ConfigureModule(const ModulePojo& module, bool refreshUnchanged) {
    // One hold of the lock: a demand placing the module between the two would be taken for a
    // placement of an earlier connection and reconnected at once.
    ApplyModule(module, refreshUnchanged, true);
}

void ModuleMgt::ApplyModule(const ModulePojo& module, bool refreshUnchanged, bool save) {
    int retireFor = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (save) SaveModuleUnlock(module);
        UpdateModuleUnlock(module, refreshUnchanged, &retireFor);
    }
    if (retireFor != 0) RetireOtherVersionsAfterGrace(retireFor, module.Key());
}

void ModuleMgt::SaveModule(const ModulePojo& module) {
    std::lock_guard<std::mutex> lock(mutex);
    SaveModuleUnlock(module);
}

void ModuleMgt::SaveModuleUnlock(const ModulePojo& module) {
    // An earlier version of the module is no longer configured: a late demand for it must not
    // place it again.
    for (auto it = appConfig.begin(); it != appConfig.end();) {
        bool older = it->first.GetName() == module.GetName() && !(it->first == module.Key());
        it = older ? appConfig.erase(it) : std::next(it);
    }
    appConfig[module.Key()] = module;
}

int ModuleMgt::UpdateModule(const ModulePojo& configured, bool refreshUnchanged) {
    ApplyModule(configured, refreshUnchanged, false);
    return 0;
}

int ModuleMgt::UpdateModuleUnlock(const ModulePojo& configured, bool refreshUnchanged, int* retireFor) {
    int samePid = 0;
    const ModulePojo* same = nullptr;
    const ModulePojo* other = nullptr;
    for (const auto& worker : processModules) {
        for (const auto& m : worker.second) {
            if (m.GetName() != configured.GetName() || IsAgeing(m)) continue;
            if (SameModule(m, configured)) {
                samePid = worker.first;
                same = &m;
            } else {
                other = &m;
            }
        }
    }
    if (same != nullptr) {
        // Configured again while a newer version was being switched to (say 1.0 -> 2.0 -> 1.0
        // before 2.0 served): the copy that serves stays and the abandoned version goes, or it
        // would hold its worker until it ages.
        auto served = loaded.find(samePid);
        if (other != nullptr && served != loaded.end() && served->second.count(configured.Key()) != 0) {
            *retireFor = samePid;
        }
        if (!refreshUnchanged) return 0;
        ModulePojo placed = *same;
        if (ModifyModuleUnlock(&samePid, placed) == -1) {
            LOG_INFO("modifyModule fail, module, version:" + NameVer(placed));
        }
        return 0;
    }
    if (other != nullptr) {
        // A new version (or new code or launch settings): it is placed beside the old one, which
        // keeps serving until the new one reports that it serves.
        LOG_INFO("module changed, " + NameVer(*other) + " -> " + NameVer(configured));
        AddConfiguredUnlock(configured);
        return 0;
    }
    if (needLoad != nullptr && needLoad->IsNeedLoad(configured.Key())) {
        AddConfiguredUnlock(configured);
    } else {
        LOG_INFO("not need load module,version:" + NameVer(configured));
    }
    return 0;
}

int ModuleMgt::CheckAndAddModule(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = appConfig.find(key);
    if (it == appConfig.end()) return 0;
    const ModulePojo& configured = it->second;
    for (const auto& worker : processModules) {
        for (const auto& m : worker.second) {
            if (SameModule(m, configured) && !IsAgeing(m)) return 0;
        }
    }
    if (LoadRetryPendingUnlock(key)) return 0;
    if (AddModuleUnlock(configured) == -1) {
        LOG_INFO("addModule fail, module, version:" + key.ToString());
    }
    return 0;
}

int ModuleMgt::FindProcessOfLeastModuleUnlock(const ModulePojo& module) {
    const std::string& type = module.GetType();
    if (type == "C_SERVICE") return -1;
    int best = -1;
    uint64_t bestCount = 2147483647;
    for (const auto& worker : processModules) {
        const auto& list = worker.second;
        bool ageing = std::any_of(list.begin(), list.end(), [](const ModulePojo& m) {
            return m.GetStatus() == ModulePojo::STATUS_AGEING;
        });
        if (ageing) {
            LOG_INFO("subprocess exist ageing module, " + std::to_string(worker.first));
            continue;
        }
        bool otherType =
            std::any_of(list.begin(), list.end(), [&](const ModulePojo& m) { return m.GetType() != type; });
        if (otherType) continue;
        bool sameName = std::any_of(list.begin(), list.end(),
                                    [&](const ModulePojo& m) { return m.GetName() == module.GetName(); });
        const auto& hosted = hostedModules[worker.first];
        bool collides = std::any_of(hosted.begin(), hosted.end(),
                                    [&](const ModulePojo& before) { return MayCollide(before, module); });
        if (sameName || collides) continue;
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
    int pid = FindProcessOfLeastModuleUnlock(module);
    if (pid == -1) {
        int newPid = SpawnWorker();
        if (newPid == -1) return -1;
        if (processMgt != nullptr) processMgt->AddPendingModules(newPid, {module});
        RecordUnlock(newPid, module);
        return newPid;
    }
    int ret = SendUnlock(pid, PipeCmdPojo::BuildAddModule(module));
    if (ret == 0) {
        RecordUnlock(pid, module);
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
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const ModulePojo& m) { return SameModule(m, module); }),
                   list.end());
    }
    loaded[*pid].erase(module.Key());
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

bool ModuleMgt::ForgetModuleUnlock(int pid, const ModuleKey& key) {
    auto it = processModules.find(pid);
    if (it == processModules.end()) return false;
    auto& list = it->second;
    auto m = std::find_if(list.begin(), list.end(), [&](const ModulePojo& p) { return p.Key() == key; });
    if (m == list.end()) return false;
    list.erase(m);
    loaded[pid].erase(key);
    if (!list.empty()) return false;
    processModules.erase(it);
    return true;
}

int ModuleMgt::UnloadModule(const int* pid, const std::string& nameAndVersion) {
    ModuleKey key;
    if (!ParseReportedKey("UnloadModule", nameAndVersion, key)) return -1;
    bool empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto hosts = [&](const std::vector<ModulePojo>& list) {
            return std::any_of(list.begin(), list.end(), [&](const ModulePojo& m) { return m.Key() == key; });
        };
        auto own = processModules.find(*pid);
        const bool here = own != processModules.end() && hosts(own->second);
        const bool elsewhere = std::any_of(processModules.begin(), processModules.end(),
                                           [&](const auto& worker) { return hosts(worker.second); });
        if (!here && elsewhere) {
            // A late report from a worker the module has since been moved from: the copy placed
            // elsewhere keeps its demand and is not held back as a failed load.
            LOG_INFO("module report from a former host ignored, pid:" + std::to_string(*pid) +
                     " module:" + key.ToString());
            return 0;
        }
        empty = ForgetModuleUnlock(*pid, key);
        if (needLoad != nullptr) needLoad->RemoveNeedLoad(key);
        // A worker gives a module up when it cannot load it; the next demand tries again, but
        // not at the pace of the gateway's demands.
        failedLoads[key] = Clock::now();
    }
    LOG_WARN("module not served by worker " + std::to_string(*pid) + ": " + key.ToString() +
             "; placed again on a later demand");
    if (empty) EndWorker(*pid);
    return 0;
}

int ModuleMgt::ModuleLoaded(const int* pid, const std::string& nameAndVersion) {
    ModuleKey key;
    if (!ParseReportedKey("ModuleLoaded", nameAndVersion, key)) return -1;
    LOG_INFO("module serves, pid:" + std::to_string(*pid) + " module:" + key.ToString());
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto own = processModules.find(*pid);
        if (own != processModules.end() && std::any_of(own->second.begin(), own->second.end(),
                                                       [&](const ModulePojo& m) { return m.Key() == key; }))
            loaded[*pid].insert(key);
    }
    RetireOtherVersionsAfterGrace(*pid, key);
    return 0;
}

void ModuleMgt::RetireOtherVersionsAfterGrace(int pid, const ModuleKey& key) {
    if (timerService == nullptr) {
        RetireOtherVersions(pid, key);
        return;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(*timerService,
                                                             std::chrono::milliseconds(SWITCH_GRACE_MS));
    timer->async_wait(
        [this, timer, pid, key](const boost::system::error_code&) { RetireOtherVersions(pid, key); });
}

void ModuleMgt::RetireOtherVersions(int pid, const ModuleKey& key) {
    std::vector<int> ended;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = RetireOtherVersionsUnlock(pid, key);
    }
    for (int worker : ended) EndWorker(worker);
}

std::vector<int> ModuleMgt::RetireOtherVersionsUnlock(int pid, const ModuleKey& key) {
    std::vector<int> ended;
    auto configured = appConfig.find(key);
    auto own = processModules.find(pid);
    if (configured == appConfig.end() || own == processModules.end()) return ended;
    const auto& ownList = own->second;
    bool servesConfigured = std::any_of(ownList.begin(), ownList.end(), [&](const ModulePojo& m) {
        return SameModule(m, configured->second) && !IsAgeing(m);
    });
    if (!servesConfigured) return ended;
    for (auto it = processModules.begin(); it != processModules.end();) {
        int worker = it->first;
        auto& list = it->second;
        auto old = std::find_if(list.begin(), list.end(), [&](const ModulePojo& m) {
            return worker != pid && m.GetName() == key.GetName() && !IsAgeing(m);
        });
        if (old == list.end()) {
            ++it;
            continue;
        }
        LOG_INFO("retire module, pid:" + std::to_string(worker) + " module:" + NameVer(*old));
        if (list.size() == 1) {
            // Its worker ends gracefully: what it took is answered first.
            ended.push_back(worker);
            it = processModules.erase(it);
            continue;
        }
        ModulePojo retired = *old;
        if (DeleteModuleUnlock(&worker, retired) == -1) {
            LOG_INFO("deleteModule fail, module, version:" + NameVer(retired));
        }
        ++it;
    }
    return ended;
}

void ModuleMgt::ClearNonExistProcesses() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = hostedModules.begin(); it != hostedModules.end();) {
        if (kill(it->first, 0) == 0) {
            ++it;
            continue;
        }
        // A worker that ended without its graceful quit left its Java modules' Catalina base.
        for (const auto& m : it->second) {
            if (m.GetType() == "TOMCAT") CatalinaBaseDir::RemoveFor(m.GetLocation(), it->first);
        }
        loaded.erase(it->first);
        it = hostedModules.erase(it);
    }
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
    std::map<int, std::vector<ModulePojo>> ageing;
    {
        // What is idle is read under the lock: a demand recorded after it finds the module ageing
        // and places it again, where one that came between the read and the marking would have
        // found it placed and left it to be retired.
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<ModuleKey> idle = needLoad->GetIdleModules(idleSeconds);
        if (idle.empty()) return;
        LOG_INFO("module ageing " + std::to_string(idle.size()));
        std::set<ModuleKey> idleSet(idle.begin(), idle.end());
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
    hostedModules[newPid] = remaining;
    if (processMgt != nullptr) processMgt->AddPendingModules(newPid, remaining);
    return 0;
}

void ModuleMgt::GetStatus(MasterStatus& status) {
    std::map<ModuleKey, time_t> demands;
    if (needLoad != nullptr) demands = needLoad->GetDemandTimes();
    auto lastDemand = [&](const ModuleKey& key) {
        auto it = demands.find(key);
        return it == demands.end() ? time_t(0) : it->second;
    };
    std::lock_guard<std::mutex> lock(mutex);
    // A worker left with nothing keeps the kind of what it hosted last.
    for (const auto& worker : hostedModules) {
        if (!worker.second.empty())
            status.WorkerOf(worker.first).kind = MasterStatus::KindOfType(worker.second.back().GetType());
    }
    std::set<ModuleKey> placed;
    for (const auto& worker : processModules) {
        MasterStatus::Worker& w = status.WorkerOf(worker.first);
        auto reported = loaded.find(worker.first);
        for (const ModulePojo& m : worker.second) {
            w.kind = MasterStatus::KindOfType(m.GetType());
            w.modules.push_back(m.Key());
            bool serves = reported != loaded.end() && reported->second.count(m.Key()) != 0;
            const char* state = IsAgeing(m) ? "ageing" : serves ? "loaded" : "loading";
            status.modules.push_back({m.Key(), worker.first, state, lastDemand(m.Key())});
            placed.insert(m.Key());
        }
    }
    for (const auto& entry : appConfig) {
        if (placed.count(entry.first) != 0) continue;
        const char* state = failedLoads.count(entry.first) != 0 ? "failed" : "configured";
        status.modules.push_back({entry.first, 0, state, lastDemand(entry.first)});
    }
}

std::map<int, std::vector<ModulePojo>> ModuleMgt::Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return processModules;
}
