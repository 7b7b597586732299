// Runs the real vessel-gateway binary for a test: its own APP_NAME (so its own socket), a free
// port, a configuration file in a temporary directory, its stderr kept for failure messages.
#pragma once

#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

class GatewayProcess {
public:
    GatewayProcess();
    // Writes config (if not empty) and starts the gateway with extra arguments; waits until both
    // its HTTP port and its socket accept connections.
    bool Start(const std::string& config, const std::vector<std::string>& extraArgs = {});
    // SIGTERM, then wait for the exit; returns the exit status (or -1).
    int Stop();

    int Port() const { return port_; }
    const std::string& SocketPath() const { return socketPath_; }
    const std::string& ConfigPath() const { return configPath_; }
    const std::string& AppName() const { return appName_; }
    std::string Log() const;
    testsupport::ChildProcess& Process() { return process_; }

    static std::string BinaryPath();
    static int FreePort();

private:
    testsupport::TempDir dir_;
    testsupport::ChildProcess process_;
    std::string appName_;
    std::string socketPath_;
    std::string configPath_;
    std::string logPath_;
    int port_ = 0;
};
