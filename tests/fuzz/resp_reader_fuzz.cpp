// RespStreamParser: any bytes are safe in both modes; reads cut where the input says give exactly
// what one buffer gives; never more taken than given; a message it completes is re-read alone to
// the same values, and the values written back out read the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespStreamParser.h"

namespace {

using Mode = RespStreamParser::Mode;
using Result = RespStreamParser::Result;
using Event = std::vector<std::string>;  // a completed message's values, or {"\x01" error}

std::vector<Event> Run(Mode mode, const char* data, size_t size, size_t step) {
    RespStreamParser reader(mode);
    std::vector<Event> events;
    for (size_t pos = 0, consumed = 0; pos < size; pos += consumed) {
        size_t len = std::min(step, size - pos);
        Result r = reader.FeedBuffer(data + pos, len, consumed);
        FUZZ_CHECK(consumed <= len && (r != Result::NEED_MORE || consumed == len));
        if (r == Result::BAD) events.push_back({"\x01" + reader.Error()});
        if (r != Result::COMPLETE) continue;
        events.push_back(reader.TakeValues());
        std::string wire = Serialize(events.back());
        RespStreamParser again(Mode::ANY);
        size_t used = 0;
        FUZZ_CHECK(again.FeedBuffer(wire.data(), wire.size(), used) == Result::COMPLETE &&
                   used == wire.size() && again.TakeValues() == events.back());
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallFuzzLogHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the mode and the read size.
    Mode mode = (data[0] & 1) != 0 ? Mode::PULLED : Mode::ANY;
    const char* text = reinterpret_cast<const char*>(data + 1);
    FUZZ_CHECK(Run(mode, text, size - 1, (data[0] >> 1) + 1) == Run(mode, text, size - 1, size));
    return 0;
}
