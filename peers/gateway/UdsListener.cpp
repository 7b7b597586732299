#include "UdsListener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "GatewayLog.h"
#include "UdsPeerSession.h"

namespace asio = boost::asio;
using asio::local::stream_protocol;

namespace {

// True when something accepts connections on path.
bool SomeoneListens(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size());
    bool live = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return live;
}

constexpr auto LOG_EVERY = std::chrono::seconds(10);
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);

}  // namespace

UdsListener::UdsListener(IoContextPool& pool, RequestBroker& broker, const PeerUserCheck& peers)
    : pool_(pool),
      broker_(broker),
      peers_(peers),
      acceptor_(pool.First()),
      retry_(pool.First()),
      failedLog_(LOG_EVERY),
      refusedLog_(LOG_EVERY) {}

UdsListener::~UdsListener() {
    RemoveFile();
}

bool UdsListener::Open(const std::string& path, mode_t mode, std::string& error) {
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        error = "gateway socket path is " + std::to_string(path.size()) + " bytes, the limit is " +
                std::to_string(sizeof(sockaddr_un::sun_path) - 1) + ": " + path;
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; not touching it";
            return false;
        }
        if (SomeoneListens(path)) {
            error = "another process already listens on " + path;
            return false;
        }
        if (unlink(path.c_str()) != 0) {
            error = "cannot remove stale socket " + path + ": " + strerror(errno);
            return false;
        }
        GatewayLog::Info("removed stale socket " + path);
    }
    boost::system::error_code ec;
    acceptor_.open(stream_protocol(), ec);
    if (!ec) {
        // Created with no permissions for others from the start, then set to the wanted mode,
        // so the file is never reachable by others in between.
        mode_t old = umask(0177);
        acceptor_.bind(stream_protocol::endpoint(path), ec);
        umask(old);
    }
    if (ec) {
        error = "cannot bind " + path + ": " + ec.message();
        return false;
    }
    path_ = path;
    if (lstat(path.c_str(), &st) == 0) {
        inode_ = st.st_ino;
    }
    if (chmod(path.c_str(), mode) != 0) {
        error = "cannot set mode of " + path + ": " + strerror(errno);
        return false;
    }
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + path + ": " + ec.message();
        return false;
    }
    return true;
}

void UdsListener::Start() {
    Accept();
}

void UdsListener::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    RemoveFile();
}

void UdsListener::RemoveFile() {
    if (path_.empty()) {
        return;
    }
    struct stat st;
    // Another gateway may have replaced the file since; then it is not ours to remove.
    if (lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_) {
        unlink(path_.c_str());
    }
    path_.clear();
}

void UdsListener::Accept() {
    acceptor_.async_accept(pool_.Next(), [self = shared_from_this()](const boost::system::error_code& ec,
                                                                     stream_protocol::socket socket) {
        self->OnAccepted(ec, std::move(socket));
    });
}

void UdsListener::OnAccepted(const boost::system::error_code& ec, stream_protocol::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
    }
    if (ec) {
        // Out of descriptors: the worker's connection waits in the backlog until some close.
        size_t heldBack = 0;
        if (failedLog_.Allow(heldBack)) {
            GatewayLog::Warn("gateway socket accept failed: " + ec.message() + "; pausing accepts" +
                             LogThrottle::More(heldBack));
        }
        retry_.expires_after(ACCEPT_PAUSE);
        retry_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
            if (!e) {
                self->Accept();
            }
        });
        return;
    }
    std::string refusal;
    if (!peers_.Admit(socket.native_handle(), refusal)) {
        size_t heldBack = 0;
        if (refusedLog_.Allow(heldBack)) {
            GatewayLog::Warn(refusal + LogThrottle::More(heldBack));
        }
        boost::system::error_code ignored;
        socket.close(ignored);
    } else {
        std::make_shared<UdsPeerSession>(std::move(socket), broker_, nextNumber_++)->Start();
    }
    Accept();
}
