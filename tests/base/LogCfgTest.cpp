// Settings: environment, the log directory's default, configuration file (numbers or
// strings), partial files, clamping and the messages on standard output and error. Each case
// runs in its own child so the settings are read for real, once, as in a fresh process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "LogTestUtil.h"
#include "base/Log.h"
#include "base/LogCfg.h"
#include "support/TestSupport.h"

namespace {

constexpr int32_t kMiB = 1048576;

struct CfgCase {
    const char* name;
    bool setLogDir;
    bool setHome;
    const char* json;  // nullptr: no configuration file
    int32_t devLogLevel;
    int32_t writeRate;
    int32_t bufferNum;
    int32_t maxFileSize;
    int32_t maxFileNum;
    const char* stdoutStart;  // what standard output must start with ("" = nothing at all)
    const char* stdoutHas;    // and contain
    const char* stderrWhy = nullptr;  // without _APP_LOG_DIR: why the default directory is used
};

const char* const kNoHomeMsg = "LogCfg::Init get VESSEL_ROOT failed!~ use default log para!\n";
const char* const kParseMsg = "LogCfg::Init parse config failed!~,";
const char* const kFull =
    R"({"DevLogLevel":1,"LogBufferWriteRate":5,"LogBufferNum":7,"MaxFileSize":3,"MaxFileNum":4})";

const CfgCase kCases[] = {
    // Without a log directory the logs go to $VESSEL_HOME/logs (./logs without a home), made if
    // need be; the file is still read.
    {"no log dir", false, true, kFull, 1, 5, 7, 3 * kMiB, 4, "", "", "_APP_LOG_DIR is not set"},
    {"no log dir, no home", false, false, kFull, 3, 1, 100, 20 * kMiB, 20, kNoHomeMsg, "",
     "_APP_LOG_DIR and VESSEL_HOME are not set"},
    {"no home", true, false, nullptr, 3, 1, 100, 20 * kMiB, 20, kNoHomeMsg, ""},
    {"numbers", true, true, kFull, 1, 5, 7, 3 * kMiB, 4, "", ""},
    {"strings", true, true,
     R"({"DevLogLevel":"2","LogBufferWriteRate":"0","LogBufferNum":"50","MaxFileSize":"10","MaxFileNum":"9"})",
     2, 0, 50, 10 * kMiB, 9, "", ""},
    // Keys read before a failure keep their values, the rest their defaults.
    {"missing MaxFileSize", true, true,
     R"({"DevLogLevel":1,"LogBufferWriteRate":5,"LogBufferNum":7,"MaxFileNum":4})", 1, 5, 7, 20 * kMiB, 20,
     kParseMsg, "MaxFileSize"},
    {"not an integer", true, true,
     R"({"DevLogLevel":4,"LogBufferWriteRate":2,"LogBufferNum":"many","MaxFileSize":3,"MaxFileNum":4})", 4, 2,
     100, 20 * kMiB, 20, kParseMsg, ""},
    {"no file", true, true, nullptr, 3, 1, 100, 20 * kMiB, 20, kParseMsg, "containerlog.json"},
    {"broken json", true, true, R"({"DevLogLevel":1,)", 3, 1, 100, 20 * kMiB, 20, kParseMsg, ""},
    // MaxFileSize is kept in 32 signed bits of bytes: 1..2047 MiB.
    {"size above range", true, true,
     R"({"DevLogLevel":3,"LogBufferWriteRate":1,"LogBufferNum":100,"MaxFileSize":5000,"MaxFileNum":20})", 3,
     1, 100, 2047 * kMiB, 20, "", ""},
    {"size at top", true, true,
     R"({"DevLogLevel":3,"LogBufferWriteRate":1,"LogBufferNum":100,"MaxFileSize":2047,"MaxFileNum":20})", 3,
     1, 100, 2047 * kMiB, 20, "", ""},
    {"size zero", true, true,
     R"({"DevLogLevel":3,"LogBufferWriteRate":1,"LogBufferNum":100,"MaxFileSize":0,"MaxFileNum":20})", 3, 1,
     100, 1 * kMiB, 20, "", ""},
    {"size negative", true, true,
     R"({"DevLogLevel":3,"LogBufferWriteRate":1,"LogBufferNum":100,"MaxFileSize":"-4","MaxFileNum":20})", 3,
     1, 100, 1 * kMiB, 20, "", ""},
    // Negative counts and periods mean nothing; they keep the defaults and reading goes on.
    {"negatives", true, true,
     R"({"DevLogLevel":-1,"LogBufferWriteRate":-2,"LogBufferNum":-3,"MaxFileSize":2,"MaxFileNum":-5})", 3, 1,
     100, 2 * kMiB, 20, "", ""},
};

TEST(LogCfgTest, ReadsEnvironmentAndFile) {
    for (const CfgCase& c : kCases) {
        testsupport::TempDir tmp("logcfg");
        const std::string out = tmp / "stdout";
        const std::string err = tmp / "stderr";
        const std::string home = tmp / "home";
        mkdir(home.c_str(), 0755);
        // Without a home the working directory takes its place.
        const std::string logDir = c.setLogDir ? tmp / "log" : c.setHome ? home + "/logs" : tmp / "logs";
        std::string failure = logtest::RunInChild([&]() -> std::string {
            logtest::UseSettings(tmp / "log", home, c.json);
            if (!c.setLogDir) unsetenv("_APP_LOG_DIR");
            if (!c.setHome) unsetenv("VESSEL_HOME");
            LOG_CHILD_CHECK(chdir(tmp.path().c_str()) == 0, "chdir");
            for (int target : {STDOUT_FILENO, STDERR_FILENO}) {
                int fd = open((target == STDOUT_FILENO ? out : err).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, target);
                close(fd);
            }
            LogCfg* cfg = LogCfg::GetInstance();
            LOG_CHILD_CHECK(cfg->GetDevLogLevel() == c.devLogLevel, "DevLogLevel");
            LOG_CHILD_CHECK(cfg->GetLogBufferWriteRate() == c.writeRate, "LogBufferWriteRate");
            LOG_CHILD_CHECK(cfg->GetLogBufferNum() == c.bufferNum, "LogBufferNum");
            LOG_CHILD_CHECK(cfg->GetMaxFileSize() == c.maxFileSize, "MaxFileSize");
            LOG_CHILD_CHECK(cfg->GetMaxFileNum() == c.maxFileNum, "MaxFileNum");
            LOG_CHILD_CHECK(cfg->GetLogDir() == logDir, "log dir " + cfg->GetLogDir());
            struct stat st {};
            LOG_CHILD_CHECK(c.setLogDir || (stat(logDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)),
                            "default log dir made");
            // Read once per process: a second lookup prints nothing more.
            LOG_CHILD_CHECK(LogCfg::GetInstance() == cfg, "same instance");
            return "";
        });
        EXPECT_EQ(failure, "") << c.name;
        const std::string printed = testsupport::ReadFile(out);
        if (*c.stdoutStart == '\0') {
            EXPECT_EQ(printed, "") << c.name;
        } else {
            EXPECT_EQ(printed.rfind(c.stdoutStart, 0), 0u) << c.name << ": " << printed;
            EXPECT_EQ(printed.find('\n'), printed.size() - 1) << c.name << ": one line";
        }
        EXPECT_NE(printed.find(c.stdoutHas), std::string::npos) << c.name << ": " << printed;
        const std::string why = c.stderrWhy == nullptr ? "" : std::string(c.stderrWhy) + "; logging to " + logDir + "\n";
        EXPECT_EQ(testsupport::ReadFile(err), why) << c.name;
    }
}

TEST(LogCfgTest, LevelThresholds) {
    struct Case {
        const char* level;
        const char* enabled;  // Trace..Error as 0/1
    };
    const Case cases[] = {{"0", "11111"}, {"1", "11111"}, {"2", "01111"},
                          {"3", "00111"}, {"5", "00001"}, {"6", "00000"}};
    for (const Case& c : cases) {
        testsupport::TempDir tmp("loglevel");
        const std::string json =
            std::string(R"({"DevLogLevel":)") + c.level +
            R"(,"LogBufferWriteRate":1,"LogBufferNum":100,"MaxFileSize":1,"MaxFileNum":1})";
        EXPECT_EQ(logtest::RunInChild([&]() -> std::string {
                      logtest::UseSettings(tmp / "log", tmp.path(), json.c_str());
                      std::string got;
                      for (int32_t l = LOG_LEVEL_TRACE; l <= LOG_LEVEL_ERROR; ++l) {
                          got += LogLevelEnabled(l) ? '1' : '0';
                      }
                      return got == c.enabled ? "" : "enabled " + got;
                  }),
                  "")
            << "DevLogLevel " << c.level;
    }
}

}  // namespace
