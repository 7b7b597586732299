// How the property tree reads the gateway's request text for a C module: the reference the
// one-pass reader is checked against, in the tests and by the fuzzer.
#pragma once

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <exception>
#include <sstream>
#include <string>

#include "hosts/c/RequestTextReader.h"

namespace testsupport {

// The gateway's request text as the property tree reads it: the last member of each name, the
// query's members, the headers whose value is a non-empty list, joined by spaces.
inline bool TreeReadRequest(const std::string& text, RequestTextReader::Fields& f) {
    namespace pt = boost::property_tree;
    pt::ptree root;
    try {
        std::istringstream in(text);
        pt::read_json(in, root);
    } catch (const std::exception&) {
        return false;
    }
    auto last = [&](const char* name) {
        const pt::ptree* found = nullptr;
        for (const auto& member : root)
            if (member.first == name) found = &member.second;
        return found;
    };
    const pt::ptree *url = last("ReqUrl"), *method = last("Method"), *body = last("ReqBody"),
                    *query = last("ReqQuery"), *header = last("Header");
    if (!url || !method || !body || !query || !header) return false;
    f.reqUrl = url->data(), f.method = method->data(), f.reqBody = body->data();
    for (const auto& member : *query) f.reqQuery[member.first] = member.second.data();
    for (const auto& member : *header) {
        bool list = !member.second.empty();
        std::string joined;
        for (const auto& element : member.second) {
            list = list && element.first.empty();
            joined +=
                (joined.empty() && &element == &*member.second.begin() ? "" : " ") + element.second.data();
        }
        if (list) f.header[member.first] = joined;
    }
    return true;
}

}  // namespace testsupport
