// Watches the application configuration file: Poll() is called periodically (and on SIGHUP) and
// returns a new configuration when the file's content has changed and parses. A file that
// does not parse keeps the previous configuration in force.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <string>

#include "AppConfig.h"

class AppConfigWatcher {
public:
    explicit AppConfigWatcher(std::string path);

    // First read at start-up; false (with error set) when the file is missing or invalid.
    bool Load(std::shared_ptr<const AppConfig>& config, std::string& error);
    // A new configuration when the file changed, else null. force re-reads even when the file's
    // time stamp and size look unchanged. Problems are logged once per change of the file.
    std::shared_ptr<const AppConfig> Poll(bool force = false);
    const std::string& Path() const { return path_; }

private:
    struct FileStamp {
        bool exists = false;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec mtime {};
        bool operator==(const FileStamp& o) const;
    };
    FileStamp Stat() const;
    bool Read(std::string& text, std::string& error) const;

    std::string path_;
    FileStamp stamp_;
    std::string text_;  // content of the configuration in force
    uint64_t generation_ = 0;
};
