// RespStreamParser: any bytes are safe, and feeding them as line reads (cut into chunks of a
// size the input chooses) gives exactly what feeding them as one buffer gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "proto/RespStreamParser.h"

namespace {

using Event = std::vector<std::string>;  // a completed reply's values; a rejection is {"<BAD>"}

const char* const kBad = "\x01<BAD>";

void Record(RespStreamParser& parser, RespStreamParser::Result result, std::vector<Event>& events) {
    if (result == RespStreamParser::Result::COMPLETE) {
        events.push_back(parser.TakeValues());
        FUZZ_CHECK(parser.Idle());
    } else if (result == RespStreamParser::Result::BAD) {
        events.push_back(Event{kBad});
        FUZZ_CHECK(parser.Idle());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the most a read carries; the rest is the stream.
    size_t chunk = 1 + data[0] % 64;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t len = size - 1;

    std::vector<Event> byReads;
    RespStreamParser reads;
    size_t pos = 0;
    while (pos < len) {
        const void* lf = std::memchr(text + pos, '\n', len - pos);
        size_t lineEnd = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - text) + 1 : len;
        size_t end = std::min(lineEnd, pos + chunk);
        Record(reads, reads.FeedRead(text + pos, end - pos), byReads);
        pos = end;
    }

    std::vector<Event> byBuffer;
    RespStreamParser buffer;
    pos = 0;
    while (pos < len) {
        size_t consumed = 0;
        RespStreamParser::Result result = buffer.FeedBuffer(text + pos, len - pos, consumed);
        FUZZ_CHECK(consumed <= len - pos);
        if (result == RespStreamParser::Result::NEED_MORE) {
            FUZZ_CHECK(consumed == len - pos);
        } else {
            FUZZ_CHECK(consumed > 0);
        }
        Record(buffer, result, byBuffer);
        pos += consumed;
    }

    FUZZ_CHECK(byReads == byBuffer);
    FUZZ_CHECK(reads.Idle() == buffer.Idle());
    return 0;
}
