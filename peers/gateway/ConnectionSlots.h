// The HTTP connections open against --max-connections, counted across the event-loop threads.
// A session holds a Slot for as long as its socket is open.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

class ConnectionSlots : public std::enable_shared_from_this<ConnectionSlots> {
public:
    // One taken place; given back when released or destroyed.
    class Slot {
    public:
        Slot() = default;
        explicit Slot(std::shared_ptr<ConnectionSlots> owner) : owner_(std::move(owner)) {}
        Slot(Slot&&) = default;
        Slot& operator=(Slot&& other) noexcept {
            Release();
            owner_ = std::move(other.owner_);
            return *this;
        }
        ~Slot() { Release(); }
        void Release() {
            if (owner_) {
                owner_->inUse_.fetch_sub(1, std::memory_order_relaxed);
                owner_.reset();
            }
        }
        explicit operator bool() const { return owner_ != nullptr; }

    private:
        std::shared_ptr<ConnectionSlots> owner_;
    };

    explicit ConnectionSlots(size_t limit) : limit_(limit) {}
    // A slot, or an empty one when all limit places are taken.
    Slot TryTake();
    size_t Limit() const { return limit_; }
    size_t InUse() const { return inUse_.load(std::memory_order_relaxed); }

private:
    const size_t limit_;
    std::atomic<size_t> inUse_{0};
};
