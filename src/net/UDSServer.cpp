#include "net/UDSServer.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "base/Log.h"
#include "base/PeerTrust.h"
#include "base/SafeString.h"

namespace {

constexpr int kListenBacklog = 1000;
constexpr int kMaxEvents = 100;
// Out of descriptors, accepting again at once would fail again at once: the listening socket
// rests this long while the connections we hold go on being served.
constexpr std::chrono::milliseconds kAcceptPause{100};
// At most one "accpet fail" line per interval, however often accepting fails.
constexpr int64_t kAcceptFailLogIntervalMs = 5000;

// Servers of this process whose socket file is still on disk (see RemoveOwnSocketFiles).
std::mutex& OwnedMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}
std::set<UDSServer*>& Owned() {
    static std::set<UDSServer*>* servers = new std::set<UDSServer*>();
    return *servers;
}

// Failures that end one pending connection only; the next one may well be accepted.
bool TransientAcceptError(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED;
}

std::string ErrnoText(int err) {
    return std::to_string(err) + "," + strerror(err);
}

const char* FileKind(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a special file";
}

}  // namespace

UDSServer::UDSServer()
    : listenFd(-1),
      epollFd(-1),
      running(false),
      readBuf{},
      handler(nullptr),
      wakeFd(-1),
      acceptFailLog(kAcceptFailLogIntervalMs) {}

UDSServer::~UDSServer() {
    {
        std::lock_guard<std::mutex> lock(OwnedMutex());
        RemoveSocketFileLocked();
        Owned().erase(this);
    }
    CloseAll();
}

void UDSServer::RememberSocketFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return;  // nothing of ours to remove later
    }
    std::lock_guard<std::mutex> lock(OwnedMutex());
    bound.path = path;
    bound.dev = st.st_dev;
    bound.ino = st.st_ino;
    bound.pid = getpid();
    Owned().insert(this);
}

void UDSServer::RemoveSocketFile() {
    std::lock_guard<std::mutex> lock(OwnedMutex());
    RemoveSocketFileLocked();
}

void UDSServer::RemoveSocketFileLocked() {
    // A forked worker holds a copy of this object: only the process that bound removes.
    if (bound.path.empty() || bound.pid != getpid()) {
        return;
    }
    const std::string path = bound.path;
    bound.path.clear();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    // Someone may have put another socket (another master's) or a file there since: not ours.
    if (!S_ISSOCK(st.st_mode) || st.st_dev != bound.dev || st.st_ino != bound.ino) {
        LOG_INFO("channel path " + path + " is no longer our socket; left as it is");
        return;
    }
    if (unlink(path.c_str()) != 0) {
        LOG_INFO("remove channel socket fail," + ErrnoText(errno));
        return;
    }
    LOG_INFO("channel socket removed: " + path);
}

void UDSServer::RemoveOwnSocketFiles() {
    std::lock_guard<std::mutex> lock(OwnedMutex());
    for (UDSServer* server : Owned()) {
        server->RemoveSocketFileLocked();
    }
}

int UDSServer::BindAndListen(const std::string& path) {
    struct sockaddr_un servaddr;
    memset_s(&servaddr, sizeof(servaddr), 0, sizeof(servaddr));
    servaddr.sun_family = AF_UNIX;
    int rc = strncpy_s(servaddr.sun_path, sizeof(servaddr.sun_path), path.c_str(), path.size());
    if (rc != 0) {
        LOG_INFO("get servaddr error:" + std::to_string(rc));
        return rc;
    }
    // A socket left by an earlier run would make bind fail, so it goes. Anything else at the
    // path was put there by someone: deleting it would lose it, so we refuse to start instead.
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
        LOG_ERROR_CODE(EEXIST, "channel path " + path + " is " + FileKind(existing.st_mode) +
                                   ", not a socket; left as it is. Remove it or choose another APP_NAME.");
        return EEXIST;
    }
    // Non-blocking, so an accept that finds nothing waiting returns instead of stalling the loop.
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd < 0) {
        LOG_INFO("create socket fail," + ErrnoText(errno));
        return -1;
    }
    unlink(path.c_str());
    if (bind(listenFd, reinterpret_cast<struct sockaddr*>(&servaddr), sizeof(servaddr)) < 0) {
        LOG_INFO("bind error:" + std::to_string(-1));
        CloseAll();
        return -1;
    }
    RememberSocketFile(path);
    // Only our own user may connect. Nobody can connect before listen, so tightening the mode
    // between bind and listen leaves no window.
    if (chmod(path.c_str(), S_IRUSR | S_IWUSR) < 0) {
        LOG_INFO("chmod socket fail," + ErrnoText(errno));
        RemoveSocketFile();
        CloseAll();
        return -1;
    }
    if (listen(listenFd, kListenBacklog) < 0) {
        LOG_INFO("listen fail: " + ErrnoText(errno));
        RemoveSocketFile();
        CloseAll();
        return -1;
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        LOG_INFO("create eventfd fail," + ErrnoText(errno));
        RemoveSocketFile();
        CloseAll();
        return -1;
    }
    running = true;
    return 0;
}

void UDSServer::RunEventLoop() {
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        LOG_INFO("epoll_create fail," + ErrnoText(errno));
        return;
    }
    if (!Watch(EPOLL_CTL_ADD, listenFd, EPOLLIN)) {
        return;
    }
    if (!Watch(EPOLL_CTL_ADD, wakeFd, EPOLLIN)) {
        return;
    }
    struct epoll_event events[kMaxEvents];
    while (running) {
        int timeoutMs = -1;
        if (acceptPaused) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(acceptResumeAt -
                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ResumeAccept();
            } else {
                timeoutMs = static_cast<int>(left.count());
            }
        }
        int n = epoll_wait(epollFd, events, kMaxEvents, timeoutMs);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            LOG_INFO("epoll_wait fail," + ErrnoText(errno));
            return;
        }
        for (int i = 0; i < n && running; ++i) {
            int fd = events[i].data.fd;
            if (fd == wakeFd) {
                continue;
            }
            if (fd == listenFd) {
                if ((events[i].events & EPOLLIN) && !acceptPaused) {
                    HandleAccpet();
                }
                continue;
            }
            // Errors and hang-ups surface as a failing or empty read.
            if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                DoRead(fd);
            }
            if (events[i].events & EPOLLOUT) {
                DoWrite(fd);
            }
        }
    }
}

void UDSServer::Stop() {
    running = false;
    if (wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t rc = write(wakeFd, &one, sizeof(one));
        (void)rc;  // a full counter already wakes the loop
    }
}

void UDSServer::HandleAccpet() {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
            return;  // nothing waiting any more
        }
        // Out of descriptors the connection stays pending and the listening socket stays
        // readable: retried at once, this would spin and log without end.
        uint64_t suppressed = 0;
        if (acceptFailLog.Allow(&suppressed)) {
            LOG_INFO("accpet fail:" + ErrnoText(err) + LogRateLimiter::SuppressedNote(suppressed));
        }
        if (!TransientAcceptError(err)) {
            PauseAccept();
        }
        return;
    }
    pid_t peerPid = -1;
    if (CheckPeerTrusted(fd, PeerTrust::OwnUser, &peerPid) != 0) {
        close(fd);
        return;
    }
    LOG_INFO("accpet " + std::to_string(fd));
    {
        std::lock_guard<std::mutex> lock(connMutex);
        clientFds[fd].peerPid = peerPid;
    }
    if (!Watch(EPOLL_CTL_ADD, fd, EPOLLIN)) {
        CloseConnection(fd);
    }
}

void UDSServer::PauseAccept() {
    (void)Watch(EPOLL_CTL_MOD, listenFd, 0);  // no events: the listening socket is not watched meanwhile
    acceptPaused = true;
    acceptResumeAt = std::chrono::steady_clock::now() + kAcceptPause;
}

void UDSServer::ResumeAccept() {
    (void)Watch(EPOLL_CTL_MOD, listenFd, EPOLLIN);
    acceptPaused = false;
}

bool UDSServer::Watch(int op, int fd, uint32_t events) {
    struct epoll_event ev;
    memset_s(&ev, sizeof(ev), 0, sizeof(ev));
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd, op, fd, &ev) == 0) {
        return true;
    }
    const char* name = op == EPOLL_CTL_ADD ? "add" : op == EPOLL_CTL_MOD ? "mod" : "del";
    LOG_INFO(std::string("epoll_ctl ") + name + " fail, " + ErrnoText(errno));
    return false;
}

void UDSServer::DoRead(int fd) {
    memset_s(readBuf, sizeof(readBuf), 0, sizeof(readBuf));
    ssize_t n = read(fd, readBuf, sizeof(readBuf) - 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;  // level-triggered: the event comes again
    }
    if (n <= 0) {
        if (n < 0) {
            LOG_INFO("read error:" + ErrnoText(errno));
        } else {
            LOG_INFO("client close," + ErrnoText(errno));
        }
        DeleteEvent(fd, EPOLLIN);
        CloseConnection(fd);
        return;
    }
    std::string lines;
    {
        std::lock_guard<std::mutex> lock(connMutex);
        auto it = clientFds.find(fd);
        if (it == clientFds.end()) {
            return;
        }
        it->second.framer.Feed(readBuf, static_cast<size_t>(n), lines, [fd](size_t length) {
            LOG_INFO("line too long, dropped, fd:" + std::to_string(fd) +
                     ", length:" + std::to_string(length));
        });
    }
    if (lines.empty()) {
        return;
    }
    LOG_INFO("read message is : " + lines);
    if (handler != nullptr) {
        handler->DoAsyncRead(fd, lines);
    }
}

void UDSServer::DoWrite(int fd) {
    // SendMsg writes synchronously and nothing registers EPOLLOUT; drop such an interest so an
    // always-writable socket cannot spin the loop.
    struct epoll_event ev;
    memset_s(&ev, sizeof(ev), 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev) < 0) {
        LOG_INFO("write error: " + ErrnoText(errno));
        DeleteEvent(fd, EPOLLOUT);
        CloseConnection(fd);
    }
}

void UDSServer::DeleteEvent(int fd, uint32_t events) {
    (void)Watch(EPOLL_CTL_DEL, fd, events);
}

void UDSServer::CloseConnection(int fd) {
    {
        std::lock_guard<std::mutex> lock(connMutex);
        if (clientFds.erase(fd) == 0) {
            return;
        }
    }
    // The handler forgets fd before the number can be handed out again.
    if (handler != nullptr) {
        handler->OnClose(fd);
    }
    close(fd);
}

void UDSServer::CloseClient(int fd) {
    std::lock_guard<std::mutex> lock(connMutex);
    if (clientFds.count(fd) == 0) {
        return;
    }
    if (shutdown(fd, SHUT_RDWR) < 0) {
        LOG_INFO("shutdown fail," + std::to_string(fd) + "," + ErrnoText(errno));
    }
}

pid_t UDSServer::PeerPid(int fd) {
    std::lock_guard<std::mutex> lock(connMutex);
    auto it = clientFds.find(fd);
    return it == clientFds.end() ? -1 : it->second.peerPid;
}

int UDSServer::SendMsg(const int* fd, const std::string& msg, bool logText) {
    if (fd == nullptr) {
        return EINVAL;
    }
    if (msg.size() >= kMaxSendLen) {
        LOG_INFO("SendMsg fail, copy msg to writer buff failed, errno:" + std::to_string(ERANGE));
        return ERANGE;
    }
    size_t done = 0;
    while (done < msg.size()) {
        // MSG_NOSIGNAL: a worker that went away must fail the send, not end the master.
        ssize_t n = send(*fd, msg.data() + done, msg.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int err = errno;
            LOG_INFO("write fail," + std::to_string(*fd) + "," + ErrnoText(err));
            return err;
        }
        done += static_cast<size_t>(n);
    }
    LOG_INFO("write msg:" + (logText ? msg : std::string("(status)")) + "," + std::to_string(msg.size()));
    return 0;
}

void UDSServer::CloseAll() {
    std::vector<int> fds;
    {
        std::lock_guard<std::mutex> lock(connMutex);
        for (const auto& entry : clientFds) {
            fds.push_back(entry.first);
        }
        clientFds.clear();
    }
    for (int fd : fds) {
        close(fd);
    }
    for (int* fd : {&listenFd, &epollFd, &wakeFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}
