// The fixed pool of handler threads that run requests in their modules: requests wait in
// arrival order and each free thread takes the oldest.
//
// Locking: mutex_ guards queue_ and idle_; it is a leaf lock, never held while a request runs.
// A post wakes at most one sleeping thread and only when one is idle, and a thread that takes a
// request wakes nobody else, so a request costs one wake-up at most.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "hosts/c/RequestPojo.h"

class HandlerPool {
public:
    using Task = std::function<void(RequestPojo&)>;

    // Starts threads threads that run task for every posted request. The threads inherit the
    // caller's signal mask and run for the life of the process.
    HandlerPool(size_t threads, Task task);
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;

    void Post(RequestPojo&& request);

private:
    void Work();

    const Task task_;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<RequestPojo> queue_;
    size_t idle_ = 0;
};
