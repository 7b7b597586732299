#include "hosts/c/HandlerPool.h"

#include <thread>
#include <utility>

HandlerPool::HandlerPool(size_t threads, size_t share, Task task) : share_(share), task_(std::move(task)) {
    for (size_t i = 0; i < threads; ++i) {
        // Never joined: the pool lives as long as the process, like the process's exit.
        std::thread([this] { Work(); }).detach();
    }
}

void HandlerPool::Post(RequestPojo&& request) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        LaneIt lane = LaneOf(request);
        lane->waiting.push_back(std::move(request));
        // A module at its share waits for one of its own requests to end: that thread takes it.
        wake = idle_ > 0 && lane->running < share_;
    }
    // Outside the lock, so the woken thread does not find it still held.
    if (wake) {
        cond_.notify_one();
    }
}

bool HandlerPool::StartElsewhere(const RequestPojo& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    LaneIt lane = LaneOf(request);
    if (!lane->waiting.empty() || lane->running >= share_) {
        return false;
    }
    ++lane->running;
    return true;
}

void HandlerPool::EndElsewhere(const RequestPojo& request) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        LaneIt lane = LaneOf(request);
        --lane->running;
        if (lane->running == 0 && lane->waiting.empty()) {
            lanes_.erase(lane);
        }
        // A request that waited for this module's share to free up starts now.
        wake = idle_ > 0 && NextLane() != lanes_.end();
    }
    if (wake) {
        cond_.notify_one();
    }
}

HandlerPool::LaneIt HandlerPool::LaneOf(const RequestPojo& request) {
    // A worker hosts a handful of modules: a scan is cheaper than hashing the names.
    for (LaneIt it = lanes_.begin(); it != lanes_.end(); ++it) {
        if (it->moduleName == request.moduleName && it->version == request.version) {
            return it;
        }
    }
    lanes_.emplace_back();
    lanes_.back().moduleName = request.moduleName;
    lanes_.back().version = request.version;
    return std::prev(lanes_.end());
}

HandlerPool::LaneIt HandlerPool::NextLane() {
    LaneIt best = lanes_.end();
    for (LaneIt it = lanes_.begin(); it != lanes_.end(); ++it) {
        if (!it->waiting.empty() && it->running < share_ &&
            (best == lanes_.end() || it->running < best->running)) {
            best = it;
        }
    }
    return best;
}

void HandlerPool::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        LaneIt lane;
        while ((lane = NextLane()) == lanes_.end()) {
            ++idle_;
            cond_.wait(lock);
            --idle_;
        }
        RequestPojo request = std::move(lane->waiting.front());
        lane->waiting.pop_front();
        ++lane->running;
        lanes_.splice(lanes_.end(), lanes_, lane);  // iterators stay valid
        lock.unlock();
        task_(request);
        lock.lock();
        // This thread looks for work next, so a module that was at its share is served again
        // without another thread being woken.
        if (--lane->running == 0 && lane->waiting.empty()) {
            lanes_.erase(lane);
        }
    }
}
