// The master's placement authority: what each worker hosts, the application configuration from
// the gateway, and every decision to add, delete, refresh or retire a module and where.
//
// Locking: mutex guards processModules, hostedModules, loaded, appConfig and failedLoads and is held
// across every decision and the sends it makes. Lock order: this mutex, then the registry's
// (ProcessMgt) and the demand list's (ModuleNeedLoadMgt). The gateway poll itself runs without
// it, and workers are signalled without it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "master/IModuleMgtForMaster.h"
#include "model/ModulePojo.h"
#include "net/UDSClient.h"

class IModuleNeedLoadMgt;
class IProcessMgt;
class IIOHandler;

class ModuleMgt : public IModuleMgtForMaster {
public:
    // Starts a worker process and returns its pid, or -1.
    using SpawnFn = std::function<int()>;
    // Ends a worker that hosts nothing any more, gracefully (it answers what it took).
    using EndFn = std::function<void(int pid)>;

    ModuleMgt();

    int GetModuleFrmGateway() override;
    int CheckAndAddModule(const ModuleKey& key) override;
    int UnloadModule(const int* pid, const std::string& nameAndVersion) override;
    int ModuleLoaded(const int* pid, const std::string& nameAndVersion) override;
    int SpawnByOldProcess(const int* pid) override;
    void CheckModuleAgeing(int idleSeconds) override;
    std::vector<ModuleKey> GetLoadedModules() override;
    void GetStatus(MasterStatus& status) override;

    // refreshUnchanged: a module placed as configured is sent "modifyModule" (its worker
    // reconnects it to the gateway); otherwise it is left alone.
    int UpdateModule(const ModulePojo& configured, bool refreshUnchanged = true);
    // retireFor: set to the worker serving the configured copy when other versions of the module
    // are left to retire (after the lock is released).
    int UpdateModuleUnlock(const ModulePojo& configured, bool refreshUnchanged, int* retireFor);
    // SaveModule and UpdateModule as one step, as the configuration loop needs them.
    void ConfigureModule(const ModulePojo& module, bool refreshUnchanged);
    int AddModuleUnlock(const ModulePojo& module);
    int DeleteModuleUnlock(const int* pid, const ModulePojo& module);
    int ModifyModuleUnlock(const int* pid, const ModulePojo& module);
    // The least loaded worker that may take the module, or -1 when a new worker is needed. Besides
    // the type and the limit: a worker never hosts two versions of a module, never gets a module
    // whose code it may already have mapped (a Java or Go module it hosted before, a C library of
    // the same path), and a Java module needs a worker that never ran another.
    int FindProcessOfLeastModuleUnlock(const ModulePojo& module);
    void ClearNonExistProcesses();
    void SaveModule(const ModulePojo& module);
    void SaveModuleUnlock(const ModulePojo& module);

    void SetNeedLoad(IModuleNeedLoadMgt* n) { needLoad = n; }
    void SetProcessMgt(IProcessMgt* p, IIOHandler* io) {
        processMgt = p;
        ioHandler = io;
    }
    // Tests replace the fork of a real worker and the signal that ends one.
    void SetSpawnFn(SpawnFn fn) { spawn = std::move(fn); }
    void SetEndFn(EndFn fn) { endWorker = std::move(fn); }
    // Where the retirement of a switched module's old version waits its grace; without one (tests)
    // it happens at once.
    void SetTimerService(boost::asio::io_context* io) { timerService = io; }
    void SetLoadRetryDelay(std::chrono::milliseconds delay) { loadRetry = delay; }

    // A copy of the placement records, for tests and diagnostics.
    std::map<int, std::vector<ModulePojo>> Snapshot();

    static constexpr int RETRY_SECONDS = 10;
    static constexpr int AGEING_PAUSE_MS = 1000;
    // A module whose load failed is placed again on demand, but not sooner than this.
    static constexpr int LOAD_RETRY_SECONDS = 5;
    // After a new version reports it serves, the old one goes this much later: the new one's
    // first pull reaches the gateway before the old one stops pulling.
    static constexpr int SWITCH_GRACE_MS = 1000;

private:
    using Clock = std::chrono::steady_clock;

    int SendUnlock(int pid, const std::string& line);
    int SpawnWorker();
    void EndWorker(int pid);
    // Records module as placed in pid (its list and its history).
    void RecordUnlock(int pid, const ModulePojo& module);
    // True (logged) while a failed load of key waits for LOAD_RETRY_SECONDS to pass.
    bool LoadRetryPendingUnlock(const ModuleKey& key);
    // Places the configured module unless a recent failure holds it back; logs a failed add.
    void AddConfiguredUnlock(const ModulePojo& module);
    // Retires every copy of key's module that other workers than pid host, once pid's copy of
    // key is the configured one. Workers left with nothing are ended (returned to the caller, who
    // ends them without the lock).
    std::vector<int> RetireOtherVersionsUnlock(int pid, const ModuleKey& key);
    void RetireOtherVersions(int pid, const ModuleKey& key);
    // After the switch grace (at once without a timer service).
    void RetireOtherVersionsAfterGrace(int pid, const ModuleKey& key);
    // Saves (when asked) and applies a configured module under one hold of the lock, then retires
    // what it leaves to retire.
    void ApplyModule(const ModulePojo& module, bool refreshUnchanged, bool save);
    // Removes the first module with key from pid's list; true when pid is left hosting nothing
    // (its record is then erased).
    bool ForgetModuleUnlock(int pid, const ModuleKey& key);

    std::map<int, std::vector<ModulePojo>> processModules;
    // Every module each living worker was ever given, kept until the worker is reaped.
    std::map<int, std::vector<ModulePojo>> hostedModules;
    // One description per module name: the configured version.
    std::map<ModuleKey, ModulePojo> appConfig;
    std::map<ModuleKey, Clock::time_point> failedLoads;
    // What each worker reported it serves ("loadedModule"), while placed there.
    std::map<int, std::set<ModuleKey>> loaded;
    UDSClient gatewayClient;
    IModuleNeedLoadMgt* needLoad = nullptr;
    IProcessMgt* processMgt = nullptr;
    IIOHandler* ioHandler = nullptr;
    std::mutex mutex;
    SpawnFn spawn;
    EndFn endWorker;
    boost::asio::io_context* timerService = nullptr;
    std::chrono::steady_clock::duration loadRetry = std::chrono::seconds(LOAD_RETRY_SECONDS);
};
