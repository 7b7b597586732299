#include "hosts/c/CModuleMgt.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "base/HandledSignalsBlocked.h"
#include "base/Log.h"
#include "base/ProcessFlags.h"
#include "base/PropertyLoader.h"
#include "hosts/c/CModuleRequestReceiver.h"
#include "hosts/c/LoopRunners.h"
#include "hosts/c/ReqHandlerMgt.h"
#include "hosts/c/RequestReply.h"
#include "proto/GatewayPath.h"
#include "worker/ReqReceiverMgt.h"

// Locking: stopMutex serialises the joins of Stop(), so each thread is joined at most once and a
// second caller waits for the first to finish. waitMutex/waitCv only let Stop() cut the puller's
// 2-second wait short. Neither is held while any other lock of the manager is taken.
struct CModuleMgt::Threads {
    std::thread pullGatewayReqTask;
    std::thread reqHandlerTask;
    std::mutex stopMutex;
    std::mutex waitMutex;
    std::condition_variable waitCv;
};

namespace {

using InitializeDllFunc = int (*)(const char*);

constexpr auto PULLER_WAIT = std::chrono::seconds(2);

// Pull connections per module unless modulePullConnections says otherwise: 8 took most of the
// throughput of 16 with a shorter tail.
constexpr int32_t DEFAULT_PULL_CONNECTIONS = 8;

std::atomic<CModuleMgt*> gInstance{nullptr};
std::mutex gCreateMutex;

std::string DlErrorText() {
    const char* err = dlerror();
    return err != nullptr ? err : "";
}

void CloseLib(void* handle) {
    int rc = dlclose(handle);
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "dlclose failed! ");
    }
}

// Every receiver stops; runs the socket work they posted (closing their connections) on the
// calling thread, which must be the only one running the loop, or none is.
// The loop stays stopped afterwards.
void StopReceiversAndFlush(boost::asio::io_context& io) {
    ReqReceiverMgt::getInstance().ForEach([](IRequestReceiver& r) { r.stop(); });
    io.restart();
    io.poll();
    io.stop();
}

void pullGatewayReq(std::mutex* waitMutex, std::condition_variable* waitCv) {
    boost::asio::io_context& io = CModuleMgt::IoContext();
    auto guard = boost::asio::make_work_guard(io);
    LoopRunners::Instance().Run(io);
    // Receivers stopped by Stop() posted their closes to a loop that no longer runs.
    StopReceiversAndFlush(io);
    {
        std::unique_lock<std::mutex> lock(*waitMutex);
        while (gTerminate.load() == 0 && !(workerExiting.load() != 0 && io.stopped())) {
            LOG_INFO("pullGatewayReq waiting");
            waitCv->wait_for(lock, PULLER_WAIT);
        }
    }
    StopReceiversAndFlush(io);
    LOG_INFO("IOService exist");
    guard.reset();
}

}  // namespace

boost::asio::io_context& CModuleMgt::IoContext() {
    // Created on first use, in the worker: an event loop made before the fork would share its
    // epoll instance with the master and with every sibling worker.
    static boost::asio::io_context* io = new boost::asio::io_context(1);
    return *io;
}

CModuleMgt::CModuleMgt() : threads(new Threads()) {}

CModuleMgt* CModuleMgt::getInstance() {
    CModuleMgt* mgt = gInstance.load();
    if (mgt != nullptr) {
        return mgt;
    }
    std::lock_guard<std::mutex> lock(gCreateMutex);
    mgt = gInstance.load();
    if (mgt != nullptr) {
        return mgt;
    }
    mgt = new CModuleMgt();
    gInstance.store(mgt);
    HandledSignalsBlocked blocked;
    Threads* t = mgt->threads;
    IoContext();
    t->pullGatewayReqTask = std::thread(pullGatewayReq, &t->waitMutex, &t->waitCv);
    (void)RequestReply::getInstance()->Init();
    ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
    t->reqHandlerTask = std::thread([handlers] { handlers->run(); });
    return mgt;
}

int32_t CModuleMgt::LoadModule(const ModulePojo& module) {
    AddModule(module);
    int32_t rc = LoadCModuleLib(module);
    if (rc != 0) {
        // Nothing could answer its requests: no receiver takes them from the gateway.
        LOG_ERROR_CODE(rc, "load module fail." + module.GetName() + ":" + module.GetVersion());
        return rc;
    }
    return StartReceiver(module);
}

int32_t CModuleMgt::LoadCModuleLib(const ModulePojo& module) {
    const std::string path = module.LibFilePath();
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        LOG_INFO("dlopen  failed! path:" + path);
        LOG_WARN("cannot open module library: " + DlErrorText());
        return 3;
    }
    (void)dlerror();
    auto init = reinterpret_cast<InitializeDllFunc>(dlsym(handle, "initializeDll"));
    std::string err = DlErrorText();
    if (!err.empty() || init == nullptr) {
        LOG_WARN("can't find symbol fcn! " + err);
        CloseLib(handle);
        return 5;
    }
    const std::string moduleId = module.ModuleIdString();
    if (init(moduleId.c_str()) == -1) {
        LOG_INFO("init dll fails");
        LOG_WARN("initializeDll of " + path + " returned -1");
        CloseLib(handle);
        return 6;
    }
    auto entry = reinterpret_cast<TaskEntryFunc>(dlsym(handle, "taskEntry"));
    err = DlErrorText();
    // A symbol that resolves to null could not be called either.
    if (!err.empty() || entry == nullptr) {
        LOG_WARN("can't find taskEntry! " + err);
        CloseLib(handle);
        return 9;
    }
    ModuleHandler handler;
    handler.dllHandle = handle;
    handler.taskEntry = entry;
    handler.status = ModuleHandler::STATUS_LOADED;
    UpdateModuleHandler(module.Key(), handler);
    return 0;
}

void CModuleMgt::UpdateModuleHandler(const ModuleKey& key, const ModuleHandler& handler) {
    std::lock_guard<std::mutex> lock(mapMutex);
    UpdateModuleHandlerUnlock(key, handler);
}

void CModuleMgt::UpdateModuleHandlerUnlock(const ModuleKey& key, const ModuleHandler& handler) {
    auto it = moduleMap.find(key);
    if (it == moduleMap.end()) {
        LOG_INFO("UpdateModuleHandler fail" + key.GetName() + ":" + key.GetVersion());
        return;
    }
    LOG_INFO("UpdateModuleHandler status:" + std::to_string(handler.status) + key.GetName() + ":" +
             key.GetVersion());
    ModuleHandler& stored = it->second;
    stored.dllHandle = handler.dllHandle;
    stored.taskEntry = handler.taskEntry;
    stored.status = handler.status;
    stored.lastUseTime = time(nullptr);
}

int32_t CModuleMgt::StartReceiver(const ModulePojo& module) {
    const ModuleKey key = module.Key();
    // Each receiver keeps one request in flight on its own connection: several let requests
    // enter the worker without waiting for each other's round trip to the gateway.
    ReqReceiverMgt::Group group;
    for (int32_t i = ModulePullConnections(DEFAULT_PULL_CONNECTIONS); i > 0; --i) {
        group.push_back(CModuleRequestReceiver::create(GetGatewayPath(), key, this));
    }
    // When the key already has receivers, the registry keeps those; the new ones are started all
    // the same and live on through their own pull cycles.
    (void)ReqReceiverMgt::getInstance().AddRequestReceivers(key, group);
    if (ModuleNotReady(group.front().get()) != 0) {
        LOG_INFO("module may not ready," + key.GetName() + ":" + key.GetVersion());
    }
    int32_t rc = 0;
    for (auto& receiver : group) {
        int32_t started = receiver->start();
        if (started != 0) {
            LOG_INFO("requestreceiver start fail, " + key.GetName() + ":" + key.GetVersion());
            rc = started;
        }
    }
    return rc;
}

int32_t CModuleMgt::CheckAndLoadModule(const ModuleKey& key) {
    ModulePojo module;
    {
        std::lock_guard<std::mutex> lock(mapMutex);
        auto it = moduleMap.find(key);
        if (it == moduleMap.end()) {
            LOG_INFO("can't find module, " + key.GetName() + ":" + key.GetVersion());
            return 1;
        }
        LOG_INFO("status:" + std::to_string(it->second.status));
        if (it->second.status != ModuleHandler::STATUS_REGISTERED) {
            return 0;
        }
        module = it->second.module;
    }
    int32_t rc = LoadCModuleLib(module);
    if (rc != 0) {
        LOG_INFO("load module fail," + key.GetName() + ":" + key.GetVersion());
    }
    return rc;
}

void CModuleMgt::IncreRef(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mapMutex);
    auto it = moduleMap.find(key);
    if (it == moduleMap.end()) {
        LOG_INFO("can't find module" + key.GetName() + ":" + key.GetVersion());
        return;
    }
    it->second.lastUseTime = time(nullptr);
    ++it->second.refCount;
}

void CModuleMgt::DecreRef(const ModuleKey& key) {
    std::lock_guard<std::mutex> lock(mapMutex);
    auto it = moduleMap.find(key);
    if (it == moduleMap.end()) {
        LOG_INFO("can't find module" + key.GetName() + ":" + key.GetVersion());
        return;
    }
    it->second.lastUseTime = time(nullptr);
    --it->second.refCount;
}

int32_t CModuleMgt::GetModuleHandler(const ModuleKey& key, ModuleHandler& out) {
    std::lock_guard<std::mutex> lock(mapMutex);
    auto it = moduleMap.find(key);
    if (it == moduleMap.end()) {
        return 1;
    }
    if (it->second.status == ModuleHandler::STATUS_REGISTERED) {
        return 2;
    }
    out = it->second;
    return 0;
}

int32_t CModuleMgt::ExecFunc(const ModuleHandler& handler, const RequestPojo& request, uint32_t& statusCode,
                             std::string& body) {
    // An unloaded module still runs the requests it accepted before: its library stays mapped.
    bool runnable =
        handler.status == ModuleHandler::STATUS_LOADED || handler.status == ModuleHandler::STATUS_UNLOADED;
    if (!runnable || handler.taskEntry == nullptr) {
        LOG_INFO("handle stauts not running," + request.moduleName + ":" + request.version + ":" +
                 std::to_string(handler.status));
        statusCode = 500;
        return -1;
    }
    std::string json;
    if (!request.toJson(json)) {
        // Query keys that cannot form the module's JSON: the module is not called.
        LOG_INFO("request json fail," + request.moduleName + ":" + request.version + ":" + request.requestId);
        statusCode = 500;
        body.clear();
        return -1;
    }
    const char* out = handler.taskEntry(request.reqUrl.c_str(), request.method.c_str(), json.c_str());
    // The module owns the returned text; it is copied at once. No text is an empty body.
    body = out != nullptr ? out : "";
    return 0;
}

int32_t CModuleMgt::UnLoadModule(const ModulePojo& module) {
    // Stop taking requests first; those already accepted are still answered.
    ReqReceiverMgt::getInstance().SetNotReceiveNewRequest(module.Key());
    ReqReceiverMgt::getInstance().StopRequestReceiver(module.Key());
    SetModuleStatus(module, ModuleHandler::STATUS_UNLOADED);
    return 0;
}

void CModuleMgt::Stop() {
    ReqReceiverMgt& receivers = ReqReceiverMgt::getInstance();
    receivers.ForEach([](IRequestReceiver& r) { r.SetNotReceive(); });
    receivers.ForEach([](IRequestReceiver& r) { r.stop(); });
    IoContext().stop();
    {
        // Under the wait mutex, so the puller cannot miss the wake between its test and its wait.
        std::lock_guard<std::mutex> lock(threads->waitMutex);
        threads->waitCv.notify_all();
    }
    std::lock_guard<std::mutex> lock(threads->stopMutex);
    // The event loop ends first: a message it was still handling is queued before the dispatcher
    // is woken, so the dispatcher sends it before it ends instead of leaving it queued for ever.
    LOG_INFO("wait for pullGatewayReqTask quit");
    if (threads->pullGatewayReqTask.joinable()) {
        threads->pullGatewayReqTask.join();
    }
    ReqHandlerMgt::getInstance()->Wake();
    LOG_INFO("wait for reqHandlerTask quit");
    if (threads->reqHandlerTask.joinable()) {
        threads->reqHandlerTask.join();
    }
}

bool CModuleMgt::Stopped() {
    ReqHandlerMgt* handlers = ReqHandlerMgt::getInstance();
    return handlers->QueueEmpty() && handlers->InFlight() == 0;
}
