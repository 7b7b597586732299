// Load driver for the request path alone: plays the gateway for the real vessel binary with one
// C module, keeps N requests outstanding and measures "message" -> "responsereq".
//
//   request_path --vessel BIN --module-dir DIR [--seconds S] [--concurrency N] [--warmup S]
//                [--log-level L]   (DevLogLevel, default 3: every Info line written)
//                [--pull-connections N]   (modulePullConnections; default: the container's)
//
// It listens on the gateway socket of its own APP_NAME, starts vessel in a temporary home,
// answers "pullappcfg" with a configuration of the module "calc" and the first "pullmodloadreq"
// with its key, so that one worker hosts it. From then on every "pullreq" of the worker is
// answered with a "message" while fewer than N requests are outstanding, else it is held until a
// "responsereq" comes back. Replies are matched by request id and checked (x+y).
// Prints one line of key=value pairs: rps, p50_us, p99_us, errors and the RSS of master and
// worker (idle before the load, and at the end of it).
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Parts = std::vector<std::string>;

struct Options {
    std::string vessel;
    std::string moduleDir;
    double seconds = 5;
    double warmup = 1;
    int concurrency = 16;
    int logLevel = 3;  // DevLogLevel of the run; 3 (Info) as deployed, higher only to measure logging's share
    int pulls = 0;     // modulePullConnections of the run; 0: the container's default
};

std::string Serialize(const Parts& parts) {
    std::string out = "*" + std::to_string(parts.size()) + "\r\n";
    for (const auto& p : parts) {
        out += "$" + std::to_string(p.size()) + "\r\n" + p + "\r\n";
    }
    return out;
}

// One RESP array of bulk strings from the front of buf: 1 and consumed set when whole, 0 when
// more bytes are needed, -1 when it is no such frame.
int ParseFrame(const std::string& buf, Parts& parts, size_t& consumed) {
    parts.clear();
    size_t pos = 0;
    auto line = [&](long& value, char lead) -> int {
        size_t eol = buf.find("\r\n", pos);
        if (eol == std::string::npos) return 0;
        if (buf[pos] != lead) return -1;
        value = strtol(buf.c_str() + pos + 1, nullptr, 10);
        pos = eol + 2;
        return 1;
    };
    if (buf.empty()) return 0;
    long count = 0;
    int rc = line(count, '*');
    if (rc <= 0) return rc;
    for (long i = 0; i < count; ++i) {
        long len = 0;
        if (pos >= buf.size()) return 0;
        rc = line(len, '$');
        if (rc <= 0) return rc;
        if (len < 0) return -1;
        if (buf.size() < pos + static_cast<size_t>(len) + 2) return 0;
        parts.emplace_back(buf, pos, static_cast<size_t>(len));
        pos += static_cast<size_t>(len) + 2;
    }
    consumed = pos;
    return 1;
}

long RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
}

bool WriteAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // Peers read promptly; a full socket buffer is rare and short.
            usleep(50);
            continue;
        }
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

struct Conn {
    int fd = -1;
    std::string in;
};

class Driver {
public:
    explicit Driver(Options o) : opt(std::move(o)) {}
    int Run();

private:
    void Setup();
    bool StartVessel();
    void OnFrame(Conn& c, const Parts& parts);
    void SendMessage(int fd);
    void Loop(Clock::time_point until, bool (Driver::*done)());
    bool WorkerReady() { return workerPid > 0 && loaded; }
    bool Never() { return false; }
    void StopVessel();

    Options opt;
    std::string app;
    std::string home;
    std::string sockPath;
    int listenFd = -1;
    int ep = -1;
    std::map<int, Conn> conns;
    pid_t master = -1;
    pid_t workerPid = -1;
    std::deque<int> heldPulls;  // pull connections whose "pullreq" waits for a free slot
    bool loaded = false;        // a reply has come back: the module runs
    bool demandSent = false;
    int outstanding = 0;
    uint64_t nextId = 1;
    std::unordered_map<std::string, Clock::time_point> sent;
    bool measuring = false;
    long done = 0;
    long errors = 0;
    std::vector<double> lat;
    std::string requestJson;
};

void Driver::Setup() {
    app = "benchrp" + std::to_string(getpid());
    char tmpl[] = "/tmp/vessel-bench-XXXXXX";
    home = mkdtemp(tmpl);
    mkdir((home + "/conf").c_str(), 0755);
    mkdir((home + "/logs").c_str(), 0755);
    WriteFile(
        home + "/conf/container.json",
        "{\"maxModulePerSubprocess\":10,\"moduleIdleTime\":3600,\"moduleLifeCheckDelay\":60," +
            (opt.pulls > 0 ? "\"modulePullConnections\":" + std::to_string(opt.pulls) + "," : std::string()) +
            "\"moduleRequestTimeout\":5}\n");
    // Info lines on, as deployed: every request writes its log lines.
    WriteFile(home + "/conf/containerlog.json",
              "{\"DevLogLevel\":" + std::to_string(opt.logLevel) +
                  ",\"LogBufferWriteRate\":1,\"LogBufferNum\":100,\"MaxFileSize\":20,"
                  "\"MaxFileNum\":20}\n");
    sockPath = "/tmp/udsgateway-" + app;
    requestJson =
        "{\"ReqUrl\":\"/calc/"
        "add\",\"Method\":\"GET\",\"ReqBody\":\"\",\"ReqQuery\":{\"x\":\"40\",\"y\":\"2\"},"
        "\"Header\":{\"Host\":[\"127.0.0.1:8080\"],\"User-Agent\":[\"request_path\"]}}";
}

bool Driver::StartVessel() {
    master = fork();
    if (master < 0) return false;
    if (master == 0) {
        if (chdir(home.c_str()) != 0) _exit(127);
        setenv("APP_NAME", app.c_str(), 1);
        setenv("VESSEL_HOME", home.c_str(), 1);
        setenv("_APP_LOG_DIR", (home + "/logs").c_str(), 1);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execl(opt.vessel.c_str(), opt.vessel.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return true;
}

void Driver::SendMessage(int fd) {
    std::string id = std::to_string(nextId++);
    sent[id] = Clock::now();
    ++outstanding;
    WriteAll(fd, Serialize({"message", "calc", id, requestJson}));
}

void Driver::OnFrame(Conn& c, const Parts& parts) {
    if (parts.empty()) return;
    const std::string& cmd = parts[0];
    if (cmd == "pullappcfg") {
        std::string json = "{\"Modules\":[{\"Name\":\"calc\",\"Version\":\"1.0\",\"Location\":\"" +
                           opt.moduleDir + "\",\"Type\":\"C_MODULE\"}]}";
        WriteAll(c.fd, Serialize({"appcfg", json}));
    } else if (cmd == "pullmodloadreq") {
        if (!demandSent) {
            demandSent = true;
            WriteAll(c.fd, Serialize({"pullmodloadrsp", "calc||1.0"}));
        }  // later demands stay held: nothing else is wanted
    } else if (cmd == "pullreq") {
        if (parts.size() >= 2 && workerPid < 0) {
            size_t cut = parts[1].rfind("||");
            if (cut != std::string::npos) workerPid = static_cast<pid_t>(atol(parts[1].c_str() + cut + 2));
        }
        if (outstanding < opt.concurrency && (loaded || outstanding == 0)) {
            SendMessage(c.fd);
        } else {
            heldPulls.push_back(c.fd);
        }
    } else if (cmd == "responsereq") {
        if (parts.size() < 5) {
            ++errors;
            return;
        }
        auto it = sent.find(parts[2]);
        if (it == sent.end()) {
            ++errors;
            return;
        }
        auto t = it->second;
        sent.erase(it);
        --outstanding;
        loaded = true;
        if (parts[3] != "200" || parts[4] != "42") ++errors;
        if (measuring) {
            ++done;
            lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
        }
        if (!heldPulls.empty()) {
            const int fd = heldPulls.front();
            heldPulls.pop_front();
            SendMessage(fd);
        }
    }
    // "pullappcfgchg" and anything else: held for ever.
}

void Driver::Loop(Clock::time_point until, bool (Driver::*stop)()) {
    epoll_event events[64];
    std::vector<char> buf(65536);
    while (Clock::now() < until && !(this->*stop)()) {
        int n = epoll_wait(ep, events, 64, 100);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listenFd) {
                int cfd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (cfd < 0) continue;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.fd = cfd;
                epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &ev);
                conns[cfd].fd = cfd;
                continue;
            }
            Conn& c = conns[fd];
            ssize_t r = read(fd, buf.data(), buf.size());
            if (r <= 0) {
                if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                heldPulls.erase(std::remove(heldPulls.begin(), heldPulls.end(), fd), heldPulls.end());
                conns.erase(fd);
                continue;
            }
            c.in.append(buf.data(), static_cast<size_t>(r));
            Parts parts;
            size_t used = 0;
            size_t off = 0;
            for (;;) {
                // Parse from the front; frames are small, so erasing the used part is cheap.
                int rc = ParseFrame(c.in, parts, used);
                if (rc <= 0) {
                    if (rc < 0) c.in.clear();
                    break;
                }
                c.in.erase(0, used);
                OnFrame(c, parts);
                (void)off;
            }
        }
    }
}

void Driver::StopVessel() {
    if (master <= 0) return;
    kill(master, SIGTERM);
    auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        if (waitpid(master, nullptr, WNOHANG) == master) {
            master = -1;
            break;
        }
        usleep(20000);
    }
    if (master > 0) {
        kill(-master, SIGKILL);  // the master leads its own process group, workers included
        waitpid(master, nullptr, 0);
    }
    if (workerPid > 0) kill(workerPid, SIGKILL);
}

int Driver::Run() {
    Setup();
    signal(SIGPIPE, SIG_IGN);
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sockPath.c_str());
    unlink(sockPath.c_str());
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listenFd, 64) != 0) {
        perror("request_path: listen");
        return 1;
    }
    ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd;
    epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    if (!StartVessel()) return 1;

    int rc = 0;
    long idleMaster = -1, idleWorker = -1, loadMaster = -1, loadWorker = -1;
    Loop(Clock::now() + std::chrono::seconds(30), &Driver::WorkerReady);
    if (!WorkerReady()) {
        fprintf(stderr, "request_path: the worker did not serve calc within 30 s (logs in %s/logs)\n",
                home.c_str());
        rc = 1;
    } else {
        // Idle: the first request is answered and nothing else is outstanding.
        Loop(Clock::now() + std::chrono::milliseconds(500), &Driver::Never);
        idleMaster = RssKiB(master);
        idleWorker = RssKiB(workerPid);
        if (!heldPulls.empty()) {
            const int fd = heldPulls.front();
            heldPulls.pop_front();
            SendMessage(fd);
        }
        Loop(Clock::now() +
                 std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.warmup)),
             &Driver::Never);
        measuring = true;
        auto t0 = Clock::now();
        Loop(t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.seconds)),
             &Driver::Never);
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        measuring = false;
        loadMaster = RssKiB(master);
        loadWorker = RssKiB(workerPid);
        std::sort(lat.begin(), lat.end());
        auto pct = [&](double p) {
            return lat.empty() ? 0.0 : lat[static_cast<size_t>(p * (lat.size() - 1))];
        };
        printf(
            "request_path concurrency=%d rps=%.0f p50_us=%.1f p99_us=%.1f errors=%ld "
            "idle_master_kib=%ld idle_worker_kib=%ld load_master_kib=%ld load_worker_kib=%ld\n",
            opt.concurrency, done / secs, pct(0.5), pct(0.99), errors, idleMaster, idleWorker, loadMaster,
            loadWorker);
        fflush(stdout);
    }
    StopVessel();
    for (auto& c : conns) close(c.first);
    close(listenFd);
    unlink(sockPath.c_str());
    if (getenv("REQUEST_PATH_KEEP") == nullptr) {
        std::string cmd = "rm -rf '" + home + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "request_path: could not remove %s\n", home.c_str());
    } else {
        fprintf(stderr, "request_path: home kept in %s\n", home.c_str());
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--vessel")
            opt.vessel = v;
        else if (k == "--module-dir")
            opt.moduleDir = v;
        else if (k == "--seconds")
            opt.seconds = atof(v.c_str());
        else if (k == "--warmup")
            opt.warmup = atof(v.c_str());
        else if (k == "--concurrency")
            opt.concurrency = std::max(1, atoi(v.c_str()));
        else if (k == "--log-level")
            opt.logLevel = atoi(v.c_str());
        else if (k == "--pull-connections")
            opt.pulls = atoi(v.c_str());
        else {
            fprintf(stderr, "request_path: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (opt.vessel.empty() || opt.moduleDir.empty()) {
        fprintf(
            stderr,
            "usage: request_path --vessel BIN --module-dir DIR [--seconds S] [--concurrency N] [--warmup S] "
            "[--log-level L] [--pull-connections N]\n");
        return 2;
    }
    // The child changes into the temporary home before it starts vessel.
    char* abs = realpath(opt.vessel.c_str(), nullptr);
    if (abs == nullptr) {
        fprintf(stderr, "request_path: %s: %s\n", opt.vessel.c_str(), strerror(errno));
        return 2;
    }
    opt.vessel = abs;
    free(abs);
    return Driver(opt).Run();
}
