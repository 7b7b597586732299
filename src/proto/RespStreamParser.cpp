#include "proto/RespStreamParser.h"

#include <cstring>
#include <utility>

#include "base/Log.h"
#include "base/LogRedactor.h"
#include "proto/GatewayProtocol.h"

namespace {

constexpr size_t LINE_END_LEN = 2;  // the accumulator always ends with the line's CR LF

std::string WithoutLineEnd(const std::string& acc) {
    return acc.size() >= LINE_END_LEN ? acc.substr(0, acc.size() - LINE_END_LEN) : std::string();
}

}  // namespace

RespStreamParser::Result RespStreamParser::FeedRead(const char* data, size_t size) {
    if (size == 0) {
        return Result::NEED_MORE;
    }
    if (!Append(data, size)) {
        return Reject();
    }
    if (data[size - 1] != '\n') {
        return Result::NEED_MORE;
    }
    return Examine();
}

RespStreamParser::Result RespStreamParser::FeedBuffer(const char* data, size_t size, size_t& consumed) {
    consumed = 0;
    while (consumed < size) {
        const void* lf = memchr(data + consumed, '\n', size - consumed);
        size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : size;
        size_t allowance = MAX_MESSAGE - messageBytes;
        if (end - consumed > allowance) {
            // Take only the byte that crosses the bound, as a read of that size would have.
            Append(data + consumed, allowance + 1);
            consumed += allowance + 1;
            return Reject();
        }
        Append(data + consumed, end - consumed);
        consumed = end;
        if (lf == nullptr) {
            return Result::NEED_MORE;
        }
        Result result = Examine();
        if (result != Result::NEED_MORE) {
            return result;
        }
    }
    return Result::NEED_MORE;
}

std::vector<std::string> RespStreamParser::TakeValues() {
    std::vector<std::string> out;
    out.swap(completed);
    return out;
}

void RespStreamParser::Reset() {
    lineAcc.clear();
    remaining = 0;
    expectedLen = 0;
    values.clear();
    messageBytes = 0;
}

bool RespStreamParser::Idle() const {
    return lineAcc.empty() && remaining == 0 && expectedLen == 0 && values.empty();
}

bool RespStreamParser::Append(const char* data, size_t size) {
    messageBytes += size;
    if (messageBytes > MAX_MESSAGE) {
        LOG_INFO("message too large, bytes:" + std::to_string(messageBytes));
        return false;
    }
    lineAcc.append(data, size);
    return true;
}

RespStreamParser::Result RespStreamParser::Examine() {
    // Once a length header has been read the next bytes are its value whatever they begin with:
    // a tag or request id starting with "*" or "$" must not be taken for a header.
    if (expectedLen > 0) {
        return TakeValue();
    }
    if (lineAcc[0] == '*') {
        std::string header = WithoutLineEnd(lineAcc);
        bool ok = false;
        int64_t count = ParseInt(header, &ok);
        if (!ok || count < 1) {
            LOG_INFO("parseCmdLen fails, bytes:" + std::to_string(lineAcc.size()));
            return Reject();
        }
        remaining = count;
        LOG_INFO("ArrayReply:" + header + ":" + std::to_string(remaining));
        lineAcc.clear();
        return Result::NEED_MORE;
    }
    if (remaining < 1) {
        LOG_INFO("parseCmdLen fails, bytes:" + std::to_string(lineAcc.size()));
        return Reject();
    }
    if (lineAcc[0] == '$') {
        std::string header = WithoutLineEnd(lineAcc);
        lineAcc.clear();
        bool ok = false;
        int64_t len = ParseInt(header, &ok);
        // $0 and $-1 have no place in a pulled message; a length beyond the bound can never arrive.
        if (!ok || len < 1 || static_cast<uint64_t>(len) > MAX_MESSAGE) {
            LOG_INFO(LogRedactor::Message("parseBulkLen fails, header:", header));
            return Reject();
        }
        expectedLen = len;
        return Result::NEED_MORE;
    }
    return TakeValue();
}

RespStreamParser::Result RespStreamParser::TakeValue() {
    // Shorter than the announced length: the value itself holds an LF, so the line goes on.
    if (lineAcc.size() < static_cast<uint64_t>(expectedLen) + LINE_END_LEN) {
        return Result::NEED_MORE;
    }
    std::string value = WithoutLineEnd(lineAcc);
    // Requests carry credentials and bodies: logged without them.
    LOG_INFO(LogRedactor::Message("Receiv:", value));
    values.push_back(std::move(value));
    lineAcc.clear();
    expectedLen = 0;
    --remaining;
    if (remaining > 0) {
        return Result::NEED_MORE;
    }
    completed = std::move(values);
    Reset();
    return Result::COMPLETE;
}

RespStreamParser::Result RespStreamParser::Reject() {
    Reset();
    return Result::BAD;
}
