// The worker's registry of request receivers by module key: module managers and the master-command
// handler start, stop, drain and reconnect receivers through it without knowing their kind.
// A module may pull on several connections: its receivers form one group, handled together.
// Process-wide singleton; each worker empties its copy after the fork.
//
// Locking: `mutex` guards `receivers` and is held around every call made on a registered receiver,
// so a receiver operation called from here must never call back into the registry. Receivers
// only post their socket work to their event loop from these calls, so the lock is held briefly.
// Nothing else is locked while it is held, apart from what the receivers and logging take.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "model/ModuleKey.h"
#include "worker/IRequestReceiver.h"

class ReqReceiverMgt {
public:
    static ReqReceiverMgt& getInstance();

    using Group = std::vector<std::shared_ptr<IRequestReceiver>>;

    // Registers a module's receivers; when key is already registered, the registered group stays
    // and this one is not taken (the caller still holds it). True when it was taken.
    bool AddRequestReceivers(const ModuleKey& key, const Group& group);
    bool AddRequestReceiver(const ModuleKey& key, const std::shared_ptr<IRequestReceiver>& receiver) {
        return AddRequestReceivers(key, Group{receiver});
    }
    void StopRequestReceiver(const ModuleKey& key);
    void ReconnectRequestReceiver(const ModuleKey& key);
    void SetNotReceiveNewRequest(const ModuleKey& key);
    // Drops, in key order, every module whose receivers' work is over; false at the first one
    // still busy (it and the ones after it stay). True once the registry is empty.
    bool CheckStopOver();
    // Drops every receiver without stopping it.
    void Clear();

    // Calls fn on every registered receiver, in key order, under the mutex.
    void ForEach(const std::function<void(IRequestReceiver&)>& fn);
    // The first receiver registered for key, or null. For inspection only: the registry keeps it.
    std::shared_ptr<IRequestReceiver> Find(const ModuleKey& key);
    size_t Size();

private:
    ReqReceiverMgt() = default;
    ~ReqReceiverMgt() = default;

    // Calls fn on each receiver of key, if any. The caller holds the mutex.
    void ForKey(const ModuleKey& key, const std::function<void(IRequestReceiver&)>& fn);

    std::mutex mutex;
    std::map<ModuleKey, Group> receivers;
};
