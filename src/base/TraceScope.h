// Trace lines for a scope: "==> " and the location on entry, "<== [Nms] " and the location on
// exit, written only when Trace lines are enabled.
#pragma once

#include <cstdint>
#include <string>

#include "base/Log.h"

class TraceScope {
public:
    explicit TraceScope(const LogLocation& loc);
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    // The two lines with the stamp given, as written.
    static std::string FormatEntryLine(const LogStamp& stamp, const std::string& location);
    static std::string FormatExitLine(const LogStamp& stamp, int64_t elapsedMs, const std::string& location);

private:
    int64_t startMs_ = 0;
    std::string location_;  // empty when nothing was written on entry
};

#define TRACE_SCOPE() TraceScope vesselTraceScope(VESSEL_LOG_LOCATION)
