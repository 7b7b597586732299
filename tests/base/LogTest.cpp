// The log from the call to the file: exact line format and local time, batching, the flush
// thread, Warn and Error at once, the rate limiter, redaction, rolling and archives, pruning,
// a full disk, and several processes and threads on one log.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogClock.h"
#include "base/LogRateLimiter.h"
#include "base/PropertyLoader.h"
#include "proto/LogRedactor.h"
#include "proto/RespStreamParser.h"
#include "support/TmpfsMount.h"

namespace {

using logtest::Settings;
using testsupport::ReadFile;
using testsupport::WaitFor;
constexpr int64_t kBaseMs = 1704447012000;  // 2024-01-05 09:30:12 UTC
const LogLocation kLoc{"/work/src/worker/WorkerCycle.cpp", "Run", 42};

// The line's time, computed independently through the C library.
std::string ExpectedTime(int64_t ms) {
    const time_t sec = ms / 1000;
    tm t{};
    char buf[64];
    strftime(buf, sizeof(buf), "[%m-%d %H:%M:%S.", localtime_r(&sec, &t));
    return buf + std::to_string(ms % 1000) + "],";
}

TEST(LogFormat, LinesAreByteExactInLocalTime) {
    const char* names[] = {"", "Trace", "Debug", "Info ", "Warn ", "Error"};
    for (int64_t ms : {0, 7, 45, 999}) {  // milliseconds unpadded: ".7]"
        for (int32_t level = LOG_LEVEL_TRACE; level <= LOG_LEVEL_ERROR; ++level) {
            EXPECT_EQ(
                FormatLogLineAt({kBaseMs + ms, 4321, 987654321UL}, level, "hi", kLoc),
                ExpectedTime(kBaseMs + ms) + names[level] + ",[4321:987654321],hi[Run|WorkerCycle.cpp|42]\n");
        }
    }
    // Messages are cut at 102400 bytes.
    const LogStamp stamp{kBaseMs, 77, 88};
    const std::string cut(102400, 'a');
    EXPECT_EQ(
        FormatErrorCodeLineAt(stamp, static_cast<uint32_t>(-1), cut + "Z", kLoc),
        ExpectedTime(kBaseMs) + "Error,[77:88],ErrorCode:4294967295," + cut + "[Run|WorkerCycle.cpp|42]\n");
    EXPECT_EQ(FormatLogLineAt(stamp, LOG_LEVEL_INFO, cut + "Z", {"rel/x.h", "f", 7}),
              ExpectedTime(kBaseMs) + "Info ,[77:88]," + cut + "[f|x.h|7]\n");
    // The UTC offset cached per minute must follow daylight-saving changes; file names use it too.
    testsupport::ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    tzset();
    for (int64_t start : {int64_t{1710040000000}, int64_t{1730600000000}}) {  // US spring, fall 2024
        for (int64_t ms = start; ms < start + 6 * 3600000; ms += 433250)
            ASSERT_EQ(FormatLogLineAt({ms, 1, 2}, LOG_LEVEL_INFO, "", kLoc).rfind(ExpectedTime(ms), 0), 0u)
                << ms;
    }
    setenv("TZ", "IST-5:30", 1);
    tzset();
    LogClock::RefreshOffset(0);
    EXPECT_EQ(LogMgr::MakeLogFileName("/l", "Vessel", kBaseMs / 1000), "/l/Vessel_20240105_150012.log");
}

size_t LineCount(const std::string& path) {
    return testsupport::SplitLines(ReadFile(path)).size();
}

TEST(LogWrite, BatchesInfoButWritesWarnAndErrorAtOnce) {
    logtest::TestLog log(Settings(3, 1000, 100, 64, 20));
    const std::string path = log.Current();
    std::vector<size_t> counts = {LineCount(path)};  // the open line
    LOG_INFO("line 0");                              // the first line at once
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
    const std::vector<std::string> lines = testsupport::SplitLines(ReadFile(path));
    ASSERT_EQ(lines.size(), 107u);
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(lines.front() + "|" + lines.back(),
              "LogSelf--Open file,pid:" + pid + "|LogSelf--Close file,pid:" + pid);
    for (size_t i = 0; i <= 104; ++i)
        EXPECT_NE(lines[i + 1].find(",line " + std::to_string(i) + "["), std::string::npos);
    EXPECT_NE(lines[105].find("],Error,[" + pid + ":" + std::to_string(pthread_self()) +
                              "],ErrorCode:5,line 104[TestBody|LogTest.cpp|"),
              std::string::npos);
}

TEST(LogWrite, FlushThreadWritesAPendingLineOnTime) {
    logtest::TestLog log(Settings(3, 1, 100, 64, 20));
    LOG_INFO("first");
    LOG_INFO("second");  // batched; no later line comes, so only the flush thread writes it
    const auto logged = std::chrono::steady_clock::now();
    EXPECT_EQ(LineCount(log.Current()), 2u);
    EXPECT_TRUE(WaitFor([&] { return LineCount(log.Current()) == 3; }, std::chrono::seconds(3)));
    EXPECT_GE(std::chrono::steady_clock::now() - logged, std::chrono::milliseconds(900));
    // Handled signals must reach the main thread's sigsuspend, not the flush thread.
    for (const std::string& task : testsupport::ListDir("/proc/self/task")) {
        if (ReadFile("/proc/self/task/" + task + "/comm") != "log-flush\n") continue;
        const std::string status = ReadFile("/proc/self/task/" + task + "/status");
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
    EXPECT_TRUE(limit.AllowAt(6500, &dropped) && dropped == 0);
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
    logtest::TestLog log(Settings(1, 0, 1, 64, 20));
    const std::string req = R"({"ReqBody":"pw=hunter2","Header":{"Cookie":["sid=SECRET"]}})";
    const std::string frame =
        "*4\r\n$7\r\nmessage\r\n$1\r\nc\r\n$1\r\n1\r\n$" + std::to_string(req.size()) + "\r\n" + req + "\r\n";
    RespStreamParser parser;
    size_t used = 0;
    ASSERT_EQ(parser.FeedBuffer(frame.data(), frame.size(), used), RespStreamParser::Result::COMPLETE);
    const std::string text = ReadFile(log.Current());
    EXPECT_NE(text.find(R"(Receiv:{"ReqBody":"<10 bytes>","Header":{"Cookie":"<redacted>"}})"),
              std::string::npos)
        << text;
}

TEST(LogRoll, PrunesOldestArchivesOfItsPrefixOnly) {
    logtest::TestLog log(Settings(3, 1000, 100, 1, 20), false);
    // 23 archives whose ages do not follow their names: the oldest are 17, 25 and 32.
    for (int i = 10; i < 33; ++i) {
        const int age = i == 17 ? 3 : i == 25 ? 1 : i == 32 ? 2 : 100 + i;
        logtest::Touch(log.tmp / ("Vessel_20230101_0000" + std::to_string(i) + ".log.gz"), 1600000000 + age);
    }
    logtest::Touch(log.tmp / "sub_Vessel_20200101_000000.log.gz", 1000);
    LogMgr::InitLogFile("Vessel");
    const std::string path = log.Current();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();
    std::map<std::string, int> seen = logtest::Messages(log.dir(), "Vessel_");
    for (const char* gone : {"17", "25", "32"}) {
        const std::string name = std::string("Vessel_20230101_0000") + gone + ".log.gz";
        EXPECT_NE(access((log.tmp / name).c_str(), F_OK), 0) << name;
        EXPECT_EQ(seen["LogSelf--roll log " + name + "--removed."], 1) << name;
    }
    EXPECT_EQ(logtest::FilesIn(log.dir(), "Vessel_", ".gz").size(), 20u);
    EXPECT_EQ(logtest::FilesIn(log.dir(), "sub_Vessel_", ".gz").size(), 1u);
    EXPECT_EQ(ReadFile(path).find("LogSelf--GzipFile:"), std::string::npos) << "nothing to compress";
}

TEST(LogRoll, FullDiskLosesNoArchiveAndCompressesOnceThereIsSpace) {
    testsupport::TempDir tmp("vessel-log");
    const std::string dir = tmp / "disk";
    mkdir(dir.c_str(), 0755);
    testsupport::TmpfsMount disk(dir, 0, "size=4m");
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    logtest::UseSettings(dir, Settings(3, 1000, 1, 1, 5).c_str());
    // Five archives (all MaxFileNum keeps), a closed file to compress, and newest a file at
    // the size limit that the process takes up.
    for (int i = 0; i < 5; ++i)
        logtest::Touch(dir + "/Vessel_20230101_00000" + std::to_string(i) + ".log.gz", 1600000000 + i, "gz");
    const std::string closed = dir + "/Vessel_20230101_000100.log",
                      full = dir + "/Vessel_20230101_000200.log";
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "closed line " + std::to_string(i) + "\n";
    logtest::Touch(closed, 1600000100, text);
    testsupport::WriteFile(full, std::string(1048576, 'f'));
    ASSERT_EQ(testsupport::TmpfsMount::FillUp(dir + "/filler"), ENOSPC);
    const std::vector<std::string> before = testsupport::ListDir(dir);
    const mode_t oldMask = umask(066);
    LogMgr::ReopenLogFile("Vessel");
    EXPECT_EQ(LogMgr::GetInstance()->CurrentFilePath(), full);
    // At the limit every line asks for a roll, but no new file can take a line.
    ASSERT_TRUE(LogMgr::GetInstance()->WaitHousekeepingIdle(20000));
    for (int i = 0; i < 100; ++i) LOG_INFO("while full " + std::string(1000, 'w'));
    EXPECT_EQ(LogMgr::GetInstance()->CurrentFilePath(), full);
    EXPECT_EQ(testsupport::ListDir(dir), before) << "no partial archive, no temporary or empty file";
    EXPECT_EQ(ReadFile(dir + "/Vessel_20230101_000000.log.gz") + ReadFile(closed), "gz" + text);
    // Space again: a later pass compresses the closed file, without a restart.
    ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            LOG_INFO("space again");
            return access(closed.c_str(), F_OK) != 0;
        },
        std::chrono::seconds(40)));
    ASSERT_TRUE(LogMgr::GetInstance()->WaitHousekeepingIdle(20000));
    EXPECT_EQ(logtest::ReadGzip(closed + ".gz"), text);
    struct stat st {};
    EXPECT_TRUE(stat((closed + ".gz").c_str(), &st) == 0 && (st.st_mode & 0777) == 0400)
        << "0440 under the umask";
    umask(oldMask);
    LogMgr::ResetForTest();
}

// The count of children that exited 0; a hung child ends at its alarm.
int Reap(const std::vector<pid_t>& children) {
    int ok = 0;
    for (pid_t pid : children) {
        int s = 0;
        ok += waitpid(pid, &s, 0) == pid && WIFEXITED(s) && WEXITSTATUS(s) == 0;
    }
    return ok;
}

// A roll within the second its file is named after waits for the next second.
void NextSecond() {
    const int64_t now = LogClock::NowMs() / 1000;
    ASSERT_TRUE(WaitFor([&] { return LogClock::NowMs() / 1000 > now; }, std::chrono::seconds(3)));
}

TEST(LogProcess, RollDoesNotCompressAFileAnotherProcessWrites) {
    logtest::TestLog log(Settings(3, 1000, 1, 1, 20), false);
    int ready[2], go[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
    const pid_t b = fork();
    if (b == 0) {  // the other process: 100 lines, then 100 more once the roll is done
        alarm(10);
        close(go[1]);
        LogMgr::ReopenLogFile("sub_Vessel");
        for (int i = 0; i < 200; ++i) {
            LOG_INFO("B seq=" + std::to_string(i));
            if (i == 99 && (write(ready[1], "r", 1) != 1 || read(go[0], &i, 1) != 0)) _exit(1);
        }
        LogMgr::CloseLogFile();
        _exit(0);
    }
    close(go[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    LogMgr::ReopenLogFile("sub_Vessel");  // joins the newest file: B's
    const std::string shared = log.Current(), pad(1000, 'a');
    NextSecond();
    int aCount = 0;
    while (log.Current() == shared && aCount < 5000) LOG_INFO("A seq=" + std::to_string(aCount++) + pad);
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    EXPECT_EQ(access((shared + ".gz").c_str(), F_OK), -1) << "compressed while B still wrote it";
    for (int fd : {go[1], ready[0], ready[1]}) close(fd);  // B goes on, then closes
    EXPECT_EQ(Reap({b}), 1);
    // Now the next pass archives it, and every line of both is there once.
    log.Mgr()->StartHousekeeping();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();
    EXPECT_EQ(access(shared.c_str(), F_OK), -1);
    std::map<std::string, int> seen = logtest::Messages(log.dir(), "sub_Vessel_");
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen["B seq=" + std::to_string(i)], 1) << i;
    for (int i = 0; i < aCount; ++i) EXPECT_EQ(seen["A seq=" + std::to_string(i) + pad], 1) << i;
}

// Threads log across rolls while workers are forked: no line lost or torn, and no worker hangs
// on a lock (logging's, the C library's time zone, the settings') a thread held at the fork.
TEST(LogProcess, ThreadsLogAcrossRollsWhileWorkersFork) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "gcc 12's AddressSanitizer does not reset its allocator locks in a forked child";
#endif
    logtest::TestLog log(Settings(3, 1000, 10, 1, 100));
    umask(022);
    testsupport::WriteFile(log.dir() + "/home/conf/container.json", R"({"maxModulePerSubprocess": 4})");
    ASSERT_EQ(getProperty("maxModulePerSubprocess"), 4);
    const std::string first = log.Current(), pad(300, 'p');
    std::atomic<bool> stop{false};
    std::vector<int> counts(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int& i = counts[t]; !stop || i < 3000; ++i) {
                LOG_INFO("T" + std::to_string(t) + " seq=" + std::to_string(i) + pad);
                if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop)
            LogClock::RefreshOffset(LogClock::NowMs() / 1000), getProperty("maxModulePerSubprocess");
    });
    constexpr int kChildren = 40;
    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(30);
            LogMgr::ReopenLogFile("sub_Vessel");
            LogClock::RefreshOffset(LogClock::NowMs() / 1000 + 3600);
            LOG_INFO("worker " + std::to_string(i) +
                     (getProperty("maxModulePerSubprocess") == 4 ? " ok" : " bad"));
            LogMgr::CloseLogFile();
            _exit(0);
        }
        if (pid > 0) children.push_back(pid);
    }
    EXPECT_EQ(Reap(children), kChildren) << "workers hung";
    NextSecond();
    stop = true;
    for (std::thread& t : threads) t.join();
    LOG_INFO("last");
    const std::string current = log.Current();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();

    std::map<std::string, int> seen = logtest::Messages(log.dir(), "sub_Vessel_");
    for (int i = 0; i < kChildren; ++i) EXPECT_EQ(seen["worker " + std::to_string(i) + " ok"], 1) << i;
    // Closed files are archives under their own name plus .gz, read-only; the current one stays.
    ASSERT_NE(current, first);
    EXPECT_EQ(logtest::FilesIn(log.dir(), "Vessel_", ".log"),
              std::vector<std::string>{current.substr(log.dir().size() + 1)});
    struct stat st {};
    EXPECT_TRUE(stat((first + ".gz").c_str(), &st) == 0 && (st.st_mode & 0777) == 0440);
    EXPECT_TRUE(stat(current.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
    seen = logtest::Messages(log.dir(), "Vessel_");
    EXPECT_EQ(seen["LogSelf--GzipFile:" + first.substr(first.rfind('/') + 1) + ":#"], 1);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < counts[t]; ++i)
            EXPECT_EQ(seen["T" + std::to_string(t) + " seq=" + std::to_string(i) + pad], 1);
    }
}

}  // namespace
