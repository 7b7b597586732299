// What the master's worker registry and timers need from module placement: the operations a
// worker's messages and the periodic checks trigger.
#pragma once

#include <string>
#include <vector>

#include "model/ModuleKey.h"

class MasterStatus;

class IModuleMgtForMaster {
public:
    // Body of the application-configuration poller thread.
    virtual int GetModuleFrmGateway() = 0;
    // Places the module with this key if the gateway asks for it and it is not placed yet.
    virtual int CheckAndAddModule(const ModuleKey& key) = 0;
    // Forgets a module (name "|" version) that worker *pid reported as unloaded.
    virtual int UnloadModule(const int* pid, const std::string& nameAndVersion) = 0;
    // Worker *pid loaded the module (name "|" version) and serves it: other versions retire.
    virtual int ModuleLoaded(const int* pid, const std::string& nameAndVersion) = 0;
    // Replaces worker *pid by a new worker that takes over its modules that are not ageing.
    virtual int SpawnByOldProcess(const int* pid) = 0;
    // Retires modules idle for longer than idleSeconds, with their workers.
    virtual void CheckModuleAgeing(int idleSeconds) = 0;
    // Keys of every placed module, in worker order.
    virtual std::vector<ModuleKey> GetLoadedModules() = 0;
    // Adds the workers and modules placement knows, with their state, to status.
    virtual void GetStatus(MasterStatus& status) = 0;
    virtual ~IModuleMgtForMaster() = default;
};
