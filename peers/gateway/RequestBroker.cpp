#include "RequestBroker.h"

#include <algorithm>
#include <set>
#include <utility>

#include "GatewayLog.h"

RequestBroker::RequestBroker(Limits limits) : limits_(limits), config_(AppConfig::Empty()) {}

void RequestBroker::SetConfig(std::shared_ptr<const AppConfig> config) {
    std::deque<std::shared_ptr<IGatewayPeer>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = config;
        waiting.swap(configPulls_);
    }
    for (auto& peer : waiting) {
        peer->AnswerConfig(config);
    }
}

std::shared_ptr<const AppConfig> RequestBroker::Config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

std::shared_ptr<IGatewayPeer> RequestBroker::DemandLocked(ModuleSlot& slot, const std::string& key,
                                                          Clock::time_point now) {
    Clock::duration every = slot.pullers == 0 ? limits_.demandRetry : limits_.demandRefresh;
    if (slot.demanded && now - slot.lastDemand < every) {
        return nullptr;
    }
    slot.demanded = true;
    slot.lastDemand = now;
    if (!demandPulls_.empty()) {
        auto peer = std::move(demandPulls_.front());
        demandPulls_.pop_front();
        return peer;
    }
    // Nobody asks yet (the master is not connected): keep it once until someone does.
    if (demandSet_.insert(key).second) {
        demands_.push_back(key);
    }
    return nullptr;
}

RequestBroker::SlotEntry& RequestBroker::SlotLocked(const std::string& key) {
    auto inserted = slots_.try_emplace(key);
    SlotEntry& entry = *inserted.first;
    if (inserted.second) {
        slotsByName_[NameOf(key)].push_back(&entry);
        entry.second.stats = stats_.For(key);
    }
    return entry;
}

RequestBroker::SlotEntry* RequestBroker::ServingLocked(const std::string& name,
                                                       const std::string& configuredKey) {
    SlotEntry* configured = configuredKey.empty() ? nullptr : &SlotLocked(configuredKey);
    if (configured && configured->second.pullers > 0) {
        return configured;
    }
    SlotEntry* serving = configured;
    auto versions = slotsByName_.find(name);
    if (versions != slotsByName_.end()) {
        for (SlotEntry* entry : versions->second) {
            const ModuleSlot& slot = entry->second;
            if (slot.pullers > 0 &&
                (serving == configured || slot.pulledSerial > serving->second.pulledSerial)) {
                serving = entry;
            }
        }
    }
    return serving;
}

std::deque<std::shared_ptr<IGatewayPeer>>::iterator RequestBroker::HeldOnLoop(
    std::deque<std::shared_ptr<IGatewayPeer>>& held, const void* home) {
    auto found =
        std::find_if(held.begin(), held.end(), [home](const auto& peer) { return peer->Home() == home; });
    return found != held.end() ? found : held.begin();
}

std::deque<std::shared_ptr<PendingRequest>>::iterator RequestBroker::MateOnLoop(
    std::deque<std::shared_ptr<PendingRequest>>& queue, const void* home) {
    const auto scanEnd = queue.begin() + std::min<size_t>(queue.size(), LOOP_SCAN);
    for (auto it = queue.begin(); it != scanEnd; ++it) {
        if ((*it)->Claimed()) {
            continue;
        }
        if ((*it)->Home() == home) {
            for (auto passed = queue.begin(); passed != it; ++passed) {
                (*passed)->PassOver();
            }
            return it;
        }
        if ((*it)->PassedOver() >= MAX_PASSES) {
            break;  // it has waited enough: no request passes it any more
        }
    }
    return queue.begin();
}

void RequestBroker::MatchLocked(ModuleSlot& slot, Deliveries& deliveries) {
    while (!slot.held.empty() && !slot.queue.empty()) {
        if (slot.queue.front()->Claimed()) {
            slot.queue.pop_front();  // given up while it waited
            continue;
        }
        auto requestAt = slot.queue.begin();
        auto peerAt = HeldOnLoop(slot.held, (*requestAt)->Home());
        if ((*peerAt)->Home() != (*requestAt)->Home()) {
            requestAt = MateOnLoop(slot.queue, (*peerAt)->Home());
        }
        auto request = std::move(*requestAt);
        slot.queue.erase(requestAt);
        auto peer = std::move(*peerAt);
        slot.held.erase(peerAt);
        inFlight_[request->Id()] = InFlight{request, peer->Process()};
        request->SetWorker(peer->Process().Pid());
        deliveries.emplace_back(std::move(peer), std::move(request));
    }
}

void RequestBroker::MoveQueueLocked(SlotEntry& from, SlotEntry& to, Deliveries& deliveries) {
    auto& moving = from.second.queue;
    // Older than what waits in to, so they go first. The queue bound is not applied: these were
    // admitted already, and the total does not grow.
    moving.erase(std::remove_if(moving.begin(), moving.end(), [](const auto& r) { return r->Claimed(); }),
                 moving.end());
    for (auto& request : moving) {
        request->SetModuleKey(to.first, to.second.stats);
    }
    auto& queue = to.second.queue;
    queue.insert(queue.begin(), std::make_move_iterator(moving.begin()),
                 std::make_move_iterator(moving.end()));
    moving.clear();
    MatchLocked(to.second, deliveries);
}

void RequestBroker::Deliver(Deliveries& deliveries) {
    for (auto& delivery : deliveries) {
        delivery.first->Deliver(std::move(delivery.second));
    }
}

RequestBroker::SubmitResult RequestBroker::Submit(const std::string& name,
                                                  const std::shared_ptr<PendingRequest>& request,
                                                  Clock::time_point now) {
    std::shared_ptr<IGatewayPeer> puller;
    std::shared_ptr<IGatewayPeer> demandPeer;
    std::string key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        key = config_->KeyOf(name);
        if (key.empty()) {
            return SubmitResult::UNKNOWN_MODULE;
        }
        SlotEntry& configured = SlotLocked(key);
        // A new version is being loaded: the old one answers meanwhile.
        SlotEntry& serving = *ServingLocked(name, key);
        ModuleSlot& slot = serving.second;
        request->SetModuleKey(serving.first, slot.stats);
        if (slot.held.empty() && slot.queue.size() >= limits_.queuePerModule) {
            return SubmitResult::QUEUE_FULL;
        }
        demandPeer = DemandLocked(configured.second, key, now);
        if (!slot.held.empty()) {
            auto held = HeldOnLoop(slot.held, request->Home());
            puller = std::move(*held);
            slot.held.erase(held);
            inFlight_[request->Id()] = InFlight{request, puller->Process()};
            request->SetWorker(puller->Process().Pid());
        } else {
            slot.queue.push_back(request);
        }
    }
    if (demandPeer) {
        demandPeer->AnswerDemand(key);
    }
    if (puller) {
        puller->Deliver(request);
    }
    return SubmitResult::QUEUED;
}

void RequestBroker::EraseRequest(std::deque<std::shared_ptr<PendingRequest>>& queue,
                                 const std::shared_ptr<PendingRequest>& request) {
    auto it = std::find(queue.begin(), queue.end(), request);
    if (it != queue.end()) {
        queue.erase(it);
    }
}

void RequestBroker::ErasePeer(std::deque<std::shared_ptr<IGatewayPeer>>& peers, const IGatewayPeer* peer) {
    peers.erase(std::remove_if(peers.begin(), peers.end(),
                               [peer](const std::shared_ptr<IGatewayPeer>& p) { return p.get() == peer; }),
                peers.end());
}

void RequestBroker::Cancel(const std::shared_ptr<PendingRequest>& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = inFlight_.find(request->Id());
    if (it != inFlight_.end() && it->second.request == request) {
        inFlight_.erase(it);
        return;
    }
    auto slot = slots_.find(request->ModuleKey());
    if (slot != slots_.end()) {
        EraseRequest(slot->second.queue, request);
    }
}

RequestBroker::RespondResult RequestBroker::Respond(const std::string& requestId, const PeerProcess& from,
                                                    unsigned status, std::string body, PeerProcess* taker) {
    std::shared_ptr<PendingRequest> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = inFlight_.find(requestId);
        if (it == inFlight_.end()) {
            return RespondResult::UNKNOWN;
        }
        if (!it->second.worker.SameAs(from)) {
            if (taker) {
                *taker = it->second.worker;
            }
            return RespondResult::NOT_TAKER;
        }
        request = std::move(it->second.request);
        inFlight_.erase(it);
    }
    if (!request->Claim()) {
        return RespondResult::UNKNOWN;
    }
    if (auto owner = request->Owner()) {
        owner->Complete(request, status, std::move(body));
    }
    return RespondResult::ANSWERED;
}

void RequestBroker::Pull(const std::string& key, const std::shared_ptr<IGatewayPeer>& peer, bool firstPull) {
    Deliveries deliveries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SlotEntry& entry = SlotLocked(key);
        ModuleSlot& slot = entry.second;
        if (firstPull) {
            ++slot.pullers;
            slot.pulledSerial = ++pullSerial_;
            auto& worker = slot.workers[peer->Process().Pid()];
            if (worker.connections++ == 0) {
                worker.since = std::chrono::system_clock::now();
            }
            const std::string name = NameOf(key);
            if (config_->KeyOf(name) == key) {
                // The configured version has come: what the others have not handed out yet is its.
                for (SlotEntry* other : slotsByName_[name]) {
                    if (other != &entry && !other->second.queue.empty()) {
                        MoveQueueLocked(*other, entry, deliveries);
                    }
                }
            }
        }
        // Held pulls and waiting requests never stay together in one slot: this pull waits only
        // when nothing does.
        slot.held.push_back(peer);
        MatchLocked(slot, deliveries);
    }
    Deliver(deliveries);
}

void RequestBroker::Requeue(const std::shared_ptr<PendingRequest>& request) {
    Deliveries deliveries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = inFlight_.find(request->Id());
        if (it != inFlight_.end() && it->second.request == request) {
            inFlight_.erase(it);
        }
        RequeueLocked(request, deliveries);
    }
    Deliver(deliveries);
}

void RequestBroker::RequeueLocked(const std::shared_ptr<PendingRequest>& request, Deliveries& deliveries) {
    if (request->Claimed()) {
        return;
    }
    SlotEntry* entry = &SlotLocked(request->ModuleKey());
    if (entry->second.pullers == 0) {
        // Its version is gone; unless it is the configured one, it will not come back.
        const std::string name = NameOf(entry->first);
        const std::string configured = config_->KeyOf(name);
        if (entry->first != configured) {
            if (SlotEntry* serving = ServingLocked(name, configured)) {
                entry = serving;
                request->SetModuleKey(entry->first, entry->second.stats);
            }
        }
    }
    ModuleSlot& slot = entry->second;
    if (!slot.held.empty()) {
        auto puller = std::move(slot.held.front());
        slot.held.pop_front();
        inFlight_[request->Id()] = InFlight{request, puller->Process()};
        request->SetWorker(puller->Process().Pid());
        deliveries.emplace_back(std::move(puller), request);
    } else {
        slot.queue.push_front(request);
    }
}

void RequestBroker::PullConfig(const std::shared_ptr<IGatewayPeer>& peer) {
    peer->AnswerConfig(Config());
}

void RequestBroker::PullConfigChange(const std::shared_ptr<IGatewayPeer>& peer, uint64_t seenGeneration) {
    std::shared_ptr<const AppConfig> config;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (config_->Generation() == seenGeneration) {
            configPulls_.push_back(peer);
            return;
        }
        config = config_;
    }
    peer->AnswerConfig(config);
}

void RequestBroker::PullDemand(const std::shared_ptr<IGatewayPeer>& peer) {
    std::string key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (key.empty() && !demands_.empty()) {
            key = std::move(demands_.front());
            demands_.pop_front();
            demandSet_.erase(key);
            // Waited while the configuration moved on to another version: do not bring it back.
            if (config_->KeyOf(NameOf(key)) != key) {
                key.clear();
            }
        }
        if (key.empty()) {
            demandPulls_.push_back(peer);
            return;
        }
    }
    peer->AnswerDemand(key);
}

void RequestBroker::PeerClosed(const IGatewayPeer* peer, const std::string& pullKey) {
    Deliveries deliveries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ErasePeer(configPulls_, peer);
        ErasePeer(demandPulls_, peer);
        if (pullKey.empty()) {
            return;
        }
        auto found = slots_.find(pullKey);
        if (found == slots_.end()) {
            return;
        }
        SlotEntry& entry = *found;
        ModuleSlot& slot = entry.second;
        ErasePeer(slot.held, peer);
        if (slot.pullers > 0) {
            --slot.pullers;
            auto worker = slot.workers.find(peer->Process().Pid());
            if (worker != slot.workers.end() && --worker->second.connections == 0) {
                slot.workers.erase(worker);
            }
        }
        if (slot.pullers == 0 && !slot.queue.empty()) {
            // An old version retired with requests still waiting for it: the serving one takes them.
            const std::string name = NameOf(pullKey);
            const std::string configured = config_->KeyOf(name);
            if (pullKey != configured) {
                if (SlotEntry* serving = ServingLocked(name, configured)) {
                    MoveQueueLocked(entry, *serving, deliveries);
                }
            }
        }
    }
    Deliver(deliveries);
}

void RequestBroker::ProcessConnected(const PeerProcess& process) {
    if (!process.Known()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++links_[process.Pid()].open;
}

bool RequestBroker::ProcessDisconnected(const PeerProcess& process, Clock::time_point now) {
    if (!process.Known()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Links& links = links_[process.Pid()];
    if (links.open > 0 && --links.open > 0) {
        return false;
    }
    links.idleSince = now;
    return true;
}

bool RequestBroker::QuietLocked(pid_t pid, Clock::time_point now) const {
    auto links = links_.find(pid);
    return links == links_.end() ||
           (links->second.open == 0 && now - links->second.idleSince >= limits_.endGrace);
}

size_t RequestBroker::FailTakenIfEnded(const PeerProcess& process, Clock::time_point now) {
    if (!process.Known()) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!QuietLocked(process.Pid(), now)) {
            return 0;  // answers may still come
        }
        auto taken = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const auto& entry) {
            return entry.second.worker == process && entry.second.request->Taken();
        });
        if (taken == inFlight_.end()) {
            return 0;  // the usual case: nothing outstanding
        }
    }
    if (!process.Ended()) {
        return 0;
    }
    std::vector<std::shared_ptr<PendingRequest>> failed;
    Deliveries deliveries;
    size_t retried = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::shared_ptr<PendingRequest>> taken;
        for (auto it = inFlight_.begin(); it != inFlight_.end();) {
            if (it->second.worker == process && it->second.request->Taken()) {
                taken.push_back(std::move(it->second.request));
                it = inFlight_.erase(it);
            } else {
                ++it;
            }
        }
        // Placed after the walk: a placement may insert into inFlight_.
        for (auto& request : taken) {
            if (!request->Claimed() && request->Retry()) {
                ++retried;
                RequeueLocked(request, deliveries);
            } else {
                failed.push_back(std::move(request));
            }
        }
    }
    Deliver(deliveries);
    if (retried > 0) {
        GatewayLog::Warn("worker process " + std::to_string(process.Pid()) + " ended with " +
                         std::to_string(retried) +
                         " idempotent request(s) unanswered; sent to another worker");
    }
    const std::string body = "worker process " + std::to_string(process.Pid()) + " ended before answering\n";
    size_t count = 0;
    for (auto& request : failed) {
        if (!request->Claim()) {
            continue;  // timed out or abandoned meanwhile
        }
        ++count;
        if (auto owner = request->Owner()) {
            owner->Complete(request, 502, body);
        }
    }
    if (count > 0) {
        GatewayLog::Warn("worker process " + std::to_string(process.Pid()) + " ended with " +
                         std::to_string(count) + " request(s) unanswered; answered 502");
    }
    return count;
}

size_t RequestBroker::FailTakenOfEndedWorkers(Clock::time_point now) {
    std::vector<PeerProcess> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::set<pid_t> referenced;
        for (const auto& entry : inFlight_) {
            const PeerProcess& worker = entry.second.worker;
            referenced.insert(worker.Pid());
            // Few distinct workers: a linear search is enough.
            if (worker.Known() && entry.second.request->Taken() &&
                std::find(workers.begin(), workers.end(), worker) == workers.end()) {
                workers.push_back(worker);
            }
        }
        workers.erase(std::remove_if(workers.begin(), workers.end(),
                                     [&](const PeerProcess& w) { return !QuietLocked(w.Pid(), now); }),
                      workers.end());
        // Forget processes with nothing open and nothing out, so the map does not keep one entry
        // per worker that ever lived.
        for (auto it = links_.begin(); it != links_.end();) {
            if (it->second.open == 0 && referenced.count(it->first) == 0) {
                it = links_.erase(it);
            } else {
                ++it;
            }
        }
    }
    size_t count = 0;
    for (const auto& worker : workers) {
        count += FailTakenIfEnded(worker, now);
    }
    return count;
}

void RequestBroker::Tick(Clock::time_point now) {
    std::vector<std::pair<std::shared_ptr<IGatewayPeer>, std::string>> answers;
    Deliveries deliveries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Timed-out requests were taken out by Cancel; what is left is still wanted. Slots are
        // created below only after this walk (insertion would invalidate its iterators).
        std::vector<SlotEntry*> orphaned;  // not configured, nobody pulls, requests wait
        std::vector<std::string> wanted;   // configured keys some version's requests wait on
        for (auto& entry : slots_) {
            const ModuleSlot& slot = entry.second;
            if (slot.queue.empty()) {
                continue;
            }
            const std::string configured = config_->KeyOf(NameOf(entry.first));
            if (entry.first != configured && slot.pullers == 0) {
                orphaned.push_back(&entry);  // not demanded: the master must not bring it back
            }
            if (!configured.empty() && std::find(wanted.begin(), wanted.end(), configured) == wanted.end()) {
                wanted.push_back(configured);
            }
        }
        for (SlotEntry* entry : orphaned) {
            const std::string name = NameOf(entry->first);
            if (SlotEntry* serving = ServingLocked(name, config_->KeyOf(name))) {
                MoveQueueLocked(*entry, *serving, deliveries);
            }
        }
        for (const std::string& key : wanted) {
            ModuleSlot& slot = SlotLocked(key).second;
            if (slot.pullers == 0) {
                if (auto peer = DemandLocked(slot, key, now)) {
                    answers.emplace_back(std::move(peer), key);
                }
            }
        }
        for (auto it = slots_.begin(); it != slots_.end();) {
            const ModuleSlot& slot = it->second;
            // Forget modules nobody uses any more, so a long-running gateway does not collect
            // one slot per key ever seen.
            if (slot.queue.empty() && slot.held.empty() && slot.pullers == 0 &&
                now - slot.lastDemand > limits_.demandRefresh) {
                auto versions = slotsByName_.find(NameOf(it->first));
                if (versions != slotsByName_.end()) {
                    auto& list = versions->second;
                    list.erase(std::remove(list.begin(), list.end(), &*it), list.end());
                    if (list.empty()) {
                        slotsByName_.erase(versions);
                    }
                }
                it = slots_.erase(it);
            } else {
                ++it;
            }
        }
        stats_.Forget(*config_);
    }
    for (auto& answer : answers) {
        answer.first->AnswerDemand(answer.second);
    }
    Deliver(deliveries);
}

void RequestBroker::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.clear();
    slotsByName_.clear();
    inFlight_.clear();
    links_.clear();
    configPulls_.clear();
    demandPulls_.clear();
    demands_.clear();
    demandSet_.clear();
}

std::vector<RequestBroker::ModuleView> RequestBroker::View() const {
    std::map<std::string, ModuleView> views;  // by key text
    auto viewOf = [&views](const std::string& key) -> ModuleView& {
        ModuleView& view = views[key];
        if (view.name.empty()) {
            size_t cut = key.find("||");
            view.name = key.substr(0, cut);
            view.version = cut == std::string::npos ? "" : key.substr(cut + 2);
        }
        return view;
    };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : config_->Keys()) {
            viewOf(entry.second).configured = true;
        }
        for (const auto& entry : slots_) {
            ModuleView& view = viewOf(entry.first);
            const ModuleSlot& slot = entry.second;
            view.queued = slot.queue.size();
            view.stats = slot.stats;
            for (const auto& worker : slot.workers) {
                view.workers.push_back({worker.first, worker.second.connections, worker.second.since});
            }
        }
        for (const auto& entry : inFlight_) {
            ++viewOf(entry.second.request->ModuleKey()).inFlight;
        }
    }
    for (auto& entry : stats_.All()) {
        ModuleView& view = viewOf(entry.first);
        if (!view.stats) {
            view.stats = std::move(entry.second);
        }
    }
    std::vector<ModuleView> out;
    out.reserve(views.size());
    for (auto& entry : views) {
        out.push_back(std::move(entry.second));  // stats null: configured, never used yet
    }
    return out;
}

size_t RequestBroker::QueuedCount(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(key);
    return it == slots_.end() ? 0 : it->second.queue.size();
}

size_t RequestBroker::InFlightCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inFlight_.size();
}

size_t RequestBroker::PendingDemandCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return demands_.size();
}
