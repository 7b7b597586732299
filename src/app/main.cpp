// Vessel entry point: without arguments the master; with them, an operator command.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/CommandLine.h"
#include "app/HostKinds.h"
#include "app/StatusCommand.h"
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

// Exit codes: 0 done, 1 the command failed, 2 the command line is wrong.
int RunCommand(int argc, char** argv) {
    CommandLine cmd = CommandLine::Parse(argc, argv);
    switch (cmd.action) {
        case CommandLine::Action::Help:
            std::cout << CommandLine::Usage();
            return 0;
        case CommandLine::Action::Version:
            std::cout << "vessel " << VESSEL_VERSION << "\n";
            return 0;
        case CommandLine::Action::Status:
            return StatusCommand::Run(cmd.json, std::cout, std::cerr);
        case CommandLine::Action::Error:
        case CommandLine::Action::Master:
            break;
    }
    std::cerr << "vessel: " << cmd.error << "\nTry 'vessel --help'.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        return RunCommand(argc, argv);
    }
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
