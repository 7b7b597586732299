// CheckRespFrame: any bytes are safe; a complete reply is complete on its own and its proper
// prefixes are not; a rejection says why; the elements survive Serialize unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "proto/GatewayProtocol.h"
#include "proto/RespFrame.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<std::string> parts;
    RespFrameResult r = CheckRespFrame(text, size, &parts);
    if (r.status == RespFrameStatus::BAD) {
        FUZZ_CHECK(!r.error.empty());
        FUZZ_CHECK(parts.empty());
        return 0;
    }
    if (r.status == RespFrameStatus::INCOMPLETE) {
        FUZZ_CHECK(parts.empty());
        return 0;
    }
    FUZZ_CHECK(r.length > 0 && r.length <= size);

    std::vector<std::string> alone;
    RespFrameResult again = CheckRespFrame(text, r.length, &alone);
    FUZZ_CHECK(again.status == RespFrameStatus::COMPLETE && again.length == r.length);
    FUZZ_CHECK(alone == parts);
    for (size_t cut : {r.length - 1, r.length / 2}) {
        if (cut == 0) continue;
        std::vector<std::string> none;
        RespFrameResult part = CheckRespFrame(text, cut, &none);
        FUZZ_CHECK(part.status == RespFrameStatus::INCOMPLETE);
        FUZZ_CHECK(none.empty());
    }

    std::string wire = Serialize(parts);
    std::vector<std::string> back;
    RespFrameResult written = CheckRespFrame(wire, &back);
    FUZZ_CHECK(written.status == RespFrameStatus::COMPLETE && written.length == wire.size());
    FUZZ_CHECK(back == parts);
    return 0;
}
