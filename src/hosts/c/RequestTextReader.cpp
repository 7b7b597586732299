#include "hosts/c/RequestTextReader.h"

#include <cstring>

namespace {

// Beyond this the tree reader decides (the caller has bounded the nesting already).
constexpr int kMaxDepth = 256;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool RequestTextReader::Read(const std::string& text, Fields& fields) {
    RequestTextReader r(text);
    r.SkipSpace();
    if (!r.Take('{')) {
        return false;
    }
    // A name given twice keeps its last value, as the tree reader's last member does.
    bool seen[5] = {};
    const bool ok = r.Members([&](const std::string& name) {
        static const char* const kNames[] = {"ReqUrl", "Method", "ReqBody", "ReqQuery", "Header"};
        std::string* const scalars[] = {&fields.reqUrl, &fields.method, &fields.reqBody};
        for (size_t i = 0; i < 5; ++i) {
            if (name != kNames[i]) {
                continue;
            }
            seen[i] = true;
            return i < 3    ? r.Value(1, scalars[i])
                   : i == 3 ? r.Query(fields.reqQuery)
                            : r.Headers(fields.header);
        }
        return r.Value(1, nullptr);
    });
    if (!ok) {
        return false;
    }
    r.SkipSpace();
    return r.p_ == r.end_ && seen[0] && seen[1] && seen[2] && seen[3] && seen[4];
}

void RequestTextReader::SkipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) {
        ++p_;
    }
}

bool RequestTextReader::Take(char c) {
    if (p_ != end_ && *p_ == c) {
        ++p_;
        return true;
    }
    return false;
}

bool RequestTextReader::String(std::string* out) {
    if (out != nullptr) {
        out->clear();
    }
    while (p_ != end_) {
        const char* run = p_;
        while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20 &&
               static_cast<unsigned char>(*p_) < 0x80) {
            ++p_;
        }
        if (out != nullptr) {
            out->append(run, p_);
        }
        if (p_ == end_) {
            return false;
        }
        const char c = *p_++;
        if (c == '"') {
            return true;
        }
        if (c != '\\' || p_ == end_) {
            return false;  // a control byte or a byte of UTF-8: the tree reader's rules
        }
        const char e = *p_++;
        const char* from = "\"\\/bfnrt";
        const char* to = "\"\\/\b\f\n\r\t";
        const char* at = std::strchr(from, e);
        if (e == '\0' || at == nullptr) {
            return false;  // \u, or not an escape
        }
        if (out != nullptr) {
            *out += to[at - from];
        }
    }
    return false;
}

bool RequestTextReader::Value(int depth, std::string* out) {
    SkipSpace();
    if (p_ == end_ || depth > kMaxDepth) {
        return false;
    }
    if (*p_ == '"') {
        ++p_;
        return String(out);
    }
    if (*p_ == '{' || *p_ == '[') {
        const bool object = *p_++ == '{';
        if (out != nullptr) {
            out->clear();
        }
        if (object) {
            return Members([&](const std::string&) { return Value(depth + 1, nullptr); });
        }
        SkipSpace();
        if (Take(']')) {
            return true;
        }
        for (;;) {
            if (!Value(depth + 1, nullptr)) {
                return false;
            }
            SkipSpace();
            if (Take(']')) {
                return true;
            }
            if (!Take(',')) {
                return false;
            }
        }
    }
    if (*p_ == '-' || IsDigit(*p_)) {
        return Number(out);
    }
    return Literal(out);
}

bool RequestTextReader::Number(std::string* out) {
    const char* start = p_;
    Take('-');
    if (Take('0')) {
    } else if (p_ != end_ && IsDigit(*p_)) {
        while (p_ != end_ && IsDigit(*p_)) ++p_;
    } else {
        return false;
    }
    if (Take('.')) {
        if (p_ == end_ || !IsDigit(*p_)) return false;
        while (p_ != end_ && IsDigit(*p_)) ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
        ++p_;
        if (!Take('+')) Take('-');
        if (p_ == end_ || !IsDigit(*p_)) return false;
        while (p_ != end_ && IsDigit(*p_)) ++p_;
    }
    if (out != nullptr) {
        out->assign(start, p_);
    }
    return true;
}

bool RequestTextReader::Literal(std::string* out) {
    for (const char* word : {"true", "false", "null"}) {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, word, n) == 0) {
            p_ += n;
            if (out != nullptr) {
                out->assign(word, n);
            }
            return true;
        }
    }
    return false;
}

template <typename OnMember>
bool RequestTextReader::Members(OnMember onMember) {
    SkipSpace();
    if (Take('}')) {
        return true;
    }
    std::string name;
    for (;;) {
        SkipSpace();
        // An empty name is how the tree marks array elements: such objects are left to it.
        if (!Take('"') || !String(&name) || name.empty()) {
            return false;
        }
        SkipSpace();
        if (!Take(':') || !onMember(name)) {
            return false;
        }
        SkipSpace();
        if (Take('}')) {
            return true;
        }
        if (!Take(',')) {
            return false;
        }
    }
}

bool RequestTextReader::Query(std::map<std::string, std::string>& query) {
    query.clear();
    SkipSpace();
    if (!Take('{')) {
        return false;  // an array or a plain value: left to the tree reader
    }
    std::string value;
    return Members([&](const std::string& name) {
        if (!Value(2, &value)) {
            return false;
        }
        query[name] = value;
        return true;
    });
}

bool RequestTextReader::Headers(std::map<std::string, std::string>& header) {
    header.clear();
    SkipSpace();
    if (!Take('{')) {
        return false;
    }
    std::string element;
    return Members([&](const std::string& name) {
        SkipSpace();
        if (!Take('[')) {
            return Value(2, nullptr);  // not a list of values: no header (an earlier one stays)
        }
        // A header's values joined by spaces; an empty list is no header.
        std::string joined;
        SkipSpace();
        if (Take(']')) {
            return true;
        }
        for (bool first = true;; first = false) {
            if (!Value(3, &element)) {
                return false;
            }
            if (!first) {
                joined += ' ';
            }
            joined += element;
            SkipSpace();
            if (Take(']')) {
                header[name] = std::move(joined);
                return true;
            }
            if (!Take(',')) {
                return false;
            }
        }
    });
}
