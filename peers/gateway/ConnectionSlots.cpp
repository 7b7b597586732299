#include "ConnectionSlots.h"

ConnectionSlots::Slot ConnectionSlots::TryTake() {
    size_t used = inUse_.load(std::memory_order_relaxed);
    do {
        if (used >= limit_) {
            return Slot();
        }
    } while (!inUse_.compare_exchange_weak(used, used + 1, std::memory_order_relaxed));
    return Slot(shared_from_this());
}
