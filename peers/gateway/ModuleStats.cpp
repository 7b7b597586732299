#include "ModuleStats.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr auto R = std::memory_order_relaxed;

}  // namespace

const std::array<double, 16>& ModuleStats::Bounds() {
    static const std::array<double, 16> bounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                               0.25,   0.5,   1,      2.5,   5,    10,    30,   60};
    return bounds;
}

ModuleStats::ModuleStats() : ring_(WINDOW_SECONDS) {}

int64_t ModuleStats::SecondOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

size_t ModuleStats::FineIndex(uint64_t micros) {
    if (micros < 4) {
        return static_cast<size_t>(micros);
    }
    const uint64_t top = (uint64_t{1} << 27) - 1;
    micros = std::min(micros, top);
    const int msb = 63 - __builtin_clzll(micros);
    const uint64_t sub = (micros >> (msb - 2)) & 3;
    return static_cast<size_t>(4 * (msb - 1) + sub);
}

uint64_t ModuleStats::FineUpperMicros(size_t index) {
    if (index < 4) {
        return index + 1;
    }
    const int msb = static_cast<int>(index / 4) + 1;
    return (5 + index % 4) << (msb - 2);
}

void ModuleStats::Record(unsigned status, Clock::duration took, Clock::time_point now) {
    const unsigned cls = status / 100;
    if (cls >= 1 && cls <= CLASSES) {
        answered_[cls - 1].fetch_add(1, R);
    }
    const auto micros = static_cast<uint64_t>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    sumMicros_.fetch_add(micros, R);
    const auto& bounds = Bounds();
    const double seconds = static_cast<double>(micros) / 1e6;
    const size_t bucket =
        static_cast<size_t>(std::lower_bound(bounds.begin(), bounds.end(), seconds) - bounds.begin());
    buckets_[bucket].fetch_add(1, R);

    const int64_t stamp = SecondOf(now);
    Second& second = ring_[static_cast<size_t>(stamp % WINDOW_SECONDS)];
    int64_t seen = second.stamp.load(R);
    if (seen != stamp && seen < stamp && second.stamp.compare_exchange_strong(seen, stamp, R)) {
        // This slot last held a second a minute or more ago: start it afresh. A request another
        // thread records during the reset may be lost; the window is an estimate.
        for (auto& count : second.counts) {
            count.store(0, R);
        }
    }
    second.counts[FineIndex(micros)].fetch_add(1, R);
}

std::array<uint64_t, ModuleStats::CLASSES> ModuleStats::Answered() const {
    std::array<uint64_t, CLASSES> out{};
    for (size_t i = 0; i < CLASSES; ++i) {
        out[i] = answered_[i].load(R);
    }
    return out;
}

ModuleStats::Histogram ModuleStats::Lifetime() const {
    Histogram h;
    for (size_t i = 0; i < BUCKETS; ++i) {
        h.counts[i] = buckets_[i].load(R);
        h.count += h.counts[i];
    }
    h.sumMicros = sumMicros_.load(R);
    return h;
}

double ModuleStats::QuantileSeconds(double q, Clock::time_point now) const {
    std::array<uint64_t, FINE> merged{};
    uint64_t total = 0;
    const int64_t current = SecondOf(now);
    for (const Second& second : ring_) {
        const int64_t stamp = second.stamp.load(R);
        if (stamp < 0 || stamp > current || current - stamp >= WINDOW_SECONDS) {
            continue;
        }
        for (size_t i = 0; i < FINE; ++i) {
            const uint32_t n = second.counts[i].load(R);
            merged[i] += n;
            total += n;
        }
    }
    if (total == 0) {
        return -1;
    }
    // The smallest bucket below which at least q of the requests lie.
    const auto rank = static_cast<uint64_t>(std::max(1.0, std::ceil(q * static_cast<double>(total))));
    uint64_t seen = 0;
    for (size_t i = 0; i < FINE; ++i) {
        seen += merged[i];
        if (seen >= rank) {
            return static_cast<double>(FineUpperMicros(i)) / 1e6;
        }
    }
    return static_cast<double>(FineUpperMicros(FINE - 1)) / 1e6;
}
