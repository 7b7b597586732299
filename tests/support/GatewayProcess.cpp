#include "support/GatewayProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>

#include "support/HttpTestClient.h"
#include "support/UdsTestPeer.h"

using testsupport::WaitFor;

GatewayProcess::GatewayProcess() : dir_("gw"), process_(new testsupport::ChildProcess()) {
    appName_ = testsupport::UniqueName("Gw");
    socketPath_ = "/tmp/udsgateway-";
    for (char c : appName_) socketPath_ += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    configPath_ = dir_ / "gateway.json";
}

std::string GatewayProcess::BinaryPath() {
    return std::string(VESSEL_BINARY_DIR) + "/peers/gateway/vessel-gateway";
}

int GatewayProcess::FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

bool GatewayProcess::Start(const std::string& config, const std::vector<std::string>& extraArgs) {
    port_ = FreePort();
    withConfig_ = !config.empty();
    if (withConfig_) testsupport::WriteFile(configPath_, config);
    extraArgs_ = extraArgs;
    return Launch();
}

bool GatewayProcess::Restart() {
    if (process_->Running()) return false;
    process_.reset(new testsupport::ChildProcess());
    return Launch();
}

bool GatewayProcess::Launch() {
    std::vector<std::string> argv = {BinaryPath(), "--listen", "127.0.0.1:" + std::to_string(port_)};
    if (withConfig_) {
        argv.push_back("--config");
        argv.push_back(configPath_);
    }
    argv.insert(argv.end(), extraArgs_.begin(), extraArgs_.end());
    logPaths_.push_back(dir_ / ("gateway-" + std::to_string(logPaths_.size() + 1) + ".log"));
    if (!process_->Exec(argv, {{"APP_NAME", appName_}}, logPaths_.back())) return false;
    return WaitFor(
               [&]() {
                   if (!process_->Running()) {
                       return true;  // gave up starting: reported below
                   }
                   HttpTestClient http;
                   UdsTestPeer uds;
                   return http.Connect(port_) && uds.Connect(socketPath_);
               },
               std::chrono::seconds(10)) &&
           process_->Running();
}

int GatewayProcess::Stop() {
    if (!process_->Running()) return process_->Wait(std::chrono::milliseconds(0));
    process_->Kill(SIGTERM);
    return process_->Wait(std::chrono::seconds(10));
}

std::string GatewayProcess::Log() const {
    std::string all;
    for (const std::string& path : logPaths_) all += testsupport::ReadFile(path);
    return all;
}
