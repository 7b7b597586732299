// The master's placement authority: what each worker hosts, the application configuration from
// the gateway, and every decision to add, delete, refresh or retire a module and where.
//
// Locking: mutex guards processModules and appConfig and is held across every decision and the
// sends it makes. Lock order: this mutex, then the registry's (ProcessMgt) and the demand list's
// (ModuleNeedLoadMgt). The gateway poll itself runs without it.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/UDSClient.h"
#include "master/IModuleMgtForMaster.h"
#include "worker/ModulePojo.h"

class IModuleNeedLoadMgt;
class IProcessMgt;
class IIOHandler;

class ModuleMgt : public IModuleMgtForMaster {
public:
    // Starts a worker process and returns its pid, or -1.
    using SpawnFn = std::function<int()>;

    ModuleMgt();

    int GetModuleFrmGateway() override;
    int CheckAndAddModule(const ModuleKey& key) override;
    int UnloadModule(const int* pid, const std::string& nameAndVersion) override;
    int SpawnByOldProcess(const int* pid) override;
    void CheckModuleAgeing(int idleSeconds) override;
    std::vector<ModuleKey> GetLoadedModules() override;

    int UpdateModule(const ModulePojo& configured);
    int AddModuleUnlock(const ModulePojo& module);
    int DeleteModuleUnlock(const int* pid, const ModulePojo& module);
    int ModifyModuleUnlock(const int* pid, const ModulePojo& module);
    int FindProcessOfLeastModuleUnlock(const std::string& type);
    void ClearNonExistProcesses();
    void SaveModule(const ModulePojo& module);

    void SetNeedLoad(IModuleNeedLoadMgt* n) { needLoad = n; }
    void SetProcessMgt(IProcessMgt* p, IIOHandler* io) {
        processMgt = p;
        ioHandler = io;
    }
    // Tests replace the fork of a real worker.
    void SetSpawnFn(SpawnFn fn) { spawn = std::move(fn); }

    // A copy of the placement records, for tests and diagnostics.
    std::map<int, std::vector<ModulePojo>> Snapshot();

    static constexpr int RETRY_SECONDS = 10;
    static constexpr int AGEING_PAUSE_MS = 1000;

private:
    int SendUnlock(int pid, const std::string& line);
    int SpawnWorker();

    std::map<int, std::vector<ModulePojo>> processModules;
    std::map<ModuleKey, ModulePojo> appConfig;
    UDSClient gatewayClient;
    IModuleNeedLoadMgt* needLoad = nullptr;
    IProcessMgt* processMgt = nullptr;
    IIOHandler* ioHandler = nullptr;
    std::mutex mutex;
    SpawnFn spawn;
};
