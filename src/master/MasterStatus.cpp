#include "master/MasterStatus.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "master/WarrenProcess.h"

namespace {

// Room kept for what closes the line after the last entry that fits.
constexpr size_t kClosingReserve = 64;

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// A number, or null where the master does not know it (the marker value).
std::string NumberOrNull(long long value, long long unknown) {
    return value == unknown ? "null" : std::to_string(value);
}

std::string WorkerJson(const MasterStatus::Worker& w) {
    std::string out = "{\"pid\":" + std::to_string(w.pid) + ",\"kind\":";
    AppendJsonString(out, w.kind);
    out += ",\"modules\":[";
    for (size_t i = 0; i < w.modules.size(); ++i) {
        if (i != 0) out += ',';
        AppendJsonString(out, w.modules[i].ToString());
    }
    out += "],\"started\":" + NumberOrNull(w.started, 0) + ",\"rssKb\":" + NumberOrNull(w.rssKb, -1) +
           ",\"exiting\":" + (w.exiting ? "true" : "false") + "}";
    return out;
}

std::string ModuleJson(const MasterStatus::Module& m) {
    std::string out = "{\"name\":";
    AppendJsonString(out, m.key.GetName());
    out += ",\"version\":";
    AppendJsonString(out, m.key.GetVersion());
    out += ",\"worker\":" + NumberOrNull(m.worker, 0) + ",\"state\":";
    AppendJsonString(out, m.state);
    out += ",\"lastDemand\":" + NumberOrNull(m.lastDemand, 0) + "}";
    return out;
}

// Appends the entries that fit below budget; false when one did not (the rest are left out too).
template <typename T, typename ToJson>
bool AppendList(std::string& out, const std::vector<T>& items, ToJson toJson, size_t budget) {
    for (size_t i = 0; i < items.size(); ++i) {
        std::string entry = toJson(items[i]);
        if (out.size() + entry.size() + 1 > budget) return false;
        if (i != 0) out += ',';
        out += entry;
    }
    return true;
}

}  // namespace

MasterStatus::Worker& MasterStatus::WorkerOf(pid_t pid) {
    auto it = std::lower_bound(workers.begin(), workers.end(), pid,
                               [](const Worker& w, pid_t p) { return w.pid < p; });
    if (it == workers.end() || it->pid != pid) {
        it = workers.insert(it, Worker());
        it->pid = pid;
    }
    return *it;
}

void MasterStatus::AddProcessTable() {
    {
        std::lock_guard<std::mutex> lock(ProcessTableLock());
        for (int i = 0; i < gLastProcess; ++i) {
            const ProcessSlot& slot = gProcesses[i];
            if (slot.pid <= 0 || slot.exited) continue;
            Worker& w = WorkerOf(slot.pid);
            w.started = slot.started;
            w.exiting = slot.exiting;
        }
    }
    masterPid = getpid();
    masterRssKb = ReadRssKb(masterPid);
    for (Worker& w : workers) w.rssKb = ReadRssKb(w.pid);
}

std::string MasterStatus::ToJson(size_t maxBytes) const {
    const size_t budget = maxBytes > kClosingReserve ? maxBytes - kClosingReserve : 0;
    std::string out = "{\"master\":{\"pid\":" + std::to_string(masterPid) +
                      ",\"rssKb\":" + NumberOrNull(masterRssKb, -1) + "},\"workers\":[";
    bool whole = AppendList(out, workers, WorkerJson, budget);
    out += "],\"modules\":[";
    whole = AppendList(out, modules, ModuleJson, budget) && whole;
    out += std::string("],\"truncated\":") + (whole ? "false" : "true") + "}";
    return out;
}

std::string MasterStatus::KindOfType(const std::string& type) {
    if (type == "C_MODULE") return "C";
    if (type == "TOMCAT") return "Java";
    if (type == "GO") return "Go";
    return type;
}

long MasterStatus::ReadRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;  // gone, or a zombie (which has no memory of its own left)
}
