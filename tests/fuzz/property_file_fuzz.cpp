// The key=value reader of Java modules' environment files: any line is safe, a taken line gives
// a trimmed key without "=" or "#", and ReadConfig over a file agrees with AnalyseLine line by
// line (the last of a repeated key wins).
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "base/PropertyFileParser.h"

namespace {

bool Trimmed(const std::string& s) {
    return s.empty() || (!isspace(static_cast<unsigned char>(s.front())) &&
                         !isspace(static_cast<unsigned char>(s.back())));
}

std::string gFile;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    gFile = FuzzLogHome::Path() + "/env.properties";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> expected{{"preset", "kept"}}, read = expected;
    std::istringstream lines(text);
    for (std::string line, key, value; std::getline(lines, line);) {
        key = "k0", value = "v0";
        if (AnalyseLine(line, key, value)) {
            FUZZ_CHECK(!key.empty() && Trimmed(key) && Trimmed(value));
            FUZZ_CHECK(key.find_first_of("=#") == std::string::npos && value.find('#') == std::string::npos);
            expected[key] = value;
        } else {
            FUZZ_CHECK(key == "k0" && value == "v0");
        }
    }
    std::ofstream(gFile, std::ios::binary | std::ios::trunc) << text;
    FUZZ_CHECK(ReadConfig(gFile, read) && read == expected);
    return 0;
}
