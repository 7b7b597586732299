// Local wall-clock time for log lines and log file names. glibc's localtime_r takes a
// process-wide lock that fork does not reset, so a worker forked while another thread was
// inside it would hang on its first log line; the hot path therefore converts with a UTC
// offset cached per minute, and the one refresh a minute is fenced against fork.
#pragma once

#include <cstdint>

class LogClock {
public:
    struct Fields {
        int32_t year;
        int32_t month;  // 1..12
        int32_t day;    // 1..31
        int32_t hour;
        int32_t minute;
        int32_t second;
        int32_t millis;  // 0..999
    };

    // Milliseconds since the epoch (CLOCK_REALTIME).
    static int64_t NowMs();
    // Whole seconds since the epoch, cheap enough for every appended line.
    static int64_t NowSeconds();
    // Local time of an instant given in milliseconds since the epoch.
    static void LocalFields(int64_t epochMs, Fields& out);
    // Seconds east of UTC at that instant; asks the C library at most once per minute.
    static int32_t UtcOffset(int64_t epochSec);
    // Asks the C library for the offset at that instant now (refresh path; tests force it).
    static int32_t RefreshOffset(int64_t epochSec);
};
