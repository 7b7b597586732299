#include "proto/RespStreamParser.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/Log.h"
#include "proto/LogRedactor.h"

namespace {

// The smallest element: "$0", LF, LF. More elements than fit the bound can never arrive.
constexpr size_t MIN_ELEMENT_BYTES = 4;
// Values are grown as their bytes arrive; only this much is reserved up front for a length a
// peer merely announces.
constexpr size_t RESERVE_CAP = 65536;

}  // namespace

RespStreamParser::Result RespStreamParser::FeedBuffer(const char* data, size_t size, size_t& consumed) {
    consumed = 0;
    while (consumed < size) {
        if (skipLine) {
            const void* lf = memchr(data + consumed, '\n', size - consumed);
            if (lf == nullptr) {
                consumed = size;
                return Result::NEED_MORE;
            }
            consumed = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
            skipLine = false;
            continue;
        }
        if (phase == Phase::VALUE) {
            // Value bytes are taken by count, whatever they are; the bound was checked at the header.
            size_t take = std::min(valueLeft, size - consumed);
            value.append(data + consumed, take);
            consumed += take;
            msgBytes += take;
            valueLeft -= take;
            if (valueLeft == 0) {
                phase = Phase::VALUE_END;
            }
            continue;
        }
        char c = data[consumed++];
        ++msgBytes;
        if (msgBytes > MAX_MESSAGE) {
            if (mode == Mode::PULLED) {
                LOG_INFO("message too large, bytes:" + std::to_string(msgBytes));
            }
            return Fail("frame too large", msgBytes - 1, c == '\n');
        }
        Result result = phase == Phase::VALUE_END ? TakeValue(c) : HeaderByte(c);
        if (result != Result::NEED_MORE) {
            return result;
        }
    }
    return Result::NEED_MORE;
}

RespStreamParser::Result RespStreamParser::HeaderByte(char c) {
    if (phase == Phase::START || header.empty()) {
        bool top = phase == Phase::START;
        headerStart = msgBytes - 1;
        if (top && !(c == '*' || (c == '$' && mode == Mode::ANY))) {
            if (mode == Mode::PULLED) {
                LOG_INFO("parseCmdLen fails, bytes:1");
            }
            return Fail("not a RESP reply", headerStart, c == '\n');
        }
        if (!top && c != '$') {
            if (mode == Mode::PULLED) {
                LOG_INFO(LogRedactor::Message("parseBulkLen fails, header:", std::string(1, c)));
            }
            return Fail("expected '$'", headerStart, c == '\n');
        }
        topHeader = top;
        phase = Phase::HEADER;
        header.assign(1, c);
        number = 0;
        digits = 0;
        negative = false;
        sawCR = false;
        return Result::NEED_MORE;
    }
    if (sawCR) {
        return c == '\n' ? Examine() : Fail("header not a decimal number", headerStart, false);
    }
    if (c >= '0' && c <= '9') {
        // Capped at the bound digit by digit, so the number cannot overflow.
        number = number * 10 + static_cast<uint64_t>(c - '0');
        ++digits;
        header.push_back(c);
        return number > MAX_MESSAGE ? Fail("number too large", headerStart, false) : Result::NEED_MORE;
    }
    if (c == '-' && header.size() == 1) {
        negative = true;
        header.push_back(c);
        return Result::NEED_MORE;
    }
    if (digits == 0) {
        return Fail("header without a number", headerStart, c == '\n');
    }
    if (c == '\r') {
        sawCR = true;
        return Result::NEED_MORE;
    }
    if (c == '\n') {
        return Examine();
    }
    return Fail("header not a decimal number", headerStart, false);
}

RespStreamParser::Result RespStreamParser::Examine() {
    sawCR = false;
    std::string text;
    text.swap(header);
    if (negative && number != 1) {
        if (mode == Mode::PULLED) {
            LOG_INFO(LogRedactor::Message("parseBulkLen fails, header:", text));
        }
        return Fail("negative length", headerStart, true);
    }
    int64_t n = negative ? -1 : static_cast<int64_t>(number);
    if (topHeader && text[0] == '*') {
        if (mode == Mode::PULLED) {
            if (n < 1) {
                LOG_INFO("parseCmdLen fails, bytes:" + std::to_string(msgBytes - headerStart));
                return Fail("empty message", headerStart, true);
            }
            LOG_INFO("ArrayReply:" + text + ":" + std::to_string(n));
        }
        if (n <= 0) {
            return Complete();
        }
        if (static_cast<uint64_t>(n) > MAX_MESSAGE / MIN_ELEMENT_BYTES) {
            return Fail("too many elements", msgBytes, true);
        }
        remaining = n;
        return Result::NEED_MORE;
    }
    if (topHeader) {
        remaining = 1;  // a lone bulk string
    }
    // $0 and $-1 have no place in a pulled message.
    if (mode == Mode::PULLED && n < 1) {
        LOG_INFO(LogRedactor::Message("parseBulkLen fails, header:", text));
        return Fail("empty value", headerStart, true);
    }
    if (n < 0) {
        values.emplace_back();  // null: no bytes and no line end
        return ElementDone();
    }
    if (msgBytes + static_cast<size_t>(n) + 1 > MAX_MESSAGE) {
        if (mode == Mode::PULLED) {
            LOG_INFO(LogRedactor::Message("parseBulkLen fails, header:", text));
        }
        return Fail("frame too large", msgBytes, true);
    }
    valueLeft = static_cast<size_t>(n);
    value.clear();
    value.reserve(std::min(valueLeft, RESERVE_CAP));
    valueEnd = msgBytes + valueLeft;
    phase = valueLeft > 0 ? Phase::VALUE : Phase::VALUE_END;
    return Result::NEED_MORE;
}

RespStreamParser::Result RespStreamParser::TakeValue(char c) {
    if (c == '\r' && !sawCR) {
        sawCR = true;
        return Result::NEED_MORE;
    }
    if (c != '\n') {
        // Also a value shorter than its length: its line end and what followed were counted in.
        if (mode == Mode::PULLED) {
            LOG_INFO("value does not end where its length says, byte " + std::to_string(valueEnd));
        }
        return Fail("value longer than its length", valueEnd, false);
    }
    sawCR = false;
    if (mode == Mode::PULLED) {
        // Requests carry credentials and bodies: logged without them.
        LOG_INFO(LogRedactor::Message("Receiv:", value));
    }
    values.push_back(std::move(value));
    value.clear();
    return ElementDone();
}

RespStreamParser::Result RespStreamParser::ElementDone() {
    phase = Phase::HEADER;
    header.clear();
    if (--remaining > 0) {
        return Result::NEED_MORE;
    }
    return Complete();
}

RespStreamParser::Result RespStreamParser::Complete() {
    completed = std::move(values);
    ResetMessage();
    return Result::COMPLETE;
}

RespStreamParser::Result RespStreamParser::Fail(const std::string& why, size_t at, bool lineEnded) {
    error = "bad frame, " + why + " at byte " + std::to_string(at);
    ResetMessage();
    skipLine = !lineEnded;
    return Result::BAD;
}

std::vector<std::string> RespStreamParser::TakeValues() {
    std::vector<std::string> out;
    out.swap(completed);
    return out;
}

void RespStreamParser::ResetMessage() {
    phase = Phase::START;
    msgBytes = 0;
    header.clear();
    sawCR = false;
    remaining = 0;
    valueLeft = 0;
    value.clear();
    values.clear();
}

void RespStreamParser::Reset() {
    ResetMessage();
    skipLine = false;
}
