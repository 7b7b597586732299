// The gateway's end of the wire-format library's log calls. The codec logs what it rejects
// through the five functions of base/Log.h; Vessel links its own log files behind them, and
// vessel-gateway links these instead: the same lines go to the gateway's log, and the gateway
// carries none of Vessel's log machinery (files, rolling, compression). Linked into the
// vessel-gateway executable only: the tests link Vessel's.
#include "GatewayLog.h"
#include "base/Log.h"

namespace {

std::string WithSource(const std::string& msg, const LogLocation& loc) {
    return msg + " [" + loc.func + "]";
}

}  // namespace

bool LogLevelEnabled(int32_t level) {
    return level >= LOG_LEVEL_INFO;
}

void LogInfo(const std::string& msg, const LogLocation& loc) {
    GatewayLog::Info(WithSource(msg, loc));
}
void LogWarn(const std::string& msg, const LogLocation& loc) {
    GatewayLog::Warn(WithSource(msg, loc));
}
void LogDebug(const std::string&, const LogLocation&) {}
void LogTrace(const std::string&, const LogLocation&) {}
void LogErrorCode(uint32_t code, const std::string& msg, const LogLocation& loc) {
    GatewayLog::Error(WithSource(msg, loc) + " (code " + std::to_string(code) + ")");
}
