// Line format, byte for byte, with a fixed stamp; and the local-time conversion behind it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <thread>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"
#include "base/TraceScope.h"

namespace {

// 2024-01-05 09:30:12 UTC
constexpr int64_t kBaseMs = 1704447012000;

// What the line must start with, computed independently through the C library.
std::string ExpectedTime(int64_t epochMs) {
    time_t sec = static_cast<time_t>(epochMs / 1000);
    tm t{};
    localtime_r(&sec, &t);
    char buf[64];
    snprintf(buf, sizeof(buf), "[%02d-%02d %02d:%02d:%02d.%d],", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
             t.tm_sec, static_cast<int>(epochMs % 1000));
    return buf;
}

const LogLocation kLoc{"/work/src/worker/WorkerCycle.cpp", "Run", 42};

TEST(LogFormat, LevelLinesAreByteExactWithUnpaddedMilliseconds) {
    struct Case {
        int32_t level;
        const char* name;
    };
    const Case cases[] = {{LOG_LEVEL_TRACE, "Trace"},
                          {LOG_LEVEL_DEBUG, "Debug"},
                          {LOG_LEVEL_INFO, "Info "},
                          {LOG_LEVEL_WARN, "Warn "},
                          {LOG_LEVEL_ERROR, "Error"}};
    for (int64_t ms : {0, 5, 7, 45, 999}) {
        for (const Case& c : cases) {
            const LogStamp stamp{kBaseMs + ms, 4321, 987654321UL};
            EXPECT_EQ(FormatLogLineAt(stamp, c.level, "hello world", kLoc),
                      ExpectedTime(kBaseMs + ms) + c.name +
                          ",[4321:987654321],hello world[Run|WorkerCycle.cpp|42]\n");
        }
    }
    // The milliseconds are not padded: 7 ms past the second is ".7]", never ".007]".
    const std::string line = FormatLogLineAt(LogStamp{kBaseMs + 7, 1, 2}, LOG_LEVEL_INFO, "m", kLoc);
    EXPECT_NE(line.find(".7],Info ,[1:2],m["), std::string::npos) << line;
}

TEST(LogFormat, ErrorCodeIsUnsigned32Bit) {
    const LogStamp stamp{kBaseMs + 120, 77, 88};
    EXPECT_EQ(FormatErrorCodeLineAt(stamp, static_cast<uint32_t>(-1), "connect failed", kLoc),
              ExpectedTime(kBaseMs + 120) +
                  "Error,[77:88],ErrorCode:4294967295,connect failed[Run|WorkerCycle.cpp|42]\n");
    EXPECT_EQ(FormatErrorCodeLineAt(stamp, 13, "", kLoc),
              ExpectedTime(kBaseMs + 120) + "Error,[77:88],ErrorCode:13,[Run|WorkerCycle.cpp|42]\n");
}

TEST(LogFormat, MessageIsCutAt102400Bytes) {
    const LogStamp stamp{kBaseMs, 1, 1};
    const std::string head = ExpectedTime(kBaseMs) + "Info ,[1:1],";
    const std::string tail = "[Run|WorkerCycle.cpp|42]\n";
    const std::string exact(102400, 'a');
    EXPECT_EQ(FormatLogLineAt(stamp, LOG_LEVEL_INFO, exact, kLoc), head + exact + tail);
    std::string over = exact + "Z";
    EXPECT_EQ(FormatLogLineAt(stamp, LOG_LEVEL_INFO, over, kLoc), head + exact + tail);
    EXPECT_EQ(FormatErrorCodeLineAt(stamp, 2, over + "more", kLoc),
              ExpectedTime(kBaseMs) + "Error,[1:1],ErrorCode:2," + exact + tail);
}

TEST(LogFormat, LocationNamesFileAfterLastSlash) {
    struct Case {
        const char* file;
        const char* expected;
    };
    const Case cases[] = {{"/a/b/c.cpp", "[f|c.cpp|7]"},
                          {"c.cpp", "[f|c.cpp|7]"},
                          {"rel/dir/x.h", "[f|x.h|7]"},
                          {"trailing/", "[f||7]"}};
    for (const Case& c : cases) {
        std::string out;
        AppendLogLocation(out, LogLocation{c.file, "f", 7});
        EXPECT_EQ(out, c.expected) << c.file;
    }
    std::string out;
    AppendLogLocation(out, VESSEL_LOG_LOCATION);
    EXPECT_EQ(out, "[TestBody|LogFormatTest.cpp|" + std::to_string(__LINE__ - 1) + "]");
}

TEST(LogFormat, TraceEntryAndExitLines) {
    const LogStamp stamp{kBaseMs + 3, 10, 20};
    const std::string prefix = ExpectedTime(kBaseMs + 3) + "Trace,[10:20],";
    EXPECT_EQ(TraceScope::FormatEntryLine(stamp, "[Load|ModuleMgt.cpp|9]"),
              prefix + "==> [Load|ModuleMgt.cpp|9]\n");
    EXPECT_EQ(TraceScope::FormatExitLine(stamp, 15, "[Load|ModuleMgt.cpp|9]"),
              prefix + "<== [15ms] [Load|ModuleMgt.cpp|9]\n");
}

TEST(LogFormat, StampNamesProcessAndCallingThread) {
    auto check = [] {
        const std::string line = FormatLogLine(LOG_LEVEL_WARN, "x", kLoc);
        const std::string ids = ",Warn ,[" + std::to_string(getpid()) + ":" +
                                std::to_string(static_cast<unsigned long>(pthread_self())) + "],x[";
        return line.find(ids) != std::string::npos ? std::string() : "ids missing in " + line;
    };
    EXPECT_EQ(check(), "");
    std::string fromThread;
    std::thread([&] { fromThread = check(); }).join();
    EXPECT_EQ(fromThread, "");
    // The process id is cached; a forked child must still write its own.
    EXPECT_EQ(logtest::RunInChild(check), "");
}

// The cached offset must give what localtime_r gives, across daylight-saving changes and for
// zones with half-hour offsets.
TEST(LogClockTest, LocalFieldsMatchCLibrary) {
    const char* old = getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    for (const char* tz : {"EST5EDT,M3.2.0,M11.1.0", "IST-5:30", "UTC0"}) {
        setenv("TZ", tz, 1);
        tzset();
        LogClock::RefreshOffset(0);  // nothing cached for the minutes below
        // 2024-03-10 (spring forward in the US) and 2024-11-03 (fall back), a few hours each.
        for (int64_t start : {int64_t{1710040000}, int64_t{1730600000}}) {
            for (int64_t sec = start; sec < start + 6 * 3600; sec += 7 * 60 + 13) {
                LogClock::Fields f{};
                LogClock::LocalFields(sec * 1000 + 250, f);
                time_t t = static_cast<time_t>(sec);
                tm expect{};
                localtime_r(&t, &expect);
                ASSERT_EQ(f.year, expect.tm_year + 1900) << tz << " " << sec;
                ASSERT_EQ(f.month, expect.tm_mon + 1) << tz << " " << sec;
                ASSERT_EQ(f.day, expect.tm_mday) << tz << " " << sec;
                ASSERT_EQ(f.hour, expect.tm_hour) << tz << " " << sec;
                ASSERT_EQ(f.minute, expect.tm_min) << tz << " " << sec;
                ASSERT_EQ(f.second, expect.tm_sec) << tz << " " << sec;
                ASSERT_EQ(f.millis, 250);
            }
        }
    }
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    LogClock::RefreshOffset(0);
}

TEST(LogClockTest, FileNameUsesLocalTime) {
    const char* old = getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "IST-5:30", 1);
    tzset();
    LogClock::RefreshOffset(0);
    // 09:30:12 UTC is 15:00:12 at +05:30.
    EXPECT_EQ(LogMgr::MakeLogFileName("/var/log/app", "Vessel", kBaseMs / 1000),
              "/var/log/app/Vessel_20240105_150012.log");
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    LogClock::RefreshOffset(0);
}

}  // namespace
