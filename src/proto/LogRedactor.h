// Log text of a request or a gateway frame without its secrets. Every request a worker takes
// is logged at Info, so the values of the members Authorization, Proxy-Authorization, Cookie
// and Set-Cookie (names in any case) become "<redacted>", and a request body ("ReqBody",
// "reqBody") is replaced by its size, "<N bytes>". The rest of the text is kept as it is, so
// operators still see which request came.
//
// The text is scanned once for JSON member names (strings followed by ':'); nothing else is
// parsed, so any bytes are safe, and text without such members is copied unchanged.
#pragma once

#include <cstddef>
#include <string>

class LogRedactor {
public:
    static constexpr const char* kMarker = "<redacted>";

    // Appends text to out with the values above replaced.
    static void Append(std::string& out, const char* text, size_t size);

    // prefix followed by the redacted text: the message of a log line.
    static std::string Message(const char* prefix, const std::string& text);
};
