// Vessel master entry point. No command line is read.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "app/HostKinds.h"
#include "base/LogMgr.h"
#include "master/MasterProcessCycle.h"
#include "master/WarrenProcess.h"
#include "worker/WorkerProcessCycle.h"

namespace {

// Sockets must never land on 0-2: a stray printf would then write into a worker's channel.
void EnsureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int nullFd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (nullFd != -1 && nullFd != fd) {
                dup2(nullFd, fd);
                close(nullFd);
            }
        }
    }
}

}  // namespace

int main() {
    EnsureStandardDescriptors();
    printf("Vessel Start\n");
    fflush(stdout);
    LogMgr::InitLogFile("Vessel");
    if (warrenInitSignals() != 0) {
        LogMgr::CloseLogFile();
        return 1;
    }
    RegisterHostKinds();
    warrenSetWorkerCycle(warrenWorkerProcessCycle);
    warrenMasterProcessCycle();
    return 0;
}
