#include "support/StrangerListener.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace testsupport {

namespace {

// The child: listen as nobody, then forward everything any connection sends to out.
int Serve(const std::string& path, int out, int ready) {
    if (setgid(65534) != 0 || setuid(65534) != 0) {
        return 10;
    }
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(lfd, 16) != 0 ||
        chmod(path.c_str(), 0777) != 0) {
        return 11;
    }
    char one = 1;
    if (write(ready, &one, 1) != 1) {
        return 12;
    }
    close(ready);
    std::vector<pollfd> fds{{lfd, POLLIN, 0}};
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            if (i == 0) {
                int c = accept(lfd, nullptr, nullptr);
                if (c >= 0) {
                    fds.push_back({c, POLLIN, 0});
                }
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                (void)!write(out, buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;  // poll ignores negative descriptors
            }
        }
    }
}

}  // namespace

StrangerListener::~StrangerListener() {
    child_.Kill(SIGKILL);
    child_.Wait(std::chrono::seconds(5));
    if (pipeFd_ >= 0) {
        close(pipeFd_);
    }
    if (!path_.empty()) {
        unlink(path_.c_str());
    }
}

bool StrangerListener::Start(const std::string& path) {
    int data[2];
    int ready[2];
    if (pipe(data) != 0 || pipe(ready) != 0) {
        return false;
    }
    unlink(path.c_str());
    path_ = path;
    if (!child_.Fork([&] {
            close(data[0]);
            close(ready[0]);
            return Serve(path, data[1], ready[1]);
        })) {
        return false;
    }
    close(data[1]);
    close(ready[1]);
    pipeFd_ = data[0];
    fcntl(pipeFd_, F_SETFL, O_NONBLOCK);
    char one = 0;
    pollfd p{ready[0], POLLIN, 0};
    bool ok = poll(&p, 1, 10000) == 1 && read(ready[0], &one, 1) == 1;
    close(ready[0]);
    return ok;
}

std::string StrangerListener::Received() {
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFd_, buf, sizeof(buf))) > 0) {
        received_.append(buf, static_cast<size_t>(n));
    }
    return received_;
}

}  // namespace testsupport
