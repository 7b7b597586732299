// What the operator view shows, read once per request to /status or /metrics: every module
// version with its workers, queue, requests out, answers by status class and latency, and the
// gateway's totals. Rendered as JSON, as a self-refreshing HTML page, or in the Prometheus text
// format (version 0.0.4).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ModuleStats.h"
#include "RequestBroker.h"

class AdminReport {
public:
    struct Totals {
        std::string version;
        double uptimeSeconds = 0;
        size_t httpConnections = 0;
        int64_t workerConnections = 0;
    };

    AdminReport(std::vector<RequestBroker::ModuleView> modules, const ModuleStats& unrouted, Totals totals,
                ModuleStats::Clock::time_point now = ModuleStats::Clock::now());

    std::string Json() const;
    std::string Html() const;
    std::string Prometheus() const;

    // Text escaped for HTML element content and attribute values.
    static std::string HtmlEscape(const std::string& text);
    // A label value as the Prometheus text format writes it: backslash, quote and line feed escaped.
    static std::string LabelEscape(const std::string& text);

private:
    struct Module {
        RequestBroker::ModuleView view;
        std::array<uint64_t, ModuleStats::CLASSES> answered{};
        ModuleStats::Histogram lifetime;
        double p50 = -1;  // seconds; negative: nothing answered in the last minute
        double p99 = -1;
    };
    static std::string ClassName(size_t index);  // "1xx" .. "5xx"
    uint64_t TotalAnswered() const;

    std::vector<Module> modules_;
    std::array<uint64_t, ModuleStats::CLASSES> unrouted_{};
    Totals totals_;
};
