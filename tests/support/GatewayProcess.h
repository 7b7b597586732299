// Runs the real vessel-gateway binary for a test: its own APP_NAME (so its own socket), a free
// loopback port, a configuration file in a temporary directory, its output kept for failure messages.
// It can be stopped and started again on the same port and socket, as an operator restarts it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

class GatewayProcess {
public:
    // Writes config (if not empty) and starts the gateway with extra arguments, under a descriptor
    // limit when fdLimit > 0; waits until both its HTTP port and its socket accept connections.
    bool Start(const std::string& config, const std::vector<std::string>& extraArgs = {}, int fdLimit = 0);
    // After Stop(): starts it again with the same port, socket, configuration file and arguments.
    bool Restart();
    // SIGTERM, then the exit status (or -1).
    int Stop();

    int Port() const { return port_; }
    pid_t Pid() const { return process_->Pid(); }
    const std::string& SocketPath() const { return socketPath_; }
    const std::string& ConfigPath() const { return configPath_; }
    const std::string& AppName() const { return appName_; }
    std::string Log() const;  // what every run so far wrote, oldest first

    static std::string BinaryPath();
    // A loopback TCP port nobody listens on at the moment of asking.
    static int FreePort();

private:
    std::string LogPath(int run) const { return dir_ / ("gateway-" + std::to_string(run) + ".log"); }
    testsupport::TempDir dir_{"gw"};
    std::unique_ptr<testsupport::ChildProcess> process_ = std::make_unique<testsupport::ChildProcess>();
    std::string appName_ = testsupport::UniqueName("gw");  // lower-case, as the socket's name is
    std::string socketPath_ = "/tmp/udsgateway-" + appName_, configPath_ = dir_ / "gateway.json";
    std::vector<std::string> argv_;
    int port_ = 0, runs_ = 0;
};
