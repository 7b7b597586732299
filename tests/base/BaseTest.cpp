// The base layer: the log from the call to the file (format, batching, rolling, archives, several
// processes and threads), the settings, and the small helpers (strings, files, queues, Catalina bases).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "base/BlockQueue.h"
#include "base/CatalinaBaseDir.h"
#include "base/CommonUtil.h"
#include "base/Log.h"
#include "base/LogCfg.h"
#include "base/LogClock.h"
#include "base/LogMgr.h"
#include "base/LogRateLimiter.h"
#include "base/PropertyFileParser.h"
#include "base/PropertyLoader.h"
#include "base/SafeString.h"
#include "proto/RespStreamParser.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"
#include "support/TmpfsMount.h"

namespace {

using std::filesystem::exists;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::SplitLines;
using testsupport::WaitFor;
using testsupport::WriteFile;
constexpr int64_t kBaseMs = 1704447012000;  // 2024-01-05 09:30:12 UTC
constexpr int32_t kMiB = 1048576;
const LogLocation kLoc{"/work/src/worker/WorkerCycle.cpp", "Run", 42};

// containerlog.json: level, write rate, lines per batch, MiB per file, archives kept.
std::string Settings(int level, int rate, int num, int sizeMiB, int fileNum) {
    return "{\"DevLogLevel\":" + std::to_string(level) + ",\"LogBufferWriteRate\":" + std::to_string(rate) +
           ",\"LogBufferNum\":" + std::to_string(num) + ",\"MaxFileSize\":" + std::to_string(sizeMiB) +
           ",\"MaxFileNum\":" + std::to_string(fileNum) + "}";
}

// Logs into dir with home dir/home and, unless json is null, that containerlog.json.
void UseSettings(const std::string& dir, const char* json) {
    mkdir((dir + "/home").c_str(), 0755);
    mkdir((dir + "/home/conf").c_str(), 0755);
    if (json != nullptr) WriteFile(dir + "/home/conf/containerlog.json", json);
    setenv("_APP_LOG_DIR", dir.c_str(), 1);
    setenv("VESSEL_HOME", (dir + "/home").c_str(), 1);
    LogMgr::ResetForTest();
}

struct TestLog {
    // With open false only the settings are in place: the test opens the log itself.
    explicit TestLog(const std::string& json, bool open = true) {
        UseSettings(tmp.path(), json.c_str());
        if (open) LogMgr::InitLogFile("Vessel");
    }
    ~TestLog() { LogMgr::ResetForTest(); }
    LogMgr* Mgr() { return LogMgr::GetInstance(); }
    std::string Current() { return Mgr()->CurrentFilePath(); }
    std::string dir() const { return tmp.path(); }
    testsupport::TempDir tmp{"vessel-log"};
};

void Touch(const std::string& path, time_t mtime, const std::string& content = "x") {
    WriteFile(path, content);
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string ReadGzip(const std::string& path) {
    std::string out;
    char buf[65536];
    gzFile gz = gzopen(path.c_str(), "rb");
    for (int n; gz != nullptr && (n = gzread(gz, buf, sizeof(buf))) > 0;) out.append(buf, n);
    if (gz != nullptr) gzclose(gz);
    return out;
}

// Names in dir that match the pattern, sorted.
std::vector<std::string> FilesIn(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> out;
    for (const std::string& n : ListDir(dir))
        if (std::regex_match(n, std::regex(pattern))) out.push_back(n);
    std::sort(out.begin(), out.end());
    return out;
}

// How often each message appears in the prefix's files, archives included; the logger's own
// lines ("LogSelf--...") count whole.
std::map<std::string, int> Messages(const std::string& dir, const std::string& prefix) {
    std::map<std::string, int> seen;
    for (const std::string& n : FilesIn(dir, prefix + ".*")) {
        const std::string path = dir + "/" + n;
        for (const std::string& l : SplitLines(n.back() == 'z' ? ReadGzip(path) : ReadFile(path))) {
            const size_t at =
                l.rfind("LogSelf--", 0) == 0 ? std::string::npos : l.find("],", l.find("],") + 2);
            ++seen[at == std::string::npos ? l : l.substr(at + 2, l.rfind('[') - at - 2)];
        }
    }
    return seen;
}

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

// A thread reuses the prefix it formatted for a second: another thread id or another zone in
// that second must still show.
TEST(LogFormat, AReusedPrefixFollowsTheThreadAndTheZone) {
    const std::string tail = "a[Run|WorkerCycle.cpp|42]\n";
    {
        testsupport::ScopedEnv tz("TZ", "UTC0");
        tzset();
        LogClock::RefreshOffset(kBaseMs / 1000);
        EXPECT_EQ(FormatLogLineAt({kBaseMs, 5, 6}, LOG_LEVEL_INFO, "a", kLoc),
                  ExpectedTime(kBaseMs) + "Info ,[5:6]," + tail);
        EXPECT_EQ(FormatLogLineAt({kBaseMs + 1, 5, 7}, LOG_LEVEL_WARN, "a", kLoc),
                  ExpectedTime(kBaseMs + 1) + "Warn ,[5:7]," + tail);
        setenv("TZ", "IST-5:30", 1);
        tzset();
        LogClock::RefreshOffset(kBaseMs / 1000);
        EXPECT_EQ(FormatLogLineAt({kBaseMs + 2, 5, 7}, LOG_LEVEL_INFO, "a", kLoc),
                  ExpectedTime(kBaseMs + 2) + "Info ,[5:7]," + tail);
    }
    tzset();
    LogClock::RefreshOffset(kBaseMs / 1000);
}

size_t LineCount(const std::string& path) {
    return SplitLines(ReadFile(path)).size();
}

TEST(LogWrite, BatchesInfoButWritesWarnAndErrorAtOnce) {
    TestLog log(Settings(3, 1000, 100, 64, 20));
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
    const std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(lines.size(), 107u);
    for (size_t i = 0; i <= 104; ++i)
        EXPECT_NE(lines[i + 1].find(",line " + std::to_string(i) + "["), std::string::npos);
    EXPECT_NE(lines[105].find("],Error,[" + std::to_string(getpid()) + ":" + std::to_string(pthread_self()) +
                              "],ErrorCode:5,line 104[TestBody|BaseTest.cpp|"),
              std::string::npos);
}

TEST(LogWrite, FlushThreadWritesAPendingLineOnTime) {
    TestLog log(Settings(3, 1, 100, 64, 20));
    LOG_INFO("first");
    LOG_INFO("second");  // batched; no later line comes, so only the flush thread writes it
    const auto logged = std::chrono::steady_clock::now();
    EXPECT_EQ(LineCount(log.Current()), 2u);
    EXPECT_TRUE(WaitFor([&] { return LineCount(log.Current()) == 3; }, std::chrono::seconds(3)));
    EXPECT_GE(std::chrono::steady_clock::now() - logged, std::chrono::milliseconds(900));
    // Handled signals must reach the main thread's sigsuspend, not the flush thread.
    for (const std::string& task : ListDir("/proc/self/task")) {
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
    // As values of a frame the parser reads, they reach the log without their secrets.
    TestLog log(Settings(3, 0, 1, 64, 20));
    std::string frame = "*" + std::to_string(cases.size()) + "\r\n";
    for (const auto& [in, want] : cases) frame += "$" + std::to_string(in.size()) + "\r\n" + in + "\r\n";
    RespStreamParser parser;
    size_t used = 0;
    ASSERT_EQ(parser.FeedBuffer(frame.data(), frame.size(), used), RespStreamParser::Result::COMPLETE);
    const std::string text = ReadFile(log.Current());
    for (const auto& [in, want] : cases)
        EXPECT_NE(text.find(",Receiv:" + want + "["), std::string::npos) << want;
}

TEST(LogRoll, FullDiskLosesNoArchiveAndCompressesOnceThereIsSpace) {
    testsupport::TempDir tmp("vessel-disk");
    const std::string dir = tmp.path();
    testsupport::TmpfsMount disk(dir, 0, "size=8m");
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    UseSettings(dir, Settings(3, 1000, 1, 1, 5).c_str());
    // Five archives (all MaxFileNum keeps), a closed file to compress, and newest a file at
    // the size limit that the process takes up.
    for (int i = 0; i < 5; ++i)
        Touch(dir + "/Vessel_20230101_00000" + std::to_string(i) + ".log.gz", 1600000000 + i, "gz");
    const std::string closed = dir + "/Vessel_20230101_000100.log",
                      full = dir + "/Vessel_20230101_000200.log";
    // Over 2 MiB: compressed a MiB at a time, the last piece short.
    std::string text;
    for (int i = 0; text.size() < 2621440; ++i) text += "closed line " + std::to_string(i) + "\n";
    Touch(closed, 1600000100, text);
    WriteFile(full, std::string(1048576, 'f'));
    ASSERT_EQ(testsupport::TmpfsMount::FillUp(dir + "/filler"), ENOSPC);
    const std::vector<std::string> before = ListDir(dir);
    const mode_t oldMask = umask(066);
    LogMgr::ReopenLogFile("Vessel");
    EXPECT_EQ(LogMgr::GetInstance()->CurrentFilePath(), full);
    // At the limit every line asks for a roll, but no new file can take a line.
    ASSERT_TRUE(LogMgr::GetInstance()->WaitHousekeepingIdle(20000));
    for (int i = 0; i < 100; ++i) LOG_INFO("while full " + std::string(1000, 'w'));
    EXPECT_EQ(LogMgr::GetInstance()->CurrentFilePath(), full);
    EXPECT_EQ(ListDir(dir), before) << "no partial archive, no temporary or empty file";
    EXPECT_TRUE(ReadFile(dir + "/Vessel_20230101_000000.log.gz") == "gz" && ReadFile(closed) == text);
    // Space again: a later pass compresses the closed file, without a restart.
    ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            LOG_INFO("space again");
            return access(closed.c_str(), F_OK) != 0;
        },
        std::chrono::seconds(40)));
    ASSERT_TRUE(LogMgr::GetInstance()->WaitHousekeepingIdle(20000));
    const std::string unpacked = ReadGzip(closed + ".gz");
    EXPECT_TRUE(unpacked == text) << unpacked.size() << " bytes unpacked of " << text.size();
    struct stat st {};
    EXPECT_TRUE(stat((closed + ".gz").c_str(), &st) == 0 && (st.st_mode & 0777) == 0400)
        << "0440 under the umask";
    umask(oldMask);
    LogMgr::ResetForTest();
}

// Another process shares the file the roll closes: it is compressed only once that process is
// done. Pruning removes the oldest archives by time, of the prefix only.
TEST(LogRoll, PrunesOldestOfItsPrefixAndSparesAFileAnotherProcessWrites) {
    TestLog log(Settings(3, 1000, 1, 1, 20), false);
    // 23 archives whose ages do not follow their names: the oldest are 17, 25, 32, then 10.
    for (int i = 10; i < 33; ++i) {
        const int age = i == 17 ? 3 : i == 25 ? 1 : i == 32 ? 2 : 100 + i;
        Touch(log.tmp / ("sub_Vessel_20230101_0000" + std::to_string(i) + ".log.gz"), 1600000000 + age);
    }
    const std::string other = log.tmp / "x_sub_Vessel_20200101_000000.log.gz";
    Touch(other, 1000);
    int ready[2], go[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
    testsupport::ChildProcess b;
    b.Fork([&] {  // B: prunes, writes 100 lines, then 100 more once A rolled
        close(go[1]);
        LogMgr::ReopenLogFile("sub_Vessel");
        LogMgr::GetInstance()->WaitHousekeepingIdle(20000);
        for (int i = 0; i < 200; ++i) {
            LOG_INFO("B seq=" + std::to_string(i));
            if (i == 99 && (write(ready[1], "r", 1) != 1 || read(go[0], &i, 1) != 0)) return 1;
        }
        LogMgr::CloseLogFile();
        return 0;
    });
    close(go[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    LogMgr::ReopenLogFile("sub_Vessel");  // joins the newest file: B's
    const std::string shared = log.Current(), pad(1000, 'a');
    const int64_t second = LogClock::NowMs() / 1000;  // a roll within its file's second waits
    ASSERT_TRUE(WaitFor([&] { return LogClock::NowMs() / 1000 > second; }, std::chrono::seconds(3)));
    int aCount = 0;
    while (log.Current() == shared && aCount < 5000) LOG_INFO("A seq=" + std::to_string(aCount++) + pad);
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    EXPECT_EQ(access((shared + ".gz").c_str(), F_OK), -1) << "compressed while B still wrote it";
    for (int fd : {go[1], ready[0], ready[1]}) close(fd);  // B goes on, then closes
    EXPECT_EQ(b.Wait(std::chrono::seconds(10)), 0);
    // Now the next pass archives it, one more archive goes, and every line is there once.
    log.Mgr()->StartHousekeeping();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();
    EXPECT_EQ(access(shared.c_str(), F_OK), -1);
    std::map<std::string, int> seen = Messages(log.dir(), "sub_Vessel_");
    EXPECT_EQ(seen["LogSelf--GzipFile:" + shared.substr(shared.rfind('/') + 1) + ":#"], 1);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen["B seq=" + std::to_string(i)], 1) << i;
    for (int i = 0; i < aCount; ++i) EXPECT_EQ(seen["A seq=" + std::to_string(i) + pad], 1) << i;
    for (const char* gone : {"17", "25", "32", "10"}) {
        const std::string name = std::string("sub_Vessel_20230101_0000") + gone + ".log.gz";
        EXPECT_NE(access((log.tmp / name).c_str(), F_OK), 0) << name;
        EXPECT_EQ(seen["LogSelf--roll log " + name + "--removed."], 1) << name;
    }
    EXPECT_EQ(FilesIn(log.dir(), "sub_Vessel_.*\\.gz").size(), 20u);
    EXPECT_EQ(access(other.c_str(), F_OK), 0);
}

// Threads log across rolls while workers are forked: no line lost or torn, and no worker hangs
// on a lock (logging's, the C library's time zone, the settings') a thread held at the fork.
TEST(LogProcess, ThreadsLogAcrossRollsWhileWorkersFork) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "gcc 12's AddressSanitizer does not reset its allocator locks in a forked child";
#endif
    TestLog log(Settings(3, 1000, 10, 1, 100));
    umask(022);
    WriteFile(log.dir() + "/home/conf/container.json", R"({"maxModulePerSubprocess": 4})");
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
    std::vector<testsupport::ChildProcess> workers(kChildren);
    for (int i = 0; i < kChildren; ++i) {
        workers[i].Fork([i] {
            LogMgr::ReopenLogFile("sub_Vessel");
            LogClock::RefreshOffset(LogClock::NowMs() / 1000 + 3600);
            LOG_INFO("worker " + std::to_string(i) +
                     (getProperty("maxModulePerSubprocess") == 4 ? " ok" : " bad"));
            LogMgr::CloseLogFile();
            return 0;
        });
    }
    for (testsupport::ChildProcess& w : workers)
        EXPECT_EQ(w.Wait(std::chrono::seconds(30)), 0) << "a worker hung";
    // A worker holds the file it was forked with until it reopens: a roll then leaves that file
    // to the next roll's pass, which now finds no worker holding anything.
    const std::string last = log.Current();
    EXPECT_TRUE(WaitFor([&] { return log.Current() != last; }, std::chrono::seconds(10)));
    stop = true;
    for (std::thread& t : threads) t.join();
    const std::string current = log.Current();
    ASSERT_TRUE(log.Mgr()->WaitHousekeepingIdle(20000));
    LogMgr::CloseLogFile();

    std::map<std::string, int> seen = Messages(log.dir(), "sub_Vessel_");
    for (int i = 0; i < kChildren; ++i) EXPECT_EQ(seen["worker " + std::to_string(i) + " ok"], 1) << i;
    // Closed files are archives under their own name plus .gz, read-only; the current one stays.
    EXPECT_EQ(FilesIn(log.dir(), "Vessel_.*\\.log"),
              std::vector<std::string>{current.substr(log.dir().size() + 1)});
    struct stat st {};
    EXPECT_TRUE(stat((first + ".gz").c_str(), &st) == 0 && (st.st_mode & 0777) == 0440);
    EXPECT_TRUE(stat(current.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
    seen = Messages(log.dir(), "Vessel_");
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < counts[t]; ++i)
            EXPECT_EQ(seen["T" + std::to_string(t) + " seq=" + std::to_string(i) + pad], 1);
    }
}

TEST(LogCfgTest, ReadsEnvironmentAndFile) {
    // Which of _APP_LOG_DIR ('d', or 'm': a directory not made yet) and VESSEL_HOME ('h') are
    // set, the file (or none), and level, write rate, buffer num, max size, max num.
    const std::vector<std::tuple<std::string, std::string, std::vector<int32_t>>> cases = {
        {"dh",
         R"({"DevLogLevel":"2","LogBufferWriteRate":"0","LogBufferNum":"50","MaxFileSize":"0","MaxFileNum":"9"})",
         {2, 0, 50, kMiB, 9}},
        // Keys read before a failure keep their values, the rest their defaults.
        {"dh",
         R"({"DevLogLevel":4,"LogBufferWriteRate":2,"LogBufferNum":"x","MaxFileSize":3})",
         {4, 2, 100, 20 * kMiB, 20}},
        // Sizes are clamped to 1..2047 MiB; negative counts keep the defaults.
        {"dh", Settings(-1, -2, -3, 5000, -5), {3, 1, 100, 2047 * kMiB, 20}},
        {"h", Settings(1, 5, 7, 3, 4), {1, 5, 7, 3 * kMiB, 4}},
        {"mh", Settings(1, 5, 7, 3, 4), {1, 5, 7, 3 * kMiB, 4}},
        {"", "", {3, 1, 100, 20 * kMiB, 20}},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    for (const auto& [env, json, want] : cases) {
        testsupport::TempDir tmp("logcfg");
        UseSettings(tmp.path(), json.empty() ? nullptr : json.c_str());
        if (env[0] == 'm') setenv("_APP_LOG_DIR", (tmp / "new/logs").c_str(), 1);
        if (env.find_first_of("dm") == std::string::npos) unsetenv("_APP_LOG_DIR");
        if (env.find('h') == std::string::npos) unsetenv("VESSEL_HOME");
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);  // without a home the logs go to ./logs
        testing::internal::CaptureStderr();
        const LogCfg* cfg = LogCfg::GetInstance();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(chdir(cwd), 0);
        EXPECT_EQ(std::vector<int32_t>({cfg->GetDevLogLevel(), cfg->GetLogBufferWriteRate(),
                                        cfg->GetLogBufferNum(), cfg->GetMaxFileSize(), cfg->GetMaxFileNum()}),
                  want)
            << env << " " << json;
        const std::string dir = env[0] == 'd'   ? tmp.path()
                                : env[0] == 'm' ? tmp / "new/logs"
                                : env[0] == 'h' ? tmp / "home/logs"
                                                : tmp / "logs";
        EXPECT_EQ(cfg->GetLogDir(), dir);
        EXPECT_EQ(access(dir.c_str(), W_OK), 0) << "made when missing";
        EXPECT_EQ(err, env == "h"  ? "_APP_LOG_DIR is not set; logging to " + dir + "\n"
                       : env == "" ? "_APP_LOG_DIR and VESSEL_HOME are not set; logging to " + dir + "\n"
                                   : "");
        EXPECT_EQ(LogCfg::GetInstance(), cfg) << "read once";
    }
    LogCfg::ResetForTest();
}

TEST(PropertyFileParserTest, LinesAndFiles) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // line, "key|value" or "" (none); non-ASCII bytes are not white space
        {"a=b=c", "a|b=c"}, {"\v\f name \t=  two words\xc2\xa0\r", "name|two words\xc2\xa0"},
        {"k=v #c", "k|v"},  {"k=v#x=y", "k|v"},
        {"a=", "a|"},       {" # a=b", ""},
        {"abc # x=y", ""},  {"no equals", ""},
        {" = value", ""},   {"\r", ""}};
    for (const auto& [line, want] : cases) {
        std::string key, value;
        EXPECT_EQ(AnalyseLine(line, key, value) ? key + "|" + value : "", want) << line;
    }
    testsupport::TempDir dir("propfile");
    WriteFile(dir / "env", "# c\r\nJAVA_OPTS = -Xmx256m -Dx=1\r\n\r\nbad\r\nP=1\r\nP=2 # x\r\nLAST=end");
    std::map<std::string, std::string> props = {{"KEPT", "1"}, {"P", "0"}};
    ASSERT_TRUE(ReadConfig(dir / "env", props));
    EXPECT_EQ(props, (std::map<std::string, std::string>{
                         {"KEPT", "1"}, {"JAVA_OPTS", "-Xmx256m -Dx=1"}, {"P", "2"}, {"LAST", "end"}}));
}

// container.json under $VESSEL_HOME/conf, with explicit modification times.
TEST(PropertyLoaderTest, ValuesDefaultsReReadsAndConcurrentReaders) {
    TestLog log(Settings(3, 0, 1, 64, 20));
    const std::string path = log.dir() + "/home/conf/container.json";
    Touch(path, 1700000000,
          R"({"maxModulePerSubprocess": "abc", "moduleLifeCheckDelay": "12x", "moduleLastLifeDelay": " +5",
        "moduleRequestTimeout": 4294967298, "moduleHealthCheckInterval": {"n": 1}, "moduleIdleTime": "-1",
        "custom": 5, "healthCheckUrl": "/h/%s"})");
    ASSERT_EQ(PropertyLoader::GetInstance().Reload(), 0);  // nothing left from earlier tests
    std::string got;
    for (const char* name :
         {"maxModulePerSubprocess", "moduleLifeCheckDelay", "moduleLastLifeDelay", "moduleRequestTimeout",
          "moduleHealthCheckInterval", "moduleIdleTime", "custom", "unknown"})
        got += std::string(name) + "=" + std::to_string(getProperty(name)) + " ";
    EXPECT_EQ(got,
              "maxModulePerSubprocess=0 moduleLifeCheckDelay=12 moduleLastLifeDelay=5 moduleRequestTimeout=2 "
              "moduleHealthCheckInterval=0 moduleIdleTime=-1 custom=5 unknown=-1 ");  // the low 32 bits
    EXPECT_EQ(getStrProperty("healthCheckUrl") + "|" + getStrProperty("unknown"), "/h/%s|");
    // -1 and absent keys give the defaults; a changed time is read again, merging keys.
    Touch(path, 1700000100, R"({"moduleRequestTimeout": -1, "moduleIdleTime": 0, "healthCheckUrl": ""})");
    EXPECT_EQ(getProperty("moduleRequestTimeout"), 300);
    EXPECT_EQ(getProperty("moduleIdleTime"), 0);
    EXPECT_EQ(getProperty("custom"), 5) << "a key that left the file keeps its value";
    EXPECT_EQ(getStrProperty("healthCheckUrl"), "/rest/vude/%s/healthcheck");
    // A broken file keeps the values and is tried again.
    Touch(path, 1700000200, R"({"moduleIdleTime": 9,)");
    EXPECT_EQ(getProperty("moduleIdleTime"), 0);
    Touch(path, 1700000200, R"({"moduleIdleTime": 9})");
    EXPECT_EQ(getProperty("moduleIdleTime"), 9);

    // Readers while the file is replaced, with other text and new keys each time: a reader
    // without the lock sees torn strings or a map rebalancing under it.
    const std::string urls[] = {"/a/%s", "/a-much-longer-health-check-path/%s"};
    auto version = [&](int i) {
        std::string json = "{\"healthCheckUrl\": \"" + urls[i % 2] + "\"";
        for (int k = 0; k < 20; ++k) json += ", \"k" + std::to_string(i) + "_" + std::to_string(k) + "\": 1";
        Touch(path + ".tmp", 1700000300 + i, json + "}");
        return rename((path + ".tmp").c_str(), path.c_str());
    };
    ASSERT_EQ(version(0), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&] {
            for (std::string s; !stop;)
                bad += (s = getStrProperty("healthCheckUrl")) != urls[0] && s != urls[1];
        });
    }
    for (int i = 1; i <= 1000; ++i) EXPECT_EQ(version(i), 0);
    stop = true;
    for (std::thread& r : readers) r.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(CommonUtilTest, StringsAndFiles) {
    std::vector<std::string> out = {"before"};
    Split(";a;;b;", out, ';');
    Split("  c  d ", out, ' ');  // blanks: runs separate words
    EXPECT_EQ(out, (std::vector<std::string>{"before", "", "a", "", "b", "c", "d"}));
    std::string text = "aaa";
    ReplaceAll(text, "a", "aa");  // inserted text is never searched again
    EXPECT_EQ(text, "aaaaaa");
    testsupport::TempDir dir("util");
    WriteFile(dir / "file", "");
    const mode_t old = umask(0);
    EXPECT_EQ(MakeDirs((dir / "m1/m2/").c_str(), 0750), 0);
    umask(old);
    struct stat st {};
    EXPECT_TRUE(stat((dir / "m1").c_str(), &st) == 0 && (st.st_mode & 07777) == 0750);
    EXPECT_EQ(MakeDirs((dir / "file/x").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOTDIR);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "m1/m2/up").c_str()), 0);
    RemoveDir(dir / "m1");  // links are removed, never followed
    EXPECT_TRUE(!exists(dir / "m1") && exists(dir / "file"));
}

TEST(SafeStringTest, NeverWritesPastTheGivenSize) {
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(strncpy_s(buf, 8, "abcdefghijkl", 8), ERANGE);
    EXPECT_EQ(memset_s(buf, 8, 'a', 12), ERANGE);
    EXPECT_EQ(sprintf_s(buf, 8, "%s/%s", "abc", "def"), 7);
    EXPECT_EQ(sprintf_s(buf, 8, "%s/%s", "abcd", "def"), -1);
    EXPECT_EQ(std::string(buf + 8, 8) + buf[0], std::string(8, 'Z') + '\0') << "a failure leaves \"\"";
    const std::string withN = "ab%n";  // built at run time: %n is refused, not executed
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), withN.c_str(), &buf[12]), -1);
}

TEST(BlockQueueTest, EveryItemReachesOneConsumerAndStopReleasesThem) {
    BlockQueue<std::unique_ptr<int>> queue;
    std::vector<std::atomic<int>> times(8000);
    std::vector<std::thread> consumers;
    for (int t = 0; t < 3; ++t) {
        consumers.emplace_back([&] {
            for (std::unique_ptr<int> item; queue.Pop(item);) ++times.at(*item);
        });
    }
    for (int i = 0; i < 8000; ++i) queue.Push(std::make_unique<int>(i));
    ASSERT_TRUE(WaitFor([&] { return queue.Empty(); }, std::chrono::seconds(10)));
    queue.Stop();
    for (std::thread& t : consumers) t.join();
    EXPECT_EQ(std::count(times.begin(), times.end(), 1), 8000);
    // Queued after Stop (a request handed back at shutdown): still taken, in order, then the end.
    queue.Push(std::make_unique<int>(1));
    queue.Push(std::make_unique<int>(2));
    std::unique_ptr<int> v;
    EXPECT_TRUE(queue.Pop(v) && *v == 1 && queue.TryPop(v) && *v == 2);
    EXPECT_FALSE(queue.PopFor(v, std::chrono::hours(1)));
}

TEST(CatalinaBaseDirTest, RemovesOnlyBasesOfEndedWorkers) {
    TestLog log(Settings(3, 0, 1, 64, 20));  // removals are logged
    testsupport::ScopedEnv noRoot("APP_ROOT", "", true);
    const std::string warren = log.dir() + "/warren/", keep = log.dir() + "/home/keep";
    WriteFile(keep, "kept");  // reached through a link in each base
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const std::vector<std::string> bases = {std::to_string(ended), std::to_string(getpid()),
                                            "0" + std::to_string(ended)};
    for (const std::string& b : bases) {
        ASSERT_EQ(MakeDirs((warren + b).c_str(), 0700), 0);
        ASSERT_EQ(symlink((log.dir() + "/home").c_str(), (warren + b + "/lib").c_str()), 0);
    }
    EXPECT_EQ(CatalinaBaseDir::RemoveEnded(log.dir()), 1);  // not a live pid, not "0<pid>"
    EXPECT_TRUE(!exists(warren + bases[0]) && exists(warren + bases[1]) && exists(warren + bases[2]));
    EXPECT_EQ(ReadFile(keep), "kept");
    EXPECT_EQ(CatalinaBaseDir::RemoveFor(log.dir(), getpid()), EBUSY);
    EXPECT_EQ(CatalinaBaseDir::RemoveFor("", ended), EINVAL);
}

}  // namespace
