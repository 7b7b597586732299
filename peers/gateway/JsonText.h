// Writing JSON string values without a tree: the request JSON is built once per request on the
// hot path, so it is appended straight into its output text.
#pragma once

#include <boost/utility/string_view.hpp>
#include <string>

class JsonText {
public:
    // Appends s as a quoted JSON string. Returns false, leaving out unspecified, when s is not
    // valid UTF-8: Vessel's JSON reader refuses such text and would drop the request silently.
    static bool AppendString(std::string& out, boost::string_view s);
    static bool IsValidUtf8(boost::string_view s);
    // The text without blanks, tabs and line breaks outside strings. Replies to Vessel's master
    // are split at line breaks, so JSON inside them must be on one line.
    static std::string Compact(boost::string_view json);
};
