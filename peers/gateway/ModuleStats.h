// What one module version's requests came to: answers by status class, and their latency twice
// over, for the whole run (fixed buckets, as a Prometheus histogram) and for the last minute (a
// ring of one-second histograms on a fine logarithmic scale, for p50 and p99).
//
// Record() runs on every answered request on any event-loop thread, so it only does relaxed
// atomic increments into memory allocated once: no lock, no allocation, the same size whatever
// the traffic. Readers see a consistent enough picture for an operator: a count may lag a
// request that is being recorded at that moment.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

class ModuleStats {
public:
    using Clock = std::chrono::steady_clock;

    // Status classes counted: 1xx (never sent by the gateway, kept for completeness), 2xx .. 5xx.
    static constexpr size_t CLASSES = 5;
    // Upper bounds in seconds of the whole-run histogram's buckets; +Inf comes after them.
    static const std::array<double, 16>& Bounds();
    static constexpr size_t BUCKETS = 17;  // Bounds() and +Inf

    ModuleStats();
    void Record(unsigned status, Clock::duration took, Clock::time_point now = Clock::now());

    struct Histogram {
        std::array<uint64_t, BUCKETS> counts{};  // per bucket, not cumulative
        uint64_t sumMicros = 0;
        uint64_t count = 0;
    };
    std::array<uint64_t, CLASSES> Answered() const;
    Histogram Lifetime() const;
    // Latency at quantile q (0..1] over the last 60 seconds, rounded up to its fine bucket (at
    // most a quarter above the true value); negative when nothing was answered in that time.
    double QuantileSeconds(double q, Clock::time_point now = Clock::now()) const;

    // The fine scale: 4 buckets per doubling of microseconds, up to about 134 s.
    static size_t FineIndex(uint64_t micros);
    static uint64_t FineUpperMicros(size_t index);  // exclusive
    static constexpr size_t FINE = 104;
    static constexpr int64_t WINDOW_SECONDS = 60;

private:
    struct Second {
        std::atomic<int64_t> stamp{-1};  // which second the counts belong to
        std::array<std::atomic<uint32_t>, FINE> counts{};
    };
    static int64_t SecondOf(Clock::time_point t);

    std::array<std::atomic<uint64_t>, CLASSES> answered_{};
    std::array<std::atomic<uint64_t>, BUCKETS> buckets_{};
    std::atomic<uint64_t> sumMicros_{0};
    std::vector<Second> ring_;  // WINDOW_SECONDS entries, never resized
};
