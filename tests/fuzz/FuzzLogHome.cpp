#include "FuzzLogHome.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

static std::string gPath;

void FuzzLogHome::Install() {
    if (!gPath.empty()) return;
    std::string pattern = std::filesystem::temp_directory_path() / "vessel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    gPath = pattern;
    std::filesystem::create_directories(gPath + "/conf");
    // Level 6 is above Error: no line is even formatted.
    std::ofstream(gPath + "/conf/containerlog.json") << "{\"DevLogLevel\": 6}\n";
    setenv("VESSEL_HOME", gPath.c_str(), 1);
    setenv("_APP_LOG_DIR", gPath.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(gPath, ec);
    });
}

const std::string& FuzzLogHome::Path() {
    return gPath;
}
