#include "master/ModuleLifeChecker.h"

#include <algorithm>

#include "base/Log.h"
#include "base/PropertyLoader.h"
#include "master/IModuleMgtForMaster.h"

namespace {

boost::posix_time::time_duration Period(int seconds) {
    return boost::posix_time::seconds(std::max(seconds, ModuleLifeChecker::MIN_DELAY_SECONDS));
}

}  // namespace

ModuleLifeChecker::ModuleLifeChecker(boost::asio::io_context& io, int delaySeconds)
    : timer(io, Period(delaySeconds)) {
    timer.async_wait([this](const boost::system::error_code& ec) { run(ec, &timer); });
}

ModuleLifeChecker::~ModuleLifeChecker() {
    timer.cancel();
}

void ModuleLifeChecker::run(const boost::system::error_code& /*error*/, boost::asio::deadline_timer* t) {
    int idle = getProperty("moduleIdleTime");
    if (moduleMgt != nullptr) {
        moduleMgt->CheckModuleAgeing(idle);
    } else {
        LOG_INFO("moduleMgt is null");
    }
    // Counted from the previous expiry, so checks do not drift.
    boost::posix_time::ptime next = t->expires_at();
    if (!next.is_special()) next += Period(getProperty("moduleLifeCheckDelay"));
    t->expires_at(next);
    t->async_wait([this, t](const boost::system::error_code& ec) { run(ec, t); });
}
