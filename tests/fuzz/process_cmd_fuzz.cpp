// The master's handling of what a worker sends on its channel (DoAsyncRead: the message split
// into lines, each line into pieces, dispatched by command name): any bytes are safe. The
// registry is not started, so no descriptor names a worker and the handlers stop at the pid
// check: that is the path every foreign or forged line takes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "master/ProcessMgt.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ProcessMgt mgt;
    int rc = mgt.DoAsyncRead(7, text);
    FUZZ_CHECK(rc == 0 || rc == -1);
    // Every line again as if it were the whole message, with a descriptor no one holds.
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        int fd = -1;
        int lineRc = mgt.ParseProcessCmdAndAction(&fd, text.substr(start, end - start));
        FUZZ_CHECK(lineRc == 0 || lineRc == -1);
        start = end + 1;
    }
    return 0;
}
