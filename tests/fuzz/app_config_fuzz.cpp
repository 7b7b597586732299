// The master's reader of the application configuration the gateway sends: any text is safe
// (the gateway is another process and may send anything, up to 10 MiB).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "master/AppConfigLoader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<ModulePojo> modules = AppConfigLoader::getModuleFromStr(text);
    // The same text as the "appcfg" reply's second value.
    std::vector<ModulePojo> viaReply = AppConfigLoader::parseAppCfgCmd({"appcfg", text});
    FUZZ_CHECK(viaReply.size() == modules.size());
    return 0;
}
