// The whole stack for fault tests: the real vessel-gateway in front of the real vessel binary
// with sample C modules, in a home of its own (settings, logs) under a temporary directory, and
// ways to look at the processes it runs.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/GatewayProcess.h"
#include "support/TestSupport.h"

class VesselStack {
public:
    struct Options {
        std::vector<std::string> modules{"calc"};  // sample C modules the gateway configures
        // The gateway's application configuration instead, when not empty (see ModuleEntry).
        std::string appConfig;
        std::map<std::string, std::string> env;  // more environment for vessel
        int maxModulePerSubprocess = 10;
        int moduleRequestTimeout = 300;  // seconds a quitting worker may take to drain
        std::vector<std::string> gatewayArgs;
    };

    VesselStack() = default;
    ~VesselStack();  // Stop()
    VesselStack(const VesselStack&) = delete;
    VesselStack& operator=(const VesselStack&) = delete;

    // True when the sample modules and both binaries are built; else the test fails.
    static bool Built(const std::vector<std::string>& modules);
    // Starts the gateway, then Vessel. False when either does not come up.
    bool Start(const Options& options);
    // Ends whatever still runs, by pid: Vessel (SIGKILL to its process group) and the gateway.
    void Stop();
    // Replaces the gateway's application configuration, as an operator edits the file.
    void SetAppConfig(const std::string& json);
    // One module of an application configuration, and the configuration of a list of them.
    static std::string ModuleEntry(const std::string& name, const std::string& version,
                                   const std::string& location, const std::string& type,
                                   const std::string& vmArgs = "");
    static std::string AppConfig(const std::vector<std::string>& entries);
    // Where the sample C modules are built.
    static std::string CModuleDir(const std::string& name);
    const std::string& Home() const { return home_.path(); }

    GatewayProcess& Gateway() { return gateway_; }
    testsupport::ChildProcess& Master() { return master_; }
    pid_t MasterPid() const { return masterPid_; }

    // The master's living children (its workers), lowest pid first.
    std::vector<pid_t> Workers() const;
    // Living (not zombie) children of parent, lowest pid first.
    static std::vector<pid_t> ChildrenOf(pid_t parent);
    // Processes, zombies aside, whose process group is pgid: the master and every worker.
    static std::vector<pid_t> GroupMembers(pid_t pgid);
    static bool Alive(pid_t pid);

    std::string MasterLog() const;
    std::string WorkerLog() const;
    // Everything the stack wrote, for failure messages.
    std::string AllLogs() const;

private:
    testsupport::TempDir home_{"faults"};
    GatewayProcess gateway_;
    testsupport::ChildProcess master_;
    pid_t masterPid_ = -1;
};
