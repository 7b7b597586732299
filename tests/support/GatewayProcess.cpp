#include "support/GatewayProcess.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include "support/HttpTestClient.h"

std::string GatewayProcess::BinaryPath() {
    return std::string(VESSEL_BINARY_DIR) + "/peers/gateway/vessel-gateway";
}

int GatewayProcess::FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0), port = 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool GatewayProcess::Start(const std::string& config, const std::vector<std::string>& extraArgs,
                           int fdLimit) {
    port_ = FreePort();
    argv_ = {BinaryPath(), "--listen", "127.0.0.1:" + std::to_string(port_)};
    if (fdLimit > 0)
        argv_.insert(argv_.begin(),
                     {"/bin/sh", "-c", "ulimit -n " + std::to_string(fdLimit) + " && exec \"$0\" \"$@\""});
    if (!config.empty()) {
        testsupport::WriteFile(configPath_, config);
        argv_.insert(argv_.end(), {"--config", configPath_});
    }
    argv_.insert(argv_.end(), extraArgs.begin(), extraArgs.end());
    return Restart();
}

bool GatewayProcess::Restart() {
    if (process_->Running()) return false;
    process_ = std::make_unique<testsupport::ChildProcess>();
    if (!process_->Exec(argv_, {{"APP_NAME", appName_}}, LogPath(++runs_))) return false;
    auto up = [&] {
        HttpTestClient http;
        int fd = testsupport::ConnectUnix(socketPath_);
        if (fd >= 0) close(fd);
        return fd >= 0 && http.Connect(port_);
    };
    // Stops early when it gave up starting: its log says why.
    return testsupport::WaitFor([&] { return !process_->Running() || up(); }, std::chrono::seconds(10)) &&
           process_->Running();
}

int GatewayProcess::Stop() {
    if (process_->Running()) process_->Kill(SIGTERM);
    return process_->Wait(std::chrono::seconds(10));
}

std::string GatewayProcess::Log() const {
    std::string all;
    for (int run = 1; run <= runs_; ++run) all += testsupport::ReadFile(LogPath(run));
    return all;
}
