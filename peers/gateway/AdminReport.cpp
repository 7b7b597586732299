#include "AdminReport.h"

#include <cstdio>

#include "JsonText.h"
#include "LocalTime.h"

namespace {

std::string Number(double value, const char* format = "%.3f") {
    char text[64];
    snprintf(text, sizeof(text), format, value);
    return text;
}

// Latency in milliseconds for JSON, null when unknown.
std::string Millis(double seconds) {
    return seconds < 0 ? "null" : Number(seconds * 1000);
}

std::string Quoted(const std::string& text) {
    std::string out;
    if (!JsonText::AppendString(out, text)) {
        out = "\"(not UTF-8)\"";
    }
    return out;
}

}  // namespace

AdminReport::AdminReport(std::vector<RequestBroker::ModuleView> modules, const ModuleStats& unrouted,
                         Totals totals, ModuleStats::Clock::time_point now)
    : unrouted_(unrouted.Answered()), totals_(std::move(totals)) {
    for (auto& view : modules) {
        Module module;
        if (view.stats) {
            module.answered = view.stats->Answered();
            module.lifetime = view.stats->Lifetime();
            module.p50 = view.stats->QuantileSeconds(0.5, now);
            module.p99 = view.stats->QuantileSeconds(0.99, now);
        }
        module.view = std::move(view);
        modules_.push_back(std::move(module));
    }
}

std::string AdminReport::ClassName(size_t index) {
    return std::to_string(index + 1) + "xx";
}

uint64_t AdminReport::TotalAnswered() const {
    uint64_t total = 0;
    for (uint64_t n : unrouted_) {
        total += n;
    }
    for (const Module& module : modules_) {
        for (uint64_t n : module.answered) {
            total += n;
        }
    }
    return total;
}

std::string AdminReport::Json() const {
    auto classes = [](const std::array<uint64_t, ModuleStats::CLASSES>& counts) {
        std::string out = "{";
        for (size_t i = 0; i < counts.size(); ++i) {
            out += (i ? ",\"" : "\"") + ClassName(i) + "\":" + std::to_string(counts[i]);
        }
        return out + "}";
    };
    std::string out = "{\"version\":" + Quoted(totals_.version) +
                      ",\"uptimeSeconds\":" + Number(totals_.uptimeSeconds, "%.0f") +
                      ",\"connections\":{\"http\":" + std::to_string(totals_.httpConnections) +
                      ",\"worker\":" + std::to_string(totals_.workerConnections) +
                      "},\"requests\":{\"total\":" + std::to_string(TotalAnswered()) +
                      ",\"noModule\":" + classes(unrouted_) + "},\"modules\":[";
    bool first = true;
    for (const Module& module : modules_) {
        const auto& view = module.view;
        out += first ? "" : ",";
        first = false;
        out += "{\"name\":" + Quoted(view.name) + ",\"version\":" + Quoted(view.version) +
               ",\"configured\":" + (view.configured ? "true" : "false") + ",\"workers\":[";
        for (size_t i = 0; i < view.workers.size(); ++i) {
            const auto& worker = view.workers[i];
            out += (i ? ",{\"pid\":" : "{\"pid\":") + std::to_string(worker.pid) +
                   ",\"connections\":" + std::to_string(worker.connections) +
                   ",\"connectedSince\":" + Quoted(LocalTime::Iso8601(worker.since)) + "}";
        }
        out += "],\"queued\":" + std::to_string(view.queued) +
               ",\"inFlight\":" + std::to_string(view.inFlight) +
               ",\"answered\":" + classes(module.answered) + ",\"latencyMs\":{\"p50\":" + Millis(module.p50) +
               ",\"p99\":" + Millis(module.p99) + "}}";
    }
    return out + "]}\n";
}

std::string AdminReport::HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string AdminReport::Html() const {
    auto cell = [](const std::string& text) { return "<td>" + HtmlEscape(text) + "</td>"; };
    auto millis = [](double seconds) { return seconds < 0 ? std::string("-") : Number(seconds * 1000); };
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"refresh\" content=\"2\"><title>vessel-gateway status</title>"
        "<style>body{font-family:sans-serif}table{border-collapse:collapse}"
        "td,th{border:1px solid #999;padding:2px 6px;text-align:right}td:first-child{text-align:left}"
        "</style></head><body>\n<h1>vessel-gateway " +
        HtmlEscape(totals_.version) + "</h1>\n<p>Up " + Number(totals_.uptimeSeconds, "%.0f") + " s; " +
        std::to_string(totals_.httpConnections) + " HTTP connections, " +
        std::to_string(totals_.workerConnections) + " gateway socket connections; " +
        std::to_string(TotalAnswered()) + " requests answered, of them for no module:";
    for (size_t i = 0; i < unrouted_.size(); ++i) {
        out += " " + ClassName(i) + " " + std::to_string(unrouted_[i]);
    }
    out +=
        ".</p>\n<table><thead><tr><th>Module</th><th>Version</th><th>Workers (pid, since)</th>"
        "<th>Queued</th><th>In flight</th>";
    for (size_t i = 0; i < ModuleStats::CLASSES; ++i) {
        out += "<th>" + ClassName(i) + "</th>";
    }
    out += "<th>p50 ms</th><th>p99 ms</th></tr></thead><tbody>\n";
    for (const Module& module : modules_) {
        const auto& view = module.view;
        out += "<tr>" + cell(view.name) + cell(view.version + (view.configured ? "" : " (old)")) + "<td>";
        for (const auto& worker : view.workers) {
            out += "<div>" + std::to_string(worker.pid) + ", " +
                   HtmlEscape(LocalTime::Iso8601(worker.since)) + "</div>";
        }
        out += "</td>" + cell(std::to_string(view.queued)) + cell(std::to_string(view.inFlight));
        for (uint64_t n : module.answered) {
            out += cell(std::to_string(n));
        }
        out += cell(millis(module.p50)) + cell(millis(module.p99)) + "</tr>\n";
    }
    return out + "</tbody></table>\n<p>Latency over the last minute.</p>\n</body></html>\n";
}

std::string AdminReport::LabelEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string AdminReport::Prometheus() const {
    std::string out;
    auto family = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    auto labels = [](const RequestBroker::ModuleView& view) {
        return "module=\"" + LabelEscape(view.name) + "\",version=\"" + LabelEscape(view.version) + "\"";
    };

    family("vessel_gateway_build_info", "gauge", "Always 1; the version label names this vessel-gateway.");
    out += "vessel_gateway_build_info{version=\"" + LabelEscape(totals_.version) + "\"} 1\n";
    family("vessel_gateway_uptime_seconds", "gauge", "Seconds since vessel-gateway started.");
    out += "vessel_gateway_uptime_seconds " + Number(totals_.uptimeSeconds) + "\n";
    family("vessel_gateway_connections", "gauge",
           "Open connections: HTTP clients (http) and Vessel's on the gateway socket (worker).");
    out += "vessel_gateway_connections{kind=\"http\"} " + std::to_string(totals_.httpConnections) + "\n";
    out += "vessel_gateway_connections{kind=\"worker\"} " + std::to_string(totals_.workerConnections) + "\n";

    family("vessel_gateway_requests_total", "counter",
           "Requests answered, by module version and status class; empty module: routed to none.");
    for (size_t i = 0; i < ModuleStats::CLASSES; ++i) {
        out += "vessel_gateway_requests_total{module=\"\",version=\"\",code=\"" + ClassName(i) + "\"} " +
               std::to_string(unrouted_[i]) + "\n";
    }
    for (const Module& module : modules_) {
        for (size_t i = 0; i < ModuleStats::CLASSES; ++i) {
            out += "vessel_gateway_requests_total{" + labels(module.view) + ",code=\"" + ClassName(i) +
                   "\"} " + std::to_string(module.answered[i]) + "\n";
        }
    }
    family("vessel_gateway_requests_in_flight", "gauge", "Requests handed to a worker and not answered yet.");
    for (const Module& module : modules_) {
        out += "vessel_gateway_requests_in_flight{" + labels(module.view) + "} " +
               std::to_string(module.view.inFlight) + "\n";
    }
    family("vessel_gateway_queue_depth", "gauge", "Requests waiting for a worker to pull them.");
    for (const Module& module : modules_) {
        out += "vessel_gateway_queue_depth{" + labels(module.view) + "} " +
               std::to_string(module.view.queued) + "\n";
    }
    family("vessel_gateway_workers", "gauge", "Worker processes pulling requests for the module version.");
    for (const Module& module : modules_) {
        out += "vessel_gateway_workers{" + labels(module.view) + "} " +
               std::to_string(module.view.workers.size()) + "\n";
    }
    family("vessel_gateway_request_duration_seconds", "histogram",
           "Time from a request's header to its answer, per module version.");
    const auto& bounds = ModuleStats::Bounds();
    for (const Module& module : modules_) {
        const std::string name = "vessel_gateway_request_duration_seconds";
        const std::string common = labels(module.view);
        uint64_t cumulative = 0;
        for (size_t i = 0; i < ModuleStats::BUCKETS; ++i) {
            cumulative += module.lifetime.counts[i];
            const std::string le = i < bounds.size() ? Number(bounds[i], "%g") : "+Inf";
            out += name + "_bucket{" + common + ",le=\"" + le + "\"} " + std::to_string(cumulative) + "\n";
        }
        out += name + "_sum{" + common + "} " +
               Number(static_cast<double>(module.lifetime.sumMicros) / 1e6, "%.6f") + "\n";
        out += name + "_count{" + common + "} " + std::to_string(module.lifetime.count) + "\n";
    }
    return out;
}
