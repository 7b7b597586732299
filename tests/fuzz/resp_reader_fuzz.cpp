// RespStreamParser: any bytes are safe in both modes; reads cut where the input says give exactly
// what one buffer gives; never more taken than given; a message it completes is re-read alone to
// the same values, and the values written back out read the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"

namespace {

using Mode = RespStreamParser::Mode;
using Event = std::vector<std::string>;  // a completed message's values, or {"\x01" error}

std::vector<Event> Run(Mode mode, const char* data, size_t size, size_t step) {
    RespStreamParser reader(mode);
    std::vector<Event> events;
    for (size_t pos = 0; pos < size;) {
        size_t len = std::min(step, size - pos);
        size_t consumed = 0;
        RespStreamParser::Result r = reader.FeedBuffer(data + pos, len, consumed);
        FUZZ_CHECK(consumed <= len);
        FUZZ_CHECK(r != RespStreamParser::Result::NEED_MORE || consumed == len);
        pos += consumed;
        if (r == RespStreamParser::Result::BAD) {
            events.push_back({"\x01" + reader.Error()});
        } else if (r == RespStreamParser::Result::COMPLETE) {
            Event values = reader.TakeValues();
            std::string wire = Serialize(values);
            RespStreamParser again(RespStreamParser::Mode::ANY);
            size_t used = 0;
            FUZZ_CHECK(again.FeedBuffer(wire.data(), wire.size(), used) ==
                           RespStreamParser::Result::COMPLETE &&
                       used == wire.size() && again.TakeValues() == values);
            events.push_back(std::move(values));
        }
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the mode and the read size.
    Mode mode = (data[0] & 1) != 0 ? Mode::PULLED : Mode::ANY;
    size_t step = (data[0] >> 1) + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size -= 1;
    std::vector<Event> whole = Run(mode, text, size, size + 1);
    FUZZ_CHECK(Run(mode, text, size, step) == whole);
    return 0;
}
