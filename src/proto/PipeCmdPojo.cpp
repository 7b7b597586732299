#include "proto/PipeCmdPojo.h"

#include <unistd.h>

#include "base/CommonUtil.h"
#include "base/Log.h"

namespace {

constexpr size_t kMinModuleFields = 4;
constexpr size_t kVmArgsField = 4;

}  // namespace

std::string PipeCmdPojo::BuildModuleCmd(const std::string& command, const ModulePojo& module) {
    return command + "#" + module.GetName() + "|" + module.GetVersion() + "|" + module.GetLocation() + "|" +
           module.GetType() + "|" + module.GetVmArgs() + "\n";
}

int PipeCmdPojo::parse(const std::string& text, std::vector<PipeCmdPojo>& out) {
    out.clear();
    std::vector<std::string> lines;
    Split(text, lines, '\n');
    std::vector<PipeCmdPojo> cmds;
    for (const std::string& line : lines) {
        std::vector<std::string> pieces;
        Split(line, pieces, '#');
        if (pieces.size() != 2) {
            LOG_INFO("parse failed: " + line);
            continue;
        }
        std::vector<std::string> fields;
        Split(pieces[1], fields, '|');
        if (fields.size() < kMinModuleFields) {
            // The caller executes nothing of a message that fails, so earlier lines go too.
            LOG_INFO("[switchAction] parse fail:" + pieces[1]);
            return -1;
        }
        std::string vmArgs = fields.size() > kVmArgsField ? fields[kVmArgsField] : std::string();
        cmds.emplace_back(pieces[0], ModulePojo(fields[0], fields[1], fields[2], fields[3], vmArgs));
    }
    out = std::move(cmds);
    return 0;
}

std::string PipeCmdPojo::BuildProcessCmd(const std::string& name, const ModulePojo* module) {
    std::string head = name + "#" + std::to_string(getpid());
    if (name == "shakehand" || name == "ageing" || name == "status") {
        return head + "\n";
    }
    if (name == "unloadModule" || name == "loadedModule") {
        if (module == nullptr) {
            LOG_INFO(name + " without module");
            return "";
        }
        return head + "#" + module->GetName() + "|" + module->GetVersion() + "\n";
    }
    LOG_INFO("unknown cmd," + name);
    return "";
}
