// The worker registry as module placement sees it: binding workers to connections, queueing
// modules for workers that have not connected yet, and notifying workers.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "model/ModulePojo.h"

class IProcessMgt {
public:
    // Handles one message line from the connection *fd; 0, or -1 for too few pieces.
    virtual int ParseProcessCmdAndAction(const int* fd, const std::string& line) = 0;
    // Binds worker pid (decimal text) to fd; true when that is a new binding.
    virtual bool RefreshSocket4Subprocess(int fd, const std::string& pid) = 0;
    // Sends the modules queued for worker pid as "addModule" lines and drops the queue.
    virtual void SendModuleToSubprocess(const std::string& pid) = 0;
    // Closes and forgets the connection of worker pid; always 0.
    virtual int RemoveSubprocess(const std::string& pid) = 0;
    // Queues modules for worker pid, to be sent when it shakes hands.
    virtual void AddPendingModules(int pid, const std::vector<ModulePojo>& modules) = 0;
    // Sends each worker with modules in the map one "ageingModule" line for its first module.
    virtual void SendAgeingToSubprocess(const std::map<int, std::vector<ModulePojo>>& ageing) = 0;
    virtual ~IProcessMgt() = default;
};
