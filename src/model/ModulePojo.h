// Description of a module as the application configuration and the master's commands carry it.
#pragma once

#include <cstdint>
#include <string>

#include "model/ModuleKey.h"

class ModulePojo {
public:
    static constexpr int32_t STATUS_INITIAL = 4;
    static constexpr int32_t STATUS_AGEING = 5;

    ModulePojo() = default;
    ModulePojo(std::string name, std::string version, std::string location, std::string type,
               std::string vmArgs)
        : name(std::move(name)),
          version(std::move(version)),
          type(std::move(type)),
          location(std::move(location)),
          vmArgs(std::move(vmArgs)) {}
    virtual ~ModulePojo() = default;
    ModulePojo(const ModulePojo&) = default;
    ModulePojo& operator=(const ModulePojo&) = default;
    ModulePojo(ModulePojo&&) = default;
    ModulePojo& operator=(ModulePojo&&) = default;

    const std::string& GetName() const { return name; }
    const std::string& GetVersion() const { return version; }
    const std::string& GetType() const { return type; }
    const std::string& GetLocation() const { return location; }
    const std::string& GetVmArgs() const { return vmArgs; }
    int32_t GetStatus() const { return status; }
    void SetName(const std::string& v) { name = v; }
    void SetVersion(const std::string& v) { version = v; }
    void SetType(const std::string& v) { type = v; }
    void SetLocation(const std::string& v) { location = v; }
    void SetVmArgs(const std::string& v) { vmArgs = v; }
    void SetStatus(int32_t s) { status = s; }

    ModuleKey Key() const { return ModuleKey(name, version); }

    // Paths are plain concatenations: no separator is added and nothing is normalised.
    std::string LibFilePath() const { return location + "/lib" + name + ".so"; }
    std::string LibDirPath() const { return location + "/warren/lib/"; }
    std::string ModuleIdString() const { return name + "@" + version; }
    std::string RepositoryPath() const { return location + "/warren/repository/" + ModuleIdString(); }

private:
    std::string name;
    std::string version;
    std::string type;
    std::string location;
    std::string vmArgs;
    int32_t status = STATUS_INITIAL;
};
