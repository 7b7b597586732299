#include "support/VesselStack.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "support/LogLines.h"

namespace {

const std::string MODULES = std::string(VESSEL_BINARY_DIR) + "/examples/c-modules";
const std::string VESSEL = std::string(VESSEL_BINARY_DIR) + "/vessel";

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// State, parent and process group of a process from /proc/<pid>/stat; false when it is gone.
bool ReadStat(pid_t pid, char& state, pid_t& ppid, pid_t& pgrp) {
    std::string text = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = text.rfind(')');
    int parent = 0;
    int group = 0;
    if (close == std::string::npos ||
        sscanf(text.c_str() + close + 1, " %c %d %d", &state, &parent, &group) != 3) {
        return false;
    }
    ppid = parent;
    pgrp = group;
    return true;
}

// Living (not zombie) processes for which pick(ppid, pgrp) holds, lowest pid first.
template <typename Pick>
std::vector<pid_t> Processes(Pick pick) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (struct dirent* entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        char state = 0;
        pid_t ppid = 0;
        pid_t pgrp = 0;
        if (pid > 0 && ReadStat(pid, state, ppid, pgrp) && state != 'Z' && state != 'X' && pick(ppid, pgrp)) {
            found.push_back(pid);
        }
    }
    closedir(proc);
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

VesselStack::~VesselStack() {
    Stop();
}

bool VesselStack::Built(const std::vector<std::string>& modules) {
    // A missing piece fails the test: a skipped story once hid that no story ran at all.
    std::vector<std::string> needed{VESSEL, GatewayProcess::BinaryPath()};
    for (const auto& name : modules) needed.push_back(MODULES + "/" + name + "/lib" + name + ".so");
    for (const auto& path : needed) {
        if (!Exists(path)) {
            ADD_FAILURE() << path << " is not built";
            return false;
        }
    }
    return true;
}

bool VesselStack::Start(const Options& options) {
    mkdir((home_ / "conf").c_str(), 0755);
    mkdir((home_ / "logs").c_str(), 0755);
    testsupport::WriteFile(home_ / "conf/container.json",
                           "{\"maxModulePerSubprocess\":" + std::to_string(options.maxModulePerSubprocess) +
                               ",\"moduleRequestTimeout\":" + std::to_string(options.moduleRequestTimeout) +
                               "}");
    testsupport::WriteImmediateLogConfig(home_.path(), 3);
    std::string config = options.appConfig;
    if (config.empty()) {
        std::vector<std::string> entries;
        for (const auto& name : options.modules) {
            entries.push_back(ModuleEntry(name, "1.0", CModuleDir(name), "C_MODULE"));
        }
        config = AppConfig(entries);
    }
    if (!gateway_.Start(config, options.gatewayArgs)) return false;
    std::map<std::string, std::string> env{
        {"APP_NAME", gateway_.AppName()}, {"VESSEL_HOME", home_.path()}, {"_APP_LOG_DIR", home_ / "logs"}};
    env.insert(options.env.begin(), options.env.end());
    if (!master_.Exec({VESSEL}, env, home_ / "vessel.out")) return false;
    masterPid_ = master_.Pid();
    return master_.Running();
}

void VesselStack::Stop() {
    if (masterPid_ > 0) {
        if (master_.Running()) {
            master_.Kill(SIGKILL);
            master_.Wait(std::chrono::seconds(10));
        }
        kill(-masterPid_, SIGKILL);  // workers left behind, whatever the test did
        masterPid_ = -1;
    }
    gateway_.Stop();
}

void VesselStack::SetAppConfig(const std::string& json) {
    // Written aside and renamed, so the gateway never reads half a file.
    const std::string path = gateway_.ConfigPath();
    testsupport::WriteFile(path + ".new", json);
    rename((path + ".new").c_str(), path.c_str());
}

std::string VesselStack::ModuleEntry(const std::string& name, const std::string& version,
                                     const std::string& location, const std::string& type,
                                     const std::string& vmArgs) {
    std::string entry = "{\"Name\":\"" + name + "\",\"Version\":\"" + version + "\",\"Location\":\"" +
                        location + "\",\"Type\":\"" + type + "\"";
    if (!vmArgs.empty()) entry += ",\"VmArgs\":\"" + vmArgs + "\"";
    return entry + "}";
}

std::string VesselStack::AppConfig(const std::vector<std::string>& entries) {
    std::string config = "{\"Modules\":[";
    for (size_t i = 0; i < entries.size(); ++i) config += (i ? "," : "") + entries[i];
    return config + "]}";
}

std::string VesselStack::CModuleDir(const std::string& name) {
    return MODULES + "/" + name;
}

std::vector<pid_t> VesselStack::Workers() const {
    return ChildrenOf(masterPid_);
}

std::vector<pid_t> VesselStack::ChildrenOf(pid_t parent) {
    return Processes([parent](pid_t ppid, pid_t) { return ppid == parent; });
}

std::vector<pid_t> VesselStack::GroupMembers(pid_t pgid) {
    return Processes([pgid](pid_t, pid_t pgrp) { return pgrp == pgid; });
}

bool VesselStack::Alive(pid_t pid) {
    char state = 0;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    return ReadStat(pid, state, ppid, pgrp) && state != 'Z' && state != 'X';
}

std::string VesselStack::MasterLog() const {
    return testsupport::ReadLogs(home_ / "logs", "Vessel");
}

std::string VesselStack::WorkerLog() const {
    return testsupport::ReadLogs(home_ / "logs", "sub_Vessel");
}

std::string VesselStack::AllLogs() const {
    // Under load the logs are long; the end of each tells what went wrong.
    auto tail = [](const std::string& text) {
        std::vector<std::string> lines = testsupport::SplitLines(text);
        const size_t keep = 150;
        std::string out =
            lines.size() > keep ? "[... " + std::to_string(lines.size() - keep) + " lines]\n" : "";
        for (size_t i = lines.size() > keep ? lines.size() - keep : 0; i < lines.size(); ++i) {
            out += lines[i] + "\n";
        }
        return out;
    };
    std::string all = "---- gateway\n" + tail(gateway_.Log()) + "---- vessel stdout\n" +
                      tail(testsupport::ReadFile(home_ / "vessel.out"));
    for (const std::string& name : testsupport::ListDir(home_ / "logs")) {
        all += "---- " + name + "\n" + tail(testsupport::ReadFile(home_ / ("logs/" + name)));
    }
    return all;
}
