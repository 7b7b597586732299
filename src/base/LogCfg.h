// Logging settings of this process: defaults, then $VESSEL_HOME/conf/containerlog.json and
// $_APP_LOG_DIR, read once on first use. A forked worker keeps its master's settings. Without
// $_APP_LOG_DIR the logs go to $VESSEL_HOME/logs (./logs without VESSEL_HOME), created if need
// be and named in one line on standard error.
//
// Locking: a process-wide creation mutex guards creating the instance (checked before and after
// taking it); a fork child handler re-initialises it. The fields are fixed once created.
#pragma once

#include <cstdint>
#include <string>

class LogCfg {
public:
    static constexpr int32_t kDefaultDevLogLevel = 3;
    static constexpr int32_t kDefaultLogBufferWriteRate = 1;
    static constexpr int32_t kDefaultLogBufferNum = 100;
    static constexpr int32_t kDefaultMaxFileSize = 20 * 1048576;
    static constexpr int32_t kDefaultMaxFileNum = 20;
    // "MaxFileSize" is given in MiB and kept in bytes in 32 signed bits.
    static constexpr int32_t kMinMaxFileSizeMiB = 1;
    static constexpr int32_t kMaxMaxFileSizeMiB = 2047;

    static LogCfg* GetInstance();

    int32_t GetDevLogLevel() const { return DevLogLevel; }
    int32_t GetLogBufferWriteRate() const { return LogBufferWriteRate; }
    int32_t GetLogBufferNum() const { return LogBufferNum; }
    int32_t GetMaxFileSize() const { return MaxFileSize; }
    int32_t GetMaxFileNum() const { return MaxFileNum; }
    const std::string& GetLogDir() const { return logDir; }

    // Reads the environment and the configuration file over the current values.
    void Init();

    // Test hook, never called by the product: forgets the instance so the next GetInstance
    // reads the environment and the file again. No other thread may be logging meanwhile; the
    // old instance is kept alive (a caller may still hold it).
    static void ResetForTest();

private:
    LogCfg() = default;
    void ReadConfigFile(const std::string& path);
    void UseDefaultLogDir(const char* home);

    int32_t DevLogLevel = kDefaultDevLogLevel;
    int32_t LogBufferWriteRate = kDefaultLogBufferWriteRate;
    int32_t LogBufferNum = kDefaultLogBufferNum;
    int32_t MaxFileSize = kDefaultMaxFileSize;
    int32_t MaxFileNum = kDefaultMaxFileNum;
    std::string logDir;
};
