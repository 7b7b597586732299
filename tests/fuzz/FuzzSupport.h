// What the fuzz targets share. FUZZ_CHECK: a broken property aborts, which libFuzzer reports as a
// crash with the input that caused it. InstallFuzzLogHome: a throw-away VESSEL_HOME (and log
// directory) whose settings write no line, so the targets spend their time in the parsers and
// never fill a disk; call it once, before anything logs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

inline void InstallFuzzLogHome() {
    static std::string home = std::filesystem::temp_directory_path() / "vessel-fuzz-XXXXXX";
    if (mkdtemp(home.data()) == nullptr) std::abort();
    std::filesystem::create_directories(home + "/conf");
    std::ofstream(home + "/conf/containerlog.json") << "{\"DevLogLevel\": 6}\n";  // above Error
    setenv("VESSEL_HOME", home.c_str(), 1);
    setenv("_APP_LOG_DIR", home.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    });
}
