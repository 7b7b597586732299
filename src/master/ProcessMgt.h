// The master's registry of worker connections: binds each worker's pid to the connection it
// shook hands on, queues modules for workers that have not connected yet, dispatches what
// workers say, and sends commands to a worker by pid. Owns the channel server and its thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/IIOHandler.h"
#include "master/IModuleMgtForMaster.h"
#include "master/IProcessMgt.h"
#include "net/UDSServer.h"

// Lock: mutex guards pendingModules, pendingCmds, pidToFd and every send. Lock order: placement's lock
// (ModuleMgt), then mutex, then the channel server's own lock. The channel thread holds mutex
// only for one registry operation and releases it before calling into moduleMgt.
class ProcessMgt : public IProcessMgt, public IIOHandler {
public:
    ProcessMgt() = default;
    // Stops and joins the channel thread if it runs (the master never destroys a running one).
    ~ProcessMgt() override;
    ProcessMgt(const ProcessMgt&) = delete;
    ProcessMgt& operator=(const ProcessMgt&) = delete;

    // Binds the channel socket and starts the channel thread; 0 or the bind error.
    int Init(IModuleMgtForMaster* mgt);

    int ParseProcessCmdAndAction(const int* fd, const std::string& line) override;
    bool RefreshSocket4Subprocess(int fd, const std::string& pid) override;
    void SendModuleToSubprocess(const std::string& pid) override;
    int RemoveSubprocess(const std::string& pid) override;
    void AddPendingModules(int pid, const std::vector<ModulePojo>& modules) override;
    void SendAgeingToSubprocess(const std::map<int, std::vector<ModulePojo>>& ageing) override;

    int DoAsyncRead(int fd, const std::string& data) override;
    int DoSyncWrite(const std::string& pid, const std::string& msg) override;
    void OnClose(int fd) override;
    // DoSyncWrite for a caller that already holds mutex.
    int DoSyncWriteUnlock(const std::string& pid, const std::string& msg);

private:
    // pidToFd value of a worker whose connection the channel thread has closed.
    static constexpr int kClosedFd = -1;

    bool RefreshSocket4SubprocessUnlock(int fd, const std::string& pid);
    void SendModuleToSubprocessUnlock(const std::string& pid);
    // True when pidText is exactly the pid of the process on the other end of fd.
    bool IsPeerPid(int fd, const std::string& pidText, const std::string& line);
    int HandleShakeHand(int fd, const std::vector<std::string>& pieces, const std::string& line);
    int HandleAgeing(int fd, const std::vector<std::string>& pieces, const std::string& line);
    // "status" "#" pid, from a client of our user speaking for itself: answered on its connection
    // with one line of JSON (MasterStatus), within the channel's line limit.
    int HandleStatus(int fd, const std::vector<std::string>& pieces, const std::string& line);
    // "unloadModule" or "loadedModule": pid "#" name "|" version, passed on to placement.
    using ModuleReport = int (IModuleMgtForMaster::*)(const int*, const std::string&);
    int HandleModuleReport(int fd, const std::vector<std::string>& pieces, const std::string& line,
                           ModuleReport report);

    UDSServer udsServer;
    std::thread serverThread;
    std::map<int, std::vector<ModulePojo>> pendingModules;
    // Commands for a spawned worker that has not shaken hands yet, sent right after its queued
    // modules: a command placement sends in that window is not lost.
    std::map<int, std::vector<std::string>> pendingCmds;
    std::map<std::string, int> pidToFd;
    IModuleMgtForMaster* moduleMgt = nullptr;
    std::mutex mutex;
};
