// The managers the master owns for its whole life, created and linked at start-up in a fixed
// order, and the threads that drive them. Never destroyed: the master ends with exit().
#pragma once

#include <memory>
#include <thread>

class ModuleNeedLoadMgt;
class ModuleMgt;
class ProcessMgt;
class ModuleLifeChecker;

class MasterComponents {
public:
    static MasterComponents& Instance();

    // Constructs and links the managers, opens the worker channel, starts the gateway pollers
    // and the I/O thread, and arms the life checker. Ends the process with status 1 when the
    // channel cannot be opened.
    void Start();

    // Called by the cycle after a SIGCHLD: forget workers that no longer exist, and the demands
    // for modules no worker hosts any more.
    void OnWorkersReaped();

    ModuleMgt* GetModuleMgt() { return moduleMgt.get(); }
    ProcessMgt* GetProcessMgt() { return processMgt.get(); }

private:
    MasterComponents() = default;

    std::unique_ptr<ModuleNeedLoadMgt> needLoad;
    std::unique_ptr<ModuleMgt> moduleMgt;
    std::unique_ptr<ProcessMgt> processMgt;
    std::unique_ptr<ModuleLifeChecker> lifeChecker;
    std::thread configPoller;  // A
    std::thread demandPoller;  // B
    std::thread ioThread;      // C
};
