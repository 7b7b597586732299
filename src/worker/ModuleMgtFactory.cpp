#include "worker/ModuleMgtFactory.h"

#include <atomic>
#include <map>
#include <mutex>

// Locking: KindsMutex() guards the kind table. The current manager is an atomic pointer, since the
// connector's thread sets it and the main thread reads it at shutdown. A getter is called outside
// the lock, so a manager's creation may log or take its own locks freely.
namespace {

std::mutex& KindsMutex() {
    static std::mutex m;
    return m;
}

// The hosts register their kinds (the binary does it at start, before any worker is forked).
std::map<std::string, ModuleMgtGetter>& Kinds() {
    static std::map<std::string, ModuleMgtGetter> kinds;
    return kinds;
}

std::atomic<IModuleMgt*> gCurrentModuleMgt{nullptr};

}  // namespace

void RegisterModuleMgt(const std::string& kind, ModuleMgtGetter getter) {
    std::lock_guard<std::mutex> lock(KindsMutex());
    if (getter == nullptr) {
        Kinds().erase(kind);
    } else {
        Kinds()[kind] = getter;
    }
}

IModuleMgt* GetModuleMgtByType(const ModulePojo& module) {
    ModuleMgtGetter getter = nullptr;
    {
        std::lock_guard<std::mutex> lock(KindsMutex());
        auto it = Kinds().find(module.GetType());
        if (it != Kinds().end()) {
            getter = it->second;
        }
    }
    if (getter == nullptr) {
        return gCurrentModuleMgt.load();
    }
    IModuleMgt* mgt = getter();
    // A kind whose manager cannot start (its loader library is missing) leaves the current
    // manager in place: a later try may succeed, and shutdown must still reach what runs.
    if (mgt != nullptr) {
        gCurrentModuleMgt.store(mgt);
    }
    return mgt;
}

IModuleMgt* GetCurrentModuleMgt() {
    return gCurrentModuleMgt.load();
}

void ResetCurrentModuleMgt() {
    gCurrentModuleMgt.store(nullptr);
}

void StopCurrentModuleMgt() {
    IModuleMgt* mgt = gCurrentModuleMgt.load();
    if (mgt != nullptr) {
        mgt->Stop();
    }
}

bool CurrentModuleMgtStopped() {
    IModuleMgt* mgt = gCurrentModuleMgt.load();
    return mgt == nullptr || mgt->Stopped();
}
