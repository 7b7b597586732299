// Runs the C worker's event loop so that a request runs on the thread that read it. One thread at
// a time, the leader, runs the loop; a request its handler accepts runs on the leader right after
// that handler returns (the next pull is already sent): no hand-off to a pool thread, no wake-up.
// Should the request still run after a few milliseconds, a watcher hands the loop to another
// thread (a parked one, or a new one, up to a bound), so a slow request holds the other receivers
// up for those milliseconds only; its module's requests then go to the handler pool for a while.
// The old leader parks once its request has ended.
//
// Locking: mutex_ guards everything but the per-thread slot; it is never held while the loop or a
// request runs. Only the leader calls into the loop, and the leadership moves only while the
// leader runs a request outside it, so at most one thread is ever inside the loop.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class LoopRunners {
public:
    // A request still running after this long on the leader gets the loop handed over.
    static constexpr std::chrono::milliseconds HAND_OVER_AFTER{4};
    // How long a module whose request got the loop handed over runs on the pool instead.
    static constexpr std::chrono::milliseconds SLOW_FOR{1000};
    static constexpr size_t MAX_THREADS = 24;

    static LoopRunners& Instance();

    // Runs io on the calling thread and on the threads the loop is handed to, until io is
    // stopped. Returns once no thread is inside io; requests that run outside it may go on.
    void Run(boost::asio::io_context& io);

    // From a handler running on the loop: true when work for module may run on this thread once
    // the handler returns (nothing else waits to run here and the module has not been slow).
    bool MayRunHere(const std::string& module);
    // After MayRunHere answered true on this thread and in this handler: runs work there.
    void RunHere(const std::string& module, std::function<void()> work);

    // Loop hand-overs so far.
    uint64_t HandOvers();

private:
    LoopRunners() = default;
    // What the calling thread may run once its handler returns.
    struct Slot {
        bool inLoop = false;
        std::string module;
        std::function<void()> work;
    };
    static thread_local Slot* current_;

    void Lead(boost::asio::io_context& io, int id, bool caller);
    void Watch();
    // The caller holds mutex_.
    void HandOver();

    std::mutex mutex_;
    std::condition_variable parkedCond_;
    std::condition_variable watchCond_;
    boost::asio::io_context* io_ = nullptr;
    int leader_ = 0;
    bool leaderInLoop_ = false;
    int nextId_ = 1;
    size_t threads_ = 0;
    std::vector<int> parked_;
    bool stopping_ = false;
    // The leader's request: a number per request, 0 while it runs none.
    uint64_t leaderBusy_ = 0;
    uint64_t started_ = 0;
    std::string leaderModule_;
    bool watcherParked_ = true;
    bool watcherStarted_ = false;
    uint64_t handOvers_ = 0;
    std::map<std::string, std::chrono::steady_clock::time_point> slowUntil_;
};
