#include "common/LogCfg.h"

#include <pthread.h>

#include <atomic>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <iostream>

namespace {

std::atomic<LogCfg*> gInstance{nullptr};
pthread_mutex_t gCreateMutex = PTHREAD_MUTEX_INITIALIZER;

// A thread of the parent may have held the mutex at fork; the child's copy would stay locked.
void ResetCreateMutexInChild() {
    pthread_mutex_init(&gCreateMutex, nullptr);
}
const int kForkHandler = pthread_atfork(nullptr, nullptr, ResetCreateMutexInChild);

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* m_;
};

// A negative count or period has no sensible meaning; such values keep the default.
int32_t NonNegativeOr(int64_t value, int32_t fallback) {
    if (value < 0 || value > INT32_MAX) return fallback;
    return static_cast<int32_t>(value);
}

int32_t ClampedFileSize(int64_t mib) {
    if (mib < LogCfg::kMinMaxFileSizeMiB) mib = LogCfg::kMinMaxFileSizeMiB;
    if (mib > LogCfg::kMaxMaxFileSizeMiB) mib = LogCfg::kMaxMaxFileSizeMiB;
    return static_cast<int32_t>(mib * 1048576);
}

}  // namespace

LogCfg* LogCfg::GetInstance() {
    LogCfg* cfg = gInstance.load(std::memory_order_acquire);
    if (cfg != nullptr) return cfg;
    (void)kForkHandler;
    MutexGuard lock(&gCreateMutex);
    cfg = gInstance.load(std::memory_order_acquire);
    if (cfg == nullptr) {
        cfg = new LogCfg();
        cfg->Init();
        gInstance.store(cfg, std::memory_order_release);
    }
    return cfg;
}

void LogCfg::ResetForTest() {
    MutexGuard lock(&gCreateMutex);
    gInstance.store(nullptr, std::memory_order_release);
}

void LogCfg::Init() {
    const char* dir = std::getenv("_APP_LOG_DIR");
    if (dir == nullptr) {
        std::cout << "LogMgr::InitLogFile get _APP_LOG_DIR failed!~ !" << std::endl;
        return;
    }
    logDir = dir;
    const char* home = std::getenv("VESSEL_HOME");
    if (home == nullptr) {
        std::cout << "LogCfg::Init get VESSEL_ROOT failed!~ use default log para!" << std::endl;
        return;
    }
    ReadConfigFile(std::string(home) + "/conf/containerlog.json");
}

void LogCfg::ReadConfigFile(const std::string& path) {
    try {
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(path, tree);
        // Each key takes effect as soon as it is read; a failure leaves the later ones default.
        DevLogLevel = NonNegativeOr(tree.get<int64_t>("DevLogLevel"), kDefaultDevLogLevel);
        LogBufferWriteRate =
            NonNegativeOr(tree.get<int64_t>("LogBufferWriteRate"), kDefaultLogBufferWriteRate);
        LogBufferNum = NonNegativeOr(tree.get<int64_t>("LogBufferNum"), kDefaultLogBufferNum);
        MaxFileSize = ClampedFileSize(tree.get<int64_t>("MaxFileSize"));
        MaxFileNum = NonNegativeOr(tree.get<int64_t>("MaxFileNum"), kDefaultMaxFileNum);
    } catch (const std::exception& e) {
        std::cout << "LogCfg::Init parse config failed!~," << e.what() << std::endl;
    }
}
