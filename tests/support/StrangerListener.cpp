#include "support/StrangerListener.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support/TestSupport.h"

namespace testsupport {

StrangerListener::~StrangerListener() {
    child_.Kill(SIGKILL);
    child_.Wait(std::chrono::seconds(5));
    if (pipeFd_ >= 0) close(pipeFd_);
    if (!path_.empty()) unlink(path_.c_str());
}

bool StrangerListener::Start(const std::string& path) {
    int data[2];
    if (pipe(data) != 0) return false;
    unlink(path.c_str());
    path_ = path;
    bool forked = child_.Fork([&] {
        // As nobody: listen, then forward what each connection sends, one connection at a time.
        close(data[0]);
        int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        if (setgid(65534) != 0 || setuid(65534) != 0 || lfd < 0 ||
            bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(lfd, 16) != 0 ||
            chmod(path.c_str(), 0777) != 0)
            return 10;
        for (;;) {
            int c = accept(lfd, nullptr, nullptr);
            char buf[4096];
            for (ssize_t n; c >= 0 && (n = read(c, buf, sizeof(buf))) > 0;) (void)!write(data[1], buf, n);
            if (c >= 0) close(c);
        }
    });
    close(data[1]);
    pipeFd_ = data[0];
    fcntl(pipeFd_, F_SETFL, O_NONBLOCK);
    // Listening once the socket file is nobody's and open to all (chmod comes after listen).
    struct stat st {};
    return forked && WaitFor(
                         [&] {
                             return stat(path.c_str(), &st) == 0 && st.st_uid == 65534 &&
                                    (st.st_mode & 0777) == 0777;
                         },
                         std::chrono::seconds(10));
}

std::string StrangerListener::Received() {
    char buf[4096];
    for (ssize_t n; (n = read(pipeFd_, buf, sizeof(buf))) > 0;) received_.append(buf, static_cast<size_t>(n));
    return received_;
}

}  // namespace testsupport
