// The meeting point of HTTP requests and Vessel's pulls: per-module queues of waiting requests,
// the pulls held until a request comes, the requests handed out and awaiting "responsereq",
// the demands for modules nobody pulls for, and the configuration held for "pullappcfgchg".
//
// Version switch: when the configuration names a new version that nobody pulls for yet, requests
// go on to the version of that name still being pulled for while the new one is demanded. The
// new version's first pull takes over what is still queued under the others; a version left with
// queued requests and no puller hands them to the serving one. So no request waits for a version
// that will not come back.
//
// Lock: mutex_ guards every member below it. It is never held while calling a peer or an owner
// (those only queue work on their own threads), so no lock order with other classes exists.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "AppConfig.h"
#include "GatewayStats.h"
#include "IGatewayPeer.h"
#include "PendingRequest.h"

class RequestBroker {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        size_t queuePerModule = 10000;
        // A module nobody pulls for is demanded at most this often while requests wait for it.
        Clock::duration demandRetry = std::chrono::seconds(1);
        // A module that is being served is demanded again this often while requests come, so
        // that Vessel does not retire it as idle.
        Clock::duration demandRefresh = std::chrono::seconds(10);
        // How long after a worker's last connection closed its requests still wait for answers.
        Clock::duration endGrace = std::chrono::milliseconds(100);
    };

    enum class SubmitResult { QUEUED, UNKNOWN_MODULE, QUEUE_FULL };

    explicit RequestBroker(Limits limits);

    void SetConfig(std::shared_ptr<const AppConfig> config);
    std::shared_ptr<const AppConfig> Config() const;

    // Accepts a request for module name: hands it to a held pull or queues it, and demands the
    // configured version when needed. While nobody pulls for the configured version, a version of
    // the same name that is still pulled for serves the request.
    SubmitResult Submit(const std::string& name, const std::shared_ptr<PendingRequest>& request,
                        Clock::time_point now);
    // The owner gave up on a request it has claimed (timeout, client gone): forget it.
    void Cancel(const std::shared_ptr<PendingRequest>& request);
    enum class RespondResult {
        ANSWERED,
        UNKNOWN,    // already finished, timed out, or never handed out
        NOT_TAKER,  // handed to another process: refused, the request still waits for its answer
    };
    // "responsereq" from process from: finishes the request with that id when from is the process
    // it was handed to (any of its connections: a worker pulls on one and answers on another).
    // On NOT_TAKER, taker (when given) is set to that process.
    RespondResult Respond(const std::string& requestId, const PeerProcess& from, unsigned status,
                          std::string body, PeerProcess* taker = nullptr);

    // "pullreq" for key text name "||" version. firstPull tells that this connection has not
    // pulled for this key before, so it now counts as one of the module's pullers; for the
    // configured key it also takes over the requests still queued under other versions.
    void Pull(const std::string& key, const std::shared_ptr<IGatewayPeer>& peer, bool firstPull);
    // A peer could not send a request it was given: put it back at the head of its queue.
    void Requeue(const std::shared_ptr<PendingRequest>& request);
    void PullConfig(const std::shared_ptr<IGatewayPeer>& peer);
    // Answers at once when the configuration is newer than seenGeneration, else holds the pull.
    void PullConfigChange(const std::shared_ptr<IGatewayPeer>& peer, uint64_t seenGeneration);
    // Answers with the oldest waiting demand, else holds the pull. A demand that waited while the
    // configuration changed the module's version is dropped.
    void PullDemand(const std::shared_ptr<IGatewayPeer>& peer);
    // A connection closed: drop its held pulls; pullKey ("" for none) stops counting it. The last
    // puller of a version that is no longer configured leaves its queued requests to the serving
    // version.
    void PeerClosed(const IGatewayPeer* peer, const std::string& pullKey);
    // A worker's requests belong to its process, not to a connection: a worker also closes a pull
    // connection it replaces and still answers what it took on its reply connection. Once the
    // process has ended, and every connection it had has been read to its end (answers sent just
    // before the end still count), the requests it took can never be answered: they go to another
    // worker once when idempotent, else are finished with 502 instead of waiting for their timeout.
    //
    // Connections are counted per pid: one accepted after its process was gone has no start time
    // to match, and may still carry answers. ProcessDisconnected is true for the last one.
    void ProcessConnected(const PeerProcess& process);
    bool ProcessDisconnected(const PeerProcess& process, Clock::time_point now);
    // Fails what process took if it has ended, has no open connection, and its last one closed
    // at least limits.endGrace ago (a connection it opened may not have been accepted yet).
    // A retryable request (an idempotent method) that no worker has failed before goes back to
    // the head of its module's queue instead. Returns how many failed.
    size_t FailTakenIfEnded(const PeerProcess& process, Clock::time_point now);
    // The same for every worker with requests out (periodic): catches a worker that closed all
    // its connections before it ended.
    size_t FailTakenOfEndedWorkers(Clock::time_point now);
    Clock::duration EndGrace() const { return limits_.endGrace; }

    // Periodic check: demand again the configured modules whose requests wait with nobody pulling
    // for them, and move requests off versions that are no longer configured nor pulled for.
    void Tick(Clock::time_point now);
    // Drops every held peer and waiting request (at shutdown, before the event loops go).
    void Clear();

    // One module version as the operator view shows it: configured or still serving, who pulls
    // for it, what waits and what is out.
    struct ModuleView {
        std::string name;
        std::string version;
        bool configured = false;
        size_t queued = 0;    // waiting for a pull
        size_t inFlight = 0;  // handed to a worker, not answered yet
        struct Worker {
            pid_t pid = 0;
            size_t connections = 0;  // pulling for this version
            std::chrono::system_clock::time_point since;
        };
        std::vector<Worker> workers;  // by pid
        std::shared_ptr<ModuleStats> stats;
    };
    // Every configured module version, and every other one that is pulled for, has requests or
    // counters; in the order of their key texts.
    std::vector<ModuleView> View() const;
    GatewayStats& Stats() { return stats_; }

    // Observations for logs and tests.
    size_t QueuedCount(const std::string& key) const;
    size_t InFlightCount() const;
    size_t PendingDemandCount() const;

private:
    // A request handed to a worker, and the worker's process.
    struct InFlight {
        std::shared_ptr<PendingRequest> request;
        PeerProcess worker;
    };
    struct ModuleSlot {
        std::deque<std::shared_ptr<PendingRequest>> queue;
        std::deque<std::shared_ptr<IGatewayPeer>> held;
        size_t pullers = 0;         // open connections that pull for this key
        uint64_t pulledSerial = 0;  // when it last gained a puller: the newest serving version wins
        bool demanded = false;
        Clock::time_point lastDemand{};
        std::shared_ptr<ModuleStats> stats;
        // The processes pulling, with their pulling connections and since when they pull.
        struct Puller {
            size_t connections = 0;
            std::chrono::system_clock::time_point since;
        };
        std::map<pid_t, Puller> workers;
    };
    // A slot with its key. Elements of an unordered_map keep their address until erased, so the
    // index by name points at them.
    using SlotEntry = std::pair<const std::string, ModuleSlot>;
    using Deliveries = std::vector<std::pair<std::shared_ptr<IGatewayPeer>, std::shared_ptr<PendingRequest>>>;

    static std::string NameOf(const std::string& key) { return key.substr(0, key.find("||")); }
    // The slot of key, created (and indexed by name) when missing.
    SlotEntry& SlotLocked(const std::string& key);
    // Where requests for name go: the configured key unless nobody pulls for it while another
    // version of the name is pulled for. Null when the name is not configured and no version of
    // it is pulled for.
    SlotEntry* ServingLocked(const std::string& name, const std::string& configuredKey);
    // Moves from's waiting requests to the head of to's queue, order kept, and hands them to pulls
    // held there (the deliveries are made after the lock is released).
    void MoveQueueLocked(SlotEntry& from, SlotEntry& to, Deliveries& deliveries);
    // Pairs waiting requests with held pulls. With several event loops a pair on one loop comes
    // first, so handing the request to the worker needs no other thread: the
    // oldest request with a pull of its loop, else the oldest pull with one of the next LOOP_SCAN
    // requests of its loop (passing a request MAX_PASSES times at most, so none waits long for a
    // module whose pulls are all on other loops), else the oldest of both.
    void MatchLocked(ModuleSlot& slot, Deliveries& deliveries);
    static constexpr size_t LOOP_SCAN = 16;
    static constexpr unsigned MAX_PASSES = 2;
    // The request of the queue that a pull of home takes: see MatchLocked. queue is not empty.
    static std::deque<std::shared_ptr<PendingRequest>>::iterator MateOnLoop(
        std::deque<std::shared_ptr<PendingRequest>>& queue, const void* home);
    // The first held pull on the event loop home, else the oldest; held is not empty.
    static std::deque<std::shared_ptr<IGatewayPeer>>::iterator HeldOnLoop(
        std::deque<std::shared_ptr<IGatewayPeer>>& held, const void* home);
    // Puts an unfinished request back at the head of its version's queue (or of the serving
    // version's, when its own is gone for good), or hands it to a held pull.
    void RequeueLocked(const std::shared_ptr<PendingRequest>& request, Deliveries& deliveries);
    static void Deliver(Deliveries& deliveries);

    // Returns the peer to answer when a demand can go out at once (else queues the key).
    std::shared_ptr<IGatewayPeer> DemandLocked(ModuleSlot& slot, const std::string& key,
                                               Clock::time_point now);
    static void EraseRequest(std::deque<std::shared_ptr<PendingRequest>>& queue,
                             const std::shared_ptr<PendingRequest>& request);
    static void ErasePeer(std::deque<std::shared_ptr<IGatewayPeer>>& peers, const IGatewayPeer* peer);
    // No connection of pid is open, and the last one closed at least the grace ago.
    bool QuietLocked(pid_t pid, Clock::time_point now) const;

    const Limits limits_;
    GatewayStats stats_;
    mutable std::mutex mutex_;
    std::shared_ptr<const AppConfig> config_;
    std::unordered_map<std::string, ModuleSlot> slots_;                     // by key text
    std::unordered_map<std::string, std::vector<SlotEntry*>> slotsByName_;  // the versions with a slot
    uint64_t pullSerial_ = 0;
    std::unordered_map<std::string, InFlight> inFlight_;  // by request id
    // Connections per pid: how many are open, and when the last one closed.
    struct Links {
        size_t open = 0;
        Clock::time_point idleSince{};
    };
    std::map<pid_t, Links> links_;
    std::deque<std::shared_ptr<IGatewayPeer>> configPulls_;
    std::deque<std::shared_ptr<IGatewayPeer>> demandPulls_;
    std::deque<std::string> demands_;  // keys not yet handed to the master, oldest first
    std::unordered_set<std::string> demandSet_;
};
