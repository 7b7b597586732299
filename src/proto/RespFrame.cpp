#include "proto/RespFrame.h"

#include <cstdint>

namespace {

// The smallest element: "$0", LF, LF.
constexpr size_t MIN_ELEMENT_BYTES = 4;

enum class Step { OK, MORE, BAD };

struct Cursor {
    const char* data;
    size_t size;
    size_t pos;
    std::string error;

    Step Fail(const std::string& why) {
        error = "bad frame, " + why + " at byte " + std::to_string(pos);
        return Step::BAD;
    }
};

// Reads "<type><number>[CR]LF". Digits are checked as they arrive, so garbage is refused before
// its line ends, and numbers are capped at the frame bound, so they cannot overflow.
Step ReadHeader(Cursor& cur, char type, int64_t& value) {
    if (cur.pos >= cur.size) {
        return Step::MORE;
    }
    if (cur.data[cur.pos] != type) {
        return cur.Fail(std::string("expected '") + type + "'");
    }
    size_t p = cur.pos + 1;
    bool negative = p < cur.size && cur.data[p] == '-';
    if (negative) {
        ++p;
    }
    uint64_t number = 0;
    size_t digits = 0;
    while (p < cur.size && cur.data[p] >= '0' && cur.data[p] <= '9') {
        number = number * 10 + static_cast<uint64_t>(cur.data[p] - '0');
        ++digits;
        ++p;
        if (number > RESP_MAX_FRAME) {
            return cur.Fail("number too large");
        }
    }
    if (p == cur.size) {
        return Step::MORE;
    }
    if (digits == 0) {
        return cur.Fail("header without a number");
    }
    if (cur.data[p] == '\r') {
        ++p;
        if (p == cur.size) {
            return Step::MORE;
        }
    }
    if (cur.data[p] != '\n') {
        return cur.Fail("header not a decimal number");
    }
    if (negative && number != 1) {
        return cur.Fail("negative length");
    }
    value = negative ? -1 : static_cast<int64_t>(number);
    cur.pos = p + 1;
    return Step::OK;
}

// Reads one bulk string: header, the bytes, [CR]LF. A null element has no bytes and no line end.
Step ReadBulk(Cursor& cur, std::vector<std::string>* parts) {
    int64_t len = 0;
    Step step = ReadHeader(cur, '$', len);
    if (step != Step::OK) {
        return step;
    }
    if (len < 0) {
        if (parts != nullptr) {
            parts->emplace_back();
        }
        return Step::OK;
    }
    size_t start = cur.pos;
    size_t end = start + static_cast<size_t>(len);
    if (end + 1 > RESP_MAX_FRAME) {
        return cur.Fail("frame too large");
    }
    if (end >= cur.size) {
        return Step::MORE;
    }
    size_t p = end;
    if (cur.data[p] == '\r') {
        ++p;
        if (p == cur.size) {
            return Step::MORE;
        }
    }
    if (cur.data[p] != '\n') {
        cur.pos = end;
        return cur.Fail("value longer than its length");
    }
    if (parts != nullptr) {
        parts->emplace_back(cur.data + start, static_cast<size_t>(len));
    }
    cur.pos = p + 1;
    return Step::OK;
}

RespFrameResult Finish(Step step, const Cursor& cur) {
    RespFrameResult result;
    if (step == Step::BAD) {
        result.status = RespFrameStatus::BAD;
        result.error = cur.error;
    } else if (step == Step::MORE) {
        result.status = RespFrameStatus::INCOMPLETE;
    } else {
        result.status = RespFrameStatus::COMPLETE;
        result.length = cur.pos;
    }
    return result;
}

}  // namespace

RespFrameResult CheckRespFrame(const char* data, size_t size, std::vector<std::string>* parts) {
    Cursor cur{data, size, 0, std::string()};
    if (size == 0) {
        return Finish(Step::MORE, cur);
    }
    // Elements are collected aside so that an incomplete or bad frame appends nothing.
    std::vector<std::string> found;
    std::vector<std::string>* sink = parts != nullptr ? &found : nullptr;
    Step step = Step::OK;
    if (data[0] == '$') {
        step = ReadBulk(cur, sink);
    } else if (data[0] == '*') {
        int64_t count = 0;
        step = ReadHeader(cur, '*', count);
        if (step == Step::OK && count > 0 &&
            static_cast<uint64_t>(count) > RESP_MAX_FRAME / MIN_ELEMENT_BYTES) {
            step = cur.Fail("too many elements");
        }
        for (int64_t i = 0; step == Step::OK && i < count; ++i) {
            step = ReadBulk(cur, sink);
        }
    } else {
        step = cur.Fail("not a RESP reply");
    }
    if (step == Step::OK && parts != nullptr) {
        parts->insert(parts->end(), found.begin(), found.end());
    }
    return Finish(step, cur);
}
