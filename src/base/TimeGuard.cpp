#include "base/TimeGuard.h"

#include "base/Log.h"
#include "base/LogClock.h"

namespace {

// Local wall-clock time with microseconds. microsec_clock::local_time() asks localtime_r, which
// takes a process-wide lock on every call; a guard runs around every request on up to 16
// threads, so the UTC offset comes from the logger's per-minute cache instead.
boost::posix_time::ptime LocalNow() {
    boost::posix_time::ptime utc = boost::posix_time::microsec_clock::universal_time();
    const int64_t epochSec =
        (utc - boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1))).total_seconds();
    return utc + boost::posix_time::seconds(LogClock::UtcOffset(epochSec));
}

}  // namespace

TimeGuard::TimeGuard(const std::string& name) : name_(name), start_(LocalNow()) {}

TimeGuard::~TimeGuard() {
    boost::posix_time::time_duration elapsed = LocalNow() - start_;
    int64_t ms = elapsed.total_microseconds() / 1000;
    LOG_INFO(name_ + " cost ms:" + std::to_string(ms));
}
