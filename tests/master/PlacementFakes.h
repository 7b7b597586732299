// Recording stand-ins for the registry and the demand list, so placement decisions can be
// checked message by message.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/IIOHandler.h"
#include "master/IModuleNeedLoadMgt.h"
#include "master/IProcessMgt.h"

struct FakeRegistry : IProcessMgt, IIOHandler {
    std::vector<std::pair<std::string, std::string>> sent;  // pid text, line
    std::map<int, std::vector<ModulePojo>> pending;
    std::vector<std::string> removed;
    std::map<int, std::vector<ModulePojo>> ageingNotices;
    int sendResult = 0;

    int ParseProcessCmdAndAction(const int*, const std::string&) override { return 0; }
    bool RefreshSocket4Subprocess(int, const std::string&) override { return true; }
    void SendModuleToSubprocess(const std::string&) override {}
    int RemoveSubprocess(const std::string& pid) override {
        removed.push_back(pid);
        return 0;
    }
    void AddPendingModules(int pid, const std::vector<ModulePojo>& modules) override {
        auto& q = pending[pid];
        q.insert(q.end(), modules.begin(), modules.end());
    }
    void SendAgeingToSubprocess(const std::map<int, std::vector<ModulePojo>>& ageing) override {
        ageingNotices = ageing;
    }
    int DoAsyncRead(int, const std::string&) override { return 0; }
    int DoSyncWrite(const std::string& pid, const std::string& msg) override {
        sent.emplace_back(pid, msg);
        return sendResult;
    }
    std::vector<std::string> LinesTo(int pid) const {
        std::vector<std::string> lines;
        for (const auto& s : sent) {
            if (s.first == std::to_string(pid)) lines.push_back(s.second);
        }
        return lines;
    }
};

struct FakeNeedLoad : IModuleNeedLoadMgt {
    std::set<ModuleKey> needed;
    std::vector<ModuleKey> idle;
    std::vector<ModuleKey> removed;
    bool everything = true;  // every key is needed unless told otherwise

    int32_t GetModuleNeedLoadFrmGW() override { return 0; }
    void RemoveNeedLoad(const ModuleKey& key) override { removed.push_back(key); }
    bool IsNeedLoad(const ModuleKey& key) override { return everything || needed.count(key) != 0; }
    std::vector<ModuleKey> GetIdleModules(int32_t) override { return idle; }
    void ClearNonExistModule() override {}
};
