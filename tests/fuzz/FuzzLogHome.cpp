#include "FuzzLogHome.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::string gPath;

void RemoveHome() {
    std::error_code ec;
    std::filesystem::remove_all(gPath, ec);
}

}  // namespace

void FuzzLogHome::Install() {
    if (!gPath.empty()) return;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vessel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    gPath = pattern;
    std::filesystem::create_directories(gPath + "/conf");
    // Level 6 is above Error: no line is even formatted.
    std::ofstream(gPath + "/conf/containerlog.json") << "{\"DevLogLevel\": 6}\n";
    setenv("VESSEL_HOME", gPath.c_str(), 1);
    setenv("_APP_LOG_DIR", gPath.c_str(), 1);
    std::atexit(RemoveHome);
}

const std::string& FuzzLogHome::Path() {
    return gPath;
}
