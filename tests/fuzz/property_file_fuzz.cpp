// The key=value reader of Java modules' environment files: any line is safe, a taken line gives
// a trimmed key without "=" or "#", and ReadConfig over a file agrees with AnalyseLine line by
// line (the last of a repeated key wins).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "base/PropertyFileParser.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool Trimmed(const std::string& s) {
    return s.empty() || (!IsBlank(s.front()) && !IsBlank(s.back()));
}

std::string gFile;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    gFile = FuzzLogHome::Path() + "/env.properties";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> expected;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        std::string key = "k0";
        std::string value = "v0";
        if (AnalyseLine(line, key, value)) {
            FUZZ_CHECK(!key.empty() && Trimmed(key) && Trimmed(value));
            FUZZ_CHECK(key.find_first_of("=#") == std::string::npos);
            FUZZ_CHECK(value.find('#') == std::string::npos);
            expected[key] = value;
        } else {
            FUZZ_CHECK(key == "k0" && value == "v0");
        }
        start = end + 1;
    }

    {
        std::ofstream out(gFile, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::map<std::string, std::string> read{{"preset", "kept"}};
    FUZZ_CHECK(ReadConfig(gFile, read));
    if (expected.count("preset") == 0) expected["preset"] = "kept";
    FUZZ_CHECK(read == expected);
    return 0;
}
