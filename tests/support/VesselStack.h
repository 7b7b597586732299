// The whole stack for the stories: the real vessel-gateway in front of the real vessel binary
// with sample C modules, in a home of its own (settings, logs) under a temporary directory, and
// ways to look at the processes it runs. Whatever it started is ended by pid on destruction.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/GatewayProcess.h"
#include "support/LogLines.h"
#include "support/TestSupport.h"

class VesselStack {
public:
    VesselStack();  // makes <home>/conf and <home>/logs, so a test can prepare them
    ~VesselStack();
    VesselStack(const VesselStack&) = delete;
    VesselStack& operator=(const VesselStack&) = delete;

    // True when the sample modules and both binaries are built; else the test fails.
    static bool Built(const std::vector<std::string>& modules);
    // Starts the gateway configuring the sample C modules, then Vessel. False when either does
    // not come up.
    bool Start(const std::vector<std::string>& modules = {"calc"},
               const std::vector<std::string>& gatewayArgs = {}, int maxModulePerSubprocess = 10);
    // Replaces the gateway's application configuration, as an operator edits the file.
    void SetAppConfig(const std::string& json);
    // One C module of an application configuration (a sample's by default), and a configuration.
    static std::string ModuleEntry(const std::string& name, const std::string& version,
                                   const std::string& location = "");
    static std::string AppConfig(const std::vector<std::string>& entries);

    const std::string& Home() const { return home_.path(); }
    std::string LogDir() const { return home_ / "logs"; }
    // Where the master listens for its workers (the application name is lower-case already).
    std::string ChannelPath() const { return "/tmp/uds-vessel-inner-" + gateway_.AppName(); }
    GatewayProcess& Gateway() { return gateway_; }
    testsupport::ChildProcess& Master() { return master_; }

    // The master's living children (its workers), lowest pid first.
    std::vector<pid_t> Workers() const;
    // Processes, zombies aside, whose process group is pgid: the master and every worker.
    static std::vector<pid_t> GroupMembers(pid_t pgid);
    static bool Alive(pid_t pid);

    std::string MasterLog() const { return testsupport::ReadLogs(LogDir(), "Vessel"); }
    std::string WorkerLog() const { return testsupport::ReadLogs(LogDir(), "sub_Vessel"); }
    // The end of everything the stack wrote, for failure messages.
    std::string AllLogs() const;
    // After a failure: copies the whole home (settings, every log, vessel's output) and the
    // gateway's log to $TMPDIR/vessel-failed-<test>-<pid>, keeping only the newest few such
    // copies, and returns a line naming where they are (or why there are none).
    std::string KeepLogs() const;

private:
    testsupport::TempDir home_{"stack"};
    GatewayProcess gateway_;
    testsupport::ChildProcess master_;
};
