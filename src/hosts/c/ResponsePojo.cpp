#include "hosts/c/ResponsePojo.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "proto/GatewayProtocol.h"

namespace {

// getpid() is a system call, and every response names the process; a forked child refreshes it.
std::atomic<pid_t> gPid{0};
void RefreshPidAfterFork() {
    gPid.store(getpid(), std::memory_order_relaxed);
}
const int kForkHandler = pthread_atfork(nullptr, nullptr, RefreshPidAfterFork);

pid_t CachedPid() {
    pid_t pid = gPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        (void)kForkHandler;
        pid = getpid();
        gPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

std::vector<std::string> BuildResponseReq(const ResponsePojo& response) {
    return BuildResponseReq(response, CachedPid());
}

std::vector<std::string> BuildResponseReq(const ResponsePojo& response, pid_t pid) {
    std::vector<std::string> parts =
        BuildResponseReqParts(ClientId(response.moduleName, response.version, pid), response.requestId,
                              response.statusCode, response.body);
    parts.back() = response.reserved;
    return parts;
}
