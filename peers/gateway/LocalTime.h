// Wall-clock times as operators read them: ISO 8601, local time, milliseconds, UTC offset
// ("2026-12-07T13:14:45.123+01:00").
#pragma once

#include <chrono>
#include <ctime>
#include <string>

class LocalTime {
public:
    static std::string Iso8601(std::chrono::system_clock::time_point t);
    // Appends the second's part before the milliseconds ("2026-12-07T13:14:45") to date and the
    // offset ("+01:00") to offset.
    static void Split(time_t second, std::string& date, std::string& offset);
};
