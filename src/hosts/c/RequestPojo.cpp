#include "hosts/c/RequestPojo.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <exception>
#include <sstream>

#include "base/JsonNesting.h"

namespace pt = boost::property_tree;

namespace {

// The JSON reader recurses once per nesting level; a hostile peer could nest deep enough to
// overflow a thread's stack. Real request texts nest three levels.
constexpr size_t MAX_NESTING = 256;

// The last member of that name: a name that occurs twice keeps its last value.
const pt::ptree* LastMember(const pt::ptree& tree, const std::string& name) {
    const pt::ptree* found = nullptr;
    for (const auto& member : tree) {
        if (member.first == name) {
            found = &member.second;
        }
    }
    return found;
}

// A JSON array reads as children without names; an object's children all have names.
bool IsNonEmptyArray(const pt::ptree& node) {
    if (node.empty()) {
        return false;
    }
    for (const auto& element : node) {
        if (!element.first.empty()) {
            return false;
        }
    }
    return true;
}

std::string JoinElements(const pt::ptree& array) {
    std::string joined;
    bool first = true;
    for (const auto& element : array) {
        if (!first) {
            joined += ' ';
        }
        first = false;
        joined += element.second.data();
    }
    return joined;
}

}  // namespace

bool RequestPojo::ParseGatewayRequest(const std::string& text, std::string& err) {
    if (!JsonNestingWithin(text, MAX_NESTING)) {
        err = "nesting deeper than " + std::to_string(MAX_NESTING) + " levels";
        return false;
    }
    pt::ptree root;
    try {
        std::istringstream in(text);
        pt::read_json(in, root);
    } catch (const std::exception& e) {
        err = e.what();
        return false;
    }

    static const char* const REQUIRED[] = {"ReqUrl", "Method", "ReqBody", "ReqQuery", "Header"};
    const pt::ptree* members[5] = {};
    for (size_t i = 0; i < 5; ++i) {
        members[i] = LastMember(root, REQUIRED[i]);
        if (members[i] == nullptr) {
            // The wording of the tree's own missing-path error, which operators already know.
            err = std::string("No such node (") + REQUIRED[i] + ")";
            return false;
        }
    }

    std::map<std::string, std::string> query;
    for (const auto& member : *members[3]) {
        query[member.first] = member.second.data();
    }
    std::map<std::string, std::string> headers;
    for (const auto& member : *members[4]) {
        if (IsNonEmptyArray(member.second)) {
            headers[member.first] = JoinElements(member.second);
        }
    }

    reqUrl = members[0]->data();
    method = members[1]->data();
    reqBody = members[2]->data();
    reqQuery = std::move(query);
    header = std::move(headers);
    return true;
}

bool RequestPojo::QueryKeysTreeable() const {
    for (const auto& entry : reqQuery) {
        const std::string& key = entry.first;
        // The tree splits keys at "."; an empty part has no member name to become.
        if (key.empty() || key.front() == '.' || key.back() == '.' || key.find("..") != std::string::npos) {
            return false;
        }
        // "a" next to "a.b" would need a node that is a value and an object at once.
        for (size_t dot = key.find('.'); dot != std::string::npos; dot = key.find('.', dot + 1)) {
            if (reqQuery.count(key.substr(0, dot)) != 0) {
                return false;
            }
        }
    }
    return true;
}

bool RequestPojo::toJson(std::string& out) const {
    if (!QueryKeysTreeable()) {
        return false;
    }
    try {
        pt::ptree root;
        // Fixed single-part names: appended directly, no path lookup needed.
        root.push_back(pt::ptree::value_type("reqUrl", pt::ptree(reqUrl)));
        root.push_back(pt::ptree::value_type("method", pt::ptree(method)));
        if (!reqBody.empty()) {
            root.push_back(pt::ptree::value_type("reqBody", pt::ptree(reqBody)));
        }
        root.push_back(pt::ptree::value_type("moduleName", pt::ptree(moduleName)));
        root.push_back(pt::ptree::value_type("version", pt::ptree(version)));

        pt::ptree query;
        for (const auto& entry : reqQuery) {
            query.put(entry.first, entry.second);
        }
        if (!query.empty()) {
            root.push_back(pt::ptree::value_type("reqQuery", std::move(query)));
        }

        std::ostringstream text;
        pt::write_json(text, root, false);
        out = text.str();
    } catch (const std::exception&) {
        // The key check above rules out what the writer rejects; this only keeps the worker up.
        return false;
    }
    return true;
}
