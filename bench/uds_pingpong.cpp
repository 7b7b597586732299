// The machine's limit for the request path: round trips per second of a small message between
// two processes over a Unix-domain stream socket, one message in flight per connection.
// Usage: uds_pingpong [seconds] [connections]
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t kMessage = 128;  // about the size of a small "message"/"responsereq" pair

bool ReadFull(int fd, char* buf, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, buf, n);
        if (r <= 0) return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    int conns = argc > 2 ? atoi(argv[2]) : 1;
    std::vector<int> local, remote;
    for (int i = 0; i < conns; ++i) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 1;
        local.push_back(sv[0]);
        remote.push_back(sv[1]);
    }
    pid_t echo = fork();
    if (echo == 0) {
        for (int fd : local) close(fd);  // else our own copies keep the sockets from reaching EOF
        std::vector<std::thread> threads;
        for (int fd : remote) {
            threads.emplace_back([fd] {
                char buf[kMessage];
                while (ReadFull(fd, buf, kMessage)) {
                    if (write(fd, buf, kMessage) != static_cast<ssize_t>(kMessage)) break;
                }
            });
        }
        for (auto& t : threads) t.join();
        _exit(0);
    }
    for (int fd : remote) close(fd);

    std::vector<long> counts(conns, 0);
    std::vector<std::vector<double>> lat(conns);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < conns; ++i) {
        threads.emplace_back([&, i] {
            char buf[kMessage];
            memset(buf, 'x', sizeof(buf));
            while (std::chrono::steady_clock::now() < end) {
                auto t0 = std::chrono::steady_clock::now();
                if (write(local[i], buf, kMessage) != static_cast<ssize_t>(kMessage)) break;
                if (!ReadFull(local[i], buf, kMessage)) break;
                lat[i].push_back(
                    std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
                ++counts[i];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int fd : local) close(fd);
    waitpid(echo, nullptr, 0);

    long total = 0;
    std::vector<double> all;
    for (int i = 0; i < conns; ++i) {
        total += counts[i];
        all.insert(all.end(), lat[i].begin(), lat[i].end());
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? 0.0 : all[static_cast<size_t>(p * (all.size() - 1))]; };
    printf("uds_pingpong connections=%d rps=%.0f p50_us=%.1f p99_us=%.1f\n", conns, total / seconds, pct(0.5),
           pct(0.99));
    return 0;
}
