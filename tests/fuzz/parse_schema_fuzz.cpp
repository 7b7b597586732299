// parseSchema, the reply parser of the synchronous gateway clients: any text is safe, a rejected
// reply appends nothing, values never hold CR or LF, and what Serialize writes reads back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "proto/GatewayProtocol.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> out{"earlier"};
    int32_t rc = parseSchema(text, out);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(!out.empty() && out[0] == "earlier");
    if (rc == -1) FUZZ_CHECK(out.size() == 1);
    for (size_t i = 1; i < out.size(); ++i) {
        FUZZ_CHECK(!out[i].empty());
        FUZZ_CHECK(out[i].find_first_of("\r\n") == std::string::npos);
    }

    // The input's lines as the parts of a reply of our own: they come back unchanged.
    std::vector<std::string> parts;
    std::string piece;
    for (char c : text) {
        if (c == '\n') {
            if (!piece.empty()) parts.push_back(piece);
            piece.clear();
        } else if (c != '\r') {
            piece.push_back(c);
        }
    }
    if (!piece.empty()) parts.push_back(piece);
    std::vector<std::string> back;
    FUZZ_CHECK(parseSchema(Serialize(parts), back) == 0);
    FUZZ_CHECK(back == parts);
    return 0;
}
