#include "JsonText.h"

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid one (overlong
// forms, surrogates and code points above U+10FFFF included).
size_t Utf8SequenceLength(boost::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    size_t left = s.size() - i;
    auto trail = [&](size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
    if (c < 0x80) {
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        return left >= 2 && trail(i + 1) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !trail(i + 1) || !trail(i + 2)) {
            return 0;
        }
        unsigned char c1 = byte(i + 1);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) {
            return 0;
        }
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !trail(i + 1) || !trail(i + 2) || !trail(i + 3)) {
            return 0;
        }
        unsigned char c1 = byte(i + 1);
        if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) {
            return 0;
        }
        return 4;
    }
    return 0;
}

}  // namespace

bool JsonText::IsValidUtf8(boost::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = Utf8SequenceLength(s, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

bool JsonText::AppendString(std::string& out, boost::string_view s) {
    static const char HEX[] = "0123456789abcdef";
    out.reserve(out.size() + s.size() + 2);
    out += '"';
    size_t run = 0;  // start of the bytes not yet copied
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t n = Utf8SequenceLength(s, i);
            if (n == 0) {
                return false;
            }
            i += n;
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        out.append(s.data() + run, i - run);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
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
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                out += "\\u00";
                out += HEX[c >> 4];
                out += HEX[c & 0xF];
        }
        ++i;
        run = i;
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
    return true;
}

std::string JsonText::Compact(boost::string_view json) {
    std::string out;
    out.reserve(json.size());
    bool inString = false;
    bool escaped = false;
    for (char c : json) {
        if (inString) {
            out += c;
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            continue;
        }
        if (c == '"') {
            inString = true;
        }
        out += c;
    }
    return out;
}
