// One HTTP request on its way to a worker: its id, the "message" frame a worker pulls, and who
// waits for the answer. Exactly one party finishes it: the worker's response, the timeout or
// the client going away; Claim() decides which.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>

#include "IRequestOwner.h"
#include "ModuleStats.h"

class PendingRequest {
public:
    // retryable: the request may run twice without harm (an idempotent HTTP method), so a worker
    // that ends before answering it may be replaced by another once.
    PendingRequest(std::string id, std::string frame, std::weak_ptr<IRequestOwner> owner,
                   bool retryable = false)
        : id_(std::move(id)),
          frame_(std::move(frame)),
          owner_(std::move(owner)),
          retriesLeft_(retryable ? 1 : 0) {}

    const std::string& Id() const { return id_; }
    const std::string& Frame() const { return frame_; }
    // Set by the broker, under its lock, when it accepts the request or moves it to another
    // version's queue: the version and where its answer is counted.
    const std::string& ModuleKey() const { return moduleKey_; }
    const std::shared_ptr<ModuleStats>& Stats() const { return stats_; }
    void SetModuleKey(const std::string& key, std::shared_ptr<ModuleStats> stats) {
        moduleKey_ = key;
        stats_ = std::move(stats);
    }
    // The worker process it was handed to last (0: none yet), for the access log.
    pid_t Worker() const { return worker_.load(std::memory_order_relaxed); }
    void SetWorker(pid_t pid) { worker_.store(pid, std::memory_order_relaxed); }
    std::shared_ptr<IRequestOwner> Owner() const { return owner_.lock(); }
    // The event loop of its client's connection (see IGatewayPeer::Home).
    const void* Home() const { return home_; }
    void SetHome(const void* home) { home_ = home; }
    // How often a later request of another loop went first (the broker's, under its lock).
    unsigned PassedOver() const { return passes_; }
    void PassOver() { ++passes_; }

    // True for the first caller only.
    bool Claim() { return !claimed_.exchange(true, std::memory_order_acq_rel); }
    bool Claimed() const { return claimed_.load(std::memory_order_acquire); }

    // The worker read the whole frame (it pulled again, or closed its connection cleanly after
    // it): from now on only its answer, or its end, finishes the request. Before that a broken
    // connection hands the request to another worker instead.
    void MarkTaken() { taken_.store(true, std::memory_order_release); }
    bool Taken() const { return taken_.load(std::memory_order_acquire); }

    // Its worker ended before answering: true (once, for a retryable request) when it may go to
    // another worker, which then has to take it anew. Called by the broker under its lock.
    bool Retry() {
        if (retriesLeft_ == 0) {
            return false;
        }
        --retriesLeft_;
        taken_.store(false, std::memory_order_release);
        return true;
    }

private:
    std::string id_;
    std::string frame_;
    std::string moduleKey_;
    std::shared_ptr<ModuleStats> stats_;
    std::atomic<pid_t> worker_{0};
    std::weak_ptr<IRequestOwner> owner_;
    std::atomic<bool> claimed_{false};
    std::atomic<bool> taken_{false};
    unsigned retriesLeft_;
    const void* home_ = nullptr;
    unsigned passes_ = 0;
};
