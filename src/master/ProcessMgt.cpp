#include "master/ProcessMgt.h"

#include <cerrno>
#include <cstdlib>

#include "base/CommonUtil.h"
#include "base/Log.h"
#include "master/MasterStatus.h"
#include "proto/GatewayPath.h"
#include "proto/PipeCmdPojo.h"

ProcessMgt::~ProcessMgt() {
    if (serverThread.joinable()) {
        udsServer.Stop();
        serverThread.join();
    }
}

int ProcessMgt::Init(IModuleMgtForMaster* mgt) {
    moduleMgt = mgt;
    udsServer.SetHandler(this);
    int rc = udsServer.BindAndListen(GetMasterChannelPath());
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "BindAndListen fail.");
        return rc;
    }
    serverThread = std::thread(&UDSServer::RunEventLoop, &udsServer);
    return 0;
}

int ProcessMgt::DoAsyncRead(int fd, const std::string& data) {
    if (data.empty()) {
        return 0;
    }
    std::vector<std::string> lines;
    Split(data, lines, '\n');
    int result = 0;
    for (const std::string& line : lines) {
        int rc = ParseProcessCmdAndAction(&fd, line);
        if (rc != 0) {
            LOG_INFO("ParseProcessCmdAndAction fail," + line + "," + std::to_string(rc));
            result = rc;
        }
    }
    return result;
}

int ProcessMgt::ParseProcessCmdAndAction(const int* fd, const std::string& line) {
    LOG_INFO("subprocess cmd " + line);
    if (line.empty() || fd == nullptr) {
        return 0;
    }
    std::vector<std::string> pieces;
    Split(line, pieces, '#');
    const std::string& name = pieces[0];
    if (name == "shakehand") {
        return HandleShakeHand(*fd, pieces, line);
    }
    if (name == "ageing") {
        return HandleAgeing(*fd, pieces, line);
    }
    if (name == "unloadModule") {
        return HandleModuleReport(*fd, pieces, line, &IModuleMgtForMaster::UnloadModule);
    }
    if (name == "loadedModule") {
        return HandleModuleReport(*fd, pieces, line, &IModuleMgtForMaster::ModuleLoaded);
    }
    if (name == "status") {
        return HandleStatus(*fd, pieces, line);
    }
    LOG_INFO("unknown cmd, ParseContent:" + line);
    return 0;
}

bool ProcessMgt::IsPeerPid(int fd, const std::string& pidText, const std::string& line) {
    // A worker may speak only for itself: the pid it names must be the one the kernel reports
    // for its end of the socket, in plain decimal, or it could steal another worker's commands.
    pid_t peer = udsServer.PeerPid(fd);
    if (peer > 0 && pidText == std::to_string(peer)) {
        return true;
    }
    LOG_INFO("pid mismatch, peer pid:" + std::to_string(peer) + ", fd:" + std::to_string(fd) +
             ", line:" + line);
    return false;
}

int ProcessMgt::HandleShakeHand(int fd, const std::vector<std::string>& pieces, const std::string& line) {
    if (pieces.size() < 2) {
        LOG_INFO(pieces[0] + " param error");
        return -1;
    }
    const std::string& pid = pieces[1];
    if (!IsPeerPid(fd, pid, line)) {
        return 0;
    }
    // Binding and sending the queue under one hold, so a command placement sends meanwhile
    // cannot overtake the queued modules.
    std::lock_guard<std::mutex> lock(mutex);
    if (!RefreshSocket4SubprocessUnlock(fd, pid)) {
        LOG_INFO("fd not exist for process " + pid);
        return 0;
    }
    SendModuleToSubprocessUnlock(pid);
    return 0;
}

int ProcessMgt::HandleAgeing(int fd, const std::vector<std::string>& pieces, const std::string& line) {
    if (pieces.size() < 2) {
        LOG_INFO(pieces[0] + " param error");
        return -1;
    }
    if (!IsPeerPid(fd, pieces[1], line)) {
        return 0;
    }
    int pid = static_cast<int>(strtol(pieces[1].c_str(), nullptr, 10));
    if (moduleMgt == nullptr) {
        return 0;
    }
    // Called without mutex: placement takes its own lock and then ours.
    int rc = moduleMgt->SpawnByOldProcess(&pid);
    if (rc != 0) {
        LOG_INFO("SpawnByOldProcess fail, " + std::to_string(rc));
    }
    return 0;
}

int ProcessMgt::HandleModuleReport(int fd, const std::vector<std::string>& pieces, const std::string& line,
                                   ModuleReport report) {
    if (pieces.size() < 3) {
        LOG_INFO(pieces[0] + " param error");
        return -1;
    }
    if (!IsPeerPid(fd, pieces[1], line)) {
        return 0;
    }
    int pid = static_cast<int>(strtol(pieces[1].c_str(), nullptr, 10));
    if (moduleMgt != nullptr) {
        (moduleMgt->*report)(&pid, pieces[2]);
    }
    return 0;
}

int ProcessMgt::HandleStatus(int fd, const std::vector<std::string>& pieces, const std::string& line) {
    if (pieces.size() != 2) {
        LOG_INFO(pieces[0] + " param error");
        return -1;
    }
    if (!IsPeerPid(fd, pieces[1], line)) {
        return 0;
    }
    MasterStatus status;
    // Placement's lock is taken and released before ours (placement, then registry).
    if (moduleMgt != nullptr) moduleMgt->GetStatus(status);
    status.AddProcessTable();
    std::lock_guard<std::mutex> lock(mutex);
    for (MasterStatus::Module& m : status.modules) {
        if (m.state == "loading" && pendingModules.count(m.worker) != 0) m.state = "queued";
    }
    int rc = udsServer.SendMsg(&fd, status.ToJson(UDSServer::kMaxSendLen - 2) + "\n", false);
    if (rc != 0) {
        LOG_INFO("status answer not sent, fd:" + std::to_string(fd) + ", " + std::to_string(rc));
    }
    return 0;
}

bool ProcessMgt::RefreshSocket4Subprocess(int fd, const std::string& pid) {
    std::lock_guard<std::mutex> lock(mutex);
    return RefreshSocket4SubprocessUnlock(fd, pid);
}

bool ProcessMgt::RefreshSocket4SubprocessUnlock(int fd, const std::string& pid) {
    auto it = pidToFd.find(pid);
    if (it == pidToFd.end()) {
        if (fd == -1) {
            LOG_INFO("fd not exist for " + pid);
            return false;
        }
        pidToFd[pid] = fd;
        LOG_INFO("new iterm:" + pid + "->" + std::to_string(fd));
        return true;
    }
    if (fd == -1 || it->second == fd) {
        return false;
    }
    // The old connection is closed by the channel thread; its OnClose no longer finds this pid.
    if (it->second != kClosedFd) {
        udsServer.CloseClient(it->second);
    }
    it->second = fd;
    return true;
}

void ProcessMgt::SendModuleToSubprocess(const std::string& pid) {
    std::lock_guard<std::mutex> lock(mutex);
    SendModuleToSubprocessUnlock(pid);
}

void ProcessMgt::SendModuleToSubprocessUnlock(const std::string& pid) {
    int pidNum = static_cast<int>(strtol(pid.c_str(), nullptr, 10));
    auto it = pendingModules.find(pidNum);
    if (it == pendingModules.end()) {
        LOG_INFO("fail to add module," + pid);
        return;
    }
    std::vector<ModulePojo> modules = std::move(it->second);
    pendingModules.erase(it);
    for (const ModulePojo& module : modules) {
        int rc = DoSyncWriteUnlock(pid, PipeCmdPojo::BuildAddModule(module));
        if (rc != 0) {
            LOG_INFO("addModule fail, pid:" + pid + " module:" + module.GetName() + ":" +
                     module.GetVersion());
        }
    }
    auto cmds = pendingCmds.find(pidNum);
    if (cmds != pendingCmds.end()) {
        std::vector<std::string> lines = std::move(cmds->second);
        pendingCmds.erase(cmds);
        for (const std::string& line : lines) DoSyncWriteUnlock(pid, line);
    }
}

int ProcessMgt::RemoveSubprocess(const std::string& pid) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = pidToFd.find(pid);
    if (it != pidToFd.end()) {
        if (it->second != kClosedFd) {
            udsServer.CloseClient(it->second);
        }
        pidToFd.erase(it);
    }
    // Whatever still waited for its handshake goes with it.
    int pidNum = static_cast<int>(strtol(pid.c_str(), nullptr, 10));
    pendingModules.erase(pidNum);
    pendingCmds.erase(pidNum);
    return 0;
}

void ProcessMgt::AddPendingModules(int pid, const std::vector<ModulePojo>& modules) {
    std::lock_guard<std::mutex> lock(mutex);
    std::string pidText = std::to_string(pid);
    auto it = pidToFd.find(pidText);
    if (it != pidToFd.end() && it->second != kClosedFd) {
        // The worker shook hands before placement got here: nothing would send the queue later.
        for (const ModulePojo& module : modules)
            DoSyncWriteUnlock(pidText, PipeCmdPojo::BuildAddModule(module));
        return;
    }
    std::vector<ModulePojo>& queued = pendingModules[pid];
    queued.insert(queued.end(), modules.begin(), modules.end());
}

void ProcessMgt::SendAgeingToSubprocess(const std::map<int, std::vector<ModulePojo>>& ageing) {
    for (const auto& entry : ageing) {
        if (entry.second.empty()) {
            continue;
        }
        DoSyncWrite(std::to_string(entry.first), PipeCmdPojo::BuildAgeingModule(entry.second.front()));
    }
}

int ProcessMgt::DoSyncWrite(const std::string& pid, const std::string& msg) {
    std::lock_guard<std::mutex> lock(mutex);
    return DoSyncWriteUnlock(pid, msg);
}

int ProcessMgt::DoSyncWriteUnlock(const std::string& pid, const std::string& msg) {
    auto it = pidToFd.find(pid);
    if (it == pidToFd.end()) {
        int pidNum = static_cast<int>(strtol(pid.c_str(), nullptr, 10));
        if (pendingModules.count(pidNum) != 0) {
            LOG_INFO("queued until handshake, pid:" + pid + ", cmd:" + msg.substr(0, msg.find('#')));
            pendingCmds[pidNum].push_back(msg);
            return 0;
        }
        LOG_INFO("not find process " + pid);
        return 0;
    }
    int fd = it->second;
    if (fd == kClosedFd) {
        // The worker's connection is gone: report the send as failed, not as delivered.
        LOG_ERROR_CODE(EPIPE, "write fail.");
        return EPIPE;
    }
    int rc = udsServer.SendMsg(&fd, msg);
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "write fail.");
    }
    return rc;
}

void ProcessMgt::OnClose(int fd) {
    // The worker stays known (its next handshake or its removal settles it), but the descriptor
    // number is about to be reused and must not be written to again.
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : pidToFd) {
        if (entry.second == fd) {
            LOG_INFO("connection closed, pid:" + entry.first + ", fd:" + std::to_string(fd));
            entry.second = kClosedFd;
        }
    }
}
