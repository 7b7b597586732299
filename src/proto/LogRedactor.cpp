#include "proto/LogRedactor.h"

#include <cstring>

namespace {

enum class MemberKind { OTHER, SECRET, BODY };

struct Name {
    const char* text;
    size_t size;
    MemberKind kind;
};

constexpr Name kNames[] = {
    {"authorization", 13, MemberKind::SECRET}, {"proxy-authorization", 19, MemberKind::SECRET},
    {"cookie", 6, MemberKind::SECRET},         {"set-cookie", 10, MemberKind::SECRET},
    {"reqbody", 7, MemberKind::BODY},
};

// True when the character at pos is escaped by an odd run of backslashes before it.
bool Escaped(const char* text, size_t pos) {
    size_t slashes = 0;
    while (slashes < pos && text[pos - slashes - 1] == '\\') ++slashes;
    return slashes % 2 == 1;
}

// ASCII case-insensitive comparison with a lower-case name of letters and '-' (0x20 set
// already, so '-' compares as itself).
bool SameName(const char* lower, const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if ((text[i] | 0x20) != lower[i]) return false;
    }
    return true;
}

// Kind of the member whose name's closing quote is at close.
MemberKind ClassifyNameEndingAt(const char* text, size_t close) {
    if (close == 0) return MemberKind::OTHER;
    // Every name we look for ends in n, e or y: most member names are passed over here.
    const char last = static_cast<char>(text[close - 1] | 0x20);
    if (last != 'n' && last != 'e' && last != 'y') return MemberKind::OTHER;
    for (const Name& n : kNames) {
        if (close < n.size + 1) continue;
        const size_t open = close - n.size - 1;
        if (text[open] == '"' && SameName(n.text, text + open + 1, n.size) && !Escaped(text, open)) {
            return n.kind;
        }
    }
    return MemberKind::OTHER;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

size_t SkipBlanks(const char* text, size_t pos, size_t size) {
    while (pos < size && IsBlank(text[pos])) ++pos;
    return pos;
}

// Position of the quote that ends the string whose contents start at pos, or size when the
// text ends first. A quote preceded by an odd run of backslashes is escaped.
size_t StringEnd(const char* text, size_t pos, size_t size) {
    while (pos < size) {
        const void* q = std::memchr(text + pos, '"', size - pos);
        if (q == nullptr) return size;
        const size_t at = static_cast<size_t>(static_cast<const char*>(q) - text);
        if (!Escaped(text, at)) return at;
        pos = at + 1;
    }
    return size;
}

// One past the JSON value starting at pos: a string, an array or object (nesting and strings
// inside followed), or a bare word up to the next separator.
size_t ValueEnd(const char* text, size_t pos, size_t size) {
    if (pos >= size) return size;
    if (text[pos] == '"') {
        const size_t end = StringEnd(text, pos + 1, size);
        return end < size ? end + 1 : size;
    }
    if (text[pos] == '[' || text[pos] == '{') {
        int depth = 0;
        for (size_t i = pos; i < size; ++i) {
            const char c = text[i];
            if (c == '"') {
                i = StringEnd(text, i + 1, size);
            } else if (c == '[' || c == '{') {
                ++depth;
            } else if ((c == ']' || c == '}') && --depth == 0) {
                return i + 1;
            }
        }
        return size;
    }
    size_t i = pos;
    while (i < size && text[i] != ',' && text[i] != '}' && text[i] != ']' && !IsBlank(text[i])) ++i;
    return i;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// UTF-8 bytes of the character a \uXXXX escape at text names (each half of a surrogate pair
// counts 2, the pair 4); 1 when the escape is malformed.
size_t EscapedCharSize(const char* text) {
    unsigned cp = 0;
    for (int k = 0; k < 4; ++k) {
        const int d = HexDigit(text[k]);
        if (d < 0) return 1;
        cp = cp * 16 + static_cast<unsigned>(d);
    }
    if (cp < 0x80) return 1;
    if (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000)) return 2;
    return 3;
}

// Bytes the JSON string contents [begin, end) stand for once unescaped.
size_t DecodedSize(const char* text, size_t begin, size_t end) {
    size_t n = 0;
    size_t i = begin;
    while (i < end) {
        const void* b = std::memchr(text + i, '\\', end - i);
        const size_t at = b == nullptr ? end : static_cast<size_t>(static_cast<const char*>(b) - text);
        n += at - i;
        if (at + 1 >= end) return n + (end - at);
        if (text[at + 1] == 'u' && at + 5 < end) {
            n += EscapedCharSize(text + at + 2);
            i = at + 6;
        } else {
            ++n;
            i = at + 2;
        }
    }
    return n;
}

void AppendReplacement(std::string& out, MemberKind kind, const char* text, size_t begin, size_t end) {
    if (kind == MemberKind::BODY && end - begin >= 2 && text[begin] == '"' && text[end - 1] == '"') {
        if (end - begin == 2) {
            out.append("\"\"");  // an empty body says nothing
            return;
        }
        out.append("\"<");
        out.append(std::to_string(DecodedSize(text, begin + 1, end - 1)));
        out.append(" bytes>\"");
        return;
    }
    out.push_back('"');
    out.append(LogRedactor::kMarker);
    out.push_back('"');
}

}  // namespace

void LogRedactor::Append(std::string& out, const char* text, size_t size) {
    // A member name is a string followed by ':'. Inside a JSON string a quote is always escaped,
    // so an unescaped quote before a ':' closes a name: looking at each ':' is enough.
    size_t copied = 0;
    size_t pos = 0;
    while (pos < size) {
        const void* c = std::memchr(text + pos, ':', size - pos);
        if (c == nullptr) break;
        const size_t colon = static_cast<size_t>(static_cast<const char*>(c) - text);
        pos = colon + 1;
        size_t close = colon;
        while (close > copied && IsBlank(text[close - 1])) --close;
        if (close == copied || text[--close] != '"' || Escaped(text, close)) continue;
        const MemberKind kind = ClassifyNameEndingAt(text, close);
        if (kind == MemberKind::OTHER) continue;
        const size_t begin = SkipBlanks(text, colon + 1, size);
        const size_t end = ValueEnd(text, begin, size);
        out.append(text + copied, begin - copied);
        AppendReplacement(out, kind, text, begin, end);
        copied = pos = end;
    }
    out.append(text + copied, size - copied);
}

std::string LogRedactor::Message(const char* prefix, const std::string& text) {
    std::string out;
    const size_t prefixSize = std::strlen(prefix);
    out.reserve(prefixSize + text.size());
    out.append(prefix, prefixSize);
    Append(out, text.data(), text.size());
    return out;
}
