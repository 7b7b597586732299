#include "GatewayServer.h"

#include <csignal>

#include "DescriptorLimit.h"
#include "GatewayLog.h"

namespace {

RequestBroker::Limits LimitsFrom(const GatewayOptions& options) {
    RequestBroker::Limits limits;
    limits.queuePerModule = options.queueLimit;
    limits.demandRefresh = options.demandRefresh;
    return limits;
}

}  // namespace

GatewayServer::GatewayServer(const GatewayOptions& options)
    : options_(options),
      pool_(options.threads),
      broker_(LimitsFrom(options)),
      signals_(pool_.First(), SIGINT, SIGTERM),
      reload_(pool_.First(), SIGHUP),
      reopen_(pool_.First(), SIGUSR1),
      configTimer_(pool_.First()),
      tickTimer_(pool_.First()) {}

int GatewayServer::Run() {
    // A worker that goes away while we write to it must not end the gateway.
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    if (!peers_.Init(options_.trustedUser, error)) {
        GatewayLog::Error(error);
        return 1;
    }
    SizeConnections();
    if (!options_.configPath.empty()) {
        watcher_ = std::make_unique<AppConfigWatcher>(options_.configPath);
        std::shared_ptr<const AppConfig> config;
        if (!watcher_->Load(config, error)) {
            GatewayLog::Error("cannot load configuration " + options_.configPath + ": " + error);
            return 1;
        }
        broker_.SetConfig(config);
        GatewayLog::Info("configuration " + options_.configPath + ": " +
                         std::to_string(config->ModuleCount()) + " modules");
    } else {
        GatewayLog::Warn("no --config given: every module is unknown until one is configured");
    }

    if (!options_.accessLogPath.empty()) {
        accessLog_ = std::make_shared<AccessLog>(options_.accessLogPath);
        if (!accessLog_->Open(error)) {
            GatewayLog::Error(error);
            return 1;
        }
    }

    const std::string socketPath = options_.GatewaySocketPath();
    uds_ = std::make_shared<UdsListener>(pool_, broker_, peers_);
    if (!uds_->Open(socketPath, options_.socketMode, error)) {
        GatewayLog::Error(error);
        return 1;
    }
    http_ = std::make_shared<HttpListener>(pool_, broker_, options_, slots_, accessLog_);
    if (!http_->Open(error)) {
        GatewayLog::Error(error);
        uds_->Stop();
        return 1;
    }
    if (options_.adminEnabled) {
        admin_ = std::make_shared<AdminListener>(pool_.First(), broker_, options_, slots_);
        if (!admin_->Open(error)) {
            GatewayLog::Error(error);
            uds_->Stop();
            return 1;
        }
    }
    auto endpoint = http_->LocalEndpoint();
    GatewayLog::Info("vessel-gateway " + options_.versionText + " listening on http://" +
                     endpoint.address().to_string() + ":" + std::to_string(endpoint.port()) + " and " +
                     socketPath + ", " + std::to_string(options_.threads) + " thread(s)");
    if (admin_) {
        auto adminEndpoint = admin_->LocalEndpoint();
        GatewayLog::Info("status and metrics on http://" + adminEndpoint.address().to_string() + ":" +
                         std::to_string(adminEndpoint.port()) + "/status and /metrics");
    }
    if (accessLog_) {
        GatewayLog::Info("access log " + options_.accessLogPath);
    }

    signals_.async_wait([this](const boost::system::error_code& ec, int signo) {
        if (ec) {
            return;
        }
        GatewayLog::Info(std::string("stopping on ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));
        http_->Stop();
        uds_->Stop();
        if (admin_) {
            admin_->Stop();
        }
        configTimer_.cancel();
        tickTimer_.cancel();
        reload_.cancel();
        reopen_.cancel();
        pool_.Stop();
    });
    ArmReload();
    ArmReopen();
    ArmConfigPoll();
    ArmTick();
    http_->Start();
    uds_->Start();
    if (admin_) {
        admin_->Start();
    }

    pool_.Run();

    // Held peers keep their sockets; they must go before the event loops do.
    broker_.Clear();
    if (accessLog_) {
        accessLog_->Flush();
    }
    GatewayLog::Info("stopped");
    return 0;
}

void GatewayServer::SizeConnections() {
    std::string note;
    size_t limit = DescriptorLimit::Raise(note);
    size_t cap = options_.maxConnections;
    size_t allowed = DescriptorLimit::MaxConnectionsAllowed(limit);
    if (cap == 0) {
        cap = DescriptorLimit::DefaultMaxConnections(limit);
    } else if (cap > allowed) {
        GatewayLog::Warn("--max-connections " + std::to_string(cap) + " leaves too few of the " +
                         std::to_string(limit) + " descriptors for Vessel's connections; using " +
                         std::to_string(allowed));
        cap = allowed;
    }
    slots_ = std::make_shared<ConnectionSlots>(cap);
    GatewayLog::Info(note + "; at most " + std::to_string(cap) + " HTTP connections");
    if (!options_.trustedUser.empty()) {
        GatewayLog::Info("gateway socket also admits processes of user " + options_.trustedUser);
    }
}

void GatewayServer::PollConfig(bool force) {
    if (!watcher_) {
        return;
    }
    if (auto config = watcher_->Poll(force)) {
        broker_.SetConfig(config);
    }
}

void GatewayServer::ArmConfigPoll() {
    if (!watcher_) {
        return;
    }
    configTimer_.expires_after(options_.configPoll);
    configTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) {
            return;
        }
        PollConfig(false);
        ArmConfigPoll();
    });
}

void GatewayServer::ArmTick() {
    tickTimer_.expires_after(std::chrono::seconds(1));
    tickTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) {
            return;
        }
        broker_.Tick(RequestBroker::Clock::now());
        broker_.FailTakenOfEndedWorkers(RequestBroker::Clock::now());
        if (accessLog_) {
            accessLog_->Flush();
        }
        ArmTick();
    });
}

void GatewayServer::ArmReopen() {
    reopen_.async_wait([this](const boost::system::error_code& ec, int) {
        if (ec) {
            return;
        }
        if (accessLog_) {
            accessLog_->Reopen();
        }
        ArmReopen();
    });
}

void GatewayServer::ArmReload() {
    reload_.async_wait([this](const boost::system::error_code& ec, int) {
        if (ec) {
            return;
        }
        PollConfig(true);
        ArmReload();
    });
}
