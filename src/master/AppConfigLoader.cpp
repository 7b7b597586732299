#include "master/AppConfigLoader.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstring>
#include <sstream>

#include "base/JsonNesting.h"
#include "base/Log.h"
#include "proto/GatewayPath.h"
#include "proto/GatewayProtocol.h"

namespace pt = boost::property_tree;

namespace AppConfigLoader {

namespace {

struct MemberNames {
    const char* array;
    const char* name;
    const char* version;
    const char* location;
    const char* type;
    const char* vmArgs;
};

const MemberNames kUpper{"Modules", "Name", "Version", "Location", "Type", "VmArgs"};
const MemberNames kLower{"modules", "name", "version", "location", "type", "vmArgs"};

// A real configuration nests four levels; the limit only keeps a bad reply off the stack.
constexpr size_t kMaxNesting = 256;

// Appends the modules of one array form; a missing member ends the walk, keeping what came before.
// Returns the reader's error text, empty when the walk completed.
std::string WalkModules(const pt::ptree& root, const MemberNames& names, std::vector<ModulePojo>& out) {
    try {
        for (const auto& element : root.get_child(names.array)) {
            const pt::ptree& m = element.second;
            out.emplace_back(m.get<std::string>(names.name), m.get<std::string>(names.version),
                             m.get<std::string>(names.location), m.get<std::string>(names.type),
                             m.get<std::string>(names.vmArgs, ""));
        }
    } catch (const pt::ptree_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

int32_t connectGateway(UDSClient& client) {
    if (client.IsConnected()) return 0;
    std::string path = GetGatewayPath();
    int ret = client.Connect(path, PeerTrust::Gateway);
    if (ret != 0) {
        LOG_ERROR_CODE(ret, "uds client connect fails, " + path);
        return -1;
    }
    return 0;
}

int32_t ReconnectGW(UDSClient& client) {
    std::string path = GetGatewayPath();
    LOG_INFO("reconnect " + path);
    client.CloseAll();
    int ret = client.Connect(path, PeerTrust::Gateway);
    if (ret != 0) {
        LOG_ERROR_CODE(ret, "uds client connect fails," + path + ":" + strerror(ret));
    }
    return ret;
}

int32_t CloseGW(UDSClient& client) {
    return client.CloseAll();
}

int32_t getAppConfig(UDSClient& client, const std::string& command, std::vector<std::string>& values) {
    int ret = client.SendToGW({command, "container"});
    if (ret != 0) {
        LOG_ERROR_CODE(ret, "getAppConfig failed, sendTo fail");
        return ret;
    }
    return client.RecvFromGW(values);
}

std::vector<ModulePojo> parseAppCfgCmd(const std::vector<std::string>& values) {
    if (values.size() < 2) {
        LOG_INFO("input param error");
        return {};
    }
    if (values[0] != "appcfg") {
        LOG_INFO("[getModule] cmd error: " + values[0]);
        return {};
    }
    return getModuleFromStr(values[1]);
}

ModuleKey ParseModuleNeedLoad(const std::vector<std::string>& values) {
    if (values.size() < 2) {
        LOG_INFO("input param error");
        return ModuleKey();
    }
    if (values[0] != "pullmodloadrsp") {
        LOG_INFO("[getModule] cmd error: " + values[0]);
        return ModuleKey();
    }
    return SplitModuleKey(values[1]);
}

std::vector<ModulePojo> getModuleFromStr(const std::string& text) {
    std::vector<ModulePojo> modules;
    if (!JsonNestingWithin(text, kMaxNesting)) {
        LOG_INFO("parse config fail, nesting deeper than " + std::to_string(kMaxNesting) + " levels");
        return modules;
    }
    pt::ptree root;
    try {
        std::istringstream in(text);
        pt::read_json(in, root);
    } catch (const pt::ptree_error& e) {
        LOG_INFO(std::string("parse config fail,") + e.what());
        LOG_INFO(std::string("parse config fail again,") + e.what());
        return modules;
    }
    std::string err = WalkModules(root, kUpper, modules);
    if (!err.empty()) LOG_INFO("parse config fail," + err);
    if (modules.empty()) {
        err = WalkModules(root, kLower, modules);
        if (!err.empty()) LOG_INFO("parse config fail again," + err);
    }
    return modules;
}

}  // namespace AppConfigLoader
