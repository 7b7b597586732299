// The fixed pool of handler threads that run requests in their modules. Each module's requests
// wait in arrival order. A free thread serves, among the modules with requests waiting, the one
// with the fewest running (the longest unserved first on a tie), and no module holds more than its
// share of the threads: a module whose requests are all slow leaves the rest to its neighbours.
//
// Locking: mutex_ guards lanes_ and idle_; it is a leaf lock, never held while a request runs.
// A post wakes at most one sleeping thread and only when one is idle, and a thread that takes a
// request wakes nobody else, so a request costs one wake-up at most.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include "hosts/c/RequestPojo.h"

class HandlerPool {
public:
    using Task = std::function<void(RequestPojo&)>;

    // Starts threads threads that run task for every posted request, at most share of them for
    // one module (name and version) at a time. The threads inherit the caller's signal mask and
    // run for the life of the process.
    HandlerPool(size_t threads, size_t share, Task task);
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;

    void Post(RequestPojo&& request);
    // For a request another thread runs at once: true when the pool would start it now (its
    // module below its share, none of its requests waiting), and then it counts as running until
    // EndElsewhere.
    bool StartElsewhere(const RequestPojo& request);
    void EndElsewhere(const RequestPojo& request);

private:
    // One module's waiting requests and how many of its requests run.
    struct Lane {
        std::string moduleName;
        std::string version;
        std::deque<RequestPojo> waiting;
        size_t running = 0;
    };
    using LaneIt = std::list<Lane>::iterator;

    void Work();
    // The caller holds mutex_.
    LaneIt LaneOf(const RequestPojo& request);
    LaneIt NextLane();

    const size_t share_;
    const Task task_;
    std::mutex mutex_;
    std::condition_variable cond_;
    // Modules with requests waiting or running; the one served last goes to the back.
    std::list<Lane> lanes_;
    size_t idle_ = 0;
};
