// One module command of the master-worker channel, with the builders and the parser of the
// command lines in both directions. Fields never contain "\n", "#" or "|": there is no escaping.
#pragma once

#include <string>
#include <vector>

#include "model/ModulePojo.h"

class PipeCmdPojo {
public:
    PipeCmdPojo() = default;
    PipeCmdPojo(std::string command, ModulePojo module)
        : command(std::move(command)), module(std::move(module)) {}
    virtual ~PipeCmdPojo() = default;
    PipeCmdPojo(const PipeCmdPojo&) = default;
    PipeCmdPojo& operator=(const PipeCmdPojo&) = default;

    const std::string& GetCommand() const { return command; }
    const ModulePojo& GetModule() const { return module; }

    // Master to worker: command "#" name "|" version "|" location "|" type "|" vmArgs "\n".
    static std::string BuildModuleCmd(const std::string& command, const ModulePojo& module);
    static std::string BuildAddModule(const ModulePojo& m) { return BuildModuleCmd("addModule", m); }
    static std::string BuildDeleteModule(const ModulePojo& m) { return BuildModuleCmd("deleteModule", m); }
    static std::string BuildModifyModule(const ModulePojo& m) { return BuildModuleCmd("modifyModule", m); }
    static std::string BuildAgeingModule(const ModulePojo& m) { return BuildModuleCmd("ageingModule", m); }

    // Worker side: parses one or more command lines; 0, or -1 when a line has fewer than four
    // module fields (then nothing of the message is to be executed and out is left empty).
    static int parse(const std::string& text, std::vector<PipeCmdPojo>& out);

    // Worker to master: "shakehand", "ageing", "unloadModule" (the worker no longer serves the
    // module, or could not load it) or "loadedModule" (the module loaded and serves), with this
    // process's pid; module is used by the last two only. Unknown names give an empty text.
    // "status" is not a worker's: `vessel status` asks the master with it for one line of JSON.
    static std::string BuildProcessCmd(const std::string& name, const ModulePojo* module = nullptr);

private:
    std::string command;
    ModulePojo module;
};
