#include "AppConfig.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

#include "JsonText.h"
#include "proto/GatewayProtocol.h"

namespace pt = boost::property_tree;

std::shared_ptr<const AppConfig> AppConfig::Parse(const std::string& text, uint64_t generation,
                                                  std::string& error) {
    pt::ptree root;
    try {
        std::istringstream in(text);
        pt::read_json(in, root);
    } catch (const pt::json_parser_error& e) {
        error = "not JSON: " + e.message() + " at line " + std::to_string(e.line());
        return nullptr;
    }
    bool upper = root.count("Modules") > 0;
    if (!upper && root.count("modules") == 0) {
        error = "no \"Modules\" array";
        return nullptr;
    }
    const char* names[] = {"Name", "Version", "Location", "Type"};
    const char* lowerNames[] = {"name", "version", "location", "type"};
    auto config = std::make_shared<AppConfig>();
    size_t index = 0;
    for (const auto& entry : root.get_child(upper ? "Modules" : "modules")) {
        const pt::ptree& module = entry.second;
        std::string values[4];
        for (int i = 0; i < 4; ++i) {
            const char* member = upper ? names[i] : lowerNames[i];
            auto found = module.get_optional<std::string>(member);
            if (!found || found->empty() || !module.get_child(member).empty()) {
                error = "module " + std::to_string(index) + " has no text \"" + member + "\"";
                return nullptr;
            }
            values[i] = *found;
        }
        if (values[0].find("||") != std::string::npos) {
            // The key text name "||" version is split at its first "||".
            error = "module name \"" + values[0] + "\" contains \"||\"";
            return nullptr;
        }
        config->keys_.emplace(values[0], values[0] + "||" + values[1]);
        ++index;
    }
    config->json_ = JsonText::Compact(text);
    config->frame_ = Serialize({"appcfg", config->json_});
    config->generation_ = generation;
    return config;
}

std::shared_ptr<const AppConfig> AppConfig::Empty() {
    auto config = std::make_shared<AppConfig>();
    config->json_ = "{\"Modules\":[]}";
    config->frame_ = Serialize({"appcfg", config->json_});
    return config;
}

std::string AppConfig::KeyOf(const std::string& name) const {
    auto it = keys_.find(name);
    return it == keys_.end() ? std::string() : it->second;
}
