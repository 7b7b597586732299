// Hosts Go modules in a worker through the loader library libgoloader.so: opens it, resolves its
// five exports (and SetPullConnections where it has it) and forwards the module-manager
// operations to them as Go strings and integers. Process-wide singleton; the library is never
// closed once it has been opened and started.
//
// Locking: only the singleton's creation is locked (a static mutex, see getInstance). The
// forwarding operations take no lock; the worker calls them one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "worker/IModuleMgt.h"

class GoModuleMgt final : public IModuleMgt {
public:
    // What the loader's exports take and return (the layout of Go's c-shared header).
    struct GoString {
        const char* p;
        ptrdiff_t n;
    };
    using GoInt = int64_t;

    using StartFunc = GoInt (*)(GoString udsAddress);
    using LoadModuleFunc = GoInt (*)(GoString name, GoString version, GoString location);
    using UnloadModuleFunc = GoInt (*)(GoString name);
    using GetLoadedModuleNumFunc = GoInt (*)();
    using StopFunc = GoInt (*)();
    using SetPullConnectionsFunc = GoInt (*)(GoInt n);

    // The manager, or null when the loader library or one of its exports is missing; a later
    // call tries again.
    static GoModuleMgt* getInstance();
    // Drops the manager and closes its library, so the next getInstance opens one anew. For tests
    // with stand-in loaders only: a real Go runtime cannot be unloaded.
    static void ResetForTest();

    int32_t Start() override;
    int32_t LoadModule(const ModulePojo& module) override;
    int32_t UnLoadModule(const ModulePojo& module) override;
    void Stop() override;
    bool Stopped() override;

    GoModuleMgt(const GoModuleMgt&) = delete;
    GoModuleMgt& operator=(const GoModuleMgt&) = delete;

private:
    GoModuleMgt() = default;
    ~GoModuleMgt();

    // The symbol's address, or null (logged) when the library does not export it.
    static void* GetFuncSymbol(void* handle, const char* name);

    void* dllHandle = nullptr;
    StartFunc startFunc = nullptr;
    LoadModuleFunc loadModuleFunc = nullptr;
    UnloadModuleFunc unloadModuleFunc = nullptr;
    GetLoadedModuleNumFunc getLoadedModuleNumFunc = nullptr;
    StopFunc stopFunc = nullptr;
    SetPullConnectionsFunc setPullConnectionsFunc = nullptr;
};
