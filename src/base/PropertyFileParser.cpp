#include "base/PropertyFileParser.h"

#include <fstream>

#include "base/Log.h"

namespace {

// The white space of the classic locale; fixed so that the result never depends on a locale.
const char* const kBlanks = " \t\n\v\f\r";

}  // namespace

void Trim(std::string& text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    size_t last = text.find_last_not_of(kBlanks);
    text = text.substr(first, last - first + 1);
}

bool AnalyseLine(const std::string& line, std::string& key, std::string& value) {
    if (line.empty()) {
        return false;
    }
    size_t hash = line.find('#');
    if (hash == 0) {
        return false;
    }
    std::string content = line.substr(0, hash);
    size_t eq = content.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    std::string k = content.substr(0, eq);
    std::string v = content.substr(eq + 1);
    Trim(k);
    Trim(v);
    if (k.empty()) {
        return false;
    }
    key = k;
    value = v;
    return true;
}

bool ReadConfig(const std::string& path, std::map<std::string, std::string>& out) {
    std::ifstream in(path.c_str());
    if (!in.is_open()) {
        LOG_INFO("Open File failed, please check input file");
        return false;
    }
    std::string line;
    std::string key;
    std::string value;
    while (std::getline(in, line)) {
        if (AnalyseLine(line, key, value)) {
            out[key] = value;
        }
    }
    return true;
}
