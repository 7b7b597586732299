// The worker's record of one registered or loaded module: its library handle, entry point,
// request count and status. Held by value in the module map and guarded by the map's mutex.
#pragma once

#include <cstdint>
#include <ctime>

#include "model/ModulePojo.h"

// The module's request entry: URL, method and request JSON in; response body out (owned by the
// module).
using TaskEntryFunc = const char* (*)(const char* reqUrl, const char* method, const char* json);

class ModuleHandler {
public:
    static constexpr int32_t STATUS_LOADED = 0;      // library loaded, requests are executed
    static constexpr int32_t STATUS_UNLOADED = 1;    // takes no more requests; library stays mapped
    static constexpr int32_t STATUS_REGISTERED = 3;  // registered, library not loaded yet
    static constexpr int32_t STATUS_INITIAL = 4;     // an empty record

    void* dllHandle = nullptr;
    TaskEntryFunc taskEntry = nullptr;
    int32_t refCount = 0;
    time_t lastUseTime = 0;
    int32_t status = STATUS_INITIAL;
    ModulePojo module;
};
