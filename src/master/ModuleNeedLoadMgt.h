// The master's modules-to-load poller: asks the gateway, one demand at a time, which module must
// be loaded, remembers each demanded key with the time of its latest demand, and has placement
// place a key the first time it is demanded.
//
// Locking: mutex guards needLoadModuleMap and demandCount only. Placement calls in with its own
// lock held (placement, then this mutex); this class never calls placement while holding mutex.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>

#include "master/IModuleNeedLoadMgt.h"
#include "net/UDSClient.h"

class IModuleMgtForMaster;

class ModuleNeedLoadMgt : public IModuleNeedLoadMgt {
public:
    ModuleNeedLoadMgt() = default;

    int32_t GetModuleNeedLoadFrmGW() override;
    void RemoveNeedLoad(const ModuleKey& key) override;
    bool IsNeedLoad(const ModuleKey& key) override;
    std::vector<ModuleKey> GetIdleModules(int32_t idleSeconds) override;
    void ClearNonExistModule() override;
    std::map<ModuleKey, time_t> GetDemandTimes() override;

    void SetModuleMgt(IModuleMgtForMaster* mgt) { placement = mgt; }

    // Records a demand at time now; true when the key was not demanded before.
    bool RecordDemand(const ModuleKey& key, time_t now);
    // Idle keys relative to the given time (GetIdleModules uses the current time).
    std::vector<ModuleKey> GetIdleModulesAt(int32_t idleSeconds, time_t now);

    // Seconds between retries after a gateway failure.
    static constexpr int RETRY_SECONDS = 10;

private:
    struct Demand {
        time_t at;
        uint64_t seq;  // demandCount when it was recorded
    };
    UDSClient gatewayClient;
    std::map<ModuleKey, Demand> needLoadModuleMap;
    // Demands recorded so far, so a clean-up can tell the ones recorded while it ran.
    uint64_t demandCount = 0;
    IModuleMgtForMaster* placement = nullptr;
    std::mutex mutex;
};
