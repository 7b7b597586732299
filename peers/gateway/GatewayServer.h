// The whole vessel-gateway process: event loops, both listeners, the broker, the configuration
// watcher, the demand ticker and the signals that end it.
#pragma once

#include <boost/asio.hpp>
#include <memory>

#include "AccessLog.h"
#include "AdminListener.h"
#include "AppConfigWatcher.h"
#include "ConnectionSlots.h"
#include "GatewayOptions.h"
#include "HttpListener.h"
#include "IoContextPool.h"
#include "PeerUserCheck.h"
#include "RequestBroker.h"
#include "UdsListener.h"

class GatewayServer {
public:
    explicit GatewayServer(const GatewayOptions& options);
    // Runs until SIGTERM or SIGINT. Returns the process exit status (0, or 1 when it cannot start).
    int Run();

private:
    void PollConfig(bool force);
    void ArmConfigPoll();
    void ArmTick();
    void ArmReload();
    void ArmReopen();
    // Raises the descriptor limit and sizes the HTTP connection cap to it.
    void SizeConnections();

    const GatewayOptions& options_;
    IoContextPool pool_;
    RequestBroker broker_;
    PeerUserCheck peers_;
    std::shared_ptr<ConnectionSlots> slots_;
    std::unique_ptr<AppConfigWatcher> watcher_;
    std::shared_ptr<HttpListener> http_;
    std::shared_ptr<UdsListener> uds_;
    std::shared_ptr<AdminListener> admin_;
    std::shared_ptr<AccessLog> accessLog_;
    boost::asio::signal_set signals_;
    boost::asio::signal_set reload_;
    boost::asio::signal_set reopen_;
    boost::asio::steady_timer configTimer_;
    boost::asio::steady_timer tickTimer_;
};
