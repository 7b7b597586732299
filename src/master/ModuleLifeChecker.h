// The master's periodic trigger for module ageing: a timer on the master's I/O service that,
// every moduleLifeCheckDelay seconds, has placement retire modules idle beyond moduleIdleTime.
#pragma once

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

class IModuleMgtForMaster;

class ModuleLifeChecker {
public:
    ModuleLifeChecker(boost::asio::io_context& io, int delaySeconds);
    virtual ~ModuleLifeChecker();
    ModuleLifeChecker(const ModuleLifeChecker&) = delete;
    ModuleLifeChecker& operator=(const ModuleLifeChecker&) = delete;

    void SetModuleMgt(IModuleMgtForMaster* mgt) { moduleMgt = mgt; }
    void run(const boost::system::error_code& error, boost::asio::deadline_timer* t);

    // A shorter period would make the timer fire back to back.
    static constexpr int MIN_DELAY_SECONDS = 1;

private:
    boost::asio::deadline_timer timer;
    IModuleMgtForMaster* moduleMgt = nullptr;
};
