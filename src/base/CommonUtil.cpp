#include "base/CommonUtil.h"

#include <dirent.h>
#include <libgen.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/Log.h"
#include "base/SafeString.h"

namespace {

// Closes the directory stream on every exit path.
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

constexpr size_t kRemovePathMax = 256;

// ".", ".." and every name beginning with ".." are left alone; other hidden names are removed.
bool SkippedByRemoveDir(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || name[1] == '.');
}

bool KeptByPattern(const std::string& name, const std::string& pattern, bool suffix) {
    if (pattern.empty()) {
        return true;
    }
    if (!suffix) {
        return name.compare(0, pattern.size(), pattern) == 0;
    }
    if (name.size() < pattern.size()) {
        return false;
    }
    size_t pos = name.find(pattern);
    return pos != std::string::npos && pos + pattern.size() == name.size();
}

}  // namespace

void SleepMs(int64_t ms) {
    if (ms <= 0) {
        return;
    }
    struct timeval timeout;
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((ms * 1000) % 1000000);
    // Linux leaves the time still to sleep in timeout, so a retry after EINTR does not lengthen
    // the total.
    while (select(1, nullptr, nullptr, nullptr, &timeout) == -1 && errno == EINTR) {
    }
}

void SleepSec(int64_t sec) {
    SleepMs(sec * 1000);
}

void Split(const std::string& text, std::vector<std::string>& out, char delim) {
    std::istringstream in(text);
    std::string piece;
    while (std::getline(in, piece, delim)) {
        if (delim == ' ' && piece.empty()) {
            continue;
        }
        out.push_back(piece);
    }
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return;
    }
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

std::vector<std::string> GetFiles(const std::string& dir, const std::string& pattern, bool suffix) {
    std::vector<std::string> names;
    DirHandle handle(opendir(dir.c_str()));
    if (!handle) {
        LOG_INFO("Can't open " + dir);
        return names;
    }
    while (struct dirent* entry = readdir(handle.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (KeptByPattern(name, pattern, suffix)) {
            names.push_back(name);
        }
    }
    return names;
}

void CopyFile(const std::string& src, const std::string& dst) {
    std::ifstream in(src, std::ios::in | std::ios::binary);
    std::ofstream out(dst, std::ios::out | std::ios::binary | std::ios::trunc);
    if (in && out) {
        out << in.rdbuf();
    }
}

int32_t MakeDirs(const char* path, mode_t mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string self = path;
    if (self == "/") {
        return 0;
    }
    std::string copy = self;
    std::string parent = dirname(&copy[0]);
    // dirname ends at "/" for absolute paths and at "." for relative ones; a parent equal to the
    // path itself ("." or "//") has nothing above it to create.
    if (parent != self) {
        int32_t r = MakeDirs(parent.c_str(), mode);
        if (r != 0 && errno != EEXIST) {
            return r;
        }
    }
    int32_t r = mkdir(path, mode);
    if (r != 0 && errno != EEXIST) {
        return r;
    }
    if (r != 0) {
        // Something exists there; only a directory means the work is done.
        struct stat st;
        if (stat(path, &st) != 0) {
            return -1;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
    }
    return 0;
}

void RemoveDir(const std::string& path) {
    DirHandle handle(opendir(path.c_str()));
    if (!handle) {
        int err = errno;
        LOG_ERROR_CODE(err, "open dir fail,path:" + path + "," + strerror(err));
        return;
    }
    while (struct dirent* entry = readdir(handle.get())) {
        if (SkippedByRemoveDir(entry->d_name)) {
            continue;
        }
        char full[kRemovePathMax];
        if (sprintf_s(full, sizeof(full), "%s/%s", path.c_str(), entry->d_name) < 0) {
            continue;
        }
        struct stat st;
        if (lstat(full, &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            RemoveDir(full);
        } else if (remove(full) != 0) {
            int err = errno;
            LOG_ERROR_CODE(err, std::string("remove fail,path:") + full + "," + strerror(err));
        }
    }
    if (remove(path.c_str()) != 0) {
        int err = errno;
        LOG_ERROR_CODE(err, "remove fail");
    }
}
