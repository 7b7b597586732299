#include "base/TraceScope.h"

#include "base/LogMgr.h"

TraceScope::TraceScope(const LogLocation& loc) {
    if (!LogLevelEnabled(LOG_LEVEL_TRACE)) return;
    const LogStamp stamp = CurrentLogStamp();
    startMs_ = stamp.epochMs;
    AppendLogLocation(location_, loc);
    LogMgr::GetInstance()->Write(FormatEntryLine(stamp, location_));
}

TraceScope::~TraceScope() {
    // Without an entry line there is no start time to measure from.
    if (location_.empty() || !LogLevelEnabled(LOG_LEVEL_TRACE)) return;
    const LogStamp stamp = CurrentLogStamp();
    LogMgr::GetInstance()->Write(FormatExitLine(stamp, stamp.epochMs - startMs_, location_));
}

std::string TraceScope::FormatEntryLine(const LogStamp& stamp, const std::string& location) {
    std::string line;
    line.reserve(64 + location.size());
    AppendLogPrefix(line, stamp, LOG_LEVEL_TRACE);
    line += "==> ";
    line += location;
    line += '\n';
    return line;
}

std::string TraceScope::FormatExitLine(const LogStamp& stamp, int64_t elapsedMs,
                                       const std::string& location) {
    std::string line;
    line.reserve(80 + location.size());
    AppendLogPrefix(line, stamp, LOG_LEVEL_TRACE);
    line += "<== [";
    line += std::to_string(elapsedMs);
    line += "ms] ";
    line += location;
    line += '\n';
    return line;
}
