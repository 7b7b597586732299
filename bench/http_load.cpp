// Steady HTTP load for soak runs: N keep-alive connections to vessel-gateway, each sending
// GET <path>?x=<a>&y=<b> and checking that the answer is 200 with the body a+b.
//
//   http_load --port P [--host H] [--connections N] [--rate R] [--seconds S] [--timeout-ms T]
//             [--path P] [--grace-ms G] [--progress S]
//
// --rate is the total request rate over all connections (0: closed loop, each connection sends
// its next request as soon as the last is answered). A connection never has more than one
// request outstanding, so at most N requests are in flight at any moment. On any error the
// connection is closed, the request counted as failed by kind, and the next request goes out on
// a fresh connection after a short pause.
//
// SIGUSR1 marks "a worker was just killed". A failed request is explained by a kill when it was
// outstanding at a mark (started no later than grace after it, ended no earlier than grace
// before it). At the end it prints the counts and exits 1 when any failure is unexplained or
// the failures exceed N per mark (every request in flight at a kill lost, and no more);
// SIGINT/SIGTERM end the run early with the counts so far (exit 3).
#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 8;
    double rate = 200;
    double seconds = 60;
    int timeoutMs = 35000;  // longer than the gateway's own 30 s request timeout
    std::string path = "/calc/add";
    int graceMs = 2000;
    int progressSec = 10;
};

struct Failure {
    int64_t startMs;
    int64_t endMs;
};

// Everything counted over the run; touched by the one I/O thread only.
struct Stats {
    Clock::time_point t0 = Clock::now();
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t failed = 0;
    std::map<std::string, uint64_t> failedBy;
    std::vector<uint32_t> latencyUs;
    std::vector<Failure> failures;
    std::vector<int64_t> marks;

    int64_t NowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    }
    void Fail(const std::string& kind, int64_t startMs) {
        ++failed;
        ++failedBy[kind];
        failures.push_back({startMs, NowMs()});
    }
};

std::string KindOf(const beast::error_code& ec) {
    if (ec == beast::error::timeout) return "timeout";
    if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
        ec == asio::error::broken_pipe) {
        return "connection closed";
    }
    return "error: " + ec.message();
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::io_context& io, const Options& opt, const tcp::resolver::results_type& addr,
               Stats& stats, int id, std::function<void()> onFinish)
        : stream_(io),
          timer_(io),
          opt_(opt),
          addr_(addr),
          stats_(stats),
          id_(id),
          onFinish_(std::move(onFinish)) {
        if (opt.rate > 0) {
            interval_ = std::chrono::microseconds(static_cast<int64_t>(1e6 * opt.connections / opt.rate));
        }
    }

    void Start(Clock::time_point first) {
        next_ = first;
        WaitThenSend(first);
    }
    // No new request after the one in flight; a waiting connection ends at once.
    void Stop() {
        stopping_ = true;
        timer_.cancel();
    }
    bool Busy() const { return busy_; }

private:
    void WaitThenSend(Clock::time_point at) {
        timer_.expires_at(at);
        timer_.async_wait([self = shared_from_this()](const beast::error_code&) { self->Send(); });
    }

    void Send() {
        if (stopping_) {
            Finish();
            return;
        }
        busy_ = true;
        ++seq_;
        x_ = static_cast<long>((seq_ * 7919 + id_ * 104729) % 1000000);
        y_ = static_cast<long>(id_ * 1000 + seq_ % 1000);
        ++stats_.sent;
        startMs_ = stats_.NowMs();
        start_ = Clock::now();
        if (!connected_) {
            stream_.expires_after(std::chrono::milliseconds(opt_.timeoutMs));
            stream_.async_connect(
                addr_, [self = shared_from_this()](const beast::error_code& ec, const tcp::endpoint&) {
                    if (ec) {
                        self->Failed("connect: " + ec.message());
                        return;
                    }
                    self->connected_ = true;
                    self->Write();
                });
            return;
        }
        Write();
    }

    void Write() {
        req_ = {};
        req_.method(http::verb::get);
        req_.target(opt_.path + "?x=" + std::to_string(x_) + "&y=" + std::to_string(y_));
        req_.version(11);
        req_.set(http::field::host, opt_.host);
        req_.keep_alive(true);
        stream_.expires_after(std::chrono::milliseconds(opt_.timeoutMs));
        http::async_write(stream_, req_, [self = shared_from_this()](const beast::error_code& ec, size_t) {
            if (ec) {
                self->Failed(KindOf(ec));
                return;
            }
            self->Read();
        });
    }

    void Read() {
        res_ = {};
        http::async_read(stream_, buf_, res_,
                         [self = shared_from_this()](const beast::error_code& ec, size_t) {
                             if (ec) {
                                 self->Failed(KindOf(ec));
                                 return;
                             }
                             self->Check();
                         });
    }

    void Check() {
        const int status = static_cast<int>(res_.result_int());
        if (status != 200) {
            Done("status " + std::to_string(status), !res_.keep_alive());
            return;
        }
        if (res_.body() != std::to_string(x_ + y_)) {
            Done("200 with a wrong body", !res_.keep_alive());
            return;
        }
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
        stats_.latencyUs.push_back(static_cast<uint32_t>(std::min<int64_t>(us, UINT32_MAX)));
        ++stats_.answered;
        Done("", !res_.keep_alive());
    }

    // The request failed on the connection itself: start over on a new one after a pause, so a
    // gateway that is down is not hammered.
    void Failed(const std::string& kind) { Done(kind, true); }

    void Done(const std::string& failure, bool closeConnection) {
        busy_ = false;
        if (!failure.empty()) stats_.Fail(failure, startMs_);
        if (closeConnection) {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
            stream_.close();
            connected_ = false;
            buf_.consume(buf_.size());
        }
        Clock::time_point now = Clock::now();
        next_ = std::max(next_ + interval_, now);
        if (!failure.empty()) next_ = std::max(next_, now + std::chrono::milliseconds(100));
        WaitThenSend(next_);
    }

    void Finish() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        onFinish_();
    }

    beast::tcp_stream stream_;
    asio::steady_timer timer_;
    const Options& opt_;
    const tcp::resolver::results_type& addr_;
    Stats& stats_;
    const int id_;
    const std::function<void()> onFinish_;
    std::chrono::microseconds interval_{0};
    Clock::time_point next_;
    Clock::time_point start_;
    int64_t startMs_ = 0;
    uint64_t seq_ = 0;
    long x_ = 0;
    long y_ = 0;
    bool connected_ = false;
    bool busy_ = false;
    bool stopping_ = false;
    beast::flat_buffer buf_;
    http::request<http::empty_body> req_;
    http::response<http::string_body> res_;
};

bool ParseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (a == "--host")
            opt.host = v;
        else if (a == "--port")
            opt.port = atoi(v.c_str());
        else if (a == "--connections")
            opt.connections = atoi(v.c_str());
        else if (a == "--rate")
            opt.rate = atof(v.c_str());
        else if (a == "--seconds")
            opt.seconds = atof(v.c_str());
        else if (a == "--timeout-ms")
            opt.timeoutMs = atoi(v.c_str());
        else if (a == "--path")
            opt.path = v;
        else if (a == "--grace-ms")
            opt.graceMs = atoi(v.c_str());
        else if (a == "--progress")
            opt.progressSec = atoi(v.c_str());
        else
            return false;
    }
    return opt.port > 0 && opt.port < 65536 && opt.connections > 0 && opt.rate >= 0 && opt.seconds > 0 &&
           opt.timeoutMs > 0;
}

double Percentile(std::vector<uint32_t>& v, double p) {
    if (v.empty()) return 0;
    size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k] / 1000.0;
}

// Prints the counts; returns the exit status the run deserves.
int Report(Stats& st, const Options& opt, bool interrupted, uint64_t unfinished) {
    uint64_t explained = 0;
    for (const Failure& f : st.failures) {
        for (int64_t m : st.marks) {
            if (f.startMs <= m + opt.graceMs && f.endMs >= m - opt.graceMs) {
                ++explained;
                break;
            }
        }
    }
    const uint64_t unexplained = st.failed - explained;
    const uint64_t bound = static_cast<uint64_t>(opt.connections) * st.marks.size();
    double maxMs =
        st.latencyUs.empty() ? 0 : *std::max_element(st.latencyUs.begin(), st.latencyUs.end()) / 1000.0;
    double p50 = Percentile(st.latencyUs, 0.50);
    double p99 = Percentile(st.latencyUs, 0.99);
    double secs = st.NowMs() / 1000.0;

    printf("requests sent          %llu over %.0f s (%d connections, %s)\n", (unsigned long long)st.sent,
           secs, opt.connections,
           opt.rate > 0 ? (std::to_string(static_cast<int>(opt.rate)) + " req/s").c_str() : "closed loop");
    printf("answered               %llu (200 with the right sum)\n", (unsigned long long)st.answered);
    printf("failed                 %llu\n", (unsigned long long)st.failed);
    for (const auto& kv : st.failedBy) {
        printf("  %-20s %llu\n", kv.first.c_str(), (unsigned long long)kv.second);
    }
    if (unfinished > 0)
        printf("unfinished             %llu (run interrupted)\n", (unsigned long long)unfinished);
    printf("latency (answered)     p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", p50, p99, maxMs);
    printf("worker kills           %zu\n", st.marks.size());
    printf("failures at a kill     %llu (bound: %d connections x %zu kills = %llu)\n",
           (unsigned long long)explained, opt.connections, st.marks.size(), (unsigned long long)bound);
    printf("failures not at a kill %llu\n", (unsigned long long)unexplained);
    if (interrupted) return 3;
    if (unexplained > 0 || st.failed > bound) {
        printf("load: FAILED (%s)\n",
               unexplained > 0 ? "failures that no kill explains" : "more failures than the bound");
        return 1;
    }
    printf("load: ok\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        fprintf(stderr,
                "usage: http_load --port P [--host H] [--connections N] [--rate R (0: closed loop)] "
                "[--seconds S]\n"
                "                 [--timeout-ms T] [--path P] [--grace-ms G] [--progress S]\n");
        return 2;
    }
    asio::io_context io;
    Stats stats;
    tcp::resolver resolver(io);
    beast::error_code ec;
    const tcp::resolver::results_type addr = resolver.resolve(opt.host, std::to_string(opt.port), ec);
    if (ec) {
        fprintf(stderr, "http_load: cannot resolve %s: %s\n", opt.host.c_str(), ec.message().c_str());
        return 2;
    }

    bool interrupted = false;
    bool ending = false;  // no new requests; the ones in flight still count
    int running = opt.connections;
    asio::steady_timer end(io);
    asio::steady_timer progress(io);
    asio::signal_set marks(io, SIGUSR1);
    asio::signal_set stop(io, SIGINT, SIGTERM);
    std::vector<std::shared_ptr<Connection>> conns;
    // Once the last connection is done nothing may keep the loop alive. The signals stay
    // handled until then, so a stop during the drain still prints the counts.
    auto lastOneDone = [&] {
        if (--running > 0) return;
        progress.cancel();
        marks.cancel();
        stop.cancel();
    };
    auto beginEnd = [&] {
        ending = true;
        end.cancel();
        for (auto& c : conns) c->Stop();
    };

    const Clock::time_point t0 = Clock::now();
    const auto spread = opt.rate > 0 ? std::chrono::microseconds(static_cast<int64_t>(1e6 / opt.rate))
                                     : std::chrono::microseconds(0);
    for (int i = 0; i < opt.connections; ++i) {
        conns.push_back(std::make_shared<Connection>(io, opt, addr, stats, i, lastOneDone));
        conns.back()->Start(t0 + spread * i);
    }

    std::function<void()> waitMark = [&] {
        marks.async_wait([&](const beast::error_code& e, int) {
            if (e || running == 0) return;
            stats.marks.push_back(stats.NowMs());
            waitMark();
        });
    };
    waitMark();
    stop.async_wait([&](const beast::error_code& e, int) {
        if (e || running == 0) return;
        interrupted = true;
        beginEnd();
        io.stop();  // requests in flight are reported as unfinished
    });
    end.expires_after(std::chrono::milliseconds(static_cast<int64_t>(opt.seconds * 1000)));
    end.async_wait([&](const beast::error_code& e) {
        if (!e) beginEnd();
    });
    std::function<void()> tick = [&] {
        if (opt.progressSec <= 0) return;
        progress.expires_after(std::chrono::seconds(opt.progressSec));
        progress.async_wait([&](const beast::error_code& e) {
            if (e || running == 0) return;
            fprintf(stderr, "http_load: %5.0f s  sent %llu  answered %llu  failed %llu  kills %zu%s\n",
                    stats.NowMs() / 1000.0, (unsigned long long)stats.sent,
                    (unsigned long long)stats.answered, (unsigned long long)stats.failed, stats.marks.size(),
                    ending ? "  (waiting for the requests in flight)" : "");
            tick();
        });
    };
    tick();

    // Ends when every connection has finished its last request (each bounded by the timeout).
    io.run();

    uint64_t unfinished = 0;
    for (auto& c : conns) unfinished += c->Busy() ? 1 : 0;
    return Report(stats, opt, interrupted, unfinished);
}
