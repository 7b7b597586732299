// Turns an HTTP request into what a worker pulls: the module it is for, and the request JSON
// ("ReqUrl", "Method", "ReqBody", "ReqQuery", "Header") inside a "message" frame.
#pragma once

#include <boost/beast/http.hpp>
#include <string>

class RequestTranslator {
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;

    // Splits a request target into its path and query string and finds the module: the first
    // path segment, percent-decoded. Absolute-form targets ("http://host/x") are reduced to
    // their path. Returns false when the target has no path or no first segment.
    static bool Route(boost::beast::string_view target, std::string& module, boost::beast::string_view& path,
                      boost::beast::string_view& query);

    // The request JSON: "ReqUrl" is the path as received, "ReqQuery" the decoded query (a name
    // given twice keeps its last value), "Header" each header name (first spelling) with all
    // its values. Returns false when some text is not valid UTF-8.
    static bool BuildRequestJson(const Request& req, boost::beast::string_view path,
                                 boost::beast::string_view query, std::string& out);

    // Whether running the request twice has the same effect as once (GET, HEAD, PUT, DELETE,
    // OPTIONS, TRACE): only such a request is sent again when its worker ends before answering.
    static bool Idempotent(boost::beast::http::verb method);

    // "message", tag, request id, request JSON as one frame.
    static std::string BuildMessageFrame(const std::string& tag, const std::string& requestId,
                                         const std::string& json);
};
