#include "base/PropertyLoader.h"

#include <pthread.h>
#include <sys/stat.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "base/Log.h"

namespace {

struct IntDefault {
    const char* name;
    int32_t value;
};

// Constant-initialised, so no lazy-initialisation guard is ever involved (see the fork handler).
const IntDefault kIntDefaults[] = {
    {"maxModulePerSubprocess", 10},      {"moduleIdleTime", -1},
    {"moduleLifeCheckDelay", 10},        {"moduleLastLifeDelay", 3},
    {"moduleHealthCheckInterval", 1000}, {"moduleRequestTimeout", 300},
    {"modulePullConnections", -1},  // unset: each kind of module has its own default
};

struct StrDefault {
    const char* name;
    const char* value;
};

const StrDefault kStrDefaults[] = {
    {"healthCheckUrl", "/rest/vude/%s/healthcheck"},
    // The one user besides our own and root whose gateway we talk to; empty: nobody else.
    {"trustedGatewayUser", ""},
};

const char* const kLocalConfigFile = "etc/conf/container.json";
const char* const kHomeConfigFile = "conf/container.json";

PropertyLoader* gInstance = nullptr;

// Leading decimal digits with an optional sign, as atoi reads them: "abc" is 0, "12x" is 12.
// Wider values keep their low 32 bits.
int32_t ParseLeadingInt(const std::string& text) {
    long long value = strtoll(text.c_str(), nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

}  // namespace

PropertyLoader& PropertyLoader::GetInstance() {
    static PropertyLoader* instance = new PropertyLoader();
    return *instance;
}

// Created while the process is still single-threaded (static initialisation), so a fork can
// never find the one-time initialisation half done in another thread.
[[maybe_unused]] static PropertyLoader& gEarlyInstance = PropertyLoader::GetInstance();

PropertyLoader::PropertyLoader() : intCache_(new PropertyCache()), strCache_(new PropertyCache()) {
    gInstance = this;
    pthread_atfork(nullptr, nullptr, &PropertyLoader::AfterForkInChild);
}

// Only the forking thread survives a fork. A cache whose mutex another thread held at that
// moment may be half updated and its mutex would stay locked forever: the child starts that
// cache afresh (the old one is abandoned, not destroyed, as its state is unknown) and reads
// the file again on its next use.
void PropertyLoader::AfterForkInChild() {
    if (gInstance == nullptr) {
        return;
    }
    RenewIfAbandoned(gInstance->intCache_);
    RenewIfAbandoned(gInstance->strCache_);
}

void PropertyLoader::RenewIfAbandoned(PropertyCache*& cache) {
    if (cache->mutex.try_lock()) {
        cache->mutex.unlock();
        return;
    }
    cache = new PropertyCache();
}

std::string PropertyLoader::ConfigFilePath() {
    struct stat st;
    if (stat(kLocalConfigFile, &st) == 0) {
        return kLocalConfigFile;
    }
    const char* home = getenv("VESSEL_HOME");
    if (home == nullptr) {
        return kHomeConfigFile;
    }
    return std::string(home) + "/" + kHomeConfigFile;
}

void PropertyLoader::loadConfigFile(PropertyCache& cache) {
    std::string path = ConfigFilePath();
    int64_t modifyTime = 0;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        int err = errno;
        LOG_ERROR_CODE(err, std::string("get last modify time fails") + strerror(err));
    } else {
        modifyTime = static_cast<int64_t>(st.st_mtime);
    }
    if (modifyTime == cache.lastModifyTime) {
        return;
    }

    std::map<std::string, std::string> entries;
    if (!ReadEntries(path, entries)) {
        return;  // the remembered time stays, so the next call tries again
    }
    for (auto& entry : entries) {
        cache.entries[entry.first] = std::move(entry.second);
    }
    cache.lastModifyTime = modifyTime;
}

bool PropertyLoader::ReadEntries(const std::string& path, std::map<std::string, std::string>& entries) {
    LOG_INFO("load config from :" + path);
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::read_json(path, tree);
    } catch (const std::exception& e) {
        LOG_INFO(std::string("parse config fail") + e.what());
        return false;
    }
    for (const auto& member : tree) {
        // Objects and arrays are not interpreted: their node holds children and no text.
        std::string value = member.second.empty() ? member.second.data() : std::string();
        LOG_INFO("config:" + member.first + "," + value);
        entries[member.first] = std::move(value);
    }
    return true;
}

int PropertyLoader::Reload() {
    std::string path = ConfigFilePath();
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        int err = errno;
        LOG_ERROR_CODE(err, std::string("get last modify time fails") + strerror(err));
        return err;
    }
    std::map<std::string, std::string> entries;
    if (!ReadEntries(path, entries)) {
        return -1;
    }
    // Both caches get exactly the file's content: a key that left the file is back to its
    // default, and an edit that kept the modification time is seen too.
    for (PropertyCache* cache : {intCache_, strCache_}) {
        std::lock_guard<std::mutex> lock(cache->mutex);
        cache->entries = entries;
        cache->lastModifyTime = static_cast<int64_t>(st.st_mtime);
    }
    return 0;
}

int32_t PropertyLoader::getProperty(const std::string& name) {
    std::lock_guard<std::mutex> lock(intCache_->mutex);
    loadConfigFile(*intCache_);
    auto it = intCache_->entries.find(name);
    if (it != intCache_->entries.end()) {
        int32_t value = ParseLeadingInt(it->second);
        if (value != -1) {
            return value;
        }
    }
    for (const IntDefault& def : kIntDefaults) {
        if (name == def.name) {
            return def.value;
        }
    }
    LOG_INFO("unknown property item:" + name);
    return -1;
}

std::string PropertyLoader::getStrProperty(const std::string& name) {
    std::lock_guard<std::mutex> lock(strCache_->mutex);
    loadConfigFile(*strCache_);
    auto it = strCache_->entries.find(name);
    if (it != strCache_->entries.end() && !it->second.empty()) {
        return it->second;
    }
    for (const StrDefault& def : kStrDefaults) {
        if (name == def.name) {
            return def.value;
        }
    }
    LOG_INFO("unknown property item:" + name);
    return std::string();
}

int32_t ModulePullConnections(int32_t whenUnset) {
    const int32_t n = getProperty("modulePullConnections");
    if (n == -1) {
        return whenUnset;
    }
    return n < 1 ? 1 : (n > 16 ? 16 : n);
}

int32_t getProperty(const std::string& name) {
    return PropertyLoader::GetInstance().getProperty(name);
}

std::string getStrProperty(const std::string& name) {
    return PropertyLoader::GetInstance().getStrProperty(name);
}
