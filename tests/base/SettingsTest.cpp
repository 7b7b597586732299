// Settings: the logging settings (containerlog.json and the environment), key=value files and
// the container settings re-read when container.json changes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "LogTestUtil.h"
#include "base/LogCfg.h"
#include "base/PropertyFileParser.h"
#include "base/PropertyLoader.h"

namespace {

constexpr int32_t kMiB = 1048576;

TEST(LogCfgTest, ReadsEnvironmentAndFile) {
    const struct {
        const char* env;            // which of _APP_LOG_DIR ('d') and VESSEL_HOME ('h') are set
        const char* json;           // nullptr: no file
        std::vector<int32_t> want;  // level, write rate, buffer num, max size, max num
        const char* err;            // without _APP_LOG_DIR: why the default directory is taken
    } cases[] = {
        {"dh", R"({"DevLogLevel":"2","LogBufferWriteRate":"0","LogBufferNum":"50","MaxFileSize":"0","MaxFileNum":"9"})",
         {2, 0, 50, kMiB, 9}, ""},
        // Keys read before a failure keep their values, the rest their defaults.
        {"dh", R"({"DevLogLevel":4,"LogBufferWriteRate":2,"LogBufferNum":"x","MaxFileSize":3,"MaxFileNum":4})",
         {4, 2, 100, 20 * kMiB, 20}, ""},
        // Sizes are clamped to 1..2047 MiB; negative counts keep the defaults.
        {"dh", R"({"DevLogLevel":-1,"LogBufferWriteRate":-2,"LogBufferNum":-3,"MaxFileSize":5000,"MaxFileNum":-5})",
         {3, 1, 100, 2047 * kMiB, 20}, ""},
        {"d", nullptr, {3, 1, 100, 20 * kMiB, 20}, ""},
        {"h", R"({"DevLogLevel":1,"LogBufferWriteRate":5,"LogBufferNum":7,"MaxFileSize":3,"MaxFileNum":4})",
         {1, 5, 7, 3 * kMiB, 4}, "_APP_LOG_DIR is not set; logging to "},
        {"", nullptr, {3, 1, 100, 20 * kMiB, 20}, "_APP_LOG_DIR and VESSEL_HOME are not set; logging to "},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    for (const auto& c : cases) {
        testsupport::TempDir tmp("logcfg");
        logtest::UseSettings(tmp.path(), c.json);
        const std::string env = c.env;
        if (env.find('d') == std::string::npos) unsetenv("_APP_LOG_DIR");
        if (env.find('h') == std::string::npos) unsetenv("VESSEL_HOME");
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);  // without a home the logs go to ./logs
        testing::internal::CaptureStderr();
        const LogCfg* cfg = LogCfg::GetInstance();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(chdir(cwd), 0);
        EXPECT_EQ(std::vector<int32_t>({cfg->GetDevLogLevel(), cfg->GetLogBufferWriteRate(), cfg->GetLogBufferNum(),
                                        cfg->GetMaxFileSize(), cfg->GetMaxFileNum()}),
                  c.want) << c.env << " " << (c.json ? c.json : "no file");
        const std::string dir = env[0] == 'd' ? tmp.path() : env[0] == 'h' ? tmp / "home/logs" : tmp / "logs";
        EXPECT_EQ(cfg->GetLogDir(), dir);
        EXPECT_EQ(access(dir.c_str(), W_OK), 0) << "made when missing";
        EXPECT_EQ(err, *c.err ? c.err + dir + "\n" : "");
        EXPECT_EQ(LogCfg::GetInstance(), cfg) << "read once";
    }
    LogCfg::ResetForTest();
}

TEST(PropertyFileParserTest, LinesAndFiles) {
    const struct {
        const char* line;
        const char* key;  // nullptr: not a key=value line
        const char* value;
    } cases[] = {
        {"a=b=c", "a", "b=c"}, {"  name \t=  two words \r", "name", "two words"}, {"k=v #c", "k", "v"},
        {"k=v#x=y", "k", "v"}, {"a=", "a", ""}, {" # a=b", nullptr, ""}, {"abc # x=y", nullptr, ""},
        {"no equals", nullptr, ""}, {" = value", nullptr, ""}, {"\r", nullptr, ""},
    };
    for (const auto& c : cases) {
        std::string key, value;
        EXPECT_EQ(AnalyseLine(c.line, key, value), c.key != nullptr) << c.line;
        if (c.key != nullptr) EXPECT_EQ(key + "|" + value, std::string(c.key) + "|" + c.value) << c.line;
    }
    std::string text = " \t\n\v\f\r\xc2\xa0x  y \r\n";  // non-ASCII bytes are not white space
    Trim(text);
    EXPECT_EQ(text, "\xc2\xa0x  y");
    testsupport::TempDir dir("propfile");
    testsupport::WriteFile(dir / "env", "# c\r\nJAVA_OPTS = -Xmx256m -Dx=1\r\n\r\nbad\r\nP=1\r\nP=2 # x\r\nLAST=end");
    std::map<std::string, std::string> props = {{"KEPT", "1"}, {"P", "0"}};
    ASSERT_TRUE(ReadConfig(dir / "env", props));
    EXPECT_EQ(props, (std::map<std::string, std::string>{
                         {"KEPT", "1"}, {"JAVA_OPTS", "-Xmx256m -Dx=1"}, {"P", "2"}, {"LAST", "end"}}));
    EXPECT_FALSE(ReadConfig(dir / "absent", props));
    EXPECT_EQ(props.size(), 4u);
}

// container.json under $VESSEL_HOME/conf, with an explicit modification time.
struct ContainerJson {
    logtest::TestLog log{logtest::Settings(3, 0, 1, 64, 20)};
    std::string path = log.dir() + "/home/conf/container.json";
    void Write(const std::string& json, time_t mtime, const std::string& to = "") {
        testsupport::WriteFile(to.empty() ? path : to, json);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        utimensat(AT_FDCWD, (to.empty() ? path : to).c_str(), times, 0);
    }
};

TEST(PropertyLoaderTest, ValuesDefaultsAndReReads) {
    ContainerJson cfg;
    cfg.Write(R"({"maxModulePerSubprocess": "abc", "moduleLifeCheckDelay": "12x", "moduleLastLifeDelay": " +5",
        "moduleRequestTimeout": 4294967298, "moduleHealthCheckInterval": {"n": 1}, "moduleIdleTime": "-1",
        "custom": 5, "healthCheckUrl": "/h/%s"})", 1700000000);
    ASSERT_EQ(PropertyLoader::GetInstance().Reload(), 0);  // nothing left from earlier tests
    const std::vector<std::pair<const char*, int32_t>> ints = {
        {"maxModulePerSubprocess", 0}, {"moduleLifeCheckDelay", 12}, {"moduleLastLifeDelay", 5},
        {"moduleRequestTimeout", 2},  // low 32 bits
        {"moduleHealthCheckInterval", 0}, {"moduleIdleTime", -1}, {"custom", 5}, {"unknown", -1}};
    for (const auto& [name, want] : ints) EXPECT_EQ(getProperty(name), want) << name;
    EXPECT_EQ(getStrProperty("healthCheckUrl") + "|" + getStrProperty("unknown"), "/h/%s|");
    // -1 and absent keys give the defaults; a changed time is read again, merging keys.
    cfg.Write(R"({"moduleRequestTimeout": -1, "moduleIdleTime": 0, "healthCheckUrl": ""})", 1700000100);
    EXPECT_EQ(getProperty("moduleRequestTimeout"), 300);
    EXPECT_EQ(getProperty("moduleIdleTime"), 0);
    EXPECT_EQ(getProperty("custom"), 5) << "a key that left the file keeps its value";
    EXPECT_EQ(getStrProperty("healthCheckUrl"), "/rest/vude/%s/healthcheck");
    // Same time: the cache is current. A broken file keeps the values and is tried again.
    for (const auto& [json, mtime] : {std::pair{R"({"moduleIdleTime": 8})", 1700000100},
                                      std::pair{R"({"moduleIdleTime": 9,)", 1700000200}}) {
        cfg.Write(json, mtime);
        EXPECT_EQ(getProperty("moduleIdleTime"), 0) << json;
    }
    cfg.Write(R"({"moduleIdleTime": 9})", 1700000200);
    EXPECT_EQ(getProperty("moduleIdleTime"), 9);
}

TEST(PropertyLoaderTest, ConcurrentReadersWhileTheFileChanges) {
    ContainerJson cfg;
    // A short and a heap-allocated text, and new keys every other version: an unguarded
    // reader would see torn strings or a rebalancing map.
    const std::string urls[] = {"/a/%s", "/a-much-longer-health-check-path/%s"};
    auto version = [&](int i) {
        std::string json = "{\"maxModulePerSubprocess\": " + std::to_string(1 + i % 2) + ", \"healthCheckUrl\": \"" +
                           urls[i % 2] + "\"";
        for (int k = 0; i % 2 && k < 20; ++k) json += ", \"k" + std::to_string(i) + "_" + std::to_string(k) + "\": 1";
        return json + "}";
    };
    cfg.Write(version(0), 1700000000);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                const int32_t v = getProperty("maxModulePerSubprocess");
                const std::string s = getStrProperty("healthCheckUrl");
                bad += v < 1 || v > 2 || (s != urls[0] && s != urls[1]);
            }
        });
    }
    for (int i = 1; i <= 1000; ++i) {
        cfg.Write(version(i), 1700000000 + i, cfg.path + ".tmp");
        EXPECT_EQ(rename((cfg.path + ".tmp").c_str(), cfg.path.c_str()), 0);
    }
    stop = true;
    for (std::thread& r : readers) r.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
