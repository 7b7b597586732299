#include "QueryString.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string QueryString::Decode(boost::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            int hi = HexValue(text[i + 1]);
            int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += (plusIsSpace && c == '+') ? ' ' : c;
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> QueryString::Parse(boost::string_view query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    while (!query.empty()) {
        size_t amp = query.find('&');
        boost::string_view item = query.substr(0, amp);
        query = amp == boost::string_view::npos ? boost::string_view() : query.substr(amp + 1);
        if (item.empty()) {
            continue;
        }
        size_t eq = item.find('=');
        if (eq == boost::string_view::npos) {
            pairs.emplace_back(Decode(item, true), std::string());
        } else {
            pairs.emplace_back(Decode(item.substr(0, eq), true), Decode(item.substr(eq + 1), true));
        }
    }
    return pairs;
}
