#include "AppConfigWatcher.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "GatewayLog.h"

namespace {

// A configuration larger than this is certainly a mistake (a wrong file named).
constexpr off_t MAX_CONFIG_BYTES = 4 * 1024 * 1024;

}  // namespace

bool AppConfigWatcher::FileStamp::operator==(const FileStamp& o) const {
    return exists == o.exists && inode == o.inode && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
}

AppConfigWatcher::AppConfigWatcher(std::string path) : path_(std::move(path)) {}

AppConfigWatcher::FileStamp AppConfigWatcher::Stat() const {
    FileStamp stamp;
    struct stat st;
    if (stat(path_.c_str(), &st) == 0) {
        stamp.exists = true;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime = st.st_mtim;
    }
    return stamp;
}

bool AppConfigWatcher::Read(std::string& text, std::string& error) const {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
        error = std::string(strerror(errno));
        return false;
    }
    if (st.st_size > MAX_CONFIG_BYTES) {
        error = "larger than " + std::to_string(MAX_CONFIG_BYTES) + " bytes";
        return false;
    }
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        error = std::string(strerror(errno));
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

bool AppConfigWatcher::Load(std::shared_ptr<const AppConfig>& config, std::string& error) {
    stamp_ = Stat();
    std::string text;
    if (!Read(text, error)) {
        return false;
    }
    auto parsed = AppConfig::Parse(text, ++generation_, error);
    if (!parsed) {
        return false;
    }
    text_ = std::move(text);
    config = parsed;
    return true;
}

std::shared_ptr<const AppConfig> AppConfigWatcher::Poll(bool force) {
    FileStamp now = Stat();
    if (now == stamp_ && !force) {
        return nullptr;
    }
    stamp_ = now;
    std::string text;
    std::string error;
    if (!now.exists || !Read(text, error)) {
        GatewayLog::Warn("cannot read configuration " + path_ + ": " +
                         (error.empty() ? std::string("file missing") : error) +
                         "; keeping the previous one");
        return nullptr;
    }
    if (text == text_) {
        return nullptr;  // touched or rewritten with the same content: nothing to tell Vessel
    }
    auto parsed = AppConfig::Parse(text, generation_ + 1, error);
    if (!parsed) {
        GatewayLog::Warn("configuration " + path_ + " not loaded: " + error + "; keeping the previous one");
        return nullptr;
    }
    ++generation_;
    text_ = std::move(text);
    GatewayLog::Info("configuration reloaded from " + path_ + ": " + std::to_string(parsed->ModuleCount()) +
                     " modules");
    return parsed;
}
