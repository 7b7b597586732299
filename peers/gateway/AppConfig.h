// One version of the application configuration: the JSON text handed to Vessel's master and the
// module table the gateway routes by. Immutable once built, so threads share it freely.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

class AppConfig {
public:
    // Parses {"Modules":[{"Name","Version","Location","Type","VmArgs"?}]} (or the lower-case
    // "modules"/"name"/... form). Every module needs the four members: Vessel stops reading the
    // list at the first incomplete entry, so such a file is refused as a whole. Returns null
    // and sets error on failure. The first of two modules with the same name is routed to.
    static std::shared_ptr<const AppConfig> Parse(const std::string& text, uint64_t generation,
                                                  std::string& error);
    static std::shared_ptr<const AppConfig> Empty();

    const std::string& Json() const { return json_; }
    // The whole "appcfg" reply, built once.
    const std::string& AppcfgFrame() const { return frame_; }
    uint64_t Generation() const { return generation_; }
    size_t ModuleCount() const { return keys_.size(); }
    // name "||" version of the module that serves name, or "" when none is configured.
    std::string KeyOf(const std::string& name) const;
    // Module name -> key text, for every configured module.
    const std::unordered_map<std::string, std::string>& Keys() const { return keys_; }

private:
    std::string json_;
    std::string frame_;
    uint64_t generation_ = 0;
    std::unordered_map<std::string, std::string> keys_;  // module name -> key text
};
