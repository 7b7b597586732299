// Scope timer: logs how many milliseconds a named operation took, on every exit path.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <string>

class TimeGuard {
public:
    explicit TimeGuard(const std::string& name);
    ~TimeGuard();
    TimeGuard(const TimeGuard&) = delete;
    TimeGuard& operator=(const TimeGuard&) = delete;

private:
    std::string name_;
    // Wall clock, so a clock change during the scope shows up in the logged value.
    boost::posix_time::ptime start_;
};
