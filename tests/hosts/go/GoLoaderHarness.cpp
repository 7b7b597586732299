#include "GoLoaderHarness.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace gotest {

std::string LoaderPath() { return std::string(VESSEL_BINARY_DIR) + "/peers/goloader/libgoloader.so"; }
std::string HelloLocation() { return std::string(VESSEL_BINARY_DIR) + "/examples/go-module/hello"; }
std::string GateLocation() { return std::string(VESSEL_BINARY_DIR) + "/tests/hosts/go/gate"; }

std::string MissingArtifacts() {
    std::string missing;
    for (const std::string& path : {LoaderPath(), HelloLocation() + "/hello.so", GateLocation() + "/gate.so"}) {
        if (access(path.c_str(), R_OK) != 0) missing += path + " ";
    }
    return missing;
}

bool PreloadLoader() {
    sigset_t set, old;
    sigemptyset(&set);
    for (int s : {SIGCHLD, SIGALRM, SIGIO, SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    void* handle = dlopen(LoaderPath().c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) fprintf(stderr, "preload: %s\n", dlerror());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return handle != nullptr;
}

std::string RequestJson(const std::string& url, const std::string& method, const std::string& body,
                        const std::string& queryJson, const std::string& headerJson) {
    return "{\"ReqUrl\":\"" + url + "\",\"Method\":\"" + method + "\",\"ReqBody\":\"" + body +
           "\",\"ReqQuery\":" + queryJson + ",\"Header\":" + headerJson + "}";
}

}  // namespace gotest
