// What the master runs and where, as a "status" request on the channel is answered: the workers
// (from the process table and placement) and the modules (placed or only configured), gathered
// from the master's tables at answer time and written as one line of JSON.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "model/ModuleKey.h"

class MasterStatus {
public:
    struct Worker {
        pid_t pid = -1;
        std::string kind;                // "C", "Java", "Go", another type as it is, "" unknown
        std::vector<ModuleKey> modules;  // placed there, in placement order
        time_t started = 0;              // 0: not in the process table
        long rssKb = -1;                 // -1: not readable (the process is gone)
        bool exiting = false;            // told to quit
    };
    struct Module {
        ModuleKey key;
        pid_t worker = 0;  // 0: placed nowhere
        // "queued" (its worker has not shaken hands yet), "loading" (sent, no report yet),
        // "loaded", "ageing", or, placed nowhere, "configured" or "failed" (its last load failed).
        std::string state;
        time_t lastDemand = 0;  // 0: never demanded since it was last placed
    };

    pid_t masterPid = -1;
    long masterRssKb = -1;
    std::vector<Worker> workers;
    std::vector<Module> modules;

    // The worker with pid, added (in ascending pid order) when missing.
    Worker& WorkerOf(pid_t pid);
    // Fills start times and the exiting bit from the process table, adding the living workers
    // placement no longer knows (a retired worker still draining), then every resident size.
    void AddProcessTable();

    // One line, without its line feed, of at most maxBytes bytes: entries that do not fit are
    // left out and "truncated" says so.
    std::string ToJson(size_t maxBytes) const;

    // "C_MODULE" -> "C", "TOMCAT" -> "Java", "GO" -> "Go"; other types as they are.
    static std::string KindOfType(const std::string& type);
    // VmRSS of /proc/<pid>/status in kB, or -1.
    static long ReadRssKb(pid_t pid);
};
