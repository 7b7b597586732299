// Placement stand-in for the channel registry and the demand list: records the reports it gets.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "master/IModuleMgtForMaster.h"

struct FakePlacement : IModuleMgtForMaster {
    std::vector<ModuleKey> loaded;
    int GetModuleFrmGateway() override { return 0; }
    int CheckAndAddModule(const ModuleKey&) override { return 0; }
    int UnloadModule(const int* pid, const std::string& key) override { return Record("unload", *pid, key); }
    int ModuleLoaded(const int* pid, const std::string& key) override { return Record("loaded", *pid, key); }
    int SpawnByOldProcess(const int* pid) override { return Record("spawn", *pid, ""); }
    void CheckModuleAgeing(int) override {}
    std::vector<ModuleKey> GetLoadedModules() override { return loaded; }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
    int Record(const std::string& what, int pid, const std::string& key) {
        std::lock_guard<std::mutex> lock(mu);
        calls.push_back(what + ":" + std::to_string(pid) + (key.empty() ? "" : ":" + key));
        return 0;
    }
    std::mutex mu;
    std::vector<std::string> calls;
};
