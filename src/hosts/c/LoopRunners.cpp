#include "hosts/c/LoopRunners.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "base/Log.h"

namespace {

constexpr auto TICK = LoopRunners::HAND_OVER_AFTER / 2;
// A request handed over that still ends within this did not make its module slow.
constexpr auto BRIEF_AFTER_ALL = LoopRunners::HAND_OVER_AFTER * 3;
// Ticks without a request before the watcher sleeps until the next one: an idle worker is not
// woken every few milliseconds.
constexpr int QUIET_TICKS = 250;
// How often the thread that started the loop, parked, looks whether the loop was stopped while
// the leader runs a request (nobody inside the loop would notice).
constexpr std::chrono::milliseconds STOP_CHECK{100};

// Requests run on the loop threads: like the handler pool's threads they take no signal.
// False when no thread could be started.
bool StartWithAllSignalsBlocked(std::function<void()> body) {
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool started = true;
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error& e) {
        LOG_INFO(std::string("loop thread not started, ") + e.what());
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

}  // namespace

thread_local LoopRunners::Slot* LoopRunners::current_ = nullptr;

LoopRunners& LoopRunners::Instance() {
    // Never destroyed: threads it started may still be finishing a request at exit.
    static LoopRunners* instance = new LoopRunners();
    return *instance;
}

void LoopRunners::Run(boost::asio::io_context& io) {
    int id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        io_ = &io;
        stopping_ = false;
        id = nextId_++;
        leader_ = id;
        leaderBusy_ = 0;
        ++threads_;
        if (!watcherStarted_) {
            // Without a watcher a slow request holds the loop until it ends; the loop still runs.
            watcherStarted_ = StartWithAllSignalsBlocked([this] { Watch(); });
        }
    }
    Lead(io, id, true);
}

void LoopRunners::Lead(boost::asio::io_context& io, int id, bool caller) {
    Slot slot;
    current_ = &slot;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (leader_ != id && !stopping_) {
            if (caller && io.stopped() && !leaderInLoop_) {
                stopping_ = true;  // the leader finishes its request and leaves
                parkedCond_.notify_all();
                break;
            }
            parked_.push_back(id);
            if (caller) {
                parkedCond_.wait_for(lock, STOP_CHECK);
            } else {
                parkedCond_.wait(lock);
            }
            parked_.erase(std::find(parked_.begin(), parked_.end(), id));
        }
        if (stopping_) {
            break;
        }
        leaderInLoop_ = true;
        lock.unlock();
        slot.inLoop = true;
        size_t ran = 1;
        try {
            ran = io.run_one();
        } catch (const std::exception& e) {
            // A handler that throws must not take the worker's event loop down with it.
            LOG_INFO(std::string("IOService error, ") + e.what());
        }
        slot.inLoop = false;
        lock.lock();
        leaderInLoop_ = false;
        if (ran == 0 && io.stopped()) {
            stopping_ = true;
            parkedCond_.notify_all();
            break;
        }
        if (!slot.work) {
            continue;
        }
        leaderBusy_ = ++started_;
        leaderModule_ = slot.module;
        if (watcherParked_) {
            watcherParked_ = false;
            watchCond_.notify_one();
        }
        lock.unlock();
        std::function<void()> work = std::move(slot.work);
        slot.work = nullptr;
        const auto began = std::chrono::steady_clock::now();
        work();
        const auto took = std::chrono::steady_clock::now() - began;
        lock.lock();
        if (leader_ == id) {
            leaderBusy_ = 0;
        } else if (took < BRIEF_AFTER_ALL) {
            // Handed over, yet over soon: the thread was most likely kept off the CPU, the
            // module is not slow.
            slowUntil_.erase(slot.module);
        }
    }
    --threads_;
    current_ = nullptr;
}

bool LoopRunners::MayRunHere(const std::string& module) {
    Slot* slot = current_;
    if (slot == nullptr || !slot->inLoop || slot->work) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slowUntil_.find(module);
    if (it == slowUntil_.end()) {
        return true;
    }
    if (std::chrono::steady_clock::now() < it->second) {
        return false;
    }
    slowUntil_.erase(it);
    return true;
}

void LoopRunners::RunHere(const std::string& module, std::function<void()> work) {
    current_->module = module;
    current_->work = std::move(work);
}

uint64_t LoopRunners::HandOvers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handOvers_;
}

void LoopRunners::Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t seen = 0;
    uint64_t startedSeen = started_;
    int quiet = 0;
    for (;;) {
        if (quiet >= QUIET_TICKS) {
            watcherParked_ = true;
            watchCond_.wait(lock, [this] { return !watcherParked_; });
            quiet = 0;
            seen = 0;
            startedSeen = started_;
        }
        watchCond_.wait_for(lock, TICK);
        quiet = started_ == startedSeen && leaderBusy_ == 0 ? quiet + 1 : 0;
        startedSeen = started_;
        // The same request on the leader at two ticks in a row has run for more than one tick.
        if (leaderBusy_ != 0 && leaderBusy_ == seen) {
            HandOver();
            seen = 0;
        } else {
            seen = leaderBusy_;
        }
    }
}

void LoopRunners::HandOver() {
    // Its next requests go to the handler pool for a while: each hand-over costs the loop a tick.
    slowUntil_[leaderModule_] = std::chrono::steady_clock::now() + SLOW_FOR;
    int next;
    if (!parked_.empty()) {
        next = parked_.back();
    } else if (threads_ < MAX_THREADS) {
        next = nextId_++;
        boost::asio::io_context* io = io_;
        if (!StartWithAllSignalsBlocked([this, io, next] { Lead(*io, next, false); })) {
            return;  // no thread to be had: the loop waits for the leader's request
        }
        ++threads_;
    } else {
        return;  // every thread runs a request: the loop waits for the leader's to end
    }
    ++handOvers_;
    LOG_INFO("loop handed over, " + leaderModule_ + " runs longer than " +
             std::to_string(HAND_OVER_AFTER.count()) + " ms");
    leader_ = next;
    leaderBusy_ = 0;
    parkedCond_.notify_all();
}
