// Identity of a module: name and version. Key of every module map.
#pragma once

#include <string>

class ModuleKey {
public:
    ModuleKey() = default;
    ModuleKey(std::string name, std::string version) : name(std::move(name)), version(std::move(version)) {}
    virtual ~ModuleKey() = default;
    ModuleKey(const ModuleKey&) = default;
    ModuleKey& operator=(const ModuleKey&) = default;
    ModuleKey(ModuleKey&&) = default;
    ModuleKey& operator=(ModuleKey&&) = default;

    const std::string& GetName() const { return name; }
    const std::string& GetVersion() const { return version; }
    void SetName(const std::string& n) { name = n; }
    void SetVersion(const std::string& v) { version = v; }

    // name ":" version, the form used in log lines.
    std::string ToString() const { return name + ":" + version; }
    // name "@" version, the module identifier.
    std::string IdString() const { return name + "@" + version; }

    bool operator<(const ModuleKey& other) const {
        int c = name.compare(other.name);
        return c != 0 ? c < 0 : version.compare(other.version) < 0;
    }
    bool operator==(const ModuleKey& other) const { return name == other.name && version == other.version; }
    bool operator!=(const ModuleKey& other) const { return !(*this == other); }

private:
    std::string name;
    std::string version;
};
