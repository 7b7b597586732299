// The operator view of the real vessel-gateway binary (/status, /metrics, the access log) under
// requests answered by scripted workers, and the options that switch it on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "GatewayPeer.h"
#include "support/GatewayProcess.h"
#include "support/HttpTestClient.h"

namespace pt = boost::property_tree;

namespace {

// calc, and a module whose name needs escaping in every output.
const std::string ODD = "<script>\"a\\b\"";
const std::string CONFIG =
    "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"/m\",\"Type\":\"C_MODULE\"},"
    "{\"Name\":\"<script>\\\"a\\\\b\\\"\",\"Version\":\"7\",\"Location\":\"/o\",\"Type\":\"GO\"}]}";

// One sample of the Prometheus text format: name, labels (unescaped) and value.
struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// Every line a comment, a blank or `name{labels} value`; every sample's family has # TYPE.
std::vector<Sample> ParseMetrics(const std::string& text) {
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
    static const std::regex label(R"re(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"(,|$))re");
    std::vector<Sample> out;
    std::set<std::string> typed;
    for (const std::string& line : testsupport::SplitLines(text)) {
        std::smatch m;
        if (line.empty()) continue;
        if (line.rfind("# TYPE ", 0) == 0) typed.insert(line.substr(7, line.find(' ', 7) - 7));
        if (line[0] == '#') continue;
        if (!std::regex_match(line, m, sample)) {
            ADD_FAILURE() << "not a sample: " << line;
            continue;
        }
        Sample s{m[1], {}, std::stod(m[4])};
        std::string rest = m[3];
        for (std::smatch l; !rest.empty(); rest = l.suffix()) {
            if (!std::regex_search(rest, l, label) || l.position(0) != 0) {
                ADD_FAILURE() << "bad labels: " << line;
                break;
            }
            std::string value;
            const std::string raw = l.str(2);
            for (size_t i = 0; i < raw.size(); ++i) {
                char c = raw[i];
                value += c == '\\' ? (raw[++i] == 'n' ? '\n' : raw[i]) : c;
            }
            s.labels[l.str(1)] = value;
        }
        std::string family = std::regex_replace(s.name, std::regex("_(bucket|sum|count)$"), "");
        EXPECT_TRUE(typed.count(s.name) || typed.count(family)) << "no # TYPE for " << s.name;
        out.push_back(std::move(s));
    }
    return out;
}

double Sum(const std::vector<Sample>& samples, const std::string& name,
           const std::map<std::string, std::string>& match) {
    double total = 0;
    for (const Sample& s : samples) {
        bool all = s.name == name;
        for (const auto& [k, v] : match) all = all && s.labels.count(k) && s.labels.at(k) == v;
        if (all) total += s.value;
    }
    return total;
}

// Start and end tags nest properly (void elements aside).
bool Balanced(const std::string& html) {
    std::vector<std::string> open;
    static const std::regex tag(R"(<(/?)([a-zA-Z!][a-zA-Z0-9]*)[^>]*>)");
    for (std::sregex_iterator it(html.begin(), html.end(), tag), end; it != end; ++it) {
        std::string name = (*it)[2];
        if (name == "!DOCTYPE" || name == "meta") continue;
        if ((*it)[1].length() == 0) {
            open.push_back(name);
        } else if (open.empty() || open.back() != name) {
            return false;
        } else {
            open.pop_back();
        }
    }
    return open.empty();
}

pid_t GatewayPid(const std::string& socketPath) {
    int fd = testsupport::ConnectUnix(socketPath);
    ucred cred{};
    socklen_t len = sizeof(cred);
    bool ok = fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    if (fd >= 0) close(fd);
    return ok ? cred.pid : 0;
}

class GatewayAdminTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure()) std::cerr << "gateway log:\n" << gw_.Log();
        EXPECT_EQ(gw_.Stop(), 0);
    }
    HttpTestResponse Admin(const std::string& target) { return HttpTestClient::Get(adminPort_, target); }
    pt::ptree Status() {
        pt::ptree tree;
        std::istringstream in(Admin("/status").body);
        pt::read_json(in, tree);
        return tree;
    }
    static pt::ptree Calc(const pt::ptree& status) {
        for (const auto& m : status.get_child("modules"))
            if (m.second.get<std::string>("name") == "calc") return m.second;
        return {};
    }
    // What `vessel-gateway args...` prints (stdout and stderr) and its exit code.
    static std::pair<std::string, int> RunGateway(const std::vector<std::string>& args) {
        testsupport::TempDir dir("gwopt");
        std::vector<std::string> argv{GatewayProcess::BinaryPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::ChildProcess child;
        const std::string out = dir / "out";
        if (!child.Exec(argv, {}, out)) return {"", -1};
        int status = child.Wait(10s);
        return {testsupport::ReadFile(out), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    testsupport::TempDir dir_{"gwadm"};
    GatewayProcess gw_;
    int adminPort_ = GatewayProcess::FreePort();
};

TEST_F(GatewayAdminTest, CountsEveryAnswerByModuleAndClassAndShowsWhoPulls) {
    const std::string log = dir_ / "access.log";
    ASSERT_TRUE(gw_.Start(CONFIG, {"--admin-listen", std::to_string(adminPort_), "--access-log", log}))
        << gw_.Log();
    Peer pull, replier;
    ASSERT_TRUE(pull.Connect(gw_.SocketPath()) && replier.Connect(gw_.SocketPath()));

    // 12 requests wait, one is taken, then all are answered: 8 with 200, 4 with 500.
    std::vector<std::unique_ptr<HttpTestClient>> clients;
    for (int i = 0; i < 12; ++i) {
        clients.push_back(std::make_unique<HttpTestClient>());
        ASSERT_TRUE(clients.back()->Connect(gw_.Port()) &&
                    clients.back()->SendRequest("GET", "/calc/n" + std::to_string(i)));
    }
    ASSERT_TRUE(testsupport::WaitFor([&] { return Calc(Status()).get("queued", 0) == 12; }, 5s))
        << Admin("/status").body;
    Parts first = pull.Take();
    pt::ptree calc = Calc(Status());
    EXPECT_EQ(calc.get("queued", 0), 11);
    EXPECT_EQ(calc.get("inFlight", 0), 1);
    EXPECT_EQ(calc.get("workers..pid", 0), getpid());
    for (int i = 0; i < 12; ++i) {
        Parts message = i == 0 ? first : pull.Take();
        const int n = std::stoi(Req(message).reqUrl.substr(7));  // "/calc/n<n>"
        ASSERT_TRUE(Answer(replier, message, "ok", n % 3 == 0 ? "500" : "200"));
    }
    for (auto& client : clients) EXPECT_NE(client->Read(5s).status, 0);
    for (const char* unknown : {"/nosuch/a", "/", "/nosuch/b%01"})
        EXPECT_EQ(HttpTestClient::Get(gw_.Port(), unknown).status, 404);

    pt::ptree status = Status();
    calc = Calc(status);
    EXPECT_EQ(status.get("requests.total", 0), 15);
    EXPECT_EQ(status.get("requests.noModule.4xx", 0), 3);
    EXPECT_EQ(calc.get("answered.2xx", 0), 8);
    EXPECT_EQ(calc.get("answered.5xx", 0), 4);
    EXPECT_EQ(calc.get("queued", -1) + calc.get("inFlight", -1), 0);
    EXPECT_GT(calc.get("latencyMs.p99", 0.0), 0.0);
    EXPECT_LE(calc.get("latencyMs.p50", 0.0), calc.get("latencyMs.p99", 0.0));
    EXPECT_EQ(status.get("connections.worker", 0), 2);

    HttpTestResponse metrics = Admin("/metrics");
    EXPECT_EQ(metrics.headers["content-type"].rfind("text/plain; version=0.0.4", 0), 0u);
    std::vector<Sample> samples = ParseMetrics(metrics.body);
    EXPECT_EQ(Sum(samples, "vessel_gateway_requests_total", {}), 15);
    EXPECT_EQ(Sum(samples, "vessel_gateway_requests_total", {{"module", "calc"}, {"code", "2xx"}}), 8);
    EXPECT_EQ(Sum(samples, "vessel_gateway_requests_total", {{"module", ""}, {"code", "4xx"}}), 3);
    EXPECT_EQ(Sum(samples, "vessel_gateway_queue_depth", {}) +
                  Sum(samples, "vessel_gateway_requests_in_flight", {}),
              0);
    EXPECT_EQ(Sum(samples, "vessel_gateway_workers", {{"module", "calc"}, {"version", "1.0"}}), 1);
    EXPECT_EQ(Sum(samples, "vessel_gateway_workers", {{"module", ODD}, {"version", "7"}}), 0);
    EXPECT_EQ(Sum(samples, "vessel_gateway_connections", {{"kind", "worker"}}), 2);
    double previous = 0, infinite = -1;
    for (const Sample& s : samples) {
        if (s.name != "vessel_gateway_request_duration_seconds_bucket" || s.labels.at("module") != "calc")
            continue;
        EXPECT_GE(s.value, previous) << "buckets are cumulative";
        previous = s.value;
        if (s.labels.at("le") == "+Inf") infinite = s.value;
    }
    EXPECT_EQ(infinite, 12);
    EXPECT_EQ(Sum(samples, "vessel_gateway_request_duration_seconds_count", {{"module", "calc"}}), 12);

    // The access log: one line per answer, written within a second or so.
    const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d 127\.0\.0\.1 GET (\S+) (\d{3}) (\d+) \d+\.\d{3} (\S+) (\S+) (\S+))");
    std::vector<std::string> lines;
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return (lines = testsupport::SplitLines(testsupport::ReadFile(log))).size() >= 15; }, 5s));
    std::map<std::string, std::string> byPath;  // path -> "status bytes module version pid"
    for (const std::string& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        byPath[m[1]] = m.str(2) + " " + m.str(3) + " " + m.str(4) + " " + m.str(5) + " " + m.str(6);
    }
    const std::string me = std::to_string(getpid());
    EXPECT_EQ(byPath["/calc/n0"], "500 2 calc 1.0 " + me);
    EXPECT_EQ(byPath["/calc/n1"], "200 2 calc 1.0 " + me);
    EXPECT_EQ(byPath["/nosuch/b%01"].substr(0, 4), "404 ");
    EXPECT_EQ(byPath["/nosuch/b%01"].substr(byPath["/nosuch/b%01"].size() - 6), " - - -");

    // Rotation: renamed away, SIGUSR1, and the next line goes to a new file.
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(kill(GatewayPid(gw_.SocketPath()), SIGUSR1), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return access(log.c_str(), F_OK) == 0; }, 5s));
    EXPECT_EQ(HttpTestClient::Get(gw_.Port(), "/after/rotation").status, 404);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return testsupport::ReadFile(log).find(" /after/rotation 404 ") != std::string::npos; }, 5s));
    EXPECT_EQ(testsupport::SplitLines(testsupport::ReadFile(log + ".1")).size(), 15u);
}

TEST_F(GatewayAdminTest, WorkersComeAndGoAndTheHtmlPageEscapesWhatItShows) {
    ASSERT_TRUE(gw_.Start(CONFIG, {"--admin-listen", "127.0.0.1:" + std::to_string(adminPort_)}))
        << gw_.Log();
    auto pids = [&] {
        std::set<int> out;
        const pt::ptree calc = Calc(Status()), none;
        for (const auto& w : calc.get_child("workers", none)) out.insert(w.second.get("pid", 0));
        return out;
    };
    // A worker process pulling calc, until it is killed.
    auto worker = [&] {
        auto child = std::make_unique<testsupport::ChildProcess>();
        child->Fork([&] {
            Peer p;
            return p.Connect(gw_.SocketPath()) && p.Send({"pullreq", ME}) ? (pause(), 0) : 1;
        });
        return child;
    };
    auto one = worker();
    ASSERT_TRUE(testsupport::WaitFor([&] { return pids() == std::set<int>{one->Pid()}; }, 5s))
        << Admin("/status").body;
    one->Kill(SIGKILL);
    auto two = worker();
    EXPECT_TRUE(testsupport::WaitFor([&] { return pids() == std::set<int>{two->Pid()}; }, 5s))
        << Admin("/status").body;

    for (const std::string target : {"/status?html", "/status?x=1&html"}) {
        HttpTestResponse page = Admin(target);
        EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8") << target;
        EXPECT_NE(page.body.find("<meta http-equiv=\"refresh\" content=\"2\">"), std::string::npos);
        EXPECT_TRUE(Balanced(page.body)) << page.body;
        EXPECT_NE(page.body.find("&lt;script&gt;&quot;a\\b&quot;"), std::string::npos) << page.body;
        EXPECT_EQ(page.body.find("<script>"), std::string::npos);
        EXPECT_NE(page.body.find("<div>" + std::to_string(two->Pid()) + ", "), std::string::npos);
    }
    HttpTestClient client;  // a browser asks for HTML by its Accept header
    ASSERT_TRUE(client.Connect(adminPort_) &&
                client.Send("GET /status HTTP/1.1\r\nHost: x\r\nAccept: text/html,*/*\r\n\r\n"));
    EXPECT_EQ(client.Read().headers["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(Admin("/other").status, 404);
    ASSERT_TRUE(client.SendRequest("POST", "/status", "x"));
    EXPECT_EQ(client.Read().status, 405);
}

TEST_F(GatewayAdminTest, OptionsVersionAndNoListenerByDefault) {
    auto [version, code] = RunGateway({"--version"});
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(std::regex_match(version, std::regex("vessel-gateway \\d+\\.\\d+\\.\\d+\n"))) << version;
    for (const char* bad : {"localhost:9000", ":9000", "127.0.0.1:70000", "x"}) {
        auto [out, status] = RunGateway({"--admin-listen", bad});
        EXPECT_EQ(status, 2) << bad;
        EXPECT_NE(out.find("bad value for --admin-listen"), std::string::npos) << out;
    }

    // Without the option the gateway listens on its HTTP port only.
    ASSERT_TRUE(gw_.Start(CONFIG)) << gw_.Log();
    const pid_t pid = GatewayPid(gw_.SocketPath());
    std::set<std::string> inodes;  // of the gateway's sockets
    for (const std::string& fd : testsupport::ListDir("/proc/" + std::to_string(pid) + "/fd")) {
        char target[128] = {};
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + fd;
        if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 &&
            std::string(target).rfind("socket:[", 0) == 0)
            inodes.insert(std::string(target).substr(8, strlen(target) - 9));
    }
    int listening = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        for (const std::string& row : testsupport::SplitLines(testsupport::ReadFile(table))) {
            std::istringstream fields(row);
            std::string f[10];
            for (auto& x : f) fields >> x;
            listening += f[3] == "0A" && inodes.count(f[9]);  // state LISTEN, our inode
        }
    }
    EXPECT_EQ(listening, 1);

    // And the version it reports is the one it prints.
    EXPECT_EQ(gw_.Stop(), 0);
    ASSERT_TRUE(gw_.Start(CONFIG, {"--admin-listen", std::to_string(adminPort_)})) << gw_.Log();
    EXPECT_EQ("vessel-gateway " + Status().get<std::string>("version") + "\n", version);
}

}  // namespace
