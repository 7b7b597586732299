// Hosts C shared-library modules in a worker: loads each library, calls its initializeDll, keeps
// its taskEntry, counts requests in flight, and owns the worker's event-loop thread (on which
// all request receivers do their socket work) and the request dispatcher thread.
// Process-wide singleton.
//
// Locking: mapMutex (from ModuleMgtBase) guards the module map; no module code runs under it.
// creation of the singleton has its own mutex. Stop() joins each thread at most once.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <string>

#include "hosts/c/RequestPojo.h"
#include "worker/ModuleMgtBase.h"

class CModuleMgt : public ModuleMgtBase {
public:
    static CModuleMgt* getInstance();
    // The worker's shared event loop that every CModuleRequestReceiver uses.
    static boost::asio::io_context& IoContext();

    int32_t Start() override { return 0; }
    int32_t LoadModule(const ModulePojo& module) override;
    int32_t UnLoadModule(const ModulePojo& module) override;
    void Stop() override;
    bool Stopped() override;

    // 0, or 3 (dlopen), 5 (no initializeDll), 6 (initializeDll -1), 9 (no taskEntry).
    int32_t LoadCModuleLib(const ModulePojo& module);
    int32_t StartReceiver(const ModulePojo& module);
    // Loads a registered module that is not loaded yet; 0 when it may take the request.
    int32_t CheckAndLoadModule(const ModuleKey& key);
    void IncreRef(const ModuleKey& key);
    void DecreRef(const ModuleKey& key);
    // 0 and a copy, 1 when unknown, 2 when registered but not loaded.
    int32_t GetModuleHandler(const ModuleKey& key, ModuleHandler& out);
    void UpdateModuleHandler(const ModuleKey& key, const ModuleHandler& handler);
    // Runs the request in the module; statusCode 500 and -1 when the module is not running.
    int32_t ExecFunc(const ModuleHandler& handler, const RequestPojo& request, uint32_t& statusCode,
                     std::string& body);

private:
    CModuleMgt();
    void UpdateModuleHandlerUnlock(const ModuleKey& key, const ModuleHandler& handler);
    struct Threads;
    Threads* threads;
};
