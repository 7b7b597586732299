// Logging calls for every thread of every Vessel process. Lines are formatted in the calling
// thread and handed to LogMgr, which rolls and archives the files. Info, Debug and Trace lines
// are batched (written within LogBufferWriteRate seconds); Warn and Error lines are written at
// once, after the lines batched before them.
#pragma once

#include <cstdint>
#include <string>

#include "base/LogCfg.h"

enum LogLevel : int32_t {
    LOG_LEVEL_TRACE = 1,
    LOG_LEVEL_DEBUG = 2,
    LOG_LEVEL_INFO = 3,
    LOG_LEVEL_WARN = 4,
    LOG_LEVEL_ERROR = 5,
};

// Where a log call stands in the source; only the file's part after the last "/" is written.
struct LogLocation {
    const char* file;
    const char* func;
    int32_t line;
};

// True when lines of this level are written (DevLogLevel is read at every call).
bool LogLevelEnabled(int32_t level);

void LogInfo(const std::string& msg, const LogLocation& loc);
void LogWarn(const std::string& msg, const LogLocation& loc);
void LogDebug(const std::string& msg, const LogLocation& loc);
void LogTrace(const std::string& msg, const LogLocation& loc);
void LogErrorCode(uint32_t code, const std::string& msg, const LogLocation& loc);

// Builds one complete line (with its line feed) exactly as written to the file.
std::string FormatLogLine(int32_t level, const std::string& msg, const LogLocation& loc);
std::string FormatErrorCodeLine(uint32_t code, const std::string& msg, const LogLocation& loc);

// Who wrote a line and when; taken once per line so formatting can also be given a fixed one.
struct LogStamp {
    int64_t epochMs;
    int32_t pid;
    unsigned long tid;  // pthread_self() as a number
};

// The calling thread's stamp at this moment.
LogStamp CurrentLogStamp();

// Longest message text written; longer ones are cut to this many bytes.
constexpr size_t kLogMaxMessageBytes = 102400;

// Pieces of a line, appended to out: "[MM-DD hh:mm:ss.ms],Level,[pid:tid]," and
// "[func|file|line]" (file after its last "/").
void AppendLogPrefix(std::string& out, const LogStamp& stamp, int32_t level);
void AppendLogLocation(std::string& out, const LogLocation& loc);

// The two line builders above with the stamp given.
std::string FormatLogLineAt(const LogStamp& stamp, int32_t level, const std::string& msg,
                            const LogLocation& loc);
std::string FormatErrorCodeLineAt(const LogStamp& stamp, uint32_t code, const std::string& msg,
                                  const LogLocation& loc);

#define VESSEL_LOG_LOCATION (LogLocation{__FILE__, __func__, __LINE__})

// The message expression is evaluated only when its level is written.
#define VESSEL_LOG_AT(level, fn, msg)       \
    do {                                    \
        if (LogLevelEnabled(level)) {       \
            fn((msg), VESSEL_LOG_LOCATION); \
        }                                   \
    } while (0)

#define LOG_INFO(msg) VESSEL_LOG_AT(LOG_LEVEL_INFO, LogInfo, msg)
#define LOG_WARN(msg) VESSEL_LOG_AT(LOG_LEVEL_WARN, LogWarn, msg)
#define LOG_DEBUG(msg) VESSEL_LOG_AT(LOG_LEVEL_DEBUG, LogDebug, msg)
#define LOG_TRACE(msg) VESSEL_LOG_AT(LOG_LEVEL_TRACE, LogTrace, msg)
#define LOG_ERROR_CODE(code, msg)                                                  \
    do {                                                                           \
        if (LogLevelEnabled(LOG_LEVEL_ERROR)) {                                    \
            LogErrorCode(static_cast<uint32_t>(code), (msg), VESSEL_LOG_LOCATION); \
        }                                                                          \
    } while (0)
