#include "worker/ReqReceiverMgt.h"

#include <algorithm>

#include "base/Log.h"

ReqReceiverMgt& ReqReceiverMgt::getInstance() {
    // Never destroyed: receivers may still have work queued on the event loop when the process
    // ends, and a worker always ends with _exit. The master never touches the registry, so its
    // mutex cannot be held by another thread when a worker is forked.
    static ReqReceiverMgt* instance = new ReqReceiverMgt();
    return *instance;
}

bool ReqReceiverMgt::AddRequestReceivers(const ModuleKey& key, const Group& group) {
    if (group.empty() || std::find(group.begin(), group.end(), nullptr) != group.end()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return receivers.emplace(key, group).second;
}

void ReqReceiverMgt::ForKey(const ModuleKey& key, const std::function<void(IRequestReceiver&)>& fn) {
    auto it = receivers.find(key);
    if (it == receivers.end()) {
        return;
    }
    for (auto& receiver : it->second) {
        fn(*receiver);
    }
}

void ReqReceiverMgt::StopRequestReceiver(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    ForKey(key, [](IRequestReceiver& r) { r.stop(); });
}

void ReqReceiverMgt::ReconnectRequestReceiver(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    ForKey(key, [](IRequestReceiver& r) { r.reconect(); });
}

void ReqReceiverMgt::SetNotReceiveNewRequest(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    if (receivers.find(key) == receivers.end()) {
        LOG_INFO("can't find module," + key.GetName() + ":" + key.GetVersion());
        return;
    }
    ForKey(key, [](IRequestReceiver& r) { r.SetNotReceive(); });
}

bool ReqReceiverMgt::CheckStopOver() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = receivers.begin(); it != receivers.end();) {
        LOG_INFO("ReqReceiverMgt CheckStopOver:" + it->first.GetName());
        for (auto& receiver : it->second) {
            if (!receiver->CheckStopOver()) {
                return false;
            }
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
        for (auto& receiver : entry.second) {
            fn(*receiver);
        }
    }
}

std::shared_ptr<IRequestReceiver> ReqReceiverMgt::Find(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = receivers.find(key);
    return it == receivers.end() ? nullptr : it->second.front();
}

size_t ReqReceiverMgt::Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return receivers.size();
}
