#include "base/LogCfg.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

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

// mkdir -p: 0 or the errno of the first directory that could not be made. Nothing here may
// log: the settings are being created.
int MakeLogDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
        if (slash == std::string::npos) break;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

std::string WorkingDirectory() {
    char buf[4096];
    return getcwd(buf, sizeof(buf)) != nullptr ? std::string(buf) : std::string(".");
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
    // Instances forgotten here stay reachable, so a leak checker does not report them: the list
    // is never destroyed (a static vector would be, at exit, before the leak check).
    static std::vector<LogCfg*>* retired = new std::vector<LogCfg*>();
    MutexGuard lock(&gCreateMutex);
    LogCfg* old = gInstance.exchange(nullptr, std::memory_order_acq_rel);
    if (old != nullptr) retired->push_back(old);
}

void LogCfg::Init() {
    const char* dir = std::getenv("_APP_LOG_DIR");
    const char* home = std::getenv("VESSEL_HOME");
    if (dir != nullptr && *dir != '\0') {
        logDir = dir;
        // A directory named but not made yet is made, as the default one is; one that cannot be
        // made would otherwise cost every line without a word.
        if (const int err = MakeLogDirs(logDir); err != 0) {
            std::cerr << "_APP_LOG_DIR " << logDir << " cannot be created: " << std::strerror(err)
                      << std::endl;
        }
    } else {
        UseDefaultLogDir(home);
    }
    if (home == nullptr) {
        std::cout << "LogCfg::Init get VESSEL_ROOT failed!~ use default log para!" << std::endl;
        return;
    }
    ReadConfigFile(std::string(home) + "/conf/containerlog.json");
}

// Without a directory named, the logs go under the home (or the working directory) instead
// of into "/", where housekeeping never finds them; the operator is told where they are.
void LogCfg::UseDefaultLogDir(const char* home) {
    const bool haveHome = home != nullptr && *home != '\0';
    std::string base = haveHome ? std::string(home) : WorkingDirectory();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    logDir = (base == "/" ? "" : base) + "/logs";
    const int err = MakeLogDirs(logDir);
    std::cerr << (haveHome ? "_APP_LOG_DIR is not set" : "_APP_LOG_DIR and VESSEL_HOME are not set")
              << "; logging to " << logDir
              << (err != 0 ? std::string(" (cannot create it: ") + std::strerror(err) + ")" : std::string())
              << std::endl;
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
