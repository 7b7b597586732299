#include "RequestTranslator.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "JsonText.h"
#include "QueryString.h"

namespace http = boost::beast::http;
using boost::beast::string_view;

bool RequestTranslator::Idempotent(http::verb method) {
    switch (method) {
        case http::verb::get:
        case http::verb::head:
        case http::verb::put:
        case http::verb::delete_:
        case http::verb::options:
        case http::verb::trace:
            return true;
        default:
            return false;
    }
}

bool RequestTranslator::Route(string_view target, std::string& module, string_view& path,
                              string_view& query) {
    if (target.starts_with("http://") || target.starts_with("https://")) {
        size_t authority = target.find("//") + 2;
        size_t slash = target.find('/', authority);
        if (slash == string_view::npos) {
            return false;
        }
        target = target.substr(slash);
    }
    if (target.empty() || target[0] != '/') {
        return false;
    }
    // A fragment is never meant for the server; drop it if a client sends one anyway.
    target = target.substr(0, target.find('#'));
    size_t mark = target.find('?');
    path = target.substr(0, mark);
    query = mark == string_view::npos ? string_view() : target.substr(mark + 1);
    size_t end = path.find('/', 1);
    module =
        QueryString::Decode(path.substr(1, end == string_view::npos ? string_view::npos : end - 1), false);
    return !module.empty();
}

bool RequestTranslator::BuildRequestJson(const Request& req, string_view path, string_view query,
                                         std::string& out) {
    out.clear();
    out.reserve(128 + path.size() + query.size() + req.body().size());
    out += "{\"ReqUrl\":";
    bool ok = JsonText::AppendString(out, path);
    out += ",\"Method\":";
    ok = ok && JsonText::AppendString(out, req.method_string());
    out += ",\"ReqBody\":";
    ok = ok && JsonText::AppendString(out, req.body());

    out += ",\"ReqQuery\":{";
    std::vector<std::pair<std::string, std::string>> params = QueryString::Parse(query);
    std::unordered_map<std::string, size_t> last;
    for (size_t i = 0; i < params.size(); ++i) {
        last[params[i].first] = i;
    }
    bool first = true;
    for (size_t i = 0; ok && i < params.size(); ++i) {
        if (last[params[i].first] != i) {
            continue;
        }
        if (!first) {
            out += ',';
        }
        first = false;
        ok = JsonText::AppendString(out, params[i].first);
        out += ':';
        ok = ok && JsonText::AppendString(out, params[i].second);
    }

    out += "},\"Header\":{";
    // Headers are few; a linear search keeps their order and groups repeated names.
    std::vector<std::pair<string_view, std::vector<string_view>>> headers;
    for (const auto& field : req) {
        string_view name = field.name_string();
        auto it = headers.begin();
        while (it != headers.end() && !boost::beast::iequals(it->first, name)) {
            ++it;
        }
        if (it == headers.end()) {
            headers.emplace_back(name, std::vector<string_view>{field.value()});
        } else {
            it->second.push_back(field.value());
        }
    }
    first = true;
    for (size_t i = 0; ok && i < headers.size(); ++i) {
        if (!first) {
            out += ',';
        }
        first = false;
        ok = JsonText::AppendString(out, headers[i].first);
        out += ":[";
        for (size_t v = 0; ok && v < headers[i].second.size(); ++v) {
            if (v > 0) {
                out += ',';
            }
            ok = JsonText::AppendString(out, headers[i].second[v]);
        }
        out += ']';
    }
    out += "}}";
    return ok;
}

std::string RequestTranslator::BuildMessageFrame(const std::string& tag, const std::string& requestId,
                                                 const std::string& json) {
    std::string frame;
    frame.reserve(json.size() + tag.size() + requestId.size() + 48);
    frame += "*4\r\n$7\r\nmessage\r\n";
    for (const std::string* part : {&tag, &requestId, &json}) {
        frame += '$';
        frame += std::to_string(part->size());
        frame += "\r\n";
        frame += *part;
        frame += "\r\n";
    }
    return frame;
}
