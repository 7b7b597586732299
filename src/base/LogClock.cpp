#include "base/LogClock.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <mutex>

namespace {

// Cache word: (minute since epoch + 1) << 24 | (offset + 2^23); 0 means empty. One atomic word
// so readers never see a minute paired with another minute's offset.
constexpr int kOffsetBits = 24;
constexpr int64_t kOffsetBias = int64_t{1} << (kOffsetBits - 1);
std::atomic<uint64_t> gCache{0};

// Serialises our calls into localtime_r. The fork handlers hold it across fork, so the child
// never inherits glibc's time-zone lock from one of our refreshes.
std::mutex gRefreshMutex;

void LockBeforeFork() {
    gRefreshMutex.lock();
}
void UnlockAfterFork() {
    gRefreshMutex.unlock();
}

const int kForkHandlers = pthread_atfork(LockBeforeFork, UnlockAfterFork, UnlockAfterFork);

uint64_t Pack(int64_t minute, int32_t offset) {
    return (static_cast<uint64_t>(minute + 1) << kOffsetBits) | static_cast<uint64_t>(offset + kOffsetBias);
}

int64_t MinuteOf(int64_t epochSec) {
    int64_t m = epochSec / 60;
    return m < 0 ? 0 : m;
}

int32_t OffsetOf(uint64_t word) {
    return static_cast<int32_t>(static_cast<int64_t>(word & ((uint64_t{1} << kOffsetBits) - 1)) -
                                kOffsetBias);
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int32_t& y, int32_t& m, int32_t& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// Caller holds gRefreshMutex.
int32_t RefreshLocked(int64_t epochSec) {
    (void)kForkHandlers;
    time_t t = static_cast<time_t>(epochSec);
    tm local{};
    int32_t offset = 0;
    if (localtime_r(&t, &local) != nullptr) offset = static_cast<int32_t>(local.tm_gmtoff);
    gCache.store(Pack(MinuteOf(epochSec), offset), std::memory_order_release);
    return offset;
}

}  // namespace

int64_t LogClock::NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t LogClock::NowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return ts.tv_sec;
}

int32_t LogClock::RefreshOffset(int64_t epochSec) {
    std::lock_guard<std::mutex> lock(gRefreshMutex);
    return RefreshLocked(epochSec);
}

int32_t LogClock::UtcOffset(int64_t epochSec) {
    const uint64_t word = gCache.load(std::memory_order_acquire);
    if (word != 0 && (word >> kOffsetBits) == static_cast<uint64_t>(MinuteOf(epochSec) + 1)) {
        return OffsetOf(word);
    }
    if (word == 0) return RefreshOffset(epochSec);
    // Another thread is refreshing: the old offset differs only across a time-zone change,
    // and a line is not worth waiting for that.
    std::unique_lock<std::mutex> lock(gRefreshMutex, std::try_to_lock);
    if (!lock.owns_lock()) return OffsetOf(word);
    return RefreshLocked(epochSec);
}

void LogClock::LocalFields(int64_t epochMs, Fields& out) {
    const int64_t sec = FloorDiv(epochMs, 1000);
    out.millis = static_cast<int32_t>(epochMs - sec * 1000);
    const int64_t local = sec + UtcOffset(sec);
    const int64_t days = FloorDiv(local, 86400);
    const int64_t secOfDay = local - days * 86400;
    CivilFromDays(days, out.year, out.month, out.day);
    out.hour = static_cast<int32_t>(secOfDay / 3600);
    out.minute = static_cast<int32_t>(secOfDay / 60 % 60);
    out.second = static_cast<int32_t>(secOfDay % 60);
}
