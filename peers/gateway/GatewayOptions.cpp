#include "GatewayOptions.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>

#include "proto/GatewayPath.h"

namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) {
        return false;
    }
    value = v;
    return true;
}

// Seconds with an optional fraction ("0.5"), as milliseconds.
bool ParseSeconds(const std::string& text, std::chrono::milliseconds& value) {
    size_t dot = text.find('.');
    uint64_t whole = 0;
    if (!ParseUnsigned(text.substr(0, dot), 86400 * 365, whole)) {
        return false;
    }
    uint64_t millis = 0;
    if (dot != std::string::npos) {
        std::string frac = text.substr(dot + 1);
        if (frac.empty() || frac.size() > 3 || !ParseUnsigned(frac, 999, millis)) {
            return false;
        }
        while (frac.size() < 3) {
            frac += '0';
            millis *= 10;
        }
    }
    value = std::chrono::milliseconds(whole * 1000 + millis);
    return value.count() > 0;
}

bool ParseListen(const std::string& text, std::string& host, uint16_t& port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {  // [::1]:8080
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            portText = text;  // a port alone
        } else {
            host = colon == 0 ? "0.0.0.0" : text.substr(0, colon);
            portText = text.substr(colon + 1);
        }
    }
    uint64_t value = 0;
    if (!ParseUnsigned(portText, 65535, value)) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return !host.empty();
}

// HOST:PORT for the operator view, or a bare PORT on the loopback: any other address has to be
// named, so that the counters are not shown to the network by accident. The host must be a
// numeric address.
bool ParseAdminListen(const std::string& text, std::string& host, uint16_t& port) {
    if (text.empty() || text[0] == ':') {
        return false;
    }
    host = "127.0.0.1";
    if (!ParseListen(text, host, port)) {
        return false;
    }
    unsigned char address[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

bool GatewayOptions::Parse(const std::vector<std::string>& args, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            help = true;
            continue;
        }
        if (name == "--version") {
            version = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        uint64_t number = 0;
        bool ok = true;
        if (name == "--listen") {
            ok = ParseListen(value, listenHost, listenPort);
        } else if (name == "--config") {
            configPath = value;
            ok = !value.empty();
        } else if (name == "--socket") {
            socketPath = value;
            ok = !value.empty();
        } else if (name == "--app-name") {
            appName = value;
            appNameGiven = true;
        } else if (name == "--socket-mode") {
            char* end = nullptr;
            long mode = strtol(value.c_str(), &end, 8);
            ok = !value.empty() && *end == '\0' && mode >= 0 && mode <= 0777;
            socketMode = static_cast<mode_t>(mode);
        } else if (name == "--threads") {
            ok = ParseUnsigned(value, 64, number) && number > 0;
            threads = static_cast<unsigned>(number);
        } else if (name == "--request-timeout") {
            ok = ParseSeconds(value, requestTimeout);
        } else if (name == "--idle-timeout") {
            ok = ParseSeconds(value, idleTimeout);
        } else if (name == "--config-poll") {
            ok = ParseSeconds(value, configPoll);
        } else if (name == "--demand-refresh") {
            ok = ParseSeconds(value, demandRefresh);
        } else if (name == "--max-body") {
            ok = ParseUnsigned(value, 1ULL << 32, number);
            maxBody = static_cast<size_t>(number);
        } else if (name == "--queue-limit") {
            ok = ParseUnsigned(value, 100000000, number) && number > 0;
            queueLimit = static_cast<size_t>(number);
        } else if (name == "--max-connections") {
            ok = ParseUnsigned(value, 100000000, number) && number > 0;
            maxConnections = static_cast<size_t>(number);
        } else if (name == "--trusted-user") {
            trustedUser = value;
            ok = !value.empty();
        } else if (name == "--admin-listen") {
            ok = ParseAdminListen(value, adminHost, adminPort);
            adminEnabled = ok;
        } else if (name == "--access-log") {
            accessLogPath = value;
            ok = !value.empty();
        } else {
            error = "unknown option " + name + " (see --help)";
            return false;
        }
        if (!ok) {
            error = "bad value for " + name + ": \"" + value + "\"";
            if (name == "--admin-listen") {
                error += " (PORT, or HOST:PORT with HOST a numeric address)";
            }
            return false;
        }
    }
    return true;
}

std::string GatewayOptions::GatewaySocketPath() const {
    if (!socketPath.empty()) {
        return socketPath;
    }
    if (appNameGiven) {
        std::string path = "/tmp/udsgateway-";
        for (char c : appName) {
            path += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return path;
    }
    return GetGatewayPath();
}

std::string GatewayOptions::Usage() {
    return "Usage: vessel-gateway [options]\n"
           "\n"
           "HTTP front of Vessel: takes HTTP requests for /<module>/..., hands them to the\n"
           "Vessel workers that pull for that module over the gateway socket, and returns\n"
           "their answers.\n"
           "\n"
           "  --listen HOST:PORT       HTTP address (default 127.0.0.1:8080; [::1]:8080, :8080)\n"
           "  --config FILE            application configuration, {\"Modules\":[...]};\n"
           "                           re-read when it changes (default: no modules)\n"
           "  --app-name NAME          gateway socket /tmp/udsgateway-<name lower-cased>\n"
           "                           (default: from APP_NAME, or /tmp/udsgateway)\n"
           "  --socket PATH            gateway socket path, overriding the two above\n"
           "  --socket-mode MODE       permissions of the socket file, octal (default 0600)\n"
           "  --trusted-user NAME      also admit processes of this user on the gateway socket\n"
           "                           (default: only the gateway's own user and root)\n"
           "  --threads N              event-loop threads (default: one for every two cores)\n"
           "  --request-timeout SEC    answer 504 after this long without a response (default 30)\n"
           "  --idle-timeout SEC       close idle or stalled HTTP connections (default 60)\n"
           "  --max-connections N      open HTTP connections at most; more are answered 503 and\n"
           "                           closed (default: descriptor limit minus a reserve for\n"
           "                           Vessel's connections, a quarter of it, 64 to 4096)\n"
           "  --max-body BYTES         largest request body; larger gets 413 (default 1048576)\n"
           "  --queue-limit N          requests waiting per module; more get 503 (default 10000)\n"
           "  --demand-refresh SEC     re-announce modules in use to Vessel this often (default 10)\n"
           "  --config-poll SEC        how often the configuration file is checked (default 0.5)\n"
           "  --admin-listen HOST:PORT serve GET /status (JSON, or HTML with ?html) and /metrics\n"
           "                           (Prometheus) there; a bare PORT is 127.0.0.1:PORT\n"
           "                           (default: off)\n"
           "  --access-log FILE        one line per answered request; reopened on SIGUSR1\n"
           "                           (default: off)\n"
           "  --version                print the version and exit\n"
           "  --help                   this text\n"
           "\n"
           "Signals: TERM and INT stop the gateway and remove its socket; HUP re-reads the\n"
           "configuration at once; USR1 reopens the access log.\n";
}
