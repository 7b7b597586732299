#include "net/UDSClient.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Log.h"
#include "base/PeerTrust.h"
#include "base/SafeString.h"
#include "proto/GatewayProtocol.h"
#include "proto/LogRedactor.h"
#include "proto/RespStreamParser.h"

namespace {

constexpr int EPOLL_SIZE_HINT = 1024;
constexpr int MAX_EVENTS = 20;

std::string ErrnoText(int err) {
    return std::to_string(err) + ", " + strerror(err);
}

}  // namespace

UDSClient::UDSClient(IIOHandler* handler) : handler(handler) {
    memset(recvBuf, 0, sizeof(recvBuf));
}

UDSClient::~UDSClient() {
    CloseAll();
}

int UDSClient::Connect(const std::string& path, PeerTrust trust) {
    if (sockFd != -1) {
        CloseSock();  // a second Connect must not leak the first socket
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        LOG_INFO("get socket fail, " + std::to_string(err) + "," + strerror(err));
        return err;
    }
    sockaddr_un servaddr{};
    servaddr.sun_family = AF_UNIX;
    int rc = strncpy_s(servaddr.sun_path, sizeof(servaddr.sun_path), path.c_str(), path.size());
    if (rc != 0) {
        LOG_INFO("Connect fail, copy sockAddr to servaddr failed, errno:" + std::to_string(rc));
        close(fd);
        return rc;
    }
    socklen_t len = static_cast<socklen_t>(path.size() + sizeof(servaddr.sun_family));
    if (connect(fd, reinterpret_cast<sockaddr*>(&servaddr), len) != 0) {
        int err = errno;
        LOG_INFO(path + " connect fail,," + std::to_string(err) + "," + strerror(err));
        close(fd);
        CloseSock();
        return err;
    }
    if (int err = CheckPeerTrusted(fd, trust); err != 0) {
        LOG_INFO(path + " connect fail,," + std::to_string(err) + "," + strerror(err));
        close(fd);
        CloseSock();
        return err;
    }
    sockFd = fd;
    framer.Reset();
    if (epollFd != -1) {
        AddEvent(sockFd, EPOLLIN);
    }
    connected = true;
    return 0;
}

int UDSClient::Reconnect(const std::string& path, PeerTrust trust) {
    int rc = CloseSock();
    if (rc != 0) {
        LOG_INFO("close fail," + std::to_string(rc));
    }
    rc = Connect(path, trust);
    if (rc != 0) {
        LOG_INFO("connect fail," + std::to_string(rc));
    }
    return rc;
}

int UDSClient::CloseSock() {
    int rc = 0;
    if (sockFd != -1) {
        DeleteEvent(sockFd, EPOLLIN);
        rc = close(sockFd);
        sockFd = -1;
        if (rc != 0) {
            LOG_INFO("close sockFd fail, " + std::to_string(rc));
        }
    }
    framer.Reset();
    connected = false;
    return rc;
}

int UDSClient::CloseAll() {
    CloseSock();
    if (epollFd != -1) {
        int rc = close(epollFd);
        epollFd = -1;
        if (rc != 0) {
            LOG_INFO("close epollFd fail, " + std::to_string(rc));
        }
    }
    std::lock_guard<std::mutex> lock(wakeMutex);
    if (wakeFd != -1) {
        close(wakeFd);
        wakeFd = -1;
    }
    return 0;
}

void UDSClient::AddEvent(int fd, uint32_t events) {
    if (epollFd == -1) {
        LOG_INFO("epollFd is -1");
        return;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    (void)epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
}

void UDSClient::DeleteEvent(int fd, uint32_t events) {
    if (epollFd == -1) {
        LOG_INFO("epollFd is -1");
        return;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    (void)epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, &ev);
}

int UDSClient::SendTo(const std::string& data) {
    if (data.size() >= MAX_CONTENT) {
        LOG_INFO("content too large:" + std::to_string(-1));
        return -1;
    }
    // Chunks of BUF_SIZE; a short write or an interrupted call goes on with the rest, so a
    // message is either sent whole or the caller learns of a real error.
    size_t offset = 0;
    while (offset < data.size()) {
        size_t chunk = std::min(BUF_SIZE, data.size() - offset);
        // MSG_NOSIGNAL: a peer that went away is an EPIPE result, never a SIGPIPE death.
        ssize_t n = send(sockFd, data.data() + offset, chunk, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int err = (n < 0 && errno != 0) ? errno : EIO;
            LOG_INFO("send return -1, strerr:" + ErrnoText(err));
            return err;
        }
        offset += static_cast<size_t>(n);
    }
    return 0;
}

int UDSClient::SendToGW(const std::vector<std::string>& parts) {
    LOG_INFO("to gw:" + std::to_string(sockFd) + "," + (parts.empty() ? std::string() : parts[0]));
    std::string request = Serialize(parts);
    LOG_INFO(LogRedactor::Message("context: ", request));
    return SendTo(request);
}

int UDSClient::RecvFromGW(std::vector<std::string>& out) {
    LOG_INFO("recvFrom begin, " + std::to_string(sockFd));
    // A reply may arrive in several pieces: the reader keeps its place across them, so a large
    // reply is never parsed from its first piece only.
    RespStreamParser reader(RespStreamParser::Mode::ANY);
    std::string reply;  // for the log line only
    for (;;) {
        ssize_t n = recv(sockFd, recvBuf, BUF_SIZE, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int err = n < 0 ? errno : 0;
            LOG_INFO("recv fails, " + std::to_string(err));
            return -1;
        }
        size_t consumed = 0;
        RespStreamParser::Result result = reader.FeedBuffer(recvBuf, static_cast<size_t>(n), consumed);
        reply.append(recvBuf, consumed);
        if (result == RespStreamParser::Result::NEED_MORE) {
            continue;
        }
        if (result == RespStreamParser::Result::COMPLETE && consumed < static_cast<size_t>(n)) {
            // The gateway answers each request once; anything after the reply is not ours.
            LOG_INFO("drop bytes after reply: " + std::to_string(static_cast<size_t>(n) - consumed));
        }
        LOG_INFO(LogRedactor::Message("", reply));
        if (result == RespStreamParser::Result::BAD) {
            // Answered (0) with no values, as the callers expect of a reply they cannot use.
            LOG_INFO("bad reply, " + reader.Error());
            return 0;
        }
        for (std::string& value : reader.TakeValues()) {
            out.push_back(std::move(value));
        }
        return 0;
    }
}

int UDSClient::Run() {
    if (epollFd == -1) {
        epollFd = epoll_create(EPOLL_SIZE_HINT);
        if (epollFd < 0) {
            int err = errno;
            epollFd = -1;
            LOG_INFO("epoll_create fail:" + ErrnoText(err));
            return 0;
        }
    }
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        if (wakeFd == -1) {
            wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        if (wakeFd != -1) {
            AddEvent(wakeFd, EPOLLIN);
        }
    }
    // Only the socket is watched: commands come from the master, never from standard input.
    if (sockFd != -1) {
        AddEvent(sockFd, EPOLLIN);
    }
    epoll_event events[MAX_EVENTS];
    while (connected && !stopRequested) {
        int n = epoll_wait(epollFd, events, MAX_EVENTS, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            LOG_INFO("epoll_wait fail:" + ErrnoText(errno));
            break;
        }
        for (int i = 0; i < n && !stopRequested; ++i) {
            int fd = events[i].data.fd;
            if (fd == wakeFd) {
                continue;
            }
            // Hang-up and error are read as well: the read reports them and closes fd, instead of
            // epoll returning the same event for ever.
            if ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                DoRead(fd);
            }
        }
    }
    return 0;
}

void UDSClient::StopLoop() {
    stopRequested = true;
    std::lock_guard<std::mutex> lock(wakeMutex);
    if (wakeFd != -1) {
        uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof(one));
    }
}

int UDSClient::DoRead(int fd) {
    ssize_t n;
    do {
        n = read(fd, recvBuf, BUF_SIZE - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n < 0) {
            LOG_INFO("read fail:" + ErrnoText(errno));
        } else {
            LOG_INFO("server close.");
        }
        DeleteEvent(fd, EPOLLIN);
        close(fd);
        if (fd == sockFd) {
            // The descriptor number is free for reuse now; a later CloseSock must not close it
            // again. The connected flag stays as it is, so the loop keeps waiting.
            sockFd = -1;
            framer.Reset();
        }
        return -1;
    }
    LOG_INFO("read msg:" + std::to_string(n) + ", " + std::string(recvBuf, static_cast<size_t>(n)));
    std::string lines;
    framer.Feed(recvBuf, static_cast<size_t>(n), lines, [](size_t length) {
        LOG_INFO("line too long, dropped " + std::to_string(length) + " bytes");
    });
    int rc = 0;
    if (!lines.empty() && handler != nullptr) {
        rc = handler->DoAsyncRead(fd, lines);
        if (rc != 0) {
            LOG_INFO("async read fail:" + std::to_string(rc));
        }
    }
    return rc;
}
