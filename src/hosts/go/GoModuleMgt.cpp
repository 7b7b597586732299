#include "hosts/go/GoModuleMgt.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <string>

#include "base/BatchScheduling.h"
#include "base/HandledSignalsBlocked.h"
#include "base/Log.h"
#include "base/PropertyLoader.h"
#include "proto/GatewayPath.h"

namespace {

constexpr const char* GOLOADER_LIBRARY = "libgoloader.so";

// Pull connections per module unless modulePullConnections says otherwise. More than a C
// module's 8: with more requests in the process, Go's scheduler finds several ready at once
// and wakes fewer threads per request (6-14 % more requests a second than with 8).
constexpr int32_t DEFAULT_PULL_CONNECTIONS = 16;

std::atomic<GoModuleMgt*> gInstance{nullptr};
std::mutex gCreateMutex;

// Loading the Go runtime and every Go call happen inside HandledSignalsBlocked: the runtime's
// threads take the loading thread's mask, so the worker's signals never land on a Go thread.

// A view of text as a Go string: exact byte length, no terminating NUL relied upon.
GoModuleMgt::GoString ToGoString(const std::string& text) {
    return GoModuleMgt::GoString{text.data(), static_cast<ptrdiff_t>(text.size())};
}

// A loader result as the worker's int32. A value beyond int32 would wrap, possibly to 0, and
// turn a failure into success; it becomes -1 instead.
int32_t ToResult(GoModuleMgt::GoInt r) {
    if (r < std::numeric_limits<int32_t>::min() || r > std::numeric_limits<int32_t>::max()) {
        return -1;
    }
    return static_cast<int32_t>(r);
}

// Why the loader refused a module, in words an operator can act on. The loader's own detail
// goes to the worker's standard error.
std::string LoadFailureText(GoModuleMgt::GoInt r, const std::string& location, const std::string& name) {
    const std::string plugin = location + "/" + name + ".so";
    switch (r) {
        case 1:
            return "the loader has no gateway address";
        case 2:
            return "the loader is stopping";
        case 3:
            if (access(plugin.c_str(), F_OK) != 0) {
                return "plugin " + plugin + " does not exist";
            }
            return "plugin " + plugin +
                   " cannot be opened (built by another Go toolchain or with other flags?)";
        case 4:
            return "plugin " + plugin + " exports no Handle of the expected type";
        case 5:
            return "empty module name";
        default:
            return "loader result " + std::to_string(r);
    }
}

}  // namespace

GoModuleMgt* GoModuleMgt::getInstance() {
    GoModuleMgt* instance = gInstance.load();
    if (instance != nullptr) {
        return instance;
    }
    std::lock_guard<std::mutex> lock(gCreateMutex);
    instance = gInstance.load();
    if (instance != nullptr) {
        return instance;
    }
    HandledSignalsBlocked blocked;
    // Go's scheduler wakes threads of its own for most requests (idle threads spinning up, the
    // netpoller, sysmon); under the normal policy they preempt the gateway's event loop.
    BatchScheduling::ApplyToProcess();
    instance = new GoModuleMgt();
    instance->dllHandle = dlopen(GOLOADER_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (instance->dllHandle == nullptr) {
        const char* err = dlerror();
        LOG_WARN(std::string("open goloader failed, dlerror:") + (err != nullptr ? err : ""));
        delete instance;
        return nullptr;
    }
    void* handle = instance->dllHandle;
    instance->startFunc = reinterpret_cast<StartFunc>(GetFuncSymbol(handle, "Start"));
    instance->loadModuleFunc = reinterpret_cast<LoadModuleFunc>(GetFuncSymbol(handle, "LoadModule"));
    instance->unloadModuleFunc = reinterpret_cast<UnloadModuleFunc>(GetFuncSymbol(handle, "UnloadModule"));
    instance->getLoadedModuleNumFunc =
        reinterpret_cast<GetLoadedModuleNumFunc>(GetFuncSymbol(handle, "GetLoadedModuleNum"));
    instance->stopFunc = reinterpret_cast<StopFunc>(GetFuncSymbol(handle, "Stop"));
    if (instance->startFunc == nullptr || instance->loadModuleFunc == nullptr ||
        instance->unloadModuleFunc == nullptr || instance->getLoadedModuleNumFunc == nullptr ||
        instance->stopFunc == nullptr) {
        delete instance;
        return nullptr;
    }
    // Optional: a loader without it opens one pull connection per module.
    instance->setPullConnectionsFunc =
        reinterpret_cast<SetPullConnectionsFunc>(dlsym(handle, "SetPullConnections"));
    // The loader keeps the gateway address; its result decides nothing here.
    instance->Start();
    gInstance.store(instance);
    return instance;
}

void GoModuleMgt::ResetForTest() {
    std::lock_guard<std::mutex> lock(gCreateMutex);
    delete gInstance.exchange(nullptr);
}

void* GoModuleMgt::GetFuncSymbol(void* handle, const char* name) {
    dlerror();  // a stale error must not be taken for this lookup's
    void* symbol = dlsym(handle, name);
    const char* err = dlerror();
    if (err != nullptr) {
        LOG_WARN(std::string("get function symbol failed, dlerror:") + name + ":" + err);
        return nullptr;
    }
    return symbol;
}

GoModuleMgt::~GoModuleMgt() {
    if (dllHandle != nullptr) {
        int rc = dlclose(dllHandle);
        if (rc != 0) {
            LOG_ERROR_CODE(rc, "close dll failed");
        }
    }
}

int32_t GoModuleMgt::Start() {
    const std::string address = GetGatewayPath();
    LOG_INFO("[GoModuleMgt::Start]: begin, udsAddress " + address);
    GoString goAddress = ToGoString(address);
    LOG_INFO("[GoModuleMgt::Start]: begin, udsAddress.n: udsAddress.p " + std::to_string(goAddress.n) + ":" +
             address);
    GoInt r;
    {
        HandledSignalsBlocked blocked;
        r = startFunc(goAddress);
    }
    LOG_INFO("[GoModuleMgt::Start]: result" + std::to_string(r));
    return ToResult(r);
}

int32_t GoModuleMgt::LoadModule(const ModulePojo& module) {
    LOG_INFO("LoadModule " + module.GetName() + ":" + module.GetVersion());
    const std::string name = module.GetName();
    const std::string version = module.GetVersion();
    const std::string location = module.GetLocation();
    GoString goName = ToGoString(name);
    LOG_INFO("LoadModule, name.n:" + std::to_string(goName.n) + ", name.p:" + name);
    GoString goVersion = ToGoString(version);
    LOG_INFO("LoadModule, version.n\xEF\xBC\x9A" + std::to_string(goVersion.n) + ", version.p:" + version);
    GoString goLocation = ToGoString(location);
    LOG_INFO("LoadModule, loaction.n:" + std::to_string(goLocation.n) + ", loaction.p:" + location);
    GoInt r;
    {
        HandledSignalsBlocked blocked;
        if (setPullConnectionsFunc != nullptr) {
            (void)setPullConnectionsFunc(ModulePullConnections(DEFAULT_PULL_CONNECTIONS));
        }
        r = loadModuleFunc(goName, goVersion, goLocation);
    }
    LOG_INFO("[GoModuleMgt::LoadModule]: result" + std::to_string(r));
    if (r != 0) {
        LOG_WARN("go module " + name + ":" + version + " not loaded: " + LoadFailureText(r, location, name));
    }
    return ToResult(r);
}

int32_t GoModuleMgt::UnLoadModule(const ModulePojo& module) {
    LOG_INFO("[GoModuleMgt::UnLoadModule]: begin " + module.GetName() + ":" + module.GetVersion());
    const std::string name = module.GetName();
    GoInt r;
    {
        HandledSignalsBlocked blocked;
        r = unloadModuleFunc(ToGoString(name));
    }
    LOG_INFO("[GoModuleMgt::UnLoadModule]: result " + std::to_string(r));
    // The loader's verdict is only logged: the module is no longer served either way.
    return 0;
}

void GoModuleMgt::Stop() {
    GoInt r;
    {
        HandledSignalsBlocked blocked;
        r = stopFunc();
    }
    LOG_INFO("[GoModuleMgt::Stop]: result " + std::to_string(r));
}

bool GoModuleMgt::Stopped() {
    GoInt n;
    {
        HandledSignalsBlocked blocked;
        n = getLoadedModuleNumFunc();
    }
    LOG_INFO("module not stopped num:" + std::to_string(n));
    return n == 0;
}
