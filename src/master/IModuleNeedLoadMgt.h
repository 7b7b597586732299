// The master's record of the modules the gateway demanded, as placement and ageing see it.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <vector>

#include "model/ModuleKey.h"

class IModuleNeedLoadMgt {
public:
    // Body of the modules-to-load poller thread.
    virtual int32_t GetModuleNeedLoadFrmGW() = 0;
    virtual void RemoveNeedLoad(const ModuleKey& key) = 0;
    virtual bool IsNeedLoad(const ModuleKey& key) = 0;
    // Keys of the modules last demanded more than idleSeconds ago.
    virtual std::vector<ModuleKey> GetIdleModules(int32_t idleSeconds) = 0;
    // Forgets demands for modules no worker hosts any more, so they are placed again.
    virtual void ClearNonExistModule() = 0;
    // Each demanded key with the time of its latest demand.
    virtual std::map<ModuleKey, time_t> GetDemandTimes() = 0;
    virtual ~IModuleNeedLoadMgt() = default;
};
