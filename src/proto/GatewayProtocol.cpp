#include "proto/GatewayProtocol.h"

#include <unistd.h>

#include <cstdio>
#include <limits>

#include "base/Log.h"

namespace {

const char* const KEY_SEPARATOR = "||";

// Strict signed decimal: an optional sign and at least one digit, nothing else, no overflow.
// Number headers come from the peer, so "12abc" or " 12" must not pass as 12.
bool ParseDecimal(const char* text, size_t len, int64_t& value) {
    size_t pos = 0;
    bool negative = false;
    if (pos < len && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == len) {
        return false;
    }
    const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                    : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t acc = 0;
    for (; pos < len; ++pos) {
        char c = text[pos];
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (acc > (limit - digit) / 10) {
            return false;
        }
        acc = acc * 10 + digit;
    }
    value = negative ? static_cast<int64_t>(0 - acc) : static_cast<int64_t>(acc);
    return true;
}

bool IsNullHeader(const std::string& header) {
    return header == "$-1" || header == "*-1";
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
}

// The bulk-string form: "$" length, then the value line.
int32_t ParseBulkReply(const std::vector<std::string>& lines, std::vector<std::string>& out) {
    const std::string& header = lines[0];
    if (IsNullHeader(header)) {
        return 0;
    }
    int64_t len = 0;
    if (!ParseDecimal(header.data() + 1, header.size() - 1, len)) {
        LOG_INFO("bad length header," + header);
        return -1;
    }
    if (lines.size() > 1 && !lines[1].empty()) {
        out.push_back(lines[1]);
    }
    return 0;
}

// The array form: walked as (header, value) line pairs. The count only decides whether to walk;
// it does not limit the pairs, and lengths are not compared with the values.
int32_t ParseArrayReply(const std::vector<std::string>& lines, std::vector<std::string>& out) {
    bool ok = false;
    int64_t count = ParseInt(lines[0], &ok);
    if (!ok) {
        LOG_INFO("bad count header," + lines[0]);
        return -1;
    }
    if (count <= 0) {
        return 0;
    }
    // Collected aside so that a bad length further on leaves out untouched.
    std::vector<std::string> values;
    for (size_t i = 1; i + 1 < lines.size(); i += 2) {
        const std::string& header = lines[i];
        const std::string& value = lines[i + 1];
        if (IsNullHeader(header)) {
            continue;
        }
        int64_t len = 0;
        if (!header.empty() && header[0] == '$' && !ParseDecimal(header.data() + 1, header.size() - 1, len)) {
            LOG_INFO("bad length header," + header);
            return -1;
        }
        if (!value.empty()) {
            values.push_back(value);
        }
    }
    out.insert(out.end(), values.begin(), values.end());
    return 0;
}

}  // namespace

std::string Serialize(const std::vector<std::string>& parts) {
    size_t total = 16;
    for (const auto& part : parts) {
        total += part.size() + 24;
    }
    std::string text;
    text.reserve(total);
    text += "*" + std::to_string(parts.size()) + "\r\n";
    for (const auto& part : parts) {
        text += "$" + std::to_string(part.size()) + "\r\n";
        text += part;
        text += "\r\n";
    }
    return text;
}

int64_t ParseInt(const std::string& header, bool* ok) {
    if (ok != nullptr) {
        *ok = true;
    }
    if (IsNullHeader(header)) {
        return 0;
    }
    if (header.size() < 2) {
        // Flushed at once: workers leave with _exit, which would drop a buffered line.
        std::fputs("[ParseInt] b[] < 4\n", stdout);
        std::fflush(stdout);
        return -1;
    }
    int64_t value = 0;
    if (!ParseDecimal(header.data() + 1, header.size() - 1, value)) {
        if (ok != nullptr) {
            *ok = false;
        }
        return -1;
    }
    return value;
}

int32_t parseSchema(const std::string& text, std::vector<std::string>& out) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c != '\r') {
            clean.push_back(c);
        }
    }
    std::vector<std::string> lines = SplitLines(clean);
    const std::string& first = lines[0];
    if (!first.empty() && first[0] == '$') {
        return ParseBulkReply(lines, out);
    }
    if (!first.empty() && first[0] == '*') {
        return ParseArrayReply(lines, out);
    }
    LOG_INFO("unknow schema," + first);
    return -1;
}

std::string ModuleKeyToString(const ModuleKey& key) {
    return key.GetName() + KEY_SEPARATOR + key.GetVersion();
}

std::string ClientId(const std::string& name, const std::string& version, pid_t pid) {
    return name + KEY_SEPARATOR + version + KEY_SEPARATOR + std::to_string(pid);
}

ModuleKey SplitModuleKey(const std::string& keyText) {
    size_t pos = keyText.find(KEY_SEPARATOR);
    if (pos == std::string::npos) {
        return ModuleKey();
    }
    return ModuleKey(keyText.substr(0, pos), keyText.substr(pos + 2));
}

std::vector<std::string> BuildPullReq(const ModuleKey& key) {
    return BuildPullReq(key, getpid());
}

std::vector<std::string> BuildPullReq(const ModuleKey& key, pid_t pid) {
    return {"pullreq", ClientId(key.GetName(), key.GetVersion(), pid)};
}

std::vector<std::string> BuildResponseReqParts(const std::string& clientId, const std::string& requestId,
                                               uint32_t status, const std::string& body) {
    return {"responsereq", clientId, requestId, std::to_string(status), body, ""};
}
