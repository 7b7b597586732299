// Text between the master, its workers and the gateway; any text is safe everywhere. The worker's
// parser of command lines: a failed message yields no command, and every command it yields is
// rebuilt by BuildModuleCmd into a line that parses back to it. The master's handler of worker
// lines (its registry not started, so the handlers stop at the pid check, as for a forged line).
// The master's reader of configuration replies (up to 10 MiB from another process).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "master/AppConfigLoader.h"
#include "master/ProcessMgt.h"
#include "proto/PipeCmdPojo.h"

static std::string Describe(const PipeCmdPojo& c) {
    const ModulePojo& m = c.GetModule();
    return c.GetCommand() + "#" + m.GetName() + "|" + m.GetVersion() + "|" + m.GetLocation() + "|" +
           m.GetType() + "|" + m.GetVmArgs();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InstallFuzzLogHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<PipeCmdPojo> cmds{PipeCmdPojo("stale", ModulePojo())};
    int rc = PipeCmdPojo::parse(text, cmds);
    FUZZ_CHECK(rc == 0 || (rc == -1 && cmds.empty()));
    for (const PipeCmdPojo& cmd : cmds) {
        FUZZ_CHECK(cmd.GetCommand().find_first_of("\n#") == std::string::npos);
        std::vector<PipeCmdPojo> again;
        rc = PipeCmdPojo::parse(PipeCmdPojo::BuildModuleCmd(cmd.GetCommand(), cmd.GetModule()), again);
        FUZZ_CHECK(rc == 0 && again.size() == 1 && Describe(again[0]) == Describe(cmd));
    }

    ProcessMgt mgt;
    rc = mgt.DoAsyncRead(7, text);
    FUZZ_CHECK(rc == 0 || rc == -1);
    for (size_t start = 0, end; start <= text.size(); start = end + 1) {  // each line alone
        end = std::min(text.find('\n', start), text.size());
        int fd = -1;
        rc = mgt.ParseProcessCmdAndAction(&fd, text.substr(start, end - start));
        FUZZ_CHECK(rc == 0 || rc == -1);
    }

    FUZZ_CHECK(AppConfigLoader::parseAppCfgCmd({"appcfg", text}).size() ==
               AppConfigLoader::getModuleFromStr(text).size());
    return 0;
}
