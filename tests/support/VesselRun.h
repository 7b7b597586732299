// The real vessel binary against a ScriptableGateway that configures the sample C module calc and
// demands it on request, so a test can send calc requests through a real worker while it breaks
// the surroundings (log directory, socket paths). Each run has its own APP_NAME, home and log
// directory; whatever it started is ended by pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

namespace testsupport {

class VesselRun {
public:
    explicit VesselRun(const std::string& tag);
    // Kills the master's process group and stops the gateway. A channel socket left behind is
    // removed; anything else a test put at the channel path is the test's to clean up.
    ~VesselRun();
    VesselRun(const VesselRun&) = delete;
    VesselRun& operator=(const VesselRun&) = delete;

    // True when the binaries and the calc module are built; else the test fails.
    static bool Built();

    // Where the processes log: <home>/logs, created by the constructor.
    std::string LogDir() const { return home_ / "logs"; }
    std::string ChannelPath() const;

    // 0 or an errno value.
    int StartGateway() { return gateway_.Start(); }
    bool StartMaster();
    bool MasterRunning() { return master_.Running(); }
    // Waits for the master's exit; its wait status, or -1 on timeout.
    int WaitMaster(std::chrono::milliseconds timeout) { return master_.Wait(timeout); }
    void SignalMaster(int signo) { master_.Kill(signo); }
    // Living (not zombie) children of the master, lowest pid first.
    std::vector<pid_t> Workers() const;
    // What the master wrote to standard output and error.
    std::string Output() const;

    // Answers the master's next held demand ("pullmodloadreq") with calc's key.
    bool DemandCalc(std::chrono::milliseconds timeout);
    // One request x+y through the worker's pull and reply connections. Empty when it came back
    // as 200 with the sum, else what went wrong.
    std::string Add(long x, long y, std::chrono::milliseconds timeout);

    // Concatenated "<prefix>_*.log" files of the log directory.
    std::string Logs(const std::string& prefix) const;

private:
    TempDir home_;
    std::string app_;
    ScriptableGateway gateway_;
    ChildProcess master_;
    int nextRequest_ = 0;
};

}  // namespace testsupport
