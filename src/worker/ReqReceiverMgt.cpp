#include "worker/ReqReceiverMgt.h"

#include "base/Log.h"

ReqReceiverMgt& ReqReceiverMgt::getInstance() {
    // Never destroyed: receivers may still have work queued on the event loop when the process
    // ends, and a worker always ends with _exit. The master never touches the registry, so its
    // mutex cannot be held by another thread when a worker is forked.
    static ReqReceiverMgt* instance = new ReqReceiverMgt();
    return *instance;
}

bool ReqReceiverMgt::AddRequestReceiver(const ModuleKey& key,
                                        const std::shared_ptr<IRequestReceiver>& receiver) {
    if (!receiver) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return receivers.emplace(key, receiver).second;
}

void ReqReceiverMgt::StopRequestReceiver(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = receivers.find(key);
    if (it != receivers.end()) {
        it->second->stop();
    }
}

void ReqReceiverMgt::ReconnectRequestReceiver(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = receivers.find(key);
    if (it != receivers.end()) {
        it->second->reconect();
    }
}

void ReqReceiverMgt::SetNotReceiveNewRequest(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = receivers.find(key);
    if (it == receivers.end()) {
        LOG_INFO("can't find module," + key.GetName() + ":" + key.GetVersion());
        return;
    }
    it->second->SetNotReceive();
}

bool ReqReceiverMgt::CheckStopOver() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = receivers.begin(); it != receivers.end();) {
        LOG_INFO("ReqReceiverMgt CheckStopOver:" + it->first.GetName());
        if (!it->second->CheckStopOver()) {
            return false;
        }
        it = receivers.erase(it);
    }
    return true;
}

void ReqReceiverMgt::Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    receivers.clear();
}

void ReqReceiverMgt::ForEach(const std::function<void(IRequestReceiver&)>& fn) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : receivers) {
        fn(*entry.second);
    }
}

std::shared_ptr<IRequestReceiver> ReqReceiverMgt::Find(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = receivers.find(key);
    return it == receivers.end() ? nullptr : it->second;
}

size_t ReqReceiverMgt::Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return receivers.size();
}
