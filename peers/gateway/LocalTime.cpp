#include "LocalTime.h"

#include <cstdio>
#include <cstdlib>

void LocalTime::Split(time_t second, std::string& date, std::string& offset) {
    struct tm local;
    localtime_r(&second, &local);
    char text[32];
    size_t n = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    date.append(text, n);
    const long minutes = local.tm_gmtoff / 60;
    snprintf(text, sizeof(text), "%c%02ld:%02ld", minutes < 0 ? '-' : '+', labs(minutes) / 60,
             labs(minutes) % 60);
    offset += text;
}

std::string LocalTime::Iso8601(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    std::string date, offset;
    Split(static_cast<time_t>(ms / 1000), date, offset);
    char frac[8];
    snprintf(frac, sizeof(frac), ".%03d", static_cast<int>(ms % 1000));
    return date + frac + offset;
}
