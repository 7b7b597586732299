#include "hosts/c/HandlerPool.h"

#include <thread>
#include <utility>

HandlerPool::HandlerPool(size_t threads, Task task) : task_(std::move(task)) {
    for (size_t i = 0; i < threads; ++i) {
        // Never joined: the pool lives as long as the process, like the process's exit.
        std::thread([this] { Work(); }).detach();
    }
}

void HandlerPool::Post(RequestPojo&& request) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(request));
        wake = idle_ > 0;
    }
    // Outside the lock, so the woken thread does not find it still held.
    if (wake) {
        cond_.notify_one();
    }
}

void HandlerPool::Work() {
    for (;;) {
        RequestPojo request;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (queue_.empty()) {
                ++idle_;
                cond_.wait(lock);
                --idle_;
            }
            request = std::move(queue_.front());
            queue_.pop_front();
        }
        task_(request);
    }
}
