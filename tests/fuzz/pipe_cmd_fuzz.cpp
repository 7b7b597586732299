// The worker's parser of master command lines: any text is safe; a failed message yields no
// command at all; every command it yields is rebuilt by BuildModuleCmd into a line that parses
// back to the same command.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLogHome.h"
#include "proto/PipeCmdPojo.h"

namespace {

bool SameModule(const ModulePojo& a, const ModulePojo& b) {
    return a.GetName() == b.GetName() && a.GetVersion() == b.GetVersion() &&
           a.GetLocation() == b.GetLocation() && a.GetType() == b.GetType() && a.GetVmArgs() == b.GetVmArgs();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogHome::Install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<PipeCmdPojo> cmds{PipeCmdPojo("stale", ModulePojo())};
    int rc = PipeCmdPojo::parse(text, cmds);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc == -1) {
        FUZZ_CHECK(cmds.empty());
        return 0;
    }
    for (const PipeCmdPojo& cmd : cmds) {
        FUZZ_CHECK(cmd.GetCommand().find_first_of("\n#") == std::string::npos);
        std::vector<PipeCmdPojo> again;
        FUZZ_CHECK(
            PipeCmdPojo::parse(PipeCmdPojo::BuildModuleCmd(cmd.GetCommand(), cmd.GetModule()), again) == 0);
        FUZZ_CHECK(again.size() == 1);
        FUZZ_CHECK(again[0].GetCommand() == cmd.GetCommand());
        FUZZ_CHECK(SameModule(again[0].GetModule(), cmd.GetModule()));
    }
    return 0;
}
