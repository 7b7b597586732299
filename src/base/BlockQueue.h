// A blocking FIFO queue shared between producer threads and a consuming thread, with a stop
// flag that releases waiting consumers at shutdown.
//
// Locking: mutex_ guards list_, count_ and stopped_; it is a leaf lock (nothing else is taken
// while it is held, elements are copied/moved under it only).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <utility>

template <typename T>
class BlockQueue {
public:
    BlockQueue() = default;
    virtual ~BlockQueue() = default;
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Appends at the back and wakes every waiter. Accepted after Stop() too, so that an item
    // handed back by a consumer is not lost; consumers drain the queue before they give up.
    void Push(T item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            list_.push_back(std::move(item));
            ++count_;
        }
        cond_.notify_all();
    }

    // Waits until an item is there or the queue is stopped. Returns false only when the queue
    // is stopped and empty.
    bool Pop(T& out) {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return !list_.empty() || stopped_; });
        return TakeFront(out);
    }

    // As Pop, but gives up after timeout (returns false when nothing came).
    template <typename Rep, typename Period>
    bool PopFor(T& out, std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait_for(lock, timeout, [this] { return !list_.empty() || stopped_; });
        return TakeFront(out);
    }

    // Takes the front item without waiting.
    bool TryPop(T& out) {
        std::lock_guard<std::mutex> lock(mutex_);
        return TakeFront(out);
    }

    // Sets the stop flag (never cleared) and wakes every waiter. Set under the mutex, so a
    // consumer between its check and its wait cannot miss it.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        cond_.notify_all();
    }

    bool Stopped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }

    uint64_t Size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

    bool Empty() const { return Size() == 0; }

private:
    // Caller holds mutex_.
    bool TakeFront(T& out) {
        if (list_.empty()) {
            return false;
        }
        out = std::move(list_.front());
        list_.pop_front();
        --count_;
        return true;
    }

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::list<T> list_;
    uint64_t count_ = 0;
    bool stopped_ = false;
};
