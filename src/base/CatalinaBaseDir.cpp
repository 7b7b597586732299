#include "base/CatalinaBaseDir.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/Log.h"

namespace {

// Deeper than any Tomcat work directory; also bounds the descriptors one removal holds open.
constexpr int kMaxDepth = 64;

// The pid a directory name stands for, or 0 when the name is not a pid in plain decimal (no
// sign, no leading zero), as PathFor writes it.
pid_t PidOfName(const char* name) {
    size_t len = strlen(name);
    if (len == 0 || len > 10 || name[0] == '0') {
        return 0;
    }
    long long value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        value = value * 10 + (name[i] - '0');
    }
    return value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

bool IsRealDirAt(int dirFd, const char* name) {
    struct stat st;
    return fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Removes the directory name under dirFd with everything in it. Every step is relative to an
// open descriptor and opens with O_NOFOLLOW, so a link inside (lib, etc, webapps/ROOT) is
// unlinked, never entered, even if it is swapped in while we work. Something already gone
// counts as removed (two workers may clean at the same time). 0 or the first errno met.
int RemoveTreeAt(int dirFd, const char* name, int depth) {
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int err = errno;
        close(fd);
        return err;
    }
    int result = 0;
    while (struct dirent* entry = readdir(dir)) {
        const char* child = entry->d_name;
        if (strcmp(child, ".") == 0 || strcmp(child, "..") == 0) {
            continue;
        }
        bool isDir = entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && IsRealDirAt(fd, child));
        int r = 0;
        if (!isDir) {
            r = unlinkat(fd, child, 0) == 0 || errno == ENOENT ? 0 : errno;
        } else if (depth >= kMaxDepth) {
            r = ELOOP;
        } else {
            r = RemoveTreeAt(fd, child, depth + 1);
        }
        if (result == 0) {
            result = r;
        }
    }
    closedir(dir);
    if (unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && result == 0) {
        result = errno;
    }
    return result;
}

// Removes <root>/<name> (the base of an ended pid) and logs the outcome.
int RemoveBaseAt(int rootFd, const std::string& root, const char* name) {
    int r = RemoveTreeAt(rootFd, name, 0);
    std::string path = root + "/" + name;
    if (r == 0) {
        LOG_INFO("removed catalina base of ended worker " + path);
    } else {
        LOG_ERROR_CODE(r, "remove catalina base of ended worker fail," + path + "," + strerror(r));
    }
    return r;
}

}  // namespace

bool CatalinaBaseDir::HasAppRoot() {
    const char* appRoot = getenv("APP_ROOT");
    return appRoot != nullptr && appRoot[0] != '\0';
}

std::string CatalinaBaseDir::AppRoot(const std::string& location) {
    return HasAppRoot() ? std::string(getenv("APP_ROOT")) : location;
}

std::string CatalinaBaseDir::WarrenRoot(const std::string& location) {
    return AppRoot(location) + "/warren";
}

std::string CatalinaBaseDir::PathFor(const std::string& location, pid_t pid) {
    return WarrenRoot(location) + "/" + std::to_string(pid);
}

bool CatalinaBaseDir::PidAlive(pid_t pid) {
    // EPERM: the process exists but belongs to someone else.
    return kill(pid, 0) == 0 || errno != ESRCH;
}

int CatalinaBaseDir::RemoveFor(const std::string& location, pid_t pid) {
    if (pid <= 0 || AppRoot(location).empty()) {
        return EINVAL;
    }
    if (PidAlive(pid)) {
        return EBUSY;
    }
    std::string root = WarrenRoot(location);
    int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    std::string name = std::to_string(pid);
    int r = 0;
    struct stat st;
    if (fstatat(rootFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        r = errno == ENOENT ? 0 : errno;
    } else if (!S_ISDIR(st.st_mode)) {
        r = ENOTDIR;  // not a base we made: left alone
    } else {
        r = RemoveBaseAt(rootFd, root, name.c_str());
    }
    close(rootFd);
    return r;
}

int CatalinaBaseDir::RemoveEnded(const std::string& location) {
    if (AppRoot(location).empty()) {
        return 0;
    }
    std::string root = WarrenRoot(location);
    int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        return 0;  // no base was ever made here
    }
    // Names first, removals after: the listing is not disturbed by the removals.
    std::vector<std::string> ended;
    int listFd = dup(rootFd);
    DIR* dir = listFd < 0 ? nullptr : fdopendir(listFd);
    if (dir == nullptr) {
        if (listFd >= 0) {
            close(listFd);
        }
        close(rootFd);
        return 0;
    }
    while (struct dirent* entry = readdir(dir)) {
        pid_t pid = PidOfName(entry->d_name);
        if (pid > 0 && IsRealDirAt(rootFd, entry->d_name) && !PidAlive(pid)) {
            ended.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    int removed = 0;
    for (const std::string& name : ended) {
        if (RemoveBaseAt(rootFd, root, name.c_str()) == 0) {
            ++removed;
        }
    }
    close(rootFd);
    return removed;
}
