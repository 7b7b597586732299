#include "app/StatusCommand.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <vector>

#include "proto/GatewayPath.h"
#include "proto/PipeCmdPojo.h"

namespace pt = boost::property_tree;

namespace {

using Clock = std::chrono::steady_clock;

// The master's channel line limit: a longer answer is not the master's.
constexpr size_t kMaxAnswer = 64 * 1024;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Sends the status request on a fresh connection and reads the one line that answers it; "" and
// the reason in why when that fails.
std::string Ask(const std::string& path, std::string& why) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        why = "channel path too long for a socket (" + path + ")";
        return "";
    }
    path.copy(addr.sun_path, path.size());
    Fd sock;
    sock.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock.fd < 0) {
        why = std::string("socket: ") + strerror(errno);
        return "";
    }
    // Bounds the connect too: on a Unix socket it waits while the master's backlog is full.
    timeval limit{StatusCommand::kTimeoutSeconds, 0};
    setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    if (connect(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        if (err == ENOENT || err == ECONNREFUSED)
            why = "no vessel master is running (" + path + ")";
        else if (err == EACCES)
            why = "cannot reach the vessel master at " + path + ": " + strerror(err) +
                  " (run vessel status as the master's user)";
        else
            why = "cannot reach the vessel master at " + path + ": " + strerror(err);
        return "";
    }
    // The master answers its own user only (root included), and /tmp is everyone's: what listens
    // there must run as we do before we ask it or believe its answer.
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (getsockopt(sock.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        why = "cannot tell who listens at " + path + ": " + strerror(errno);
        return "";
    }
    if (cred.uid != geteuid()) {
        why = "the process listening at " + path + " runs as uid " + std::to_string(cred.uid) +
              ", not as this user: run vessel status as the master's user";
        return "";
    }
    const std::string request = PipeCmdPojo::BuildProcessCmd("status");
    if (send(sock.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        why = "cannot send to the vessel master at " + path + ": " + strerror(errno);
        return "";
    }
    const auto deadline = Clock::now() + std::chrono::seconds(StatusCommand::kTimeoutSeconds);
    std::string answer;
    char buf[8192];
    for (;;) {
        size_t end = answer.find('\n');
        if (end != std::string::npos) return answer.substr(0, end);
        if (answer.size() > kMaxAnswer) {
            why = "the answer from " + path + " is too long to be the master's";
            return "";
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{sock.fd, POLLIN, 0};
        int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            why = "no answer from the vessel master at " + path + " within " +
                  std::to_string(StatusCommand::kTimeoutSeconds) + " s";
            return "";
        }
        ssize_t n = ready < 0 ? -1 : read(sock.fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = "the vessel master at " + path + " closed the connection without an answer";
            return "";
        }
        answer.append(buf, static_cast<size_t>(n));
    }
}

std::string Time(const std::string& seconds) {
    if (seconds.empty() || seconds == "null") return "-";
    time_t t = static_cast<time_t>(strtoll(seconds.c_str(), nullptr, 10));
    tm local{};
    char text[32];
    if (localtime_r(&t, &local) == nullptr || strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) == 0)
        return seconds;
    return text;
}

std::string Memory(const std::string& kb) {
    if (kb.empty() || kb == "null") return "-";
    long long value = strtoll(kb.c_str(), nullptr, 10);
    if (value < 1024) return std::to_string(value) + " KiB";
    char text[32];
    snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(value) / 1024.0);
    return text;
}

std::string OrDash(const std::string& value) {
    return value.empty() || value == "null" ? "-" : value;
}

// Columns two spaces apart, each as wide as its widest cell; the last one is not padded.
void PrintRows(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        out << line << "\n";
    }
}

}  // namespace

int StatusCommand::Run(bool json, std::ostream& out, std::ostream& err) {
    const std::string path = GetMasterChannelPath();
    std::string why;
    const std::string answer = Ask(path, why);
    if (answer.empty()) {
        err << "vessel: " << (why.empty() ? "empty answer from the vessel master at " + path : why) << "\n";
        return 1;
    }
    if (json) {
        out << answer << "\n";
        return 0;
    }
    if (!FormatTable(answer, out)) {
        err << "vessel: the answer from " << path << " is not a status: " << answer.substr(0, 200) << "\n";
        return 1;
    }
    return 0;
}

bool StatusCommand::FormatTable(const std::string& json, std::ostream& out) {
    pt::ptree tree;
    try {
        std::istringstream in(json);
        pt::read_json(in, tree);
    } catch (const pt::ptree_error&) {
        return false;
    }
    auto workers = tree.get_child_optional("workers");
    auto modules = tree.get_child_optional("modules");
    if (!workers || !modules) return false;
    out << "master " << tree.get("master.pid", std::string("-")) << ", resident "
        << Memory(tree.get("master.rssKb", std::string())) << "\n\n";

    std::vector<std::vector<std::string>> rows{{"WORKER", "KIND", "STARTED", "RSS", "EXITING", "MODULES"}};
    for (const auto& entry : *workers) {
        const pt::ptree& w = entry.second;
        std::string names;
        if (auto placed = w.get_child_optional("modules")) {
            for (const auto& m : *placed) names += (names.empty() ? "" : ", ") + m.second.data();
        }
        rows.push_back({w.get("pid", std::string()), OrDash(w.get("kind", std::string())),
                        Time(w.get("started", std::string())), Memory(w.get("rssKb", std::string())),
                        w.get("exiting", std::string()) == "true" ? "yes" : "no", OrDash(names)});
    }
    if (rows.size() == 1)
        out << "no workers\n";
    else
        PrintRows(rows, out);
    out << "\n";

    rows = {{"MODULE", "VERSION", "WORKER", "STATE", "LAST DEMAND"}};
    for (const auto& entry : *modules) {
        const pt::ptree& m = entry.second;
        rows.push_back({m.get("name", std::string()), m.get("version", std::string()),
                        OrDash(m.get("worker", std::string())), m.get("state", std::string()),
                        Time(m.get("lastDemand", std::string()))});
    }
    if (rows.size() == 1)
        out << "no modules\n";
    else
        PrintRows(rows, out);
    if (tree.get("truncated", std::string()) == "true")
        out << "\n(more not shown: the answer reached its size limit)\n";
    return true;
}
