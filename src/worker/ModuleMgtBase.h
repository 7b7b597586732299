// Common base of module managers that keep a table of their modules (the C module manager):
// the module map with its records, registration of a module, and a readiness hook.
//
// Locking: mapMutex guards moduleMap and every ModuleHandler in it. Only logging's own locks are
// taken under it, and no module code is called while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

#include "model/ModuleHandler.h"
#include "model/ModuleKey.h"
#include "model/ModulePojo.h"
#include "worker/IModuleMgt.h"

class IRequestReceiver;

class ModuleMgtBase : public IModuleMgt {
public:
    int32_t Start() override { return 0; }
    void Stop() override {}

    // Registers the module (status 3, not loaded) unless a record for its key exists, whatever
    // that record's status. Always 0.
    virtual int32_t AddModule(const ModulePojo& module);
    // Non-zero when the module, with its new request receiver, cannot take requests yet.
    virtual int32_t ModuleNotReady(IRequestReceiver* receiver) {
        (void)receiver;
        return 0;
    }

    // Sets the status of the module's record; nothing when there is no record.
    void SetModuleStatus(const ModulePojo& module, int32_t status);
    void ClearModules();
    // Copies the record of key into out; false when there is none.
    bool FindModule(const ModuleKey& key, ModuleHandler& out);
    size_t ModuleCount();

protected:
    ModuleMgtBase() = default;
    ~ModuleMgtBase() = default;

    std::mutex mapMutex;
    std::map<ModuleKey, ModuleHandler> moduleMap;
};
