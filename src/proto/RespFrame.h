// Framing of one gateway reply: tells from the bytes received so far whether they hold a whole
// RESP reply (an array of bulk strings, or one bulk string) and how long it is, so that a reader
// can keep receiving until the reply is complete instead of parsing the first piece only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class RespFrameStatus {
    INCOMPLETE,  // a prefix of a well-formed reply: receive more
    COMPLETE,    // length holds the reply's size; bytes after it belong to the next reply
    BAD,         // not a reply we accept; error says why. Receiving more cannot help.
};

struct RespFrameResult {
    RespFrameStatus status = RespFrameStatus::INCOMPLETE;
    size_t length = 0;
    std::string error;
};

// Replies larger than this are rejected.
constexpr size_t RESP_MAX_FRAME = 10485760;

// Checks the reply at the start of data. Headers are "*" or "$" and a decimal number ending in
// LF (a CR before the LF is optional); "-1" is the null form. Anything else is BAD at once, so
// a reader never waits on garbage. When parts is given and the reply is complete, the elements
// are appended to it exactly (empty ones kept, a null element as an empty string).
RespFrameResult CheckRespFrame(const char* data, size_t size, std::vector<std::string>* parts = nullptr);
inline RespFrameResult CheckRespFrame(const std::string& data, std::vector<std::string>* parts = nullptr) {
    return CheckRespFrame(data.data(), data.size(), parts);
}
