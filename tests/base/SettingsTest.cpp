// Settings (the logging settings, key=value files, container.json) and the small helpers:
// strings, files and directories, bounded C string calls, the blocking queue, Catalina bases.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "LogTestUtil.h"
#include "base/BlockQueue.h"
#include "base/CatalinaBaseDir.h"
#include "base/CommonUtil.h"
#include "base/LogCfg.h"
#include "base/PropertyFileParser.h"
#include "base/PropertyLoader.h"
#include "base/SafeString.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
constexpr int32_t kMiB = 1048576;

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(LogCfgTest, ReadsEnvironmentAndFile) {
    // Which of _APP_LOG_DIR ('d') and VESSEL_HOME ('h') are set, the file (or none), and level,
    // write rate, buffer num, max size, max num.
    const std::vector<std::tuple<std::string, const char*, std::vector<int32_t>>> cases = {
        {"dh",
         R"({"DevLogLevel":"2","LogBufferWriteRate":"0","LogBufferNum":"50","MaxFileSize":"0","MaxFileNum":"9"})",
         {2, 0, 50, kMiB, 9}},
        // Keys read before a failure keep their values, the rest their defaults.
        {"dh",
         R"({"DevLogLevel":4,"LogBufferWriteRate":2,"LogBufferNum":"x","MaxFileSize":3,"MaxFileNum":4})",
         {4, 2, 100, 20 * kMiB, 20}},
        // Sizes are clamped to 1..2047 MiB; negative counts keep the defaults.
        {"dh",
         R"({"DevLogLevel":-1,"LogBufferWriteRate":-2,"LogBufferNum":-3,"MaxFileSize":5000,"MaxFileNum":-5})",
         {3, 1, 100, 2047 * kMiB, 20}},
        {"d", nullptr, {3, 1, 100, 20 * kMiB, 20}},
        {"h",
         R"({"DevLogLevel":1,"LogBufferWriteRate":5,"LogBufferNum":7,"MaxFileSize":3,"MaxFileNum":4})",
         {1, 5, 7, 3 * kMiB, 4}},
        {"", nullptr, {3, 1, 100, 20 * kMiB, 20}},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    for (const auto& [env, json, want] : cases) {
        testsupport::TempDir tmp("logcfg");
        logtest::UseSettings(tmp.path(), json);
        if (env.find('d') == std::string::npos) unsetenv("_APP_LOG_DIR");
        if (env.find('h') == std::string::npos) unsetenv("VESSEL_HOME");
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);  // without a home the logs go to ./logs
        testing::internal::CaptureStderr();
        const LogCfg* cfg = LogCfg::GetInstance();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(chdir(cwd), 0);
        EXPECT_EQ(std::vector<int32_t>({cfg->GetDevLogLevel(), cfg->GetLogBufferWriteRate(),
                                        cfg->GetLogBufferNum(), cfg->GetMaxFileSize(), cfg->GetMaxFileNum()}),
                  want)
            << env << " " << (json ? json : "no file");
        const std::string dir = env[0] == 'd' ? tmp.path() : env[0] == 'h' ? tmp / "home/logs" : tmp / "logs";
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
        // line, "key|value" or "" (none)
        {"a=b=c", "a|b=c"}, {"  name \t=  two words \r", "name|two words"},
        {"k=v #c", "k|v"},  {"k=v#x=y", "k|v"},
        {"a=", "a|"},       {" # a=b", ""},
        {"abc # x=y", ""},  {"no equals", ""},
        {" = value", ""},   {"\r", ""}};
    for (const auto& [line, want] : cases) {
        std::string key, value;
        EXPECT_EQ(AnalyseLine(line, key, value) ? key + "|" + value : "", want) << line;
    }
    std::string text = " \t\n\v\f\r\xc2\xa0x  y \r\n";  // non-ASCII bytes are not white space
    Trim(text);
    EXPECT_EQ(text, "\xc2\xa0x  y");
    testsupport::TempDir dir("propfile");
    WriteFile(dir / "env", "# c\r\nJAVA_OPTS = -Xmx256m -Dx=1\r\n\r\nbad\r\nP=1\r\nP=2 # x\r\nLAST=end");
    std::map<std::string, std::string> props = {{"KEPT", "1"}, {"P", "0"}};
    ASSERT_TRUE(ReadConfig(dir / "env", props));
    EXPECT_EQ(props, (std::map<std::string, std::string>{
                         {"KEPT", "1"}, {"JAVA_OPTS", "-Xmx256m -Dx=1"}, {"P", "2"}, {"LAST", "end"}}));
    EXPECT_FALSE(ReadConfig(dir / "absent", props));
    EXPECT_EQ(props.size(), 4u);
}

// container.json under $VESSEL_HOME/conf, with explicit modification times.
TEST(PropertyLoaderTest, ValuesDefaultsReReadsAndConcurrentReaders) {
    logtest::TestLog log(logtest::Settings(3, 0, 1, 64, 20));
    const std::string path = log.dir() + "/home/conf/container.json";
    logtest::Touch(
        path, 1700000000,
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
    logtest::Touch(path, 1700000100,
                   R"({"moduleRequestTimeout": -1, "moduleIdleTime": 0, "healthCheckUrl": ""})");
    EXPECT_EQ(getProperty("moduleRequestTimeout"), 300);
    EXPECT_EQ(getProperty("moduleIdleTime"), 0);
    EXPECT_EQ(getProperty("custom"), 5) << "a key that left the file keeps its value";
    EXPECT_EQ(getStrProperty("healthCheckUrl"), "/rest/vude/%s/healthcheck");
    // Same time: the cache is current. A broken file keeps the values and is tried again.
    logtest::Touch(path, 1700000100, R"({"moduleIdleTime": 8})");
    EXPECT_EQ(getProperty("moduleIdleTime"), 0);
    logtest::Touch(path, 1700000200, R"({"moduleIdleTime": 9,)");
    EXPECT_EQ(getProperty("moduleIdleTime"), 0);
    logtest::Touch(path, 1700000200, R"({"moduleIdleTime": 9})");
    EXPECT_EQ(getProperty("moduleIdleTime"), 9);

    // Readers while the file is replaced, with other text and new keys each time: a reader
    // without the lock sees torn strings or a map rebalancing under it.
    const std::string urls[] = {"/a/%s", "/a-much-longer-health-check-path/%s"};
    auto version = [&](int i) {
        std::string json = "{\"healthCheckUrl\": \"" + urls[i % 2] + "\"";
        for (int k = 0; k < 20; ++k) json += ", \"k" + std::to_string(i) + "_" + std::to_string(k) + "\": 1";
        logtest::Touch(path + ".tmp", 1700000300 + i, json + "}");
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
    for (const char* name : {"a.jar", "jar.txt", "jarjar", "libx.so", "xlib"}) WriteFile(dir / name, "");
    EXPECT_EQ(GetFiles(dir.path(), "jar", true), std::vector<std::string>{"a.jar"});
    EXPECT_EQ(GetFiles(dir.path(), "lib", false), std::vector<std::string>{"libx.so"});
    const mode_t old = umask(0);
    EXPECT_EQ(MakeDirs((dir / "m1/m2/").c_str(), 0750), 0);
    umask(old);
    struct stat st {};
    EXPECT_TRUE(stat((dir / "m1").c_str(), &st) == 0 && (st.st_mode & 07777) == 0750);
    EXPECT_EQ(MakeDirs((dir / "a.jar/x").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOTDIR);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "m1/m2/up").c_str()), 0);
    RemoveDir(dir / "m1");  // links are removed, never followed
    EXPECT_TRUE(!Exists(dir / "m1") && Exists(dir / "libx.so"));
}

TEST(SafeStringTest, NeverWritesPastTheGivenSize) {
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(strcpy_s(buf, 8, "1234567"), 0);
    EXPECT_EQ(strcpy_s(buf, 8, "12345678"), ERANGE);
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
    std::vector<std::vector<int>> got(3);
    std::vector<std::thread> consumers;
    for (auto& part : got) {
        consumers.emplace_back([&queue, &part] {
            for (std::unique_ptr<int> item; queue.Pop(item);) part.push_back(*item);
        });
    }
    for (int i = 0; i < 8000; ++i) queue.Push(std::make_unique<int>(i));
    ASSERT_TRUE(testsupport::WaitFor([&] { return queue.Empty(); }, std::chrono::seconds(10)));
    queue.Stop();
    for (std::thread& t : consumers) t.join();
    std::vector<int> times(8000);
    for (const auto& part : got)
        for (int i : part) ++times.at(i);
    EXPECT_EQ(std::count(times.begin(), times.end(), 1), 8000);
    // Queued after Stop (a request handed back at shutdown): still taken, in order, then the end.
    queue.Push(std::make_unique<int>(1));
    queue.Push(std::make_unique<int>(2));
    std::unique_ptr<int> v;
    EXPECT_TRUE(queue.Pop(v) && *v == 1 && queue.TryPop(v) && *v == 2);
    EXPECT_FALSE(queue.PopFor(v, std::chrono::hours(1)));
}

TEST(CatalinaBaseDirTest, RemovesOnlyBasesOfEndedWorkers) {
    logtest::TestLog log(logtest::Settings(3, 0, 1, 64, 20));  // removals are logged
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
    EXPECT_TRUE(!Exists(warren + bases[0]) && Exists(warren + bases[1]) && Exists(warren + bases[2]));
    EXPECT_EQ(ReadFile(keep), "kept");
    EXPECT_EQ(CatalinaBaseDir::RemoveFor(log.dir(), getpid()), EBUSY);
    EXPECT_EQ(CatalinaBaseDir::RemoveFor("", ended), EINVAL);
}

}  // namespace
