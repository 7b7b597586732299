// One-shot framing of a buffered gateway message, for callers that keep the bytes themselves:
// whether data starts with a whole message, and how long it is. A thin wrapper over the
// incremental RespStreamParser (which live connections use); same grammar and error texts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "proto/RespStreamParser.h"

enum class RespFrameStatus {
    INCOMPLETE,  // a prefix of a well-formed message: receive more
    COMPLETE,    // length holds the message's size; bytes after it belong to the next one
    BAD,         // not a message we accept; error says why. Receiving more cannot help.
};

struct RespFrameResult {
    RespFrameStatus status = RespFrameStatus::INCOMPLETE;
    size_t length = 0;
    std::string error;
};

constexpr size_t RESP_MAX_FRAME = RespStreamParser::MAX_MESSAGE;

// When parts is given and the message is complete, its elements are appended to it exactly
// (empty ones kept, a null element as an empty string); otherwise nothing is appended.
RespFrameResult CheckRespFrame(const char* data, size_t size, std::vector<std::string>* parts = nullptr);
inline RespFrameResult CheckRespFrame(const std::string& data, std::vector<std::string>* parts = nullptr) {
    return CheckRespFrame(data.data(), data.size(), parts);
}
