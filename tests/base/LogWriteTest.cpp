// One line from the call to the file: its exact format, local time, batching, the flush thread,
// Warn and Error at once, the rate limiter and what is redacted.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/LogRateLimiter.h"
#include "base/LogRedactor.h"
#include "proto/RespStreamParser.h"

namespace {

constexpr int64_t kBaseMs = 1704447012000;  // 2024-01-05 09:30:12 UTC
const LogLocation kLoc{"/work/src/worker/WorkerCycle.cpp", "Run", 42};

// The line's time, computed independently through the C library.
std::string ExpectedTime(int64_t ms) {
    time_t sec = static_cast<time_t>(ms / 1000);
    tm t{};
    localtime_r(&sec, &t);
    char buf[64];
    snprintf(buf, sizeof(buf), "[%02d-%02d %02d:%02d:%02d.%d],", t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
             t.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

TEST(LogFormat, LinesAreByteExact) {
    const char* names[] = {"", "Trace", "Debug", "Info ", "Warn ", "Error"};
    for (int64_t ms : {0, 7, 45, 999}) {  // milliseconds unpadded: ".7]"
        for (int32_t level = LOG_LEVEL_TRACE; level <= LOG_LEVEL_ERROR; ++level) {
            EXPECT_EQ(FormatLogLineAt({kBaseMs + ms, 4321, 987654321UL}, level, "hi", kLoc),
                      ExpectedTime(kBaseMs + ms) + names[level] + ",[4321:987654321],hi[Run|WorkerCycle.cpp|42]\n");
        }
    }
    const LogStamp stamp{kBaseMs, 77, 88};
    const std::string head = ExpectedTime(kBaseMs) + "Error,[77:88],ErrorCode:";
    EXPECT_EQ(FormatErrorCodeLineAt(stamp, static_cast<uint32_t>(-1), "x", kLoc),
              head + "4294967295,x[Run|WorkerCycle.cpp|42]\n");
    // Messages are cut at 102400 bytes.
    const std::string exact(102400, 'a');
    EXPECT_EQ(FormatErrorCodeLineAt(stamp, 2, exact + "Z", kLoc), head + "2," + exact + "[Run|WorkerCycle.cpp|42]\n");
    EXPECT_EQ(FormatLogLineAt(stamp, LOG_LEVEL_INFO, exact + "Z", {"rel/x.h", "f", 7}),
              ExpectedTime(kBaseMs) + "Info ,[77:88]," + exact + "[f|x.h|7]\n");
}

// The UTC offset cached per minute must follow daylight-saving changes; file names use it too.
TEST(LogFormat, LocalTimeFollowsTheZone) {
    testsupport::ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    tzset();
    for (int64_t start : {int64_t{1710040000000}, int64_t{1730600000000}}) {  // US spring, fall 2024
        for (int64_t ms = start; ms < start + 6 * 3600000; ms += 433250) {
            ASSERT_EQ(FormatLogLineAt({ms, 1, 2}, LOG_LEVEL_INFO, "", kLoc).rfind(ExpectedTime(ms), 0), 0u) << ms;
        }
    }
    setenv("TZ", "IST-5:30", 1);
    tzset();
    LogClock::RefreshOffset(0);
    EXPECT_EQ(LogMgr::MakeLogFileName("/l", "Vessel", kBaseMs / 1000), "/l/Vessel_20240105_150012.log");
}

size_t LineCount(const std::string& path) {
    return testsupport::SplitLines(testsupport::ReadFile(path)).size();
}

TEST(LogWrite, BatchesInfoButWritesWarnAndErrorAtOnce) {
    logtest::TestLog log(logtest::Settings(3, 1000, 100, 64, 20));
    const std::string path = log.Current();
    std::vector<size_t> counts = {LineCount(path)};  // the open line
    LOG_INFO("line 0");  // the first line at once
    counts.push_back(LineCount(path));
    for (int i = 1; i <= 99; ++i) LOG_INFO("line " + std::to_string(i));
    LOG_DEBUG("below the level");
    counts.push_back(LineCount(path));
    LOG_INFO("line 100");  // the 100th pending line writes the batch
    counts.push_back(LineCount(path));
    LOG_INFO("line 101");
    LOG_WARN("line 102");  // takes the pending line along
    counts.push_back(LineCount(path));
    LOG_INFO("line 103");
    LOG_ERROR_CODE(5, "line 104");
    counts.push_back(LineCount(path));
    EXPECT_EQ(counts, (std::vector<size_t>{1, 2, 2, 102, 104, 106}));
    LogMgr::CloseLogFile();
    const std::vector<std::string> lines = testsupport::SplitLines(testsupport::ReadFile(path));
    ASSERT_EQ(lines.size(), 107u);
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(lines.front() + "|" + lines.back(), "LogSelf--Open file,pid:" + pid + "|LogSelf--Close file,pid:" + pid);
    for (size_t i = 0; i <= 104; ++i) EXPECT_NE(lines[i + 1].find(",line " + std::to_string(i) + "["), std::string::npos);
    const std::string ids = "[" + pid + ":" + std::to_string(static_cast<unsigned long>(pthread_self())) + "],";
    EXPECT_NE(lines[105].find("],Error," + ids + "ErrorCode:5,line 104[TestBody|LogWriteTest.cpp|"), std::string::npos);
}

TEST(LogWrite, FlushThreadWritesAPendingLineOnTime) {
    logtest::TestLog log(logtest::Settings(3, 1, 100, 64, 20));
    LOG_INFO("first");
    LOG_INFO("second");  // batched; no later line comes, so only the flush thread writes it
    const auto logged = std::chrono::steady_clock::now();
    EXPECT_EQ(LineCount(log.Current()), 2u);
    EXPECT_TRUE(testsupport::WaitFor([&] { return LineCount(log.Current()) == 3; }, std::chrono::seconds(3)));
    EXPECT_GE(std::chrono::steady_clock::now() - logged, std::chrono::milliseconds(900));
    // Handled signals must reach the main thread's sigsuspend, not the flush thread.
    for (const std::string& task : testsupport::ListDir("/proc/self/task")) {
        if (testsupport::ReadFile("/proc/self/task/" + task + "/comm") != "log-flush\n") continue;
        const std::string status = testsupport::ReadFile("/proc/self/task/" + task + "/status");
        const uint64_t blocked = std::stoull(status.substr(status.find("SigBlk:") + 7), nullptr, 16);
        for (int sig : {SIGCHLD, SIGALRM, SIGIO, SIGTERM}) EXPECT_TRUE(blocked & (1ULL << (sig - 1))) << sig;
    }
}

TEST(LogRateLimiter, PassesBurstPerPeriodAndCountsTheRest) {
    LogRateLimiter limit(1000, 2);
    uint64_t dropped = 99;
    EXPECT_TRUE(limit.AllowAt(5000, &dropped) && dropped == 0 && limit.AllowAt(5001));
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(limit.AllowAt(5002 + i % 997, &dropped));
    EXPECT_TRUE(limit.AllowAt(6000, &dropped));  // a full period later
    EXPECT_EQ(dropped, 1000u);
    EXPECT_TRUE(limit.AllowAt(6500, &dropped));
    EXPECT_EQ(dropped, 0u);
    EXPECT_FALSE(limit.AllowAt(6999));
    EXPECT_EQ(LogRateLimiter::SuppressedNote(3), " (3 similar lines suppressed)");
}

TEST(LogRedact, CredentialValuesAndBodiesOnly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"Header":{"AUTHORIZATION":["Bearer t1"],"proxy-Authorization":["B t2"],"cookie":["a=1","b=2"],"Set-Cookie":["s"],"Accept":["*/*"]}})",
         R"({"Header":{"AUTHORIZATION":"<redacted>","proxy-Authorization":"<redacted>","cookie":"<redacted>","Set-Cookie":"<redacted>","Accept":["*/*"]}})"},
        {R"({"Cookie" : "x=\"]}\"" , "n":1})", R"({"Cookie" : "<redacted>" , "n":1})"},
        // The body by its unescaped size: a\"b\\c = 5 bytes, \u00e9 = 2, \u20ac = 3.
        {R"({"ReqBody":"a\"b\\c\u00e9\u20ac","reqBody":""})", R"({"ReqBody":"<10 bytes>","reqBody":""})"},
        {R"({"ReqUrl":"/Cookie","X-Cookie":["v"],"q":"Authorization"})",
         R"({"ReqUrl":"/Cookie","X-Cookie":["v"],"q":"Authorization"})"},
        {R"({"Authorization":["Bearer tok)", R"({"Authorization":"<redacted>")"},
    };
    for (const auto& [in, want] : cases) {
        std::string out;
        LogRedactor::Append(out, in.data(), in.size());
        EXPECT_EQ(out, want) << in;
    }
    // A request frame the parser reads reaches the log without its secrets.
    logtest::TestLog log(logtest::Settings(1, 0, 1, 64, 20));
    const std::string req = R"({"ReqBody":"pw=hunter2","Header":{"Cookie":["sid=SECRET"]}})";
    const std::string frame = "*4\r\n$7\r\nmessage\r\n$1\r\nc\r\n$1\r\n1\r\n$" + std::to_string(req.size()) + "\r\n" + req + "\r\n";
    RespStreamParser parser;
    size_t used = 0;
    ASSERT_EQ(parser.FeedBuffer(frame.data(), frame.size(), used), RespStreamParser::Result::COMPLETE);
    const std::string text = testsupport::ReadFile(log.Current());
    EXPECT_NE(text.find(R"(Receiv:{"ReqBody":"<10 bytes>","Header":{"Cookie":"<redacted>"}})"), std::string::npos) << text;
}

}  // namespace
