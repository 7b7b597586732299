// Log lines of vessel-gateway: one line per event on stderr with a local timestamp. Each line
// goes out in a single write so lines from several threads never interleave.
#pragma once

#include <string>

class GatewayLog {
public:
    static void Info(const std::string& msg);
    static void Warn(const std::string& msg);
    static void Error(const std::string& msg);
    // Where lines go (standard error unless changed); a fuzz target sends them elsewhere.
    static void SetOutput(int fd);

private:
    static void Write(const char* level, const std::string& msg);
};
