#include "common/TimeGuard.h"

#include "common/Log.h"

TimeGuard::TimeGuard(const std::string& name)
    : name_(name), start_(boost::posix_time::microsec_clock::local_time())
{
}

TimeGuard::~TimeGuard()
{
    boost::posix_time::time_duration elapsed = boost::posix_time::microsec_clock::local_time() - start_;
    int64_t ms = elapsed.total_microseconds() / 1000;
    LOG_INFO(name_ + " cost ms:" + std::to_string(ms));
}
