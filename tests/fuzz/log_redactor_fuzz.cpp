// LogRedactor: any bytes are safe and text without a ':' is copied unchanged; and a credential
// header and a body as the gateway sends them, whatever their bytes and the case of the name,
// leave nothing of themselves in the line but the body's size.
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "proto/LogRedactor.h"

namespace {

std::string Redacted(const std::string& text) {
    std::string out;
    LogRedactor::Append(out, text.data(), text.size());
    return out;
}

// The value as a JSON string's contents, the way the gateway writes it.
std::string Escaped(const std::string& value) {
    std::string out;
    char code[8];
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        if (c < 0x20) snprintf(code, sizeof(code), "\\u%04x", c);
        out += c < 0x20 ? code : std::string(1, static_cast<char>(c));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find(':') == std::string::npos) FUZZ_CHECK(Redacted(text) == text);
    if (size == 0) return 0;
    static const char* const kNames[] = {"authorization", "proxy-authorization", "cookie", "set-cookie"};
    // First byte: which name and, bit by bit, which letters are upper case; the rest: the value.
    std::string name = kNames[data[0] % 4];
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '-' && ((data[0] >> (2 + i % 6)) & 1) != 0) name[i] = static_cast<char>(name[i] - 32);
    }
    const std::string value = Escaped(text.substr(1));
    const std::string request =
        R"({"Header":{")" + name + R"(":[")" + value + R"(","x"]},"ReqBody":")" + value + R"("})";
    // The body by its size: what the escapes stand for, which is the value's own size.
    const std::string body = size == 1 ? R"("")" : "\"<" + std::to_string(size - 1) + " bytes>\"";
    FUZZ_CHECK(Redacted(request) == R"({"Header":{")" + name + R"(":"<redacted>"},"ReqBody":)" + body + "}");
    return 0;
}
