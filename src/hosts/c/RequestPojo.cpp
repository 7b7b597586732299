#include "hosts/c/RequestPojo.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <exception>
#include <sstream>
#include <utility>
#include <vector>

#include "base/JsonNesting.h"
#include "hosts/c/RequestTextReader.h"

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

// A text as a JSON string's contents, escaped as modules have always received it: '"', '\\' and
// '/' with a backslash, the short escapes for \b \f \n \r \t, other control bytes as \u00XX in
// capitals, and every other byte (UTF-8 included) as it is.
void AppendEscaped(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
}

// The query as nested objects: "a.x" and "a.y" become "a":{"x":..,"y":..}. Members keep the order
// in which their first key comes in the (sorted) query. The keys form a tree (checked before).
void AppendQueryTree(std::string& out, const std::map<std::string, std::string>& query) {
    struct Node {
        std::string name;
        const std::string* value = nullptr;
        std::vector<size_t> children;
    };
    std::vector<Node> nodes(1);
    for (const auto& [key, value] : query) {
        size_t at = 0;
        for (size_t start = 0;;) {
            const size_t dot = key.find('.', start);
            const std::string part =
                key.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            // Keys come sorted, so all keys below one member follow each other: that member, if
            // it is there, is the last one added to its parent.
            size_t next = nodes[at].children.empty() ? 0 : nodes[at].children.back();
            if (next == 0 || nodes[next].name != part) {
                next = nodes.size();
                nodes.push_back(Node{part, nullptr, {}});
                nodes[at].children.push_back(next);
            }
            at = next;
            if (dot == std::string::npos) {
                break;
            }
            start = dot + 1;
        }
        nodes[at].value = &value;
    }
    // Depth-first without recursion: a key of many parts must not cost a stack frame each.
    std::vector<std::pair<size_t, size_t>> stack{{0, 0}};  // node, next child to write
    out += '{';
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next == nodes[node].children.size()) {
            out += '}';
            stack.pop_back();
            continue;
        }
        if (next > 0) {
            out += ',';
        }
        const Node& child = nodes[nodes[node].children[next++]];
        out += '"';
        AppendEscaped(out, child.name);
        out += "\":";
        if (child.children.empty()) {
            out += '"';
            AppendEscaped(out, child.value != nullptr ? *child.value : std::string());
            out += '"';
        } else {
            out += '{';
            stack.emplace_back(static_cast<size_t>(&child - nodes.data()), 0);
        }
    }
}

}  // namespace

bool RequestPojo::ParseGatewayRequest(const std::string& text, std::string& err) {
    if (!JsonNestingWithin(text, MAX_NESTING)) {
        err = "nesting deeper than " + std::to_string(MAX_NESTING) + " levels";
        return false;
    }
    // Nearly every request text is plain and read in one pass; the tree reads the rest.
    RequestTextReader::Fields fields;
    if (RequestTextReader::Read(text, fields)) {
        reqUrl = std::move(fields.reqUrl);
        method = std::move(fields.method);
        reqBody = std::move(fields.reqBody);
        reqQuery = std::move(fields.reqQuery);
        header = std::move(fields.header);
        return true;
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
    std::string json;
    json.reserve(96 + reqUrl.size() + reqBody.size() + moduleName.size() + version.size());
    // Each member as "name":"text", the first one opening the object.
    auto member = [&json](const char* name, const std::string& text) {
        json += json.empty() ? "{\"" : ",\"";
        json += name;
        json += "\":\"";
        AppendEscaped(json, text);
        json += '"';
    };
    member("reqUrl", reqUrl);
    member("method", method);
    if (!reqBody.empty()) {
        member("reqBody", reqBody);
    }
    member("moduleName", moduleName);
    member("version", version);
    if (!reqQuery.empty()) {
        json += ",\"reqQuery\":";
        AppendQueryTree(json, reqQuery);
    }
    json += "}\n";
    out = std::move(json);
    return true;
}
