// Decoding of URL query strings and path segments (application/x-www-form-urlencoded rules).
#pragma once

#include <boost/utility/string_view.hpp>
#include <string>
#include <utility>
#include <vector>

class QueryString {
public:
    // "%XX" becomes the byte XX; with plusIsSpace, "+" becomes a blank. A "%" not followed by
    // two hex digits stays as it is, so a sloppy client still gets its text through.
    static std::string Decode(boost::string_view text, bool plusIsSpace);
    // name=value pairs split at "&" (and ";" is not a separator), in order of appearance,
    // decoded. A pair without "=" has an empty value; empty pairs ("a=1&&b=2") are skipped.
    static std::vector<std::pair<std::string, std::string>> Parse(boost::string_view query);
};
