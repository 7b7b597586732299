// The gateway's counters for its operator view: one ModuleStats per module version (key text
// name "||" version), the answers that belong to no module (a path naming none), the open
// connections on the gateway socket and the start time.
//
// Lock: mutex_ guards modules_ only; it is taken when a module version is first seen, when the
// view is read and when old versions are forgotten, never per request. The broker takes it
// under its own lock (that order only).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ModuleStats.h"

class AppConfig;

class GatewayStats {
public:
    GatewayStats();

    // The counters of key, created when missing.
    std::shared_ptr<ModuleStats> For(const std::string& key);
    // Every module version counted so far, by key.
    std::vector<std::pair<std::string, std::shared_ptr<ModuleStats>>> All() const;
    // Forgets the versions that are not configured and that nothing refers to any more (no
    // queue, no request), so a gateway that sees many versions over its life keeps few counters.
    void Forget(const AppConfig& config);

    // Answers to requests routed to no module (unknown module, malformed request).
    ModuleStats& Unrouted() { return unrouted_; }
    const ModuleStats& Unrouted() const { return unrouted_; }

    void WorkerConnectionOpened() { workerConnections_.fetch_add(1, std::memory_order_relaxed); }
    void WorkerConnectionClosed() { workerConnections_.fetch_sub(1, std::memory_order_relaxed); }
    int64_t WorkerConnections() const { return workerConnections_.load(std::memory_order_relaxed); }

    double UptimeSeconds() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<ModuleStats>> modules_;
    ModuleStats unrouted_;
    std::atomic<int64_t> workerConnections_{0};
    const std::chrono::steady_clock::time_point started_;
};
