// The command line of vessel-gateway and its defaults.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class GatewayOptions {
public:
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 8080;
    std::string configPath;  // empty: no modules until one is given
    std::string socketPath;  // empty: derived from APP_NAME
    bool appNameGiven = false;
    std::string appName;
    mode_t socketMode = 0600;
    // An event loop for every two cores: the workers and the clients need the rest. A second
    // loop on two cores made every answer that arrived on the other loop wake its thread, which
    // cost more than the second core gave.
    unsigned threads = std::max(1u, std::thread::hardware_concurrency() / 2);
    std::chrono::milliseconds requestTimeout{30000};
    std::chrono::milliseconds idleTimeout{60000};
    std::chrono::milliseconds configPoll{500};
    std::chrono::milliseconds demandRefresh{10000};
    size_t maxBody = 1024 * 1024;
    size_t queueLimit = 10000;
    size_t maxConnections = 0;  // HTTP connections; 0: derived from the descriptor limit
    std::string trustedUser;    // another user whose processes may use the gateway socket
    bool adminEnabled = false;  // --admin-listen: /status and /metrics
    std::string adminHost = "127.0.0.1";
    uint16_t adminPort = 0;
    std::string accessLogPath;  // empty: no access log
    bool help = false;
    bool version = false;
    std::string versionText = "unknown";  // what --version and the operator view report

    // Fills the options from argv. Returns false with error set on a bad or unknown option.
    bool Parse(const std::vector<std::string>& args, std::string& error);
    // The gateway socket path: --socket, else the APP_NAME rule (with --app-name overriding
    // the environment).
    std::string GatewaySocketPath() const;
    static std::string Usage();
};
