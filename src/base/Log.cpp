#include "base/Log.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "base/LogCfg.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"

namespace {

// Five characters each; index is the level number.
const char* const kLevelNames[] = {"Trace", "Trace", "Debug", "Info ", "Warn ", "Error"};

// getpid() is a system call on every line otherwise; a forked child refreshes it.
std::atomic<int32_t> gPid{0};
void RefreshPidAfterFork() {
    gPid.store(static_cast<int32_t>(getpid()), std::memory_order_relaxed);
}
const int kForkHandler = pthread_atfork(nullptr, nullptr, RefreshPidAfterFork);

int32_t CachedPid() {
    int32_t pid = gPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        (void)kForkHandler;
        pid = static_cast<int32_t>(getpid());
        gPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

char* PutTwoDigits(char* p, int32_t v) {
    p[0] = static_cast<char>('0' + v / 10 % 10);
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
}

char* PutUnsigned(char* p, unsigned long long v) {
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = tmp[--n];
    return p;
}

char* PutSigned(char* p, long long v) {
    if (v < 0) {
        *p++ = '-';
        return PutUnsigned(p, 0ULL - static_cast<unsigned long long>(v));
    }
    return PutUnsigned(p, static_cast<unsigned long long>(v));
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

void AppendMessage(std::string& out, const std::string& msg) {
    out.append(msg, 0, msg.size() < kLogMaxMessageBytes ? msg.size() : kLogMaxMessageBytes);
}

void FormatInto(std::string& out, const LogStamp& stamp, int32_t level, const std::string& msg,
                const LogLocation& loc) {
    AppendLogPrefix(out, stamp, level);
    AppendMessage(out, msg);
    AppendLogLocation(out, loc);
    out.push_back('\n');
}

void FormatErrorCodeInto(std::string& out, const LogStamp& stamp, uint32_t code, const std::string& msg,
                         const LogLocation& loc) {
    AppendLogPrefix(out, stamp, LOG_LEVEL_ERROR);
    char buf[32];
    std::memcpy(buf, "ErrorCode:", 10);
    char* p = PutUnsigned(buf + 10, code);
    *p++ = ',';
    out.append(buf, static_cast<size_t>(p - buf));
    AppendMessage(out, msg);
    AppendLogLocation(out, loc);
    out.push_back('\n');
}

// Each thread formats into its own reused buffer, so a line costs no allocation.
std::string& ThreadLineBuffer() {
    thread_local std::string buffer;
    buffer.clear();
    return buffer;
}

// A 100 KiB message should not pin 100 KiB in every thread that once logged one.
void ReleaseIfLarge(std::string& buffer) {
    if (buffer.capacity() > 16384) std::string().swap(buffer);
}

void Emit(int32_t level, const std::string& msg, const LogLocation& loc) {
    if (!LogLevelEnabled(level)) return;
    std::string& line = ThreadLineBuffer();
    FormatInto(line, CurrentLogStamp(), level, msg, loc);
    // Warnings and errors explain failures: they go to the file at once, not with the batch.
    LogMgr::GetInstance()->Write(line, level >= LOG_LEVEL_WARN);
    ReleaseIfLarge(line);
}

}  // namespace

LogStamp CurrentLogStamp() {
    return LogStamp{LogClock::NowMs(), CachedPid(), static_cast<unsigned long>(pthread_self())};
}

namespace {

// A thread writes many lines within one second and always the same "[pid:tid]": both parts are
// formatted once and copied after that. The time part is keyed by the second and the UTC offset
// in force for it, so a time-zone change is followed as LogClock follows it.
struct PrefixCache {
    int64_t second = INT64_MIN;
    int32_t offset = 0;
    size_t timeLen = 0;
    char time[24];  // "[MM-DD hh:mm:ss."
    int32_t pid = 0;
    unsigned long tid = 0;
    size_t idsLen = 0;  // 0: not formatted yet
    char ids[48];       // ",[pid:tid],"
};

PrefixCache& ThreadPrefixCache() {
    thread_local PrefixCache cache;
    return cache;
}

void FormatTimePart(PrefixCache& c, int64_t epochMs) {
    LogClock::Fields f{};
    LogClock::LocalFields(epochMs, f);
    char* p = c.time;
    *p++ = '[';
    p = PutTwoDigits(p, f.month);
    *p++ = '-';
    p = PutTwoDigits(p, f.day);
    *p++ = ' ';
    p = PutTwoDigits(p, f.hour);
    *p++ = ':';
    p = PutTwoDigits(p, f.minute);
    *p++ = ':';
    p = PutTwoDigits(p, f.second);
    *p++ = '.';
    c.timeLen = static_cast<size_t>(p - c.time);
}

void FormatIdsPart(PrefixCache& c, int32_t pid, unsigned long tid) {
    char* p = c.ids;
    std::memcpy(p, ",[", 2);
    p += 2;
    p = PutSigned(p, pid);
    *p++ = ':';
    p = PutUnsigned(p, tid);
    std::memcpy(p, "],", 2);
    p += 2;
    c.pid = pid;
    c.tid = tid;
    c.idsLen = static_cast<size_t>(p - c.ids);
}

}  // namespace

void AppendLogPrefix(std::string& out, const LogStamp& stamp, int32_t level) {
    if (level < LOG_LEVEL_TRACE) level = LOG_LEVEL_TRACE;
    if (level > LOG_LEVEL_ERROR) level = LOG_LEVEL_ERROR;
    PrefixCache& c = ThreadPrefixCache();
    const int64_t second = stamp.epochMs / 1000 - (stamp.epochMs % 1000 < 0 ? 1 : 0);
    const int32_t offset = LogClock::UtcOffset(second);
    if (second != c.second || offset != c.offset) {
        FormatTimePart(c, stamp.epochMs);
        c.second = second;
        c.offset = offset;
    }
    if (c.idsLen == 0 || stamp.pid != c.pid || stamp.tid != c.tid) FormatIdsPart(c, stamp.pid, stamp.tid);
    char buf[96];
    char* p = buf;
    std::memcpy(p, c.time, c.timeLen);
    p += c.timeLen;
    p = PutUnsigned(p, static_cast<unsigned long long>(stamp.epochMs - second * 1000));
    std::memcpy(p, "],", 2);
    p += 2;
    std::memcpy(p, kLevelNames[level], 5);
    p += 5;
    std::memcpy(p, c.ids, c.idsLen);
    p += c.idsLen;
    out.append(buf, static_cast<size_t>(p - buf));
}

void AppendLogLocation(std::string& out, const LogLocation& loc) {
    out.push_back('[');
    out.append(loc.func != nullptr ? loc.func : "");
    out.push_back('|');
    out.append(BaseName(loc.file != nullptr ? loc.file : ""));
    out.push_back('|');
    char buf[16];
    char* p = PutSigned(buf, loc.line);
    *p++ = ']';
    out.append(buf, static_cast<size_t>(p - buf));
}

std::string FormatLogLineAt(const LogStamp& stamp, int32_t level, const std::string& msg,
                            const LogLocation& loc) {
    std::string line;
    line.reserve(96 + msg.size());
    FormatInto(line, stamp, level, msg, loc);
    return line;
}

std::string FormatErrorCodeLineAt(const LogStamp& stamp, uint32_t code, const std::string& msg,
                                  const LogLocation& loc) {
    std::string line;
    line.reserve(112 + msg.size());
    FormatErrorCodeInto(line, stamp, code, msg, loc);
    return line;
}

std::string FormatLogLine(int32_t level, const std::string& msg, const LogLocation& loc) {
    return FormatLogLineAt(CurrentLogStamp(), level, msg, loc);
}

std::string FormatErrorCodeLine(uint32_t code, const std::string& msg, const LogLocation& loc) {
    return FormatErrorCodeLineAt(CurrentLogStamp(), code, msg, loc);
}

bool LogLevelEnabled(int32_t level) {
    return LogCfg::GetInstance()->GetDevLogLevel() <= level;
}

void LogInfo(const std::string& msg, const LogLocation& loc) {
    Emit(LOG_LEVEL_INFO, msg, loc);
}
void LogWarn(const std::string& msg, const LogLocation& loc) {
    Emit(LOG_LEVEL_WARN, msg, loc);
}
void LogDebug(const std::string& msg, const LogLocation& loc) {
    Emit(LOG_LEVEL_DEBUG, msg, loc);
}
void LogTrace(const std::string& msg, const LogLocation& loc) {
    Emit(LOG_LEVEL_TRACE, msg, loc);
}

void LogErrorCode(uint32_t code, const std::string& msg, const LogLocation& loc) {
    if (!LogLevelEnabled(LOG_LEVEL_ERROR)) return;
    std::string& line = ThreadLineBuffer();
    FormatErrorCodeInto(line, CurrentLogStamp(), code, msg, loc);
    LogMgr::GetInstance()->Write(line, true);
    ReleaseIfLarge(line);
}
